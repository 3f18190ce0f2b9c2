// Verification: one table of archives, each with one kind of damage or
// several together, and every finding they must give, in report order. Each
// row is verified on one thread and on four, which must agree.

#include "tarnwick_dat/verify.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tarnwick_dat_testing/bytes.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"
#include "tarnwick_dat_writer/font_encoder.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::Finding;
using tarnwick_dat::VerifyOptions;
using tarnwick_dat::VerifyReport;
using tarnwick_dat::VerifyTotals;
using tarnwick_dat_writer::NodeSpec;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

constexpr std::uint32_t kFontA = 0x40000001;
constexpr std::uint32_t kFontB = 0x40000002;
constexpr std::uint32_t kTexA = 0x06000001;
constexpr std::uint32_t kTexB = 0x06000002;
constexpr std::uint32_t kTexC = 0x06000003;

using tarnwick_dat_testing::put_u32;

DatFileEntry entry(std::uint32_t id, std::uint32_t offset, std::size_t size,
                   std::uint32_t flags = 0) {
    return DatFileEntry{flags, id, offset, static_cast<std::uint32_t>(size), 0, 0};
}

DatFileEntry packed(std::uint32_t id, std::uint32_t offset, const Bytes& payload) {
    return entry(id, offset, payload.size(), 1);
}

Bytes font_bytes(std::uint32_t id, std::size_t glyphs) {
    return tarnwick_dat_writer::encode_font(tarnwick_dat_writer::plain_font(id, glyphs));
}

// An LRS payload declaring `declared` bytes and holding `count` literals.
Bytes literal_lrs(std::uint32_t declared, std::size_t count) {
    Bytes out;
    put_u32(out, declared);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 8 == 0) {
            out.push_back(0x00);
        }
        out.push_back(static_cast<std::uint8_t>('a' + i % 26));
    }
    return out;
}

Bytes filler(std::size_t n) {
    return Bytes(n, 0x5A);
}

// A leaf root holding `entries`, written last.
void set_root(RawArchive& archive, std::vector<DatFileEntry> entries,
              std::uint32_t first_child = 0) {
    NodeSpec root;
    root.entries = std::move(entries);
    root.branches[0] = first_child;
    archive.header.root_offset = archive.write_node(root);
}

// Block positions of an image of `length` bytes with 1024-byte blocks.
std::uint64_t blocks_of(std::size_t length) {
    return (length + 1023) / 1024 - 1;
}

std::string unused(std::uint64_t count, std::size_t length) {
    return fmt::format("unused_blocks archive: {} of {} blocks are reached by no chain and no node",
                       count, blocks_of(length));
}

struct Built {
    Bytes image;
    std::vector<std::string> expected;
    VerifyOptions options;
};

struct Row {
    const char* name;
    std::function<Built()> build;
};

std::vector<std::string> lines(const VerifyReport& report) {
    std::vector<std::string> out;
    for (const Finding& f : report.findings) {
        out.push_back(fmt::format("{} {}", tarnwick_dat::finding_kind_name(f.kind), f.display()));
    }
    return out;
}

// Two sound fonts, the rows' common start.
std::vector<DatFileEntry> two_fonts(RawArchive& a) {
    const Bytes fa = font_bytes(kFontA, 2);
    const Bytes fb = font_bytes(kFontB, 1);
    return {entry(kFontA, a.write_chain(fa), fa.size()),
            entry(kFontB, a.write_chain(fb), fb.size())};
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {"sound sample verifies clean",
         [] {
             return Built{
                 tarnwick_dat_writer::build_sample_archive({.files = 300, .fonts = 12}), {}, {}};
         }},
        {"header file size",
         [] {
             RawArchive a;
             set_root(a, two_fonts(a));
             a.header.file_size = 12345;
             Bytes image = a.build();
             return Built{image,
                          {fmt::format("header_file_size archive: header records a file size of "
                                       "12345 bytes, the file has {}",
                                       image.size())},
                          {}};
         }},
        {"header magic",
         [] {
             RawArchive a;
             set_root(a, two_fonts(a));
             a.header.magic = 0x1234;
             return Built{a.build(),
                          {"header_magic archive: unknown magic 0x00001234 (expected 0x00005442)"},
                          {}};
         }},
        {"header kind",
         [] {
             RawArchive a;
             set_root(a, two_fonts(a));
             a.header.dataset = 3;
             return Built{a.build(),
                          {"header_kind archive: block size 1024 with dataset 3 is neither a "
                           "portal nor a cell archive"},
                          {}};
         }},
        {"archive that does not open",
         [] {
             RawArchive a;
             set_root(a, two_fonts(a));
             a.header.block_size = 4;
             return Built{a.build(),
                          {"archive_unreadable archive: Corruption detected: block size 4 is too "
                           "small: each block "
                           "needs a 4-byte link and at least one byte of data"},
                          {}};
         }},
        {"duplicate id: the child's entry wins",
         [] {
             RawArchive a;
             const Bytes f = font_bytes(kFontA, 1);
             const std::uint32_t lost = a.write_chain(f);
             const std::uint32_t won = a.write_chain(f);
             NodeSpec child;
             child.entries = {entry(kFontA, won, f.size())};
             const std::uint32_t child_at = a.write_node(child);
             set_root(a, {entry(kFontA, lost, f.size())}, child_at);
             Bytes image = a.build();
             return Built{image,
                          {fmt::format("duplicate_id 0x40000001 Font: entry at 0x{:08X} (47 "
                                       "bytes) is replaced by a later entry at 0x{:08X} (47 "
                                       "bytes)",
                                       lost, won),
                           unused(1, image.size())},
                          {}};
         }},
        {"size beyond the file",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             entries.push_back(entry(kTexA, 0, 1'000'000));
             set_root(a, entries);
             Bytes image = a.build();
             return Built{image,
                          {fmt::format("size_exceeds_file 0x06000001 Texture: entry size 1000000 "
                                       "exceeds the archive's {} bytes",
                                       image.size())},
                          {}};
         }},
        {"chain past the end, after a block and at its start",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             const Bytes big = filler(1500);
             entries.push_back(entry(kTexA, 0, big.size()));
             entries.push_back(entry(kTexB, 0, 10));
             set_root(a, entries);
             const std::uint32_t at = a.write_chain(big);
             // Point the entries at the chain, which is cut in its second block.
             a.patch_chain(a.header.root_offset, 248 + 4 + 2 * 24 + 8, [&] {
                 Bytes b;
                 put_u32(b, at);
                 return b;
             }());
             a.patch_chain(a.header.root_offset, 248 + 4 + 3 * 24 + 8, [&] {
                 Bytes b;
                 put_u32(b, at + 4096);
                 return b;
             }());
             a.truncate(at + 1024 + 100);
             a.header.file_size = at + 1024 + 100;
             Bytes image = a.build();
             return Built{image,
                          {"chain_past_end 0x06000001 Texture: chain runs past the end of the "
                           "file after 1 block",
                           fmt::format("chain_past_end 0x06000002 Texture: chain starting at "
                                       "0x{:08X} runs past the end of the file",
                                       at + 4096),
                           unused(1, image.size())},
                          {}};
         }},
        {"chain loop",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             const std::uint32_t at = a.write_chain(filler(2040));
             a.write_u32_at(at + 1024, at);  // the second block links back
             entries.push_back(entry(kTexA, at, 5000));
             set_root(a, entries);
             return Built{
                 a.build(), {"chain_loop 0x06000001 Texture: chain loops back after 2 blocks"}, {}};
         }},
        {"chain shorter than the size",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             const std::uint32_t at =
                 a.write_chain(filler(3000), tarnwick_dat_writer::at_most_blocks(1));
             entries.push_back(entry(kTexA, at, 3000));
             set_root(a, entries);
             Bytes image = a.build();
             return Built{image,
                          {"chain_short 0x06000001 Texture: chain of 1 block holds 1020 of 3000 "
                           "bytes",
                           unused(2, image.size())},
                          {}};
         }},
        {"cross-linked: two files, and a file with a node",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             NodeSpec leaf;
             leaf.entries = {entry(kTexC, entries[0].offset, 47)};  // A's block again
             const std::uint32_t leaf_at = a.write_node(leaf);
             entries.push_back(entry(kTexA, entries[0].offset, 20));
             entries.push_back(entry(kTexB, leaf_at, 1716));
             set_root(a, entries, leaf_at);
             return Built{
                 a.build(),
                 // Each pair is reported on its later owner (nodes come first,
                 // then files by id).
                 {fmt::format("cross_linked 0x06000002 Texture: shares 2 blocks with directory "
                              "node 0x{:08X}, first at 0x{:08X}",
                              leaf_at, leaf_at),
                  fmt::format("cross_linked 0x06000003 Texture: shares 1 block with 0x06000001, "
                              "first at 0x{:08X}",
                              entries[0].offset),
                  fmt::format("cross_linked 0x40000001 Font: shares 1 block with 0x06000001, "
                              "first at 0x{:08X}",
                              entries[0].offset)},
                 {}};
         }},
        {"compressed streams: cut, too short, end marker, too long, before the start",
         [] {
             RawArchive a;
             const Bytes cut = literal_lrs(100, 10);
             const Bytes tiny = {0x01, 0x02, 0x03};
             const Bytes marker = {0x05, 0x00, 0x00, 0x00, 0x20, 0x78, 0x79, 0x00, 0x00};
             const Bytes longer = literal_lrs(5, 10);
             const Bytes before = {0x04, 0x00, 0x00, 0x00, 0x40, 0x71, 0x05, 0x01};
             const Bytes sound = tarnwick_dat_writer::compress_lrs(filler(3000));
             // Cut where the decoder's best ratio stops it: the size field
             // alone, and 120 bytes (a literal, seven 17-byte references) of
             // 100,000 declared.
             const Bytes size_only = {0xE8, 0x03, 0x00, 0x00};
             Bytes at_best = {0xA0, 0x86, 0x01, 0x00, 0x7F, 'a'};
             for (int i = 0; i < 7; ++i) {
                 at_best.insert(at_best.end(), {0x01, 0x0F});
             }
             set_root(a, {packed(0x06000001, a.write_chain(cut), cut),
                          packed(0x06000002, a.write_chain(tiny), tiny),
                          packed(0x06000003, a.write_chain(marker), marker),
                          packed(0x06000004, a.write_chain(longer), longer),
                          packed(0x06000005, a.write_chain(before), before),
                          packed(0x06000006, a.write_chain(sound), sound),
                          packed(0x06000007, a.write_chain(size_only), size_only),
                          packed(0x06000008, a.write_chain(at_best), at_best)});
             return Built{
                 a.build(),
                 {"stream_cut 0x06000001 Texture: compressed stream ends after 10 of 100 bytes "
                  "(input used up)",
                  "stream_cut 0x06000002 Texture: compressed payload of 3 bytes has no size "
                  "field",
                  "stream_cut 0x06000003 Texture: compressed stream ends after 2 of 5 bytes (end "
                  "marker)",
                  "stream_cut 0x06000007 Texture: compressed stream ends after 0 of 1000 bytes "
                  "(input used up)",
                  "stream_cut 0x06000008 Texture: compressed stream ends after 120 of 100000 "
                  "bytes (input used up)",
                  "stream_overrun 0x06000004 Texture: compressed stream goes on for 6 bytes after "
                  "its 5 bytes",
                  "stream_before_start 0x06000005 Texture: compressed stream refers before the "
                  "start of its output"},
                 {}};
         }},
        {"font records fail quorvant's checks",
         [] {
             RawArchive a;
             auto zero_cell = tarnwick_dat_writer::plain_font(0x40000005, 1);
             zero_cell.max_char_height = 0;
             Bytes trailing = font_bytes(0x40000003, 1);
             trailing.push_back(0);
             Bytes cut = font_bytes(0x40000004, 2);
             cut.resize(40);
             const Bytes self = font_bytes(0x40000099, 1);
             const Bytes none = font_bytes(0x40000002, 0);
             const Bytes cell = tarnwick_dat_writer::encode_font(zero_cell);
             // A compressed font whose stream is cut: the stream is reported,
             // not the record it cannot hold.
             Bytes packed_cut = tarnwick_dat_writer::compress_lrs(font_bytes(0x40000006, 9));
             packed_cut.resize(20);
             const Bytes packed_ok = tarnwick_dat_writer::compress_lrs(font_bytes(0x40000007, 9));
             set_root(a, {entry(0x40000001, a.write_chain(self), self.size()),
                          entry(0x40000002, a.write_chain(none), none.size()),
                          entry(0x40000003, a.write_chain(trailing), trailing.size()),
                          entry(0x40000004, a.write_chain(cut), cut.size()),
                          entry(0x40000005, a.write_chain(cell), cell.size()),
                          packed(0x40000006, a.write_chain(packed_cut), packed_cut),
                          packed(0x40000007, a.write_chain(packed_ok), packed_ok)});
             return Built{
                 a.build(),
                 // The library's decoder says how far the cut stream gets.
                 {fmt::format("stream_cut 0x40000006 Font: compressed stream ends after {} of "
                              "135 bytes (input used up)",
                              tarnwick_dat::decompress_lrs(packed_cut).size()),
                  "record_invalid 0x40000001 Font: Font self-id 0x40000099 differs from its file "
                  "id",
                  "record_invalid 0x40000002 Font: Font has zero char descs",
                  "record_invalid 0x40000003 Font: Font size mismatch: predicted 47 != actual 48",
                  "record_invalid 0x40000004 Font: Font does not decode (40 bytes): failed to "
                  "fill whole buffer (While parsing field 'num_horizontal_border_pixels' in "
                  "Font)",
                  "record_invalid 0x40000005 Font: Font has zero max cell size (0x12)"},
                 {}};
         }},
        {"overlapping entries beyond the budget are not expanded",
         [] {
             RawArchive a;
             const std::uint32_t at = a.write_chain(filler(2040));
             const Bytes payload = literal_lrs(9000, 1000);
             const std::uint32_t packed_at = a.write_chain(payload);
             set_root(a, {entry(kTexA, at, 2040), entry(kTexB, at, 2040), entry(kTexC, at, 2040),
                          packed(0x06000004, packed_at, payload)});
             VerifyOptions options;
             options.expansion_factor = 0;
             options.expansion_allowance = 5000;
             return Built{
                 a.build(),
                 // The compressed entry claims its declared size; it and the
                 // third copy do not fit and are not read.
                 {"expansion_budget archive: 2 entries not expanded: the files claim 15120 "
                  "bytes and 8 reads, more than the work budget of 5000 bytes and 65648 reads "
                  "for an archive of 7168 bytes in 7 blocks; the largest: 0x06000004 (9000 "
                  "bytes, 2 reads), 0x06000001 (2040 bytes, 2 reads), 0x06000002 (2040 bytes, 2 "
                  "reads), 0x06000003 (2040 bytes, 2 reads)",
                  fmt::format("cross_linked 0x06000002 Texture: shares 2 blocks with 0x06000001, "
                              "first at 0x{:08X}",
                              at)},
                 options};
         }},
        {"selected ids, one missing",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             const Bytes cut = literal_lrs(100, 10);
             entries.push_back(packed(kTexA, a.write_chain(cut), cut));
             set_root(a, entries);
             VerifyOptions options;
             options.ids = {kTexB, kFontA};
             return Built{a.build(),
                          {"missing_file 0x06000002 Texture: not listed in the archive's "
                           "directory"},
                          options};
         }},
        {"several kinds of damage together",
         [] {
             RawArchive a;
             auto entries = two_fonts(a);
             const std::uint32_t loop_at = a.write_chain(filler(2040));
             a.write_u32_at(loop_at + 1024, loop_at);
             const Bytes cut = literal_lrs(100, 10);
             const Bytes self = font_bytes(0x40000099, 1);
             entries.push_back(entry(0x40000003, a.write_chain(self), self.size()));
             entries.push_back(entry(kTexA, loop_at, 5000));
             entries.push_back(packed(kTexB, a.write_chain(cut), cut));
             entries.push_back(entry(kTexC, entries[1].offset, 10));
             set_root(a, entries);
             a.header.file_size = 1;
             Bytes image = a.build();
             return Built{
                 image,
                 {fmt::format("header_file_size archive: header records a file size of 1 "
                              "bytes, the file has {}",
                              image.size()),
                  "chain_loop 0x06000001 Texture: chain loops back after 2 blocks",
                  fmt::format("cross_linked 0x40000002 Font: shares 1 block with 0x06000003, "
                              "first at 0x{:08X}",
                              entries[1].offset),
                  "stream_cut 0x06000002 Texture: compressed stream ends after 10 of 100 bytes "
                  "(input used up)",
                  "record_invalid 0x40000003 Font: Font self-id 0x40000099 differs from its file "
                  "id"},
                 {}};
         }},
    };
    return table;
}

// The totals but the reads, which differ between reading a chain whole and
// in pieces.
VerifyTotals but_reads(VerifyTotals totals) {
    totals.reads = 0;
    return totals;
}

// Verification with every non-empty file read and decoded in pieces, as
// large files are.
VerifyReport verify_streamed(const tarnwick_dat::DatDatabase& db, VerifyOptions options) {
    options.streamed_above = 0;
    return tarnwick_dat::verify_archive(db, options);
}

TEST(Verify, EveryRowGivesItsFindingsOnOneThreadAndOnFourWholeAndInPieces) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        Built built = row.build();
        const TempArchiveFile file(built.image);
        built.options.threads = 1;
        const VerifyReport one = tarnwick_dat::verify_archive_at(file.path(), built.options);
        EXPECT_EQ(lines(one), built.expected);
        EXPECT_EQ(one.damaged(),
                  std::any_of(one.findings.begin(), one.findings.end(), [](const Finding& f) {
                      return f.severity == tarnwick_dat::Severity::Damage;
                  }));
        built.options.threads = 4;
        const VerifyReport four = tarnwick_dat::verify_archive_at(file.path(), built.options);
        EXPECT_EQ(four.findings, one.findings);
        EXPECT_EQ(four.totals, one.totals);
        auto db = tarnwick_dat::DatDatabase::open(file.path());
        if (db) {
            const VerifyReport pieces = verify_streamed(*db, built.options);
            EXPECT_EQ(lines(pieces), lines(one));
            EXPECT_EQ(but_reads(pieces.totals), but_reads(one.totals));
        }
    }
}

// The totals of a sound archive, worked out from the outside: every byte of
// every chain, every file fetched, every block position used.
TEST(Verify, SoundSampleTotalsAccountForEveryFileNodeAndBlock) {
    const auto layout = tarnwick_dat_writer::sample_archive({.files = 300, .fonts = 12}).layout();
    const Bytes image = layout.archive.build();
    const TempArchiveFile file(image);
    auto db = tarnwick_dat::DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value());
    std::uint64_t stored = layout.node_offsets.size() * std::uint64_t{tarnwick_dat::kNodeSize};
    std::uint64_t decoded = 0;
    for (const DatFileEntry& e : layout.entries) {
        stored += e.size;
        decoded += db->get_file(e.id).value().size();
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    VerifyOptions options;
    options.threads = 2;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        calls.emplace_back(done, total);
    };
    const VerifyReport report = tarnwick_dat::verify_archive(db.value(), options);
    EXPECT_FALSE(report.damaged());
    EXPECT_TRUE(report.findings.empty());
    EXPECT_EQ(report.totals.files, 300u);
    EXPECT_EQ(report.totals.nodes, layout.node_offsets.size());
    EXPECT_EQ(report.totals.stored_bytes, stored);
    EXPECT_EQ(report.totals.decoded_bytes, decoded);
    EXPECT_EQ(report.totals.blocks, blocks_of(image.size()));
    EXPECT_EQ(report.totals.unused_blocks, 0u);
    const std::uint64_t items = 300 + layout.node_offsets.size();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(items, items));
    EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
}

// Random token streams, most of them damaged: what verification says each
// one decodes to must be what fetching it gives.
TEST(Verify, StreamFindingsAgreeWithTheLibrarysDecoder) {
    std::mt19937 random(7);
    RawArchive a;
    std::vector<DatFileEntry> entries;
    std::map<std::uint32_t, Bytes> payloads;
    for (std::uint32_t i = 0; i < 60; ++i) {
        Bytes payload;
        if (i % 10 == 0) {
            Bytes data(random() % 2000);
            for (auto& b : data) {
                b = static_cast<std::uint8_t>(random() % 4);
            }
            payload = tarnwick_dat_writer::compress_lrs(data);
        } else {
            put_u32(payload, static_cast<std::uint32_t>(random() % 400));
            payload.resize(4 + random() % 120);
            for (std::size_t k = 4; k < payload.size(); ++k) {
                payload[k] = static_cast<std::uint8_t>(random());
            }
        }
        const std::uint32_t id = 0x06000000 + i;
        entries.push_back(packed(id, a.write_chain(payload), payload));
        payloads[id] = payload;
    }
    set_root(a, entries);
    const TempArchiveFile file(a.build());
    auto db = tarnwick_dat::DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value());
    const VerifyReport report = tarnwick_dat::verify_archive(db.value());
    std::uint64_t fetched = 0;
    std::map<std::uint32_t, std::uint64_t> cut_at;
    for (const Finding& f : report.findings) {
        unsigned long long produced = 0;
        if (f.kind == tarnwick_dat::FindingKind::StreamCut &&
            std::sscanf(f.description.c_str(), "compressed stream ends after %llu", &produced) ==
                1) {
            cut_at[*f.file_id] = produced;
        }
    }
    for (const auto& [id, payload] : payloads) {
        SCOPED_TRACE(fmt::format("0x{:08X}", id));
        const Bytes decoded = tarnwick_dat::decompress_lrs(payload);
        fetched += decoded.size();
        const auto cut = cut_at.find(id);
        if (cut != cut_at.end()) {
            EXPECT_EQ(cut->second, decoded.size());
            EXPECT_LT(decoded.size(), tarnwick_dat::load_le32(payload.data()));
        } else {
            EXPECT_EQ(decoded.size(), tarnwick_dat::load_le32(payload.data()));
        }
    }
    EXPECT_EQ(report.totals.decoded_bytes, fetched);
    EXPECT_GT(cut_at.size(), 10u);
    const VerifyReport pieces = verify_streamed(db.value(), {});
    EXPECT_EQ(lines(pieces), lines(report));
    EXPECT_EQ(but_reads(pieces.totals), but_reads(report.totals));
}

TEST(Verify, FindingKindNamesAreDistinctLowerCase) {
    std::vector<std::string_view> names;
    for (int k = 0; k <= static_cast<int>(tarnwick_dat::FindingKind::UnusedBlocks); ++k) {
        const auto name =
            tarnwick_dat::finding_kind_name(static_cast<tarnwick_dat::FindingKind>(k));
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string_view::npos)
            << name;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

}  // namespace
