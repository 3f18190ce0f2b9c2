// Verifies arbitrary archives: verification never crashes or hangs, gives the
// same report on one thread and on two, reports an archive that does not open
// as damage, and agrees with the strict fetch both ways: every file whose
// strict fetch fails is named in a damage finding of the matching kind, and
// every stream it calls complete (no stream_cut) fetches strictly.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <set>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/verify.hpp>
#include <utility>

#include "memory_file.hpp"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tarnwick_fuzz::MemoryFile file;
    const std::string path = file.path_with(data, size);
    auto opened = tarnwick_dat::DatDatabase::open(path);
    if (!opened) {
        const tarnwick_dat::VerifyReport report = tarnwick_dat::verify_archive_at(path);
        check(report.damaged());
        check(std::any_of(report.findings.begin(), report.findings.end(), [](const auto& f) {
            return f.kind == tarnwick_dat::FindingKind::ArchiveUnreadable;
        }));
        return 0;
    }
    const tarnwick_dat::DatDatabase& db = opened.value();
    tarnwick_dat::VerifyOptions one;
    one.threads = 1;
    tarnwick_dat::VerifyOptions two;
    two.threads = 2;
    const tarnwick_dat::VerifyReport report = tarnwick_dat::verify_archive(db, one);
    const tarnwick_dat::VerifyReport again = tarnwick_dat::verify_archive(db, two);
    check(report.findings == again.findings);
    // The reads made depend on how the files fell to the workers; every
    // other total does not.
    tarnwick_dat::VerifyTotals totals = again.totals;
    totals.reads = report.totals.reads;
    check(report.totals == totals);
    // Files the expansion budget leaves out are not counted as checked.
    const bool over_budget = std::any_of(
        report.findings.begin(), report.findings.end(),
        [](const auto& f) { return f.kind == tarnwick_dat::FindingKind::ExpansionBudget; });
    check(over_budget || report.totals.files == db.files().size());

    // Files left out by the expansion budget are named only in part, so the
    // check below holds only when nothing was left out.
    using tarnwick_dat::FindingKind;
    std::set<std::uint32_t> named;
    std::set<std::pair<std::uint32_t, FindingKind>> found;
    for (const tarnwick_dat::Finding& finding : report.findings) {
        if (finding.kind == FindingKind::ExpansionBudget) {
            return 0;
        }
        if (finding.severity == tarnwick_dat::Severity::Damage && finding.file_id) {
            named.insert(*finding.file_id);
            found.emplace(*finding.file_id, finding.kind);
        }
    }
    const auto has = [&](std::uint32_t id, std::initializer_list<FindingKind> kinds) {
        return std::any_of(kinds.begin(), kinds.end(), [&](FindingKind kind) {
            return found.contains({id, kind});
        });
    };
    tarnwick_dat::Bytes buffer;
    for (const tarnwick_dat::DatFileEntry& entry : db.files()) {
        auto fetched = db.read_file_into(entry.id, buffer, {.strict = true});
        if (fetched) {
            continue;
        }
        check(named.contains(entry.id));
        switch (fetched.error().kind()) {
            case tarnwick_dat::DatErrorKind::DecompressionFailed:
                // A stream verification did not call cut fetched as cut.
                check(has(entry.id, {FindingKind::StreamCut}));
                break;
            case tarnwick_dat::DatErrorKind::Corruption:
                check(has(entry.id, {FindingKind::ChainLoop}));
                break;
            default:
                check(has(entry.id, {FindingKind::ChainPastEnd, FindingKind::ReadFailed,
                                     FindingKind::SizeExceedsFile}));
                break;
        }
    }
    return 0;
}
