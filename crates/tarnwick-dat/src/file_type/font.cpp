#include "tarnwick_dat/file_type/font.hpp"

#include <fmt/format.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "internal/record_fields.hpp"

namespace tarnwick_dat::file_type::font {

namespace {

constexpr std::string_view kFile = "crates/tarnwick-dat/src/file_type/font.hpp";

// Lines of the declarations in font.hpp; a unit test reads that file and
// checks each line, so these cannot drift from the header unnoticed.
constexpr std::array<FieldSite, 8> kCharDescSites{{
    {"FontCharDesc", "unicode", kFile, 18},
    {"FontCharDesc", "offset_x", kFile, 20},
    {"FontCharDesc", "offset_y", kFile, 22},
    {"FontCharDesc", "width", kFile, 24},
    {"FontCharDesc", "height", kFile, 26},
    {"FontCharDesc", "horizontal_offset_before", kFile, 28},
    {"FontCharDesc", "horizontal_offset_after", kFile, 30},
    {"FontCharDesc", "vertical_offset_before", kFile, 32},
}};

// The count is not a member; its line is the comment that marks where it is
// encoded, between `max_char_width` and `char_descs`.
constexpr std::array<FieldSite, 10> kFontSites{{
    {"Font", "id", kFile, 48},
    {"Font", "max_char_height", kFile, 50},
    {"Font", "max_char_width", kFile, 52},
    {"Font", "num_char_descs", kFile, 53},
    {"Font", "char_descs", kFile, 55},
    {"Font", "num_horizontal_border_pixels", kFile, 57},
    {"Font", "num_vertical_border_pixels", kFile, 59},
    {"Font", "baseline_offset", kFile, 61},
    {"Font", "foreground_surface_data_id", kFile, 63},
    {"Font", "background_surface_data_id", kFile, 65},
}};

// Indices into the tables above, in encoding order.
enum CharDescField : std::size_t {
    kUnicode,
    kOffsetX,
    kOffsetY,
    kWidth,
    kHeight,
    kHorizontalOffsetBefore,
    kHorizontalOffsetAfter,
    kVerticalOffsetBefore,
};

enum FontField : std::size_t {
    kId,
    kMaxCharHeight,
    kMaxCharWidth,
    kNumCharDescs,
    kCharDescs,
    kNumHorizontalBorderPixels,
    kNumVerticalBorderPixels,
    kBaselineOffset,
    kForegroundSurfaceDataId,
    kBackgroundSurfaceDataId,
};

// Reads one field into `out`; on failure moves the reader back to the
// record's start and hands the field's error back to the caller.
template <typename T>
bool read_into(ByteReader& reader, std::size_t record_start, const FieldSite& site, T& out,
               std::optional<RecordReadError>& error) {
    auto value = read_field<T>(reader, site);
    if (!value) {
        reader.set_position(record_start);
        error.emplace(std::move(value).error());
        return false;
    }
    out = value.value();
    return true;
}

}  // namespace

Result<FontCharDesc, RecordReadError> FontCharDesc::read(ByteReader& reader) {
    const std::size_t start = reader.position();
    const auto& s = kCharDescSites;
    FontCharDesc d;
    std::optional<RecordReadError> error;
    const bool ok =
        read_into(reader, start, s[kUnicode], d.unicode, error) &&
        read_into(reader, start, s[kOffsetX], d.offset_x, error) &&
        read_into(reader, start, s[kOffsetY], d.offset_y, error) &&
        read_into(reader, start, s[kWidth], d.width, error) &&
        read_into(reader, start, s[kHeight], d.height, error) &&
        read_into(reader, start, s[kHorizontalOffsetBefore], d.horizontal_offset_before, error) &&
        read_into(reader, start, s[kHorizontalOffsetAfter], d.horizontal_offset_after, error) &&
        read_into(reader, start, s[kVerticalOffsetBefore], d.vertical_offset_before, error);
    if (!ok) {
        return Err{std::move(*error)};
    }
    return d;
}

Result<Font, RecordReadError> Font::read(ByteReader& reader) {
    const std::size_t start = reader.position();
    const auto& s = kFontSites;
    Font font;
    std::uint32_t num_char_descs = 0;
    std::optional<RecordReadError> error;
    bool ok = read_into(reader, start, s[kId], font.id, error) &&
              read_into(reader, start, s[kMaxCharHeight], font.max_char_height, error) &&
              read_into(reader, start, s[kMaxCharWidth], font.max_char_width, error) &&
              read_into(reader, start, s[kNumCharDescs], num_char_descs, error);
    if (!ok) {
        return Err{std::move(*error)};
    }
    // No reservation from the stored count: a damaged count must not decide
    // how much is allocated, so the array grows as descriptors arrive.
    for (std::uint32_t i = 0; i < num_char_descs; ++i) {
        auto desc = FontCharDesc::read(reader);
        if (!desc) {
            RecordReadError desc_error = std::move(desc).error();
            desc_error.push_frame(frame_for(s[kCharDescs]));
            reader.set_position(start);
            return Err{std::move(desc_error)};
        }
        font.char_descs.push_back(desc.value());
    }
    ok = read_into(reader, start, s[kNumHorizontalBorderPixels], font.num_horizontal_border_pixels,
                   error) &&
         read_into(reader, start, s[kNumVerticalBorderPixels], font.num_vertical_border_pixels,
                   error) &&
         read_into(reader, start, s[kBaselineOffset], font.baseline_offset, error) &&
         read_into(reader, start, s[kForegroundSurfaceDataId], font.foreground_surface_data_id,
                   error) &&
         read_into(reader, start, s[kBackgroundSurfaceDataId], font.background_surface_data_id,
                   error);
    if (!ok) {
        return Err{std::move(*error)};
    }
    return font;
}

}  // namespace tarnwick_dat::file_type::font

namespace tarnwick_dat {

std::span<const FieldSite> font_char_desc_field_sites() {
    return file_type::font::kCharDescSites;
}

std::span<const FieldSite> font_field_sites() {
    return file_type::font::kFontSites;
}

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
