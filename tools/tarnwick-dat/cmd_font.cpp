// font: one file decoded as a font record.

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <tarnwick_dat/budget.hpp>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/shared_blocks.hpp>
#include <tarnwick_dat/verify.hpp>
#include <type_traits>
#include <utility>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

using tarnwick_dat::FieldSite;
using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;

// One visitor of a record's description from a lambda per shape of field.
template <typename... Visits>
struct Overloaded : Visits... {
    using Visits::operator()...;
};
template <typename... Visits>
Overloaded(Visits...) -> Overloaded<Visits...>;

// Fields that hold file ids, printed as `ls` prints ids.
bool is_id_field(std::string_view field) {
    return field == "id" || field.ends_with("_surface_data_id");
}

// Each record as an object of its fields in their stored order; ids as text,
// the glyphs as an array of objects (their count is the array's length).
template <typename Record>
nlohmann::ordered_json to_json(const Record& record) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    const auto visit = Overloaded{
        [&](const FieldSite& site, const auto& value) {
            if (std::is_same_v<Record, Font> && is_id_field(site.field)) {
                out[std::string(site.field)] = id_text(static_cast<std::uint32_t>(value));
            } else {
                out[std::string(site.field)] = value;
            }
        },
        [&](const FieldSite& /*count*/, const FieldSite& site,
            const std::vector<FontCharDesc>& descs) {
            nlohmann::ordered_json array = nlohmann::ordered_json::array();
            for (const FontCharDesc& desc : descs) {
                array.push_back(to_json(desc));
            }
            out[std::string(site.field)] = std::move(array);
        }};
    for_each_field(record, visit);
    return out;
}

// A glyph field's column heading: its name with "horizontal_offset_" and
// "vertical_offset_" cut to "h_" and "v_".
std::string column_heading(std::string_view field) {
    for (const auto& [long_prefix, short_prefix] :
         {std::pair<std::string_view, std::string_view>{"horizontal_offset_", "h_"},
          {"vertical_offset_", "v_"}}) {
        if (field.starts_with(long_prefix)) {
            return std::string(short_prefix) + std::string(field.substr(long_prefix.size()));
        }
    }
    return std::string(field);
}

// The font's fields one a line, its glyph count where the glyphs are stored,
// then a table of the glyphs, one column a field: the character code as
// U+XXXX, the rest right-aligned under their headings.
void print_text(const Font& font) {
    const auto line = [](std::string_view name, const auto& value) {
        outf("{:<30}{}\n", fmt::format("{}:", name), value);
    };
    for_each_field(font, Overloaded{[&](const FieldSite& site, const auto& value) {
                                        if (is_id_field(site.field)) {
                                            line(site.field, fmt::format("{:08X}", value));
                                        } else {
                                            line(site.field, value);
                                        }
                                    },
                                    [&](const FieldSite& count, const FieldSite& /*descs*/,
                                        const std::vector<FontCharDesc>& descs) {
                                        line(count.field, descs.size());
                                    }});
    outf("char_descs:\n");
    std::string headings;
    const FontCharDesc columns{};
    for_each_field(columns, [&](const FieldSite& site, const auto& /*value*/) {
        headings += "  " + column_heading(site.field);
    });
    outf("{}\n", headings);
    for (const FontCharDesc& desc : font.char_descs) {
        std::string row;
        for_each_field(desc, [&](const FieldSite& site, const auto& value) {
            row += site.field == "unicode"
                       ? fmt::format("  U+{:04X}", value)
                       : fmt::format("  {:>{}}", value, column_heading(site.field).size());
        });
        outf("{}\n", row);
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
    tarnwick_dat::SharedBlocks shared(*db);
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
        // A font is a few KiB: one that decodes to megabytes is damage, and
        // is reported rather than fetched whole.
        if (const auto size = db->decoded_size(entry->id);
            size && *size > tarnwick_dat::kLargestCheckedRecord) {
            report_file_error(options.archive, entry->id,
                              fmt::format("record of {} bytes is larger than the {} bytes a "
                                          "record is decoded up to",
                                          *size, tarnwick_dat::kLargestCheckedRecord));
            failed = true;
            continue;
        }
        if (!fetch_file(*db, options.archive, entry->id, bytes, fetch_mode(options.lenient, false),
                        &shared)) {
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
