// The streaming fetch against the whole-file strict fetch: for every file of
// a table of sound and damaged layouts, stored and compressed, in large and
// tiny blocks, reading in pieces of every size from 1 byte to the whole
// file gives the same bytes, or fails with the same error.

#include "tarnwick_dat/file_reader.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::TempArchiveFile;

Bytes pattern(std::size_t length, unsigned seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i / 3 * seed + i % 5) % 251);
    }
    return bytes;
}

// Bytes that do not compress, so that a compressed file spans many blocks.
Bytes noise(std::size_t length, std::uint32_t seed) {
    Bytes bytes(length);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

FileOptions flagged() {
    return tarnwick_dat_writer::with_flags(1);
}

// One archive of every layout, in blocks of `block_size`; the damaged
// chains (loops, past the end) are made by overwriting links once laid out.
Bytes every_layout(std::uint32_t block_size) {
    ArchiveBuilder builder(block_size);
    const Bytes packed = tarnwick_dat_writer::compress_lrs(pattern(1500, 7));
    builder.add_file(0x06000001, pattern(1200, 3));
    builder.add_file(0x06000002, pattern(1200, 5),
                     tarnwick_dat_writer::stored_in(tarnwick_dat_writer::scattered()));
    builder.add_file(0x06000003, pattern(1200, 9),
                     tarnwick_dat_writer::stored_in(tarnwick_dat_writer::at_most_blocks(2)));
    builder.add_file(0x06000004, {});
    builder.add_file(0x0A000001, pattern(1500, 7), tarnwick_dat_writer::compressed());
    builder.add_file(
        0x0A000002,
        Bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packed.size() / 2)),
        flagged());
    builder.add_file(0x0A000003, Bytes{0xE8, 0x03, 0x00, 0x00}, flagged());
    builder.add_file(0x0A000004, Bytes{0xAB, 0xC0}, flagged());
    Bytes overrun = packed;
    overrun.insert(overrun.end(), 40, 0x11);
    builder.add_file(0x0A000005, overrun, flagged());
    builder.add_file(0x0A000006, Bytes{0x05, 0, 0, 0, 0x20, 'x', 'y', 0x00, 0x00}, flagged());
    // Chains of three blocks or more whose second block's link is damaged
    // below: it loops back to the first block, or points past the end.
    builder.add_file(0x06000005, noise(2100, 11));
    builder.add_file(0x0A000007, noise(2100, 13), tarnwick_dat_writer::compressed());
    builder.add_file(0x06000006, noise(2100, 15));
    builder.add_file(0x0A000008, noise(2100, 17), tarnwick_dat_writer::compressed());
    builder.add_entry(DatFileEntry{0, 0x06000007, 0x7FFFFC00, 10, 0, 0});
    tarnwick_dat_writer::Layout layout = builder.layout();
    for (const DatFileEntry& e : layout.entries) {
        const std::uint32_t second_block = e.offset + block_size;
        if (e.id == 0x06000005 || e.id == 0x0A000007) {
            layout.archive.write_u32_at(second_block, e.offset);
        } else if (e.id == 0x06000006 || e.id == 0x0A000008) {
            layout.archive.write_u32_at(second_block, 0x7FFF0000);
        }
    }
    return layout.archive.build();
}

// Reads `id` in pieces of `split` bytes; returns the bytes, or the error's
// text prefixed with "error: " and the bytes handed out before it.
std::string read_in_pieces(const DatDatabase& db, std::uint32_t id, std::size_t split, Bytes& got) {
    got.clear();
    auto reader = db.open_file(id);
    if (!reader) {
        return reader.error().display();
    }
    Bytes piece(split);
    for (;;) {
        auto n = reader->read(piece);
        if (!n) {
            // A failure lasts.
            const std::string text = n.error().display();
            auto again = reader->read(piece);
            EXPECT_FALSE(again.has_value());
            if (!again.has_value()) {
                EXPECT_EQ(again.error().display(), text);
            }
            return text;
        }
        got.insert(got.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(*n));
        if (*n < split) {
            EXPECT_EQ(reader->position(), got.size());
            return "";
        }
    }
}

TEST(FileReader, AgreesWithTheStrictFetchOnEverySplit) {
    for (const std::uint32_t block_size : {1024u, 64u, 7u}) {
        const TempArchiveFile file(every_layout(block_size));
        auto opened = DatDatabase::open(file.path());
        ASSERT_TRUE(opened.has_value()) << opened.error().display();
        const DatDatabase& db = opened.value();
        for (const DatFileEntry& entry : db.files()) {
            SCOPED_TRACE(fmt::format("block size {}, 0x{:08X}", block_size, entry.id));
            Bytes whole;
            auto strict = db.read_file_into(entry.id, whole, {.strict = true});
            const std::string expected_error = strict ? "" : strict.error().display();
            // The lenient fetch gives what a damaged stream begins with (a
            // chain that cannot be read has no such bytes to compare).
            const auto lenient = db.get_file(entry.id);
            const std::size_t longest = std::max<std::size_t>(whole.size(), 16) + 1;
            Bytes got;
            for (std::size_t split = 1; split <= longest; ++split) {
                const std::string error = read_in_pieces(db, entry.id, split, got);
                ASSERT_EQ(error, expected_error) << "split " << split;
                if (strict) {
                    ASSERT_EQ(got, whole) << "split " << split;
                } else if (lenient) {
                    // Before failing, a reader hands out only what the file
                    // begins with.
                    ASSERT_LE(got.size(), lenient->size()) << "split " << split;
                    ASSERT_TRUE(std::equal(got.begin(), got.end(), lenient->begin()))
                        << "split " << split;
                }
            }
            if (strict) {
                EXPECT_EQ(db.open_file(entry.id)->size(), whole.size());
            }
        }
    }
}

TEST(FileReader, UnknownIdIsNotFound) {
    const TempArchiveFile file(every_layout(1024));
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value());
    EXPECT_EQ(db->open_file(0x0F000001).error().display(),
              "File ID 0F000001 not found in provider");
}

}  // namespace
