// cat: the selected files' bytes, decompressed where flagged, to standard
// output.

#include "commands.hpp"
#include "error_text.hpp"

namespace tarnwick_dat_tool {

int run_cat(const CatOptions& options) {
    const Selection selection = parse_selection(options.select);
    if (selection.empty()) {
        throw UsageError("nothing selected: give IDs, --type or -T");
    }
    auto db = open_archive(options.archive);
    if (!db) {
        return kExitFailure;
    }
    const Picked picked = pick(*db, selection);
    bool failed = report_missing(options.archive, picked);
    tarnwick_dat::Bytes bytes;
    for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
        if (!fetch_file(*db, options.archive, entry->id, bytes,
                        fetch_mode(options.lenient, options.raw))) {
            failed = true;
            continue;
        }
        out(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
