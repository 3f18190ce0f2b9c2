// Which files a command works on: ids, id globs (`4000*`) and id ranges
// (`40000000-4000FFFF`) given as arguments or read from a list (`-T FILE`,
// `-T -`), and every file of the types named by `--type`.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tarnwick_dat/lib.hpp>
#include <vector>

namespace tarnwick_dat_tool {

/// The selection as the command line gave it, before any parsing.
struct SelectionArgs {
    std::vector<std::string> ids;
    /// Type names, each possibly a comma list ("Font,Model").
    std::vector<std::string> types;
    /// `-T` argument: a file of ids, one per line, or "-" for standard input.
    std::string list;
};

/// A glob or a range of ids, as given.
struct IdPattern {
    /// The text given, as messages quote it.
    std::string text;
    /// A glob's upper-case pattern over the id's eight hexadecimal digits
    /// ('*' any run, '?' one digit); empty for a range.
    std::string glob;
    /// A range's first and last id, both included.
    std::uint32_t low = 0;
    std::uint32_t high = 0;

    bool matches(std::uint32_t id) const;
};

/// The id glob or range `text` stands for, or none when it is neither (a
/// plain id, or no id at all). Throws UsageError for a glob with a character
/// that is no hexadecimal digit, '*' or '?', and for a range (an id, '-'
/// and more) whose last end is no id or lies below its first.
std::optional<IdPattern> parse_id_pattern(std::string_view text);

/// A parsed selection. Empty: every file.
struct Selection {
    /// In the order given, each once.
    std::vector<std::uint32_t> ids;
    /// Globs and ranges, in the order given, each once.
    std::vector<IdPattern> patterns;
    std::vector<tarnwick_dat::DatFileType> types;

    bool empty() const { return ids.empty() && patterns.empty() && types.empty(); }
    /// True when the id is matched by one of the patterns.
    bool pattern_matches(std::uint32_t id) const;
};

/// A `-T` list that cannot be read: a failure (status 1), not a usage error.
class ListReadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Parses the ids, globs, ranges and type names (comma lists included) and
/// reads the `-T` list, taking the first blank-separated field of each line
/// so that `ls` output pipes in: blank lines, the `ls` header line (first
/// field "ID"), its totals line (first field "total:") and everything from
/// a '#' on are skipped. Throws UsageError for a bad id, pattern or type
/// (naming the list and line for a list entry) and ListReadError for a list
/// that cannot be read.
Selection parse_selection(const SelectionArgs& args);

/// The entries a selection picks from an archive.
struct Picked {
    /// The ids given, in their order, then the files of the selected types
    /// in ascending id order, each file once; every file for an empty
    /// selection.
    std::vector<const tarnwick_dat::DatFileEntry*> entries;
    /// Ids given that the archive does not list, in the order given.
    std::vector<std::uint32_t> missing;
    /// Globs and ranges that match no file, in the order given.
    std::vector<std::string> unmatched;
};

Picked pick(const tarnwick_dat::DatDatabase& db, const Selection& selection);

/// Reports every missing id as "error: ARCHIVE: 0xID: no such file in the
/// archive" and every unmatched pattern as "error: ARCHIVE: PATTERN: no file
/// matches"; returns true when there was any.
bool report_missing(std::string_view archive, const Picked& picked);

}  // namespace tarnwick_dat_tool
