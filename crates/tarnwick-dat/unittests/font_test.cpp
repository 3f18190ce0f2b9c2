// Decoding font records: field values, byte order, signedness, the context
// frames of a failed read and where the reader stands afterwards.

#include "tarnwick_dat/file_type/font.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "internal/record_fields.hpp"

namespace {

using tarnwick_dat::ByteReader;
using tarnwick_dat::Bytes;
using tarnwick_dat::FieldSite;
using tarnwick_dat::IoErrorKind;
using tarnwick_dat::RecordReadError;
using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;

class RecordBytes {
  public:
    RecordBytes& u8(std::uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    RecordBytes& u16(std::uint16_t v) { return u8(v & 0xFF).u8(static_cast<std::uint8_t>(v >> 8)); }
    RecordBytes& u32(std::uint32_t v) {
        return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16));
    }
    // One 11-byte descriptor whose bytes are `seed`, `seed + 1`, ...
    RecordBytes& desc(std::uint8_t seed) {
        for (std::uint8_t i = 0; i < 11; ++i) {
            u8(static_cast<std::uint8_t>(seed + i));
        }
        return *this;
    }
    // The nine 4-byte values around the descriptors; `count` as stored.
    RecordBytes& head(std::uint32_t count) {
        return u32(0x40000012).u32(0x11).u32(0x22).u32(count);
    }
    RecordBytes& tail() {
        return u32(0x33).u32(0x44).u32(0xFFFFFFFE).u32(0x06000055).u32(0x06000066);
    }
    Bytes bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

TEST(Font, DecodesEveryFieldAsStored) {
    const Bytes data = RecordBytes().head(0).tail().bytes();
    ASSERT_EQ(data.size(), 36u);
    ByteReader reader(data);
    const auto font = Font::read(reader);
    ASSERT_TRUE(font.has_value()) << font.error().display();
    EXPECT_EQ(font->id, 0x40000012u);
    EXPECT_EQ(font->max_char_height, 0x11u);
    EXPECT_EQ(font->max_char_width, 0x22u);
    EXPECT_TRUE(font->char_descs.empty());
    EXPECT_EQ(font->num_horizontal_border_pixels, 0x33u);
    EXPECT_EQ(font->num_vertical_border_pixels, 0x44u);
    EXPECT_EQ(font->baseline_offset, -2);
    EXPECT_EQ(font->foreground_surface_data_id, 0x06000055u);
    EXPECT_EQ(font->background_surface_data_id, 0x06000066u);
    EXPECT_EQ(reader.position(), 36u);
}

TEST(Font, DecodesDescriptorsInStoredOrder) {
    const Bytes data = RecordBytes().head(2).desc(0x10).desc(0xF8).tail().bytes();
    ASSERT_EQ(data.size(), 58u);
    ByteReader reader(data);
    const auto font = Font::read(reader);
    ASSERT_TRUE(font.has_value()) << font.error().display();
    ASSERT_EQ(font->char_descs.size(), 2u);
    const FontCharDesc first{0x1110, 0x1312, 0x1514, 0x16, 0x17, 0x18, 0x19, 0x1A};
    EXPECT_EQ(font->char_descs[0], first);
    // Bytes F8..02: the three signed offsets are 0xFE, 0xFF, 0x00.
    const FontCharDesc second{0xF9F8, 0xFBFA, 0xFDFC, 0xFE, 0xFF, 0, 1, 2};
    EXPECT_EQ(font->char_descs[1], second);
    EXPECT_EQ(font->baseline_offset, -2);
    EXPECT_EQ(reader.position(), 58u);
}

TEST(Font, ByteOrderAndSignedness) {
    const Bytes data = RecordBytes()
                           .u8(0x01)
                           .u8(0x00)
                           .u8(0x00)
                           .u8(0x40)  // id
                           .u32(0)
                           .u32(0)
                           .u32(1)
                           .u16(0)
                           .u16(0)
                           .u16(0)
                           .u8(0xFF)
                           .u8(0xFF)
                           .u8(0xFF)
                           .u8(0x80)
                           .u8(0x7F)
                           .tail()
                           .bytes();
    ByteReader reader(data);
    const auto font = Font::read(reader);
    ASSERT_TRUE(font.has_value()) << font.error().display();
    EXPECT_EQ(font->id, 0x40000001u);
    const FontCharDesc& d = font->char_descs.at(0);
    EXPECT_EQ(d.width, 255);
    EXPECT_EQ(d.height, 255);
    EXPECT_EQ(d.horizontal_offset_before, -1);
    EXPECT_EQ(d.horizontal_offset_after, -128);
    EXPECT_EQ(d.vertical_offset_before, 127);
}

TEST(Font, TrailingBytesAreLeftAlone) {
    Bytes data = RecordBytes().head(1).desc(0).tail().bytes();
    ASSERT_EQ(data.size(), 47u);
    data.insert(data.end(), {0xDE, 0xAD, 0xBE});
    ByteReader reader(data);
    ASSERT_TRUE(Font::read(reader).has_value());
    EXPECT_EQ(reader.position(), 47u);
}

TEST(Font, DecodeFontTakesExactlyOneWholeRecord) {
    const Bytes exact = RecordBytes().head(1).desc(0).tail().bytes();
    const auto whole = tarnwick_dat::decode_font(exact);
    ASSERT_TRUE(whole.has_value()) << whole.error().display();
    EXPECT_EQ(whole->char_descs.size(), 1u);

    Bytes longer = exact;
    longer.insert(longer.end(), {0xDE, 0xAD, 0xBE});
    const auto left_over = tarnwick_dat::decode_font(longer);
    ASSERT_FALSE(left_over.has_value());
    EXPECT_EQ(left_over.error().display(),
              "Binary read error: 3 bytes left over after the Font record of 47 bytes");

    const Bytes cut(exact.begin(), exact.end() - 1);
    const auto short_record = tarnwick_dat::decode_font(cut);
    ASSERT_FALSE(short_record.has_value());
    EXPECT_EQ(short_record.error().kind(), tarnwick_dat::DatErrorKind::BinRead);
    EXPECT_EQ(short_record.error().record_error()->frames().at(0).message,
              "While parsing field 'background_surface_data_id' in Font");
}

TEST(Font, DecodesFromTheReadersPosition) {
    for (const std::size_t k : {1u, 5u, 36u}) {
        SCOPED_TRACE(testing::Message() << "at " << k);
        Bytes data(k, 0xAA);
        const Bytes record = RecordBytes().head(1).desc(0x30).tail().bytes();
        data.insert(data.end(), record.begin(), record.end());
        ByteReader reader(data, k);
        const auto font = Font::read(reader);
        ASSERT_TRUE(font.has_value()) << font.error().display();
        EXPECT_EQ(font->id, 0x40000012u);
        EXPECT_EQ(font->char_descs.at(0).unicode, 0x3130);
        EXPECT_EQ(reader.position(), k + 47);

        // The same record cut one byte short: back to k, not to 0.
        data.pop_back();
        ByteReader short_reader(data, k);
        EXPECT_FALSE(Font::read(short_reader).has_value());
        EXPECT_EQ(short_reader.position(), k);
    }
}

// The messages every frame must carry, written out in full.
std::string message(const char* field, const char* record) {
    return std::string("While parsing field '") + field + "' in " + record;
}

void expect_frames(const RecordReadError& error, const std::vector<std::string>& messages) {
    ASSERT_NE(error.io_cause(), nullptr);
    EXPECT_EQ(error.io_cause()->kind(), IoErrorKind::UnexpectedEof);
    ASSERT_EQ(error.frames().size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(error.frames()[i].message, messages[i]);
        EXPECT_EQ(error.frames()[i].file, "crates/tarnwick-dat/src/file_type/font.hpp");
    }
}

TEST(Font, FailuresNameTheFieldAndRestoreTheReader) {
    struct Case {
        const char* name;
        Bytes data;
        std::vector<std::string> frames;
    };
    const Bytes full0 = RecordBytes().head(0).tail().bytes();
    const Bytes cut35(full0.begin(), full0.end() - 1);
    Bytes two_descs = RecordBytes().head(2).desc(0).bytes();
    two_descs.insert(two_descs.end(), {1, 2, 3, 4, 5});  // unicode, offset_x, half of offset_y
    const Bytes huge_count = RecordBytes().head(0xFFFFFFFF).desc(0).desc(0).u8(9).bytes();
    const std::vector<Case> cases = {
        {"empty", {}, {message("id", "Font")}},
        {"3 bytes", {1, 2, 3}, {message("id", "Font")}},
        {"5 bytes", {1, 2, 3, 4, 5}, {message("max_char_height", "Font")}},
        {"12 bytes", Bytes(12, 0), {message("num_char_descs", "Font")}},
        {"35 bytes, count 0", cut35, {message("background_surface_data_id", "Font")}},
        {"count 2, 16 bytes of descriptors",
         two_descs,
         {message("offset_y", "FontCharDesc"), message("char_descs", "Font")}},
        {"count 0xFFFFFFFF",
         huge_count,
         {message("unicode", "FontCharDesc"), message("char_descs", "Font")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteReader reader(c.data);
        const auto font = Font::read(reader);
        ASSERT_FALSE(font.has_value());
        expect_frames(font.error(), c.frames);
        EXPECT_EQ(reader.position(), 0u);
    }
}

// Every cut of a one-glyph record fails in the field that the cut falls in,
// with that field's frame and line (and `char_descs` around a descriptor's).
TEST(Font, EveryTruncationFailsInTheFieldItCuts) {
    struct Span {
        const char* record;
        const char* field;
        std::size_t width;
    };
    const std::vector<Span> layout = {
        {"Font", "id", 4},
        {"Font", "max_char_height", 4},
        {"Font", "max_char_width", 4},
        {"Font", "num_char_descs", 4},
        {"FontCharDesc", "unicode", 2},
        {"FontCharDesc", "offset_x", 2},
        {"FontCharDesc", "offset_y", 2},
        {"FontCharDesc", "width", 1},
        {"FontCharDesc", "height", 1},
        {"FontCharDesc", "horizontal_offset_before", 1},
        {"FontCharDesc", "horizontal_offset_after", 1},
        {"FontCharDesc", "vertical_offset_before", 1},
        {"Font", "num_horizontal_border_pixels", 4},
        {"Font", "num_vertical_border_pixels", 4},
        {"Font", "baseline_offset", 4},
        {"Font", "foreground_surface_data_id", 4},
        {"Font", "background_surface_data_id", 4},
    };
    const auto site_of = [](const char* record, const char* field) -> const FieldSite* {
        const auto sites = std::string(record) == "Font"
                               ? tarnwick_dat::field_sites_of<tarnwick_dat::Font>()
                               : tarnwick_dat::field_sites_of<tarnwick_dat::FontCharDesc>();
        for (const FieldSite& s : sites) {
            if (s.field == field) {
                return &s;
            }
        }
        return nullptr;
    };
    const Bytes full = RecordBytes().head(1).desc(0).tail().bytes();
    const std::size_t k = 3;  // start inside a larger buffer
    std::size_t field_start = 0;
    for (const Span& span : layout) {
        for (std::size_t cut = field_start; cut < field_start + span.width; ++cut) {
            SCOPED_TRACE(testing::Message() << "cut at " << cut << " in " << span.field);
            Bytes data(k, 0xEE);
            data.insert(data.end(), full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
            ByteReader reader(data, k);
            const auto font = Font::read(reader);
            ASSERT_FALSE(font.has_value());
            EXPECT_EQ(reader.position(), k);
            std::vector<std::string> frames = {message(span.field, span.record)};
            if (std::string(span.record) == "FontCharDesc") {
                frames.push_back(message("char_descs", "Font"));
            }
            expect_frames(font.error(), frames);
            const FieldSite* site = site_of(span.record, span.field);
            ASSERT_NE(site, nullptr);
            EXPECT_EQ(font.error().frames()[0].line, site->line);
            if (frames.size() == 2) {
                EXPECT_EQ(font.error().frames()[1].line, site_of("Font", "char_descs")->line);
            }

            // A descriptor read on its own restores its own start.
            if (std::string(span.record) == "FontCharDesc") {
                ByteReader desc_reader(data, k + 16);
                const auto desc = FontCharDesc::read(desc_reader);
                ASSERT_FALSE(desc.has_value());
                expect_frames(desc.error(), {message(span.field, span.record)});
                EXPECT_EQ(desc_reader.position(), k + 16);
            }
        }
        field_start += span.width;
    }
    EXPECT_EQ(field_start, full.size());
}

// The descriptions list the fields in encoding order, which is their
// declaration order (the count's marker between `max_char_width` and
// `char_descs`): one site per field, on lines that rise strictly.
TEST(Font, FieldSitesFollowTheDeclarations) {
    struct Table {
        const char* record;
        std::span<const FieldSite> sites;
        std::vector<std::string> fields;
    };
    const std::vector<Table> tables = {
        {"FontCharDesc",
         tarnwick_dat::field_sites_of<tarnwick_dat::FontCharDesc>(),
         {"unicode", "offset_x", "offset_y", "width", "height", "horizontal_offset_before",
          "horizontal_offset_after", "vertical_offset_before"}},
        {"Font",
         tarnwick_dat::field_sites_of<tarnwick_dat::Font>(),
         {"id", "max_char_height", "max_char_width", "num_char_descs", "char_descs",
          "num_horizontal_border_pixels", "num_vertical_border_pixels", "baseline_offset",
          "foreground_surface_data_id", "background_surface_data_id"}},
    };
    for (const Table& table : tables) {
        ASSERT_EQ(table.sites.size(), table.fields.size());
        for (std::size_t i = 0; i < table.sites.size(); ++i) {
            const FieldSite& site = table.sites[i];
            SCOPED_TRACE(std::string(table.record) + "::" + table.fields[i]);
            EXPECT_EQ(site.record, table.record);
            EXPECT_EQ(site.field, table.fields[i]);
            EXPECT_EQ(site.file, "crates/tarnwick-dat/src/file_type/font.hpp");
            if (i > 0) {
                EXPECT_GT(site.line, table.sites[i - 1].line);
            }
        }
    }
    // The descriptor is declared before the font.
    EXPECT_LT(tables[0].sites.back().line, tables[1].sites.front().line);
}

}  // namespace
