#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <optional>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat_writer::BlockPlacement;
using tarnwick_dat_writer::ChainOptions;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

// Bytes that differ from position to position, so that a read from the
// wrong place shows.
Bytes pattern(std::size_t length, std::uint8_t seed = 1) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251 + 1);
    }
    return bytes;
}

// An archive without a directory (root 0), opened; chains are read directly.
struct Opened {
    TempArchiveFile file;
    DatDatabase db;
};

Opened open(const RawArchive& archive) {
    TempArchiveFile file(archive.build());
    auto db = DatDatabase::open(file.path());
    if (!db) {
        throw std::runtime_error(db.error().display());
    }
    return Opened{std::move(file), std::move(db).value()};
}

void expect_eof(const tarnwick_dat::Result<Bytes, tarnwick_dat::DatError>& result) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), DatErrorKind::Io);
    EXPECT_EQ(result.error().display(), "IO error: failed to fill whole buffer");
}

TEST(ReadFileData, LengthZeroReadsNothing) {
    RawArchive archive;
    const Opened opened = open(archive);
    // Any read at these offsets would fail: they lie beyond the file.
    for (const std::uint32_t offset : {0u, 400u, 0x10000u, 0xFFFFFFFFu}) {
        const auto data = opened.db.read_file_data(offset, 0);
        ASSERT_TRUE(data.has_value()) << offset;
        EXPECT_TRUE(data->empty());
    }
}

TEST(ReadFileData, GathersAlongChainsOfEveryShape) {
    struct Case {
        const char* name;
        std::uint32_t block_size;
        std::size_t length;
        ChainOptions chain;
    };
    const std::uint32_t beyond = 0xFFFFFF00;  // a link that would fail if followed
    const Case cases[] = {
        {"1020 bytes in one block", 1024, 1020, {}},
        {"1 byte", 1024, 1, {}},
        {"1021 bytes over two blocks", 1024, 1021, {}},
        {"2000 bytes, second link not followed", 1024, 2000,
         tarnwick_dat_writer::linked_past_data(beyond)},
        {"2040 bytes filling two blocks, link not followed", 1024, 2040,
         tarnwick_dat_writer::linked_past_data(beyond)},
        {"2000 bytes scattered", 1024, 2000, tarnwick_dat_writer::scattered()},
        {"3000 bytes from one over-long block", 1024, 3000, tarnwick_dat_writer::at_most_blocks(1)},
        {"5000 bytes, last of two blocks over-long", 1024, 5000,
         tarnwick_dat_writer::at_most_blocks(2)},
        {"5000 bytes in 5-byte blocks", 5, 5000, {}},
        {"300 bytes scattered in 16-byte blocks", 16, 300, tarnwick_dat_writer::scattered()},
        {"1716-byte node over two blocks", 1024, 1716, {}},
        {"1716-byte node in 256-byte blocks", 256, 1716, tarnwick_dat_writer::scattered()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawArchive archive(c.block_size);
        const Bytes data = pattern(c.length);
        // Something before and after the chain, so that stray reads differ.
        archive.append_blocks(pattern(c.block_size, 99));
        const std::uint32_t offset = archive.write_chain(data, c.chain);
        archive.append_blocks(pattern(c.block_size * 3, 55));
        const Opened opened = open(archive);
        const auto read = opened.db.read_file_data(offset, static_cast<std::uint32_t>(c.length));
        ASSERT_TRUE(read.has_value()) << read.error().display();
        EXPECT_EQ(read.value(), data);
    }
}

TEST(ReadFileData, LastBlockIsReadContiguouslyPastItsBlockSize) {
    // The first block's link is 0, so all 3000 bytes come from offset + 4,
    // including the bytes where a further block's link would sit.
    RawArchive archive;
    Bytes data = pattern(3000);
    data[1020] = 0x00;
    data[1021] = 0x08;  // looks like a link to 0x800 at offset + 1024
    const std::uint32_t offset = archive.write_chain(data, tarnwick_dat_writer::at_most_blocks(1));
    const Opened opened = open(archive);
    const auto read = opened.db.read_file_data(offset, 3000);
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(read.value(), data);
}

TEST(ReadFileData, NodeOverTwoBlocksTakes1020Then696) {
    RawArchive archive;
    tarnwick_dat_writer::NodeSpec node;
    node.branches[0] = 0x12345678;
    node.entries.push_back({1, 2, 3, 4, 5, 6});
    const std::uint32_t offset = archive.write_node(node);
    const Bytes image = archive.build();
    // Two blocks: the first links to the second, whose link is 0.
    const auto link_at = [&](std::size_t at) {
        return static_cast<std::uint32_t>(image[at] | image[at + 1] << 8 | image[at + 2] << 16 |
                                          image[at + 3] << 24);
    };
    ASSERT_EQ(link_at(offset), offset + 1024);
    ASSERT_EQ(link_at(offset + 1024), 0u);
    const Opened opened = open(archive);
    const auto read = opened.db.read_file_data(offset, tarnwick_dat::kNodeSize);
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(read.value(), tarnwick_dat_writer::encode_node(node));
}

TEST(ReadFileData, LoopingChainEndsOnceTheLengthIsGathered) {
    RawArchive archive;
    const std::uint32_t offset = archive.write_chain(pattern(2040), ChainOptions{});
    // Second block links back to the first: A -> B -> A -> B ...
    archive.write_u32_at(offset + 1024, offset);
    const Opened opened = open(archive);
    const std::uint64_t file_length = opened.db.archive_length();
    ASSERT_EQ(file_length, 3072u);
    const auto read = opened.db.read_file_data(offset, 3000);
    ASSERT_TRUE(read.has_value()) << read.error().display();
    const Bytes first_two = pattern(2040);
    for (std::size_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(read.value()[i], first_two[i % 2040]) << i;
    }
    // No more bytes than the file holds are gathered, loop or not.
    expect_eof(opened.db.read_file_data(offset, 3073));
}

TEST(ReadFileData, ChainsBeyondTheFileFailWithUnexpectedEnd) {
    struct Case {
        const char* name;
        std::uint32_t length;
        std::optional<std::uint32_t> last_link;
        std::optional<std::uint32_t> offset;
        std::uint64_t cut_from_end;
    };
    const Case cases[] = {
        {"first block beyond the file", 10, std::nullopt, 0x100000, 0},
        {"first block at the largest offset", 10, std::nullopt, 0xFFFFFFFF, 0},
        // 0xFFFFFFFC + 4 wraps to 0 in 32 bits, where the file has bytes.
        {"payload position past 32 bits", 10, std::nullopt, 0xFFFFFFFC, 0},
        {"link to a block beyond the file", 2000, 0x00F00000, std::nullopt, 0},
        {"link to the largest offset", 2000, 0xFFFFFFFC, std::nullopt, 0},
        {"last payload cut short", 2000, std::nullopt, std::nullopt, 1},
        {"length beyond the whole file", 0xFFFFFFFF, std::nullopt, std::nullopt, 0},
        {"length one past the file's size", 0, std::nullopt, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawArchive archive;
        const std::uint32_t chain = archive.write_chain(pattern(1020), ChainOptions{});
        if (c.last_link) {
            archive.write_u32_at(chain, *c.last_link);
        }
        const std::uint64_t full = archive.build().size();
        // The chain's data ends at chain + 4 + 1020 = the image end.
        archive.truncate(full - c.cut_from_end);
        const Opened opened = open(archive);
        const std::uint32_t length =
            c.length != 0 ? c.length : static_cast<std::uint32_t>(opened.db.archive_length() + 1);
        const std::uint32_t offset = c.offset.value_or(chain);
        expect_eof(opened.db.read_file_data(offset, c.cut_from_end != 0 ? 1020 : length));
    }
}

}  // namespace
