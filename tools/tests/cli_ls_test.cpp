// tarnwick-dat ls: the listing as text and JSON, on a terminal and off it.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/sample_archive.hpp>
#include <tuple>
#include <utility>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

TEST(ToolLs, TextListsSizesTimesAndTotals) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::uint32_t texture = hand.entry(0x06000010).size;
    const std::uint32_t font = hand.entry(0x40000002).size;
    const std::string texture_line = fmt::format(
        "06000010  Texture              {:>10}        3000  1016                  compressed\n",
        texture);
    const std::string font_line = fmt::format(
        "40000002  Font                 {:>10}          69  2020-09-13T12:26:40Z  compressed\n",
        font);
    const std::string model_line =
        "01000001  Model                         5           5  1001                  stored\n";
    const std::string unknown_line =
        "0B000001  Unknown                       0           0  1001                  stored\n";
    const std::string table_line =
        "0E00FFFF  Table                         5           5  1255                  stored\n";
    const auto totals = [](std::size_t files, std::uint64_t stored, std::uint64_t decoded) {
        return fmt::format("{:<29}  {:>10}  {:>10}\n", fmt::format("total: {} files", files),
                           stored, decoded);
    };
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"ls", a},
         model_line + texture_line + unknown_line + table_line + font_line +
             totals(5, 10 + texture + font, 3079)},
        {{"ls", a, "--sort", "size"},
         texture_line + font_line + model_line + table_line + unknown_line +
             totals(5, 10 + texture + font, 3079)},
        {{"ls", a, "--sort", "type"},
         font_line + model_line + table_line + texture_line + unknown_line +
             totals(5, 10 + texture + font, 3079)},
        // Repeated --type is a union; ids and types combine.
        {{"ls", a, "--type", "font", "--type", "MODEL"},
         model_line + font_line + totals(2, 5 + font, 74)},
        {{"ls", a, "0E00FFFF", "--type", "Font"}, table_line + font_line + totals(2, 5 + font, 74)},
        {{"ls", a, "--type", "Region"}, totals(0, 0, 0)},
        // Ids keep the order given; globs, ranges and types follow ascending.
        {{"ls", a, "40000002", "0E00FFFF", "01000001"},
         font_line + table_line + model_line + totals(3, 10 + font, 79)},
        {{"ls", a, "40000002", "--type", "Table,model"},
         font_line + model_line + table_line + totals(3, 10 + font, 79)},
        {{"ls", a, "0E00FFFF", "0*"},
         table_line + model_line + texture_line + unknown_line + totals(4, 10 + texture, 3010)},
        // A key orders them all; -r reverses whatever order there is.
        {{"ls", a, "40000002", "01000001", "--sort", "Id"},
         model_line + font_line + totals(2, 5 + font, 74)},
        {{"ls", a, "--sort", "SIZE", "-r"},
         unknown_line + table_line + model_line + font_line + texture_line +
             totals(5, 10 + texture + font, 3079)},
        {{"ls", a, "40000002", "01000001", "--reverse"},
         model_line + font_line + totals(2, 5 + font, 74)},
        // No header into a pipe or file, with or without --no-header.
        {{"ls", a, "0E00FFFF", "01000001", "--no-header"},
         table_line + model_line + totals(2, 10, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, c.out);
    }
    const ToolRun human = run_tool({"ls", a, "-h", "06000010"});
    EXPECT_EQ(human.out.substr(0, 53), "06000010  Texture                    3.1K        2.9K");
}

TEST(ToolLs, JsonShapeIsTheDocumentedOne) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const auto& font = hand.entry(0x40000002);
    const auto& unknown = hand.entry(0x0B000001);
    const std::string unknown_object = fmt::format(
        "{{\"id\":\"0B000001\",\"type\":\"Unknown\",\"compressed\":false,\"size\":0,"
        "\"decoded_size\":0,\"timestamp\":1001,\"time\":null,\"version\":3,\"bit_flags\":131072,"
        "\"offset\":{}}}",
        unknown.offset);
    const std::string font_object = fmt::format(
        "{{\"id\":\"40000002\",\"type\":\"Font\",\"compressed\":true,\"size\":{},"
        "\"decoded_size\":69,\"timestamp\":1600000000,\"time\":\"2020-09-13T12:26:40Z\","
        "\"version\":3,\"bit_flags\":1,\"offset\":{}}}",
        font.size, font.offset);
    // --jsonl: one compact object per line, in the order given.
    const ToolRun lines =
        run_tool({"ls", archive.path().string(), "40000002", "0B000001", "--jsonl"});
    ASSERT_EQ(lines.status, 0) << lines.err;
    EXPECT_EQ(lines.out, font_object + "\n" + unknown_object + "\n");
    // --json: one pretty-printed array, keys in the same order.
    const ToolRun run = run_tool({"ls", archive.path().string(), "0B000001", "40000002", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, fmt::format("[\n"
                                   "  {{\n"
                                   "    \"id\": \"0B000001\",\n"
                                   "    \"type\": \"Unknown\",\n"
                                   "    \"compressed\": false,\n"
                                   "    \"size\": 0,\n"
                                   "    \"decoded_size\": 0,\n"
                                   "    \"timestamp\": 1001,\n"
                                   "    \"time\": null,\n"
                                   "    \"version\": 3,\n"
                                   "    \"bit_flags\": 131072,\n"
                                   "    \"offset\": {}\n"
                                   "  }},\n"
                                   "  {{\n"
                                   "    \"id\": \"40000002\",\n"
                                   "    \"type\": \"Font\",\n"
                                   "    \"compressed\": true,\n"
                                   "    \"size\": {},\n"
                                   "    \"decoded_size\": 69,\n"
                                   "    \"timestamp\": 1600000000,\n"
                                   "    \"time\": \"2020-09-13T12:26:40Z\",\n"
                                   "    \"version\": 3,\n"
                                   "    \"bit_flags\": 1,\n"
                                   "    \"offset\": {}\n"
                                   "  }}\n"
                                   "]\n",
                                   unknown.offset, font.size, font.offset));
    const ToolRun empty = run_tool({"ls", archive.path().string(), "--type", "Region", "--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "[]\n");
}

// Runs the tool with a terminal for standard output (and error), as a
// person at a shell would; line ends come back as written.
ToolRun run_on_terminal(const std::vector<std::string>& args) {
    std::vector<std::string> words = {TARNWICK_DAT_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ToolRun run;
    if (pid < 0) {
        ADD_FAILURE() << "cannot open a terminal";
        return run;
    }
    if (pid == 0) {
        ::execv(TARNWICK_DAT_TOOL, argv.data());
        ::_exit(127);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 30000) <= 0) {
            ADD_FAILURE() << "no output from the tool on a terminal";
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got <= 0) {
            break;  // EIO once the tool has closed its side
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    run.out = text;
    return run;
}

TEST(ToolLs, AHeaderLineOnlyOnATerminal) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::string header =
        "ID        TYPE                       SIZE     DECODED  TIME                  STORAGE\n";
    const std::string table =
        "0E00FFFF  Table                         5           5  1255                  stored\n"
        "total: 1 file                           5           5\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"ls", a, "0E00FFFF"}, header + table},
        {{"ls", a, "0E00FFFF", "--no-header"}, table},
        {{"ls", a, "0E00FFFF", "--jsonl"},
         fmt::format("{{\"id\":\"0E00FFFF\",\"type\":\"Table\",\"compressed\":false,\"size\":5,"
                     "\"decoded_size\":5,\"timestamp\":1255,\"time\":null,\"version\":3,"
                     "\"bit_flags\":0,\"offset\":{}}}\n",
                     hand.entry(0x0E00FFFF).offset)},
    };
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(args, " ")));
        const ToolRun run = run_on_terminal(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, out);
    }
}

TEST(ToolLs, TypesFollowTheArchiveKind) {
    // The same ids in a cell archive and a portal archive.
    for (const auto& [block_size, dataset, kind] :
         {std::tuple{1024u, 1u, DatKind::Portal}, std::tuple{256u, 2u, DatKind::Cell}}) {
        ArchiveBuilder builder(block_size);
        builder.header().dataset = dataset;
        const std::uint32_t ids[] = {0x0101FFFF, 0x0101FFFE, 0x40000012, 0xFFFF0001};
        for (const std::uint32_t id : ids) {
            builder.add_file(id, text_bytes("z"));
        }
        const TempArchiveFile archive(builder.build());
        const ToolRun run = run_tool({"ls", archive.path().string(), "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const json doc = json::parse(run.out);
        ASSERT_EQ(doc.size(), 4u);
        for (const json& object : doc) {
            const auto id = static_cast<std::uint32_t>(
                std::stoul(object.at("id").get<std::string>(), nullptr, 16));
            EXPECT_EQ(object.at("type").get<std::string>(),
                      tarnwick_dat::name(tarnwick_dat::file_type::from_id_in_dat(id, kind)));
        }
        EXPECT_EQ(doc[0].at("type"), kind == DatKind::Cell ? "LandblockInfo" : "Model");
    }
}

TEST(ToolLs, ListsAWholeSampleInOrder) {
    const TempArchiveFile archive(
        tarnwick_dat_writer::build_sample_archive(SampleOptions{400, 9, 5, 0}));
    const ToolRun run = run_tool({"ls", archive.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    ASSERT_EQ(doc.size(), 400u);
    std::size_t fonts = 0;
    for (std::size_t i = 0; i < doc.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(doc[i - 1].at("id").get<std::string>(), doc[i].at("id").get<std::string>());
        }
        fonts += doc[i].at("type") == "Font" ? 1 : 0;
    }
    EXPECT_EQ(fonts, 9u);
    const ToolRun text = run_tool({"ls", archive.path().string(), "--type", "Font"});
    EXPECT_EQ(count_lines(text.out), 10u);  // nine fonts and the totals
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
