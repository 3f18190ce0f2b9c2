// Decodes arbitrary bytes as a font record: it must succeed or fail cleanly.
// A success stands just past a record of 36 + 11 per glyph bytes holding as
// many glyphs as stored; a failure names its field and leaves the reader
// where it started.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/record_reader.hpp>

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
    }
    return 0;
}
