#include "options.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <set>

namespace runner {
namespace {

enum class OptionId {
    IncludeIgnored,
    Ignored,
    Test,
    Bench,
    List,
    Help,
    Logfile,
    NoCapture,
    TestThreads,
    Skip,
    Quiet,
    Exact,
    Color,
    Format,
    ShowOutput,
    ForceRunInProcess,
    ExcludeShouldPanic,
    FailFast,
    ReportTime,
    EnsureTime,
    Shuffle,
    ShuffleSeed,
    Unstable,
};

enum class Shown {
    InHelp,        // listed with the options
    Hidden,        // accepted, never listed
    Experimental,  // listed apart, refused when given
};

// How a refused option is named in its message: "The \"{}\" flag ...".
enum class Refusal { None, Flag, Option, NightlyOnly };

struct OptionDecl {
    OptionId id;
    char short_name;             // '\0' when none
    std::string_view long_name;  // empty when none
    std::string_view hint;       // the argument's hint; empty for a flag
    std::string_view help;       // lines after the first continue in the help column
    bool repeatable;
    Shown shown;
    Refusal refusal;

    bool takes_argument() const { return !hint.empty(); }
    std::string_view name() const {
        return long_name.empty() ? std::string_view(&short_name, 1) : long_name;
    }
};

// Every option, once: the parser and the help text are both read from here.
constexpr std::array option_table{
    OptionDecl{OptionId::IncludeIgnored, '\0', "include-ignored", "",
               "Run ignored and not ignored tests", false, Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Ignored, '\0', "ignored", "", "Run only ignored tests", false,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Test, '\0', "test", "", "Run tests and not benchmarks", false,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Bench, '\0', "bench", "", "Run benchmarks instead of tests", false,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::List, '\0', "list", "", "List all tests and benchmarks", false,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Help, 'h', "help", "", "Display this message", false, Shown::InHelp,
               Refusal::None},
    OptionDecl{OptionId::Logfile, '\0', "logfile", "PATH",
               "Write logs to the specified file (deprecated)", false, Shown::InHelp,
               Refusal::None},
    OptionDecl{OptionId::NoCapture, '\0', "no-capture", "",
               "don't capture stdout/stderr of each task, allow printing directly", false,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::NoCapture, '\0', "nocapture", "", "", false, Shown::Hidden, Refusal::None},
    OptionDecl{OptionId::TestThreads, '\0', "test-threads", "n_threads",
               "Number of threads used for running tests in parallel", false, Shown::InHelp,
               Refusal::None},
    OptionDecl{OptionId::Skip, '\0', "skip", "FILTER",
               "Skip tests whose names contain FILTER (this flag can be used multiple times)", true,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Quiet, 'q', "quiet", "",
               "Display one character per test instead of one line. Alias to --format=terse", false,
               Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Exact, '\0', "exact", "", "Exactly match filters rather than by substring",
               false, Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Color, '\0', "color", "auto|always|never",
               "Configure coloring of output:\n"
               "  auto   = colour when standard output is a terminal (default)\n"
               "  always = always colour the output\n"
               "  never  = never colour the output",
               false, Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::Format, '\0', "format", "pretty|terse|json|junit",
               "Configure formatting of output:\n"
               "  pretty = one line per test (default)\n"
               "  terse  = one character per test\n"
               "  json   = one JSON object per event (experimental)\n"
               "  junit  = a JUnit XML report (experimental)",
               false, Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::ShowOutput, '\0', "show-output", "",
               "Show captured stdout of successful tests", false, Shown::InHelp, Refusal::None},
    OptionDecl{OptionId::ForceRunInProcess, '\0', "force-run-in-process", "",
               "Run every test inside this process, even where it would be isolated", false,
               Shown::Experimental, Refusal::Flag},
    OptionDecl{OptionId::ExcludeShouldPanic, '\0', "exclude-should-panic", "",
               "Leave out the tests that are expected to fail", false, Shown::Experimental,
               Refusal::Flag},
    OptionDecl{OptionId::FailFast, '\0', "fail-fast", "", "Stop the run at the first failing test",
               false, Shown::Experimental, Refusal::Flag},
    OptionDecl{OptionId::ReportTime, '\0', "report-time", "", "Show how long each test took", false,
               Shown::Experimental, Refusal::Flag},
    OptionDecl{OptionId::EnsureTime, '\0', "ensure-time", "",
               "Fail the tests that run longer than their time limit", false, Shown::Experimental,
               Refusal::Flag},
    OptionDecl{OptionId::Shuffle, '\0', "shuffle", "", "Start the tests in a random order", false,
               Shown::Experimental, Refusal::Flag},
    OptionDecl{OptionId::ShuffleSeed, '\0', "shuffle-seed", "SEED",
               "Start the tests in a random order drawn from SEED", false, Shown::Experimental,
               Refusal::Option},
    OptionDecl{OptionId::Unstable, 'Z', "", "unstable-options",
               "Allow the experimental options (unstable-options)", true, Shown::Experimental,
               Refusal::NightlyOnly},
};

const OptionDecl* find_long(std::string_view name) {
    // Options without a long name (-Z) must not answer to "--" or "--=...".
    if (name.empty()) {
        return nullptr;
    }
    const auto it = std::find_if(option_table.begin(), option_table.end(),
                                 [&](const OptionDecl& decl) { return decl.long_name == name; });
    return it == option_table.end() ? nullptr : &*it;
}

const OptionDecl* find_short(char name) {
    const auto it = std::find_if(option_table.begin(), option_table.end(),
                                 [&](const OptionDecl& decl) { return decl.short_name == name; });
    return it == option_table.end() || name == '\0' ? nullptr : &*it;
}

// The words as given, before any check of their values.
struct RawCommandLine {
    std::vector<std::string> free;
    std::map<OptionId, std::vector<std::string>> values;  // one entry per occurrence
    // Spellings seen so far: a flag may not be repeated, but its two
    // spellings (--no-capture, --nocapture) may both be given.
    std::set<std::string_view> spellings;

    bool has(OptionId id) const { return values.count(id) != 0; }
    const std::string* last(OptionId id) const {
        const auto it = values.find(id);
        return it == values.end() ? nullptr : &it->second.back();
    }
};

// Records one occurrence; `typed` is the option's name as the user wrote it.
std::optional<CommandLineError> record(RawCommandLine& raw, const OptionDecl& decl,
                                       std::string_view typed, std::string value) {
    if (!raw.spellings.insert(decl.name()).second && !decl.repeatable) {
        return CommandLineError{fmt::format("Option '{}' given more than once", typed)};
    }
    raw.values[decl.id].push_back(std::move(value));
    return std::nullopt;
}

std::variant<RawCommandLine, CommandLineError> read_words(std::span<const std::string> args) {
    RawCommandLine raw;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            raw.free.insert(raw.free.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                            args.end());
            break;
        }
        if (word.starts_with("--")) {
            const std::string_view body = std::string_view(word).substr(2);
            const auto equals = body.find('=');
            const std::string_view name = body.substr(0, equals);
            const OptionDecl* decl = find_long(name);
            if (decl == nullptr) {
                return CommandLineError{fmt::format("Unrecognized option: '{}'", name)};
            }
            std::string value;
            if (decl->takes_argument()) {
                if (equals != std::string_view::npos) {
                    value = body.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return CommandLineError{fmt::format("Argument to option '{}' missing", name)};
                }
            } else if (equals != std::string_view::npos) {
                return CommandLineError{fmt::format("Option '{}' does not take an argument", name)};
            }
            if (auto error = record(raw, *decl, name, std::move(value))) {
                return *error;
            }
        } else if (word.size() > 1 && word[0] == '-') {
            // A cluster of short options; one that takes an argument takes
            // the rest of the word, or the next word when nothing is left.
            for (std::size_t j = 1; j < word.size(); ++j) {
                const std::string_view name = std::string_view(word).substr(j, 1);
                const OptionDecl* decl = find_short(word[j]);
                if (decl == nullptr) {
                    return CommandLineError{fmt::format("Unrecognized option: '{}'", name)};
                }
                std::string value;
                const bool takes = decl->takes_argument();
                if (takes) {
                    if (j + 1 < word.size()) {
                        value = word.substr(j + 1);
                    } else if (i + 1 < args.size()) {
                        value = args[++i];
                    } else {
                        return CommandLineError{
                            fmt::format("Argument to option '{}' missing", name)};
                    }
                }
                if (auto error = record(raw, *decl, name, std::move(value))) {
                    return *error;
                }
                if (takes) {
                    break;
                }
            }
        } else {
            raw.free.push_back(word);
        }
    }
    return raw;
}

// Reads a thread count the way a decimal machine-word parse does, with its
// error texts: an optional "+", then digits only.
std::variant<std::size_t, std::string> parse_count(std::string_view text) {
    if (text.empty()) {
        return std::string("cannot parse integer from empty string");
    }
    std::string_view digits = text;
    if (digits.front() == '+' && digits.size() > 1) {
        digits.remove_prefix(1);
    }
    std::size_t value = 0;
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::string("invalid digit found in string");
        }
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::string("number too large to fit in target type");
        }
        value = value * 10 + digit;
    }
    return value;
}

ParsedCommandLine check(RawCommandLine raw) {
    if (raw.has(OptionId::Help)) {
        return HelpRequested{};
    }
    // -Z first: the other experimental options would all need it.
    for (const bool nightly_only : {true, false}) {
        for (const OptionDecl& decl : option_table) {
            if (!raw.has(decl.id) || decl.refusal == Refusal::None ||
                nightly_only != (decl.refusal == Refusal::NightlyOnly)) {
                continue;
            }
            if (nightly_only) {
                return CommandLineError{fmt::format(
                    "the option `{}` is only accepted on the nightly compiler", decl.name())};
            }
            return CommandLineError{
                fmt::format("The \"{}\" {} is only accepted on the nightly compiler with -Z "
                            "unstable-options",
                            decl.name(), decl.refusal == Refusal::Flag ? "flag" : "option")};
        }
    }

    RunOptions options;
    options.include_ignored = raw.has(OptionId::IncludeIgnored);
    options.ignored = raw.has(OptionId::Ignored);
    if (options.include_ignored && options.ignored) {
        return CommandLineError{
            "the options --include-ignored and --ignored are mutually exclusive"};
    }
    if (const std::string* threads = raw.last(OptionId::TestThreads)) {
        auto count = parse_count(*threads);
        if (const auto* error = std::get_if<std::string>(&count)) {
            return CommandLineError{fmt::format(
                "argument for --test-threads must be a number > 0 (error: {})", *error)};
        }
        if (std::get<std::size_t>(count) == 0) {
            return CommandLineError{"argument for --test-threads must not be 0"};
        }
        options.test_threads = std::get<std::size_t>(count);
    }
    if (const std::string* color = raw.last(OptionId::Color)) {
        if (*color == "auto") {
            options.color = ColorChoice::Auto;
        } else if (*color == "always") {
            options.color = ColorChoice::Always;
        } else if (*color == "never") {
            options.color = ColorChoice::Never;
        } else {
            return CommandLineError{fmt::format(
                "argument for --color must be auto, always, or never (was {})", *color)};
        }
    }
    if (const std::string* format = raw.last(OptionId::Format)) {
        if (*format == "pretty") {
            options.format = OutputFormat::Pretty;
        } else if (*format == "terse") {
            options.format = OutputFormat::Terse;
        } else if (*format == "json" || *format == "junit") {
            return CommandLineError{
                fmt::format("The \"{}\" format is only accepted on the nightly compiler with -Z "
                            "unstable-options",
                            *format)};
        } else {
            return CommandLineError{fmt::format(
                "argument for --format must be pretty, terse, json or junit (was {})", *format)};
        }
    }
    // -q asks for terse output whatever --format says.
    if (raw.has(OptionId::Quiet)) {
        options.format = OutputFormat::Terse;
    }
    options.test = raw.has(OptionId::Test);
    options.bench = raw.has(OptionId::Bench);
    options.list = raw.has(OptionId::List);
    options.exact = raw.has(OptionId::Exact);
    options.no_capture = raw.has(OptionId::NoCapture);
    options.show_output = raw.has(OptionId::ShowOutput);
    if (const std::string* logfile = raw.last(OptionId::Logfile)) {
        options.logfile = *logfile;
    }
    if (raw.has(OptionId::Skip)) {
        options.skip = raw.values[OptionId::Skip];
    }
    options.filters = std::move(raw.free);
    return options;
}

// The column where help texts start.
constexpr std::size_t help_column = 36;

void append_option(std::string& text, const OptionDecl& decl) {
    std::string left = decl.short_name != '\0' ? fmt::format("    -{}", decl.short_name) : "    ";
    if (!decl.long_name.empty()) {
        left += decl.short_name != '\0' ? ", " : "    ";
        left += fmt::format("--{}", decl.long_name);
    }
    if (decl.takes_argument()) {
        left += fmt::format(" {}", decl.hint);
    }
    text += left;
    if (left.size() + 2 <= help_column) {
        text.append(help_column - left.size(), ' ');
    } else {
        text += '\n';
        text.append(help_column, ' ');
    }
    std::string_view help = decl.help;
    for (bool first = true; !help.empty(); first = false) {
        const auto end = help.find('\n');
        if (!first) {
            text.append(help_column, ' ');
        }
        text += help.substr(0, end);
        text += '\n';
        help = end == std::string_view::npos ? std::string_view() : help.substr(end + 1);
    }
}

constexpr std::string_view help_notes = R"(
Filters:
    Each FILTER selects the tests whose name contains it (with --exact, whose
    name equals it); without a filter every test is selected. --skip FILTER
    leaves out the tests that it would select.

Threads:
    Tests run on up to --test-threads threads at once, each test on a new
    thread named after it. The default is the number of processors available
    to this process; --test-threads 1 runs the tests one after another.

Order:
    Tests start in the order the suite lists them. With more than one thread,
    each result line is written when its test ends, in the order they end.

Capture:
    What a test writes to std::cout, std::cerr and std::clog, and what the
    threads it starts through the runner write there, is kept apart for each
    test and shown only in the report: under "failures" when the test fails,
    under "successes" with --show-output. --no-capture lets it through as it
    is written. Writes that bypass those streams (printf, the file
    descriptors) are not captured.
)";

}  // namespace

ParsedCommandLine parse_command_line(std::span<const std::string> args) {
    auto words = read_words(args);
    if (auto* error = std::get_if<CommandLineError>(&words)) {
        return std::move(*error);
    }
    return check(std::move(std::get<RawCommandLine>(words)));
}

std::string help_text(std::string_view program) {
    std::string text = fmt::format("Usage: {} [OPTIONS] [FILTERS...]\n\nOptions:\n", program);
    for (const OptionDecl& decl : option_table) {
        if (decl.shown == Shown::InHelp) {
            append_option(text, decl);
        }
    }
    text += "\nExperimental options (each is refused by this runner):\n";
    for (const OptionDecl& decl : option_table) {
        if (decl.shown == Shown::Experimental) {
            append_option(text, decl);
        }
    }
    text += help_notes;
    return text;
}

}  // namespace runner
