// Block chains read with read-ahead and loop completion must give exactly
// what following the links block by block gives, while reading each block
// once, whole or in pieces, alone or through blocks kept for a pass.
#include "internal/block_chain.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <variant>

#include "internal/block_memo.hpp"
#include "internal/chain_stream.hpp"
#include "tarnwick_dat/file_reader.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::ChainTrace;
using tarnwick_dat::DatDatabase;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

// Following the links one block at a time over the file's bytes: a link
// read, then the payload, each failing when it runs past the end.
std::variant<Bytes, std::string> follow_links(const Bytes& image, std::uint32_t block_size,
                                              std::uint32_t offset, std::uint32_t length) {
    // More bytes than the file holds cannot come from distinct bytes of it;
    // such a length is refused up front, loop or not.
    if (length > image.size()) {
        return std::string("IO error: failed to fill whole buffer");
    }
    Bytes out;
    std::uint64_t block = offset;
    while (out.size() < length) {
        if (block + 4 > image.size()) {
            return std::string("IO error: failed to fill whole buffer");
        }
        const std::uint32_t link = tarnwick_dat::load_le32(image.data() + block);
        const std::size_t missing = length - out.size();
        const std::size_t take =
            link != 0 ? std::min<std::size_t>(missing, block_size - 4) : missing;
        if (block + 4 + take > image.size()) {
            return std::string("IO error: failed to fill whole buffer");
        }
        out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(block + 4),
                   image.begin() + static_cast<std::ptrdiff_t>(block + 4 + take));
        block = link;
    }
    return out;
}

struct Opened {
    TempArchiveFile file;
    DatDatabase db;
};

Opened open(const Bytes& image) {
    TempArchiveFile file(image);
    auto db = DatDatabase::open(file.path());
    if (!db) {
        throw std::runtime_error(db.error().display());
    }
    return Opened{std::move(file), std::move(db).value()};
}

// An archive opened both ways: as a database, and as a bare chain reader
// over the same file, block size 256, and one scratch for its reads.
struct BothWays {
    explicit BothWays(const Bytes& image)
        : opened(open(image)),
          file(tarnwick_dat::ReadOnlyFile::open(opened.file.path()).value()),
          chain(file, 256, image.size()) {}
    Opened opened;
    tarnwick_dat::ReadOnlyFile file;
    tarnwick_dat::BlockChain chain;
    tarnwick_dat::ChainScratch scratch;
};

TEST(BlockChain, ReadAheadAndLoopsGiveWhatFollowingTheLinksGives) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t block_size = 5 + random() % 60;
        const std::uint32_t blocks = 1 + random() % 40;
        RawArchive archive(block_size);
        Bytes blob(std::size_t{block_size} * blocks);
        for (auto& byte : blob) {
            byte = static_cast<std::uint8_t>(random());
        }
        const std::uint32_t first = archive.append_blocks(blob);
        // Links of every kind: the next block (contiguous runs), any block
        // (scattered, loops back), the end, or past the end of the file.
        for (std::uint32_t b = 0; b < blocks; ++b) {
            const std::uint32_t at = first + b * block_size;
            const unsigned choice = random() % 10;
            std::uint32_t link = at + block_size;
            if (choice < 3) {
                link = first + (random() % blocks) * block_size;
            } else if (choice == 3) {
                link = 0;
            } else if (choice == 4 && random() % 4 == 0) {
                link = first + (blocks + 3) * block_size;
            }
            if (b + 1 == blocks && link == at + block_size) {
                link = 0;
            }
            archive.write_u32_at(at, link);
        }
        if (random() % 5 == 0) {
            archive.truncate(archive.size() - random() % block_size);
        }
        const Bytes image = archive.build();
        const Opened opened = open(image);
        auto file = tarnwick_dat::ReadOnlyFile::open(opened.file.path());
        ASSERT_TRUE(file.has_value());
        const tarnwick_dat::BlockChain chain(*file, block_size, image.size());
        // The round's probes as one pass, whole and in pieces; every other
        // round with a limit that keeps only a few blocks.
        const std::uint64_t limit = round % 2 == 0 ? 1 << 20 : 300;
        tarnwick_dat::detail::BlockMemo whole_memo(image.size(), block_size, limit);
        tarnwick_dat::detail::BlockMemo piece_memo(image.size(), block_size, limit);
        tarnwick_dat::ChainScratch scratch;
        for (int probe = 0; probe < 6; ++probe) {
            const std::uint32_t start = first + (random() % blocks) * block_size;
            const auto length = static_cast<std::uint32_t>(random() % (image.size() + 8));
            SCOPED_TRACE(::testing::Message() << "round " << round << " block size " << block_size
                                              << " start " << start << " length " << length);
            ChainTrace trace;
            const auto got = opened.db.read_file_data(start, length, &trace);
            const auto expected = follow_links(image, block_size, start, length);
            if (const auto* bytes = std::get_if<Bytes>(&expected)) {
                ASSERT_TRUE(got.has_value()) << got.error().display();
                EXPECT_EQ(got.value(), *bytes);
            } else {
                ASSERT_FALSE(got.has_value());
                EXPECT_EQ(got.error().display(), std::get<std::string>(expected));
            }
            // Each block is read at most once, and runs of adjacent blocks
            // take fewer reads than blocks.
            EXPECT_LE(trace.reads, blocks + 1);

            Bytes whole;
            const auto through_memo =
                chain.read_into(start, length, whole, scratch, nullptr, nullptr, &whole_memo);
            tarnwick_dat::ChainStream stream(opened.db, start, length, tarnwick_dat::OnLoop::Repeat,
                                             nullptr, &piece_memo);
            tarnwick_dat::ReadCounts counts;
            Bytes pieces;
            std::string piece_error;
            for (;;) {
                auto piece = stream.next(counts);
                if (!piece || piece->empty()) {
                    piece_error = piece ? "" : piece.error().display();
                    break;
                }
                pieces.insert(pieces.end(), piece->begin(), piece->end());
            }
            if (const auto* bytes = std::get_if<Bytes>(&expected)) {
                ASSERT_TRUE(through_memo.has_value()) << through_memo.error().display();
                EXPECT_EQ(whole, *bytes);
                EXPECT_EQ(piece_error, "");
                EXPECT_EQ(pieces, *bytes);
            } else {
                ASSERT_FALSE(through_memo.has_value());
                EXPECT_EQ(through_memo.error().display(), std::get<std::string>(expected));
                EXPECT_EQ(piece_error, std::get<std::string>(expected));
            }
        }
    }
}

TEST(BlockChain, ReadsFollowTheLayout) {
    struct Case {
        const char* name;
        std::uint32_t block_size;
        std::uint32_t blocks;
        // Offsets of the chain's blocks, as block numbers after the first.
        std::vector<std::uint32_t> order;
        std::uint32_t length;
        std::size_t reads;
        bool looped;
    };
    const Case cases[] = {
        {"a node in two adjacent blocks", 1024, 2, {0, 1}, 1716, 1, false},
        {"ten adjacent blocks", 1024, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10 * 1020, 1, false},
        {"five blocks scattered backwards", 1024, 9, {8, 6, 4, 2, 0}, 5 * 1020, 5, false},
        {"a loop of three adjacent blocks", 64, 3, {0, 2, 1, 0}, 5000, 1, true},
        {"a loop of three scattered blocks", 1024, 9, {8, 4, 0, 8}, 10000, 3, true},
        {"a block that links to itself", 5, 1, {0, 0}, 4000, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawArchive archive(c.block_size);
        const std::uint32_t first =
            archive.append_blocks(Bytes(std::size_t{c.block_size} * c.blocks, 7));
        // Room for the loops' lengths: the file must be longer than what
        // they gather.
        archive.append_blocks(Bytes(8192, 1));
        for (std::size_t i = 0; i < c.order.size(); ++i) {
            const std::uint32_t at = first + c.order[i] * c.block_size;
            const bool last = i + 1 == c.order.size();
            const bool loops_back = last && c.looped;
            if (loops_back) {
                continue;  // written by the block before it
            }
            const std::uint32_t next =
                i + 1 < c.order.size() ? first + c.order[i + 1] * c.block_size : 0;
            archive.write_u32_at(at, next);
        }
        const Opened opened = open(archive.build());
        ChainTrace trace;
        const auto got =
            opened.db.read_file_data(first + c.order[0] * c.block_size, c.length, &trace);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(got->size(), c.length);
        EXPECT_EQ(trace.reads, c.reads);
        EXPECT_EQ(trace.looped, c.looped);
    }
}

TEST(BlockChain, AClaimPastTheEndFailsBeforeReadingIt) {
    // The last block claims nearly the whole file's length again: nothing is
    // gathered, in one read, however large the claim.
    RawArchive archive;
    const std::uint32_t chain = archive.write_chain(Bytes(100, 3));
    archive.append_blocks(Bytes(1 << 20, 4));
    const Opened opened = open(archive.build());
    ChainTrace trace;
    const auto length = static_cast<std::uint32_t>(opened.db.archive_length() - 100);
    const auto got = opened.db.read_file_data(chain, length, &trace);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), "IO error: failed to fill whole buffer");
    EXPECT_EQ(trace.reads, 1u);
}

// A chain reader needs only a file, a block size and a length: with a
// scratch of its own it gives what the opened archive gives, through the
// same scratch for chain after chain, scattered, contiguous or cut short.
TEST(BlockChain, ReadsWithoutADatabase) {
    RawArchive archive(256);
    const std::uint32_t a = archive.write_chain(Bytes(3000, 7), tarnwick_dat_writer::scattered());
    const std::uint32_t b = archive.write_chain(Bytes(700, 9));
    const Bytes image = archive.build();
    BothWays both(image);
    struct Case {
        std::uint32_t offset;
        std::uint32_t length;
    };
    for (const Case c : {Case{a, 3000}, Case{b, 700}, Case{a, 10}, Case{b, 5000},
                         Case{static_cast<std::uint32_t>(image.size()), 4}}) {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.length);
        Bytes out;
        const auto got = both.chain.read_into(c.offset, c.length, out, both.scratch);
        const auto expected = both.opened.db.read_file_data(c.offset, c.length);
        ASSERT_EQ(got.has_value(), expected.has_value());
        if (got) {
            EXPECT_EQ(out, *expected);
        } else {
            EXPECT_EQ(got.error().display(), expected.error().display());
            EXPECT_TRUE(out.empty());
        }
    }
}

// Through one scratch, a chain read after one that left its adjacent blocks
// starts with a single block instead of fetching ahead; one that kept to
// them lets the next fetch ahead again. The bytes stay what the opened
// archive gives.
TEST(BlockChain, TheFirstReadFollowsTheLastChainsLayout) {
    RawArchive archive(256);
    // 3 blocks each: scattered, and adjacent.
    const std::uint32_t apart =
        archive.write_chain(Bytes(700, 5), tarnwick_dat_writer::scattered());
    const std::uint32_t together = archive.write_chain(Bytes(700, 6));
    const Bytes image = archive.build();
    BothWays both(image);
    struct Case {
        const char* name;
        std::uint32_t offset;
        std::size_t reads;
    };
    // In order, through the same scratch.
    const Case cases[] = {
        {"adjacent, fresh scratch: one read", together, 1},
        {"scattered: one read per block", apart, 3},
        {"adjacent after scattered: one block, then the rest", together, 2},
        {"adjacent after adjacent: one read", together, 1},
        {"scattered after adjacent: one read per block", apart, 3},
        {"scattered after scattered: one read per block", apart, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        ChainTrace trace;
        ASSERT_TRUE(both.chain.read_into(c.offset, 700, out, both.scratch, &trace).has_value());
        EXPECT_EQ(out, both.opened.db.read_file_data(c.offset, 700).value());
        EXPECT_EQ(trace.reads, c.reads);
    }
}

}  // namespace
