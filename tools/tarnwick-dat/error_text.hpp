// Turns library errors into the single line tarnwick-dat prints for them.
#pragma once

#include <string>
#include <string_view>
#include <tarnwick_dat/error.hpp>

namespace tarnwick_dat_tool {

/// The error's display text on one line. A record read error lists its
/// field frames on lines of their own; here they follow the cause in
/// parentheses, innermost first, e.g. "Binary read error: failed to fill
/// whole buffer (While parsing field 'version_minor' in DatHeader)".
std::string error_line(const tarnwick_dat::DatError& error);

/// Prints "error: " and `message` on standard error.
void report_error(std::string_view message);

/// Prints "error: " and the error's line on standard error.
void report_error(const tarnwick_dat::DatError& error);

}  // namespace tarnwick_dat_tool
