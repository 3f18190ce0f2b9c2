// verify: the whole archive checked, every finding listed, as fsck and
// unzip -t do.

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <tarnwick_dat/verify.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

using tarnwick_dat::Finding;
using tarnwick_dat::Severity;
using tarnwick_dat::VerifyReport;

nlohmann::ordered_json id_or_null(const std::optional<std::uint32_t>& id) {
    return id ? nlohmann::ordered_json(id_text(*id)) : nlohmann::ordered_json(nullptr);
}

// One document, or with `lines` one compact object per finding and then
// {"totals": {...}, "damaged": ...} as the last line.
void print_json(const VerifyReport& report, bool lines) {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const Finding& finding : report.findings) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        object["severity"] = std::string(tarnwick_dat::severity_name(finding.severity));
        object["kind"] = std::string(tarnwick_dat::finding_kind_name(finding.kind));
        object["id"] = id_or_null(finding.file_id);
        object["type"] =
            finding.file_type
                ? nlohmann::ordered_json(std::string(tarnwick_dat::name(*finding.file_type)))
                : nlohmann::ordered_json(nullptr);
        object["node"] = id_or_null(finding.node_offset);
        object["description"] = finding.description;
        if (lines) {
            outf("{}\n", object.dump());
        } else {
            findings.push_back(std::move(object));
        }
    }
    const tarnwick_dat::VerifyTotals& t = report.totals;
    nlohmann::ordered_json totals = nlohmann::ordered_json::object();
    totals["files"] = t.files;
    totals["nodes"] = t.nodes;
    totals["stored_bytes"] = t.stored_bytes;
    totals["decoded_bytes"] = t.decoded_bytes;
    totals["blocks"] = t.blocks;
    totals["unused_blocks"] = t.unused_blocks;
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    if (!lines) {
        object["findings"] = std::move(findings);
    }
    object["totals"] = std::move(totals);
    object["damaged"] = report.damaged();
    outf("{}\n", lines ? object.dump() : object.dump(2));
}

}  // namespace

int run_verify(const VerifyArgs& options) {
    const Selection selection = parse_selection(options.select);
    tarnwick_dat::VerifyOptions verify;
    if (!options.jobs.empty()) {
        verify.threads = static_cast<unsigned>(parse_number(options.jobs, 1024, "job count"));
        if (verify.threads == 0) {
            throw UsageError("invalid job count '0' (expected 1 to 1024)");
        }
    }

    DelayedProgress progress(!options.quiet);
    verify.progress = progress.callback();

    VerifyReport report;
    bool unmatched = false;
    auto db = tarnwick_dat::DatDatabase::open(std::filesystem::path(options.archive));
    if (!db) {
        // An archive that does not open is reported as the check reports
        // it, with the failure met here: opening it again could succeed on
        // a transient fault and hide it.
        report = tarnwick_dat::unreadable_archive_report(db.error());
        for (tarnwick_dat::Finding& finding : report.findings) {
            if (finding.kind == tarnwick_dat::FindingKind::ArchiveUnreadable) {
                finding.description = open_failure_text(options.archive, db.error());
            }
        }
    } else {
        if (!selection.empty()) {
            // Ids the archive does not list go to the check as well, which
            // reports them as findings. The picked entries start with the
            // ids given that were found; the files of the selected types
            // follow.
            const Picked picked = pick(*db, selection);
            verify.ids = selection.ids;
            const std::size_t found = selection.ids.size() - picked.missing.size();
            for (std::size_t i = found; i < picked.entries.size(); ++i) {
                verify.ids.push_back(picked.entries[i]->id);
            }
            for (const std::string& pattern : picked.unmatched) {
                report_archive_error(options.archive, fmt::format("{}: no file matches", pattern));
            }
            if (verify.ids.empty()) {
                if (!selection.types.empty()) {
                    report_archive_error(options.archive, "no file of the selected types");
                }
                return kExitFailure;
            }
            unmatched = !picked.unmatched.empty();
        }
        report = tarnwick_dat::verify_archive(*db, verify);
    }
    progress.finish();

    if (options.json || options.jsonl) {
        print_json(report, options.jsonl);
    } else {
        for (const Finding& finding : report.findings) {
            if (!options.quiet || finding.severity == Severity::Damage) {
                outf("{}\n", finding.display());
            }
        }
        if (!options.quiet) {
            outf("{}\n", report.summary());
        }
    }
    return report.damaged() || unmatched ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
