#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::BlockPlacement;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::TempArchiveFile;

Bytes pattern(std::size_t length, unsigned seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) % 253);
    }
    return bytes;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

struct Opened {
    TempArchiveFile file;
    DatDatabase db;
};

Opened open(const ArchiveBuilder& builder) {
    TempArchiveFile file(builder.build());
    auto db = DatDatabase::open(file.path());
    if (!db) {
        throw std::runtime_error(db.error().display());
    }
    return Opened{std::move(file), std::move(db).value()};
}

TEST(GetFile, UnknownIdIsNotFound) {
    ArchiveBuilder builder;
    builder.add_file(0x40000001, text("font"));
    const Opened opened = open(builder);
    for (const std::uint32_t id : {0u, 0x1Fu, 0x40000002u, 0xFFFFFFFFu}) {
        const auto file = opened.db.get_file(id);
        ASSERT_FALSE(file.has_value());
        EXPECT_EQ(file.error().kind(), DatErrorKind::NotFound);
        EXPECT_EQ(file.error().number(), id);
        EXPECT_EQ(file.error().display(), fmt::format("File ID {:08X} not found in provider", id));
    }
}

TEST(GetFile, StoredFilesComeBackByteForByte) {
    struct Case {
        const char* name;
        std::size_t length;
        tarnwick_dat_writer::ChainOptions chain;
    };
    const Case cases[] = {
        {"one byte", 1, {}},
        {"one full block", 1020, {}},
        {"one byte into a second block", 1021, {}},
        {"many blocks", 20000, {}},
        {"scattered blocks", 5000, tarnwick_dat_writer::scattered()},
        {"over-long last block", 5000, tarnwick_dat_writer::at_most_blocks(2)},
        {"chain going on past the data", 2040, tarnwick_dat_writer::linked_past_data(0x400)},
    };
    ArchiveBuilder builder;
    std::uint32_t id = 0x06000000;
    for (const Case& c : cases) {
        ++id;
        builder.add_file(id, pattern(c.length, id), tarnwick_dat_writer::stored_in(c.chain));
    }
    const Opened opened = open(builder);
    id = 0x06000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        const auto file = opened.db.get_file(id);
        ASSERT_TRUE(file.has_value()) << file.error().display();
        EXPECT_EQ(file.value(), pattern(c.length, id));
    }
}

TEST(GetFile, EmptyUncompressedEntryReadsNothing) {
    ArchiveBuilder builder;
    // Its chain would lie beyond the file: any read would fail.
    builder.add_entry(DatFileEntry{0, 0x0E000001, 0xFFFFFF00, 0, 0, 0});
    const Opened opened = open(builder);
    const auto file = opened.db.get_file(0x0E000001);
    ASSERT_TRUE(file.has_value()) << file.error().display();
    EXPECT_TRUE(file->empty());
}

TEST(GetFile, CompressedEntriesAreDecoded) {
    ArchiveBuilder builder;
    const Bytes repetitive = [] {
        Bytes b;
        for (int i = 0; i < 400; ++i) {
            const Bytes word = text("glyph ");
            b.insert(b.end(), word.begin(), word.end());
            b.push_back(static_cast<std::uint8_t>(i % 7));
        }
        return b;
    }();
    builder.add_file(0x40000001, repetitive, tarnwick_dat_writer::compressed());
    builder.add_file(0x40000002, pattern(3000, 5), tarnwick_dat_writer::compressed());
    builder.add_file(0x40000003, Bytes{}, tarnwick_dat_writer::compressed());
    // Hand-made payloads, stored as given and flagged compressed: what
    // they decode to is fixed by their bytes alone.
    builder.add_file(0x40000010, Bytes{0x09, 0, 0, 0, 0x10, 'a', 'b', 'c', 0x03, 0x04},
                     tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x40000011, Bytes{0x05, 0, 0, 0, 0x20, 'x', 'y', 0x00, 0x00},
                     tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x40000012, Bytes{0xAB, 0xC0}, tarnwick_dat_writer::with_flags(1));
    const TempArchiveFile file(builder.build());
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value()) << db.error().display();

    struct Case {
        std::uint32_t id;
        Bytes expected;
    };
    const Case cases[] = {
        {0x40000001, repetitive}, {0x40000002, pattern(3000, 5)},
        {0x40000003, Bytes{}},    {0x40000010, text("abcabcabc")},
        {0x40000011, text("xy")}, {0x40000012, Bytes{0xAB, 0xC0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{:08X}", c.id));
        ASSERT_NE(db->files().find(c.id), nullptr);
        EXPECT_TRUE(db->files().find(c.id)->is_compressed());
        const auto got = db->get_file(c.id);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(got.value(), c.expected);
    }
    // The returned length is the decoder's, not the stored size.
    EXPECT_LT(db->files().find(0x40000001)->size, repetitive.size());
    EXPECT_EQ(db->files().find(0x40000010)->size, 10u);
}

TEST(GetFile, StrictFetchFailsOnStreamsThatMissTheirSize) {
    ArchiveBuilder builder;
    const auto flagged = tarnwick_dat_writer::with_flags(1);
    builder.add_file(0x01000001, pattern(5000, 3), tarnwick_dat_writer::compressed());
    // Declares 9, yields "abcabcabc": sound.
    builder.add_file(0x01000002, Bytes{0x09, 0, 0, 0, 0x10, 'a', 'b', 'c', 0x03, 0x04}, flagged);
    // Declares 5, ends at the end marker after "xy".
    builder.add_file(0x01000003, Bytes{0x05, 0, 0, 0, 0x20, 'x', 'y', 0x00, 0x00}, flagged);
    // Declares 10, the input runs out after "ab".
    builder.add_file(0x01000004, Bytes{0x0A, 0, 0, 0, 0x00, 'a', 'b'}, flagged);
    // Too short to hold a size.
    builder.add_file(0x01000005, Bytes{0xAB, 0xC0}, flagged);
    builder.add_file(0x01000006, pattern(300, 4));
    const Opened opened = open(builder);

    struct Case {
        std::uint32_t id;
        std::size_t lenient_size;
        bool strict_ok;
        std::uint64_t decoded_size;
    };
    const Case cases[] = {
        {0x01000001, 5000, true, 5000}, {0x01000002, 9, true, 9},  {0x01000003, 2, false, 5},
        {0x01000004, 2, false, 10},     {0x01000005, 2, false, 2}, {0x01000006, 300, true, 300},
    };
    Bytes reused;
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{:08X}", c.id));
        const auto lenient = opened.db.get_file(c.id);
        ASSERT_TRUE(lenient.has_value());
        EXPECT_EQ(lenient->size(), c.lenient_size);
        const auto strict = opened.db.read_file_into(c.id, reused, {.strict = true});
        EXPECT_EQ(strict.has_value(), c.strict_ok);
        if (c.strict_ok) {
            EXPECT_EQ(reused, lenient.value());
        } else {
            EXPECT_TRUE(reused.empty());
            EXPECT_EQ(strict.error().display(),
                      fmt::format("Failed to recover compressed file {:08X}", c.id));
        }
        const auto size = opened.db.decoded_size(c.id);
        ASSERT_TRUE(size.has_value());
        EXPECT_EQ(size.value(), c.decoded_size);
    }
    EXPECT_EQ(opened.db.decoded_size(0x0100000F).error().kind(), DatErrorKind::NotFound);
}

TEST(GetFile, OnlyBitZeroMeansCompressed) {
    const Bytes payload{0x09, 0, 0, 0, 0x10, 'a', 'b', 'c', 0x03, 0x04};
    ArchiveBuilder builder;
    builder.add_file(1, payload, tarnwick_dat_writer::with_flags(2));
    builder.add_file(2, payload, tarnwick_dat_writer::with_flags(0xFFFFFFFE));
    const Opened opened = open(builder);
    for (const std::uint32_t id : {1u, 2u}) {
        const auto got = opened.db.get_file(id);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got.value(), payload);
    }
}

TEST(GetFile, ChainBeyondTheFileIsAnIoError) {
    ArchiveBuilder builder;
    builder.add_entry(DatFileEntry{0, 7, 0x00100000, 10, 0, 0});
    builder.add_entry(DatFileEntry{1, 8, 0x400, 0xFFFFFFFF, 0, 0});
    const Opened opened = open(builder);
    for (const std::uint32_t id : {7u, 8u}) {
        const auto got = opened.db.get_file(id);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error().display(), "IO error: failed to fill whole buffer");
    }
}

}  // namespace
