// The command line of tarnwick-dat: exit statuses, the usage error, and the
// parsing of one subcommand's arguments into positionals and options.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick_dat_tool {

/// Exit status of a command that did what it was asked.
inline constexpr int kExitOk = 0;
/// Exit status when the archive, a file in it, or an input or output file
/// cannot be read or written.
inline constexpr int kExitFailure = 1;
/// Exit status of a malformed command line.
inline constexpr int kExitUsage = 2;

/// A malformed command line; main reports it with the command's usage line
/// and ends with `kExitUsage`.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// One option a subcommand accepts, e.g. `--type TYPE` or `--json`.
struct OptionSpec {
    /// The option with its dashes, e.g. "--type".
    std::string_view name;
    /// Placeholder of its value, e.g. "TYPE"; empty for a flag.
    std::string_view value_name;
};

/// A subcommand's arguments once parsed.
struct ParsedArgs {
    std::vector<std::string> positional;
    /// Options with a value, by name with dashes; the last occurrence wins.
    std::map<std::string, std::string, std::less<>> values;
    /// Flags given, by name with dashes.
    std::vector<std::string> flags;
    /// `-h` or `--help` was given.
    bool help = false;

    bool has_flag(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;
};

/// Splits `args` (the words after the subcommand) by `options`. Accepts
/// `--name value` and `--name=value`; "--" ends the options; "-" alone is a
/// positional (standard input or output). Throws UsageError for an unknown
/// option, a missing value, a value given to a flag, or a positional count
/// outside [min_positional, max_positional] (not checked when help is asked).
ParsedArgs parse_args(const std::vector<std::string>& args, const std::vector<OptionSpec>& options,
                      std::size_t min_positional, std::size_t max_positional);

}  // namespace tarnwick_dat_tool
