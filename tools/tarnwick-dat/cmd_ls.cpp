// ls: one line (or JSON object) per selected directory entry, from the
// directory and, for compressed files, the size their payload declares.

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

struct Row {
    const tarnwick_dat::DatFileEntry* entry;
    tarnwick_dat::DatFileType type;
    // Unknown when the payload's declared size cannot be read.
    std::optional<std::uint64_t> decoded;
};

void sort_rows(std::vector<Row>& rows, const std::string& key) {
    if (key == "size") {
        // Largest first, as ls -S.
        std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            return a.decoded.value_or(0) > b.decoded.value_or(0);
        });
    } else if (key == "type") {
        std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            return tarnwick_dat::name(a.type) < tarnwick_dat::name(b.type);
        });
    }
}

}  // namespace

int run_ls(const LsOptions& options) {
    const Selection selection = parse_selection(options.select);
    auto db = open_archive(options.archive);
    if (!db) {
        return kExitFailure;
    }
    Picked picked = pick(*db, selection);
    bool failed = report_missing(options.archive, picked);
    // Ascending id order first, so that every other key breaks ties by id.
    std::sort(picked.entries.begin(), picked.entries.end(),
              [](const auto* a, const auto* b) { return a->id < b->id; });
    std::vector<Row> rows;
    rows.reserve(picked.entries.size());
    for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
        auto decoded = db->decoded_size(entry->id);
        // The listing still shows the entry, but an unreadable size is a
        // failed read, not a complete listing.
        if (!decoded) {
            report_file_error(options.archive, entry->id, decoded.error());
            failed = true;
        }
        rows.push_back({entry, db->file_type(entry->id),
                        decoded ? std::optional<std::uint64_t>(*decoded) : std::nullopt});
    }
    sort_rows(rows, options.sort);

    const auto size_text = [&](std::uint64_t size) {
        return options.human ? human_size(size) : fmt::format("{}", size);
    };
    if (options.json) {
        // One object per line, so that a large listing streams out without
        // being built in memory first.
        out(rows.empty() ? "[" : "[\n");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const tarnwick_dat::DatFileEntry& entry = *rows[i].entry;
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            object["id"] = id_text(entry.id);
            object["type"] = std::string(tarnwick_dat::name(rows[i].type));
            object["compressed"] = entry.is_compressed();
            object["size"] = entry.size;
            object["decoded_size"] = rows[i].decoded ? nlohmann::ordered_json(*rows[i].decoded)
                                                     : nlohmann::ordered_json(nullptr);
            object["timestamp"] = entry.timestamp;
            object["time"] = plausible_time(entry.timestamp)
                                 ? nlohmann::ordered_json(time_text(entry.timestamp))
                                 : nlohmann::ordered_json(nullptr);
            object["version"] = entry.version;
            object["bit_flags"] = entry.bit_flags;
            object["offset"] = entry.offset;
            outf("  {}{}\n", object.dump(), i + 1 < rows.size() ? "," : "");
        }
        out("]\n");
        return failed ? kExitFailure : kExitOk;
    }
    std::uint64_t stored = 0;
    std::uint64_t decoded = 0;
    for (const Row& row : rows) {
        const tarnwick_dat::DatFileEntry& entry = *row.entry;
        stored += entry.size;
        decoded += row.decoded.value_or(0);
        outf("{:08X}  {:<19}  {:>10}  {:>10}  {:<20}  {}\n", entry.id, row.type,
             size_text(entry.size), row.decoded ? size_text(*row.decoded) : std::string("?"),
             time_text(entry.timestamp), entry.is_compressed() ? "compressed" : "stored");
    }
    outf("{:<29}  {:>10}  {:>10}\n",
         fmt::format("total: {} file{}", rows.size(), rows.size() == 1 ? "" : "s"),
         size_text(stored), size_text(decoded));
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
