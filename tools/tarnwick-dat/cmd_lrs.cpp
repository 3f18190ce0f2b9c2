// lrs: the raw payload codec, between files or standard streams.

#include <fmt/format.h>

#include <string>
#include <tarnwick_dat/lrs.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"

namespace tarnwick_dat_tool {

namespace {

// Reads and writes go in pieces of this size: large enough that system
// calls cost little per byte, small enough that memory stays a few MiB
// whatever the payload declares.
constexpr std::size_t kChunk = std::size_t{1} << 20;

// Decodes IN to OUT through the streaming decoder. A payload that does not
// yield exactly what it declares and end there fails, and OUT (unless it is
// standard output or a device) is left as it was.
int decompress(const LrsOptions& options) {
    auto input = InputFile::open(options.in);
    if (!input) {
        report_error(input.error());
        return kExitFailure;
    }
    auto output = OutputFile::open(options.out);
    if (!output) {
        report_error(output.error());
        return kExitFailure;
    }
    std::vector<std::uint8_t> in(kChunk);
    std::vector<std::uint8_t> out(kChunk);
    tarnwick_dat::LrsDecoder decoder;
    std::uint64_t read_total = 0;
    std::uint32_t declared = 0;  // the size field, once read
    bool at_end = false;
    std::size_t pending = 0;  // decoded bytes in `out` not yet written
    const auto flush = [&]() -> bool {
        if (auto written = output->write(std::span(out).first(pending)); !written) {
            report_error(written.error());
            return false;
        }
        pending = 0;
        return true;
    };
    while (!decoder.done()) {
        pending += decoder.decode(std::span(out).subspan(pending));
        if (pending == out.size()) {
            if (!flush()) {
                return kExitFailure;
            }
            continue;
        }
        if (decoder.done()) {
            break;
        }
        if (at_end) {
            // Finished and still not done would mean no progress is possible.
            break;
        }
        auto got = input->read(in);
        if (!got) {
            report_error(got.error());
            return kExitFailure;
        }
        if (read_total == 0) {
            declared = tarnwick_dat::lrs_declared_size(std::span(in).first(*got)).value_or(0);
        }
        read_total += *got;
        at_end = *got < in.size();
        decoder.feed(std::span(in).first(*got));
        if (at_end) {
            decoder.finish();
        }
    }
    if (pending != 0 && !flush()) {
        return kExitFailure;
    }
    // What follows the stream's end counts too: it means the payload is not
    // what it claims to be.
    while (!at_end) {
        auto got = input->read(in);
        if (!got) {
            report_error(got.error());
            return kExitFailure;
        }
        read_total += *got;
        at_end = *got < in.size();
    }
    const tarnwick_dat::LrsOutcome& outcome = decoder.outcome();
    std::string problem;
    if (outcome.end == tarnwick_dat::LrsEnd::ShortInput) {
        problem =
            fmt::format("{} bytes are too few for a payload (its size field takes 4)", read_total);
    } else if (outcome.end != tarnwick_dat::LrsEnd::OutputFull) {
        problem = fmt::format("the stream yields {} of the {} bytes it declares", outcome.produced,
                              declared);
    } else if (outcome.consumed < read_total) {
        problem =
            fmt::format("{} bytes follow the end of the stream", read_total - outcome.consumed);
    }
    if (!problem.empty()) {
        report_error(fmt::format("{}: {}", input->name(), problem));
        return kExitFailure;
    }
    if (auto committed = output->commit(); !committed) {
        report_error(committed.error());
        return kExitFailure;
    }
    return kExitOk;
}

int compress(const LrsOptions& options) {
    // The encoder takes the whole input at once, and the payload's 32-bit
    // size field leads: the input is read whole, within a bound.
    auto input = read_input(options.in, kMaxInputBytes);
    if (!input) {
        report_error(input.error());
        return kExitFailure;
    }
    if (auto written = write_output(options.out, tarnwick_dat_writer::compress_lrs(*input));
        !written) {
        report_error(written.error());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int run_lrs(const LrsOptions& options) {
    if (options.mode == "decompress") {
        return decompress(options);
    }
    if (options.mode == "compress") {
        return compress(options);
    }
    throw UsageError(
        fmt::format("unknown lrs mode '{}' (expected decompress or compress)", options.mode));
}

}  // namespace tarnwick_dat_tool
