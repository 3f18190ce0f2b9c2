// cat: one file's bytes, decompressed where flagged, to standard output.

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_cat(const ParsedArgs& args) {
    const std::uint32_t id = parse_file_id(args.positional[1]);
    const auto bytes = fetch_file(args.positional[0], id);
    if (!bytes) {
        return kExitFailure;
    }
    if (auto written = write_output("-", *bytes); !written) {
        report_error(written.error());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
