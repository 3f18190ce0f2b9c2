// sample: a synthetic portal archive from the project's writer.

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <tarnwick_dat_writer/sample_archive.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_sample(const ParsedArgs& args) {
    tarnwick_dat_writer::SampleOptions options;
    if (const auto files = args.value("--files")) {
        options.files = parse_number(*files, tarnwick_dat_writer::kMaxSampleFiles, "file count");
    }
    if (const auto fonts = args.value("--fonts")) {
        options.fonts = parse_number(*fonts, tarnwick_dat_writer::kMaxSampleFiles, "font count");
    }
    if (const auto seed = args.value("--seed")) {
        options.seed = parse_number(*seed, std::numeric_limits<std::uint64_t>::max(), "seed");
    }
    if (options.fonts > options.files) {
        throw UsageError(
            fmt::format("--fonts ({}) exceeds --files ({}), which counts the fonts too",
                        options.fonts, options.files));
    }
    const std::string& out = args.positional[0];
    if (auto written = tarnwick_dat_writer::write_sample_archive(out, options); !written) {
        report_error(fmt::format("cannot write '{}': {}", out, written.error().display()));
        return kExitFailure;
    }
    fmt::print("wrote {}: {} files, {} of them fonts, seed {}\n", out, options.files, options.fonts,
               options.seed);
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
