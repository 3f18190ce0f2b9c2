// tarnwick-dat's help, version and usage errors, its bash completion and manual
// page, and how it reads ids on the command line.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

TEST(ToolHelp, ToolAndEveryCommandExplainThemselves) {
    const ToolRun tool = run_tool({"--help"});
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(tool.err, "");
    EXPECT_EQ(tool.out.rfind("tarnwick-dat " TARNWICK_DAT_VERSION ": ", 0), 0u) << tool.out;
    struct Case {
        const char* command;
        const char* usage;
    };
    const Case cases[] = {
        {"info", "info ARCHIVE [--json]"},
        {"ls",
         "ls ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--sort id|size|type] [-r] [-h] "
         "[--no-header] [--json|--jsonl] [--hash[=xxh3|sha256]]"},
        {"cat", "cat ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--lenient|--raw]"},
        {"extract",
         "extract ARCHIVE [DIR] [ID...] [-C DIR] [--type TYPE]... [-T FILE] [-j N] "
         "[--max-total SIZE] [--lenient|--raw] [--keep-old-files|--skip-old-files] [--flat] "
         "[-q|-v]"},
        {"font", "font ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--json] [--lenient]"},
        {"verify",
         "verify ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--json|--jsonl] [--quiet] [-j N]"},
        {"classify", "classify ID... [--kind portal|cell|local|unknown]"},
        {"lrs", "lrs decompress|compress [IN [OUT]]"},
        {"sample", "sample OUT|- [--files N] [--fonts N] [--seed S]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_NE(tool.out.find(fmt::format("\n  {:<10}", c.command)), std::string::npos);
        for (const char* flag : {"--help", "-h"}) {
            if (std::string_view(c.command) == "ls" && std::string_view(flag) == "-h") {
                continue;  // ls -h: human-readable sizes
            }
            const ToolRun help = run_tool({c.command, flag});
            EXPECT_EQ(help.status, 0);
            EXPECT_EQ(help.err, "");
            EXPECT_EQ(help.out.rfind(fmt::format("Usage: tarnwick-dat {}\n", c.usage), 0), 0u)
                << help.out;
        }
        EXPECT_EQ(run_tool({"help", c.command}).out, run_tool({c.command, "--help"}).out);
        // Every command that takes ids states the one rule for them.
        const bool takes_ids = std::string_view(c.command) != "info" &&
                               std::string_view(c.command) != "lrs" &&
                               std::string_view(c.command) != "sample";
        EXPECT_EQ(run_tool({c.command, "--help"}).out.find("d:1073741825") != std::string::npos,
                  takes_ids);
    }
    EXPECT_NE(tool.out.find("d:1073741825"), std::string::npos);
    // The commands that filter by type list every type name.
    const ToolRun ls_help = run_tool({"ls", "--help"});
    for (const char* type : {"Model", "Font", "DatabaseProperties", "Iteration", "Unknown"}) {
        EXPECT_NE(ls_help.out.find(fmt::format(" {}", type)), std::string::npos) << type;
    }
}

// The words of a shell script: split at blanks, quotes, brackets and '|'.
std::set<std::string> script_words(const std::string& text) {
    std::set<std::string> words;
    std::string word;
    for (const char c : text + " ") {
        if (std::string_view(" \t\n\"'()|;").find(c) != std::string_view::npos) {
            if (!word.empty()) {
                words.insert(word);
            }
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

// True when the troff text names `option` ("--no-header" as "\-\-no\-header")
// as a whole word.
bool manual_names(const std::string& manual, std::string_view option) {
    std::string troff;
    for (const char c : option) {
        troff += c == '-' ? std::string("\\-") : std::string(1, c);
    }
    for (std::size_t at = manual.find(troff); at != std::string::npos;
         at = manual.find(troff, at + 1)) {
        const std::size_t end = at + troff.size();
        if (end == manual.size() || (std::isalnum(static_cast<unsigned char>(manual[end])) == 0 &&
                                     manual.compare(end, 2, "\\-") != 0)) {
            return true;
        }
    }
    return false;
}

// The options a help text's table lists: "  -T,--files-from FILE  ..." and
// "  -h, --help  ..." give -T, --files-from, -h and --help.
std::vector<std::string> listed_options(const std::string& help) {
    std::vector<std::string> options;
    std::size_t start = 0;
    while (start < help.size()) {
        const std::size_t end = std::min(help.find('\n', start), help.size());
        std::string_view line = std::string_view(help).substr(start, end - start);
        start = end + 1;
        if (!line.starts_with("  ")) {
            continue;
        }
        line.remove_prefix(line.find_first_not_of(' '));
        if (!line.starts_with("-")) {
            continue;
        }
        line = line.substr(0, line.find("  "));  // the names' column
        for (std::size_t from = 0; from <= line.size();) {
            const std::size_t comma = std::min(line.find(',', from), line.size());
            std::string_view name = line.substr(from, comma - from);
            name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
            name = name.substr(0, name.find(' '));
            if (name.starts_with("-")) {
                options.emplace_back(name);
            }
            from = comma + 1;
        }
    }
    return options;
}

TEST(ToolHelp, CompletionAndManualPageNameEveryCommandAndOption) {
    const std::set<std::string> completion = script_words(read_text(TARNWICK_DAT_COMPLETION));
    const std::string manual = read_text(TARNWICK_DAT_MANPAGE);
    ASSERT_FALSE(completion.empty());
    ASSERT_FALSE(manual.empty());
    const std::string help = run_tool({"--help"}).out;
    const std::size_t list = help.find("Commands:\n");
    ASSERT_NE(list, std::string::npos);
    std::vector<std::string> commands;
    for (std::size_t at = list + 10; help.compare(at, 2, "  ") == 0; at = help.find('\n', at) + 1) {
        commands.push_back(help.substr(at + 2, help.find(' ', at + 2) - at - 2));
    }
    EXPECT_EQ(commands.size(), 12u) << help;
    for (const std::string& option : listed_options(help)) {
        EXPECT_EQ(completion.count(option), 1u) << option;
        EXPECT_TRUE(manual_names(manual, option)) << option;
    }
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        EXPECT_EQ(completion.count(command), 1u);
        EXPECT_NE(manual.find("\n.B " + command + " "), std::string::npos);
        const std::vector<std::string> options = listed_options(run_tool({command, "--help"}).out);
        EXPECT_FALSE(options.empty());
        for (const std::string& option : options) {
            EXPECT_EQ(completion.count(option), 1u) << option;
            EXPECT_TRUE(manual_names(manual, option)) << option;
        }
    }
    for (const DatFileType type : tarnwick_dat::kAllDatFileTypes) {
        EXPECT_EQ(completion.count(std::string(tarnwick_dat::name(type))), 1u)
            << tarnwick_dat::name(type);
    }
}

TEST(ToolHelp, VersionIsTheProjectVersion) {
    for (const char* flag : {"--version", "-V"}) {
        const ToolRun run = run_tool({flag});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "tarnwick-dat " TARNWICK_DAT_VERSION "\n");
        EXPECT_EQ(run.err, "");
    }
}

TEST(ToolUsage, MalformedCommandLinesExitWithTwo) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{}, ""},
        {{"frobnicate"}, "error: unknown command 'frobnicate'\n"},
        {{"--frobnicate"}, "error: The following argument was not expected: --frobnicate\n"},
        {{"ls"}, "error: ARCHIVE is required\n"},
        {{"ls", a, "extra"}, "error: invalid file id 'extra'"},
        {{"ls", a, "--verbose"}, "error: The following argument was not expected: --verbose\n"},
        {{"ls", a, "--type"}, "error: --type: 1 required TYPE missing\n"},
        {{"ls", a, "--type", "Fnt"}, "error: unknown file type 'Fnt' (see --help for the names)\n"},
        {{"ls", a, "--sort", "name"}, "error: --sort: name not in {id,size,type}\n"},
        {{"cat", a}, "error: nothing selected: give IDs, --type or -T\n"},
        {{"cat", a, "0x"}, "error: invalid file id '0x'"},
        {{"cat", a, ""}, "error: invalid file id ''"},
        {{"cat", a, "123456789"}, "error: invalid file id '123456789'"},
        {{"cat", a, "0x123456789"}, "error: invalid file id '0x123456789'"},
        {{"cat", a, "d:4294967296"}, "error: invalid file id 'd:4294967296'"},
        {{"cat", a, "d:12ab"}, "error: invalid file id 'd:12ab'"},
        {{"cat", a, "0d1073741825"}, "error: invalid file id '0d1073741825'"},
        {{"cat", a, "D:1"}, "error: invalid file id 'D:1'"},
        {{"cat", a, "+5"}, "error: invalid file id '+5'"},
        {{"cat", a, "0x4000000G"}, "error: invalid file id '0x4000000G'"},
        {{"cat", a, " 12"}, "error: invalid file id ' 12'"},
        {{"ls", a, "--json", "--jsonl"}, "error: --json excludes --jsonl\n"},
        {{"verify", a, "--jsonl", "-q"}, "error: --jsonl excludes --quiet\n"},
        {{"diff", a, a, "--jsonl", "--ids"}, "error: --ids excludes --jsonl\n"},
        {{"font", a, "twelve"}, "error: invalid file id 'twelve'"},
        {{"extract", a, ""}, "error: DIR must not be empty\n"},
        {{"extract", a, "out", "--jobs", "0"}, "error: invalid job count '0'"},
        {{"extract", a, "out", "--max-total", "12Q"}, "error: invalid --max-total size '12Q'"},
        {{"extract", a, "out", "-q", "-v"}, "error: --quiet excludes --verbose\n"},
        {{"extract", a, "out", "-C", "other"},
         "error: DIR given twice: 'out' and -C 'other' (with -C, the words after ARCHIVE are "
         "IDs)\n"},
        {{"extract", a, "-C", ""}, "error: DIR must not be empty\n"},
        {{"extract", a, "--keep-old-files", "--skip-old-files"},
         "error: --keep-old-files excludes --skip-old-files\n"},
        {{"classify", "1", "x2", "3"}, "error: invalid file id 'x2'"},
        {{"verify", a, "--json", "-q"}, "error: --json excludes --quiet\n"},
        {{"verify", a, "-j", "0"}, "error: invalid job count '0'"},
        {{"classify", "1", "--kind", "attic"}, "error: unknown archive kind 'attic'"},
        {{"lrs", "squash"}, "error: unknown lrs mode 'squash'"},
        {{"lrs", "compress", "-", "-", "-"}, "error: The following argument was not expected: -\n"},
        {{"sample", "x.dat", "--files", "3", "--fonts", "4"}, "error: --fonts (4) exceeds"},
        {{"sample", "x.dat", "--files", "1x"}, "error: invalid file count '1x'"},
        {{"sample", "x.dat", "--files", "500001"}, "error: invalid file count '500001'"},
        {{"sample", "x.dat", "--seed", "18446744073709551616"}, "error: invalid seed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists("x.dat"));
}

// Digits alone are hexadecimal whatever they begin with: EnvCell ids as
// printf %08x writes them start with "0d", which once meant decimal. Id 3 is
// there to catch that reading.
TEST(ToolIds, LowerCaseIdsThatBeginWith0dAreHexadecimal) {
    ArchiveBuilder builder;
    builder.add_file(0x0D000003, text_bytes("cell 3|"));
    builder.add_file(0x0D00001A, text_bytes("cell 1a|"));
    builder.add_file(0x00000003, text_bytes("three|"));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const TempDir dir;
    const std::string out = (dir.path() / "out").string();
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string out;
    };
    const Case cases[] = {
        {{"cat", a, "0d000003"}, "", "cell 3|"},
        {{"cat", a, "0d00001a", "0x0d000003", "d:3"}, "", "cell 1a|cell 3|three|"},
        {{"cat", a, "-T", "-"}, "0d00001a\n# d:3\n0d000003\n", "cell 1a|cell 3|"},
        {{"ls", a, "-T", "-", "--jsonl"},
         "0d000003\n",
         "{\"id\":\"0D000003\",\"type\":\"EnvCell\",\"compressed\":false,\"size\":7,"
         "\"decoded_size\":7,\"timestamp\":0,\"time\":null,\"version\":0,\"bit_flags\":0,"
         "\"offset\":1024}\n"},
        {{"extract", a, out, "-v", "-T", "-"},
         "0d00001a\n",
         fmt::format("{}/EnvCell/0D00001A.bin\n", out)},
        {{"classify", "0d01fffe"}, "", "LandblockInfo\n"},
        {{"classify", "0d000003", "--kind", "portal"}, "", "EnvCell\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const ToolRun run = run_tool(c.args, c.input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
    }
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
