// tarnwick-dat cat: files selected by id, type and list; lenient and raw
// fetches of damaged files.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/verify.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <utility>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

TEST(ToolCat, IdsRoundTripFromLsInEverySpelling) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun ls = run_tool({"ls", archive.path().string()});
    std::vector<std::string> listed;
    for (std::size_t at = 0; at < ls.out.size(); at = ls.out.find('\n', at) + 1) {
        if (ls.out.compare(at, 6, "total:") != 0) {
            listed.push_back(ls.out.substr(at, 8));
        }
    }
    ASSERT_EQ(listed.size(), hand.contents.size());
    for (const std::string& printed : listed) {
        const auto id = static_cast<std::uint32_t>(std::stoul(printed, nullptr, 16));
        SCOPED_TRACE(printed);
        for (const std::string& spelled :
             {printed, "0x" + printed, fmt::format("0x{:x}", id), fmt::format("{:x}", id),
              fmt::format("{:08x}", id), fmt::format("d:{}", id)}) {
            const ToolRun run = run_tool({"cat", archive.path().string(), spelled});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out, as_text(hand.contents.at(id)));
        }
    }
}

TEST(ToolCat, SelectsByIdsTypesAndLists) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::string hello = "hello";
    const std::string font = as_text(hand.contents.at(0x40000002));
    const std::string table = "table";
    const std::string texture = as_text(hand.contents.at(0x06000010));
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        // Ids in the order given, then type matches ascending, each once.
        {{"cat", a, "0E00FFFF", "01000001", "0x0e00ffff"}, "", 0, table + hello, ""},
        {{"cat", a, "--type", "Font", "--type", "Model"}, "", 0, hello + font, ""},
        {{"cat", a, "40000002", "--type", "Font"}, "", 0, font, ""},
        {{"cat", a, "-T", "-"}, "# fonts first\n\n  40000002\r\n0x01000001\n", 0, font + hello, ""},
        {{"cat", a, "-T", "-"},
         "40000002\n\nnot-an-id\n",
         2,
         "",
         "error: standard input:3: invalid file id 'not-an-id'"},
        {{"cat", a, "01000001", "0BADF00D", "0E00FFFF"},
         "",
         1,
         hello + table,
         fmt::format("error: {}: 0x0BADF00D: no such file in the archive\n", a)},
        // Globs over the eight digits in any case, ranges with both ends
        // spelt as ids are; given ids first, then the matches ascending.
        {{"cat", a, "0e*"}, "", 0, table, ""},
        {{"cat", a, "0x0?00000?"}, "", 0, hello, ""},
        {{"cat", a, "0E00FFFF", "01000000-0x0B000001"}, "", 0, table + hello + texture, ""},
        {{"cat", a, "d:16777217-d:16777217", "4*"}, "", 0, hello + font, ""},
        {{"cat", a, "--type", "font,MODEL", "--type", "Table"}, "", 0, hello + table + font, ""},
        // ls output pipes in whole: header, columns, totals, comments.
        {{"cat", a, "-T", "-"},
         "ID        TYPE     SIZE\n40000002  Font  75  69\n\n  01000001\tModel # hello\n"
         "0E00FFFF# table\n# 06000010\ntotal: 3 files  85  79\n",
         0,
         font + hello + table,
         ""},
        {{"cat", a, "-T", "-"}, "0E* # every table\n", 0, table, ""},
        // A pattern that matches nothing is an error like a missing id.
        {{"cat", a, "7*", "01000001", "50000000-5FFFFFFF"},
         "",
         1,
         hello,
         fmt::format("error: {0}: 7*: no file matches\n"
                     "error: {0}: 50000000-5FFFFFFF: no file matches\n",
                     a)},
        // An unreadable list is a failure, not a usage error.
        {{"cat", a, "-T", "/nonexistent/ids.txt"},
         "",
         1,
         "",
         "error: cannot open '/nonexistent/ids.txt': No such file or directory\n"},
        {{"cat", a, "4000000G*"},
         "",
         2,
         "",
         "error: invalid id glob '4000000G*' (expected hex digits, '*' and '?')\n"},
        {{"cat", a, "40000002-40000001"},
         "",
         2,
         "",
         "error: invalid id range '40000002-40000001' (the first id is above the last)\n"},
        {{"cat", a, "-T", "-"},
         "4-x\n",
         2,
         "",
         "error: standard input:1: invalid id range '4-x' (expected two ids, as in "
         "40000000-4000FFFF)\n"},
        {{"cat", a, "--type", "Font,Nope"},
         "",
         2,
         "",
         "error: unknown file type 'Nope' (see --help for the names)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} <<< {}", fmt::join(c.args, " "), c.input));
        const ToolRun run = run_tool(c.args, c.input);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        if (c.status == 2) {
            // The usage note that follows is the same for every case.
            EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
        } else {
            EXPECT_EQ(run.err, c.err);
        }
    }
}

// --lenient keeps what a damaged stream decodes to, with one warning line;
// --raw writes the stored bytes.
TEST(ToolSalvage, LenientAndRawFetches) {
    const ArchiveBuilder builder = archive_with_a_cut_stream();
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    auto db = DatDatabase::open(archive.path());
    ASSERT_TRUE(db);
    const Bytes salvaged = db->get_file(0x40000003).value();
    ASSERT_LT(salvaged.size(), 5000u);
    tarnwick_dat::VerifyOptions one;
    one.ids = {0x40000003};
    const std::string cause = tarnwick_dat::verify_archive(*db, one).findings.at(0).description;
    const std::string warning =
        fmt::format("warning: {}: 0x40000003: {}; kept the {} bytes decoded before it\n", a, cause,
                    salvaged.size());
    const Bytes payload = tarnwick_dat_writer::compress_lrs(pattern(5000));
    const std::string stored(payload.begin(),
                             payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 2));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"cat", a, "40000003", "01000001", "--lenient"}, 0, as_text(salvaged) + "one", warning},
        {{"cat", a, "40000003", "--raw"}, 0, stored, ""},
        {{"cat", a, "01000001", "--raw"}, 0, "one", ""},
        {{"cat", a, "40000003", "--raw", "--lenient"}, 2, "", ""},
        {{"font", a, "40000003", "--lenient"}, 1, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        if (c.status == 0) {
            EXPECT_EQ(run.err, c.err);
        } else if (c.status == 1) {
            // The salvaged bytes are no font: the warning, then the error.
            EXPECT_EQ(run.err.rfind(warning, 0), 0u) << run.err;
            EXPECT_EQ(count_lines(run.err), 2u) << run.err;
        }
    }
    // extract writes the same bytes under the same rules.
    for (const auto& [flag, expected] :
         {std::pair<std::string, std::string>{"--lenient", as_text(salvaged)}, {"--raw", stored}}) {
        SCOPED_TRACE(flag);
        const TempDir dir;
        const ToolRun run = run_tool({"extract", a, dir.path().string(), "40000003", "-q", flag});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read_text(dir.path() / "Font" / "40000003.bin"), expected);
    }
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
