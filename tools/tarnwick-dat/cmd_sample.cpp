// sample: a synthetic portal archive from the project's writer, to a file
// or to standard output.

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <tarnwick_dat_writer/sample_archive.hpp>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

// The archive is laid out with writes at any offset, which a pipe cannot
// take: it is written to an unnamed temporary file (removed from its
// directory at once, so that nothing is left whatever ends the run) and
// copied out a piece at a time.
int write_to_stdout(const tarnwick_dat_writer::SampleOptions& options) {
    if (::isatty(STDOUT_FILENO) != 0) {
        report_error(
            "refusing to write an archive to a terminal: redirect standard output, or give a "
            "file name for OUT");
        return kExitFailure;
    }
    std::string name =
        (std::filesystem::temp_directory_path() / "tarnwick-dat-sample-XXXXXX").string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        report_error(
            fmt::format("cannot create a temporary file '{}': {}", name, std::strerror(errno)));
        return kExitFailure;
    }
    ::unlink(name.c_str());
    const struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const std::string path = fmt::format("/proc/self/fd/{}", fd);
    if (auto written = tarnwick_dat_writer::write_sample_archive(path, options); !written) {
        report_error(fmt::format("cannot write a temporary file: {}", written.error().display()));
        return kExitFailure;
    }
    std::vector<char> piece(std::size_t{1} << 20);
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, piece.data(), piece.size(), at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            report_error(fmt::format("cannot read a temporary file: {}", std::strerror(errno)));
            return kExitFailure;
        }
        if (got == 0) {
            break;
        }
        out(std::string_view(piece.data(), static_cast<std::size_t>(got)));
        at += got;
    }
    flush_out();
    report_note(fmt::format("wrote standard output: {} files, {} of them fonts, seed {}",
                            options.files, options.fonts, options.seed));
    return kExitOk;
}

}  // namespace

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
    if (args.out == "-") {
        return write_to_stdout(options);
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
