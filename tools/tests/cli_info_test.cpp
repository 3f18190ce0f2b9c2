// tarnwick-dat info: the archive's header as text and as JSON.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

TEST(ToolInfo, TextShowsEveryHeaderFieldKindAndCount) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const auto& h = hand.layout.archive.header;
    const std::string expected = fmt::format(
        "magic:          0x00005442\n"
        "block_size:     1024\n"
        "file_size:      {}\n"
        "dataset:        1\n"
        "subset:         0\n"
        "free_head:      0\n"
        "free_tail:      0\n"
        "free_count:     5\n"
        "root_offset:    {}\n"
        "new_lru:        0\n"
        "old_lru:        0\n"
        "use_lru:        0\n"
        "master_map_id:  78000001\n"
        "engine_version: 22\n"
        "game_version:   333\n"
        "version_string: a0a1a2a3a4a5a6a7a8a9aaabacadaeaf\n"
        "version_minor:  4444\n"
        "kind:           Portal\n"
        "file_count:     5\n",
        hand.image.size(), h.root_offset);
    const ToolRun run = run_tool({"info", archive.path().string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected);
}

TEST(ToolInfo, JsonHoldsTheHeaderUnderItsFieldNames) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"info", archive.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc.size(), 3u);
    EXPECT_EQ(doc.at("kind"), "Portal");
    EXPECT_EQ(doc.at("file_count"), 5);
    const json& header = doc.at("header");
    const auto db = DatDatabase::open(archive.path());
    ASSERT_TRUE(db.has_value());
    const tarnwick_dat::DatHeader& h = db->header();
    const std::map<std::string, std::uint32_t> numbers = {
        {"magic", h.magic},
        {"block_size", h.block_size},
        {"file_size", h.file_size},
        {"dataset", h.dataset},
        {"subset", h.subset},
        {"free_head", h.free_head},
        {"free_tail", h.free_tail},
        {"free_count", h.free_count},
        {"root_offset", h.root_offset},
        {"new_lru", h.new_lru},
        {"old_lru", h.old_lru},
        {"use_lru", h.use_lru},
        {"engine_version", h.engine_version},
        {"game_version", h.game_version},
        {"version_minor", h.version_minor},
    };
    // Ids are strings of eight upper-case hex digits, as ls prints them.
    EXPECT_EQ(header.at("master_map_id"), "78000001");
    EXPECT_EQ(header.size(), 17u);
    for (const auto& [name, value] : numbers) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(header.contains(name));
        EXPECT_TRUE(header.at(name).is_number_unsigned());
        EXPECT_EQ(header.at(name).get<std::uint32_t>(), value);
    }
    EXPECT_EQ(header.at("magic"), 0x5442);
    EXPECT_EQ(header.at("engine_version"), 22);
    EXPECT_EQ(header.at("version_string"), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
}

TEST(ToolInfo, KindFollowsTheHeader) {
    struct Case {
        std::uint32_t magic;
        std::uint32_t block_size;
        std::uint32_t dataset;
        const char* kind;
    };
    const Case cases[] = {
        {0x5442, 1024, 1, "Portal"},
        {0x5442, 256, 2, "Cell"},
        {0x5442, 1024, 2, "Local"},
        {0, 1024, 1, "Unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        ArchiveBuilder builder(c.block_size);
        builder.header().magic = c.magic;
        builder.header().dataset = c.dataset;
        builder.add_file(0x0101FFFF, text_bytes("x"));
        const TempArchiveFile archive(builder.build());
        const ToolRun run = run_tool({"info", archive.path().string(), "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(json::parse(run.out).at("kind"), c.kind);
    }
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
