// How a case fails: by throwing a `CaseFailure` that carries its message and
// the position of the failed check. Helpers build the exact texts.
#pragma once

#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "runner/backtrace.hpp"
#include "runner/location.hpp"

namespace runner {

/// The failure of a check inside a case. The runner catches it on the case's
/// thread and reports the case as failed with `message()` at `location()`.
class CaseFailure : public std::exception {
  public:
    CaseFailure(std::string message, SourceLocation location)
        : message_(std::move(message)),
          location_(location),
          backtrace_(capture_backtrace_if_enabled()) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }
    const SourceLocation& location() const { return location_; }
    /// The stack where the failure was raised; empty unless stack traces
    /// were asked for.
    const BacktraceFrames& backtrace() const { return backtrace_; }

  private:
    std::string message_;
    SourceLocation location_;
    BacktraceFrames backtrace_;
};

/// Fails the running case with `message`.
[[noreturn]] inline void fail(std::string message,
                              SourceLocation location = SourceLocation::current()) {
    throw CaseFailure(std::move(message), location);
}

/// The equality-failure text: "assertion `left == right` failed", then
/// ": " and the message when there is one, then the lines "  left: " and
/// " right: " with the two values' texts.
std::string equality_failure_text(std::string_view left, std::string_view right,
                                  std::optional<std::string_view> message = std::nullopt);

/// Fails the running case unless `left == right`; the values are shown
/// through their fmt text form.
template <typename L, typename R>
void assert_eq(const L& left, const R& right, SourceLocation location = SourceLocation::current()) {
    if (!(left == right)) {
        throw CaseFailure(equality_failure_text(fmt::format("{}", left), fmt::format("{}", right)),
                          location);
    }
}

/// As `assert_eq`, with a message after "failed: ".
template <typename L, typename R>
void assert_eq_msg(const L& left, const R& right, std::string_view message,
                   SourceLocation location = SourceLocation::current()) {
    if (!(left == right)) {
        throw CaseFailure(
            equality_failure_text(fmt::format("{}", left), fmt::format("{}", right), message),
            location);
    }
}

}  // namespace runner
