// Decodes arbitrary bytes as a font record: it must succeed or fail cleanly.
// A success stands just past a record of 36 + 11 per glyph bytes holding as
// many glyphs as stored; a failure names its field and leaves the reader
// where it started.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/record_reader.hpp>

#include "internal/record_fields.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t start = 0;
    tarnwick_dat::ByteReader reader(std::span<const std::uint8_t>(data, size), start);
    auto font = tarnwick_dat::file_type::font::Font::read(reader);
    if (font) {
        const std::size_t glyphs = font.value().char_descs.size();
        const std::uint32_t stored = static_cast<std::uint32_t>(data[start + 12]) |
                                     static_cast<std::uint32_t>(data[start + 13]) << 8 |
                                     static_cast<std::uint32_t>(data[start + 14]) << 16 |
                                     static_cast<std::uint32_t>(data[start + 15]) << 24;
        if (glyphs != stored || reader.position() != start + 36 + 11 * glyphs) {
            std::abort();
        }
    } else if (reader.position() != start || font.error().frames().empty() ||
               font.error().io_cause() == nullptr || font.error().frames().size() > 2) {
        std::abort();
    } else {
        // The frames name declared fields: of the font, or of a glyph and
        // then of the font.
        const auto& frames = font.error().frames();
        const auto names = [](const tarnwick_dat::ContextFrame& frame,
                              std::span<const tarnwick_dat::FieldSite> sites) {
            return std::any_of(sites.begin(), sites.end(), [&](const auto& site) {
                const auto expected = tarnwick_dat::frame_for(site);
                return frame.message == expected.message && frame.file == expected.file &&
                       frame.line == expected.line;
            });
        };
        using tarnwick_dat::file_type::font::Font;
        using tarnwick_dat::file_type::font::FontCharDesc;
        if (frames.size() == 2 ? !names(frames[0], tarnwick_dat::field_sites_of<FontCharDesc>()) ||
                                     !names(frames[1], tarnwick_dat::field_sites_of<Font>())
                               : !names(frames[0], tarnwick_dat::field_sites_of<Font>())) {
            std::abort();
        }
    }
    return 0;
}
