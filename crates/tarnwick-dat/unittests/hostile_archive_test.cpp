// Hostile archives, one per row: each is opened from a file, then every file
// in it is fetched and decoded as a font, and the row states what all of that
// must come to. The shapes are sized so that a reader which loops without
// end or allocates what a damaged field declares would hang or run out of
// memory instead of reaching the stated outcome.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnwick_dat/file_type/font.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_testing/bytes.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"
#include "tarnwick_dat_writer/font_encoder.hpp"

namespace {

using tarnwick_dat::ByteReader;
using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatError;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::RecordReadError;
using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;
using tarnwick_dat_writer::NodeSpec;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

constexpr std::uint32_t kFontA = 0x40000001;
constexpr std::uint32_t kFontB = 0x40000002;
constexpr std::uint32_t kNear4G = 0xFFFFFFFC;

using tarnwick_dat_testing::put_u32;

// A font record of 36 + 11 × `glyphs` bytes.
Bytes font_file(std::uint32_t id, std::uint8_t glyphs) {
    return tarnwick_dat_writer::encode_font(tarnwick_dat_writer::plain_font(id, glyphs));
}

// The same record with its glyph count overwritten.
Bytes with_count(Bytes font, std::uint32_t count) {
    for (int i = 0; i < 4; ++i) {
        font[12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(count >> (8 * i));
    }
    return font;
}

// An LRS payload declaring `declared` bytes and holding `data` as literals,
// eight behind each control byte.
Bytes literal_lrs(std::uint32_t declared, const Bytes& data) {
    Bytes out;
    put_u32(out, declared);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i % 8 == 0) {
            out.push_back(0x00);
        }
        out.push_back(data[i]);
    }
    return out;
}

DatFileEntry entry(std::uint32_t id, std::uint32_t offset, std::uint32_t size,
                   std::uint32_t flags = 0) {
    return DatFileEntry{flags, id, offset, size, 0, 0};
}

// Writes a leaf holding `entries` and makes it the root.
std::uint32_t set_root(RawArchive& archive, std::vector<DatFileEntry> entries) {
    NodeSpec root;
    root.entries = std::move(entries);
    archive.header.root_offset = archive.write_node(root);
    return archive.header.root_offset;
}

// Two fonts in one-block chains under a leaf root: a sound archive for the
// rows that damage only its header.
RawArchive two_fonts() {
    RawArchive archive;
    const Bytes a = font_file(kFontA, 2);
    const Bytes b = font_file(kFontB, 1);
    set_root(archive,
             {entry(kFontA, archive.write_chain(a), static_cast<std::uint32_t>(a.size())),
              entry(kFontB, archive.write_chain(b), static_cast<std::uint32_t>(b.size()))});
    return archive;
}

// The built archive, and an offset that the row's outcome names.
struct Shape {
    Bytes image;
    std::uint32_t mark = 0;
};

template <std::uint32_t kBlockSize>
Shape with_block_size() {
    RawArchive archive = two_fonts();
    archive.header.block_size = kBlockSize;
    return {archive.build()};
}

// A font whose chain lies after the root node, so that truncation cuts the
// chain alone: two blocks, the second starting 1024 bytes after the first.
Shape font_after_root(std::uint64_t cut_after_chain_start) {
    RawArchive archive;
    const Bytes small = font_file(kFontA, 2);
    const Bytes big = font_file(kFontB, 150);  // 1686 bytes: two blocks
    const std::uint32_t small_at = archive.write_chain(small);
    const std::uint32_t root =
        set_root(archive, {entry(kFontA, small_at, static_cast<std::uint32_t>(small.size())),
                           entry(kFontB, 0, static_cast<std::uint32_t>(big.size()))});
    const std::uint32_t big_at = archive.write_chain(big);
    Bytes offset;
    put_u32(offset, big_at);
    // The second entry's `offset` field, inside the root node's data.
    archive.patch_chain(root, 248 + 4 + 24 + 8, offset);
    archive.truncate(big_at + cut_after_chain_start);
    return {archive.build()};
}

// Every outcome as one line: how opening failed, or per file (ascending id)
// what fetching it and decoding it as a font gave.
std::string describe(const RecordReadError& error) {
    std::string text = error.io_cause() != nullptr ? error.io_cause()->display() : "record";
    const char* separator = ", ";
    for (const auto& frame : error.frames()) {
        text += separator + frame.message;
        separator = " < ";
    }
    return text;
}

std::string describe(const DatError& error) {
    if (error.kind() == DatErrorKind::BinRead) {
        return "BinRead: " + describe(*error.record_error());
    }
    return error.display();
}

std::vector<std::string> outcome(const Bytes& image) {
    const TempArchiveFile file(image);
    auto db = DatDatabase::open(file.path());
    if (!db) {
        return {"open: " + describe(db.error())};
    }
    std::vector<std::uint32_t> ids;
    for (const DatFileEntry& found : db->files()) {
        ids.push_back(found.id);
    }
    std::vector<std::string> lines;
    for (const std::uint32_t id : ids) {
        auto bytes = db->get_file(id);
        if (!bytes) {
            lines.push_back(fmt::format("{:08X}: {}", id, describe(bytes.error())));
            continue;
        }
        ByteReader reader(bytes.value());
        const auto font = Font::read(reader);
        lines.push_back(font ? fmt::format("{:08X}: {} bytes, font of {} glyphs", id, bytes->size(),
                                           font->char_descs.size())
                             : fmt::format("{:08X}: {} bytes, not a font: {}", id, bytes->size(),
                                           describe(font.error())));
    }
    return lines;
}

const std::string kEof = "IO error: failed to fill whole buffer";
const std::string kCutEntry =
    "open: BinRead: failed to fill whole buffer, While parsing field "
    "'bit_flags' in DatFileEntry";
const std::string kReachedTwice =
    "open: Corruption detected: directory node at offset 0x{:08X} is reached twice (a loop or a "
    "shared node)";

std::string too_small(std::uint32_t block_size) {
    return fmt::format(
        "open: Corruption detected: block size {} is too small: each block needs "
        "a 4-byte link and at least one byte of data",
        block_size);
}

std::string in_glyph(const char* field) {
    return fmt::format(
        "not a font: failed to fill whole buffer, While parsing field '{}' in FontCharDesc < "
        "While parsing field 'char_descs' in Font",
        field);
}

struct Row {
    const char* name;
    Shape (*build)();
    // Expected lines of `outcome`; "{:08X}" stands for the shape's mark.
    std::vector<std::string> expected;
};

const Row kRows[] = {
    // Truncated headers.
    {"an empty file",
     [] { return Shape{}; },
     {"open: BinRead: failed to fill whole buffer, While parsing field 'magic' in DatHeader"}},
    {"a file cut inside the header's version string",
     [] {
         RawArchive archive = two_fonts();
         archive.truncate(0x17C + 7);
         return Shape{archive.build()};
     },
     {"open: BinRead: failed to fill whole buffer, While parsing field 'version_string' in "
      "DatHeader"}},

    // Block sizes without room for data, and the extremes that have room.
    {"block size 0", with_block_size<0>, {too_small(0)}},
    {"block size 1", with_block_size<1>, {too_small(1)}},
    {"block size 2", with_block_size<2>, {too_small(2)}},
    {"block size 3", with_block_size<3>, {too_small(3)}},
    {"block size 4", with_block_size<4>, {too_small(4)}},
    {"block size 5, the root a one-block chain linking to itself",
     [] {
         // One byte of data per block, the same byte every time: a node of
         // 1716 bytes 0x01, whose entry count 0x01010101 runs off its end.
         RawArchive archive;
         const std::uint32_t block = archive.append_blocks(Bytes(1024, 0x01));
         archive.write_u32_at(block, block);
         archive.header.block_size = 5;
         archive.header.root_offset = block;
         return Shape{archive.build()};
     },
     {kCutEntry}},
    {"block size 4 GiB - 1, every chain one block",
     [] {
         RawArchive archive;
         const Bytes font = font_file(kFontA, 2);
         NodeSpec root;
         root.entries = {
             entry(kFontA, archive.write_chain(font), static_cast<std::uint32_t>(font.size()))};
         archive.header.root_offset =
             archive.write_node(root, tarnwick_dat_writer::at_most_blocks(1));
         archive.header.block_size = 0xFFFFFFFF;
         return Shape{archive.build()};
     },
     {"40000001: 58 bytes, font of 2 glyphs"}},

    // Directory cycles and shared nodes.
    {"a full node whose last child slot is the node itself",
     [] {
         RawArchive archive;
         NodeSpec root;
         for (std::uint32_t i = 1; i <= 61; ++i) {
             root.entries.push_back(entry(i, 0, 0));
         }
         NodeSpec leaf;
         leaf.entries = {entry(100, 0, 0)};
         root.branches[0] = archive.write_node(leaf);
         const std::uint32_t at = archive.write_node(root);
         archive.set_branch(at, 61, at);
         archive.header.root_offset = at;
         return Shape{archive.build(), at};
     },
     {kReachedTwice}},
    {"a leaf shared by a node and that node's child",
     [] {
         RawArchive archive;
         NodeSpec shared;
         shared.entries = {entry(3, 0, 0)};
         const std::uint32_t leaf = archive.write_node(shared);
         NodeSpec child;
         child.entries = {entry(2, 0, 0)};
         child.branches[0] = leaf;
         NodeSpec root;
         root.entries = {entry(1, 0, 0)};
         root.branches[0] = archive.write_node(child);
         root.branches[1] = leaf;
         archive.header.root_offset = archive.write_node(root);
         return Shape{archive.build(), leaf};
     },
     {kReachedTwice}},

    // Offsets and lengths near 2^32.
    {"root offset 4 GiB - 4",
     [] {
         RawArchive archive = two_fonts();
         archive.header.root_offset = kNear4G;
         return Shape{archive.build()};
     },
     {"open: " + kEof}},
    {"root offset 4 GiB - 1",
     [] {
         RawArchive archive = two_fonts();
         archive.header.root_offset = 0xFFFFFFFF;
         return Shape{archive.build()};
     },
     {"open: " + kEof}},
    {"a child slot near 2^32",
     [] {
         RawArchive archive;
         NodeSpec root;
         root.entries = {entry(1, 0, 0)};
         root.branches[0] = 0xFFFFFFF0;
         archive.header.root_offset = archive.write_node(root);
         return Shape{archive.build()};
     },
     {"open: " + kEof}},
    {"entries whose offsets and sizes are near 2^32",
     [] {
         RawArchive archive;
         const Bytes font = font_file(kFontA, 1);
         const std::uint32_t chain = archive.write_chain(font);
         const std::uint32_t two_blocks = archive.write_chain(Bytes(2000, 0x11));
         archive.write_u32_at(two_blocks, kNear4G);
         set_root(archive, {
                               entry(0x40000001, kNear4G, 16),
                               entry(0x40000002, 0xFFFFFFFF, 1),
                               entry(0x40000003, chain, 0xFFFFFFFF),
                               entry(0x40000004, 0xFFFFFFFF, 0),
                               entry(0x40000005, chain, 0xFFFFFFFF, 1),
                               entry(0x40000006, two_blocks, 2000),
                               entry(0x40000007, chain, 0x80000000),
                           });
         return Shape{archive.build()};
     },
     {
         "40000001: " + kEof,
         "40000002: " + kEof,
         "40000003: " + kEof,
         "40000004: 0 bytes, not a font: failed to fill whole buffer, While parsing field 'id' "
         "in Font",
         "40000005: " + kEof,
         "40000006: " + kEof,
         "40000007: " + kEof,
     }},

    // Entry counts above 61.
    {"a leaf claiming 0xFFFFFFFF entries",
     [] {
         RawArchive archive;
         NodeSpec root;
         root.entries = {entry(1, 0, 0), entry(2, 0, 0), entry(3, 0, 0)};
         root.count = 0xFFFFFFFF;
         archive.header.root_offset = archive.write_node(root);
         return Shape{archive.build()};
     },
     {kCutEntry}},
    {"a child claiming 2^31 entries under a sound root",
     [] {
         RawArchive archive;
         NodeSpec child;
         for (std::uint32_t i = 10; i < 71; ++i) {
             child.entries.push_back(entry(i, 0, 0));
         }
         child.count = 0x80000000;
         NodeSpec root;
         root.entries = {entry(1, 0, 0)};
         root.branches[0] = archive.write_node(child);
         archive.header.root_offset = archive.write_node(root);
         return Shape{archive.build()};
     },
     {kCutEntry}},

    // Truncation inside a node, a chain and a payload.
    {"a file cut inside the root node's second block",
     [] {
         RawArchive archive;
         const Bytes font = font_file(kFontA, 2);
         const std::uint32_t root = set_root(
             archive,
             {entry(kFontA, archive.write_chain(font), static_cast<std::uint32_t>(font.size()))});
         archive.truncate(root + 1024 + 100);
         return Shape{archive.build()};
     },
     {"open: " + kEof}},
    {"a file cut inside the link of a chain's second block",
     [] { return font_after_root(1024 + 2); },
     {"40000001: 58 bytes, font of 2 glyphs", "40000002: " + kEof}},
    {"a file cut inside the payload of a chain's last block",
     [] { return font_after_root(1024 + 4 + 100); },
     {"40000001: 58 bytes, font of 2 glyphs", "40000002: " + kEof}},
    {"a compressed font whose stored stream stops after four groups",
     [] {
         RawArchive archive;
         const Bytes stream = literal_lrs(47, font_file(kFontA, 1));
         set_root(archive, {entry(kFontA, archive.write_chain(stream), 4 + 4 * 9, 1)});
         return Shape{archive.build()};
     },
     {"40000001: 32 bytes, not a font: failed to fill whole buffer, While parsing field "
      "'num_vertical_border_pixels' in Font"}},

    // LRS payloads declaring 4 GiB: the result is what the stream yields.
    {"LRS payloads declaring 4 GiB",
     [] {
         RawArchive archive;
         const Bytes one_literal = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 'q', 0x05, 0x01};
         const Bytes whole_font = literal_lrs(0xFFFFFFFF, font_file(kFontB, 1));
         // One literal, then back-references of 17 bytes at distance 1 in
         // every other slot: 120 bytes from the first group, 136 from each
         // of the 100 after it.
         Bytes longest = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'z'};
         for (int i = 0; i < 7 + 100 * 8; ++i) {
             if (i >= 7 && (i - 7) % 8 == 0) {
                 longest.push_back(0xFF);
             }
             longest.insert(longest.end(), {0x01, 0x0F});
         }
         const auto stored = [&archive](std::uint32_t id, const Bytes& payload) {
             return entry(id, archive.write_chain(payload),
                          static_cast<std::uint32_t>(payload.size()), 1);
         };
         set_root(archive, {stored(kFontA, one_literal), stored(kFontB, whole_font),
                            stored(0x40000003, longest)});
         return Shape{archive.build()};
     },
     {"40000001: 4 bytes, not a font: failed to fill whole buffer, While parsing field "
      "'max_char_height' in Font",
      "40000002: 47 bytes, font of 1 glyphs",
      // 13720 = 16 + 1245 glyphs × 11 + 9: the 1246th glyph stops after 9 bytes.
      "40000003: 13720 bytes, " + in_glyph("horizontal_offset_after")}},

    // Fonts claiming 0xFFFFFFFF glyphs.
    {"fonts claiming 0xFFFFFFFF glyphs, one in a chain that loops on one block",
     [] {
         RawArchive archive(64);
         // 58 bytes: 2 glyphs and the tail, read as 3 more glyphs and 9 bytes.
         const Bytes font = with_count(font_file(kFontA, 2), 0xFFFFFFFF);
         const std::uint32_t plain = archive.write_chain(font);
         // One 60-byte block whose link is itself: its data repeats for as
         // long as the entry's size asks.
         const std::uint32_t loop = archive.write_chain(font);
         archive.write_u32_at(loop, loop);
         archive.append_blocks(Bytes(8192, 0));
         NodeSpec root;
         root.entries = {entry(kFontA, plain, 58), entry(kFontB, loop, 16 + 700 * 11 + 2),
                         entry(0x40000003, loop, 0xFFFFFFFF)};
         archive.header.root_offset =
             archive.write_node(root, tarnwick_dat_writer::at_most_blocks(1));
         return Shape{archive.build()};
     },
     {"40000001: 58 bytes, " + in_glyph("horizontal_offset_after"),
      "40000002: 7718 bytes, " + in_glyph("offset_x"), "40000003: " + kEof}},
};

// One test per row, named after it, so that a row that hangs or exhausts
// memory is named by the test run.
class HostileArchive : public testing::TestWithParam<const Row*> {};

TEST_P(HostileArchive, EndsWithItsStatedOutcome) {
    const Row& row = *GetParam();
    const Shape shape = row.build();
    std::vector<std::string> expected;
    for (const std::string& line : row.expected) {
        expected.push_back(fmt::format(fmt::runtime(line), shape.mark));
    }
    EXPECT_EQ(outcome(shape.image), expected);
}

std::vector<const Row*> all_rows() {
    std::vector<const Row*> rows;
    for (const Row& row : kRows) {
        rows.push_back(&row);
    }
    return rows;
}

// The row's name with every run of other characters as one underscore.
std::string test_name(const testing::TestParamInfo<const Row*>& info) {
    std::string name;
    for (const char* c = info.param->name; *c != '\0'; ++c) {
        const bool word = std::isalnum(static_cast<unsigned char>(*c)) != 0;
        if (word) {
            name += *c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileArchive, testing::ValuesIn(all_rows()), test_name);

}  // namespace
