// Which files a command works on: ids given as arguments or read from a
// list (`-T FILE`, `-T -`), and every file of the types named by `--type`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tarnwick_dat/lib.hpp>
#include <vector>

namespace tarnwick_dat_tool {

/// The selection as the command line gave it, before any parsing.
struct SelectionArgs {
    std::vector<std::string> ids;
    std::vector<std::string> types;
    /// `-T` argument: a file of ids, one per line, or "-" for standard input.
    std::string list;
};

/// A parsed selection. Empty: every file.
struct Selection {
    /// In the order given, each once.
    std::vector<std::uint32_t> ids;
    std::vector<tarnwick_dat::DatFileType> types;

    bool empty() const { return ids.empty() && types.empty(); }
};

/// Parses the ids and type names and reads the `-T` list: blank lines and
/// lines starting with '#' are skipped, surrounding blanks ignored. Throws
/// UsageError for a bad id or type (naming the list and line for a list
/// entry) and for a list that cannot be read.
Selection parse_selection(const SelectionArgs& args);

/// The entries a selection picks from an archive.
struct Picked {
    /// The ids given, in their order, then the files of the selected types
    /// in ascending id order, each file once; every file for an empty
    /// selection.
    std::vector<const tarnwick_dat::DatFileEntry*> entries;
    /// Ids given that the archive does not list, in the order given.
    std::vector<std::uint32_t> missing;
};

Picked pick(const tarnwick_dat::DatDatabase& db, const Selection& selection);

/// Reports every missing id as "error: ARCHIVE: 0xID: no such file in the
/// archive"; returns true when there was any.
bool report_missing(std::string_view archive, const Picked& picked);

}  // namespace tarnwick_dat_tool
