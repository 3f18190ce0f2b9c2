#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>

#include "internal/record_fields.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatError;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::Result;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::BlockPlacement;
using tarnwick_dat_writer::ChainOptions;
using tarnwick_dat_writer::DirectoryOptions;
using tarnwick_dat_writer::NodeSpec;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

Result<DatDatabase, DatError> open_image(const Bytes& image) {
    const TempArchiveFile file(image);
    return DatDatabase::open(file.path());
}

// An entry whose `timestamp` tells which node it came from.
DatFileEntry entry(std::uint32_t id, std::uint32_t from = 0) {
    return DatFileEntry{0, id, 0x1000 + id, id % 100, from, 0};
}

NodeSpec node_with(std::initializer_list<DatFileEntry> entries) {
    NodeSpec node;
    node.entries = entries;
    return node;
}

TEST(ReadDirectory, BuiltTreesOfEveryShapeYieldEveryEntry) {
    struct Case {
        const char* name;
        std::uint32_t block_size;
        std::size_t files;
        std::size_t per_node;
        BlockPlacement placement;
    };
    const Case cases[] = {
        {"one entry", 1024, 1, 61, BlockPlacement::Contiguous},
        {"a full leaf root", 1024, 61, 61, BlockPlacement::Contiguous},
        {"two levels", 1024, 62, 61, BlockPlacement::Contiguous},
        {"three levels of 61", 1024, 4000, 61, BlockPlacement::Contiguous},
        {"three levels of 61, scattered nodes", 1024, 4000, 61, BlockPlacement::Scattered},
        {"deep tree of 2 per node", 1024, 300, 2, BlockPlacement::Scattered},
        {"2 per node", 256, 40, 2, BlockPlacement::Contiguous},
        {"cell-sized blocks, scattered nodes", 256, 500, 7, BlockPlacement::Scattered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveBuilder builder(c.block_size);
        builder.directory(DirectoryOptions{c.per_node, ChainOptions{c.placement, std::nullopt, 0}});
        for (std::size_t i = 0; i < c.files; ++i) {
            // Ids out of order and spread over the whole range.
            const auto id = static_cast<std::uint32_t>((i * 2654435761u) ^ 0x40000000u);
            const std::uint8_t byte = static_cast<std::uint8_t>(i);
            builder.add_file(id, std::span(&byte, 1));
        }
        const auto layout = builder.layout();
        ASSERT_EQ(layout.entries.size(), c.files);
        auto db = open_image(layout.archive.build());
        ASSERT_TRUE(db.has_value()) << db.error().display();
        ASSERT_EQ(db->files().size(), c.files);
        for (const DatFileEntry& e : layout.entries) {
            const DatFileEntry* found = db->files().find(e.id);
            ASSERT_NE(found, nullptr);
            ASSERT_EQ(*found, e);
        }
    }
}

TEST(ReadDirectory, EmptyDirectories) {
    {
        RawArchive archive;  // root_offset 0
        auto db = open_image(archive.build());
        ASSERT_TRUE(db.has_value());
        EXPECT_TRUE(db->files().empty());
    }
    {
        RawArchive archive;
        archive.header.root_offset = archive.write_node(NodeSpec{});
        auto db = open_image(archive.build());
        ASSERT_TRUE(db.has_value()) << db.error().display();
        EXPECT_TRUE(db->files().empty());
    }
}

// Hand-shaped trees: which entries the walk collects, and from which node.
TEST(ReadNode, WalksTheFirstNPlusOneSlotsInPreOrder) {
    struct Case {
        const char* name;
        // Builds the tree; returns the root.
        std::uint32_t (*build)(RawArchive&);
        std::map<std::uint32_t, std::uint32_t> expected;  // id -> node tag
    };
    const Case cases[] = {
        {"slot 0 empty makes a leaf: slot 1 is not walked",
         [](RawArchive& a) {
             const auto child = a.write_node(node_with({entry(7, 2)}));
             NodeSpec root = node_with({entry(1, 1), entry(2, 1)});
             root.branches[1] = child;
             return a.write_node(root);
         },
         {{1, 1}, {2, 1}}},
        {"n = 2 walks slots 0 to 2 only",
         [](RawArchive& a) {
             NodeSpec root = node_with({entry(10, 1), entry(20, 1)});
             for (std::uint32_t slot = 0; slot < 4; ++slot) {
                 root.branches[slot] = a.write_node(node_with({entry(100 + slot, 10 + slot)}));
             }
             return a.write_node(root);
         },
         {{10, 1}, {20, 1}, {100, 10}, {101, 11}, {102, 12}}},
        {"zero slot 1 is skipped, slot 2 walked",
         [](RawArchive& a) {
             NodeSpec root = node_with({entry(10, 1), entry(20, 1)});
             root.branches[0] = a.write_node(node_with({entry(5, 2)}));
             root.branches[2] = a.write_node(node_with({entry(25, 3)}));
             return a.write_node(root);
         },
         {{10, 1}, {20, 1}, {5, 2}, {25, 3}}},
        {"n = 0 with slot 0 walks one child",
         [](RawArchive& a) {
             NodeSpec root;
             root.branches[0] = a.write_node(node_with({entry(5, 2)}));
             root.branches[1] = a.write_node(node_with({entry(6, 3)}));
             return a.write_node(root);
         },
         {{5, 2}}},
        {"n = 61 walks all 62 slots",
         [](RawArchive& a) {
             NodeSpec root;
             for (std::uint32_t i = 0; i < 61; ++i) {
                 root.entries.push_back(entry(1000 + i, 1));
             }
             for (std::uint32_t slot = 0; slot < 62; ++slot) {
                 root.branches[slot] = a.write_node(node_with({entry(slot, 100 + slot)}));
             }
             return a.write_node(root);
         },
         [] {
             std::map<std::uint32_t, std::uint32_t> m;
             for (std::uint32_t i = 0; i < 61; ++i) {
                 m[1000 + i] = 1;
             }
             for (std::uint32_t slot = 0; slot < 62; ++slot) {
                 m[slot] = 100 + slot;
             }
             return m;
         }()},
        {"a duplicate in a child replaces the parent's",
         [](RawArchive& a) {
             NodeSpec root = node_with({entry(1, 1)});
             root.branches[0] = a.write_node(node_with({entry(1, 2)}));
             return a.write_node(root);
         },
         {{1, 2}}},
        {"within a node the later duplicate wins",
         [](RawArchive& a) {
             return a.write_node(node_with({entry(4, 1), entry(4, 2)}));
         },
         {{4, 2}}},
        {"depth first: a later sibling beats an earlier nephew",
         [](RawArchive& a) {
             // root -> A (slot 0) -> A1; root -> B (slot 1). Pre-order visits
             // A, A1, B, so B's entry for id 9 is the last one inserted.
             NodeSpec a_node = node_with({entry(2, 2)});
             a_node.branches[0] = a.write_node(node_with({entry(9, 3)}));
             NodeSpec root = node_with({entry(1, 1)});
             root.branches[0] = a.write_node(a_node);
             root.branches[1] = a.write_node(node_with({entry(9, 4)}));
             return a.write_node(root);
         },
         {{1, 1}, {2, 2}, {9, 4}}},
        {"entries beyond the count are ignored",
         [](RawArchive& a) {
             NodeSpec root = node_with({entry(1, 1), entry(2, 1), entry(3, 1)});
             root.count = 1;
             return a.write_node(root);
         },
         {{1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawArchive archive;
        archive.header.root_offset = c.build(archive);
        auto db = open_image(archive.build());
        ASSERT_TRUE(db.has_value()) << db.error().display();
        std::map<std::uint32_t, std::uint32_t> got;
        for (const DatFileEntry& e : db->files()) {
            got[e.id] = e.timestamp;
        }
        EXPECT_EQ(got, c.expected);
        EXPECT_TRUE(std::is_sorted(
            db->files().begin(), db->files().end(),
            [](const DatFileEntry& a, const DatFileEntry& b) { return a.id <= b.id; }));
    }
}

TEST(ReadNode, EntriesThatLoseToALaterDuplicateAreKeptAside) {
    // The same id in a node, its child and its grandchild, and twice in the
    // grandchild: the last one met wins; the others are kept in walk order.
    RawArchive archive;
    NodeSpec child = node_with({entry(7, 2), entry(8, 1)});
    child.branches[0] = archive.write_node(node_with({entry(7, 3), entry(7, 4)}));
    NodeSpec root = node_with({entry(7, 1)});
    root.branches[0] = archive.write_node(child);
    archive.header.root_offset = archive.write_node(root);
    auto db = open_image(archive.build());
    ASSERT_TRUE(db.has_value()) << db.error().display();
    ASSERT_EQ(db->files().size(), 2u);
    EXPECT_EQ(db->files().find(7)->timestamp, 4u);
    EXPECT_EQ(db->files().find(6), nullptr);
    EXPECT_FALSE(db->files().contains(9));
    std::vector<std::uint32_t> lost;
    for (const DatFileEntry& e : db->shadowed_entries()) {
        EXPECT_EQ(e.id, 7u);
        lost.push_back(e.timestamp);
    }
    EXPECT_EQ(lost, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(db->node_offsets().size(), 3u);
    EXPECT_EQ(db->node_offsets()[0], archive.header.root_offset);
}

TEST(ReadNode, CountAboveSixtyOneFailsInBitFlagsAfterSixtyOneEntries) {
    RawArchive archive;
    NodeSpec node;
    for (std::uint32_t i = 0; i < 61; ++i) {
        node.entries.push_back(entry(i + 1));
    }
    node.count = 62;
    archive.header.root_offset = archive.write_node(node);
    auto failed = open_image(archive.build());
    ASSERT_FALSE(failed.has_value());
    const DatError& error = failed.error();
    ASSERT_EQ(error.kind(), DatErrorKind::BinRead);
    const auto& frames = error.record_error()->frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].message, "While parsing field 'bit_flags' in DatFileEntry");
    EXPECT_EQ(frames[0].line, tarnwick_dat::field_sites_of<tarnwick_dat::DatFileEntry>()[0].line);
    EXPECT_EQ(error.record_error()->io_cause()->kind(), tarnwick_dat::IoErrorKind::UnexpectedEof);
}

TEST(ReadNode, AFailingChildFailsTheOpening) {
    RawArchive archive;
    NodeSpec root = node_with({entry(1), entry(2)});
    root.branches[0] = archive.write_node(node_with({entry(5)}));
    root.branches[1] = 0x00F00000;  // beyond the file
    root.branches[2] = archive.write_node(node_with({entry(6)}));
    archive.header.root_offset = archive.write_node(root);
    auto failed = open_image(archive.build());
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().display(), "IO error: failed to fill whole buffer");
}

TEST(ReadNode, NodesReachedTwiceAreRefused) {
    struct Case {
        const char* name;
        // Builds the tree and returns {root, node reached twice}.
        std::pair<std::uint32_t, std::uint32_t> (*build)(RawArchive&);
    };
    const Case cases[] = {
        {"a node that is its own child",
         [](RawArchive& a) {
             const auto root = a.write_node(node_with({entry(1)}));
             a.set_branch(root, 0, root);
             return std::pair{root, root};
         }},
        {"a grandchild linking back to the root",
         [](RawArchive& a) {
             const auto grandchild = a.write_node(node_with({entry(3)}));
             NodeSpec child = node_with({entry(2)});
             child.branches[0] = grandchild;
             NodeSpec root = node_with({entry(1)});
             root.branches[0] = a.write_node(child);
             const auto root_offset = a.write_node(root);
             a.set_branch(grandchild, 0, root_offset);
             return std::pair{root_offset, root_offset};
         }},
        {"a node shared by two slots of one parent",
         [](RawArchive& a) {
             const auto shared = a.write_node(node_with({entry(5)}));
             NodeSpec root = node_with({entry(1)});
             root.branches[0] = shared;
             root.branches[1] = shared;
             return std::pair{a.write_node(root), shared};
         }},
        {"a node shared by two parents",
         [](RawArchive& a) {
             const auto shared = a.write_node(node_with({entry(5)}));
             NodeSpec left = node_with({entry(2)});
             left.branches[0] = shared;
             NodeSpec right = node_with({entry(8)});
             right.branches[0] = shared;
             NodeSpec root = node_with({entry(6)});
             root.branches[0] = a.write_node(left);
             root.branches[1] = a.write_node(right);
             return std::pair{a.write_node(root), shared};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawArchive archive;
        const auto [root, twice] = c.build(archive);
        archive.header.root_offset = root;
        auto db = open_image(archive.build());
        ASSERT_FALSE(db.has_value());
        EXPECT_EQ(db.error().kind(), DatErrorKind::Corruption);
        EXPECT_EQ(db.error().display(),
                  fmt::format("Corruption detected: directory node at offset 0x{:08X} is reached "
                              "twice (a loop or a shared node)",
                              twice));
    }
}

TEST(ReadNode, OverlappingNodesCannotOutnumberTheFilesRoom) {
    // Zero bytes read as an empty leaf from any offset: a root whose 62
    // children start one byte apart in a zero region reaches 63 nodes in a
    // file that has room for only a few.
    RawArchive archive;
    const std::uint32_t zeros = archive.append_blocks(Bytes(2048, 0));
    NodeSpec root;
    for (std::uint32_t slot = 0; slot < 62; ++slot) {
        root.branches[slot] = zeros + slot;
    }
    root.count = 61;
    archive.header.root_offset = archive.write_node(root);
    const Bytes image = archive.build();
    auto db = open_image(image);
    ASSERT_FALSE(db.has_value());
    EXPECT_EQ(db.error().kind(), DatErrorKind::Corruption);
    const std::uint64_t room = image.size() / tarnwick_dat::kNodeSize;
    // The root and the first `room - 1` children fit; the next one does not.
    EXPECT_EQ(db.error().display(),
              fmt::format("Corruption detected: directory node at offset 0x{:08X} is more than a "
                          "file of {} bytes can hold",
                          zeros + room - 1, image.size()));
}

TEST(ReadNode, AVeryDeepChainOfNodesIsWalkedWithoutRecursion) {
    // Each node has n = 0 and one child: a tree 20,000 levels deep.
    constexpr std::uint32_t kDepth = 20000;
    RawArchive archive(2048);
    std::uint32_t child = 0;
    for (std::uint32_t level = 0; level < kDepth; ++level) {
        NodeSpec node;
        node.branches[0] = child;
        if (level == 0) {
            node.entries.push_back(entry(42));
        }
        child = archive.write_node(node);
    }
    archive.header.root_offset = child;
    auto db = open_image(archive.build());
    ASSERT_TRUE(db.has_value()) << db.error().display();
    EXPECT_EQ(db->files().size(), 1u);
}

TEST(ReadDirectory, EveryTruncationFailsCleanlyUntilTheDirectoryIsWhole) {
    ArchiveBuilder builder(256);
    builder.directory(DirectoryOptions{4, {}});
    for (std::uint32_t id = 1; id <= 30; ++id) {
        const std::uint8_t byte = static_cast<std::uint8_t>(id);
        builder.add_file(id, std::span(&byte, 1));
    }
    auto layout = builder.layout();
    const std::uint64_t full = layout.archive.build().size();
    bool opened_before = false;
    for (std::uint64_t cut = 0; cut <= full; ++cut) {
        layout.archive.truncate(cut);
        auto db = open_image(layout.archive.build());
        if (db.has_value()) {
            EXPECT_EQ(db->files().size(), 30u) << cut;
            opened_before = true;
            continue;
        }
        // Once the directory is whole, a longer file cannot break it.
        ASSERT_FALSE(opened_before) << cut;
        // A cut file fails on a read, never on the node-count bound.
        const DatErrorKind expected = cut < 400 ? DatErrorKind::BinRead : DatErrorKind::Io;
        ASSERT_EQ(db.error().kind(), expected) << cut;
        if (expected == DatErrorKind::Io) {
            EXPECT_EQ(db.error().display(), "IO error: failed to fill whole buffer");
        }
    }
    EXPECT_TRUE(opened_before);
}

}  // namespace
