#include "commands.hpp"

#include <algorithm>
#include <tarnwick_dat/file_type/mod.hpp>

#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

const std::vector<Command> kCommands = {
    {"info",
     "Show the archive header, its kind and its number of files",
     "info ARCHIVE [--json]",
     "Prints the seventeen header fields, the archive kind (Portal, Cell, Local or\n"
     "Unknown) and the number of files in the directory. Reads no file contents.\n",
     {{"--json", ""}},
     1,
     1,
     run_info},
    {"ls",
     "List the files, ascending by id",
     "ls ARCHIVE [--type TYPE] [--json]",
     "Prints one line per file: the id as eight hexadecimal digits, the file type,\n"
     "the stored size in bytes (the compressed size for a compressed file) and\n"
     "whether the file is stored compressed. Reads no file contents.\n",
     {{"--type", "TYPE"}, {"--json", ""}},
     1,
     1,
     run_ls},
    {"cat",
     "Write one file's bytes to standard output",
     "cat ARCHIVE ID",
     "Writes the bytes of file ID (decompressed when it is stored compressed) to\n"
     "standard output. ID is hexadecimal with a 0x prefix, or decimal.\n",
     {},
     2,
     2,
     run_cat},
    {"extract",
     "Extract the files into a directory",
     "extract ARCHIVE DIR [--type TYPE]",
     "Writes every file (or every file of TYPE) to DIR/TYPE/ID.bin, ID being the\n"
     "file id as eight upper-case hexadecimal digits; DIR and the type directories\n"
     "are created as needed, existing files of those names are replaced, and\n"
     "nothing is written outside DIR (a type directory that is a symbolic link is\n"
     "refused). Shows a progress bar on standard error when it is a terminal.\n"
     "A file that cannot be read is reported and skipped; the status is then 1.\n",
     {{"--type", "TYPE"}},
     2,
     2,
     run_extract},
    {"font",
     "Decode one font record",
     "font ARCHIVE ID [--json]",
     "Decodes file ID as a font record and prints its fields and glyph descriptors.\n",
     {{"--json", ""}},
     2,
     2,
     run_font},
    {"classify",
     "Name the file type of an id",
     "classify ID [--kind portal|cell|local|unknown]",
     "Prints the file type of ID as an archive of the given kind classifies it;\n"
     "without --kind, as the id alone suggests (landblock ids first, then the\n"
     "portal type byte, then indoor cells).\n",
     {{"--kind", "KIND"}},
     1,
     1,
     run_classify},
    {"lrs",
     "Decompress or compress a raw LRS payload",
     "lrs decompress|compress [IN [OUT]]",
     "Decodes an LRS payload (a 4-byte little-endian size, then the token stream)\n"
     "or encodes bytes as one. IN and OUT default to standard input and output;\n"
     "'-' names them explicitly. Inputs are limited to 1 GiB.\n",
     {},
     1,
     3,
     run_lrs},
    {"sample",
     "Write a synthetic portal archive",
     "sample OUT [--files N] [--fonts N] [--seed S]",
     "Writes a synthetic portal archive to OUT: N files in all (default 200, at\n"
     "most 500000), of which the given number are well-formed font records with ids\n"
     "0x40000000 upwards (default 8), the others of many file types with contents\n"
     "drawn from the seed (default 1). Equal options give equal archives.\n",
     {{"--files", "N"}, {"--fonts", "N"}, {"--seed", "S"}},
     1,
     1,
     run_sample},
};

}  // namespace

std::span<const Command> commands() {
    return kCommands;
}

std::optional<tarnwick_dat::DatDatabase> open_archive(std::string_view path) {
    auto db = tarnwick_dat::DatDatabase::open(std::filesystem::path(path));
    if (!db) {
        report_error(db.error());
        return std::nullopt;
    }
    return std::move(db).value();
}

std::optional<tarnwick_dat::Bytes> fetch_file(std::string_view path, std::uint32_t id) {
    auto db = open_archive(path);
    if (!db) {
        return std::nullopt;
    }
    auto bytes = db->get_file(id);
    if (!bytes) {
        report_error(bytes.error());
        return std::nullopt;
    }
    return std::move(bytes).value();
}

std::optional<tarnwick_dat::DatFileType> type_filter(const ParsedArgs& args) {
    if (const auto name = args.value("--type")) {
        return parse_file_type(*name);
    }
    return std::nullopt;
}

tarnwick_dat::DatFileType type_of(const tarnwick_dat::DatDatabase& db, std::uint32_t id) {
    return db.file_type(id);
}

std::vector<std::uint32_t> sorted_ids(const tarnwick_dat::DatDatabase& db,
                                      std::optional<tarnwick_dat::DatFileType> type) {
    std::vector<std::uint32_t> ids;
    ids.reserve(db.files().size());
    for (const tarnwick_dat::DatFileEntry& entry : db.files()) {
        if (!type || db.file_type(entry.id) == *type) {
            ids.push_back(entry.id);
        }
    }
    return ids;
}

}  // namespace tarnwick_dat_tool
