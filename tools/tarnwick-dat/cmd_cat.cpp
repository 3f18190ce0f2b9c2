// cat: one file's bytes, decompressed where flagged, to standard output.

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_cat(const ParsedArgs& args) {
    const std::uint32_t id = parse_file_id(args.positional[1]);
    auto db = open_archive(args.positional[0]);
    if (!db) {
        return kExitFailure;
    }
    auto bytes = db->get_file(id);
    if (!bytes) {
        report_error(bytes.error());
        return kExitFailure;
    }
    if (auto written = write_output("-", bytes.value()); !written) {
        report_error(written.error());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
