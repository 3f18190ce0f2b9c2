// Decodes arbitrary bytes as a font record: it must succeed or fail cleanly,
// and a failure must leave the reader where it started.
#include <cstdint>
#include <cstdlib>
#include <span>

#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/record_reader.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnwick_dat::ByteReader reader(std::span<const std::uint8_t>(data, size));
    auto font = tarnwick_dat::file_type::font::Font::read(reader);
    if (font) {
        if (reader.position() != 36 + 11 * font.value().char_descs.size()) {
            std::abort();
        }
    } else if (reader.position() != 0 || font.error().frames().empty()) {
        std::abort();
    }
    return 0;
}
