// info: the archive header, its kind and its file count, from the header and
// the directory alone.

#include <fmt/format.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        out += fmt::format("{:02x}", byte);
    }
    return out;
}

// The value of one header field as `info` prints it: the signature in
// hexadecimal, the map id as `ls` prints ids, the version string's bytes in
// hexadecimal, the rest in decimal.
std::string field_text(std::string_view name, std::uint32_t value) {
    return name == "magic"           ? fmt::format("0x{:08X}", value)
           : name == "master_map_id" ? id_text(value)
                                     : fmt::format("{}", value);
}

std::string field_text(std::string_view /*name*/, const std::vector<std::uint8_t>& bytes) {
    return hex_bytes(bytes);
}

}  // namespace

int run_info(const InfoOptions& options) {
    auto db = open_archive(options.archive);
    if (!db) {
        return kExitFailure;
    }
    const tarnwick_dat::DatHeader& header = db->header();
    if (options.json) {
        nlohmann::ordered_json fields = nlohmann::ordered_json::object();
        tarnwick_dat::for_each_field(
            header, [&](const tarnwick_dat::FieldSite& site, const auto& value) {
                // Ids and bytes read as text; everything else is a number.
                if constexpr (std::is_integral_v<std::remove_cvref_t<decltype(value)>>) {
                    if (site.field != "master_map_id") {
                        fields[std::string(site.field)] = value;
                        return;
                    }
                }
                fields[std::string(site.field)] = field_text(site.field, value);
            });
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["header"] = std::move(fields);
        out["kind"] = std::string(tarnwick_dat::name(db->dat_kind()));
        out["file_count"] = db->files().size();
        outf("{}\n", out.dump(2));
        return kExitOk;
    }
    tarnwick_dat::for_each_field(
        header, [&](const tarnwick_dat::FieldSite& site, const auto& value) {
            outf("{:<16}{}\n", fmt::format("{}:", site.field), field_text(site.field, value));
        });
    outf("{:<16}{}\n", "kind:", db->dat_kind());
    outf("{:<16}{}\n", "file_count:", db->files().size());
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
