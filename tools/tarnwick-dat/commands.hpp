// The subcommands of tarnwick-dat: their options, names, help texts and
// entry points, and the helpers they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tarnwick_dat/file_reader.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/shared_blocks.hpp>
#include <vector>

#include "cli.hpp"
#include "selection.hpp"

namespace CLI {
class App;
}

namespace tarnwick_dat_tool {

struct InfoOptions {
    std::string archive;
    bool json = false;
};

struct LsOptions {
    std::string archive;
    SelectionArgs select;
    /// The sort key as given (any case); empty: the order given.
    std::string sort;
    bool reverse = false;
    bool human = false;
    bool json = false;
    bool jsonl = false;
    /// The column header, printed only when standard output is a terminal.
    bool header = true;
    /// --hash given, with `hash` the algorithm named (empty: xxh3).
    bool hashed = false;
    std::string hash;
};

/// How a command fetches a file's bytes.
enum class FetchMode {
    /// Decoded, and a damaged compressed stream is an error.
    Strict,
    /// Decoded, and a damaged compressed stream gives the bytes decoded
    /// before the damage, with a warning.
    Lenient,
    /// The stored bytes, compressed or not, as the archive holds them.
    Raw,
};

struct CatOptions {
    std::string archive;
    SelectionArgs select;
    bool lenient = false;
    bool raw = false;
};

/// What extract does with a file already at an extracted file's name.
enum class OldFiles {
    /// Replace it (never writing through it).
    Replace,
    /// Leave it and report an error for that file (--keep-old-files).
    Keep,
    /// Leave it silently and count it as skipped (--skip-old-files).
    Skip,
};

struct ExtractOptions {
    std::string archive;
    /// The second positional word: DIR, or with -C the first id.
    std::string dir;
    bool dir_given = false;
    /// -C DIR.
    std::string directory;
    bool directory_given = false;
    SelectionArgs select;
    OldFiles old_files = OldFiles::Replace;
    bool flat = false;
    std::string jobs;
    std::string max_total;
    bool lenient = false;
    bool raw = false;
    bool quiet = false;
    bool verbose = false;
};

struct FontOptions {
    std::string archive;
    SelectionArgs select;
    bool lenient = false;
    bool json = false;
};

struct VerifyArgs {
    std::string archive;
    SelectionArgs select;
    std::string jobs;
    bool json = false;
    bool jsonl = false;
    bool quiet = false;
};

struct DiffArgs {
    std::string old_path;
    std::string new_path;
    SelectionArgs select;
    std::string jobs;
    bool stat = false;
    bool ids = false;
    bool json = false;
    bool jsonl = false;
};

struct ClassifyOptions {
    std::vector<std::string> ids;
    std::string kind;
};

struct LrsOptions {
    std::string mode;
    std::string in = "-";
    std::string out = "-";
};

struct SampleArgs {
    std::string out;
    std::string files;
    std::string fonts;
    std::string seed;
};

struct MountOptions {
    std::vector<std::string> paths;  // the archives, then the mount point
    std::string cache_size;
    bool combine = false;
    bool foreground = false;
};

struct UmountOptions {
    std::string mountpoint;
};

int run_info(const InfoOptions& options);
int run_ls(const LsOptions& options);
int run_cat(const CatOptions& options);
int run_extract(const ExtractOptions& options);
int run_font(const FontOptions& options);
int run_verify(const VerifyArgs& options);
int run_diff(const DiffArgs& options);
int run_classify(const ClassifyOptions& options);
int run_lrs(const LrsOptions& options);
int run_sample(const SampleArgs& options);
int run_mount(const MountOptions& options);
int run_umount(const UmountOptions& options);

/// One subcommand.
struct Command {
    std::string_view name;
    /// One line for the tool's own help.
    std::string_view summary;
    /// The synopsis, e.g. "info ARCHIVE [--json]".
    std::string_view usage;
    /// What `--help` prints after the synopsis.
    std::string_view description;
    /// The command takes ids (its help states the id rule) and `--type`
    /// (its help lists the type names).
    bool takes_ids;
    bool takes_types;
};

/// Every subcommand, in the order the tool's help lists them.
std::span<const Command> commands();

/// The command line of the whole tool: every subcommand with its options.
/// `runner` receives, once parsed, the function that runs the command given.
class CommandLine {
  public:
    CommandLine();
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    /// Parses `argv` and runs the command; returns the exit status.
    int run(int argc, char** argv);

  private:
    struct State;
    State* state_;
};

/// Opens the archive at `path`; on failure reports "error: ARCHIVE: ..."
/// and returns nothing.
std::optional<tarnwick_dat::DatDatabase> open_archive(std::string_view path);

/// How a failed open of the archive at `path` reads: "not a portal archive
/// (magic 0x...)" or "truncated: ..." when the file's length and signature
/// explain it, else the error itself.
std::string open_failure_text(std::string_view path, const tarnwick_dat::DatError& error);

/// How a failed fetch of file `id` reads: for a damaged chain or stream, what
/// a check of that file finds ("compressed stream ends after 1367 of 5463
/// bytes (...)"), else the error itself.
std::string fetch_failure_text(const tarnwick_dat::DatDatabase& db, std::uint32_t id,
                               const tarnwick_dat::DatError& error);

/// The fetch mode that `--lenient` and `--raw` ask for.
FetchMode fetch_mode(bool lenient, bool raw);

/// Fetches file `id` into `bytes` as `mode` says. On failure reports "error:
/// ARCHIVE: 0xID: ..." and returns false; a lenient fetch of a damaged stream
/// reports "warning: ARCHIVE: 0xID: ..." and returns true. A pass over many
/// files gives its `shared` blocks, so that chains merging into one tail
/// read it once.
bool fetch_file(const tarnwick_dat::DatDatabase& db, std::string_view archive, std::uint32_t id,
                tarnwick_dat::Bytes& bytes, FetchMode mode = FetchMode::Strict,
                tarnwick_dat::SharedBlocks* shared = nullptr);

/// Files that decode to at most this many bytes are fetched whole; larger
/// ones are read in pieces, so that memory does not follow a file's size.
inline constexpr std::uint64_t kWholeFileLimit = std::uint64_t{1} << 20;

/// True when `entry` decodes to at most `kWholeFileLimit` bytes whatever its
/// stream declares (no LRS stream yields more than 9 bytes per stored byte).
bool fetched_whole(const tarnwick_dat::DatFileEntry& entry);

/// Reads file `id` strictly in pieces of at most 256 KiB, handing each to
/// `sink` (which returns false to stop: the read is then abandoned and
/// `stream_file` returns false without a report). On a read failure reports
/// "error: ARCHIVE: 0xID: ..." and returns false; pieces before the failure
/// have been handed on. `shared` as for `fetch_file`.
bool stream_file(const tarnwick_dat::DatDatabase& db, std::string_view archive, std::uint32_t id,
                 const std::function<bool(std::span<const std::uint8_t>)>& sink,
                 tarnwick_dat::SharedBlocks* shared = nullptr);

}  // namespace tarnwick_dat_tool
