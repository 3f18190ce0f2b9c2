// ls: one line (or JSON object) per selected directory entry, under a
// header line on a terminal, from the
// directory and, for compressed files, the size their payload declares; with
// --hash also the content hash of each file's bytes (a listing that `diff`
// takes as a manifest).

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
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

std::string lower_case(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool stdout_is_terminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

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
    // The ids in the order given (then ascending) unless a key is named;
    // ascending id order under every key, so that each breaks ties by id.
    const std::string key = lower_case(options.sort);
    if (!key.empty()) {
        std::sort(picked.entries.begin(), picked.entries.end(),
                  [](const auto* a, const auto* b) { return a->id < b->id; });
    }
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
    sort_rows(rows, key);
    if (options.reverse) {
        std::reverse(rows.begin(), rows.end());
    }

    const auto size_text = [&](std::uint64_t size) {
        return options.human ? human_size(size) : fmt::format("{}", size);
    };
    const auto object_text = [&](const Row& listed) {
        tarnwick_dat::ManifestEntry row;
        row.entry = *listed.entry;
        row.type = listed.type;
        row.decoded_size = static_cast<std::uint32_t>(listed.decoded.value_or(0));
        row.has_decoded_size = listed.decoded.has_value();
        return tarnwick_dat::manifest_object(row, listed.hash, options.hashed);
    };
    if (options.jsonl) {
        for (const Row& row : rows) {
            outf("{}\n", object_text(row));
        }
        return failed ? kExitFailure : kExitOk;
    }
    if (options.json) {
        // Pretty-printed as the other commands' documents are, one object
        // at a time so that a large listing is not held twice.
        out(rows.empty() ? "[" : "[\n");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::string object = nlohmann::ordered_json::parse(object_text(rows[i])).dump(2);
            std::string indented = "  ";
            for (const char c : object) {
                indented += c;
                if (c == '\n') {
                    indented += "  ";
                }
            }
            outf("{}{}\n", indented, i + 1 < rows.size() ? "," : "");
        }
        out("]\n");
        return failed ? kExitFailure : kExitOk;
    }
    if (options.header && stdout_is_terminal()) {
        if (options.hashed) {
            outf("{:<8}  {:<19}  {:>10}  {:>10}  {:<20}  {:<10}  {}\n", "ID", "TYPE", "SIZE",
                 "DECODED", "TIME", "STORAGE", "HASH");
        } else {
            outf("{:<8}  {:<19}  {:>10}  {:>10}  {:<20}  {}\n", "ID", "TYPE", "SIZE", "DECODED",
                 "TIME", "STORAGE");
        }
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
