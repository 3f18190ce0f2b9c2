// Stack traces for failure reports, taken only when the user asked for them
// through the QUORVANT_BACKTRACE environment variable.
#pragma once

#include <string>
#include <vector>

namespace runner {

/// The environment variable that turns stack traces in failure reports on
/// (any value but "0").
inline constexpr const char* backtrace_variable = "QUORVANT_BACKTRACE";

/// The return addresses of a captured stack, innermost first.
using BacktraceFrames = std::vector<void*>;

/// True when the environment asks for stack traces.
bool backtrace_requested_by_environment();

/// Turns capturing on or off for the whole process (the runner sets it at the
/// start of a run).
void set_backtrace_capture(bool enabled);

/// The calling thread's stack when capturing is on; empty otherwise.
BacktraceFrames capture_backtrace_if_enabled();

/// The report text: "stack backtrace:" and one numbered line per frame with
/// its symbol where one is known.
std::string format_backtrace(const BacktraceFrames& frames);

}  // namespace runner
