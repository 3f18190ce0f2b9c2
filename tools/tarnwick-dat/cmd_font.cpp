// font: one file decoded as a font record.

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <tarnwick_dat/budget.hpp>
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
    out["id"] = id_text(font.id);
    out["max_char_height"] = font.max_char_height;
    out["max_char_width"] = font.max_char_width;
    out["char_descs"] = std::move(descs);
    out["num_horizontal_border_pixels"] = font.num_horizontal_border_pixels;
    out["num_vertical_border_pixels"] = font.num_vertical_border_pixels;
    out["baseline_offset"] = font.baseline_offset;
    out["foreground_surface_data_id"] = id_text(font.foreground_surface_data_id);
    out["background_surface_data_id"] = id_text(font.background_surface_data_id);
    return out;
}

void print_text(const Font& font) {
    outf("id:                           {:08X}\n", font.id);
    outf("max_char_height:              {}\n", font.max_char_height);
    outf("max_char_width:               {}\n", font.max_char_width);
    outf("num_char_descs:               {}\n", font.char_descs.size());
    outf("num_horizontal_border_pixels: {}\n", font.num_horizontal_border_pixels);
    outf("num_vertical_border_pixels:   {}\n", font.num_vertical_border_pixels);
    outf("baseline_offset:              {}\n", font.baseline_offset);
    outf("foreground_surface_data_id:   {:08X}\n", font.foreground_surface_data_id);
    outf("background_surface_data_id:   {:08X}\n", font.background_surface_data_id);
    outf("char_descs:\n");
    outf("  unicode  offset_x  offset_y  width  height  h_before  h_after  v_before\n");
    for (const FontCharDesc& d : font.char_descs) {
        outf("  U+{:04X}  {:>8}  {:>8}  {:>5}  {:>6}  {:>8}  {:>7}  {:>8}\n", d.unicode, d.offset_x,
             d.offset_y, d.width, d.height, d.horizontal_offset_before, d.horizontal_offset_after,
             d.vertical_offset_before);
    }
}

// "0x01000001 is a Model, not a font", the type named as ls names it.
std::string not_a_font_text(std::uint32_t id, tarnwick_dat::DatFileType type) {
    const std::string_view name = tarnwick_dat::name(type);
    const bool vowel =
        !name.empty() && std::string_view("AEIOU").find(name[0]) != std::string_view::npos;
    return fmt::format("0x{:08X} is {} {}, not a font", id, vowel ? "an" : "a", name);
}

}  // namespace

int run_font(const FontOptions& options) {
    Selection selection = parse_selection(options.select);
    if (selection.empty()) {
        selection.types.push_back(tarnwick_dat::DatFileType::Font);
    }
    auto db = open_archive(options.archive);
    if (!db) {
        return kExitFailure;
    }
    const Picked picked = pick(*db, selection);
    // Fonts whose chains overlap or loop could cost far more than the
    // archive's size: such a selection is refused before any is decoded.
    const tarnwick_dat::BudgetCheck work =
        tarnwick_dat::check_budget(*db, picked.entries, tarnwick_dat::WorkBudget::for_archive(*db));
    if (!work.fits()) {
        report_archive_error(options.archive,
                             fmt::format("refusing to decode the fonts: {}", work.describe()));
        return kExitFailure;
    }
    bool failed = report_missing(options.archive, picked);
    tarnwick_dat::Bytes bytes;
    bool first = true;
    if (options.json) {
        out("[");
    }
    for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
        // Another type's bytes would only fail at some field: say what it is.
        if (const tarnwick_dat::DatFileType type = db->file_type(entry->id);
            type != tarnwick_dat::DatFileType::Font) {
            report_archive_error(options.archive, not_a_font_text(entry->id, type));
            failed = true;
            continue;
        }
        if (!fetch_file(*db, options.archive, entry->id, bytes,
                        fetch_mode(options.lenient, false))) {
            failed = true;
            continue;
        }
        tarnwick_dat::ByteReader reader(bytes);
        auto font = Font::read(reader);
        if (!font) {
            report_file_error(options.archive, entry->id,
                              tarnwick_dat::DatError::bin_read(std::move(font).error()));
            failed = true;
            continue;
        }
        if (options.json) {
            // One font at a time, so that a long list streams out.
            std::string text = to_json(font.value()).dump(2);
            std::string indented;
            for (const char c : text) {
                indented += c;
                if (c == '\n') {
                    indented += "  ";
                }
            }
            outf("{}\n  {}", first ? "" : ",", indented);
        } else {
            if (!first) {
                out("\n");
            }
            print_text(font.value());
        }
        first = false;
    }
    if (options.json) {
        out(first ? "]\n" : "\n]\n");
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
