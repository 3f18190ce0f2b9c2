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
    const auto write = [](std::span<const std::uint8_t> piece) {
        out(std::string_view(reinterpret_cast<const char*>(piece.data()), piece.size()));
        return true;
    };
    for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
        const FetchMode mode = fetch_mode(options.lenient, options.raw);
        // A large file goes out as it is read, in bounded memory.
        if (mode == FetchMode::Strict && !fetched_whole(*entry)) {
            failed = !stream_file(*db, options.archive, entry->id, write) || failed;
            continue;
        }
        if (!fetch_file(*db, options.archive, entry->id, bytes, mode)) {
            failed = true;
            continue;
        }
        write(bytes);
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
