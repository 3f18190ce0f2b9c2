// ls: one line (or JSON object) per selected directory entry, from the
// directory and, for compressed files, the size their payload declares; with
// --hash also the content hash of each file's bytes (a listing that `diff`
// takes as a manifest).

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tarnwick_dat/manifest.hpp>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

struct Row {
    const tarnwick_dat::DatFileEntry* entry;
    tarnwick_dat::DatFileType type;
    // Unknown when the payload's declared size cannot be read.
    std::optional<std::uint64_t> decoded;
    // With --hash: none when the file cannot be read.
    std::optional<tarnwick_dat::ContentHash> hash;
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
    if (options.hashed) {
        const auto algorithm = tarnwick_dat::hash_algorithm_from_name(
            options.hash.empty() ? std::string_view("xxh3") : std::string_view(options.hash));
        tarnwick_dat::ManifestOptions listing;
        listing.hash = algorithm.value_or(tarnwick_dat::HashAlgorithm::Xxh3);
        for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
            listing.ids.push_back(entry->id);
        }
        DelayedProgress progress(true);
        listing.progress = progress.callback();
        std::vector<tarnwick_dat::ManifestFailure> failures;
        const tarnwick_dat::Manifest manifest = make_manifest(*db, listing, &failures);
        progress.finish();
        for (const tarnwick_dat::ManifestFailure& failure : failures) {
            report_file_error(options.archive, failure.id,
                              fetch_failure_text(*db, failure.id, failure.error));
            failed = true;
        }
        for (std::size_t i = 0; i < manifest.size(); ++i) {
            const tarnwick_dat::ManifestEntry& row = manifest.entries()[i];
            rows.push_back(
                {db->files().find(row.entry.id), row.type, row.decoded(), manifest.hash(i)});
        }
    } else {
        for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
            auto decoded = db->decoded_size(entry->id);
            // The listing still shows the entry, but an unreadable size is a
            // failed read, not a complete listing.
            if (!decoded) {
                report_file_error(options.archive, entry->id,
                                  fetch_failure_text(*db, entry->id, decoded.error()));
                failed = true;
            }
            rows.push_back({entry, db->file_type(entry->id),
                            decoded ? std::optional<std::uint64_t>(*decoded) : std::nullopt,
                            std::nullopt});
        }
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
            tarnwick_dat::ManifestEntry row;
            row.entry = *rows[i].entry;
            row.type = rows[i].type;
            row.decoded_size = static_cast<std::uint32_t>(rows[i].decoded.value_or(0));
            row.has_decoded_size = rows[i].decoded.has_value();
            const std::string object =
                tarnwick_dat::manifest_object(row, rows[i].hash, options.hashed);
            outf("  {}{}\n", object, i + 1 < rows.size() ? "," : "");
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
        const std::string_view storage = entry.is_compressed() ? "compressed" : "stored";
        const std::string decoded_text = row.decoded ? size_text(*row.decoded) : std::string("?");
        if (options.hashed) {
            outf("{:08X}  {:<19}  {:>10}  {:>10}  {:<20}  {:<10}  {}\n", entry.id, row.type,
                 size_text(entry.size), decoded_text, time_text(entry.timestamp), storage,
                 row.hash ? row.hash->text() : std::string("-"));
        } else {
            outf("{:08X}  {:<19}  {:>10}  {:>10}  {:<20}  {}\n", entry.id, row.type,
                 size_text(entry.size), decoded_text, time_text(entry.timestamp), storage);
        }
    }
    outf("{:<29}  {:>10}  {:>10}\n",
         fmt::format("total: {} file{}", rows.size(), rows.size() == 1 ? "" : "s"),
         size_text(stored), size_text(decoded));
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
