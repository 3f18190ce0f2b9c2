// A value or an error, for operations that can fail without throwing. The
// members are named as std::expected's, so that callers can move to it by
// changing the alias of `Result` and `Err` alone.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwick_dat {

/// Thrown by `Result::value()` when the result holds an error; `what()` is
/// the error's display text.
class BadResultAccess : public std::exception {
  public:
    explicit BadResultAccess(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    std::string text_;
};

/// Wraps an error so that a `Result` can be built from it unambiguously.
template <typename E>
struct Err {
    E error;
};

template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class Result;

namespace detail {

template <typename R>
struct is_result : std::false_type {};
template <typename T, typename E>
struct is_result<Result<T, E>> : std::true_type {};

// The text of an error for `BadResultAccess`: its `display()` where it has
// one, its own text for standard errors and strings, a fixed text otherwise.
template <typename E>
std::string error_text(const E& error) {
    if constexpr (requires {
                      { error.display() } -> std::convertible_to<std::string>;
                  }) {
        return error.display();
    } else if constexpr (std::is_convertible_v<const E&, std::string>) {
        return std::string(error);
    } else if constexpr (std::is_base_of_v<std::exception, E>) {
        return error.what();
    } else {
        return "bad access to the value of a result that holds an error";
    }
}

// The result of calling `f` with `args`, where `void` calls build an empty
// success.
template <typename U, typename E, typename F, typename... Args>
Result<U, E> make_result(F&& f, Args&&... args);

}  // namespace detail

/// Either a value of type `T` or an error of type `E`; `T` may be `void`.
template <typename T, typename E>
class [[nodiscard]] Result {
  public:
    using value_type = T;
    using error_type = E;

    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Err<F> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}

    /// True when a value is held.
    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    /// The value; throws `BadResultAccess` when an error is held.
    T& value() & {
        check();
        return *std::get_if<0>(&state_);
    }
    const T& value() const& {
        check();
        return *std::get_if<0>(&state_);
    }
    T&& value() && {
        check();
        return std::move(*std::get_if<0>(&state_));
    }
    /// The error; only when no value is held (undefined otherwise, as for
    /// std::expected).
    E& error() & noexcept { return *std::get_if<1>(&state_); }
    const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

    /// The value, or `fallback` when an error is held.
    template <typename U>
    T value_or(U&& fallback) const& {
        return has_value() ? *std::get_if<0>(&state_) : static_cast<T>(std::forward<U>(fallback));
    }
    template <typename U>
    T value_or(U&& fallback) && {
        return has_value() ? std::move(*std::get_if<0>(&state_))
                           : static_cast<T>(std::forward<U>(fallback));
    }

    /// Access to the value; only when a value is held.
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    const T* operator->() const noexcept { return std::get_if<0>(&state_); }
    T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }

    /// `f(value)`, itself a `Result` with the same error type, or the error.
    template <typename F>
    auto and_then(F&& f) & {
        return and_then_impl(*this, std::forward<F>(f));
    }
    template <typename F>
    auto and_then(F&& f) const& {
        return and_then_impl(*this, std::forward<F>(f));
    }
    template <typename F>
    auto and_then(F&& f) && {
        return and_then_impl(std::move(*this), std::forward<F>(f));
    }

    /// `f(value)` as the new value, or the error.
    template <typename F>
    auto transform(F&& f) & {
        return transform_impl(*this, std::forward<F>(f));
    }
    template <typename F>
    auto transform(F&& f) const& {
        return transform_impl(*this, std::forward<F>(f));
    }
    template <typename F>
    auto transform(F&& f) && {
        return transform_impl(std::move(*this), std::forward<F>(f));
    }

    /// The value, or `f(error)` as the new error.
    template <typename F>
    auto transform_error(F&& f) & {
        return transform_error_impl(*this, std::forward<F>(f));
    }
    template <typename F>
    auto transform_error(F&& f) const& {
        return transform_error_impl(*this, std::forward<F>(f));
    }
    template <typename F>
    auto transform_error(F&& f) && {
        return transform_error_impl(std::move(*this), std::forward<F>(f));
    }

    /// The value, or `f(error)`, itself a `Result` with the same value type.
    template <typename F>
    Result or_else(F&& f) const& {
        if (has_value()) {
            return *this;
        }
        return std::invoke(std::forward<F>(f), error());
    }
    template <typename F>
    Result or_else(F&& f) && {
        if (has_value()) {
            return std::move(*this);
        }
        return std::invoke(std::forward<F>(f), std::move(*this).error());
    }

  private:
    void check() const {
        if (!has_value()) {
            throw BadResultAccess(detail::error_text(*std::get_if<1>(&state_)));
        }
    }

    template <typename Self, typename F>
    static auto and_then_impl(Self&& self, F&& f) {
        using R = std::remove_cvref_t<decltype(std::invoke(std::forward<F>(f),
                                                           *std::forward<Self>(self)))>;
        static_assert(detail::is_result<R>::value, "and_then needs a function returning a Result");
        if (self.has_value()) {
            return std::invoke(std::forward<F>(f), *std::forward<Self>(self));
        }
        return R(Err{std::forward<Self>(self).error()});
    }

    template <typename Self, typename F>
    static auto transform_impl(Self&& self, F&& f) {
        using U =
            std::remove_cv_t<decltype(std::invoke(std::forward<F>(f), *std::forward<Self>(self)))>;
        if (self.has_value()) {
            return detail::make_result<U, E>(std::forward<F>(f), *std::forward<Self>(self));
        }
        return Result<U, E>(Err{std::forward<Self>(self).error()});
    }

    template <typename Self, typename F>
    static auto transform_error_impl(Self&& self, F&& f) {
        using G = std::remove_cv_t<decltype(std::invoke(std::forward<F>(f),
                                                        std::forward<Self>(self).error()))>;
        if (self.has_value()) {
            return Result<T, G>(*std::forward<Self>(self));
        }
        return Result<T, G>(Err{std::invoke(std::forward<F>(f), std::forward<Self>(self).error())});
    }

    std::variant<T, E> state_;
};

/// Success or an error, for operations that produce no value.
template <typename E>
class [[nodiscard]] Result<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    /// Success.
    Result() = default;
    template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Err<F> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}

    /// True on success.
    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    /// Nothing on success; throws `BadResultAccess` when an error is held.
    void value() const {
        if (!has_value()) {
            throw BadResultAccess(detail::error_text(*std::get_if<1>(&state_)));
        }
    }
    void operator*() const noexcept {}

    /// The error; only when one is held.
    E& error() & noexcept { return *std::get_if<1>(&state_); }
    const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

    /// `f()`, itself a `Result` with the same error type, or the error.
    template <typename F>
    auto and_then(F&& f) const& {
        using R = std::remove_cvref_t<decltype(std::invoke(std::forward<F>(f)))>;
        static_assert(detail::is_result<R>::value, "and_then needs a function returning a Result");
        return has_value() ? std::invoke(std::forward<F>(f)) : R(Err{error()});
    }
    template <typename F>
    auto and_then(F&& f) && {
        using R = std::remove_cvref_t<decltype(std::invoke(std::forward<F>(f)))>;
        static_assert(detail::is_result<R>::value, "and_then needs a function returning a Result");
        return has_value() ? std::invoke(std::forward<F>(f)) : R(Err{std::move(*this).error()});
    }

    /// `f()` as the new value, or the error.
    template <typename F>
    auto transform(F&& f) const& {
        using U = std::remove_cv_t<decltype(std::invoke(std::forward<F>(f)))>;
        return has_value() ? detail::make_result<U, E>(std::forward<F>(f))
                           : Result<U, E>(Err{error()});
    }
    template <typename F>
    auto transform(F&& f) && {
        using U = std::remove_cv_t<decltype(std::invoke(std::forward<F>(f)))>;
        return has_value() ? detail::make_result<U, E>(std::forward<F>(f))
                           : Result<U, E>(Err{std::move(*this).error()});
    }

    /// Success, or `f(error)` as the new error.
    template <typename F>
    auto transform_error(F&& f) const& {
        using G = std::remove_cv_t<decltype(std::invoke(std::forward<F>(f), error()))>;
        return has_value() ? Result<void, G>() : Result<void, G>(Err{std::invoke(f, error())});
    }
    template <typename F>
    auto transform_error(F&& f) && {
        using G = std::remove_cv_t<decltype(std::invoke(std::forward<F>(f), error()))>;
        return has_value() ? Result<void, G>()
                           : Result<void, G>(Err{std::invoke(f, std::move(*this).error())});
    }

    /// Success, or `f(error)`, itself a `Result<void, E>`.
    template <typename F>
    Result or_else(F&& f) const& {
        return has_value() ? *this : std::invoke(std::forward<F>(f), error());
    }
    template <typename F>
    Result or_else(F&& f) && {
        return has_value() ? std::move(*this)
                           : std::invoke(std::forward<F>(f), std::move(*this).error());
    }

  private:
    std::variant<std::monostate, E> state_;
};

namespace detail {

template <typename U, typename E, typename F, typename... Args>
Result<U, E> make_result(F&& f, Args&&... args) {
    if constexpr (std::is_void_v<U>) {
        std::invoke(std::forward<F>(f), std::forward<Args>(args)...);
        return Result<void, E>();
    } else {
        return Result<U, E>(std::invoke(std::forward<F>(f), std::forward<Args>(args)...));
    }
}

}  // namespace detail

}  // namespace tarnwick_dat
