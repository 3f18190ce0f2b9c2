// diff: which files differ between two versions of an archive, in the manner
// of git diff --name-status, with a table (--stat), the ids alone (--ids) or
// one JSON object; either version may be a manifest (ls --json --hash).

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <tarnwick_dat/diff.hpp>
#include <tarnwick_dat/manifest.hpp>
#include <thread>

#include "commands.hpp"
#include "error_text.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

using tarnwick_dat::Change;
using tarnwick_dat::ChangeKind;
using tarnwick_dat::ChangeTotals;
using tarnwick_dat::DiffReport;
using ordered_json = nlohmann::ordered_json;

// Exit statuses, as diff and cmp have them.
constexpr int kExitSame = 0;
constexpr int kExitDiffer = 1;
constexpr int kExitTrouble = 2;

// One version: an opened archive or a read manifest.
struct Version {
    std::optional<tarnwick_dat::DatDatabase> database;
    std::optional<tarnwick_dat::Manifest> manifest;

    tarnwick_dat::DiffSide side() const {
        return database ? tarnwick_dat::DiffSide(*database) : tarnwick_dat::DiffSide(*manifest);
    }
};

// True when the file starts (after blanks) with '[': a JSON listing. An
// archive's first bytes lie before its header and are never '[' in files
// the game writes; one that cannot be read is left to the archive's opening,
// which names the error.
bool looks_like_manifest(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        return false;
    }
    for (int c = std::fgetc(file.get()); c != EOF; c = std::fgetc(file.get())) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return c == '[';
        }
    }
    return false;
}

// One version opened or read, or why it could not be.
struct Loaded {
    std::optional<Version> version;
    std::optional<tarnwick_dat::DatError> open_error;
    std::optional<tarnwick_dat::ManifestError> manifest_error;

    // Reports the error, if any; true when the version is there.
    bool ok(std::string_view path) const {
        if (open_error) {
            report_archive_error(path, *open_error);
        } else if (manifest_error) {
            report_error(manifest_error->display());
        }
        return version.has_value();
    }
};

Loaded load(const std::string& path) {
    Loaded loaded;
    if (looks_like_manifest(path)) {
        auto manifest = tarnwick_dat::Manifest::read(path);
        if (!manifest) {
            loaded.manifest_error = std::move(manifest).error();
            return loaded;
        }
        loaded.version.emplace().manifest = std::move(manifest).value();
        return loaded;
    }
    auto database = tarnwick_dat::DatDatabase::open(std::filesystem::path(path));
    if (!database) {
        loaded.open_error.emplace(std::move(database).error());
        return loaded;
    }
    loaded.version.emplace().database = std::move(database).value();
    return loaded;
}

std::string size_text(const std::optional<tarnwick_dat::DatFileEntry>& entry,
                      const std::optional<std::uint64_t>& size) {
    if (!entry) {
        return "-";
    }
    return size ? fmt::format("{}", *size) : std::string("?");
}

ordered_json entry_json(const std::optional<tarnwick_dat::DatFileEntry>& entry) {
    if (!entry) {
        return nullptr;
    }
    ordered_json object = ordered_json::object();
    object["compressed"] = entry->is_compressed();
    object["size"] = entry->size;
    object["timestamp"] = entry->timestamp;
    object["version"] = entry->version;
    object["bit_flags"] = entry->bit_flags;
    object["offset"] = entry->offset;
    return object;
}

template <typename T>
ordered_json or_null(const std::optional<T>& value) {
    return value ? ordered_json(*value) : ordered_json(nullptr);
}

ordered_json totals_json(const std::array<ChangeTotals, tarnwick_dat::kChangeKindCount>& kinds) {
    ordered_json object = ordered_json::object();
    for (const ChangeKind kind : tarnwick_dat::kAllChangeKinds) {
        const ChangeTotals& t = kinds[static_cast<std::size_t>(kind)];
        object[std::string(tarnwick_dat::change_kind_name(kind))] = {
            {"files", t.files}, {"old_bytes", t.old_bytes}, {"new_bytes", t.new_bytes}};
    }
    return object;
}

ordered_json change_json(const Change& change) {
    ordered_json object = ordered_json::object();
    object["kind"] = std::string(tarnwick_dat::change_kind_name(change.kind));
    object["id"] = id_text(change.id);
    object["type"] = std::string(tarnwick_dat::name(change.type));
    object["old"] = entry_json(change.old_entry);
    object["new"] = entry_json(change.new_entry);
    object["old_size"] = or_null(change.old_size);
    object["new_size"] = or_null(change.new_size);
    object["old_error"] = or_null(change.old_error);
    object["new_error"] = or_null(change.new_error);
    return object;
}

void print_json(const DiffArgs& options, const DiffReport& report) {
    ordered_json changes = ordered_json::array();
    for (const Change& change : report.changes) {
        changes.push_back(change_json(change));
    }
    ordered_json by_type = ordered_json::object();
    for (const tarnwick_dat::TypeTotals& type : report.by_type) {
        by_type[std::string(tarnwick_dat::name(type.type))] = totals_json(type.kinds);
    }
    ordered_json missing = ordered_json::array();
    for (const std::uint32_t id : report.missing) {
        missing.push_back(id_text(id));
    }
    ordered_json object = ordered_json::object();
    object["old"] = options.old_path;
    object["new"] = options.new_path;
    object["hash"] = std::string(tarnwick_dat::hash_algorithm_name(report.hash));
    object["changes"] = std::move(changes);
    object["compared"] = report.compared;
    object["totals"] = totals_json(report.by_kind);
    object["by_type"] = std::move(by_type);
    object["missing"] = std::move(missing);
    object["identical"] = report.identical();
    outf("{}\n", object.dump(2));
}

void print_stat(const DiffReport& report) {
    outf("{:<20}{:>8}{:>9}{:>10}{:>10}{:>12}{:>13}{:>13}\n", "type", "added", "removed", "modified",
         "metadata", "unreadable", "old bytes", "new bytes");
    auto row = [](std::string_view label,
                  const std::array<ChangeTotals, tarnwick_dat::kChangeKindCount>& kinds) {
        std::uint64_t old_bytes = 0;
        std::uint64_t new_bytes = 0;
        for (const ChangeTotals& t : kinds) {
            old_bytes += t.old_bytes;
            new_bytes += t.new_bytes;
        }
        outf("{:<20}{:>8}{:>9}{:>10}{:>10}{:>12}{:>13}{:>13}\n", label, kinds[0].files,
             kinds[1].files, kinds[2].files, kinds[3].files, kinds[4].files, old_bytes, new_bytes);
    };
    for (const tarnwick_dat::TypeTotals& type : report.by_type) {
        row(tarnwick_dat::name(type.type), type.kinds);
    }
    row("total", report.by_kind);
    outf("{}\n", report.summary());
}

// The ids either version lists that the globs and ranges match, added to
// the ids compared; a pattern that matches in neither is reported.
bool expand_patterns(const Selection& selection, const Version& old_version,
                     const Version& new_version, std::vector<std::uint32_t>& ids) {
    std::vector<bool> matched(selection.patterns.size(), false);
    std::vector<std::uint32_t> found;
    const auto visit = [&](std::uint32_t id) {
        bool chosen = false;
        for (std::size_t i = 0; i < selection.patterns.size(); ++i) {
            if (selection.patterns[i].matches(id)) {
                matched[i] = true;
                chosen = true;
            }
        }
        if (chosen) {
            found.push_back(id);
        }
    };
    for (const Version* version : {&old_version, &new_version}) {
        if (version->database) {
            for (const tarnwick_dat::DatFileEntry& entry : version->database->files()) {
                visit(entry.id);
            }
        } else {
            for (const tarnwick_dat::ManifestEntry& entry : version->manifest->entries()) {
                visit(entry.entry.id);
            }
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    for (const std::uint32_t id : found) {
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
            ids.push_back(id);
        }
    }
    bool all = true;
    for (std::size_t i = 0; i < selection.patterns.size(); ++i) {
        if (!matched[i]) {
            report_error(
                fmt::format("{}: no file in either version matches", selection.patterns[i].text));
            all = false;
        }
    }
    return all;
}

}  // namespace

int run_diff(const DiffArgs& options) {
    Selection selection;
    try {
        selection = parse_selection(options.select);
    } catch (const ListReadError& error) {
        report_error(error.what());
        return kExitTrouble;
    }
    tarnwick_dat::DiffOptions diff;
    diff.ids = selection.ids;
    diff.types = selection.types;
    if (!options.jobs.empty()) {
        diff.threads = static_cast<unsigned>(parse_number(options.jobs, 1024, "job count"));
        if (diff.threads == 0) {
            throw UsageError("invalid job count '0' (expected 1 to 1024)");
        }
    }
    // The two versions are read at once: a manifest takes a while to parse.
    Loaded old_loaded;
    std::thread reader([&] { old_loaded = load(options.old_path); });
    Loaded new_loaded = load(options.new_path);
    reader.join();
    if (!old_loaded.ok(options.old_path) || !new_loaded.ok(options.new_path)) {
        return kExitTrouble;
    }
    const std::optional<Version>& old_version = old_loaded.version;
    const std::optional<Version>& new_version = new_loaded.version;
    if (!selection.patterns.empty()) {
        if (!expand_patterns(selection, *old_version, *new_version, diff.ids)) {
            return kExitTrouble;
        }
    }

    DelayedProgress progress(true);
    diff.progress = progress.callback();
    auto compared = tarnwick_dat::diff_archives(old_version->side(), new_version->side(), diff);
    progress.finish();
    if (!compared) {
        report_error(compared.error().display());
        return kExitTrouble;
    }
    const DiffReport& report = *compared;

    bool trouble = false;
    for (const std::uint32_t id : report.missing) {
        report_error(fmt::format("0x{:08X}: no such file in {} or {}", id, options.old_path,
                                 options.new_path));
        trouble = true;
    }
    // An archive's unreadable file is worded as every command words it.
    const auto failure = [](const Version& version, std::uint32_t id, const std::string& text) {
        if (version.database) {
            auto read = version.database->get_file(id, tarnwick_dat::FetchOptions{.strict = true});
            if (!read) {
                return fetch_failure_text(*version.database, id, read.error());
            }
        }
        return text;
    };
    for (const Change& change : report.changes) {
        if (change.old_error) {
            report_file_error(options.old_path, change.id,
                              failure(*old_version, change.id, *change.old_error));
        }
        if (change.new_error) {
            report_file_error(options.new_path, change.id,
                              failure(*new_version, change.id, *change.new_error));
        }
        trouble = trouble || change.kind == ChangeKind::Unreadable;
    }

    if (options.json) {
        print_json(options, report);
    } else if (options.jsonl) {
        for (const Change& change : report.changes) {
            outf("{}\n", change_json(change).dump());
        }
    } else if (options.stat) {
        print_stat(report);
    } else if (options.ids) {
        for (const Change& change : report.changes) {
            if (change.new_entry) {
                outf("{}\n", id_text(change.id));
            }
        }
    } else {
        for (const Change& change : report.changes) {
            outf("{}\t{}\t{}\t{} -> {}\n", tarnwick_dat::change_kind_letter(change.kind),
                 id_text(change.id), change.type, size_text(change.old_entry, change.old_size),
                 size_text(change.new_entry, change.new_size));
        }
        outf("{}\n", report.summary());
    }
    if (trouble) {
        return kExitTrouble;
    }
    return report.identical() ? kExitSame : kExitDiffer;
}

}  // namespace tarnwick_dat_tool
