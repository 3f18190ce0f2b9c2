#include "commands.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <tarnwick_dat/verify.hpp>

#include "error_text.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

constexpr std::string_view kSelectionText =
    "Files are selected by the IDs given, by id globs over the eight hexadecimal\n"
    "digits (4000*, 0600001?; any case), by inclusive id ranges\n"
    "(40000000-4000FFFF), by -T FILE (the first field of each line, so that ls\n"
    "output pipes in; '-' reads standard input; blank lines, ls's header and\n"
    "totals lines and everything from a # on are skipped; a list that cannot be\n"
    "read is a failure, status 1) and by --type (repeatable or a comma list such\n"
    "as Font,Model: every file of any of the types). An ID the archive does not\n"
    "list, or a glob or range that matches no file, is reported as an error; the\n"
    "other files are still processed, and the exit status is 1 (2 for diff, where\n"
    "neither version lists it).\n";

const Command kCommands[] = {
    {"info", "Show the archive header, its kind and its number of files", "info ARCHIVE [--json]",
     "Prints the seventeen header fields, the archive kind (Portal, Cell, Local or\n"
     "Unknown) and the number of files in the directory. Reads no file contents.\n",
     false, false},
    {"ls", "List the files",
     "ls ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--sort id|size|type] [-r] [-h] "
     "[--no-header] [--json|--jsonl] [--hash[=xxh3|sha256]]",
     "Prints one line per selected file (every file when none is selected): the id\n"
     "as eight hexadecimal digits, the file type, the stored size (the compressed\n"
     "size for a compressed file), the decoded size (the size a compressed file\n"
     "declares, without decoding it), the timestamp (ISO 8601 UTC when it is a\n"
     "plausible Unix time, else the raw number) and whether the file is stored\n"
     "compressed; then a totals line. On a terminal a header line comes first\n"
     "(--no-header drops it; it is never printed into a pipe or file). Files come\n"
     "in the order their IDs are given, then in ascending id order (all of them\n"
     "so without IDs); --sort orders by id, by decoded size (largest first) or by\n"
     "type name (key names in any case), and -r reverses the order. --json prints\n"
     "one pretty-printed array, --jsonl one compact object per line. Reads no file\n"
     "contents beyond the 4-byte size of each compressed file, unless --hash adds\n"
     "the content hash of each file's decoded bytes (XXH3-128 by default, or\n"
     "SHA-256), read strictly: a file that cannot be read is reported and its hash\n"
     "is '-' (null in JSON). A listing saved with --json --hash is a manifest,\n"
     "which diff takes in place of an archive. Give --hash after the IDs, or as\n"
     "--hash=ALGO.\n",
     true, true},
    {"cat", "Write files' bytes to standard output",
     "cat ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--lenient|--raw]",
     "Writes the bytes of each selected file (decompressed when it is stored\n"
     "compressed) to standard output, in the order the IDs are given and then in\n"
     "ascending id order. A file that cannot be read in full (a damaged compressed\n"
     "stream or a chain that comes back to a block it has already read included)\n"
     "is reported; nothing of it is written when it decodes to at most 1 MiB,\n"
     "while a larger one is written as it is read, in bounded memory, and may\n"
     "have its first bytes written before the damage shows. Chains of different\n"
     "files that share blocks read as they lie: finding those is verify's work.\n"
     "--lenient writes what a damaged compressed file decodes to before the\n"
     "damage, with a warning line; --raw writes the bytes as stored, compressed\n"
     "or not.\n",
     true, true},
    {"extract", "Extract files into a directory",
     "extract ARCHIVE [DIR] [ID...] [-C DIR] [--type TYPE]... [-T FILE] [-j N] "
     "[--max-total SIZE] [--lenient|--raw] [--keep-old-files|--skip-old-files] [--flat] [-q|-v]",
     "Writes each selected file (every file when none is selected) to\n"
     "DIR/TYPE/ID.bin (DIR/ID.bin with --flat), ID being the file id as eight\n"
     "upper-case hexadecimal digits. DIR is the word after ARCHIVE, or -C DIR, or\n"
     "else the current directory, as tar's. With -C every word after ARCHIVE is\n"
     "an ID; without it the first is DIR, so 'extract A 40000001' extracts all of\n"
     "A into a directory named 40000001 (write 'extract A -C . 40000001' for the\n"
     "one file); -C and a DIR word that is no ID together are a usage error.\n"
     "DIR and the type directories are created as needed. Each file is\n"
     "written to a temporary name beside it and renamed into place, so that a\n"
     "failed run, or one ended by a signal, leaves no partial or temporary file\n"
     "and an existing file, hard link or symbolic link of that name is replaced,\n"
     "never written through; --keep-old-files reports it as an error for that\n"
     "file and leaves it, --skip-old-files leaves it silently and counts it as\n"
     "skipped in the summary. -v prints each file's path once written, in\n"
     "ascending id order whatever the number of workers. Ctrl-C stops within a MiB of each file "
     "being\n"
     "written; a second Ctrl-C ends the run at once, still cleaning up. A\n"
     "temporary file left by a run killed outright is removed by the next run\n"
     "once its process is gone. Once the disk is full no further file is tried. A\n"
     "directory, FIFO, device or socket at a file's name is refused, as is a type\n"
     "directory that is a symbolic link: nothing is written outside DIR. A file\n"
     "that cannot be read or written (a damaged compressed stream or a chain that\n"
     "comes back to a block it has already read included) is reported and the\n"
     "others are still extracted; the summary goes to standard error and the\n"
     "status is then 1. Chains of different files that share blocks read as they\n"
     "lie: finding those is verify's work.\n"
     "Each file's modification time is the entry's timestamp when that is a\n"
     "plausible Unix time (1995-01-01 to a day from now), else the time of\n"
     "extraction. Before writing anything, the run is refused when the selected\n"
     "files would expand to more than 64 times the archive's size plus 64 MiB\n"
     "(--max-total sets another limit) or their chains could take more than 16\n"
     "reads per block of the archive plus 65536 (the work budget). Files that\n"
     "decode to more than 1 MiB are written as they are read, in bounded memory.\n"
     "--lenient and --raw fetch as cat's do. A progress bar shows on standard\n"
     "error when it is a terminal.\n",
     true, true},
    {"font", "Decode font records",
     "font ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--json] [--lenient]",
     "Decodes each selected file as a font record and prints its fields and glyph\n"
     "descriptors, a blank line between two fonts; --json prints an array with one\n"
     "object per font. A selection whose files claim more than the work budget (64\n"
     "times the archive's size plus 64 MiB decoded, 16 reads per block plus 65536)\n"
     "is refused before any font is decoded, naming the largest claimers.\n"
     "--lenient decodes what a damaged compressed file holds before the damage,\n"
     "with a warning line. A selected file of another type is not decoded: it is\n"
     "reported as, e.g., '0x01000001 is a Model, not a font'.\n",
     true, true},
    {"verify", "Check the whole archive, or the files selected",
     "verify ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--json|--jsonl] [--quiet] [-j N]",
     "Checks the archive as fsck checks a file system and prints one line per\n"
     "finding, then a summary line. Checked: the header against the file, the\n"
     "directory (duplicate ids, oversized entries), every chain (past the end,\n"
     "looping, short, blocks claimed twice), every compressed stream (cut short or\n"
     "going on after its declared size) and every record of a type that has a\n"
     "check (fonts), within the work budget (64 times the archive's size plus 64\n"
     "MiB decoded, 16 reads per block plus 65536: files beyond it are skipped with\n"
     "an expansion_budget finding). A finding is damage or information (unused\n"
     "blocks, streams referring before their start): a line such as\n"
     "  0x01000006 Model: compressed stream ends after 1289 of 42893 bytes\n"
     "(a directory node's finding starts 'node 0x00000400:', one about the whole\n"
     "archive 'archive:').\n"
     "With IDs, --type or -T only the selected files are checked (with the\n"
     "directory and the header); an ID the archive does not list is a finding.\n"
     "--quiet prints the damage lines only (no information, no summary); --json\n"
     "prints one object: {\"findings\": [{\"severity\", \"kind\", \"id\", \"type\",\n"
     "\"node\", \"description\"}], \"totals\": {...}, \"damaged\": true|false}; --jsonl\n"
     "prints each finding as one compact object per line, then {\"totals\": {...},\n"
     "\"damaged\": true|false} as the last line. -j sets the files fetched at once\n"
     "(default: processors). A progress bar shows on standard error when it is a\n"
     "terminal and the check takes a while.\n"
     "Exit status: 0 when no damage is found, 1 when the archive is damaged or\n"
     "cannot be read, 2 on a usage error.\n",
     true, true},
    {"diff", "Show which files differ between two archive versions",
     "diff OLD NEW [ID...] [--type TYPE]... [-T FILE] [--stat|--ids|--json|--jsonl] [-j N]",
     "Compares the selected files (every file when none is selected) of two\n"
     "versions, each an archive or a manifest (a listing saved with\n"
     "ls --json --hash), by their decoded bytes (through content hashes), then\n"
     "their timestamp, version, flags and stored size; where a file's blocks lie\n"
     "does not count. Prints one line per file that differs, in ascending id\n"
     "order, as git diff --name-status does: a letter (A added, D removed,\n"
     "M modified, T same bytes with other metadata, U unreadable), the id, the\n"
     "type and the decoded sizes old -> new ('-' where a version does not list\n"
     "the file, '?' where it cannot be read), tab-separated; then a summary line.\n"
     "--stat prints a table of files and bytes per type and kind of change instead,\n"
     "--ids only the ids of the files that differ and that NEW lists (to be\n"
     "piped to extract NEW DIR -T -), --json one object (see the README), --jsonl\n"
     "each change as one compact object per line (no summary). A file that cannot\n"
     "be read is reported on standard error. A progress bar shows on standard\n"
     "error when it is a terminal and the comparison takes a while.\n"
     "Exit status: 0 when the selected files are the same, 1 when they differ,\n"
     "2 on trouble (a usage error, a version that cannot be opened or read, an\n"
     "unreadable file, an ID that neither version lists).\n",
     true, true},
    {"classify", "Name the file type of ids", "classify ID... [--kind portal|cell|local|unknown]",
     "Prints the file type of each ID, one line each in the order given, as an\n"
     "archive of the given kind classifies it; without --kind, as the id alone\n"
     "suggests (landblock ids first, then the portal type byte, then indoor\n"
     "cells). A malformed ID is a usage error, and then nothing is printed.\n",
     true, false},
    {"lrs", "Decompress or compress a raw LRS payload", "lrs decompress|compress [IN [OUT]]",
     "Decodes an LRS payload (a 4-byte little-endian size, then the token stream)\n"
     "or encodes bytes as one. IN and OUT default to standard input and output;\n"
     "'-' names them explicitly. Decoding streams in bounded memory whatever the\n"
     "payload's size. A payload shorter than 4 bytes, whose stream ends before\n"
     "the size it declares or goes on after it fails; OUT is then left as it\n"
     "was (it is written under a temporary name and renamed into place), unless\n"
     "it is standard output or a device. Encoding reads its input whole (at most\n"
     "1 GiB).\n",
     false, false},
    {"sample", "Write a synthetic portal archive",
     "sample OUT|- [--files N] [--fonts N] [--seed S]",
     "Writes a synthetic portal archive to OUT: N files in all (default 200, at\n"
     "most 500000), of which the given number are well-formed font records with ids\n"
     "40000000 upwards (default 8, or all files when there are fewer), the others\n"
     "of many file types with contents drawn from the seed (default 1). Equal\n"
     "options give equal archives. OUT '-' writes the archive to standard output\n"
     "(refused when that is a terminal) and the summary line to standard error.\n",
     false, false},
    {"mount", "Mount archives as a read-only file system",
     "mount ARCHIVE... MOUNTPOINT [--union] [-f] [--cache-size SIZE]",
     "Mounts the archive at MOUNTPOINT as a read-only file system that holds the\n"
     "tree extract writes, TYPE/ID.bin, every directory listed in ascending id\n"
     "order. A file's size is its decoded size, its modification time the entry's\n"
     "timestamp when that is a plausible Unix time (else the archive's own), its\n"
     "inode number derived from its id. Several archives lie side by side as\n"
     "MOUNTPOINT/NAME/TYPE/ID.bin, NAME being each archive's file name; --union\n"
     "lays them into one tree instead, and where two hold the same id the later\n"
     "one on the command line wins. Compressed files are decoded once and kept in\n"
     "a cache of at most SIZE bytes (default 64M), which also bounds the reads in\n"
     "flight; a file that cannot be read whole and exactly (a damaged chain or\n"
     "stream, or one needing more than the cache) reads as an I/O error (EIO) and\n"
     "is named once on standard error. The command returns once the file system\n"
     "is mounted and serves it in the background; -f serves it in the foreground\n"
     "until it is unmounted or interrupted. 'tarnwick-dat umount MOUNTPOINT' or\n"
     "'fusermount3 -u MOUNTPOINT' unmounts it.\n",
     false, false},
    {"umount", "Unmount a file system that mount set up", "umount MOUNTPOINT",
     "Unmounts the file system at MOUNTPOINT, as 'fusermount3 -u MOUNTPOINT' does;\n"
     "the mount's process then ends.\n",
     false, false},
};

const Command* find_command(std::string_view name) {
    for (const Command& command : kCommands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

std::string type_names_text() {
    std::string text = "TYPE is a file type name (any case):";
    std::size_t column = 80;
    for (const auto type : all_file_types()) {
        const std::string_view type_name = tarnwick_dat::name(type);
        if (column + type_name.size() + 1 > 78) {
            text += "\n ";
            column = 1;
        }
        text += " ";
        text += type_name;
        column += type_name.size() + 1;
    }
    return text + "\n";
}

std::string tool_help() {
    std::string text = fmt::format(
        "tarnwick-dat {}: inspect and extract the game's portal archives\n\n"
        "Usage: tarnwick-dat COMMAND [ARGS...]\n"
        "       tarnwick-dat COMMAND --help\n\n"
        "Commands:\n",
        TARNWICK_DAT_VERSION);
    for (const Command& command : kCommands) {
        text += fmt::format("  {:<10}{}\n", command.name, command.summary);
    }
    text += fmt::format(
        "\nOptions:\n"
        "  -h, --help     Show this help\n"
        "  -V, --version  Show the version\n\n"
        "{}"
        "Exit status: 0 on success, 1 when the archive or a file cannot be read or\n"
        "written, 2 on a usage error.\n",
        kIdRule);
    return text;
}

// Help texts in the tool's own layout: the synopsis first, then what the
// command does, then CLI11's option table, then the id rule and type names.
class HelpFormatter : public CLI::Formatter {
  public:
    HelpFormatter() { column_width(26); }

    std::string make_help(const CLI::App* app, std::string,
                          CLI::AppFormatMode mode) const override {
        const Command* command =
            app->get_parent() == nullptr ? nullptr : find_command(app->get_name());
        if (command == nullptr) {
            return tool_help();
        }
        std::string text =
            fmt::format("Usage: tarnwick-dat {}\n\n{}", command->usage, command->description);
        text += make_positionals(app);
        text += make_groups(app, mode);
        if (command->takes_ids) {
            text += "\n";
            text += kIdRule;
        }
        if (command->takes_types) {
            text += kSelectionText;
            text += "\n" + type_names_text();
        }
        return text;
    }

    std::string make_option_opts(const CLI::Option* option) const override {
        if (option->get_type_size() == 0 || option->get_positional()) {
            return "";
        }
        return " " + option->get_type_name();
    }
};

void add_selection(CLI::App& app, SelectionArgs& select, bool positional_ids) {
    if (positional_ids) {
        app.add_option("ID", select.ids, "File ids")->type_name("");
    }
    app.add_option("--type", select.types, "Select every file of TYPE (repeatable, or A,B)")
        ->type_name("TYPE")
        ->allow_extra_args(false);
    app.add_option("-T,--files-from", select.list,
                   "Read ids from the first field of FILE's lines ('-': stdin)")
        ->type_name("FILE");
}

// --lenient, and --raw where the command can write stored bytes.
void add_fetch_flags(CLI::App& app, bool& lenient, bool* raw) {
    CLI::Option* salvage = app.add_flag(
        "--lenient", lenient, "Keep what a damaged compressed file decodes to, with a warning");
    if (raw != nullptr) {
        app.add_flag("--raw", *raw, "Write the stored (compressed) bytes undecoded")
            ->excludes(salvage);
    }
}

CLI::Option* add_archive(CLI::App& app, std::string& archive) {
    return app.add_option("ARCHIVE", archive, "The archive file")->required()->type_name("");
}

}  // namespace

std::span<const Command> commands() {
    return kCommands;
}

struct CommandLine::State {
    CLI::App app{"", "tarnwick-dat"};
    bool version = false;
    InfoOptions info;
    LsOptions ls;
    CatOptions cat;
    ExtractOptions extract;
    bool keep_old_files = false;
    bool skip_old_files = false;
    FontOptions font;
    VerifyArgs verify;
    DiffArgs diff;
    ClassifyOptions classify;
    LrsOptions lrs;
    SampleArgs sample;
    MountOptions mount;
    UmountOptions umount;
    std::map<const CLI::App*, std::function<int()>> runners;

    CLI::App& sub(std::string_view name, std::function<int()> runner) {
        const Command* command = find_command(name);
        CLI::App* created = app.add_subcommand(std::string(name), std::string(command->summary));
        runners[created] = std::move(runner);
        return *created;
    }
};

CommandLine::CommandLine() : state_(new State) {
    State& s = *state_;
    CLI::App& app = s.app;
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag("-h,--help", "Show this help");
    app.add_flag("-V,--version", s.version, "Show the version");
    app.require_subcommand(0, 1);

    {
        CLI::App& c = s.sub("info", [&s] { return run_info(s.info); });
        add_archive(c, s.info.archive);
        c.add_flag("--json", s.info.json, "Print one JSON object");
    }
    {
        CLI::App& c = s.sub("ls", [&s] { return run_ls(s.ls); });
        // -h is ls's own: human-readable sizes, as in ls -lh.
        c.set_help_flag("--help", "Show this help");
        add_archive(c, s.ls.archive);
        add_selection(c, s.ls.select, true);
        c.add_option("--sort", s.ls.sort, "Order by id, size or type (any case)")
            ->type_name("KEY")
            ->check(CLI::IsMember({"id", "size", "type"}, CLI::ignore_case));
        c.add_flag("-r,--reverse", s.ls.reverse, "Reverse the order");
        c.add_flag("-h,--human-readable", s.ls.human, "Sizes in K, M, G (powers of 1024)");
        c.add_flag(
            "--no-header", [&s](std::int64_t) { s.ls.header = false; },
            "No header line on a terminal");
        CLI::Option* json = c.add_flag("--json", s.ls.json, "Print a JSON array of objects");
        c.add_flag("--jsonl", s.ls.jsonl, "Print one JSON object per line")->excludes(json);
        CLI::Option* hash = c.add_option("--hash", s.ls.hash, "Add each file's content hash")
                                ->type_name("[=xxh3|sha256]")
                                ->expected(0, 1)
                                ->check(CLI::IsMember({"xxh3", "sha256"}));
        s.runners[&c] = [&s, hash] {
            s.ls.hashed = hash->count() > 0;
            return run_ls(s.ls);
        };
    }
    {
        CLI::App& c = s.sub("cat", [&s] { return run_cat(s.cat); });
        add_archive(c, s.cat.archive);
        add_selection(c, s.cat.select, true);
        add_fetch_flags(c, s.cat.lenient, &s.cat.raw);
    }
    {
        CLI::App& c = s.sub("extract", [&s] { return run_extract(s.extract); });
        add_archive(c, s.extract.archive);
        CLI::Option* dir =
            c.add_option("DIR", s.extract.dir, "The directory to extract into (without -C)")
                ->type_name("");
        add_selection(c, s.extract.select, true);
        CLI::Option* directory =
            c.add_option("-C,--directory", s.extract.directory,
                         "The directory to extract into (default: the current one)")
                ->type_name("DIR");
        add_fetch_flags(c, s.extract.lenient, &s.extract.raw);
        CLI::Option* keep_old =
            c.add_flag("--keep-old-files", s.keep_old_files, "An existing file is an error");
        c.add_flag("--skip-old-files", s.skip_old_files,
                   "Leave existing files alone, counted as skipped")
            ->excludes(keep_old);
        c.add_flag("--flat", s.extract.flat, "Write DIR/ID.bin, without type directories");
        c.add_option("-j,--jobs", s.extract.jobs, "Files written at once (default: processors)")
            ->type_name("N");
        c.add_option("--max-total", s.extract.max_total,
                     "Most bytes the selection may expand to (K, M, G, T)")
            ->type_name("SIZE");
        CLI::Option* quiet = c.add_flag("-q,--quiet", s.extract.quiet, "Print errors only");
        c.add_flag("-v,--verbose", s.extract.verbose, "Print each file's path, in id order")
            ->excludes(quiet);
        s.runners[&c] = [&s, dir, directory] {
            s.extract.dir_given = dir->count() > 0;
            s.extract.directory_given = directory->count() > 0;
            s.extract.old_files = s.keep_old_files   ? OldFiles::Keep
                                  : s.skip_old_files ? OldFiles::Skip
                                                     : OldFiles::Replace;
            return run_extract(s.extract);
        };
    }
    {
        CLI::App& c = s.sub("font", [&s] { return run_font(s.font); });
        add_archive(c, s.font.archive);
        add_selection(c, s.font.select, true);
        add_fetch_flags(c, s.font.lenient, nullptr);
        c.add_flag("--json", s.font.json, "Print a JSON array of objects");
    }
    {
        CLI::App& c = s.sub("verify", [&s] { return run_verify(s.verify); });
        add_archive(c, s.verify.archive);
        add_selection(c, s.verify.select, true);
        CLI::Option* json = c.add_flag("--json", s.verify.json, "Print one JSON object");
        CLI::Option* jsonl =
            c.add_flag("--jsonl", s.verify.jsonl, "Print one JSON object per finding, then totals")
                ->excludes(json);
        c.add_flag("-q,--quiet", s.verify.quiet, "Print the damage lines only")
            ->excludes(json)
            ->excludes(jsonl);
        c.add_option("-j,--jobs", s.verify.jobs, "Files fetched at once (default: processors)")
            ->type_name("N");
    }
    {
        CLI::App& c = s.sub("diff", [&s] { return run_diff(s.diff); });
        c.add_option("OLD", s.diff.old_path, "The old version: an archive or a manifest")
            ->required()
            ->type_name("");
        c.add_option("NEW", s.diff.new_path, "The new version: an archive or a manifest")
            ->required()
            ->type_name("");
        add_selection(c, s.diff.select, true);
        CLI::Option* stat =
            c.add_flag("--stat", s.diff.stat, "Print files and bytes per type and kind");
        CLI::Option* ids =
            c.add_flag("--ids", s.diff.ids, "Print only the ids NEW lists")->excludes(stat);
        CLI::Option* json = c.add_flag("--json", s.diff.json, "Print one JSON object")
                                ->excludes(stat)
                                ->excludes(ids);
        c.add_flag("--jsonl", s.diff.jsonl, "Print one JSON object per change")
            ->excludes(stat)
            ->excludes(ids)
            ->excludes(json);
        c.add_option("-j,--jobs", s.diff.jobs, "Files compared at once (default: processors)")
            ->type_name("N");
    }
    {
        CLI::App& c = s.sub("classify", [&s] { return run_classify(s.classify); });
        c.add_option("ID", s.classify.ids, "File ids")->required()->type_name("");
        c.add_option("--kind", s.classify.kind, "Archive kind: portal, cell, local or unknown")
            ->type_name("KIND");
    }
    {
        CLI::App& c = s.sub("lrs", [&s] { return run_lrs(s.lrs); });
        c.add_option("MODE", s.lrs.mode, "decompress or compress")->required()->type_name("");
        c.add_option("IN", s.lrs.in, "Input file ('-': standard input)")->type_name("");
        c.add_option("OUT", s.lrs.out, "Output file ('-': standard output)")->type_name("");
    }
    {
        CLI::App& c = s.sub("sample", [&s] { return run_sample(s.sample); });
        c.add_option("OUT", s.sample.out, "The archive to write")->required()->type_name("");
        c.add_option("--files", s.sample.files, "Files in all (default 200)")->type_name("N");
        c.add_option("--fonts", s.sample.fonts, "Font files among them (default 8)")
            ->type_name("N");
        c.add_option("--seed", s.sample.seed, "Seed of the contents (default 1)")->type_name("S");
    }
    {
        CLI::App& c = s.sub("mount", [&s] { return run_mount(s.mount); });
        c.add_option("ARCHIVE", s.mount.paths, "The archives, then the mount point")
            ->required()
            ->type_name("");
        c.add_flag("--union", s.mount.combine, "One tree; a later archive wins an id");
        c.add_flag("-f,--foreground", s.mount.foreground, "Serve in the foreground");
        c.add_option("--cache-size", s.mount.cache_size,
                     "Most bytes kept decoded (K, M, G; default 64M)")
            ->type_name("SIZE");
    }
    {
        CLI::App& c = s.sub("umount", [&s] { return run_umount(s.umount); });
        c.add_option("MOUNTPOINT", s.umount.mountpoint, "The mount point")
            ->required()
            ->type_name("");
    }
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        sub->formatter(app.get_formatter());
    }
}

CommandLine::~CommandLine() {
    delete state_;
}

namespace {

int usage_error(std::string_view message, const CLI::App* command) {
    report_error(message);
    if (command != nullptr) {
        const Command* known = find_command(command->get_name());
        report_note(fmt::format("usage: tarnwick-dat {}", known->usage));
        report_note(
            fmt::format("Try 'tarnwick-dat {} --help' for more information.", command->get_name()));
    } else {
        report_note("Try 'tarnwick-dat --help' for more information.");
    }
    return kExitUsage;
}

}  // namespace

int CommandLine::run(int argc, char** argv) {
    CLI::App& app = state_->app;
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        console_text(tool_help());
        return kExitUsage;
    }
    // "help COMMAND" is "COMMAND --help".
    if (words[0] == "help") {
        if (words.size() == 1) {
            out(tool_help());
            return kExitOk;
        }
        if (find_command(words[1]) == nullptr) {
            return usage_error(fmt::format("unknown command '{}'", words[1]), nullptr);
        }
        words = {words[1], "--help"};
    } else if (!words[0].starts_with("-") && find_command(words[0]) == nullptr) {
        return usage_error(fmt::format("unknown command '{}'", words[0]), nullptr);
    }
    const std::string first = words[0];
    const CLI::App* command = nullptr;
    try {
        std::reverse(words.begin(), words.end());
        try {
            app.parse(words);
        } catch (const CLI::CallForHelp&) {
            out(app.help());
            return kExitOk;
        } catch (const CLI::ParseError& error) {
            return usage_error(
                error.what(), find_command(first) != nullptr ? app.get_subcommand(first) : nullptr);
        }
        if (state_->version) {
            outf("tarnwick-dat {}\n", TARNWICK_DAT_VERSION);
            return kExitOk;
        }
        const std::vector<CLI::App*> chosen = app.get_subcommands();
        if (chosen.empty()) {
            console_text(tool_help());
            return kExitUsage;
        }
        command = chosen.front();
        return state_->runners.at(command)();
    } catch (const UsageError& error) {
        return usage_error(error.what(), command);
    }
}

std::string open_failure_text(std::string_view path, const tarnwick_dat::DatError& error) {
    // A file that is no archive, or an archive cut short, says so before
    // whatever field or chain gave out first.
    if (error.kind() != tarnwick_dat::DatErrorKind::PathError) {
        if (auto facts = tarnwick_dat::read_archive_file_facts(std::filesystem::path(path))) {
            const tarnwick_dat::ArchiveFileFacts& f = facts.value();
            if (f.foreign()) {
                return f.magic ? fmt::format("not a portal archive (magic 0x{:08X})", *f.magic)
                               : fmt::format(
                                     "not a portal archive (the file is {} byte{}, "
                                     "too short for a header)",
                                     f.file_bytes, f.file_bytes == 1 ? "" : "s");
            }
            if (std::optional<tarnwick_dat::DatError> problem = f.problem()) {
                return problem->text();
            }
        }
    }
    return error_line(error);
}

std::optional<tarnwick_dat::DatDatabase> open_archive(std::string_view path) {
    auto db = tarnwick_dat::DatDatabase::open(std::filesystem::path(path));
    if (!db) {
        report_archive_error(path, open_failure_text(path, db.error()));
        return std::nullopt;
    }
    return std::move(db).value();
}

std::string fetch_failure_text(const tarnwick_dat::DatDatabase& db, std::uint32_t id,
                               const tarnwick_dat::DatError& error) {
    using Kind = tarnwick_dat::DatErrorKind;
    if (error.kind() == Kind::DecompressionFailed || error.kind() == Kind::Io) {
        // The check of this one file knows where its chain or stream broke.
        tarnwick_dat::VerifyOptions options;
        options.threads = 1;
        options.ids = {id};
        const tarnwick_dat::VerifyReport report = tarnwick_dat::verify_archive(db, options);
        for (const tarnwick_dat::Finding& finding : report.findings) {
            if (finding.file_id == id && finding.severity == tarnwick_dat::Severity::Damage) {
                return finding.description;
            }
        }
    }
    return error_line(error);
}

FetchMode fetch_mode(bool lenient, bool raw) {
    return raw ? FetchMode::Raw : lenient ? FetchMode::Lenient : FetchMode::Strict;
}

bool fetch_file(const tarnwick_dat::DatDatabase& db, std::string_view archive, std::uint32_t id,
                tarnwick_dat::Bytes& bytes, FetchMode mode, tarnwick_dat::SharedBlocks* shared) {
    if (mode == FetchMode::Raw) {
        const tarnwick_dat::DatFileEntry* entry = db.files().find(id);
        if (entry == nullptr) {
            report_file_error(archive, id, "no such file in the archive");
            return false;
        }
        auto read = db.read_file_data_into(entry->offset, entry->size, bytes);
        if (!read) {
            report_file_error(archive, id, fetch_failure_text(db, id, read.error()));
            return false;
        }
        return true;
    }
    auto read =
        db.read_file_into(id, bytes, tarnwick_dat::FetchOptions{.strict = true, .shared = shared});
    if (read) {
        return true;
    }
    if (mode == FetchMode::Lenient &&
        read.error().kind() == tarnwick_dat::DatErrorKind::DecompressionFailed) {
        const std::string cause = fetch_failure_text(db, id, read.error());
        if (auto salvaged = db.read_file_into(
                id, bytes, tarnwick_dat::FetchOptions{.strict = false, .shared = shared})) {
            report_note(
                fmt::format("warning: {}: 0x{:08X}: {}; kept the {} byte{} decoded before it",
                            archive, id, cause, bytes.size(), bytes.size() == 1 ? "" : "s"));
            return true;
        }
    }
    report_file_error(archive, id, fetch_failure_text(db, id, read.error()));
    return false;
}

bool fetched_whole(const tarnwick_dat::DatFileEntry& entry) {
    const std::uint64_t most = std::uint64_t{entry.size} * (entry.is_compressed() ? 9 : 1);
    return most <= kWholeFileLimit;
}

bool stream_file(const tarnwick_dat::DatDatabase& db, std::string_view archive, std::uint32_t id,
                 const std::function<bool(std::span<const std::uint8_t>)>& sink,
                 tarnwick_dat::SharedBlocks* shared) {
    auto reader = db.open_file(id, shared);
    if (!reader) {
        report_file_error(archive, id, reader.error());
        return false;
    }
    tarnwick_dat::Bytes piece(256 * 1024);
    for (;;) {
        auto got = reader->read(piece);
        if (!got) {
            report_file_error(archive, id, fetch_failure_text(db, id, got.error()));
            return false;
        }
        if (*got == 0) {
            return true;
        }
        if (!sink(std::span<const std::uint8_t>(piece).first(*got))) {
            return false;
        }
    }
}

}  // namespace tarnwick_dat_tool
