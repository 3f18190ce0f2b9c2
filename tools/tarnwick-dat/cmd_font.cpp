// font: one file decoded as a font record.

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;

nlohmann::ordered_json to_json(const FontCharDesc& desc) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["unicode"] = desc.unicode;
    out["offset_x"] = desc.offset_x;
    out["offset_y"] = desc.offset_y;
    out["width"] = desc.width;
    out["height"] = desc.height;
    out["horizontal_offset_before"] = desc.horizontal_offset_before;
    out["horizontal_offset_after"] = desc.horizontal_offset_after;
    out["vertical_offset_before"] = desc.vertical_offset_before;
    return out;
}

nlohmann::ordered_json to_json(const Font& font) {
    nlohmann::ordered_json descs = nlohmann::ordered_json::array();
    for (const FontCharDesc& desc : font.char_descs) {
        descs.push_back(to_json(desc));
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["id"] = font.id;
    out["max_char_height"] = font.max_char_height;
    out["max_char_width"] = font.max_char_width;
    out["char_descs"] = std::move(descs);
    out["num_horizontal_border_pixels"] = font.num_horizontal_border_pixels;
    out["num_vertical_border_pixels"] = font.num_vertical_border_pixels;
    out["baseline_offset"] = font.baseline_offset;
    out["foreground_surface_data_id"] = font.foreground_surface_data_id;
    out["background_surface_data_id"] = font.background_surface_data_id;
    return out;
}

void print_text(const Font& font) {
    fmt::print("id:                           0x{:08X}\n", font.id);
    fmt::print("max_char_height:              {}\n", font.max_char_height);
    fmt::print("max_char_width:               {}\n", font.max_char_width);
    fmt::print("num_char_descs:               {}\n", font.char_descs.size());
    fmt::print("num_horizontal_border_pixels: {}\n", font.num_horizontal_border_pixels);
    fmt::print("num_vertical_border_pixels:   {}\n", font.num_vertical_border_pixels);
    fmt::print("baseline_offset:              {}\n", font.baseline_offset);
    fmt::print("foreground_surface_data_id:   0x{:08X}\n", font.foreground_surface_data_id);
    fmt::print("background_surface_data_id:   0x{:08X}\n", font.background_surface_data_id);
    fmt::print("char_descs:\n");
    fmt::print("  unicode  offset_x  offset_y  width  height  h_before  h_after  v_before\n");
    for (const FontCharDesc& d : font.char_descs) {
        fmt::print("  U+{:04X}  {:>8}  {:>8}  {:>5}  {:>6}  {:>8}  {:>7}  {:>8}\n", d.unicode,
                   d.offset_x, d.offset_y, d.width, d.height, d.horizontal_offset_before,
                   d.horizontal_offset_after, d.vertical_offset_before);
    }
}

}  // namespace

int run_font(const ParsedArgs& args) {
    const std::uint32_t id = parse_file_id(args.positional[1]);
    const auto bytes = fetch_file(args.positional[0], id);
    if (!bytes) {
        return kExitFailure;
    }
    tarnwick_dat::ByteReader reader(*bytes);
    auto font = Font::read(reader);
    if (!font) {
        report_error(tarnwick_dat::DatError::bin_read(std::move(font).error()));
        return kExitFailure;
    }
    if (args.has_flag("--json")) {
        fmt::print("{}\n", to_json(font.value()).dump(2));
    } else {
        print_text(font.value());
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
