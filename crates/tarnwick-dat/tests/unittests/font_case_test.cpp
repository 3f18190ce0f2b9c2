// The font case end to end: the built quorvant binary run against archives
// made by the writer, one archive per way the case can end.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <vector>

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::TempArchiveFile;

struct QuorvantRun {
    int status = -1;
    std::string out;
};

// Runs the font case alone on one thread, with the archive variable set to
// `archive` (or unset), and collects standard output.
QuorvantRun run_font_case(const std::optional<std::string>& archive) {
    std::string command;
    if (archive) {
        command = "env TARNWICK_PORTAL_DAT='" + *archive + "' ";
    } else {
        command = "env -u TARNWICK_PORTAL_DAT ";
    }
    command += std::string("'") + QUORVANT_BINARY +
               "' --exact all_retail_fonts_parse --test-threads 1 --show-output --color never";
    QuorvantRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.out.append(buffer, count);
    }
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

Bytes encode(const Font& font) {
    return tarnwick_dat_writer::encode_font(font);
}

// The line of the case's source that the failure report names must be a
// check in that file, so reported positions cannot drift from the source.
void expect_location_is_a_check(const std::string& out) {
    const std::string marker = "panicked at crates/tarnwick-dat/tests/quorvant.cpp:";
    const auto at = out.find(marker);
    ASSERT_NE(at, std::string::npos) << out;
    const std::size_t line = std::stoul(out.substr(at + marker.size()));
    std::ifstream source(std::string(TARNWICK_PROJECT_ROOT) +
                         "/crates/tarnwick-dat/tests/quorvant.cpp");
    std::string text;
    for (std::size_t i = 0; i < line && std::getline(source, text); ++i) {
    }
    EXPECT_TRUE(text.find("runner::fail") != std::string::npos ||
                text.find("runner::assert_eq") != std::string::npos)
        << "line " << line << ": " << text;
}

TEST(FontCase, PassesAndSumsGlyphsOverFontsSpreadThroughTheDirectory) {
    ArchiveBuilder builder;
    // Few entries per node give a directory several levels deep.
    tarnwick_dat_writer::DirectoryOptions directory;
    directory.max_entries_per_node = 2;
    builder.directory(directory);
    builder.add_file(0x40000003, encode(tarnwick_dat_writer::plain_font(0x40000003, 5)),
                     tarnwick_dat_writer::compressed());
    builder.add_file(0x40000001, encode(tarnwick_dat_writer::plain_font(0x40000001, 3)));
    for (std::uint32_t i = 1; i <= 9; ++i) {
        builder.add_file(0x06000000 + i, Bytes(100 * i, static_cast<std::uint8_t>(i)),
                         i % 2 == 0 ? tarnwick_dat_writer::compressed() : FileOptions{});
    }
    // In a portal archive an id's high byte alone names its type: a low half
    // that would make it a landblock elsewhere does not hide a font.
    builder.add_file(0x0100FFFF, Bytes(10, 1));
    const TempArchiveFile archive(builder.build());

    const QuorvantRun run = run_font_case(archive.path().string());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("---- all_retail_fonts_parse stdout ----\n"
                           "Parsed 2 Font records, 8 total glyphs\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("test result: ok. 1 passed; 0 failed; 0 ignored; 0 measured; "
                           "3 filtered out; finished in "),
              std::string::npos)
        << run.out;
}

TEST(FontCase, SkipsWhenNoArchiveIsFound) {
    for (const std::optional<std::string>& variable :
         {std::optional<std::string>(), std::optional<std::string>("/nonexistent/portal.dat"),
          std::optional<std::string>("")}) {
        const QuorvantRun run = run_font_case(variable);
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("---- all_retail_fonts_parse stdout ----\n"
                               "Skipping quorvant test: portal.dat not found\n"),
                  std::string::npos)
            << run.out;
    }
}

struct FailureRow {
    const char* name;
    std::function<Bytes()> archive;
    std::string message;
};

Bytes archive_with(const std::vector<std::pair<std::uint32_t, Bytes>>& files,
                   bool compress = false) {
    ArchiveBuilder builder;
    for (const auto& [id, bytes] : files) {
        builder.add_file(id, bytes, compress ? tarnwick_dat_writer::compressed() : FileOptions{});
    }
    return builder.build();
}

TEST(FontCase, ReportsTheFirstFailingCheckOfTheFirstFailingFont) {
    Bytes cut_short = encode(tarnwick_dat_writer::plain_font(0x40000001, 3));
    cut_short.resize(30);
    Bytes trailing = encode(tarnwick_dat_writer::plain_font(0x40000001, 3));
    trailing.push_back(0);
    Font zero_height = tarnwick_dat_writer::plain_font(0x40000001, 3);
    zero_height.max_char_height = 0;
    Font zero_glyphs = tarnwick_dat_writer::plain_font(0x40000001, 0);
    zero_glyphs.max_char_height = 0;  // the glyph check comes first

    const std::vector<FailureRow> rows = {
        {"header cut short",
         [] {
             Bytes bytes = archive_with({});
             bytes.resize(330);
             return bytes;
         },
         "open portal.dat: BinRead(RecordReadError { cause: Io(Error { kind: UnexpectedEof, "
         "message: \"failed to fill whole buffer\" }), context: [\"While parsing field "
         "'file_size' in DatHeader at crates/tarnwick-dat/src/lib.hpp:"},
        {"no fonts",
         [] {
             return archive_with({{0x06000001, Bytes(10, 1)}});
         },
         "expected at least one Font record in portal.dat"},
        {"font beyond the end of the file",
         [] {
             ArchiveBuilder builder;
             builder.add_entry({0, 0x40000001, 0x00FFFF00, 47, 0, 0});
             return builder.build();
         },
         "read Font 0x40000001: IO error: failed to fill whole buffer"},
        {"cut inside the glyphs",
         [cut_short] {
             return archive_with({{0x40000001, cut_short}});
         },
         "parse Font 0x40000001 (30 bytes): failed to fill whole buffer\n"
         " 0: While parsing field 'offset_x' in FontCharDesc"},
        {"self-id",
         [] {
             return archive_with(
                 {{0x40000001, encode(tarnwick_dat_writer::plain_font(0x40000002, 3))}});
         },
         "assertion `left == right` failed: Font 0x40000001 self-id mismatch\n"
         "  left: 1073741826\n"
         " right: 1073741825\n"},
        {"zero glyphs",
         [zero_glyphs] {
             return archive_with({{0x40000001, encode(zero_glyphs)}});
         },
         "Font 0x40000001 has zero char descs\n"},
        {"zero cell",
         [zero_height] {
             return archive_with({{0x40000001, encode(zero_height)}});
         },
         "Font 0x40000001 has zero max cell size (0x12)\n"},
        {"trailing byte",
         [trailing] {
             return archive_with({{0x40000001, trailing}}, true);
         },
         "assertion `left == right` failed: Font 0x40000001 size mismatch: predicted 69 != "
         "actual 70\n"
         "  left: 69\n"
         " right: 70\n"},
        {"fonts that together claim more than the work budget",
         [] {
             // 1,000 sound-looking entries on one 100,000-byte chain.
             ArchiveBuilder builder;
             builder.add_file(0x06000001, Bytes(100'000, 1));
             const std::uint32_t shared = builder.layout().entries.front().offset;
             for (std::uint32_t i = 0; i < 1000; ++i) {
                 builder.add_entry({0, 0x40000000 + i, shared, 100'000, 0, 0});
             }
             return builder.build();
         },
         "Font records exceed the work budget: the files claim 100000000 bytes and 99000 "
         "reads, more than the work budget of "},
        {"two bad fonts, the smaller id reported",
         [zero_glyphs, zero_height] {
             Font second = zero_height;
             second.id = 0x40000009;
             return archive_with({{0x40000009, encode(second)}, {0x40000001, encode(zero_glyphs)}});
         },
         "Font 0x40000001 has zero char descs\n"},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        const TempArchiveFile archive(row.archive());
        const QuorvantRun run = run_font_case(archive.path().string());
        EXPECT_EQ(run.status, 101) << run.out;
        EXPECT_NE(run.out.find(row.message), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("test all_retail_fonts_parse ... FAILED\n"), std::string::npos);
        expect_location_is_a_check(run.out);
    }
}

TEST(FontCase, ReportsAnArchiveThatCannotBeOpened) {
    const QuorvantRun run = run_font_case("/");
    EXPECT_EQ(run.status, 101) << run.out;
    // A directory opens, but reading the header from it fails.
    EXPECT_NE(
        run.out.find("open portal.dat: BinRead(RecordReadError { cause: Io(Os { code: 21, "
                     "kind: Other, message: \"Is a directory\" }), context: [\"While "
                     "parsing field 'magic' in DatHeader at crates/tarnwick-dat/src/lib.hpp:"),
        std::string::npos)
        << run.out;
}

}  // namespace
