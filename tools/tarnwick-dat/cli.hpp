// The exit statuses of tarnwick-dat and the usage error.
#pragma once

#include <stdexcept>

namespace tarnwick_dat_tool {

/// Exit status of a command that did what it was asked.
inline constexpr int kExitOk = 0;
/// Exit status when the archive, a file in it, or an input or output file
/// cannot be read or written.
inline constexpr int kExitFailure = 1;
/// Exit status of a malformed command line.
inline constexpr int kExitUsage = 2;

/// A malformed command line; main reports it with a hint to the command's
/// help and ends with `kExitUsage`.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tarnwick_dat_tool
