// Font records: cell size, one descriptor per glyph, border and baseline, surface ids.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/result.hpp"

namespace tarnwick_dat::file_type::font {

/// One glyph of a font: 11 bytes, little-endian, no padding.
struct FontCharDesc {
    /// Character code of the glyph.
    TARNWICK_DAT_FIELD(std::uint16_t, unicode) = 0;
    /// X offset of the glyph.
    TARNWICK_DAT_FIELD(std::uint16_t, offset_x) = 0;
    /// Y offset of the glyph.
    TARNWICK_DAT_FIELD(std::uint16_t, offset_y) = 0;
    /// Glyph width.
    TARNWICK_DAT_FIELD(std::uint8_t, width) = 0;
    /// Glyph height.
    TARNWICK_DAT_FIELD(std::uint8_t, height) = 0;
    /// Horizontal offset before the glyph.
    TARNWICK_DAT_FIELD(std::int8_t, horizontal_offset_before) = 0;
    /// Horizontal offset after the glyph.
    TARNWICK_DAT_FIELD(std::int8_t, horizontal_offset_after) = 0;
    /// Vertical offset before the glyph (there is no offset after).
    TARNWICK_DAT_FIELD(std::int8_t, vertical_offset_before) = 0;

    /// Decodes one descriptor from the reader's position. On failure the error
    /// carries the failing field's frame and the reader is back where it was.
    static Result<FontCharDesc, RecordReadError> read(ByteReader& reader);

    /// Field by field: a descriptor equals one read from the same bytes, and
    /// one that was encoded and read back (the declarations of the fields
    /// above give the lines that their context frames quote).
    bool operator==(const FontCharDesc&) const = default;
};

/// A font record: 36 + 11 × (number of glyphs) bytes, little-endian. Values
/// are taken as stored; none is checked.
struct Font {
    /// The font's own file id, as stored in the record.
    TARNWICK_DAT_FIELD(std::uint32_t, id) = 0;
    /// Height of the largest glyph cell.
    TARNWICK_DAT_FIELD(std::uint32_t, max_char_height) = 0;
    /// Width of the largest glyph cell.
    TARNWICK_DAT_FIELD(std::uint32_t, max_char_width) = 0;
    TARNWICK_DAT_ENCODED_FIELD(num_char_descs);  // u32; not kept: char_descs.size()
    /// One descriptor per glyph, in stored order.
    TARNWICK_DAT_FIELD(std::vector<FontCharDesc>, char_descs);
    /// Number of border pixels, horizontal.
    TARNWICK_DAT_FIELD(std::uint32_t, num_horizontal_border_pixels) = 0;
    /// Number of border pixels, vertical.
    TARNWICK_DAT_FIELD(std::uint32_t, num_vertical_border_pixels) = 0;
    /// Baseline offset.
    TARNWICK_DAT_FIELD(std::int32_t, baseline_offset) = 0;
    /// Id of the font's foreground surface data.
    TARNWICK_DAT_FIELD(std::uint32_t, foreground_surface_data_id) = 0;
    /// Id of the font's background surface data.
    TARNWICK_DAT_FIELD(std::uint32_t, background_surface_data_id) = 0;

    /// Decodes one font from the reader's position; on success the reader
    /// stands just past the record and later bytes are not looked at. On
    /// failure the error carries one frame for the failing field (two when a
    /// descriptor fails: its field's, then `char_descs`'), no partial record is
    /// returned and the reader is back where it was. Nothing is allocated from
    /// the stored count: descriptors are appended as they are read.
    static Result<Font, RecordReadError> read(ByteReader& reader);

    bool operator==(const Font&) const = default;
};

/// The description of `FontCharDesc`: calls `visit(site, field)` for each
/// field of `desc` (const or not) in encoding order, with the site of its
/// declaration. Reading and printing a descriptor walk it.
template <typename Desc, typename Visit>
requires std::is_same_v<std::remove_const_t<Desc>, FontCharDesc>
void for_each_field(Desc& desc, Visit&& visit) {
    constexpr RecordSites site{"FontCharDesc", "crates/tarnwick-dat/src/file_type/font.hpp"};
    visit(site(FontCharDesc::unicode_field), desc.unicode);
    visit(site(FontCharDesc::offset_x_field), desc.offset_x);
    visit(site(FontCharDesc::offset_y_field), desc.offset_y);
    visit(site(FontCharDesc::width_field), desc.width);
    visit(site(FontCharDesc::height_field), desc.height);
    visit(site(FontCharDesc::horizontal_offset_before_field), desc.horizontal_offset_before);
    visit(site(FontCharDesc::horizontal_offset_after_field), desc.horizontal_offset_after);
    visit(site(FontCharDesc::vertical_offset_before_field), desc.vertical_offset_before);
}

/// The description of `Font`, as that of `FontCharDesc`, but for the glyphs:
/// their count and the descriptors are one call, `visit(count_site,
/// descs_site, char_descs)`, since the count is encoded and not kept.
template <typename F, typename Visit>
requires std::is_same_v<std::remove_const_t<F>, Font>
void for_each_field(F& font, Visit&& visit) {
    constexpr RecordSites site{"Font", "crates/tarnwick-dat/src/file_type/font.hpp"};
    visit(site(Font::id_field), font.id);
    visit(site(Font::max_char_height_field), font.max_char_height);
    visit(site(Font::max_char_width_field), font.max_char_width);
    visit(site(Font::num_char_descs_field), site(Font::char_descs_field), font.char_descs);
    visit(site(Font::num_horizontal_border_pixels_field), font.num_horizontal_border_pixels);
    visit(site(Font::num_vertical_border_pixels_field), font.num_vertical_border_pixels);
    visit(site(Font::baseline_offset_field), font.baseline_offset);
    visit(site(Font::foreground_surface_data_id_field), font.foreground_surface_data_id);
    visit(site(Font::background_surface_data_id_field), font.background_surface_data_id);
}

}  // namespace tarnwick_dat::file_type::font

namespace tarnwick_dat {

using file_type::font::Font;
using file_type::font::FontCharDesc;
using file_type::font::for_each_field;

/// Decodes `bytes` as one whole font record. Fails with `BinRead` when a field
/// cannot be read (with its frame) or when bytes are left over after the
/// record.
Result<Font, DatError> decode_font(std::span<const std::uint8_t> bytes);

}  // namespace tarnwick_dat
