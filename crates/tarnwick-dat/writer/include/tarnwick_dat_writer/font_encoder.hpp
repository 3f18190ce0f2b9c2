// Encodes font records in the layout that Font::read decodes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarnwick_dat/file_type/font.hpp"
#include "tarnwick_dat/record_reader.hpp"

namespace tarnwick_dat_writer {

/// The bytes of `font`: 36 + 11 × (number of glyphs) bytes, little-endian, in
/// the record's field order, with the glyph count between `max_char_width`
/// and the descriptors. Throws std::invalid_argument when the glyph count
/// does not fit its 32-bit field.
tarnwick_dat::Bytes encode_font(const tarnwick_dat::file_type::font::Font& font);

/// A plain well-formed font: self-id `id`, a 16×12 cell, and `glyphs`
/// descriptors 'A', 'B', ... of 8×12 pixels; other fields 0.
tarnwick_dat::file_type::font::Font plain_font(std::uint32_t id, std::size_t glyphs);

}  // namespace tarnwick_dat_writer
