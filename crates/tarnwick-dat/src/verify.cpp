// Verification of a whole archive.
//
// Work is split in items: every directory node, then every selected file.
// Workers take items in chunks (parallel.hpp); each item's chain is read once with a trace,
// its blocks are claimed in one shared array indexed by block number, and the
// same bytes are decoded and checked. Findings go to the worker's own list
// and are merged and sorted at the end, so the report does not depend on the
// thread count or on which worker ran what.
//
// Block ownership. Each block position (offset / block size) holds the
// smallest owner that claimed it, plus a bit set once a second owner claims
// it; both are independent of the order of claims. An owner that meets a
// claimed block marks itself and the block's owner as involved, which marks
// exactly the owners of shared blocks. A second pass re-reads the chains of
// those owners alone and reports, for each, the owners it shares blocks with
// that are smaller than itself: each cross-linked pair once.
//
// Shared tails. Chains that start apart may run into one tail of blocks
// (hostile, or damaged, layouts). Every chain read notes its blocks in one
// set for the run (shared_blocks.hpp); a block met a second time is kept
// once read, and the chains that meet it after that copy it, so such a tail
// costs about two reads per block, however many entries run into it. The
// second pass reads through the same set: the shared blocks it follows are
// all kept by then. A sound archive keeps nothing.
//
// The expansion budget. Entries whose chains overlap can claim far more
// bytes than the archive holds (each one re-reading and re-decoding the same
// blocks). Before any work, the claims are summed with an upper bound for
// compressed entries (no stream yields more than 9 bytes per stored byte);
// only when that bound exceeds the budget are the declared sizes read, and
// entries are then admitted in id order while they fit, the rest skipped.

#include "verify.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "budget.hpp"
#include "file_type/font.hpp"
#include "internal/block_memo.hpp"
#include "internal/chain_stream.hpp"
#include "internal/lrs_capacity.hpp"
#include "internal/parallel.hpp"
#include "lrs.hpp"
#include "shared_blocks.hpp"

namespace tarnwick_dat {

namespace {

// ---------------------------------------------------------------------------
// LRS stream facts

using StreamEnd = LrsEnd;

struct StreamFacts {
    std::uint64_t declared = 0;  // the size field (0 for ShortInput)
    std::uint64_t produced = 0;
    std::uint64_t consumed = 0;  // input bytes read, size field included
    StreamEnd end = StreamEnd::ShortInput;
    bool reached_before_start = false;
};

// What a decoder's outcome says of a stream that declares `declared` bytes.
StreamFacts facts_of(std::uint32_t declared, const LrsOutcome& outcome) {
    StreamFacts facts;
    facts.declared = declared;
    facts.produced = outcome.produced;
    facts.consumed = outcome.consumed;
    facts.end = outcome.end;
    facts.reached_before_start = outcome.reached_before_start;
    return facts;
}

// Decodes `input` into the first `produced` bytes of `output` (a scratch
// buffer whose size only grows, so that reuse costs no clearing) and says how
// decoding ended.
StreamFacts decode_stream(std::span<const std::uint8_t> input, Bytes& output) {
    const std::optional<std::uint32_t> declared = lrs_declared_size(input);
    if (!declared) {
        return StreamFacts{};
    }
    const std::size_t capacity = lrs_output_capacity(input);
    if (output.size() < capacity) {
        output.resize(capacity);
    }
    return facts_of(*declared, decode_lrs_into(input, std::span(output).first(capacity)));
}

// Decodes `input` in pieces, keeping only the streaming decoder's window and
// a small scratch buffer: the facts of a stream too large to hold decoded.
StreamFacts scan_stream(std::span<const std::uint8_t> input) {
    const std::optional<std::uint32_t> declared = lrs_declared_size(input);
    if (!declared) {
        return StreamFacts{};
    }
    constexpr std::size_t kFeed = 256 * 1024;
    LrsDecoder decoder;
    std::array<std::uint8_t, 64 * 1024> scratch{};
    std::size_t fed = 0;
    while (!decoder.done()) {
        if (decoder.decode(scratch) == scratch.size()) {
            continue;
        }
        if (decoder.done()) {
            break;
        }
        if (fed == input.size()) {
            decoder.finish();
            continue;
        }
        const std::size_t n = std::min(kFeed, input.size() - fed);
        decoder.feed(input.subspan(fed, n));
        fed += n;
    }
    return facts_of(*declared, decoder.outcome());
}

// "1 block", "2 blocks".
std::string blocks_text(std::uint64_t n) {
    return fmt::format("{} block{}", n, n == 1 ? "" : "s");
}

std::string_view stream_end_text(StreamEnd end) {
    switch (end) {
        case StreamEnd::ShortInput:
            return "no size field";
        case StreamEnd::OutputFull:
            return "size reached";
        case StreamEnd::InputExhausted:
            return "input used up";
        case StreamEnd::EndMarker:
            return "end marker";
        case StreamEnd::CutToken:
            return "reference cut short";
        case StreamEnd::EmptyReference:
            return "reference before any output";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Record checks

// One line from a record error: its cause, then its fields innermost first.
std::string one_line(const RecordReadError& error) {
    std::string text = error.io_cause() != nullptr ? error.io_cause()->display() : "bad record";
    const char* separator = " (";
    for (const ContextFrame& frame : error.frames()) {
        text += separator + frame.message;
        separator = " < ";
    }
    if (!error.frames().empty()) {
        text += ")";
    }
    return text;
}

// The checks the font parity case makes, in its order; the first failing
// one is reported.
std::optional<std::string> check_font(std::uint32_t id, std::span<const std::uint8_t> bytes) {
    ByteReader reader(bytes);
    auto font = Font::read(reader);
    if (!font) {
        return fmt::format("Font does not decode ({} bytes): {}", bytes.size(),
                           one_line(font.error()));
    }
    if (font->id != id) {
        return fmt::format("Font self-id 0x{:08X} differs from its file id", font->id);
    }
    if (font->char_descs.empty()) {
        return std::string("Font has zero char descs");
    }
    if (font->max_char_height == 0 || font->max_char_width == 0) {
        return fmt::format("Font has zero max cell size ({}x{})", font->max_char_height,
                           font->max_char_width);
    }
    const std::uint64_t predicted = 36 + 11 * std::uint64_t{font->char_descs.size()};
    if (predicted != bytes.size()) {
        return fmt::format("Font size mismatch: predicted {} != actual {}", predicted,
                           bytes.size());
    }
    return std::nullopt;
}

// The check verification runs on files of one type.
struct RecordCheckEntry {
    DatFileType type;
    RecordCheck check;
};

// The registry: one row per checked type. A new record type adds its row.
constexpr RecordCheckEntry kRecordChecks[] = {
    {DatFileType::Font, &check_font},
};

// ---------------------------------------------------------------------------
// Findings

Finding make_finding(FindingKind kind, std::string description) {
    Finding finding;
    finding.kind = kind;
    finding.severity = finding_severity(kind);
    finding.description = std::move(description);
    return finding;
}

auto sort_key(const Finding& f) {
    return std::tie(f.kind, f.file_id, f.node_offset, f.description);
}

// ---------------------------------------------------------------------------
// Block ownership

constexpr std::uint32_t kShared = 0x80000000u;
constexpr std::uint32_t kOwnerMask = 0x7FFFFFFFu;

// One slot per block position of the file; see the top of this file. The
// positions counted end where 32-bit links stop reaching, and when the file
// has far more positions than the chains can reach (a sparse file's
// apparent size), only the positions reached get a slot, in tables that
// grow with them.
class BlockOwners {
  public:
    BlockOwners(std::uint64_t archive_length, std::uint32_t block_size, std::uint64_t reach)
        : block_size_(block_size),
          // Blocks start on multiples of the block size, the first one after
          // the header's area; a partial block at the file's end counts.
          first_slot_((kHeaderOffset + kArchiveHeaderSize + block_size - 1) / block_size),
          end_slot_(std::max(first_slot_, std::min((archive_length + block_size - 1) / block_size,
                                                   std::uint64_t{0xFFFFFFFF} / block_size + 1))) {
        if (block_count() <= 2 * reach + kDenseAlways) {
            slots_ = std::make_unique<std::atomic<std::uint32_t>[]>(
                static_cast<std::size_t>(block_count()));
        } else {
            shards_ = std::make_unique<Shard[]>(kShards);
        }
    }

    std::uint64_t block_count() const { return end_slot_ - first_slot_; }

    // Claims `block` for `owner` (0-based); returns the owner met there
    // before (0-based), if any other.
    std::optional<std::uint32_t> claim(std::uint32_t block, std::uint32_t owner) {
        const auto slot = slot_of(block);
        if (!slot) {
            return std::nullopt;
        }
        const std::uint32_t me = owner + 1;
        std::uint32_t old = 0;
        if (slots_) {
            std::atomic<std::uint32_t>& cell = slots_[*slot];
            old = cell.load(std::memory_order_relaxed);
            while (!cell.compare_exchange_weak(old, merged(old, me), std::memory_order_relaxed)) {
            }
        } else {
            Shard& shard = shards_[*slot % kShards];
            const std::lock_guard lock(shard.mutex);
            std::uint32_t& cell = shard.owners[static_cast<std::uint32_t>(*slot)];
            old = cell;
            cell = merged(old, me);
        }
        const std::uint32_t before = old & kOwnerMask;
        if (before == 0 || before == me) {
            return std::nullopt;  // first claim, or the same chain again off the grid
        }
        return before - 1;
    }

    // The smallest owner of a shared block (0-based), or none when the
    // block is not shared.
    std::optional<std::uint32_t> shared_with(std::uint32_t block) const {
        const auto slot = slot_of(block);
        if (!slot) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        if (slots_) {
            value = slots_[*slot].load(std::memory_order_relaxed);
        } else {
            Shard& shard = shards_[*slot % kShards];
            const std::lock_guard lock(shard.mutex);
            const auto found = shard.owners.find(static_cast<std::uint32_t>(*slot));
            value = found == shard.owners.end() ? 0 : found->second;
        }
        if ((value & kShared) == 0) {
            return std::nullopt;
        }
        return (value & kOwnerMask) - 1;
    }

    std::uint64_t unused() const {
        std::uint64_t used = 0;
        if (slots_) {
            for (std::uint64_t i = 0; i < block_count(); ++i) {
                used += slots_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed) != 0;
            }
        } else {
            for (std::size_t i = 0; i < kShards; ++i) {
                used += shards_[i].owners.size();
            }
        }
        return block_count() - used;
    }

  private:
    // Files with at most this many block positions always get a slot per
    // position; others get one when the chains can reach half of them.
    static constexpr std::uint64_t kDenseAlways = 1 << 16;
    static constexpr std::size_t kShards = 64;

    // The reached positions of a sparse file, by position.
    struct Shard {
        std::mutex mutex;
        std::unordered_map<std::uint32_t, std::uint32_t> owners;
    };

    // What a cell holding `old` holds once `me` has claimed it: the
    // smaller owner, marked shared when there are two.
    static std::uint32_t merged(std::uint32_t old, std::uint32_t me) {
        const std::uint32_t current = old & kOwnerMask;
        if (current == me) {
            return old;
        }
        return current == 0 ? me : (std::min(current, me) | kShared);
    }

    // The slot of a block: the block position that its first byte lies in
    // (a block off the grid shares the slot of the one it overlaps), or
    // none for offsets inside the header's area or past the end.
    std::optional<std::uint64_t> slot_of(std::uint32_t block) const {
        const std::uint64_t slot = block / block_size_;
        if (slot < first_slot_ || slot >= end_slot_) {
            return std::nullopt;
        }
        return slot - first_slot_;
    }

    std::uint64_t block_size_;
    std::uint64_t first_slot_;
    std::uint64_t end_slot_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> slots_;
    std::unique_ptr<Shard[]> shards_;
};

// ---------------------------------------------------------------------------
// The run

// Most cross-linked pairs reported one by one; the rest are counted.
constexpr std::size_t kMaxCrossLinkFindings = 256;
// The largest file of a checked record type that is decoded for its check.
constexpr std::size_t kLargestRecord = kLargestCheckedRecord;
// The pieces a streamed stream is decoded into.
constexpr std::size_t kDecodePiece = 64 * 1024;
// Items a worker takes at once.
constexpr std::size_t kChunk = 32;

struct WorkerState {
    Bytes stored;
    ChainScratch scratch;
    Bytes decoded;
    ChainTrace trace;
    std::vector<Finding> findings;
    VerifyTotals totals;
    // The last chain read, kept while `stored` and `trace` still hold it:
    // entries that share a whole chain (same start, same length) are read
    // once per run of them, not once per entry.
    bool cached = false;
    std::uint32_t cached_offset = 0;
    std::uint32_t cached_length = 0;
    std::vector<Finding> cached_findings;
    // What a streamed file is decoded into, piece by piece.
    Bytes piece;
};

class Verifier {
  public:
    Verifier(const DatDatabase& db, const VerifyOptions& options)
        : db_(db),
          options_(options),
          chain_(detail::DatabaseAccess::chain(db)),
          shared_(db),
          node_count_(db.node_offsets().size()) {}

    VerifyReport run();

  private:
    // Owners: nodes 0..n-1, then files by table index.
    std::uint32_t node_owner(std::size_t node) const { return static_cast<std::uint32_t>(node); }
    std::uint32_t file_owner(std::size_t index) const {
        return static_cast<std::uint32_t>(node_count_ + index);
    }

    void select_files(std::vector<Finding>& findings);
    void apply_budget(std::vector<Finding>& findings);
    void run_items(std::vector<WorkerState>& workers);
    void check_item(std::size_t item, WorkerState& w);
    void check_node(std::size_t node, WorkerState& w);
    void check_file(std::size_t index, WorkerState& w);
    void check_streamed(std::size_t index, WorkerState& w, const Finding& base);
    // Reports what a chain read to its end met (a loop, a short chain).
    void report_chain(std::uint32_t length, WorkerState& w, const Finding& base);
    // Reports a chain read that failed.
    void report_chain_failure(std::uint32_t offset, const DatError& error, WorkerState& w,
                              const Finding& base);
    // Reports what decoding a compressed file's `stored` bytes found; true
    // when the stream yielded exactly its declared size.
    bool report_stream(const DatFileEntry& entry, const StreamFacts& facts, std::uint64_t stored,
                       WorkerState& w);
    // Runs the record check on a complete file of `decoded` bytes, of which
    // `bytes` holds all when it is at most `kLargestRecord`.
    void report_record(const DatFileEntry& entry, RecordCheck check, std::uint64_t decoded,
                       std::span<const std::uint8_t> bytes, WorkerState& w);
    void claim(const ChainTrace& trace, std::uint32_t owner);
    bool read_chain(std::uint32_t offset, std::uint32_t length, WorkerState& w, Finding base);
    // Reports the cross-linked pairs; returns the reads made.
    std::uint64_t cross_links(std::vector<Finding>& findings);
    void header_checks(std::vector<Finding>& findings) const;

    Finding file_finding(FindingKind kind, std::uint32_t id, std::string description) const {
        Finding finding = make_finding(kind, std::move(description));
        finding.file_id = id;
        finding.file_type = db_.file_type(id);
        return finding;
    }
    Finding node_finding(FindingKind kind, std::uint32_t offset, std::string description) const {
        Finding finding = make_finding(kind, std::move(description));
        finding.node_offset = offset;
        return finding;
    }

    const DatDatabase& db_;
    const VerifyOptions& options_;
    const BlockChain& chain_;
    // The blocks the run's chains pass, and those passed twice, kept.
    SharedBlocks shared_;
    // Made once the files to check are known: its size follows the blocks
    // their chains can reach.
    std::optional<BlockOwners> owners_;
    std::size_t node_count_;
    // The selected ids, sorted (empty: every file).
    std::vector<std::uint32_t> selected_;
    // Table indices of the selected files that will be checked.
    std::vector<std::size_t> files_;
    // False when only some files are checked: the others' blocks would look
    // unused.
    bool every_file_ = true;
    std::unique_ptr<std::atomic<std::uint8_t>[]> involved_;
    // Held while a large file of a checked type is gathered for its check.
    std::mutex large_;
};

void Verifier::select_files(std::vector<Finding>& findings) {
    const auto entries = db_.files().entries();
    every_file_ = options_.ids.empty();
    if (options_.ids.empty()) {
        files_.resize(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            files_[i] = i;
        }
        return;
    }
    selected_ = options_.ids;
    std::sort(selected_.begin(), selected_.end());
    selected_.erase(std::unique(selected_.begin(), selected_.end()), selected_.end());
    for (const std::uint32_t id : selected_) {
        const DatFileEntry* entry = db_.files().find(id);
        if (entry == nullptr) {
            findings.push_back(file_finding(FindingKind::MissingFile, id,
                                            "not listed in the archive's directory"));
            continue;
        }
        files_.push_back(static_cast<std::size_t>(entry - entries.data()));
    }
}

void Verifier::apply_budget(std::vector<Finding>& findings) {
    const auto entries = db_.files().entries();
    std::vector<const DatFileEntry*> selected;
    selected.reserve(files_.size());
    for (const std::size_t i : files_) {
        selected.push_back(&entries[i]);
    }
    const WorkBudget budget =
        WorkBudget::for_archive(db_, options_.expansion_factor, options_.expansion_allowance,
                                options_.read_factor, options_.read_allowance);
    const BudgetCheck check = check_budget(db_, selected, budget);
    if (check.fits()) {
        return;
    }
    // Entries are admitted in id order while both sums still fit.
    std::vector<std::size_t> kept;
    std::uint64_t bytes = 0;
    std::uint64_t reads = 0;
    std::size_t skipped = 0;
    for (std::size_t k = 0; k < files_.size(); ++k) {
        const WorkClaim& claim = check.claims[k];
        if (bytes + claim.bytes <= budget.bytes && reads + claim.reads <= budget.reads) {
            bytes += claim.bytes;
            reads += claim.reads;
            kept.push_back(files_[k]);
        } else {
            ++skipped;
        }
    }
    findings.push_back(
        make_finding(FindingKind::ExpansionBudget,
                     fmt::format("{} entries not expanded: {}", skipped, check.describe())));
    files_ = std::move(kept);
    every_file_ = false;
}

void Verifier::claim(const ChainTrace& trace, std::uint32_t owner) {
    for (const std::uint32_t block : trace.blocks) {
        if (const auto other = owners_->claim(block, owner)) {
            involved_[owner].store(1, std::memory_order_relaxed);
            involved_[*other].store(1, std::memory_order_relaxed);
        }
    }
}

// Reads one chain into `w.stored` with its trace; reports what the chain
// met under `base` (a finding with its id or node set). False when no bytes
// came back.
bool Verifier::read_chain(std::uint32_t offset, std::uint32_t length, WorkerState& w,
                          Finding base) {
    if (w.cached && w.cached_offset == offset && w.cached_length == length) {
        for (const Finding& cached : w.cached_findings) {
            Finding finding = base;
            finding.kind = cached.kind;
            finding.severity = cached.severity;
            finding.description = cached.description;
            w.findings.push_back(std::move(finding));
        }
        w.totals.stored_bytes += length;
        return true;
    }
    w.cached = false;
    const std::size_t first_finding = w.findings.size();
    w.trace.blocks.clear();
    w.trace.looped = false;
    w.trace.tail_overrun = 0;
    w.trace.reads = 0;
    auto read =
        chain_.read_into(offset, length, w.stored, w.scratch, &w.trace, nullptr, &shared_.memo());
    w.totals.reads += w.trace.reads;
    if (!read) {
        report_chain_failure(offset, read.error(), w, base);
        return false;
    }
    report_chain(length, w, base);
    if (length > 0) {
        w.cached = true;
        w.cached_offset = offset;
        w.cached_length = length;
        w.cached_findings.assign(w.findings.begin() + static_cast<std::ptrdiff_t>(first_finding),
                                 w.findings.end());
    }
    return true;
}

void Verifier::report_chain_failure(std::uint32_t offset, const DatError& error, WorkerState& w,
                                    const Finding& base) {
    Finding finding = base;
    const IoError* io = error.io_error();
    if (io != nullptr && io->kind() == IoErrorKind::UnexpectedEof) {
        finding.kind = FindingKind::ChainPastEnd;
        finding.description =
            w.trace.blocks.empty()
                ? fmt::format("chain starting at 0x{:08X} runs past the end of the file", offset)
                : fmt::format("chain runs past the end of the file after {}",
                              blocks_text(w.trace.blocks.size()));
    } else {
        finding.kind = FindingKind::ReadFailed;
        finding.description = fmt::format("chain read failed: {}", error.display());
    }
    finding.severity = finding_severity(finding.kind);
    w.findings.push_back(std::move(finding));
}

void Verifier::report_chain(std::uint32_t length, WorkerState& w, const Finding& base) {
    auto report = [&](FindingKind kind, std::string description) {
        Finding finding = base;
        finding.kind = kind;
        finding.severity = finding_severity(kind);
        finding.description = std::move(description);
        w.findings.push_back(std::move(finding));
    };
    w.totals.stored_bytes += length;
    if (w.trace.looped) {
        report(FindingKind::ChainLoop,
               fmt::format("chain loops back after {}", blocks_text(w.trace.blocks.size())));
    }
    if (w.trace.tail_overrun > 0) {
        report(FindingKind::ChainShort,
               fmt::format("chain of {} holds {} of {} bytes", blocks_text(w.trace.blocks.size()),
                           length - w.trace.tail_overrun, length));
    }
}

bool Verifier::report_stream(const DatFileEntry& entry, const StreamFacts& facts,
                             std::uint64_t stored, WorkerState& w) {
    // Fetching passes a payload without a size field through as it is.
    const bool sized = facts.end != StreamEnd::ShortInput;
    w.totals.decoded_bytes += sized ? facts.produced : stored;
    // Complete only when the stream yielded exactly its declared size, the
    // strict fetch's test: a stream whose output was capped at the most its
    // payload could yield reports a full output while short.
    const bool complete = sized && facts.produced == facts.declared;
    if (!sized) {
        w.findings.push_back(
            file_finding(FindingKind::StreamCut, entry.id,
                         fmt::format("compressed payload of {} bytes has no size field", stored)));
    } else if (!complete) {
        w.findings.push_back(file_finding(
            FindingKind::StreamCut, entry.id,
            fmt::format(
                "compressed stream ends after {} of {} bytes ({})", facts.produced, facts.declared,
                stream_end_text(facts.end == StreamEnd::OutputFull ? StreamEnd::InputExhausted
                                                                   : facts.end))));
    } else if (facts.consumed < stored) {
        w.findings.push_back(
            file_finding(FindingKind::StreamOverrun, entry.id,
                         fmt::format("compressed stream goes on for {} bytes after its {} bytes",
                                     stored - facts.consumed, facts.declared)));
    }
    if (facts.reached_before_start) {
        w.findings.push_back(
            file_finding(FindingKind::StreamBeforeStart, entry.id,
                         "compressed stream refers before the start of its output"));
    }
    return complete;
}

void Verifier::report_record(const DatFileEntry& entry, RecordCheck check, std::uint64_t decoded,
                             std::span<const std::uint8_t> bytes, WorkerState& w) {
    if (decoded > kLargestRecord) {
        w.findings.push_back(file_finding(
            FindingKind::RecordInvalid, entry.id,
            fmt::format("record of {} bytes is larger than the {} bytes a record is checked up to",
                        decoded, kLargestRecord)));
    } else if (auto problem = check(entry.id, bytes)) {
        w.findings.push_back(
            file_finding(FindingKind::RecordInvalid, entry.id, std::move(*problem)));
    }
}

void Verifier::check_node(std::size_t node, WorkerState& w) {
    const std::uint32_t offset = db_.node_offsets()[node];
    Finding base;
    base.node_offset = offset;
    read_chain(offset, kNodeSize, w, std::move(base));
    claim(w.trace, node_owner(node));
    ++w.totals.nodes;
}

void Verifier::check_file(std::size_t index, WorkerState& w) {
    const DatFileEntry& entry = db_.files().entries()[index];
    ++w.totals.files;
    if (entry.size > db_.archive_length()) {
        w.findings.push_back(
            file_finding(FindingKind::SizeExceedsFile, entry.id,
                         fmt::format("entry size {} exceeds the archive's {} bytes", entry.size,
                                     db_.archive_length())));
        return;
    }
    Finding base;
    base.file_id = entry.id;
    base.file_type = db_.file_type(entry.id);
    // Large files are read in pieces and decoded as they come, so that a
    // worker's memory does not follow a file's size.
    if (entry.size > options_.streamed_above) {
        check_streamed(index, w, base);
        return;
    }
    const bool read = read_chain(entry.offset, entry.size, w, base);
    if (entry.size == 0 && entry.offset != 0) {
        // An empty file reads nothing, but its chain still starts in (and
        // keeps) the block it points at.
        w.trace.blocks.push_back(entry.offset);
    }
    claim(w.trace, file_owner(index));
    if (!read) {
        return;
    }

    std::span<const std::uint8_t> bytes = w.stored;
    std::uint64_t decoded = entry.size;
    bool complete = true;
    const RecordCheck check = record_check_for(db_.file_type(entry.id));
    if (entry.is_compressed()) {
        // A stream that would decode to more than a worker keeps is only
        // scanned: its facts are all that is checked, unless its type has
        // a record check, which needs the bytes (up to a limit).
        const std::size_t capacity = lrs_output_capacity(w.stored);
        const bool scanned = capacity > (check != nullptr ? kLargestRecord : kKeptBufferBytes);
        const StreamFacts facts =
            scanned ? scan_stream(w.stored) : decode_stream(w.stored, w.decoded);
        complete = report_stream(entry, facts, w.stored.size(), w);
        if (facts.end != StreamEnd::ShortInput) {
            decoded = facts.produced;
            bytes = std::span<const std::uint8_t>(w.decoded.data(),
                                                  scanned ? 0 : static_cast<std::size_t>(decoded));
        }
    } else {
        w.totals.decoded_bytes += entry.size;
    }
    // A record cut short by its stream is already reported as such.
    if (complete && check != nullptr) {
        report_record(entry, check, decoded, bytes, w);
    }
}

// A large file, read in pieces: its chain's facts as the whole-chain read
// gives them, a compressed stream decoded as it comes (stopping where
// decoding it whole would), and for a checked type its decoded bytes
// gathered up to `kLargestRecord`, one such file at a time.
void Verifier::check_streamed(std::size_t index, WorkerState& w, const Finding& base) {
    const DatFileEntry& entry = db_.files().entries()[index];
    const RecordCheck check = record_check_for(db_.file_type(entry.id));
    std::unique_lock<std::mutex> one_at_a_time(large_, std::defer_lock);
    if (check != nullptr) {
        one_at_a_time.lock();
    }
    w.cached = false;
    w.trace = ChainTrace{};
    ChainStream chain(db_, entry.offset, entry.size, OnLoop::Repeat, &w.trace, &shared_.memo());
    ReadCounts counts;

    // The bytes the record check needs, while they fit.
    Bytes& record = w.decoded;
    record.clear();
    bool gathering = check != nullptr;
    std::uint64_t produced = 0;
    const auto take = [&](std::span<const std::uint8_t> bytes) {
        produced += bytes.size();
        if (!gathering) {
            return;
        }
        if (produced > kLargestRecord) {
            gathering = false;
            Bytes().swap(record);
            return;
        }
        record.insert(record.end(), bytes.begin(), bytes.end());
    };

    const bool compressed = entry.is_compressed();
    LrsDecoder decoder;
    std::uint8_t head[4] = {};
    std::size_t head_bytes = 0;
    std::uint64_t capacity = UINT64_MAX;
    bool capped = false;
    bool stream_over = false;
    w.piece.resize(kDecodePiece);
    // Drains what the decoder can give, no further than decoding the whole
    // payload into `capacity` bytes would go.
    const auto drain = [&] {
        while (!stream_over) {
            const std::uint64_t room = std::min<std::uint64_t>(w.piece.size(), capacity - produced);
            if (room == 0) {
                capped = true;
                stream_over = true;
                break;
            }
            const std::size_t n =
                decoder.decode(std::span(w.piece).first(static_cast<std::size_t>(room)));
            take(std::span<const std::uint8_t>(w.piece).first(n));
            if (decoder.done()) {
                stream_over = true;
            } else if (n < room) {
                break;  // more input is needed
            }
        }
    };

    for (;;) {
        auto piece = chain.next(counts);
        if (!piece) {
            w.totals.reads += counts.reads;
            report_chain_failure(entry.offset, piece.error(), w, base);
            claim(w.trace, file_owner(index));
            return;
        }
        if (piece->empty()) {
            break;
        }
        if (!compressed) {
            take(*piece);
            continue;
        }
        if (stream_over) {
            continue;  // the rest of the chain is still read for its facts
        }
        if (head_bytes < 4) {
            const std::size_t n = std::min(piece->size(), 4 - head_bytes);
            std::memcpy(head + head_bytes, piece->data(), n);
            head_bytes += n;
            if (head_bytes == 4) {
                // Only a bound below the declared size stops decoding early:
                // the declared size stops the decoder by itself.
                const std::uint32_t declared = load_le32(head);
                const std::uint64_t bound = lrs_output_capacity_for(declared, entry.size);
                capacity = bound < declared ? bound : UINT64_MAX;
            }
        }
        decoder.feed(*piece);
        drain();
    }
    w.totals.reads += counts.reads;
    report_chain(entry.size, w, base);
    claim(w.trace, file_owner(index));

    bool complete = true;
    if (compressed) {
        if (!stream_over) {
            decoder.finish();
            drain();
        }
        const LrsOutcome& outcome = decoder.outcome();
        StreamFacts facts;
        facts.declared = load_le32(head);
        facts.produced = produced;
        facts.consumed = outcome.consumed;
        facts.end = capped ? StreamEnd::OutputFull : outcome.end;
        facts.reached_before_start = outcome.reached_before_start;
        complete = report_stream(entry, facts, entry.size, w);
    } else {
        w.totals.decoded_bytes += entry.size;
    }
    if (complete && check != nullptr) {
        report_record(entry, check, produced, record, w);
    }
    record.clear();
}

void Verifier::check_item(std::size_t item, WorkerState& w) {
    if (item < node_count_) {
        check_node(item, w);
    } else {
        check_file(files_[item - node_count_], w);
    }
    if (w.stored.capacity() > kKeptBufferBytes) {
        w.cached = false;
    }
    trim_kept_buffer(w.stored);
    trim_kept_buffer(w.decoded);
}

void Verifier::run_items(std::vector<WorkerState>& workers) {
    detail::run_in_chunks(node_count_ + files_.size(), static_cast<unsigned>(workers.size()),
                          kChunk, options_.progress, [&](unsigned worker, std::size_t item) {
                              check_item(item, workers[worker]);
                          });
}

std::uint64_t Verifier::cross_links(std::vector<Finding>& findings) {
    const auto entries = db_.files().entries();
    const auto nodes = db_.node_offsets();
    const std::size_t owner_count = node_count_ + entries.size();
    auto describe_owner = [&](std::uint32_t owner) {
        return owner < node_count_ ? fmt::format("directory node 0x{:08X}", nodes[owner])
                                   : fmt::format("0x{:08X}", entries[owner - node_count_].id);
    };
    std::size_t reported = 0;
    std::size_t unreported = 0;
    std::uint64_t reads = 0;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> last;
    ChainTrace trace;
    for (std::size_t owner = 0; owner < owner_count; ++owner) {
        if (involved_[owner].load(std::memory_order_relaxed) == 0) {
            continue;
        }
        const bool is_node = owner < node_count_;
        const std::uint32_t offset = is_node ? nodes[owner] : entries[owner - node_count_].offset;
        const std::uint32_t length = is_node ? kNodeSize : entries[owner - node_count_].size;
        // Owners that share a whole chain are traced once per run of them.
        if (!(last && last->first == offset && last->second == length && length > 0)) {
            // Only the blocks are wanted: the bytes pass by in pieces, the
            // shared blocks (kept by the first pass) from the run's set, and
            // a loop ends the chain (its blocks are all met by then).
            trace = ChainTrace{};
            ChainStream chain(db_, offset, length, OnLoop::Stop, &trace, &shared_.memo());
            ReadCounts counts;
            for (;;) {
                auto piece = chain.next(counts);
                if (!piece || piece->empty()) {
                    break;
                }
            }
            reads += counts.reads;
            if (length == 0 && offset != 0) {
                trace.blocks.push_back(offset);  // as in the first pass
            }
            last.emplace(offset, length);
        }
        // Per smaller owner met: blocks shared and the first one.
        std::map<std::uint32_t, std::pair<std::uint64_t, std::uint32_t>> met;
        for (const std::uint32_t block : trace.blocks) {
            const auto first = owners_->shared_with(block);
            if (first && *first != owner) {
                auto [at, inserted] = met.try_emplace(*first, 0, block);
                ++at->second.first;
            }
        }
        for (const auto& [other, shared] : met) {
            if (reported == kMaxCrossLinkFindings) {
                ++unreported;
                continue;
            }
            ++reported;
            const std::string text =
                fmt::format("shares {} with {}, first at 0x{:08X}", blocks_text(shared.first),
                            describe_owner(other), shared.second);
            if (is_node) {
                findings.push_back(node_finding(FindingKind::CrossLinked, nodes[owner], text));
            } else {
                Finding f =
                    file_finding(FindingKind::CrossLinked, entries[owner - node_count_].id, text);
                if (other < node_count_) {
                    f.node_offset = nodes[other];
                }
                findings.push_back(std::move(f));
            }
        }
    }
    if (unreported > 0) {
        findings.push_back(make_finding(
            FindingKind::CrossLinked,
            fmt::format("{} more pairs of chains share blocks (not listed)", unreported)));
    }
    return reads;
}

void Verifier::header_checks(std::vector<Finding>& findings) const {
    const DatHeader& h = db_.header();
    if (h.file_size != db_.archive_length()) {
        findings.push_back(
            make_finding(FindingKind::HeaderFileSize,
                         fmt::format("header records a file size of {} bytes, the file has {}",
                                     h.file_size, db_.archive_length())));
    }
    if (h.magic != 0x5442) {
        findings.push_back(
            make_finding(FindingKind::HeaderMagic,
                         fmt::format("unknown magic 0x{:08X} (expected 0x00005442)", h.magic)));
    } else if (h.dat_kind() == DatKind::Local) {
        findings.push_back(make_finding(
            FindingKind::HeaderKind,
            fmt::format("block size {} with dataset {} is neither a portal nor a cell archive",
                        h.block_size, h.dataset)));
    }
}

VerifyReport Verifier::run() {
    VerifyReport report;
    std::vector<Finding>& findings = report.findings;
    header_checks(findings);
    select_files(findings);

    // Entries that lost to a later one with the same id.
    for (const DatFileEntry& lost : db_.shadowed_entries()) {
        if (!selected_.empty() &&
            !std::binary_search(selected_.begin(), selected_.end(), lost.id)) {
            continue;
        }
        const DatFileEntry* winner = db_.files().find(lost.id);
        findings.push_back(file_finding(
            FindingKind::DuplicateId, lost.id,
            fmt::format("entry at 0x{:08X} ({} bytes) is replaced by a later entry at 0x{:08X} "
                        "({} bytes)",
                        lost.offset, lost.size, winner != nullptr ? winner->offset : 0,
                        winner != nullptr ? winner->size : 0)));
    }

    apply_budget(findings);

    // A chain passes at most one block per payload's worth of its length
    // (one for an empty file, which keeps the block it points at).
    const std::uint64_t payload = db_.header().block_size - kBlockLinkSize;
    std::uint64_t reach = node_count_ * ((kNodeSize + payload - 1) / payload);
    for (const std::size_t i : files_) {
        const DatFileEntry& e = db_.files().entries()[i];
        if (e.size <= db_.archive_length()) {
            reach += std::max<std::uint64_t>(1, (std::uint64_t{e.size} + payload - 1) / payload);
        }
    }
    owners_.emplace(db_.archive_length(), db_.header().block_size, reach);

    const std::size_t owner_count = node_count_ + db_.files().size();
    involved_ = std::make_unique<std::atomic<std::uint8_t>[]>(owner_count);

    std::vector<WorkerState> workers(
        detail::worker_count(options_.threads, node_count_ + files_.size(), kChunk));
    run_items(workers);
    for (WorkerState& w : workers) {
        findings.insert(findings.end(), std::make_move_iterator(w.findings.begin()),
                        std::make_move_iterator(w.findings.end()));
        report.totals.files += w.totals.files;
        report.totals.nodes += w.totals.nodes;
        report.totals.stored_bytes += w.totals.stored_bytes;
        report.totals.reads += w.totals.reads;
        report.totals.decoded_bytes += w.totals.decoded_bytes;
    }
    workers.clear();

    report.totals.reads += cross_links(findings);

    report.totals.blocks = owners_->block_count();
    if (every_file_) {
        report.totals.unused_blocks = owners_->unused();
        if (report.totals.unused_blocks > 0) {
            findings.push_back(
                make_finding(FindingKind::UnusedBlocks,
                             fmt::format("{} of {} blocks are reached by no chain and no node",
                                         report.totals.unused_blocks, report.totals.blocks)));
        }
    }

    std::sort(findings.begin(), findings.end(),
              [](const Finding& a, const Finding& b) { return sort_key(a) < sort_key(b); });
    return report;
}

// Collapses a multi-line error text into one line.
std::string single_line(std::string text) {
    std::string out;
    bool gap = false;
    for (const char c : text) {
        if (c == '\n') {
            gap = true;
            continue;
        }
        if (gap) {
            if (c == ' ') {
                continue;
            }
            out += "; ";
            gap = false;
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string_view finding_kind_name(FindingKind kind) {
    switch (kind) {
        case FindingKind::ArchiveUnreadable:
            return "archive_unreadable";
        case FindingKind::HeaderFileSize:
            return "header_file_size";
        case FindingKind::HeaderMagic:
            return "header_magic";
        case FindingKind::HeaderKind:
            return "header_kind";
        case FindingKind::MissingFile:
            return "missing_file";
        case FindingKind::DuplicateId:
            return "duplicate_id";
        case FindingKind::SizeExceedsFile:
            return "size_exceeds_file";
        case FindingKind::ExpansionBudget:
            return "expansion_budget";
        case FindingKind::ReadFailed:
            return "read_failed";
        case FindingKind::ChainPastEnd:
            return "chain_past_end";
        case FindingKind::ChainLoop:
            return "chain_loop";
        case FindingKind::ChainShort:
            return "chain_short";
        case FindingKind::CrossLinked:
            return "cross_linked";
        case FindingKind::StreamCut:
            return "stream_cut";
        case FindingKind::StreamOverrun:
            return "stream_overrun";
        case FindingKind::RecordInvalid:
            return "record_invalid";
        case FindingKind::StreamBeforeStart:
            return "stream_before_start";
        case FindingKind::UnusedBlocks:
            return "unused_blocks";
    }
    return "?";
}

Severity finding_severity(FindingKind kind) {
    switch (kind) {
        case FindingKind::HeaderKind:
        case FindingKind::StreamBeforeStart:
        case FindingKind::UnusedBlocks:
            return Severity::Information;
        default:
            return Severity::Damage;
    }
}

std::string_view severity_name(Severity severity) {
    return severity == Severity::Damage ? "damage" : "information";
}

std::string Finding::display() const {
    if (file_id) {
        if (file_type) {
            return fmt::format("0x{:08X} {}: {}", *file_id, name(*file_type), description);
        }
        return fmt::format("0x{:08X}: {}", *file_id, description);
    }
    if (node_offset) {
        return fmt::format("node 0x{:08X}: {}", *node_offset, description);
    }
    return fmt::format("archive: {}", description);
}

bool VerifyReport::damaged() const {
    return std::any_of(findings.begin(), findings.end(),
                       [](const Finding& f) { return f.severity == Severity::Damage; });
}

std::string VerifyReport::summary() const {
    const auto damage = static_cast<std::size_t>(
        std::count_if(findings.begin(), findings.end(),
                      [](const Finding& f) { return f.severity == Severity::Damage; }));
    return fmt::format(
        "{} files, {} nodes, {} bytes read, {} bytes decoded, {} blocks ({} unused): {} damage, "
        "{} information",
        totals.files, totals.nodes, totals.stored_bytes, totals.decoded_bytes, totals.blocks,
        totals.unused_blocks, damage, findings.size() - damage);
}

VerifyReport verify_archive(const DatDatabase& database, const VerifyOptions& options) {
    return Verifier(database, options).run();
}

VerifyReport verify_archive_at(const std::filesystem::path& path, const VerifyOptions& options) {
    auto database = DatDatabase::open(path);
    if (!database) {
        return unreadable_archive_report(database.error());
    }
    return verify_archive(database.value(), options);
}

VerifyReport unreadable_archive_report(const DatError& error) {
    VerifyReport report;
    report.findings.push_back(
        make_finding(FindingKind::ArchiveUnreadable, single_line(error.display())));
    return report;
}

RecordCheck record_check_for(DatFileType type) {
    for (const RecordCheckEntry& entry : kRecordChecks) {
        if (entry.type == type) {
            return entry.check;
        }
    }
    return nullptr;
}

}  // namespace tarnwick_dat
