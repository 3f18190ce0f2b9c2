// info: the archive header, its kind and its file count, from the header and
// the directory alone.

#include <fmt/format.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
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

// The numeric header fields in file order; `version_string` sits between
// `game_version` and `version_minor`.
std::vector<std::pair<const char*, std::uint32_t>> numeric_fields(
    const tarnwick_dat::DatHeader& h) {
    return {
        {"magic", h.magic},
        {"block_size", h.block_size},
        {"file_size", h.file_size},
        {"dataset", h.dataset},
        {"subset", h.subset},
        {"free_head", h.free_head},
        {"free_tail", h.free_tail},
        {"free_count", h.free_count},
        {"root_offset", h.root_offset},
        {"new_lru", h.new_lru},
        {"old_lru", h.old_lru},
        {"use_lru", h.use_lru},
        {"master_map_id", h.master_map_id},
        {"engine_version", h.engine_version},
        {"game_version", h.game_version},
    };
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
        for (const auto& [name, value] : numeric_fields(header)) {
            // Ids read as `ls` prints them; everything else is a number.
            if (std::string_view(name) == "master_map_id") {
                fields[name] = id_text(value);
            } else {
                fields[name] = value;
            }
        }
        fields["version_string"] = hex_bytes(header.version_string);
        fields["version_minor"] = header.version_minor;
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        out["header"] = std::move(fields);
        out["kind"] = std::string(tarnwick_dat::name(db->dat_kind()));
        out["file_count"] = db->files().size();
        outf("{}\n", out.dump(2));
        return kExitOk;
    }
    for (const auto& [name, value] : numeric_fields(header)) {
        // Signature and map id read best in hexadecimal, counts and offsets
        // in decimal.
        const std::string_view field = name;
        const std::string text = field == "magic"           ? fmt::format("0x{:08X}", value)
                                 : field == "master_map_id" ? id_text(value)
                                                            : fmt::format("{}", value);
        outf("{:<16}{}\n", fmt::format("{}:", name), text);
    }
    outf("{:<16}{}\n", "version_string:", hex_bytes(header.version_string));
    outf("{:<16}{}\n", "version_minor:", header.version_minor);
    outf("{:<16}{}\n", "kind:", db->dat_kind());
    outf("{:<16}{}\n", "file_count:", db->files().size());
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
