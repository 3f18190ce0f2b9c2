// The writer is checked against the on-disk format directly (decoding its
// bytes here), not through the reader, so that a fault shared by both cannot
// hide.
#include "tarnwick_dat_writer/archive_writer.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <vector>

#include "tarnwick_dat_writer/lrs_encoder.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::BlockPlacement;
using tarnwick_dat_writer::ChainOptions;
using tarnwick_dat_writer::DirectoryOptions;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::NodeSpec;
using tarnwick_dat_writer::RawArchive;

std::uint32_t u32_at(const Bytes& image, std::uint64_t at) {
    return static_cast<std::uint32_t>(image.at(at)) |
           static_cast<std::uint32_t>(image.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(image.at(at + 2)) << 16 |
           static_cast<std::uint32_t>(image.at(at + 3)) << 24;
}

Bytes pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i % 249 + 3);
    }
    return bytes;
}

// The blocks of the chain at `offset` as (position, link), walking until
// `length` payload bytes are covered, as the format defines a chain.
struct Block {
    std::uint64_t at;
    std::uint32_t link;
};
std::vector<Block> chain_blocks(const Bytes& image, std::uint32_t offset, std::size_t length,
                                std::uint32_t block_size, Bytes* payload) {
    std::vector<Block> blocks;
    std::uint64_t at = offset;
    std::size_t missing = length;
    do {
        const std::uint32_t link = u32_at(image, at);
        blocks.push_back({at, link});
        const std::size_t take =
            link != 0 ? std::min<std::size_t>(missing, block_size - 4) : missing;
        payload->insert(payload->end(), image.begin() + static_cast<std::ptrdiff_t>(at + 4),
                        image.begin() + static_cast<std::ptrdiff_t>(at + 4 + take));
        missing -= take;
        at = link;
    } while (missing > 0);
    return blocks;
}

TEST(RawArchiveHeader, EveryFieldLandsAtItsOffset) {
    RawArchive archive(256);
    auto& h = archive.header;
    h.magic = 0x11111111;
    h.dataset = 0x22222222;
    h.subset = 0x33333333;
    h.free_head = 0x44444444;
    h.free_tail = 0x55555555;
    h.free_count = 0x66666666;
    h.root_offset = 0x77777777;
    h.new_lru = 0x88888888;
    h.old_lru = 0x99999999;
    h.use_lru = 0xAAAAAAAA;
    h.master_map_id = 0xBBBBBBBB;
    h.engine_version = 0xCCCCCCCC;
    h.game_version = 0xDDDDDDDD;
    for (std::uint8_t i = 0; i < 16; ++i) {
        h.version_string[i] = static_cast<std::uint8_t>('A' + i);
    }
    h.version_minor = 0xEEEEEEEE;
    const Bytes image = archive.build();
    ASSERT_EQ(image.size(), 400u);
    const std::pair<std::uint64_t, std::uint32_t> words[] = {
        {0x140, 0x11111111}, {0x144, 256},        {0x148, 400},        {0x14C, 0x22222222},
        {0x150, 0x33333333}, {0x154, 0x44444444}, {0x158, 0x55555555}, {0x15C, 0x66666666},
        {0x160, 0x77777777}, {0x164, 0x88888888}, {0x168, 0x99999999}, {0x16C, 0xAAAAAAAA},
        {0x170, 0xBBBBBBBB}, {0x174, 0xCCCCCCCC}, {0x178, 0xDDDDDDDD}, {0x18C, 0xEEEEEEEE}};
    for (const auto& [at, value] : words) {
        EXPECT_EQ(u32_at(image, at), value) << fmt::format("at {:#x}", at);
    }
    for (std::uint8_t i = 0; i < 16; ++i) {
        EXPECT_EQ(image[0x17C + i], 'A' + i);
    }
    for (std::size_t i = 0; i < 0x140; ++i) {
        ASSERT_EQ(image[i], 0) << i;
    }

    h.file_size = 12345;
    h.block_size = 3;  // a header may lie about the layout
    const Bytes lying = archive.build();
    EXPECT_EQ(u32_at(lying, 0x148), 12345u);
    EXPECT_EQ(u32_at(lying, 0x144), 3u);
}

TEST(RawArchiveChains, LayoutsFollowTheirOptions) {
    struct Case {
        const char* name;
        std::uint32_t block_size;
        std::size_t length;
        ChainOptions options;
        std::size_t blocks;
        bool forward;  // each link points further into the file
    };
    const Case cases[] = {
        {"empty data still gets a block", 1024, 0, {}, 1, true},
        {"exactly one block", 1024, 1020, {}, 1, true},
        {"one byte more", 1024, 1021, {}, 2, true},
        {"contiguous", 256, 2000, {}, 8, true},
        {"scattered", 256, 2000, tarnwick_dat_writer::scattered(), 8, false},
        {"over-long last", 1024, 5000, tarnwick_dat_writer::at_most_blocks(2), 2, true},
        {"over-long single", 1024, 3000, tarnwick_dat_writer::at_most_blocks(1), 1, true},
        {"scattered over-long", 64, 1000, {BlockPlacement::Scattered, 3, 0}, 3, false},
        {"link after the data", 1024, 2040, tarnwick_dat_writer::linked_past_data(0xABCD), 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawArchive archive(c.block_size);
        const Bytes data = pattern(c.length);
        const std::uint32_t offset = archive.write_chain(data, c.options);
        const Bytes image = archive.build();
        EXPECT_EQ(offset % c.block_size, 0u);
        EXPECT_GE(offset, 400u);
        Bytes payload;
        const auto blocks = chain_blocks(image, offset, c.length, c.block_size, &payload);
        EXPECT_EQ(payload, data);
        ASSERT_EQ(blocks.size(), c.blocks);
        EXPECT_EQ(blocks.back().link, c.options.last_link);
        std::set<std::uint64_t> distinct;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            distinct.insert(blocks[i].at);
            if (i + 1 < blocks.size()) {
                EXPECT_EQ(blocks[i + 1].at > blocks[i].at, c.forward);
                if (c.forward) {
                    EXPECT_EQ(blocks[i + 1].at, blocks[i].at + c.block_size);
                } else {
                    // A filler block lies before every scattered block but
                    // the last.
                    EXPECT_GT(blocks[i].at - blocks[i + 1].at, c.block_size);
                    EXPECT_EQ(image[blocks[i].at - 1], 0xEE);
                }
            }
        }
        EXPECT_EQ(distinct.size(), blocks.size());
        EXPECT_LE(blocks.back().at + 4 + (c.length - (c.blocks - 1) * (c.block_size - 4)),
                  image.size());
    }
}

TEST(RawArchiveNodes, EncodeNodeLaysOutSlotsCountAndEntries) {
    NodeSpec node;
    for (std::uint32_t slot = 0; slot < 62; ++slot) {
        node.branches[slot] = 0x1000 + slot;
    }
    node.entries = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    const Bytes bytes = tarnwick_dat_writer::encode_node(node);
    ASSERT_EQ(bytes.size(), 1716u);
    for (std::uint32_t slot = 0; slot < 62; ++slot) {
        EXPECT_EQ(u32_at(bytes, slot * 4), 0x1000 + slot);
    }
    EXPECT_EQ(u32_at(bytes, 248), 2u);
    for (std::uint32_t i = 0; i < 12; ++i) {
        EXPECT_EQ(u32_at(bytes, 252 + i * 4), i + 1);
    }
    EXPECT_EQ(u32_at(bytes, 252 + 48), 0u);

    node.count = 99;
    EXPECT_EQ(u32_at(tarnwick_dat_writer::encode_node(node), 248), 99u);
    node.entries.assign(61, DatFileEntry{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(tarnwick_dat_writer::encode_node(node).back(), 0);
    node.entries.push_back({});
    EXPECT_THROW(tarnwick_dat_writer::encode_node(node), std::invalid_argument);
}

TEST(RawArchiveNodes, SetBranchPatchesSlotsInLaterBlocks) {
    // 64-byte blocks: slot 40 (byte 160) lies in the third block.
    RawArchive archive(64);
    const std::uint32_t node = archive.write_node(NodeSpec{}, tarnwick_dat_writer::scattered());
    archive.set_branch(node, 0, node);
    archive.set_branch(node, 40, 0xCAFEBABE);
    archive.set_branch(node, 61, 7);
    Bytes payload;
    chain_blocks(archive.build(), node, 1716, 64, &payload);
    EXPECT_EQ(u32_at(payload, 0), node);
    EXPECT_EQ(u32_at(payload, 160), 0xCAFEBABEu);
    EXPECT_EQ(u32_at(payload, 244), 7u);
    EXPECT_EQ(u32_at(payload, 248), 0u);
    EXPECT_THROW(archive.set_branch(node, 62, 1), std::invalid_argument);
    EXPECT_THROW(archive.set_branch(0x100000, 0, 1), std::invalid_argument);
}

TEST(RawArchiveMisuse, IsRefused) {
    EXPECT_THROW(RawArchive(4), std::invalid_argument);
    EXPECT_THROW(ArchiveBuilder(0), std::invalid_argument);
    RawArchive archive;
    EXPECT_THROW(archive.write_chain(pattern(10), tarnwick_dat_writer::at_most_blocks(0)),
                 std::invalid_argument);
    EXPECT_THROW(archive.write_chain(pattern(3000), ChainOptions{BlockPlacement::Contiguous, 1, 5}),
                 std::invalid_argument);
    ArchiveBuilder builder;
    EXPECT_THROW(builder.directory(DirectoryOptions{1, {}}), std::invalid_argument);
    EXPECT_THROW(builder.directory(DirectoryOptions{62, {}}), std::invalid_argument);
    // The header's version string is written as it is, so it must fill its 16 bytes.
    for (const std::size_t length : {0, 15, 17}) {
        archive.header.version_string.assign(length, 'v');
        EXPECT_THROW((void)archive.build(), std::invalid_argument) << length;
    }
}

TEST(RawArchiveOutput, TruncateAndWriteToAFile) {
    RawArchive archive;
    archive.write_chain(pattern(5000));
    const Bytes full = archive.build();
    archive.truncate(1000);
    const Bytes cut = archive.build();
    ASSERT_EQ(cut.size(), 1000u);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), full.begin()));
    // file_size records the whole image, as a damaged archive would.
    EXPECT_EQ(u32_at(cut, 0x148), full.size());
    archive.truncate(1u << 30);
    EXPECT_EQ(archive.build(), full);

    const tarnwick_dat_writer::TempArchiveFile temp(Bytes{});
    ASSERT_TRUE(archive.write(temp.path()).has_value());
    std::ifstream in(temp.path(), std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, full);
    EXPECT_FALSE(archive.write("/nonexistent-tarnwick-dir/out.dat").has_value());
}

// Decodes the directory laid out by the builder and checks it is a B-tree:
// nodes of at most `per_node` entries, inner nodes with n + 1 children and
// no other slot set, keys in order, every entry once.
void check_btree(const Bytes& image, std::uint32_t node, std::uint32_t block_size,
                 std::size_t per_node, std::vector<DatFileEntry>& in_order,
                 std::vector<std::uint32_t>& pre_order) {
    pre_order.push_back(node);
    Bytes bytes;
    chain_blocks(image, node, 1716, block_size, &bytes);
    const std::uint32_t n = u32_at(bytes, 248);
    ASSERT_GE(n, 1u);
    ASSERT_LE(n, per_node);
    const bool leaf = u32_at(bytes, 0) == 0;
    for (std::uint32_t slot = 0; slot < 62; ++slot) {
        const bool set = u32_at(bytes, slot * 4) != 0;
        ASSERT_EQ(set, !leaf && slot <= n) << "slot " << slot;
    }
    for (std::uint32_t i = 0; i <= n; ++i) {
        if (!leaf) {
            check_btree(image, u32_at(bytes, i * 4), block_size, per_node, in_order, pre_order);
        }
        if (i < n) {
            const std::size_t at = 252 + i * 24;
            in_order.push_back({u32_at(bytes, at), u32_at(bytes, at + 4), u32_at(bytes, at + 8),
                                u32_at(bytes, at + 12), u32_at(bytes, at + 16),
                                u32_at(bytes, at + 20)});
        }
    }
}

TEST(ArchiveBuilderLayout, DirectoryIsABTreeOverSortedIds) {
    struct Case {
        std::size_t files;
        std::size_t per_node;
        std::uint32_t block_size;
    };
    const Case cases[] = {{1, 61, 1024},    {61, 61, 1024}, {62, 61, 1024}, {3782, 61, 1024},
                          {3783, 61, 1024}, {10, 2, 256},   {100, 2, 256},  {777, 5, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} files, {} per node", c.files, c.per_node));
        ArchiveBuilder builder(c.block_size);
        builder.directory(DirectoryOptions{c.per_node, {}});
        for (std::size_t i = c.files; i-- > 0;) {
            const std::uint8_t byte = static_cast<std::uint8_t>(i);
            builder.add_file(static_cast<std::uint32_t>(i * 3 + 1), std::span(&byte, 1));
        }
        const auto layout = builder.layout();
        const Bytes image = layout.archive.build();
        std::vector<DatFileEntry> in_order;
        std::vector<std::uint32_t> pre_order;
        check_btree(image, u32_at(image, 0x160), c.block_size, c.per_node, in_order, pre_order);
        ASSERT_EQ(in_order.size(), c.files);
        EXPECT_EQ(in_order, layout.entries);
        for (std::size_t i = 0; i < c.files; ++i) {
            ASSERT_EQ(in_order[i].id, i * 3 + 1);
        }
        EXPECT_EQ(pre_order, layout.node_offsets);
    }
}

TEST(ArchiveBuilderLayout, EntriesDescribeTheirStoredPayloads) {
    ArchiveBuilder builder;
    builder.header().dataset = 7;
    const Bytes plain = pattern(3000);
    builder.add_file(5, pattern(10));
    builder.add_file(5, plain, FileOptions{false, 6, 11, 12, {}});
    builder.add_file(9, plain, tarnwick_dat_writer::compressed());
    builder.add_entry(DatFileEntry{0x80, 3, 0xFFFFFFF0, 77, 1, 2});
    const auto layout = builder.layout();
    const Bytes image = layout.archive.build();
    EXPECT_EQ(u32_at(image, 0x14C), 7u);
    ASSERT_EQ(layout.entries.size(), 3u);

    EXPECT_EQ(layout.entries[0], (DatFileEntry{0x80, 3, 0xFFFFFFF0, 77, 1, 2}));

    const DatFileEntry& replaced = layout.entries[1];
    EXPECT_EQ(replaced.id, 5u);
    EXPECT_EQ(replaced.bit_flags, 6u);
    EXPECT_EQ(replaced.size, 3000u);
    EXPECT_EQ(replaced.timestamp, 11u);
    EXPECT_EQ(replaced.version, 12u);
    Bytes stored;
    chain_blocks(image, replaced.offset, replaced.size, 1024, &stored);
    EXPECT_EQ(stored, plain);

    const DatFileEntry& compressed = layout.entries[2];
    EXPECT_EQ(compressed.bit_flags, 1u);
    Bytes packed;
    chain_blocks(image, compressed.offset, compressed.size, 1024, &packed);
    EXPECT_EQ(packed, tarnwick_dat_writer::compress_lrs(plain));
}

TEST(ArchiveBuilderLayout, NoFilesMeansNoDirectory) {
    const Bytes image = ArchiveBuilder().build();
    EXPECT_EQ(image.size(), 400u);
    EXPECT_EQ(u32_at(image, 0x160), 0u);
}

}  // namespace
