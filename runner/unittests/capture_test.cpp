#include "runner/capture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <deque>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "run.hpp"
#include "runner/failure.hpp"

namespace {

using runner::CaseDescriptor;
using runner::CaseOutcome;
using testing::HasSubstr;

constexpr int noisy_cases = 6;
constexpr int lines_per_writer = 200;

const std::array<std::string, noisy_cases> noisy_names = {"noisy::case_0", "noisy::case_1",
                                                          "noisy::case_2", "noisy::case_3",
                                                          "noisy::case_4", "noisy::case_5"};

// Writes many lines, each naming its case, to both streams and from a helper
// thread, all at once with the other noisy cases.
template <int N>
CaseOutcome noisy() {
    std::thread helper = runner::spawn_captured([] {
        for (int i = 0; i < lines_per_writer; ++i) {
            std::cerr << "helper " + noisy_names[N] + " line " + std::to_string(i) + "\n";
        }
    });
    for (int i = 0; i < lines_per_writer; ++i) {
        // Whole lines in one write each: the case's two threads write at once.
        std::cout << "out " + noisy_names[N] + " line " + std::to_string(i) + "\n";
        std::cerr << "err " + noisy_names[N] + " line " + std::to_string(i) + "\n" << std::flush;
    }
    helper.join();
    return CaseOutcome::success();
}

template <int... N>
std::vector<CaseDescriptor> noisy_descriptors(std::integer_sequence<int, N...>) {
    return {CaseDescriptor{noisy_names[N].c_str(), false, nullptr, "noisy.cpp", 1, 1, 1, 1,
                           runner::ShouldFail::No, nullptr, runner::CaseKind::Unit, &noisy<N>}...};
}

TEST(Capture, ParallelCasesKeepTheirOutputApart) {
    const std::vector<CaseDescriptor> descriptors =
        noisy_descriptors(std::make_integer_sequence<int, noisy_cases>());
    std::vector<const CaseDescriptor*> registry;
    for (const CaseDescriptor& descriptor : descriptors) {
        registry.push_back(&descriptor);
    }
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(runner::run({"--show-output", "--test-threads", "6"}, registry, out, err, {}),
              runner::exit_success);
    EXPECT_EQ(err.str(), "");
    const std::string report = out.str();
    for (const std::string& name : noisy_names) {
        const std::string header = "---- " + name + " stdout ----\n";
        const auto begin = report.find(header);
        ASSERT_NE(begin, std::string::npos) << name;
        const auto end = report.find("\n---- ", begin + header.size());
        const auto block_end = end == std::string::npos ? report.find("\nsuccesses:", begin) : end;
        std::istringstream block(
            report.substr(begin + header.size(), block_end - begin - header.size()));
        std::array<int, 3> counts{};
        for (std::string line; std::getline(block, line);) {
            if (line.empty()) {
                continue;
            }
            // Every line whole, and from this case only.
            std::smatch match;
            ASSERT_TRUE(
                std::regex_match(line, match, std::regex(R"((out|err|helper) (\S+) line \d+)")))
                << "in " << name << ": " << line;
            EXPECT_EQ(match[2], name);
            ++counts[match[1] == "out" ? 0 : match[1] == "err" ? 1 : 2];
        }
        EXPECT_EQ(counts,
                  (std::array<int, 3>{lines_per_writer, lines_per_writer, lines_per_writer}))
            << name;
    }
}

TEST(Capture, OutsideACaseOutputPassesThrough) {
    EXPECT_EQ(runner::detail::current_capture_sink(), nullptr);
    auto sink = std::make_shared<runner::CaptureSink>();
    {
        runner::detail::StandardStreamRouting routing;
        testing::internal::CaptureStdout();
        std::cout << "not captured\n";
        {
            runner::detail::CaptureScope scope(sink);
            std::cout << "captured";
            std::cerr << " and ";
            std::clog << "logged";
            runner::spawn_captured([] { std::cout << ", from a helper"; }).join();
        }
        std::cout << "passes again\n" << std::flush;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "not captured\npasses again\n");
    }
    EXPECT_EQ(sink->contents(), "captured and logged, from a helper");
}

TEST(Capture, HelperThreadExceptionIsReportedIntoTheCaseOutput) {
    auto sink = std::make_shared<runner::CaptureSink>();
    {
        runner::detail::StandardStreamRouting routing;
        runner::detail::CaptureScope scope(sink);
        runner::spawn_captured([] { throw std::runtime_error("helper broke"); }).join();
        runner::spawn_captured([] { runner::fail("helper check"); }).join();
    }
    EXPECT_THAT(sink->contents(),
                testing::MatchesRegex("\nthread '<unnamed>' \\([0-9]+\\) panicked at an unknown "
                                      "place:\nhelper broke\n\nthread '<unnamed>' \\([0-9]+\\) "
                                      "panicked at runner/unittests/capture_test.cpp:[0-9]+:[0-9]+:"
                                      "\nhelper check\n"));
}

CaseOutcome prints_its_thread_name() {
    std::array<char, 16> name{};
    pthread_getname_np(pthread_self(), name.data(), name.size());
    std::cout << "name=" << name.data();
    return CaseOutcome::success();
}

TEST(Capture, EachCaseThreadIsNamedAfterItsCase) {
    const CaseDescriptor long_name{"common::motion::tests::lookup",
                                   false,
                                   nullptr,
                                   "n.cpp",
                                   1,
                                   1,
                                   1,
                                   1,
                                   runner::ShouldFail::No,
                                   nullptr,
                                   runner::CaseKind::Unit,
                                   &prints_its_thread_name};
    const CaseDescriptor short_name{"short",
                                    false,
                                    nullptr,
                                    "n.cpp",
                                    1,
                                    1,
                                    1,
                                    1,
                                    runner::ShouldFail::No,
                                    nullptr,
                                    runner::CaseKind::Unit,
                                    &prints_its_thread_name};
    const std::vector<const CaseDescriptor*> registry{&long_name, &short_name};
    std::ostringstream out;
    std::ostringstream err;
    runner::run({"--show-output", "--test-threads=2"}, registry, out, err, {});
    EXPECT_THAT(out.str(), HasSubstr("---- common::motion::tests::lookup stdout ----\n"
                                     "name=common::motion:\n"));
    EXPECT_THAT(out.str(), HasSubstr("---- short stdout ----\nname=short\n"));
}

TEST(Capture, NoCaptureLeavesTheSectionsEmpty) {
    const CaseDescriptor printing{"printing",
                                  false,
                                  nullptr,
                                  "n.cpp",
                                  1,
                                  1,
                                  1,
                                  1,
                                  runner::ShouldFail::No,
                                  nullptr,
                                  runner::CaseKind::Unit,
                                  &prints_its_thread_name};
    const std::vector<const CaseDescriptor*> registry{&printing};
    std::ostringstream out;
    std::ostringstream err;
    testing::internal::CaptureStdout();
    runner::run({"--show-output", "--nocapture"}, registry, out, err, {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "name=printing");
    EXPECT_THAT(out.str(), HasSubstr("\nsuccesses:\n\nsuccesses:\n    printing\n"));
}

}  // namespace
