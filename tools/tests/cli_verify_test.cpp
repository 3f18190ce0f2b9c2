// tarnwick-dat verify: its findings, summary and JSON.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/verify.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

ArchiveBuilder archive_with_a_chain_past_the_end() {
    ArchiveBuilder builder;
    builder.add_file(0x01000001, text_bytes("one"));
    tarnwick_dat::DatFileEntry broken;
    broken.id = 0x01000002;
    broken.offset = 0x7FFFFC00;
    broken.size = 10;
    builder.add_entry(broken);
    return builder;
}

TEST(ToolVerify, PrintsEveryFindingThenTheSummary) {
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> options;
        int status;
        const char* out;
    };
    const HandArchive hand;
    const Case cases[] = {
        {"sound",
         hand.image,
         {},
         0,
         "5 files, 3 nodes, 8435 bytes read, 3079 bytes decoded, 14 blocks (0 unused): 0 damage, "
         "0 information\n"},
        {"sound, quiet", hand.image, {"-q"}, 0, ""},
        {"sound, fonts only",
         hand.image,
         {"--type", "font", "-j", "1"},
         0,
         "1 files, 3 nodes, 5223 bytes read, 69 bytes decoded, 14 blocks (0 unused): 0 damage, "
         "0 information\n"},
        {"cut stream",
         archive_with_a_cut_stream().build(),
         {},
         1,
         "0x01000002 Model: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "0x40000003 Font: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "4 files, 1 nodes, 6774 bytes read, 4638 bytes decoded, 10 blocks (0 unused): 2 damage, "
         "0 information\n"},
        {"cut stream, quiet",
         archive_with_a_cut_stream().build(),
         {"--quiet"},
         1,
         "0x01000002 Model: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "0x40000003 Font: compressed stream ends after 2315 of 5000 bytes (input used up)\n"},
        {"cut stream, one id",
         archive_with_a_cut_stream().build(),
         {"01000002", "d:1"},
         1,

         "0x00000001 Unknown: not listed in the archive's directory\n"
         "0x01000002 Model: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "1 files, 1 nodes, 4241 bytes read, 2315 bytes decoded, 10 blocks (0 unused): 2 damage, "
         "0 information\n"},
        {"chain past the end",
         archive_with_a_chain_past_the_end().build(),
         {},
         1,
         "0x01000002 Model: chain starting at 0x7FFFFC00 runs past the end of the file\n"
         "2 files, 1 nodes, 1719 bytes read, 3 bytes decoded, 3 blocks (0 unused): 1 damage, "
         "0 information\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.image);
        std::vector<std::string> args = {"verify", archive.path().string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
}

TEST(ToolVerify, JsonShapeIsTheDocumentedOne) {
    const TempArchiveFile archive(archive_with_a_cut_stream().build());
    const ToolRun run = run_tool({"verify", archive.path().string(), "--json"});
    EXPECT_EQ(run.status, 1);
    // Keys in this order, as documented.
    const auto expected = nlohmann::ordered_json::parse(R"json({
        "findings": [
            {"severity": "damage", "kind": "stream_cut", "id": "01000002", "type": "Model",
             "node": null,
             "description": "compressed stream ends after 2315 of 5000 bytes (input used up)"},
            {"severity": "damage", "kind": "stream_cut", "id": "40000003", "type": "Font",
             "node": null,
             "description": "compressed stream ends after 2315 of 5000 bytes (input used up)"}
        ],
        "totals": {"files": 4, "nodes": 1, "stored_bytes": 6774, "decoded_bytes": 4638,
                   "blocks": 10, "unused_blocks": 0},
        "damaged": true
    })json");
    EXPECT_EQ(run.out, expected.dump(2) + "\n");

    // --jsonl: each finding on a line of its own, the totals last.
    const ToolRun lines = run_tool({"verify", archive.path().string(), "--jsonl"});
    EXPECT_EQ(lines.status, 1);
    std::string expected_lines;
    for (const auto& finding : expected["findings"]) {
        expected_lines += finding.dump() + "\n";
    }
    nlohmann::ordered_json last = nlohmann::ordered_json::object();
    last["totals"] = expected["totals"];
    last["damaged"] = true;
    EXPECT_EQ(lines.out, expected_lines + last.dump() + "\n");
}

TEST(ToolVerify, AMissingArchiveIsAFinding) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.dat").string();
    const ToolRun run = run_tool({"verify", missing});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "archive: cannot open: No such file or directory\n0 files, 0 nodes, 0 bytes read, 0 "
              "bytes decoded, 0 blocks (0 unused): 1 damage, 0 information\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
