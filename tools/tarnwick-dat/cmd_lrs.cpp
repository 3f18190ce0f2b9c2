// lrs: the raw payload codec, between files or standard streams.

#include <fmt/format.h>

#include <string>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"

namespace tarnwick_dat_tool {

int run_lrs(const ParsedArgs& args) {
    const std::string& mode = args.positional[0];
    if (mode != "decompress" && mode != "compress") {
        throw UsageError(
            fmt::format("unknown lrs mode '{}' (expected decompress or compress)", mode));
    }
    const std::string in = args.positional.size() > 1 ? args.positional[1] : "-";
    const std::string out = args.positional.size() > 2 ? args.positional[2] : "-";
    auto input = read_input(in, kMaxInputBytes);
    if (!input) {
        report_error(input.error());
        return kExitFailure;
    }
    const tarnwick_dat::Bytes result = mode == "decompress"
                                           ? tarnwick_dat::decompress_lrs(input.value())
                                           : tarnwick_dat_writer::compress_lrs(input.value());
    if (auto written = write_output(out, result); !written) {
        report_error(written.error());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
