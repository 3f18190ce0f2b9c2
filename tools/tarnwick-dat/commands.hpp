// The subcommands of tarnwick-dat: their names, help texts, options and
// entry points, and the helpers they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tarnwick_dat/lib.hpp>
#include <vector>

#include "cli.hpp"

namespace tarnwick_dat_tool {

/// One subcommand.
struct Command {
    std::string_view name;
    /// One line for the tool's own help.
    std::string_view summary;
    /// The synopsis, e.g. "ls ARCHIVE [--type TYPE] [--json]".
    std::string_view usage;
    /// What `--help` prints after the synopsis.
    std::string_view description;
    std::vector<OptionSpec> options;
    std::size_t min_positional;
    std::size_t max_positional;
    /// Runs the command; returns the exit status. May throw UsageError.
    int (*run)(const ParsedArgs& args);
};

/// Every subcommand, in the order the tool's help lists them.
std::span<const Command> commands();

int run_info(const ParsedArgs& args);
int run_ls(const ParsedArgs& args);
int run_cat(const ParsedArgs& args);
int run_extract(const ParsedArgs& args);
int run_font(const ParsedArgs& args);
int run_classify(const ParsedArgs& args);
int run_lrs(const ParsedArgs& args);
int run_sample(const ParsedArgs& args);

/// Opens the archive at `path`; on failure reports the error line and
/// returns nothing.
std::optional<tarnwick_dat::DatDatabase> open_archive(std::string_view path);

/// Opens the archive at `path` and fetches the file `id` from it; on failure
/// reports the error line and returns nothing.
std::optional<tarnwick_dat::Bytes> fetch_file(std::string_view path, std::uint32_t id);

/// The type that `--type` names, or nothing when the option is absent.
/// Throws a usage error for a name that is no type.
std::optional<tarnwick_dat::DatFileType> type_filter(const ParsedArgs& args);

/// The ids of the archive's directory, ascending; with `type` set, only those
/// that `from_id_in_dat` gives that type in this archive's kind.
std::vector<std::uint32_t> sorted_ids(const tarnwick_dat::DatDatabase& db,
                                      std::optional<tarnwick_dat::DatFileType> type);

/// The type of a directory id in this archive's kind.
tarnwick_dat::DatFileType type_of(const tarnwick_dat::DatDatabase& db, std::uint32_t id);

}  // namespace tarnwick_dat_tool
