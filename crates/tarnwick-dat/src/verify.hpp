// Checking a whole archive the way fsck checks a file system: every chain,
// every compressed stream, every record that has a check, the directory and
// the header, with every finding collected rather than the first one thrown.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_type/mod.hpp"
#include "lib.hpp"

namespace tarnwick_dat {

/// How bad a finding is.
enum class Severity : std::uint8_t {
    /// The archive is damaged: some file or structure does not read as it
    /// claims to.
    Damage,
    /// Worth knowing, not wrong: the archive reads as it claims to.
    Information,
};

/// What a finding is about. Reports list findings in this order.
enum class FindingKind : std::uint8_t {
    /// The archive does not open at all (path form only).
    ArchiveUnreadable,
    /// The header's `file_size` differs from the file's real length.
    HeaderFileSize,
    /// The header's magic is not 0x5442.
    HeaderMagic,
    /// The header's block size and dataset make neither a portal nor a cell
    /// archive (information).
    HeaderKind,
    /// A selected id the directory does not list.
    MissingFile,
    /// Two directory entries share an id; the finding names the one that lost.
    DuplicateId,
    /// An entry's size exceeds the archive file's length.
    SizeExceedsFile,
    /// The entries claim more bytes or reads than the work budget allows
    /// (overlapping chains); the claims beyond the budget were not expanded.
    ExpansionBudget,
    /// A chain's block could not be read for a reason other than the file's end.
    ReadFailed,
    /// A chain runs past the end of the file.
    ChainPastEnd,
    /// A chain comes back to a block it has already passed.
    ChainLoop,
    /// A chain ends (link 0) before it holds the entry's size.
    ChainShort,
    /// Two chains claim the same block: two files, or a file and a node.
    CrossLinked,
    /// A compressed stream ends before its declared size.
    StreamCut,
    /// A compressed stream goes on after its declared size.
    StreamOverrun,
    /// A record of a checked type does not decode or fails its checks.
    RecordInvalid,
    /// A compressed stream refers before the start of its output, which
    /// decodes by repeating the first byte (information).
    StreamBeforeStart,
    /// Blocks reached by no chain and no node (information).
    UnusedBlocks,
};

/// The stable lower-case name of `kind`, e.g. "stream_cut".
std::string_view finding_kind_name(FindingKind kind);
/// The severity every finding of `kind` has.
Severity finding_severity(FindingKind kind);
/// "damage" or "information".
std::string_view severity_name(Severity severity);

/// One thing verification found.
struct Finding {
    Severity severity = Severity::Damage;
    FindingKind kind = FindingKind::ArchiveUnreadable;
    /// The file concerned, when it is a file.
    std::optional<std::uint32_t> file_id;
    /// The type of `file_id` in the archive's kind, when a file is concerned.
    std::optional<DatFileType> file_type;
    /// The directory node concerned (its first block), when it is a node.
    std::optional<std::uint32_t> node_offset;
    /// One line, without the id: "compressed stream ends after 1289 of 42893 bytes".
    std::string description;

    /// The line a user sees: "0x01000006 Model: <description>" for a file,
    /// "node 0x00000400: <description>" for a node (a file's finding that
    /// also names a node keeps the file form), "archive: <description>"
    /// otherwise.
    std::string display() const;

    friend bool operator==(const Finding&, const Finding&) = default;
};

/// What verification went through.
struct VerifyTotals {
    /// Files checked (selected entries found in the directory).
    std::uint64_t files = 0;
    /// Directory nodes checked.
    std::uint64_t nodes = 0;
    /// Bytes gathered along chains, nodes included.
    std::uint64_t stored_bytes = 0;
    /// Bytes of the checked files once decoded (stored bytes for plain files).
    std::uint64_t decoded_bytes = 0;
    /// Block positions between the end of the header's area and the file's end.
    std::uint64_t blocks = 0;
    /// Of those, blocks reached by no chain and no node (0 when only some
    /// files were checked, by selection or by the expansion budget: the
    /// others' blocks would look unused).
    std::uint64_t unused_blocks = 0;
    /// Positional reads of the archive made along chains (not shown in the
    /// summary; for measuring the work done against the budget).
    std::uint64_t reads = 0;

    friend bool operator==(const VerifyTotals&, const VerifyTotals&) = default;
};

/// What `verify_archive` does and how.
struct VerifyOptions {
    /// Worker threads fetching at once; 0: the hardware's concurrency.
    unsigned threads = 0;
    /// Called on the calling thread as work completes, with the items (nodes
    /// and files) done and the total; last with done == total. May be empty.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    /// Only these file ids (empty: every file). Nodes and the header are
    /// always checked.
    std::vector<std::uint32_t> ids;
    /// The work budget (budget.hpp): the entries may claim at most
    /// `expansion_factor` × the archive's length plus `expansion_allowance`
    /// bytes in all (decoded sizes for compressed entries), and at most
    /// `read_factor` × its block count plus `read_allowance` reads, before
    /// verification refuses to expand more.
    std::uint64_t expansion_factor = 64;
    std::uint64_t expansion_allowance = std::uint64_t{64} << 20;
    std::uint64_t read_factor = 16;
    std::uint64_t read_allowance = 65536;
    /// Files stored in more bytes than this are read and decoded in pieces
    /// rather than whole; the findings are the same either way.
    std::uint64_t streamed_above = std::uint64_t{1} << 20;
};

/// Every finding, in a fixed order (kind, then file id, then node offset,
/// then description) whatever the thread count, and the totals.
struct VerifyReport {
    std::vector<Finding> findings;
    VerifyTotals totals;

    /// True when a finding of severity `Damage` is present.
    bool damaged() const;
    /// One summary line: "12 files, 3 nodes, 40960 bytes read, 81920 bytes
    /// decoded, 40 blocks (2 unused): 1 damage, 1 information".
    std::string summary() const;
};

/// Checks the opened archive `database` and reports what it found. Never
/// stops at the first finding; reads each chain once (a cross-linked chain
/// twice); fetches on `options.threads` threads; memory follows the archive's
/// block count plus a few MiB per worker, whatever the files' sizes (a file
/// stored in more than `options.streamed_above` bytes is read and decoded in
/// pieces; one file of a checked type at a time is gathered, up to 16 MiB,
/// for its check).
VerifyReport verify_archive(const DatDatabase& database, const VerifyOptions& options = {});

/// Opens the archive at `path` and checks it; an archive that does not open
/// gives a report with one `ArchiveUnreadable` finding carrying the error.
VerifyReport verify_archive_at(const std::filesystem::path& path,
                               const VerifyOptions& options = {});

/// The report of an archive that did not open with `error`: one
/// `ArchiveUnreadable` finding carrying it. For a caller that opened the
/// archive itself, so that the failure it met is the one reported.
VerifyReport unreadable_archive_report(const DatError& error);

/// The largest decoded file of a checked record type that is decoded for
/// its check (and that the `font` command decodes): a record larger than
/// this is damage, reported rather than held in memory.
inline constexpr std::uint64_t kLargestCheckedRecord = std::uint64_t{16} << 20;

/// A check of one record type: null when `bytes` (the decoded file `id`) is
/// a sound record, else one line saying what is wrong.
using RecordCheck = std::optional<std::string> (*)(std::uint32_t id,
                                                   std::span<const std::uint8_t> bytes);

/// The check of `type`, or null when files of that type are not checked:
/// today only `Font` is (decodes, self-id, glyphs present, non-zero cell
/// size, 36 + 11 × glyphs bytes).
RecordCheck record_check_for(DatFileType type);

}  // namespace tarnwick_dat
