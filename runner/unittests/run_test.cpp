#include "run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "runner/failure.hpp"

namespace {

using runner::CaseDescriptor;
using runner::CaseOutcome;
using runner::RunEnvironment;
using runner::ShouldFail;
using testing::HasSubstr;
using testing::Not;

// ---- Fake cases ----

CaseOutcome passes() {
    return CaseOutcome::success();
}

CaseOutcome prints() {
    std::cout << "printed by the case\n";
    return CaseOutcome::success();
}

constexpr std::uint32_t failing_check_line = __LINE__ + 3;
CaseOutcome throws_case_failure() {
    std::cout << "before the check\n";
    runner::fail("the check failed\nover two lines");
}

CaseOutcome throws_runtime_error() {
    throw std::runtime_error("plain exception text");
}

CaseOutcome throws_int() {
    throw 42;
}

CaseOutcome returns_failure() {
    return CaseOutcome::failure("returned text");
}

struct CaseShape {
    const char* name;
    runner::CaseFn function = &passes;
    bool ignore = false;
    const char* ignore_message = nullptr;
    ShouldFail should_fail = ShouldFail::No;
    const char* expected_message = nullptr;
};

// Descriptors with stable addresses, as a suite's static registry has them.
class Suite {
  public:
    Suite(std::initializer_list<CaseShape> shapes) {
        for (const CaseShape& shape : shapes) {
            descriptors_.push_back(CaseDescriptor{
                .name = shape.name,
                .ignore = shape.ignore,
                .ignore_message = shape.ignore_message,
                .source_path = "suite/cases.cpp",
                .start_line = 7,
                .start_col = 3,
                .end_line = 7,
                .end_col = 9,
                .should_fail = shape.should_fail,
                .expected_message = shape.expected_message,
                .kind = runner::CaseKind::Integration,
                .function = shape.function,
            });
            registry_.push_back(&descriptors_.back());
        }
    }
    std::span<const CaseDescriptor* const> registry() const { return registry_; }

  private:
    std::deque<CaseDescriptor> descriptors_;
    std::vector<const CaseDescriptor*> registry_;
};

struct Ran {
    int status;
    std::string out;
    std::string err;
};

Ran run(const Suite& suite, std::vector<std::string> args, RunEnvironment environment = {}) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runner::run(args, suite.registry(), out, err, environment);
    return {status, out.str(), err.str()};
}

// The report with its varying parts masked: the time, thread ids and the
// column of a check (which the two compilers place differently).
std::string masked(const std::string& text) {
    static const std::regex time(R"(finished in \d+\.\d\ds)");
    static const std::regex thread_id(R"(' \(\d+\) panicked)");
    static const std::regex column(R"((run_test\.cpp:\d+):\d+:)");
    std::string result = std::regex_replace(text, time, "finished in T");
    result = std::regex_replace(result, thread_id, "' (TID) panicked");
    return std::regex_replace(result, column, "$1:COL:");
}

const std::string backtrace_note =
    "note: run with `QUORVANT_BACKTRACE=1` environment variable to display a backtrace\n";

// ---- The pretty report ----

TEST(PrettyReport, OneThreadAllPassing) {
    const Suite suite{{"common::a"}, {"common::b"}, {"common::c"}};
    const Ran ran = run(suite, {"--test-threads", "1"});
    EXPECT_EQ(ran.status, runner::exit_success);
    EXPECT_EQ(masked(ran.out),
              "\nrunning 3 tests\n"
              "test common::a ... ok\n"
              "test common::b ... ok\n"
              "test common::c ... ok\n"
              "\ntest result: ok. 3 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; "
              "finished in T\n\n");
    EXPECT_EQ(ran.err, "");
}

TEST(PrettyReport, TimeHasTwoDecimals) {
    const Suite suite{{"a"}};
    const Ran ran = run(suite, {});
    EXPECT_TRUE(std::regex_search(ran.out, std::regex(R"(; finished in \d+\.\d\ds\n\n$)")))
        << ran.out;
    EXPECT_THAT(ran.out, HasSubstr("\nrunning 1 test\n"));
}

TEST(PrettyReport, FailuresSectionWithTheFailureReport) {
    const Suite suite{{"alpha", &passes}, {"beta", &throws_case_failure}, {"gamma", &prints}};
    const Ran ran = run(suite, {"--test-threads=1"});
    EXPECT_EQ(ran.status, runner::exit_failure);
    EXPECT_EQ(masked(ran.out),
              "\nrunning 3 tests\n"
              "test alpha ... ok\n"
              "test beta ... FAILED\n"
              "test gamma ... ok\n"
              "\nfailures:\n"
              "\n---- beta stdout ----\n"
              "before the check\n"
              "\nthread 'beta' (TID) panicked at runner/unittests/run_test.cpp:" +
                  std::to_string(failing_check_line) +
                  ":COL:\n"
                  "the check failed\nover two lines\n" +
                  backtrace_note +
                  "\n"
                  "\nfailures:\n"
                  "    beta\n"
                  "\ntest result: FAILED. 2 passed; 1 failed; 0 ignored; 0 measured; 0 filtered "
                  "out; finished in T\n\n");
    EXPECT_EQ(ran.err, "");
}

TEST(PrettyReport, FailureReportCarriesTheThreadIdOfTheCaseThread) {
    const Suite suite{{"beta", &throws_case_failure}};
    const Ran ran = run(suite, {});
    std::smatch match;
    ASSERT_TRUE(std::regex_search(ran.out, match, std::regex(R"(thread 'beta' \((\d+)\))")));
    EXPECT_NE(std::stol(match[1]), static_cast<long>(::gettid()));
}

TEST(PrettyReport, OtherExceptionsFailWithTheirTextAtTheCasePosition) {
    const Suite suite{{"int", &throws_int}, {"runtime", &throws_runtime_error}};
    const Ran ran = run(suite, {"--test-threads=1"});
    EXPECT_EQ(ran.status, runner::exit_failure);
    EXPECT_THAT(masked(ran.out),
                HasSubstr("\n---- int stdout ----\n"
                          "\nthread 'int' (TID) panicked at suite/cases.cpp:7:3:\n"
                          "the test threw an exception of unknown type (not derived from "
                          "std::exception)\n" +
                          backtrace_note +
                          "\n---- runtime stdout ----\n"
                          "\nthread 'runtime' (TID) panicked at suite/cases.cpp:7:3:\n"
                          "plain exception text\n"
                          "\n\nfailures:\n    int\n    runtime\n"));
    EXPECT_THAT(ran.out, HasSubstr(". 0 passed; 2 failed;"));
}

TEST(PrettyReport, BacktraceNoteComesWithTheFirstReportOnly) {
    const Suite suite{
        {"a", &throws_case_failure}, {"b", &throws_runtime_error}, {"c", &throws_case_failure}};
    const Ran ran = run(suite, {"--test-threads", "3"});
    std::size_t notes = 0;
    for (auto at = ran.out.find(backtrace_note); at != std::string::npos;
         at = ran.out.find(backtrace_note, at + 1)) {
        ++notes;
    }
    EXPECT_EQ(notes, 1U);
}

TEST(PrettyReport, BacktraceWhenAskedForInsteadOfTheNote) {
    const Suite suite{{"a", &throws_case_failure}, {"b", &throws_runtime_error}};
    RunEnvironment environment;
    environment.backtrace_enabled = true;
    const Ran ran = run(suite, {"--test-threads", "1"}, environment);
    runner::set_backtrace_capture(false);
    EXPECT_THAT(ran.out, Not(HasSubstr("note: run with")));
    EXPECT_THAT(ran.out, HasSubstr("over two lines\nstack backtrace:\n   0: "));
    EXPECT_THAT(ran.out, HasSubstr("plain exception text\nstack backtrace:\n   0: "));
    // Several numbered frames (names where the executable exports them).
    EXPECT_TRUE(std::regex_search(ran.out, std::regex("stack backtrace:\n   0: .+\n(.*\n)*   2: ")))
        << ran.out;
}

TEST(PrettyReport, ReturnedFailureAddsANoteAndNoReport) {
    const Suite suite{{"returns", &returns_failure}};
    const Ran ran = run(suite, {});
    EXPECT_EQ(ran.status, runner::exit_failure);
    EXPECT_THAT(ran.out, HasSubstr("test returns ... FAILED\n\nfailures:\n\n"
                                   "---- returns stdout ----\nnote: returned text\n\n"
                                   "\nfailures:\n    returns\n"));
    EXPECT_THAT(ran.out, Not(HasSubstr("panicked")));
}

TEST(PrettyReport, FailuresSectionWithoutOutputHasOnlyTheNames) {
    const Suite suite{{"b", &throws_int}, {"a", &throws_int}};
    const Ran ran = run(suite, {"--no-capture", "--test-threads=1"});
    EXPECT_THAT(ran.out, HasSubstr("test a ... FAILED\n\nfailures:\n\nfailures:\n    a\n    b\n\n"
                                   "test result: FAILED. 0 passed; 2 failed;"));
    // Uncaptured, the failure reports go straight to standard error.
    EXPECT_THAT(masked(ran.err),
                HasSubstr("\nthread 'b' (TID) panicked at suite/cases.cpp:7:3:\n"));
}

TEST(PrettyReport, ShowOutputAddsTheSuccessesSection) {
    const Suite suite{{"z", &prints}, {"quiet"}, {"a", &prints}, {"bad", &returns_failure}};
    const Ran ran = run(suite, {"--show-output", "--test-threads=1"});
    EXPECT_EQ(masked(ran.out),
              "\nrunning 4 tests\n"
              "test z ... ok\n"
              "test quiet ... ok\n"
              "test a ... ok\n"
              "test bad ... FAILED\n"
              "\nsuccesses:\n"
              "\n---- z stdout ----\nprinted by the case\n\n"
              "---- a stdout ----\nprinted by the case\n\n"
              "\nsuccesses:\n    a\n    quiet\n    z\n"
              "\nfailures:\n"
              "\n---- bad stdout ----\nnote: returned text\n\n"
              "\nfailures:\n    bad\n"
              "\ntest result: FAILED. 3 passed; 1 failed; 0 ignored; 0 measured; 0 filtered out; "
              "finished in T\n\n");
}

TEST(PrettyReport, IgnoredCasesWithAndWithoutReason) {
    const Suite suite{{"a", &passes, true, "needs the archive"}, {"b", &passes, true}, {"c"}};
    const Ran ran = run(suite, {"--test-threads=1"});
    EXPECT_EQ(masked(ran.out),
              "\nrunning 3 tests\n"
              "test a ... ignored, needs the archive\n"
              "test b ... ignored\n"
              "test c ... ok\n"
              "\ntest result: ok. 1 passed; 0 failed; 2 ignored; 0 measured; 0 filtered out; "
              "finished in T\n\n");
}

TEST(PrettyReport, ColoursTheWords) {
    const Suite suite{{"a"}, {"b", &throws_int}, {"c", &passes, true}};
    const std::string green = "\x1b[32mok\x1b[0m";
    const std::string red = "\x1b[31mFAILED\x1b[0m";
    const std::string yellow = "\x1b[33mignored\x1b[0m";
    RunEnvironment terminal;
    terminal.stdout_is_terminal = true;
    for (const auto& [args, environment, coloured] :
         std::vector<std::tuple<std::vector<std::string>, RunEnvironment, bool>>{
             {{"--color=always"}, RunEnvironment{}, true},
             {{}, terminal, true},
             {{"--color", "auto"}, RunEnvironment{}, false},
             {{"--color", "never"}, terminal, false}}) {
        std::vector<std::string> all = args;
        all.push_back("--test-threads=1");
        const Ran ran = run(suite, all, environment);
        EXPECT_EQ(ran.out.find("test a ... " + green + "\n") != std::string::npos, coloured);
        EXPECT_EQ(ran.out.find("test b ... " + red + "\n") != std::string::npos, coloured);
        EXPECT_EQ(ran.out.find("test c ... " + yellow + "\n") != std::string::npos, coloured);
        EXPECT_EQ(ran.out.find("test result: " + red + ". ") != std::string::npos, coloured);
        EXPECT_EQ(ran.out.find('\x1b') == std::string::npos, !coloured);
    }
}

// ---- Selection and counts ----

struct SelectionRow {
    std::vector<std::string> args;
    std::vector<std::string> lines;  // the case lines, in order
    std::string counts;              // the summary between "test result: " and "; finished"
};

TEST(Selection, FiltersSkipsAndIgnoredCases) {
    const Suite suite{{"all_retail_fonts_parse"},
                      {"common::motion::tests::classify"},
                      {"common::motion::tests::lookup"},
                      {"common::motion::tests::table", &passes, true}};
    const std::vector<SelectionRow> table = {
        {{},
         {"all_retail_fonts_parse ... ok", "common::motion::tests::classify ... ok",
          "common::motion::tests::lookup ... ok", "common::motion::tests::table ... ignored"},
         "ok. 3 passed; 0 failed; 1 ignored; 0 measured; 0 filtered out"},
        {{"motion"},
         {"common::motion::tests::classify ... ok", "common::motion::tests::lookup ... ok",
          "common::motion::tests::table ... ignored"},
         "ok. 2 passed; 0 failed; 1 ignored; 0 measured; 1 filtered out"},
        {{"motion", "--exact"},
         {},
         "ok. 0 passed; 0 failed; 0 ignored; 0 measured; 4 filtered out"},
        {{"--exact", "common::motion::tests::lookup", "all_retail_fonts_parse"},
         {"all_retail_fonts_parse ... ok", "common::motion::tests::lookup ... ok"},
         "ok. 2 passed; 0 failed; 0 ignored; 0 measured; 2 filtered out"},
        {{"tests::", "--skip", "lookup", "--skip=table"},
         {"common::motion::tests::classify ... ok"},
         "ok. 1 passed; 0 failed; 0 ignored; 0 measured; 3 filtered out"},
        {{"--skip", "lookup", "--exact"},
         {"all_retail_fonts_parse ... ok", "common::motion::tests::classify ... ok",
          "common::motion::tests::lookup ... ok", "common::motion::tests::table ... ignored"},
         "ok. 3 passed; 0 failed; 1 ignored; 0 measured; 0 filtered out"},
        {{"--ignored"},
         {"common::motion::tests::table ... ok"},
         "ok. 1 passed; 0 failed; 0 ignored; 0 measured; 3 filtered out"},
        {{"--include-ignored", "lookup", "table"},
         {"common::motion::tests::lookup ... ok", "common::motion::tests::table ... ok"},
         "ok. 2 passed; 0 failed; 0 ignored; 0 measured; 2 filtered out"},
        {{"--bench", "fonts"},
         {"all_retail_fonts_parse ... ignored"},
         "ok. 0 passed; 0 failed; 1 ignored; 0 measured; 3 filtered out"},
        {{"--bench", "--test", "fonts"},
         {"all_retail_fonts_parse ... ok"},
         "ok. 1 passed; 0 failed; 0 ignored; 0 measured; 3 filtered out"},
        {{"--test", "fonts"},
         {"all_retail_fonts_parse ... ok"},
         "ok. 1 passed; 0 failed; 0 ignored; 0 measured; 3 filtered out"},
    };
    for (const SelectionRow& row : table) {
        std::vector<std::string> args = row.args;
        args.push_back("--test-threads=1");
        const Ran ran = run(suite, args);
        std::string expected = "\nrunning " + std::to_string(row.lines.size()) +
                               (row.lines.size() == 1 ? " test\n" : " tests\n");
        for (const std::string& line : row.lines) {
            expected += "test " + line + "\n";
        }
        expected += "\ntest result: " + row.counts + "; finished in T\n\n";
        EXPECT_EQ(masked(ran.out), expected) << "with " << testing::PrintToString(row.args);
        EXPECT_EQ(ran.status, runner::exit_success);
    }
}

TEST(Selection, IgnoredWithoutIgnoredCasesRunsNothing) {
    const Suite suite{{"a"}, {"b"}, {"c"}, {"d"}};
    const Ran ran = run(suite, {"--ignored"});
    EXPECT_EQ(masked(ran.out),
              "\nrunning 0 tests\n"
              "\ntest result: ok. 0 passed; 0 failed; 0 ignored; 0 measured; 4 filtered out; "
              "finished in T\n\n");
    EXPECT_EQ(ran.status, runner::exit_success);
}

// ---- Expected failures ----

TEST(ShouldFail, PassesOnlyWhenTheCaseFailsAsExpected) {
    const Suite suite{
        {"fails_as_expected", &throws_case_failure, false, nullptr, ShouldFail::Yes},
        {"returned_failure_counts", &returns_failure, false, nullptr, ShouldFail::Yes},
        {"passes_unexpectedly", &passes, false, nullptr, ShouldFail::Yes},
        {"message_matches", &throws_runtime_error, false, nullptr, ShouldFail::YesWithMessage,
         "exception text"},
        {"message_differs", &throws_runtime_error, false, nullptr, ShouldFail::YesWithMessage,
         "another text"},
        {"no_message", &throws_int, false, nullptr, ShouldFail::YesWithMessage, "42"},
        {"passes_with_message_expected", &passes, false, nullptr, ShouldFail::YesWithMessage, "x"},
    };
    const Ran ran = run(suite, {"--test-threads=1"});
    EXPECT_THAT(ran.out, HasSubstr("test fails_as_expected ... ok\n"
                                   "test returned_failure_counts ... ok\n"
                                   "test passes_unexpectedly ... FAILED\n"
                                   "test message_matches ... ok\n"
                                   "test message_differs ... FAILED\n"
                                   "test no_message ... FAILED\n"
                                   "test passes_with_message_expected ... FAILED\n"));
    EXPECT_THAT(ran.out, HasSubstr("---- passes_unexpectedly stdout ----\n"
                                   "note: the test passed but was expected to fail\n\n"));
    EXPECT_THAT(ran.out, HasSubstr("plain exception text\n"
                                   "note: the failure message does not contain the expected text\n"
                                   "  failure message: `plain exception text`\n"
                                   "    expected text: `another text`\n\n"));
    EXPECT_THAT(ran.out, HasSubstr("note: the failure carried no message, but one containing "
                                   "`42` was expected\n"));
    EXPECT_THAT(ran.out, HasSubstr("3 passed; 4 failed;"));
    EXPECT_EQ(ran.status, runner::exit_failure);
}

// ---- Threads ----

std::atomic<bool> fast_case_done{false};

CaseOutcome waits_for_the_fast_case() {
    while (!fast_case_done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return CaseOutcome::success();
}

CaseOutcome fast_case() {
    fast_case_done.store(true);
    return CaseOutcome::success();
}

TEST(Threads, LinesComeWholeInOrderOfCompletion) {
    fast_case_done.store(false);
    const Suite suite{{"slow", &waits_for_the_fast_case}, {"fast", &fast_case}};
    const Ran ran = run(suite, {"--test-threads", "2"});
    EXPECT_EQ(masked(ran.out),
              "\nrunning 2 tests\n"
              "test fast ... ok\n"
              "test slow ... ok\n"
              "\ntest result: ok. 2 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; "
              "finished in T\n\n");
}

CaseOutcome sleeps_a_while() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return CaseOutcome::success();
}

TEST(Threads, LongRunningCaseGetsOneNotice) {
    const Suite suite{{"sleepy", &sleeps_a_while}, {"quick"}};
    RunEnvironment environment;
    environment.long_running_after = std::chrono::milliseconds(30);
    const Ran two = run(suite, {"--test-threads", "2"}, environment);
    EXPECT_EQ(masked(two.out),
              "\nrunning 2 tests\n"
              "test quick ... ok\n"
              "test sleepy has been running for over 0 seconds\n"
              "test sleepy ... ok\n"
              "\ntest result: ok. 2 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; "
              "finished in T\n\n");
    // One thread at a time: the open line already says which case runs.
    const Ran one = run(suite, {"--test-threads", "1"}, environment);
    EXPECT_THAT(one.out, Not(HasSubstr("has been running")));
}

TEST(Threads, DefaultCountComesFromTheAvailableProcessors) {
    const Suite suite{{"slow", &waits_for_the_fast_case}, {"fast", &fast_case}};
    fast_case_done.store(false);
    RunEnvironment environment;
    environment.available_parallelism = 2;
    // With one thread "slow" would wait forever; two let "fast" release it.
    const Ran ran = run(suite, {}, environment);
    EXPECT_EQ(ran.status, runner::exit_success);
    EXPECT_GE(runner::available_parallelism(), 1U);
}

std::thread::id ran_on;

CaseOutcome notes_its_thread() {
    ran_on = std::this_thread::get_id();
    std::cout << "captured all the same\n";
    return CaseOutcome::success();
}

TEST(Threads, RefusedThreadForLackOfResourcesRunsTheCaseHere) {
    const Suite suite{{"here", &notes_its_thread}};
    RunEnvironment environment;
    environment.start_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(EAGAIN, std::generic_category(), "thread");
    };
    const Ran ran = run(suite, {"--show-output"}, environment);
    EXPECT_EQ(ran.status, runner::exit_success);
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_THAT(ran.out, HasSubstr("---- here stdout ----\ncaptured all the same\n"));
}

TEST(Threads, OtherThreadFailuresEndTheRun) {
    const Suite suite{{"a"}, {"b"}};
    RunEnvironment environment;
    environment.start_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(EPERM, std::generic_category(), "thread");
    };
    const Ran ran = run(suite, {}, environment);
    EXPECT_EQ(ran.status, runner::exit_failure);
    EXPECT_EQ(ran.err,
              "failed to spawn thread to run test: Operation not permitted (os error 1)\n");
    EXPECT_THAT(ran.out, Not(HasSubstr("test result")));
}

// ---- Terse format ----

TEST(TerseReport, OneCharacterPerCaseThenTheSections) {
    const Suite suite{{"a"}, {"b", &returns_failure}, {"c", &passes, true}, {"d"}};
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-q", "--test-threads=1"}, {"--format", "terse", "--test-threads=1"}}) {
        const Ran ran = run(suite, args);
        EXPECT_EQ(masked(ran.out),
                  "\nrunning 4 tests\n"
                  ".Fi.\n"
                  "\nfailures:\n"
                  "\n---- b stdout ----\nnote: returned text\n\n"
                  "\nfailures:\n    b\n"
                  "\ntest result: FAILED. 2 passed; 1 failed; 1 ignored; 0 measured; 0 filtered "
                  "out; finished in T\n\n");
    }
}

TEST(TerseReport, WrapsAfterAHundredCharacters) {
    std::vector<std::string> names;
    for (int i = 0; i < 150; ++i) {
        names.push_back("case" + std::to_string(i));
    }
    std::deque<CaseDescriptor> descriptors;
    std::vector<const CaseDescriptor*> registry;
    for (const std::string& name : names) {
        descriptors.push_back(CaseDescriptor{name.c_str(), false, nullptr, "x.cpp", 1, 1, 1, 1,
                                             ShouldFail::No, nullptr, runner::CaseKind::Unit,
                                             &passes});
        registry.push_back(&descriptors.back());
    }
    std::ostringstream out;
    std::ostringstream err;
    runner::run({"-q"}, registry, out, err, {});
    EXPECT_THAT(out.str(), HasSubstr("\nrunning 150 tests\n" + std::string(100, '.') + "\n" +
                                     std::string(50, '.') + "\n\ntest result: ok. 150 passed;"));
}

// ---- --list and --help ----

TEST(List, NamesTheSelectedCasesAndCountsThem) {
    const Suite suite{{"all_retail_fonts_parse"},
                      {"common::tests::classify"},
                      {"common::tests::lookup", &throws_int}};
    Ran ran = run(suite, {"--list"});
    EXPECT_EQ(ran.out,
              "all_retail_fonts_parse: test\n"
              "common::tests::classify: test\n"
              "common::tests::lookup: test\n"
              "\n3 tests, 0 benchmarks\n");
    EXPECT_EQ(ran.status, runner::exit_success);
    EXPECT_EQ(run(suite, {"--list", "classify"}).out,
              "common::tests::classify: test\n\n1 test, 0 benchmarks\n");
    EXPECT_EQ(run(suite, {"--list", "nothing"}).out, "0 tests, 0 benchmarks\n");
}

TEST(Help, StartsWithTheUsageLineAndRunsNothing) {
    const Suite suite{{"a", &throws_int}};
    RunEnvironment environment;
    environment.program_name = "target/quorvant";
    const Ran ran = run(suite, {"--help"}, environment);
    EXPECT_EQ(ran.status, runner::exit_success);
    EXPECT_EQ(ran.out.substr(0, 56), "Usage: target/quorvant [OPTIONS] [FILTERS...]\n\nOptions:\n");
    EXPECT_THAT(run(suite, {"-h"}).out, HasSubstr("Usage: ... [OPTIONS] [FILTERS...]\n"));
}

// ---- Errors and status ----

TEST(CommandLineErrors, GoToStandardErrorWithStatus101) {
    const Suite suite{{"a"}};
    const Ran ran = run(suite, {"--foo"});
    EXPECT_EQ(ran.status, runner::exit_failure);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "error: Unrecognized option: 'foo'\n");
    EXPECT_EQ(run(suite, {"--test-threads", "0"}).err,
              "error: argument for --test-threads must not be 0\n");
}

// A stream buffer that refuses every write, as a full disk does.
class FullStreambuf : public std::streambuf {
  protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(ReportWriteFailure, EndsWithAnIoError) {
    const Suite suite{{"a"}, {"b"}};
    RunEnvironment environment;
    environment.output_error_text = [] {
        return std::string("No space left on device (os error 28)");
    };
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--list"}, {"--help"}}) {
        FullStreambuf full;
        std::ostream out(&full);
        std::ostringstream err;
        EXPECT_EQ(runner::run(args, suite.registry(), out, err, environment), runner::exit_failure);
        EXPECT_EQ(err.str(),
                  "error: io error when listing tests: No space left on device (os error 28)\n");
    }
}

// ---- --logfile ----

TEST(Logfile, WarnsAndWritesOneLinePerCase) {
    const std::string path =
        testing::TempDir() + "runner_logfile_test." + std::to_string(getpid()) + ".log";
    const Suite suite{{"a"}, {"b", &returns_failure}, {"c", &passes, true}};
    const Ran ran = run(suite, {"--logfile", path, "--test-threads=1"});
    EXPECT_EQ(ran.err, "warning: `--logfile` is deprecated");
    std::ifstream file(path);
    const std::string contents((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    EXPECT_EQ(contents, "ok a\nfailed b\nignored c\n");
    std::remove(path.c_str());
}

}  // namespace
