// Work and memory in proportion to the archive: one table of hostile
// layouts, each with the bounds that verification, a bulk fetch of every
// file, the strict fetch and the streaming reader must keep on it, checked by counting reads and
// the peak of live heap memory (never by timing). A sound 100,000-file sample uses a small fraction
// of the work budget.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "tarnwick_dat/budget.hpp"
#include "tarnwick_dat/content_hash.hpp"
#include "tarnwick_dat/diff.hpp"
#include "tarnwick_dat/file_reader.hpp"
#include "tarnwick_dat/manifest.hpp"
#include "tarnwick_dat/shared_blocks.hpp"
#include "tarnwick_dat/verify.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

// Live heap bytes and their peak, for the whole test program.
namespace {
std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void* counted(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    const auto now = g_live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p))) +
                     static_cast<std::int64_t>(malloc_usable_size(p));
    auto peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void uncounted(void* p) noexcept {
    if (p != nullptr) {
        g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)));
        std::free(p);
    }
}
}  // namespace

void* operator new(std::size_t size) {
    return counted(size);
}
void* operator new[](std::size_t size) {
    return counted(size);
}
void operator delete(void* p) noexcept {
    uncounted(p);
}
void operator delete[](void* p) noexcept {
    uncounted(p);
}
void operator delete(void* p, std::size_t) noexcept {
    uncounted(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    uncounted(p);
}

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat_writer::NodeSpec;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

// The peak of live heap bytes above what was live when it started.
class PeakMemory {
  public:
    PeakMemory() : base_(g_live.load()) { g_peak.store(base_); }
    std::int64_t above_start() const { return g_peak.load() - base_; }

  private:
    std::int64_t base_;
};

// The root node holds up to 61 entries; more go into leaves under it.
void set_directory(RawArchive& a, const std::vector<DatFileEntry>& entries) {
    std::vector<std::uint32_t> leaves;
    NodeSpec root;
    for (std::size_t i = 0; i < entries.size(); i += 61) {
        NodeSpec leaf;
        leaf.entries.assign(
            entries.begin() + static_cast<std::ptrdiff_t>(i),
            entries.begin() + static_cast<std::ptrdiff_t>(std::min(entries.size(), i + 61)));
        leaves.push_back(a.write_node(leaf));
    }
    // An inner root with n entries owns n + 1 children: take one leaf's
    // worth of separators out of the leaves would be sound; here the root
    // only links them (verification and fetching read any tree).
    for (std::size_t i = 0; i < leaves.size() && i < 62; ++i) {
        root.branches[i] = leaves[i];
    }
    root.count = static_cast<std::uint32_t>(std::min<std::size_t>(leaves.size(), 62) - 1);
    a.header.root_offset = a.write_node(root);
}

struct Layout {
    Bytes image;
    // The ids whose strict fetch and streaming read are measured.
    std::vector<std::uint32_t> fetched;
    // When set, the file is extended to this length without writing (a
    // sparse file: its apparent size, not its blocks on disk).
    std::uint64_t sparse_length = 0;
    // Further ids whose bulk fetch is compared with fetching them alone.
    std::vector<std::uint32_t> compared{};
};

// A row: a hostile layout and the bounds it must keep.
struct Row {
    const char* name;
    std::function<Layout()> build;
    // Verification: reads at most this many times the archive's blocks
    // (plus the directory's reads), and peak memory at most this many
    // times the archive's length plus 4 MiB, on four threads.
    double reads_per_block;
    double memory_per_byte;
    // Whether the selection exceeds the work budget.
    bool over_budget;
    // Fetching every file strictly through one set of shared blocks: reads
    // at most this many times the archive's blocks, plus one per file and a
    // few.
    double bulk_reads_per_block;
};

Bytes filler(std::size_t n) {
    return Bytes(n, 0x5A);
}

// An LRS payload of at least `length` bytes at the best ratio (a literal,
// then references of 17 bytes), declaring `declared` bytes.
Bytes best_ratio_payload(std::uint32_t declared, std::size_t length) {
    Bytes payload = {static_cast<std::uint8_t>(declared), static_cast<std::uint8_t>(declared >> 8),
                     static_cast<std::uint8_t>(declared >> 16),
                     static_cast<std::uint8_t>(declared >> 24)};
    for (std::size_t group = 0; payload.size() < length; ++group) {
        payload.push_back(group == 0 ? 0x7F : 0xFF);
        if (group == 0) {
            payload.push_back('a');
        }
        for (int t = 0; t < (group == 0 ? 7 : 8); ++t) {
            payload.insert(payload.end(), {0x01, 0x0F});
        }
    }
    return payload;
}

// `count` compressed entries of `size` stored bytes, each declaring
// `declared`, all on one chain of four blocks whose fourth loops back to the
// second (the loop's 3060 bytes are whole groups of references).
std::vector<DatFileEntry> on_looping_chain(RawArchive& a, std::uint32_t count, std::uint32_t size,
                                           std::uint32_t declared) {
    const Bytes payload = best_ratio_payload(declared, 4080);
    const std::uint32_t chain = a.write_chain(Bytes(payload.begin(), payload.begin() + 4080));
    a.write_u32_at(chain + 3 * 1024, chain + 1024);
    std::vector<DatFileEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        entries.push_back(DatFileEntry{1, 0x06000000 + i, chain, size, 0, 0});
    }
    return entries;
}

const Row kRows[] = {
    {"many fonts on one self-linked block, each claiming the archive's length",
     [] {
         RawArchive a;
         const std::uint32_t block = a.write_chain(filler(1020));
         a.write_u32_at(block, block);
         a.write_at(250'000, Bytes{0});
         std::vector<DatFileEntry> entries;
         for (std::uint32_t i = 0; i < 2000; ++i) {
             entries.push_back(DatFileEntry{0, 0x40000000 + i, block, 250'000, 0, 0});
         }
         set_directory(a, entries);
         return Layout{a.build(), {0x40000000, 0x40000001}};
     },
     1.0, 2.0, true, 0.0},
    {"a scattered chain of 5-byte blocks shared by 60 entries",
     [] {
         RawArchive a(5);
         tarnwick_dat_writer::ChainOptions scattered = tarnwick_dat_writer::scattered();
         const std::uint32_t chain = a.write_chain(filler(20'000), scattered);
         std::vector<DatFileEntry> entries;
         for (std::uint32_t i = 0; i < 60; ++i) {
             entries.push_back(DatFileEntry{0, 0x06000000 + i, chain, 20'000, 0, 0});
         }
         set_directory(a, entries);
         return Layout{a.build(), {0x06000000}};
     },
     // The entries share the whole chain, so it is read once for all of
     // them (and once more to name the cross-links), however many the
     // budget admits.
     2.0, 2.0, true, 2.0},
    {"20 entries, each with its own first block, merging into one scattered tail",
     [] {
         // The chain's set of blocks, which the strict reader keeps to find
         // a loop, follows the tail's length: only the bulk fetch is
         // measured.
         Layout layout{tarnwick_dat_writer::build_merged_tail_archive(20, 50'000), {}};
         layout.compared = {0x06000000, 0x06000013};
         return layout;
     },
     // The tail is read by the first two chains that pass it (the second
     // keeps it), then copied; the cross-link pass copies it too.
     2.5, 6.0, false, 2.0},
    {"compressed entries at the best ratio sharing one looping chain",
     [] {
         RawArchive a;
         const auto entries = on_looping_chain(a, 8, 1'000'000, 8 << 20);
         a.write_at(1'100'000, Bytes{0});
         set_directory(a, entries);
         return Layout{a.build(), {0x06000000}};
     },
     1.0, 8.0, false, 0.0},
    {"large compressed entries on one looping chain in a sparse 32 MiB archive",
     [] {
         // Each stored in 12 MiB (a stream of 4 MiB, then more): read and
         // decoded in pieces, never held whole, on every worker at once.
         RawArchive a;
         const auto entries = on_looping_chain(a, 4, 12 << 20, 4 << 20);
         set_directory(a, entries);
         a.header.file_size = 32 << 20;
         Layout layout{a.build(), {0x06000000}};
         layout.sparse_length = 32 << 20;
         return layout;
     },
     1.0, 0.05, false, 0.0},
    {"a sparse file of 2 GiB in 5-byte blocks",
     [] {
         RawArchive a(5);
         const Bytes text = {'s', 'p', 'a', 'r', 's', 'e'};
         std::vector<DatFileEntry> entries = {
             DatFileEntry{0, 0x06000001, a.write_chain(text), 6, 0, 0},
             // Zeros far out in the file: a link of 0, so one last block
             // holds all 2 MiB.
             DatFileEntry{0, 0x06000002, 0x40000000, 2 << 20, 0, 0},
         };
         set_directory(a, entries);
         a.header.file_size = std::uint32_t{1} << 31;
         Layout layout{a.build(), {0x06000002}};
         layout.sparse_length = std::uint64_t{2} << 30;
         return layout;
     },
     // Damaged only by the far entry's over-long last block.
     0.0, 0.0, false, 0.0},
};

std::string row_name(const testing::TestParamInfo<Row>& info) {
    std::string name;
    for (const char c : std::string(info.param.name)) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += c;
        }
    }
    return name.substr(0, 40);
}

class HostileWork : public testing::TestWithParam<Row> {};

TEST_P(HostileWork, StaysInProportionToTheArchive) {
    const Row& row = GetParam();
    const Layout layout = row.build();
    const TempArchiveFile file(layout.image);
    if (layout.sparse_length != 0) {
        std::filesystem::resize_file(file.path(), layout.sparse_length);
    }
    auto opened = DatDatabase::open(file.path());
    ASSERT_TRUE(opened.has_value()) << opened.error().display();
    const DatDatabase& db = opened.value();
    const std::uint64_t length = db.archive_length();
    const tarnwick_dat::WorkBudget budget = tarnwick_dat::WorkBudget::for_archive(db);

    std::vector<const DatFileEntry*> all;
    for (const DatFileEntry& entry : db.files()) {
        all.push_back(&entry);
    }
    EXPECT_EQ(!tarnwick_dat::check_budget(db, all, budget).fits(), row.over_budget);

    tarnwick_dat::VerifyReport report;
    std::int64_t peak = 0;
    {
        tarnwick_dat::VerifyOptions options;
        options.threads = 4;
        const PeakMemory memory;
        report = tarnwick_dat::verify_archive(db, options);
        peak = memory.above_start();
    }
    EXPECT_TRUE(report.damaged());
    const bool budget_found = std::any_of(
        report.findings.begin(), report.findings.end(),
        [](const auto& f) { return f.kind == tarnwick_dat::FindingKind::ExpansionBudget; });
    EXPECT_EQ(budget_found, row.over_budget);
    const auto directory_reads = 4 * db.node_offsets().size();
    EXPECT_LE(report.totals.reads,
              static_cast<std::uint64_t>(row.reads_per_block *
                                         static_cast<double>(budget.archive_blocks)) +
                  directory_reads + 65536)
        << "blocks " << budget.archive_blocks;
    EXPECT_LE(peak, static_cast<std::int64_t>(row.memory_per_byte * static_cast<double>(length)) +
                        (std::int64_t{4} << 20));
    std::printf("%s: %llu reads for %llu blocks, peak %lld bytes for %llu bytes of archive\n",
                row.name, static_cast<unsigned long long>(report.totals.reads),
                static_cast<unsigned long long>(budget.archive_blocks),
                static_cast<long long>(peak), static_cast<unsigned long long>(length));

    // Every file, as the bulk fetches do, whole and in pieces, each way
    // through one set of shared blocks; then those measured alone: the same
    // bytes.
    tarnwick_dat::SharedBlocks shared(db);
    tarnwick_dat::SharedBlocks shared_pieces(db);
    tarnwick_dat::ReadCounts bulk;
    std::uint64_t piece_reads = 0;
    std::map<std::uint32_t, Bytes> whole;
    std::map<std::uint32_t, Bytes> pieces;
    for (const DatFileEntry& entry : db.files()) {
        Bytes bytes;
        if (db.read_file_into(entry.id, bytes,
                              {.strict = true, .shared = &shared, .counts = &bulk})) {
            whole[entry.id] = std::move(bytes);
        }
        auto reader = db.open_file(entry.id, &shared_pieces);
        if (!reader) {
            continue;
        }
        Bytes piece(4096);
        bytes.clear();
        for (;;) {
            auto n = reader->read(piece);
            if (!n || *n == 0) {
                if (n) {
                    pieces[entry.id] = std::move(bytes);
                }
                break;
            }
            bytes.insert(bytes.end(), piece.begin(),
                         piece.begin() + static_cast<std::ptrdiff_t>(*n));
        }
        piece_reads += reader->counts().reads;
    }
    const std::uint64_t most_reads =
        static_cast<std::uint64_t>(row.bulk_reads_per_block *
                                   static_cast<double>(budget.archive_blocks)) +
        db.files().size() + 8;
    EXPECT_LE(bulk.reads, most_reads);
    EXPECT_LE(piece_reads, most_reads);
    std::printf("bulk fetch: %llu reads whole, %llu in pieces, %llu bytes kept\n",
                static_cast<unsigned long long>(bulk.reads),
                static_cast<unsigned long long>(piece_reads),
                static_cast<unsigned long long>(shared.kept_bytes()));
    std::vector<std::uint32_t> compared = layout.fetched;
    compared.insert(compared.end(), layout.compared.begin(), layout.compared.end());
    for (const std::uint32_t id : compared) {
        SCOPED_TRACE(fmt::format("0x{:08X}", id));
        auto alone = db.get_file(id, {.strict = true});
        ASSERT_EQ(alone.has_value(), whole.count(id) == 1);
        ASSERT_EQ(alone.has_value(), pieces.count(id) == 1);
        if (alone) {
            EXPECT_EQ(*alone, whole[id]);
            EXPECT_EQ(*alone, pieces[id]);
        }
    }

    // One file, strictly, whole and in pieces: reads follow its distinct
    // blocks, and the reader's memory stays small whatever the file claims.
    for (const std::uint32_t id : layout.fetched) {
        SCOPED_TRACE(fmt::format("0x{:08X}", id));
        const PeakMemory memory;
        auto reader = db.open_file(id);
        ASSERT_TRUE(reader.has_value());
        Bytes piece(64 * 1024);
        std::uint64_t total = 0;
        for (;;) {
            auto n = reader->read(piece);
            if (!n || *n == 0) {
                break;
            }
            total += *n;
        }
        EXPECT_LE(reader->counts().reads, db.files().find(id)->size / 1 + 2);
        EXPECT_LE(memory.above_start(), std::int64_t{1} << 20) << total << " bytes read";
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, HostileWork, testing::ValuesIn(kRows), row_name);

// Large files compared and listed: hashed in pieces, so neither `diff` nor a
// manifest holds one whole, and the hashes are those of the whole bytes.
TEST(LargeFiles, DiffAndManifestsHashThemInPieces) {
    Bytes plain(6 << 20);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(i * 7 + i / 4099);
    }
    const Bytes packed_from(3 << 20, 0x41);
    const Bytes packed = tarnwick_dat_writer::compress_lrs(packed_from);
    const auto write = [&](const Bytes& first) {
        RawArchive a;
        set_directory(a, {DatFileEntry{0, 0x06000001, a.write_chain(first),
                                       static_cast<std::uint32_t>(first.size()), 0, 0},
                          DatFileEntry{1, 0x06000002, a.write_chain(packed),
                                       static_cast<std::uint32_t>(packed.size()), 0, 0}});
        return a.build();
    };
    Bytes changed = plain;
    changed[5 << 20] ^= 1;
    const TempArchiveFile old_file(write(plain));
    const TempArchiveFile new_file(write(changed));
    auto old_db = DatDatabase::open(old_file.path());
    auto new_db = DatDatabase::open(new_file.path());
    ASSERT_TRUE(old_db && new_db);

    const PeakMemory diff_memory;
    auto report = tarnwick_dat::diff_archives(*old_db, *new_db, {});
    const std::int64_t diff_peak = diff_memory.above_start();
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->changes.size(), 1u);
    EXPECT_EQ(report->changes[0].id, 0x06000001u);
    EXPECT_EQ(report->changes[0].kind, tarnwick_dat::ChangeKind::Modified);
    EXPECT_EQ(report->changes[0].new_size, plain.size());

    const PeakMemory manifest_memory;
    const tarnwick_dat::Manifest manifest = tarnwick_dat::make_manifest(*old_db);
    const std::int64_t manifest_peak = manifest_memory.above_start();
    const auto xxh3 = tarnwick_dat::HashAlgorithm::Xxh3;
    EXPECT_EQ(manifest.hash(0), tarnwick_dat::hash_bytes(xxh3, plain));
    EXPECT_EQ(manifest.hash(1), tarnwick_dat::hash_bytes(xxh3, packed_from));

    // Each worker's reader, piece and hash state: far below one file.
    EXPECT_LE(diff_peak, std::int64_t{3} << 20);
    EXPECT_LE(manifest_peak, std::int64_t{3} << 20);
    std::printf("diff of two archives with a 6 MiB file: peak %lld bytes; manifest: %lld\n",
                static_cast<long long>(diff_peak), static_cast<long long>(manifest_peak));
}

// A sound archive of 100,000 files comes nowhere near the budget: verifying
// it decodes and reads a small fraction of what the budget admits.
TEST(WorkBudget, ASoundSampleUsesASmallFractionOfIt) {
    const TempArchiveFile file(
        tarnwick_dat_writer::build_sample_archive({.files = 100'000, .fonts = 50}));
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value());
    const tarnwick_dat::WorkBudget budget = tarnwick_dat::WorkBudget::for_archive(*db);
    tarnwick_dat::VerifyOptions options;
    options.threads = 2;
    const tarnwick_dat::VerifyReport report = tarnwick_dat::verify_archive(*db, options);
    EXPECT_FALSE(report.damaged());
    std::vector<const DatFileEntry*> all;
    for (const DatFileEntry& entry : db->files()) {
        all.push_back(&entry);
    }
    const tarnwick_dat::BudgetCheck claims = tarnwick_dat::check_budget(*db, all, budget);
    ASSERT_TRUE(claims.fits());
    // The claims and the work done, each under a tenth of the budget.
    EXPECT_LT(claims.reads * 10, budget.reads);
    EXPECT_LT(claims.bytes * 10, budget.bytes);
    EXPECT_LT(report.totals.decoded_bytes * 10, budget.bytes);
    EXPECT_LT(report.totals.reads * 10, budget.reads);
    std::printf(
        "100,000-file sample: %llu bytes decoded of a budget of %llu (%.2f%%), %llu reads "
        "of %llu (%.2f%%); claims %llu bytes, %llu reads\n",
        static_cast<unsigned long long>(report.totals.decoded_bytes),
        static_cast<unsigned long long>(budget.bytes),
        100.0 * static_cast<double>(report.totals.decoded_bytes) /
            static_cast<double>(budget.bytes),
        static_cast<unsigned long long>(report.totals.reads),
        static_cast<unsigned long long>(budget.reads),
        100.0 * static_cast<double>(report.totals.reads) / static_cast<double>(budget.reads),
        static_cast<unsigned long long>(claims.bytes),
        static_cast<unsigned long long>(claims.reads));
}

}  // namespace
