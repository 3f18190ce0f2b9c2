#include "tarnwick_dat_writer/font_encoder.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace tarnwick_dat_writer {

namespace {

void put_u8(tarnwick_dat::Bytes& out, std::uint8_t value) {
    out.push_back(value);
}

void put_u16(tarnwick_dat::Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_u32(tarnwick_dat::Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

}  // namespace

tarnwick_dat::Bytes encode_font(const tarnwick_dat::file_type::font::Font& font) {
    if (font.char_descs.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("a font holds at most 2^32 - 1 glyphs");
    }
    tarnwick_dat::Bytes out;
    out.reserve(36 + 11 * font.char_descs.size());
    put_u32(out, font.id);
    put_u32(out, font.max_char_height);
    put_u32(out, font.max_char_width);
    put_u32(out, static_cast<std::uint32_t>(font.char_descs.size()));
    for (const auto& desc : font.char_descs) {
        put_u16(out, desc.unicode);
        put_u16(out, desc.offset_x);
        put_u16(out, desc.offset_y);
        put_u8(out, desc.width);
        put_u8(out, desc.height);
        put_u8(out, static_cast<std::uint8_t>(desc.horizontal_offset_before));
        put_u8(out, static_cast<std::uint8_t>(desc.horizontal_offset_after));
        put_u8(out, static_cast<std::uint8_t>(desc.vertical_offset_before));
    }
    put_u32(out, font.num_horizontal_border_pixels);
    put_u32(out, font.num_vertical_border_pixels);
    put_u32(out, static_cast<std::uint32_t>(font.baseline_offset));
    put_u32(out, font.foreground_surface_data_id);
    put_u32(out, font.background_surface_data_id);
    return out;
}

tarnwick_dat::file_type::font::Font plain_font(std::uint32_t id, std::size_t glyphs) {
    tarnwick_dat::file_type::font::Font font;
    font.id = id;
    font.max_char_height = 16;
    font.max_char_width = 12;
    for (std::size_t g = 0; g < glyphs; ++g) {
        tarnwick_dat::file_type::font::FontCharDesc desc;
        desc.unicode = static_cast<std::uint16_t>('A' + g);
        desc.width = 8;
        desc.height = 12;
        font.char_descs.push_back(desc);
    }
    return font;
}

}  // namespace tarnwick_dat_writer
