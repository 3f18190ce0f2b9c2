// sample: a synthetic portal archive from the project's writer.

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <tarnwick_dat_writer/sample_archive.hpp>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

int run_sample(const SampleArgs& args) {
    tarnwick_dat_writer::SampleOptions options;
    if (!args.files.empty()) {
        options.files =
            parse_number(args.files, tarnwick_dat_writer::kMaxSampleFiles, "file count");
    }
    // Without --fonts, as many fonts as the default allows, never more than
    // the files.
    options.fonts = std::min(options.fonts, options.files);
    if (!args.fonts.empty()) {
        options.fonts =
            parse_number(args.fonts, tarnwick_dat_writer::kMaxSampleFiles, "font count");
    }
    if (!args.seed.empty()) {
        options.seed = parse_number(args.seed, std::numeric_limits<std::uint64_t>::max(), "seed");
    }
    if (options.fonts > options.files) {
        throw UsageError(
            fmt::format("--fonts ({}) exceeds --files ({}), which counts the fonts too",
                        options.fonts, options.files));
    }
    if (args.out.empty()) {
        throw UsageError("OUT must not be empty");
    }
    if (auto written = tarnwick_dat_writer::write_sample_archive(args.out, options); !written) {
        report_error(fmt::format("cannot write '{}': {}", args.out, written.error().display()));
        return kExitFailure;
    }
    outf("wrote {}: {} files, {} of them fonts, seed {}\n", args.out, options.files, options.fonts,
         options.seed);
    return kExitOk;
}

}  // namespace tarnwick_dat_tool
