#include "tarnwick_dat/file_type/font.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "internal/record_fields.hpp"

namespace tarnwick_dat::file_type::font {

Result<FontCharDesc, RecordReadError> FontCharDesc::read(ByteReader& reader) {
    return read_record<FontCharDesc>(reader);
}

Result<Font, RecordReadError> Font::read(ByteReader& reader) {
    return read_record<Font>(
        reader,
        [&](const FieldSite& count_site, const FieldSite& descs_site,
            std::vector<FontCharDesc>& descs) -> Result<void, RecordReadError> {
            auto count = read_field<std::uint32_t>(reader, count_site);
            if (!count) {
                return Err{std::move(count).error()};
            }
            // No reservation from the stored count: a damaged count must not
            // decide how much is allocated, so the array grows as descriptors
            // arrive.
            for (std::uint32_t i = 0; i < count.value(); ++i) {
                auto desc = FontCharDesc::read(reader);
                if (!desc) {
                    RecordReadError error = std::move(desc).error();
                    error.push_frame(frame_for(descs_site));
                    return Err{std::move(error)};
                }
                descs.push_back(desc.value());
            }
            return {};
        });
}

}  // namespace tarnwick_dat::file_type::font

namespace tarnwick_dat {

Result<Font, DatError> decode_font(std::span<const std::uint8_t> bytes) {
    ByteReader reader(bytes);
    auto font = Font::read(reader);
    if (!font) {
        return Err{DatError::bin_read(std::move(font).error())};
    }
    if (reader.position() != bytes.size()) {
        return Err{DatError::bin_read(RecordReadError::custom(
            fmt::format("{} bytes left over after the Font record of {} bytes",
                        bytes.size() - reader.position(), reader.position())))};
    }
    return std::move(font).value();
}

}  // namespace tarnwick_dat
