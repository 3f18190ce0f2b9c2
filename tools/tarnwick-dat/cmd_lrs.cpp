// lrs: the raw payload codec, between files or standard streams.

#include <fmt/format.h>

#include <string>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"

namespace tarnwick_dat_tool {

int run_lrs(const LrsOptions& options) {
    const std::string& mode = options.mode;
    if (mode != "decompress" && mode != "compress") {
        throw UsageError(
            fmt::format("unknown lrs mode '{}' (expected decompress or compress)", mode));
    }
    auto input = read_input(options.in, kMaxInputBytes);
    if (!input) {
        report_error(input.error());
        return kExitFailure;
    }
    const tarnwick_dat::Bytes& in = input.value();
    tarnwick_dat::Bytes result;
    if (mode == "decompress") {
        result = tarnwick_dat::decompress_lrs(in);
        // The stream must yield what the payload declares; a cut stream
        // gives less, and that is a failure, not a shorter file.
        const std::uint64_t declared = in.size() < 4 ? 0 : tarnwick_dat::load_le32(in.data());
        if (in.size() < 4 || result.size() != declared) {
            report_error(fmt::format("{}: the stream yields {} of the {} bytes it declares",
                                     options.in == "-" ? "standard input" : options.in,
                                     result.size(), declared));
            return kExitFailure;
        }
    } else {
        result = tarnwick_dat_writer::compress_lrs(in);
    }
    if (auto written = write_output(options.out, result); !written) {
        report_error(written.error());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
