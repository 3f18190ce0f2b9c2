// Every tarnwick-dat command on damaged, looping, oversized or missing
// archives: one clear error line, and nothing lost of what is whole.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <utility>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

TEST(ToolDamage, ACutCompressedStreamFailsEveryCommandThatReadsIt) {
    const TempArchiveFile archive(archive_with_a_cut_stream().build());
    const std::string a = archive.path().string();
    const TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cat", a, "40000003"},
          {"font", a, "40000003"},
          {"extract", a, dir.path().string(), "40000003", "-q"}}) {
        SCOPED_TRACE(args[0]);
        expect_one_error_line(run_tool(args), a + ": 0x40000003: compressed stream ends after ");
    }
    EXPECT_TRUE(files_under(dir.path()).empty());
    // cat writes the sound files and nothing of the damaged one.
    const ToolRun cat = run_tool({"cat", a, "01000001", "40000003", "01000003"});
    EXPECT_EQ(cat.status, 1);
    EXPECT_EQ(cat.out, "onethree");
}

// A font and a compressed file whose chains' second block links back to
// their first, and a sound file.
struct LoopingArchive {
    Bytes image;
    std::uint32_t font_at = 0;
    std::uint32_t packed_at = 0;

    LoopingArchive() {
        ArchiveBuilder builder;
        builder.add_file(0x01000001, text_bytes("one"));
        builder.add_file(0x40000003, tarnwick_dat_writer::encode_font(make_font(0x40000003, 300)));
        builder.add_file(0x06000004, pattern(20000), tarnwick_dat_writer::compressed());
        tarnwick_dat_writer::Layout layout = builder.layout();
        for (const auto& e : layout.entries) {
            if (e.id != 0x01000001) {
                layout.archive.write_u32_at(e.offset + 1024, e.offset);
                (e.id == 0x40000003 ? font_at : packed_at) = e.offset;
            }
        }
        image = layout.archive.build();
    }
};

TEST(ToolDamage, ALoopingChainFailsEveryCommandThatReadsIt) {
    const LoopingArchive looping;
    const TempArchiveFile archive(looping.image);
    const std::string a = archive.path().string();
    const TempDir dir;
    const std::string font_loop = fmt::format(
        "{}: 0x40000003: damaged archive: file 0x40000003: its block chain loops back to "
        "block 0x{:08X} after 2 blocks\n",
        a, looping.font_at);
    const std::string packed_loop = fmt::format(
        "{}: 0x06000004: damaged archive: file 0x06000004: its block chain loops back to "
        "block 0x{:08X} after 2 blocks\n",
        a, looping.packed_at);
    struct Case {
        std::vector<std::string> args;
        const std::string& error;
    };
    const Case cases[] = {
        {{"cat", a, "40000003"}, font_loop},
        {{"cat", a, "06000004"}, packed_loop},
        {{"font", a, "40000003"}, font_loop},
        {{"extract", a, dir.path().string(), "40000003", "-q"}, font_loop},
        {{"extract", a, dir.path().string(), "06000004", "-q"}, packed_loop},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", c.args[0], c.args.back()));
        expect_one_error_line(run_tool(c.args), c.error);
    }
    EXPECT_TRUE(files_under(dir.path()).empty());
    const ToolRun verify = run_tool({"verify", a, "-q"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out,
              "0x06000004 Texture: chain loops back after 2 blocks\n"
              "0x40000003 Font: chain loops back after 2 blocks\n"
              "0x06000004 Texture: compressed stream ends after 1861 of 20000 bytes (end "
              "marker)\n");
}

// Compressed streams cut where the decoder's best ratio stops them: the
// size field alone (1000 declared), and 120 bytes of 100,000 declared. Both
// are damage, and no command that reads them passes them off as whole.
TEST(ToolDamage, StreamsCutAtTheBestRatioAreDamageEverywhere) {
    ArchiveBuilder builder;
    Bytes at_best = {0xA0, 0x86, 0x01, 0x00, 0x7F, 'a'};
    for (int i = 0; i < 7; ++i) {
        at_best.insert(at_best.end(), {0x01, 0x0F});
    }
    builder.add_file(0x06000001, Bytes{0xE8, 0x03, 0x00, 0x00}, tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x06000002, at_best, tarnwick_dat_writer::with_flags(1));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const ToolRun verify = run_tool({"verify", a, "-q"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out,
              "0x06000001 Texture: compressed stream ends after 0 of 1000 bytes (input used up)\n"
              "0x06000002 Texture: compressed stream ends after 120 of 100000 bytes (input used "
              "up)\n");
    const ToolRun as_json = run_tool({"verify", a, "--json"});
    EXPECT_NE(as_json.out.find("\"damaged\": true"), std::string::npos) << as_json.out;
    for (const auto& [id, cause] :
         {std::pair{"06000001", "0 of 1000 bytes"}, std::pair{"06000002", "120 of 100000 bytes"}}) {
        expect_one_error_line(run_tool({"cat", a, id}),
                              fmt::format("{}: 0x{}: compressed stream ends after {} (input used "
                                          "up)\n",
                                          a, id, cause));
    }
}

// 2,000 fonts that all point at one 200,000-byte file: together they claim
// far more than the archive holds. Every pass over them is refused, before
// any work, with the budget and the largest claimers named. The file is
// zeros, a font with no glyphs and a long tail, so that verify's checks of
// the fonts it admits stay quick under the sanitizers.
TEST(ToolDamage, ASelectionBeyondTheWorkBudgetIsRefused) {
    ArchiveBuilder builder;
    builder.add_file(0x06000001, Bytes(200'000, 0));
    const std::uint32_t shared = builder.layout().entries.front().offset;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        builder.add_entry(tarnwick_dat::DatFileEntry{0, 0x40000000 + i, shared, 200'000, 0, 0});
    }
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const TempDir dir;
    const std::string claims =
        "the files claim 400000000 bytes and 394000 reads, more than the work budget of ";
    for (const auto& [args, refusal] :
         {std::pair{std::vector<std::string>{"font", a}, "refusing to decode the fonts: "},
          std::pair{std::vector<std::string>{"extract", a, dir.path().string(), "--type", "Font"},
                    "refusing to extract: "}}) {
        SCOPED_TRACE(args[0]);
        const ToolRun run = run_tool(args);
        expect_one_error_line(run, a + ": " + refusal + claims);
        EXPECT_NE(run.err.find("; the largest: 0x40000000 (200000 bytes, 197 reads), 0x40000001"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_TRUE(files_under(dir.path()).empty());
    const ToolRun verify = run_tool({"verify", a, "-q"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out.rfind("archive: ", 0), 0u) << verify.out;
    EXPECT_NE(verify.out.find(" entries not expanded: the files claim 400200000 bytes and 394197 "
                              "reads, more than the work budget of "),
              std::string::npos)
        << verify.out;
}

// A font that declares 32 MiB: fonts are a few KiB, so it is damage, reported
// as verify reports an oversized record, and never fetched; the sound font
// beside it still prints.
TEST(ToolDamage, AFontDecodingToMegabytesIsReportedNotFetched) {
    ArchiveBuilder builder;
    Bytes huge = tarnwick_dat_writer::compress_lrs(Bytes(4096, 'f'));
    huge[0] = huge[1] = huge[2] = 0x00;
    huge[3] = 0x02;
    builder.add_file(0x40000001, huge, tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x40000002, tarnwick_dat_writer::encode_font(make_font(0x40000002, 1)));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const ToolRun run = run_tool({"font", a, "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "error: " + a +
                           ": 0x40000001: record of 33554432 bytes is larger than the 16777216 "
                           "bytes a record is decoded up to\n");
    EXPECT_NE(run.out.find("\"id\": \"40000002\""), std::string::npos) << run.out;
}

// ------------------------------------------------------- damaged archives

TEST(ToolDamage, DamagedArchivesGiveOneErrorLine) {
    const HandArchive hand;
    struct Case {
        const char* name;
        Bytes image;
        std::string error;
    };
    std::vector<Case> cases;
    const std::string declared = std::to_string(hand.image.size());
    cases.push_back({"header cut short", Bytes(hand.image.begin(), hand.image.begin() + 399),
                     "truncated: the file is 399 bytes, its header says " + declared + "\n"});
    cases.push_back({"only the first bytes", Bytes(hand.image.begin(), hand.image.begin() + 330),
                     "truncated: the file is 330 bytes, its header ends at 400\n"});
    cases.push_back({"empty file", Bytes{},
                     "not a portal archive (the file is 0 bytes, too short for a header)\n"});
    {
        // The root node comes last in the file: cutting the file cuts it.
        Bytes cut(hand.image.begin(), hand.image.end() - 600);
        cases.push_back({"directory cut short", cut,
                         fmt::format("truncated: the file is {} bytes, its header says {}\n",
                                     cut.size(), declared)});
    }
    {
        RawArchive raw;
        NodeSpec node;
        tarnwick_dat::DatFileEntry entry;
        entry.id = 0x01000001;
        node.entries.push_back(entry);
        const std::uint32_t root = raw.write_node(node);
        raw.set_branch(root, 0, root);
        raw.header.root_offset = root;
        cases.push_back({"directory loop", raw.build(), "damaged archive: "});
    }
    {
        RawArchive raw;
        raw.header.block_size = 4;
        cases.push_back({"block size of 4", raw.build(), "damaged archive: "});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.image);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"info", archive.path().string()},
              {"ls", archive.path().string(), "--json"},
              {"cat", archive.path().string(), "0x01000001"},
              {"extract", archive.path().string(), archive.path().string() + ".out"},
              {"font", archive.path().string(), "0x40000002"}}) {
            SCOPED_TRACE(args[0]);
            expect_one_error_line(run_tool(args), archive.path().string() + ": " + c.error);
            EXPECT_FALSE(fs::exists(archive.path().string() + ".out"));
        }
    }
}

// What a file is, said plainly by every command before any field error.
TEST(ToolDamage, EveryCommandSaysWhatTheFileIs) {
    const HandArchive hand;
    const std::string size = std::to_string(hand.image.size());
    Bytes zip = text_bytes("PK\x03\x04");
    zip.resize(2000, 0x5A);
    Bytes cut(hand.image.begin(), hand.image.end() - 600);
    struct Case {
        const char* name;
        Bytes image;
        std::string message;
    };
    const Case cases[] = {
        {"text file", text_bytes("hello\n"),
         "not a portal archive (the file is 6 bytes, too short for a header)"},
        {"zip", zip, "not a portal archive (magic 0x5A5A5A5A)"},
        {"cut download", cut,
         fmt::format("truncated: the file is {} bytes, its header says {}", cut.size(), size)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.image);
        const std::string a = archive.path().string();
        const std::string line = fmt::format("error: {}: {}\n", a, c.message);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"info", a},
                                                     {"ls", a},
                                                     {"cat", a, "01000001"},
                                                     {"font", a, "40000002"},
                                                     {"extract", a, a + ".out"}}) {
            SCOPED_TRACE(args[0]);
            const ToolRun run = run_tool(args);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, line);
        }
        const ToolRun verify = run_tool({"verify", a, "-q"});
        EXPECT_EQ(verify.status, 1);
        EXPECT_NE(verify.out.find("archive: " + c.message + "\n"), std::string::npos) << verify.out;
    }
    // The path is named once.
    const ToolRun missing = run_tool({"info", "nope.dat"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "error: nope.dat: cannot open: No such file or directory\n");
}

TEST(ToolDamage, MissingOrUnreadableArchive) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.dat").string();
    expect_one_error_line(run_tool({"info", missing}),
                          fmt::format("{}: cannot open: No such file or directory\n", missing));
    // A directory opens but cannot be read.
    expect_one_error_line(run_tool({"ls", dir.path().string()}), "");
}

TEST(ToolDamage, AFileBeyondTheEndFailsOnlyThatFile) {
    ArchiveBuilder builder;
    builder.add_file(0x01000001, text_bytes("fine"));
    tarnwick_dat::DatFileEntry broken;
    broken.id = 0x40000005;
    broken.offset = 0x10000000;
    broken.size = 50;
    broken.bit_flags = 1;
    builder.add_entry(broken);
    const TempArchiveFile archive(builder.build());
    // The listing reads a compressed file's declared size from its chain:
    // both files are listed, the unreadable size is reported and fails ls.
    const ToolRun ls = run_tool({"ls", archive.path().string()});
    EXPECT_EQ(ls.status, 1);
    EXPECT_EQ(count_lines(ls.out), 3u);  // two files and the totals
    EXPECT_EQ(ls.err,
              "error: " + archive.path().string() +
                  ": 0x40000005: chain starting at 0x10000000 runs past the end of the file\n");
    EXPECT_EQ(run_tool({"info", archive.path().string()}).status, 0);
    EXPECT_EQ(run_tool({"cat", archive.path().string(), "0x01000001"}).out, "fine");
    for (const char* command : {"cat", "font"}) {
        expect_one_error_line(
            run_tool({command, archive.path().string(), "0x40000005"}),
            archive.path().string() +
                ": 0x40000005: chain starting at 0x10000000 runs past the end of the file\n");
    }
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
