// ls: one line (or JSON object) per directory entry, ascending by id, from
// the directory alone.

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "commands.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_ls(const ParsedArgs& args) {
    const std::optional<tarnwick_dat::DatFileType> type = type_filter(args);
    auto db = open_archive(args.positional[0]);
    if (!db) {
        return kExitFailure;
    }
    const auto ids = sorted_ids(*db, type);
    const bool json = args.has_flag("--json");
    if (json && ids.empty()) {
        fmt::print("[]\n");
        return kExitOk;
    }
    if (json) {
        // One object per line, so that a large listing streams out without
        // being built in memory first.
        fmt::print("[\n");
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const tarnwick_dat::DatFileEntry& entry = *db->files().find(ids[i]);
        if (json) {
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            object["id"] = entry.id;
            object["type"] = std::string(tarnwick_dat::name(type_of(*db, entry.id)));
            object["bit_flags"] = entry.bit_flags;
            object["offset"] = entry.offset;
            object["size"] = entry.size;
            object["timestamp"] = entry.timestamp;
            object["version"] = entry.version;
            object["compressed"] = entry.is_compressed();
            fmt::print("  {}{}\n", object.dump(), i + 1 < ids.size() ? "," : "");
        } else {
            fmt::print("{:08X}  {:<19}  {:>10}  {}\n", entry.id, type_of(*db, entry.id), entry.size,
                       entry.is_compressed() ? "compressed" : "stored");
        }
    }
    if (json) {
        fmt::print("]\n");
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
