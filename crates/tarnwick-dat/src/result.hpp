// A value or an error, for operations that can fail without throwing.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwick_dat {

/// Wraps an error so that a `Result` can be built from it unambiguously.
template <typename E>
struct Err {
    E error;
};

template <typename E>
Err(E) -> Err<E>;

/// Either a value of type `T` or an error of type `E`; `T` may be `void`.
/// Accessing the side that is not held is a programming error (asserted).
template <typename T, typename E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Err<F> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}

    /// True when a value is held.
    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// The value; only when `ok()`.
    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    /// The error; only when not `ok()`.
    E& error() & {
        assert(!ok());
        return std::get<1>(state_);
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

    /// Access to the value's members; only when `ok()`.
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> state_;
};

/// Success or an error, for operations that produce no value.
template <typename E>
class [[nodiscard]] Result<void, E> {
public:
    /// Success.
    Result() = default;
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Err<F> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}

    /// True on success.
    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// The error; only when not `ok()`.
    E& error() & {
        assert(!ok());
        return std::get<1>(state_);
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

private:
    std::variant<std::monostate, E> state_;
};

}  // namespace tarnwick_dat
