// tarnwick-dat font, and the writer's font encoder that the tool's tests rely
// on.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

TEST(ToolFont, JsonShapeIsTheDocumentedOne) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    ArchiveBuilder one_glyph;
    one_glyph.add_file(0x40000007, tarnwick_dat_writer::encode_font(make_font(0x40000007, 1)));
    const TempArchiveFile small(one_glyph.build());
    const ToolRun run = run_tool({"font", small.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "[\n"
              "  {\n"
              "    \"id\": \"40000007\",\n"
              "    \"max_char_height\": 18,\n"
              "    \"max_char_width\": 11,\n"
              "    \"char_descs\": [\n"
              "      {\n"
              "        \"unicode\": 65,\n"
              "        \"offset_x\": 300,\n"
              "        \"offset_y\": 4660,\n"
              "        \"width\": 200,\n"
              "        \"height\": 18,\n"
              "        \"horizontal_offset_before\": -1,\n"
              "        \"horizontal_offset_after\": 2,\n"
              "        \"vertical_offset_before\": -128\n"
              "      }\n"
              "    ],\n"
              "    \"num_horizontal_border_pixels\": 1,\n"
              "    \"num_vertical_border_pixels\": 2,\n"
              "    \"baseline_offset\": -7,\n"
              "    \"foreground_surface_data_id\": \"06000F00\",\n"
              "    \"background_surface_data_id\": \"06000F01\"\n"
              "  }\n"
              "]\n");
    // Several fonts: one object each; none: an empty array.
    const ToolRun hand_fonts = run_tool({"font", archive.path().string(), "--json"});
    const json doc = json::parse(hand_fonts.out);
    ASSERT_EQ(doc.size(), 1u);
    EXPECT_EQ(doc[0].at("char_descs").size(), 3u);
    EXPECT_EQ(run_tool({"font", archive.path().string(), "--type", "Region", "--json"}).out,
              "[]\n");
}

TEST(ToolFont, TextShowsFieldsAndGlyphs) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"font", archive.path().string(), "d:1073741826"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "id:                           40000002\n"
              "max_char_height:              18\n"
              "max_char_width:               11\n"
              "num_char_descs:               3\n"
              "num_horizontal_border_pixels: 1\n"
              "num_vertical_border_pixels:   2\n"
              "baseline_offset:              -7\n"
              "foreground_surface_data_id:   06000F00\n"
              "background_surface_data_id:   06000F01\n"
              "char_descs:\n"
              "  unicode  offset_x  offset_y  width  height  h_before  h_after  v_before\n"
              "  U+0041       300      4660    200      18        -1        2      -128\n"
              "  U+0042       311      4661    201      18        -2        2      -128\n"
              "  U+0043       322      4662    202      18        -3        2      -128\n");
}

TEST(ToolFont, BytesThatAreNoFontGiveOneErrorLine) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    ArchiveBuilder builder;
    builder.add_file(0x40000005, text_bytes("hello"));
    const TempArchiveFile bad_font(builder.build());
    const std::string b = bad_font.path().string();
    struct Case {
        std::vector<std::string> args;
        std::string error;  // after "error: "
    };
    const Case cases[] = {
        // Another type's file is named as such, not decoded.
        {{"font", a, "0x01000001"}, a + ": 0x01000001 is a Model, not a font\n"},
        {{"font", a, "0B000001"}, a + ": 0x0B000001 is an Unknown, not a font\n"},
        {{"font", a, "--type", "Table"}, a + ": 0x0E00FFFF is a Table, not a font\n"},
        {{"font", a, "0x40000009"}, a + ": 0x40000009: no such file in the archive\n"},
        // "hello" holds the id and one byte of max_char_height.
        {{"font", b, "0x40000005"},
         b + ": 0x40000005: the data ends early while parsing field 'max_char_height' in Font\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        expect_one_error_line(run_tool(c.args), c.error);
    }
}

// ------------------------------------------------- writer: font encoding

TEST(FontEncoder, EncodesWhatFontReadDecodes) {
    for (const std::size_t glyphs : {0u, 1u, 2u, 57u}) {
        SCOPED_TRACE(glyphs);
        const Font font = make_font(0x40000000u + static_cast<std::uint32_t>(glyphs), glyphs);
        const Bytes bytes = tarnwick_dat_writer::encode_font(font);
        ASSERT_EQ(bytes.size(), 36 + 11 * glyphs);
        // Little-endian id and count at the front.
        EXPECT_EQ(bytes[0], glyphs & 0xFF);
        EXPECT_EQ(bytes[3], 0x40);
        EXPECT_EQ(bytes[12], glyphs);
        tarnwick_dat::ByteReader reader(bytes);
        const auto decoded = Font::read(reader);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded.value(), font);
        EXPECT_EQ(reader.position(), bytes.size());
    }
}

TEST(FontEncoder, SignedFieldsKeepTheirSign) {
    Font font = make_font(0x40000001, 1);
    font.baseline_offset = -2;
    font.char_descs[0].horizontal_offset_after = -1;
    const Bytes bytes = tarnwick_dat_writer::encode_font(font);
    // Glyph bytes: unicode, offset_x, offset_y (2 each), width, height, then
    // the three signed offsets.
    EXPECT_EQ(bytes[16 + 8], 0xFF);   // horizontal_offset_before = -1
    EXPECT_EQ(bytes[16 + 9], 0xFF);   // horizontal_offset_after = -1
    EXPECT_EQ(bytes[16 + 10], 0x80);  // vertical_offset_before = -128
    EXPECT_EQ(bytes[27 + 8], 0xFE);   // baseline_offset = -2, low byte
    EXPECT_EQ(bytes[27 + 11], 0xFF);
}

}  // namespace
}  // namespace tarnwick_dat_cli_test
