#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quorvant.hpp"
#include "runner/descriptor.hpp"

namespace {

// The bare function name: the last "::" component of a case name.
std::string_view bare_name(std::string_view name) {
    const std::size_t colons = name.rfind("::");
    return colons == std::string_view::npos ? name : name.substr(colons + 2);
}

bool is_identifier_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The lines of a project file, read once per path.
const std::vector<std::string>& project_file_lines(const std::string& relative_path) {
    static std::map<std::string, std::vector<std::string>> cache;
    auto [it, inserted] = cache.try_emplace(relative_path);
    if (inserted) {
        std::ifstream in(std::string(TARNWICK_PROJECT_ROOT) + "/" + relative_path);
        std::string line;
        while (std::getline(in, line)) {
            it->second.push_back(line);
        }
    }
    return it->second;
}

TEST(Registry, PositionsPointAtTheCaseFunctionNames) {
    const auto registry = quorvant::case_registry();
    ASSERT_FALSE(registry.empty());
    for (const runner::CaseDescriptor* descriptor : registry) {
        ASSERT_NE(descriptor, nullptr);
        SCOPED_TRACE(descriptor->name);
        const std::string_view expected = bare_name(descriptor->name);
        const auto& lines = project_file_lines(descriptor->source_path);
        ASSERT_FALSE(lines.empty()) << "cannot read " << descriptor->source_path;

        EXPECT_EQ(descriptor->end_line, descriptor->start_line);
        ASSERT_GE(descriptor->start_line, 1u);
        ASSERT_LE(descriptor->start_line, lines.size());
        const std::string& line = lines[descriptor->start_line - 1];
        ASSERT_GE(descriptor->start_col, 1u);
        ASSERT_GE(descriptor->end_col, descriptor->start_col);
        ASSERT_LE(descriptor->end_col - 1, line.size()) << "line: " << line;

        const std::size_t begin = descriptor->start_col - 1;
        const std::size_t end = descriptor->end_col - 1;
        EXPECT_EQ(std::string_view(line).substr(begin, end - begin), expected)
            << "line " << descriptor->start_line << ": " << line;
        // A whole identifier, not part of a longer one.
        if (begin > 0) {
            EXPECT_FALSE(is_identifier_char(line[begin - 1])) << "line: " << line;
        }
        if (end < line.size()) {
            EXPECT_FALSE(is_identifier_char(line[end])) << "line: " << line;
        }
    }
}

TEST(Registry, NamesStrictlyAscendingByBytes) {
    const auto registry = quorvant::case_registry();
    for (std::size_t i = 1; i < registry.size(); ++i) {
        // string_view compares its characters as unsigned bytes.
        EXPECT_LT(std::string_view(registry[i - 1]->name), std::string_view(registry[i]->name))
            << "at position " << i;
    }
}

TEST(Registry, EveryCaseRunsPlainlyAsAnIntegrationCase) {
    for (const runner::CaseDescriptor* descriptor : quorvant::case_registry()) {
        SCOPED_TRACE(descriptor->name);
        EXPECT_FALSE(descriptor->ignore);
        EXPECT_EQ(descriptor->ignore_message, nullptr);
        EXPECT_EQ(descriptor->should_fail, runner::ShouldFail::No);
        EXPECT_EQ(descriptor->expected_message, nullptr);
        EXPECT_EQ(descriptor->kind, runner::CaseKind::Integration);
        EXPECT_NE(descriptor->function, nullptr);

        const std::string_view path = descriptor->source_path;
        EXPECT_TRUE(path.starts_with("crates/tarnwick-dat/tests/")) << path;
        EXPECT_TRUE(path.ends_with(".cpp")) << path;
        EXPECT_EQ(path.find('\\'), std::string_view::npos) << path;
    }
}

TEST(Registry, HoldsTheMotionTableCasesAndTheyPass) {
    const std::string_view motion_cases[] = {
        "common::motion_command_names::tests::classify_known_commands",
        "common::motion_command_names::tests::lookup_known_commands",
        "common::motion_command_names::tests::table_is_strictly_sorted_for_binary_search",
    };
    for (const std::string_view name : motion_cases) {
        SCOPED_TRACE(name);
        const runner::CaseDescriptor* found = nullptr;
        int count = 0;
        for (const runner::CaseDescriptor* descriptor : quorvant::case_registry()) {
            if (descriptor->name == name) {
                found = descriptor;
                ++count;
            }
        }
        ASSERT_EQ(count, 1);
        EXPECT_STREQ(found->source_path,
                     "crates/tarnwick-dat/tests/common/motion_command_names.cpp");
        const runner::CaseOutcome outcome = found->function();
        EXPECT_TRUE(outcome.passed()) << outcome.failure_text();
    }
}

}  // namespace
