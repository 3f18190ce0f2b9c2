// The parity-check executable: its check cases and their registry.
#include "quorvant.hpp"

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <vector>

#include "common/mod.hpp"
#include "common/motion_command_names.hpp"
#include "runner/failure.hpp"
#include "runner/test_main.hpp"

namespace quorvant {
CASE(all_retail_fonts_parse) {
    const auto path = common::get_portal_dat_path();
    if (!path) {
        std::cout << "Skipping quorvant test: portal.dat not found\n";
        return;
    }
    auto opened = tarnwick_dat::DatDatabase::open(*path);
    if (!opened) {
        runner::fail(fmt::format("open portal.dat: {}", opened.error().debug()));
    }
    const tarnwick_dat::DatDatabase& database = opened.value();

    // Ascending ids: every run reports the same font first (none in a Cell archive).
    std::vector<std::uint32_t> font_ids;
    for (const tarnwick_dat::DatFileEntry& entry : database.files()) {
        if (database.file_type(entry.id) == tarnwick_dat::DatFileType::Font) {
            font_ids.push_back(entry.id);
        }
    }

    if (font_ids.empty()) {
        runner::fail("expected at least one Font record in portal.dat");
    }
    if (auto over = common::fonts_over_budget(database, font_ids)) {
        runner::fail(*over);
    }
    std::size_t total_glyphs = 0;
    for (const std::uint32_t id : font_ids) {
        auto bytes = database.get_file(id);
        if (!bytes) {
            runner::fail(fmt::format("read Font 0x{:08X}: {}", id, bytes.error().display()));
        }
        const std::size_t actual = bytes.value().size();
        tarnwick_dat::ByteReader reader(bytes.value());
        auto font = tarnwick_dat::file_type::font::Font::read(reader);
        if (!font) {
            runner::fail(fmt::format("parse Font 0x{:08X} ({} bytes): {}", id, actual,
                                     font.error().display()));
        }
        runner::assert_eq_msg(font.value().id, id,
                              fmt::format("Font 0x{:08X} self-id mismatch", id));
        const std::size_t glyphs = font.value().char_descs.size();
        if (glyphs == 0) {
            runner::fail(fmt::format("Font 0x{:08X} has zero char descs", id));
        }
        if (font.value().max_char_height == 0 || font.value().max_char_width == 0) {
            runner::fail(fmt::format("Font 0x{:08X} has zero max cell size ({}x{})", id,
                                     font.value().max_char_height, font.value().max_char_width));
        }
        // Nine 4-byte fields and 11 bytes per glyph: the record must account
        // for every stored byte, no more and no fewer.
        const std::size_t predicted = 36 + 11 * glyphs;
        runner::assert_eq_msg(predicted, actual,
                              fmt::format("Font 0x{:08X} size mismatch: predicted {} != actual {}",
                                          id, predicted, actual));
        total_glyphs += glyphs;
    }
    std::cout << fmt::format("Parsed {} Font records, {} total glyphs\n", font_ids.size(),
                             total_glyphs);
}
}  // namespace quorvant

namespace {

// Connects a descriptor to a case body: the body fails by throwing, which
// passes through to the runner; returning means it passed.
template <void (*Body)()>
runner::CaseOutcome run_case() {
    Body();
    return runner::CaseOutcome::success();
}

namespace motion_tests = common::motion_command_names::tests;

// A case as the runner takes it: run plainly, expected to pass, reported at
// `site` in `source_path`.
template <void (*Body)()>
constexpr runner::CaseDescriptor plain_case(const char* name, const char* source_path,
                                            const common::CaseSite& site) {
    return {
        .name = name,
        .ignore = false,
        .ignore_message = nullptr,
        .source_path = source_path,
        .start_line = site.line,
        .start_col = site.start_col,
        .end_line = site.line,
        .end_col = site.end_col,
        .should_fail = runner::ShouldFail::No,
        .expected_message = nullptr,
        .kind = runner::CaseKind::Integration,
        .function = &run_case<Body>,
    };
}

constexpr const char* MOTION_COMMAND_NAMES_SOURCE =
    "crates/tarnwick-dat/tests/common/motion_command_names.cpp";

const runner::CaseDescriptor ALL_RETAIL_FONTS_PARSE = plain_case<&quorvant::all_retail_fonts_parse>(
    "all_retail_fonts_parse", "crates/tarnwick-dat/tests/quorvant.cpp",
    quorvant::all_retail_fonts_parse_site);

const runner::CaseDescriptor CLASSIFY_KNOWN_COMMANDS =
    plain_case<&motion_tests::classify_known_commands>(
        "common::motion_command_names::tests::classify_known_commands", MOTION_COMMAND_NAMES_SOURCE,
        motion_tests::classify_known_commands_site);

const runner::CaseDescriptor LOOKUP_KNOWN_COMMANDS =
    plain_case<&motion_tests::lookup_known_commands>(
        "common::motion_command_names::tests::lookup_known_commands", MOTION_COMMAND_NAMES_SOURCE,
        motion_tests::lookup_known_commands_site);

const runner::CaseDescriptor TABLE_IS_STRICTLY_SORTED_FOR_BINARY_SEARCH =
    plain_case<&motion_tests::table_is_strictly_sorted_for_binary_search>(
        "common::motion_command_names::tests::table_is_strictly_sorted_for_binary_search",
        MOTION_COMMAND_NAMES_SOURCE, motion_tests::table_is_strictly_sorted_for_binary_search_site);

// Ascending by name; the runner lists and starts cases in this order and
// does not sort them again.
const runner::CaseDescriptor* const CASES[] = {
    &ALL_RETAIL_FONTS_PARSE,
    &CLASSIFY_KNOWN_COMMANDS,
    &LOOKUP_KNOWN_COMMANDS,
    &TABLE_IS_STRICTLY_SORTED_FOR_BINARY_SEARCH,
};

}  // namespace

namespace quorvant {

std::span<const runner::CaseDescriptor* const> case_registry() {
    return CASES;
}

void main() {
    runner::test_main_static(case_registry());
}

}  // namespace quorvant

#ifndef QUORVANT_NO_MAIN
int main(int /*argc*/, char** /*argv*/) {
    // The runner reads the command line itself.
    quorvant::main();
    return 0;
}
#endif
