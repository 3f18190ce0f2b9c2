#include "options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using runner::ColorChoice;
using runner::CommandLineError;
using runner::OutputFormat;
using runner::parse_command_line;
using runner::RunOptions;

runner::ParsedCommandLine parse(std::vector<std::string> args) {
    return parse_command_line(args);
}

RunOptions options_of(std::vector<std::string> args) {
    auto parsed = parse(args);
    if (const auto* error = std::get_if<CommandLineError>(&parsed)) {
        ADD_FAILURE() << "refused: " << error->message;
        return {};
    }
    EXPECT_TRUE(std::holds_alternative<RunOptions>(parsed));
    return std::holds_alternative<RunOptions>(parsed) ? std::get<RunOptions>(parsed) : RunOptions{};
}

struct RefusedLine {
    std::vector<std::string> args;
    std::string message;
};

TEST(ParseCommandLine, RefusesEachBadLineWithItsMessage) {
    const std::vector<RefusedLine> table = {
        {{"--foo"}, "Unrecognized option: 'foo'"},
        {{"--foo=bar"}, "Unrecognized option: 'foo'"},
        {{"-x"}, "Unrecognized option: 'x'"},
        {{"-qx"}, "Unrecognized option: 'x'"},
        {{"--"
          "Help"},
         "Unrecognized option: 'Help'"},
        {{"--logfile"}, "Argument to option 'logfile' missing"},
        {{"--skip"}, "Argument to option 'skip' missing"},
        {{"--test-threads"}, "Argument to option 'test-threads' missing"},
        {{"-Z"}, "Argument to option 'Z' missing"},
        {{"--list=x"}, "Option 'list' does not take an argument"},
        {{"--nocapture="}, "Option 'nocapture' does not take an argument"},
        {{"--=x"}, "Unrecognized option: ''"},
        {{"--list", "--list"}, "Option 'list' given more than once"},
        {{"-q", "--quiet"}, "Option 'quiet' given more than once"},
        {{"--nocapture", "--nocapture"}, "Option 'nocapture' given more than once"},
        {{"--color", "never", "--color=always"}, "Option 'color' given more than once"},
        {{"--include-ignored", "--ignored"},
         "the options --include-ignored and --ignored are mutually exclusive"},
        {{"--test-threads", "0"}, "argument for --test-threads must not be 0"},
        {{"--test-threads=+0"}, "argument for --test-threads must not be 0"},
        {{"--test-threads", "x"},
         "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
        {{"--test-threads=-1"},
         "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
        {{"--test-threads=+"},
         "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
        {{"--test-threads="},
         "argument for --test-threads must be a number > 0 (error: cannot parse integer from "
         "empty string)"},
        {{"--test-threads", "99999999999999999999999"},
         "argument for --test-threads must be a number > 0 (error: number too large to fit in "
         "target type)"},
        {{"--color", "blue"}, "argument for --color must be auto, always, or never (was blue)"},
        {{"--color="}, "argument for --color must be auto, always, or never (was )"},
        {{"--format", "xml"},
         "argument for --format must be pretty, terse, json or junit (was xml)"},
        {{"--format=json"},
         "The \"json\" format is only accepted on the nightly compiler with -Z unstable-options"},
        {{"--format", "junit"},
         "The \"junit\" format is only accepted on the nightly compiler with -Z unstable-options"},
        {{"-Z", "unstable-options"}, "the option `Z` is only accepted on the nightly compiler"},
        {{"-Zunstable-options", "--fail-fast"},
         "the option `Z` is only accepted on the nightly compiler"},
        {{"--fail-fast"},
         "The \"fail-fast\" flag is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--force-run-in-process"},
         "The \"force-run-in-process\" flag is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--exclude-should-panic"},
         "The \"exclude-should-panic\" flag is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--report-time"},
         "The \"report-time\" flag is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--ensure-time"},
         "The \"ensure-time\" flag is only accepted on the nightly compiler with -Z "
         "unstable-options"},
        {{"--shuffle"},
         "The \"shuffle\" flag is only accepted on the nightly compiler with -Z unstable-options"},
        {{"--shuffle-seed", "7"},
         "The \"shuffle-seed\" option is only accepted on the nightly compiler with -Z "
         "unstable-options"},
    };
    for (const RefusedLine& line : table) {
        auto parsed = parse(line.args);
        const auto* error = std::get_if<CommandLineError>(&parsed);
        ASSERT_NE(error, nullptr) << "accepted: " << line.args.front();
        EXPECT_EQ(error->message, line.message) << "for " << line.args.front();
    }
}

TEST(ParseCommandLine, TakesArgumentsAfterEqualsOrAsTheNextWord) {
    EXPECT_EQ(options_of({"--test-threads=1"}).test_threads, 1U);
    EXPECT_EQ(options_of({"--test-threads", "3"}).test_threads, 3U);
    EXPECT_EQ(options_of({"--test-threads", "+4"}).test_threads, 4U);
    EXPECT_EQ(options_of({"--color=never"}).color, ColorChoice::Never);
    EXPECT_EQ(options_of({"--color", "always"}).color, ColorChoice::Always);
    EXPECT_EQ(options_of({}).color, ColorChoice::Auto);
    EXPECT_EQ(options_of({"--logfile", "--list"}).logfile, "--list");
    EXPECT_FALSE(options_of({"--logfile", "--list"}).list);
    EXPECT_EQ(options_of({"--logfile=a=b"}).logfile, "a=b");
    EXPECT_FALSE(options_of({}).test_threads.has_value());
}

TEST(ParseCommandLine, CollectsFiltersAndRepeatedSkips) {
    const RunOptions options =
        options_of({"motion", "--skip", "a", "--exact", "--skip=b", "font", "-", "--", "--list"});
    EXPECT_EQ(options.filters, (std::vector<std::string>{"motion", "font", "-", "--list"}));
    EXPECT_EQ(options.skip, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(options.exact);
    EXPECT_FALSE(options.list);
}

TEST(ParseCommandLine, ReadsEveryFlag) {
    const RunOptions options = options_of(
        {"--include-ignored", "--test", "--bench", "--list", "--nocapture", "--show-output"});
    EXPECT_TRUE(options.include_ignored);
    EXPECT_TRUE(options.test);
    EXPECT_TRUE(options.bench);
    EXPECT_TRUE(options.list);
    EXPECT_TRUE(options.no_capture);
    EXPECT_TRUE(options.show_output);
    EXPECT_FALSE(options.ignored);
    EXPECT_TRUE(options_of({"--ignored"}).ignored);
    EXPECT_TRUE(options_of({"--no-capture"}).no_capture);
    // Its two spellings together are one request, not a repetition.
    EXPECT_TRUE(options_of({"--no-capture", "--nocapture"}).no_capture);
}

TEST(ParseCommandLine, ChoosesTheFormat) {
    EXPECT_EQ(options_of({}).format, OutputFormat::Pretty);
    EXPECT_EQ(options_of({"-q"}).format, OutputFormat::Terse);
    EXPECT_EQ(options_of({"--quiet"}).format, OutputFormat::Terse);
    EXPECT_EQ(options_of({"--format", "terse"}).format, OutputFormat::Terse);
    EXPECT_EQ(options_of({"--format=pretty"}).format, OutputFormat::Pretty);
    EXPECT_EQ(options_of({"--format=pretty", "-q"}).format, OutputFormat::Terse);
}

TEST(ParseCommandLine, HelpWinsOverLaterChecksButNotOverParseErrors) {
    EXPECT_TRUE(std::holds_alternative<runner::HelpRequested>(parse({"--help"})));
    EXPECT_TRUE(std::holds_alternative<runner::HelpRequested>(parse({"-qh"})));
    EXPECT_TRUE(std::holds_alternative<runner::HelpRequested>(parse({"-h", "--color=blue"})));
    EXPECT_TRUE(std::holds_alternative<CommandLineError>(parse({"-h", "--nope"})));
}

TEST(HelpText, ListsEveryOptionWithItsHelpAndHidesTheSynonym) {
    const std::string help = runner::help_text("./quorvant");
    EXPECT_EQ(help.substr(0, help.find("\n", help.find("Options:"))),
              "Usage: ./quorvant [OPTIONS] [FILTERS...]\n\nOptions:");
    for (const char* text :
         {"--include-ignored",
          "Run ignored and not ignored tests",
          "Run only ignored tests",
          "Run tests and not benchmarks",
          "Run benchmarks instead of tests",
          "List all tests and benchmarks",
          "-h, --help",
          "Display this message",
          "--logfile PATH",
          "Write logs to the specified file (deprecated)",
          "don't capture stdout/stderr of each task, allow printing directly",
          "--test-threads n_threads",
          "Number of threads used for running tests in parallel",
          "--skip FILTER",
          "Skip tests whose names contain FILTER (this flag can be used multiple times)",
          "-q, --quiet",
          "Display one character per test instead of one line. Alias to --format=terse",
          "Exactly match filters rather than by substring",
          "--color auto|always|never",
          "Configure coloring of output:",
          "--format pretty|terse|json|junit",
          "Configure formatting of output:",
          "Show captured stdout of successful tests",
          "--force-run-in-process",
          "--exclude-should-panic",
          "--fail-fast",
          "--report-time",
          "--ensure-time",
          "--shuffle ",
          "--shuffle-seed SEED",
          "-Z unstable-options"}) {
        EXPECT_NE(help.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(help.find("--nocapture"), std::string::npos);
    EXPECT_EQ(help.find("TEST_THREADS"), std::string::npos);
}

}  // namespace
