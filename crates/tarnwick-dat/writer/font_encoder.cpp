#include "tarnwick_dat_writer/font_encoder.hpp"

#include <cstdint>

#include "record_encoder.hpp"

namespace tarnwick_dat_writer {

tarnwick_dat::Bytes encode_font(const tarnwick_dat::file_type::font::Font& font) {
    tarnwick_dat::Bytes out;
    out.reserve(36 + 11 * font.char_descs.size());
    detail::put_record(out, font);
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
