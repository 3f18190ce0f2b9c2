// Font records: a font's cell size, one descriptor per glyph, its border and
// baseline metrics and the ids of its two surfaces, decoded from bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/result.hpp"

namespace tarnwick_dat::file_type::font {

/// One glyph of a font: 11 bytes, little-endian, no padding.
struct FontCharDesc {
    /// Character code of the glyph.
    std::uint16_t unicode = 0;
    /// X offset of the glyph.
    std::uint16_t offset_x = 0;
    /// Y offset of the glyph.
    std::uint16_t offset_y = 0;
    /// Glyph width.
    std::uint8_t width = 0;
    /// Glyph height.
    std::uint8_t height = 0;
    /// Horizontal offset before the glyph.
    std::int8_t horizontal_offset_before = 0;
    /// Horizontal offset after the glyph.
    std::int8_t horizontal_offset_after = 0;
    /// Vertical offset before the glyph (there is no offset after).
    std::int8_t vertical_offset_before = 0;

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
    std::uint32_t id = 0;
    /// Height of the largest glyph cell.
    std::uint32_t max_char_height = 0;
    /// Width of the largest glyph cell.
    std::uint32_t max_char_width = 0;
    // num_char_descs: u32 count of char_descs, encoded here; not kept, it is char_descs.size().
    /// One descriptor per glyph, in stored order.
    std::vector<FontCharDesc> char_descs;
    /// Number of border pixels, horizontal.
    std::uint32_t num_horizontal_border_pixels = 0;
    /// Number of border pixels, vertical.
    std::uint32_t num_vertical_border_pixels = 0;
    /// Baseline offset.
    std::int32_t baseline_offset = 0;
    /// Id of the font's foreground surface data.
    std::uint32_t foreground_surface_data_id = 0;
    /// Id of the font's background surface data.
    std::uint32_t background_surface_data_id = 0;

    /// Decodes one font from the reader's position; on success the reader
    /// stands just past the record and later bytes are not looked at. On
    /// failure the error carries one frame for the failing field (two when a
    /// descriptor fails: its field's, then `char_descs`'), no partial record is
    /// returned and the reader is back where it was. Nothing is allocated from
    /// the stored count: descriptors are appended as they are read.
    static Result<Font, RecordReadError> read(ByteReader& reader);

    bool operator==(const Font&) const = default;
};

}  // namespace tarnwick_dat::file_type::font

namespace tarnwick_dat {

using file_type::font::Font;
using file_type::font::FontCharDesc;

/// Decodes `bytes` as one whole font record. Fails with `BinRead` when a field
/// cannot be read (with its frame) or when bytes are left over after the
/// record.
Result<Font, DatError> decode_font(std::span<const std::uint8_t> bytes);

}  // namespace tarnwick_dat
