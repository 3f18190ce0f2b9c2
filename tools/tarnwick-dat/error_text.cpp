#include "error_text.hpp"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "progress.hpp"

namespace tarnwick_dat_tool {

namespace {

// A stray line break in a message (an OS text, a path) must not split the
// one error line.
std::string flatten(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// The first failure of standard output, 0 while none: a failed write is
// final, so later ones are refused at once with the same reason.
std::atomic<int> g_stdout_error{0};

// Remembers the failure that `errno` tells of (the first one wins) and
// returns the one remembered.
// Why a write to standard output failed. A stream already in error from
// another thread's failed write reports no errno of its own here; a pipe
// whose reader has gone is then told by poll.
int stdout_failure_cause() {
    if (errno != 0) {
        return errno;
    }
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0) {
        return EPIPE;
    }
    return EIO;
}

int stdout_failed() {
    int none = 0;
    g_stdout_error.compare_exchange_strong(none, stdout_failure_cause());
    return g_stdout_error.load();
}

}  // namespace

std::string io_text(const tarnwick_dat::IoError& error) {
    if (const std::optional<int> code = error.os_code()) {
        return flatten(std::strerror(*code));
    }
    if (error.kind() == tarnwick_dat::IoErrorKind::UnexpectedEof) {
        return "the data ends early";
    }
    return flatten(error.display());
}

std::string error_line(const tarnwick_dat::DatError& error) {
    using Kind = tarnwick_dat::DatErrorKind;
    switch (error.kind()) {
        case Kind::Io:
            return "read failed: " + io_text(*error.io_error());
        case Kind::PathError:
            return "cannot open: " + io_text(*error.io_error());
        case Kind::NotFound:
            return "no such file in the archive";
        case Kind::Corruption:
            return flatten("damaged archive: " + error.text());
        case Kind::DecompressionFailed:
            return "damaged compressed stream";
        case Kind::BinRead:
            break;
        default:
            return flatten(error.display());
    }
    // A record's cause, then the fields it was reading, innermost first:
    // "the data ends early while parsing field 'size' in DatFileEntry".
    const tarnwick_dat::RecordReadError& record = *error.record_error();
    std::string line;
    if (const tarnwick_dat::IoError* cause = record.io_cause()) {
        line = io_text(*cause);
    } else {
        const std::string full = record.display();
        line = full.substr(0, full.find('\n'));
    }
    for (std::size_t i = 0; i < record.frames().size(); ++i) {
        std::string frame = record.frames()[i].message;
        if (!frame.empty()) {
            frame[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(frame[0])));
        }
        line += (i == 0 ? " " : ", ") + frame;
    }
    return flatten(std::move(line));
}

void report_error(std::string_view message) {
    report_note(fmt::format("error: {}", message));
}

void report_archive_error(std::string_view archive, std::string_view message) {
    report_error(fmt::format("{}: {}", archive, message));
}

void report_archive_error(std::string_view archive, const tarnwick_dat::DatError& error) {
    report_archive_error(archive, error_line(error));
}

void report_file_error(std::string_view archive, std::uint32_t id, std::string_view message) {
    report_error(fmt::format("{}: 0x{:08X}: {}", archive, id, message));
}

void report_file_error(std::string_view archive, std::uint32_t id,
                       const tarnwick_dat::DatError& error) {
    report_file_error(archive, id, error_line(error));
}

void report_note(std::string_view line) {
    // Whatever standard output holds comes first, as it would on a terminal.
    if (g_stdout_error.load() == 0 && std::fflush(stdout) != 0) {
        stdout_failed();
    }
    console_line(flatten(std::string(line)));
}

std::string stdout_failure(int code) {
    return fmt::format("cannot write to standard output: {}", std::strerror(code));
}

StdoutError::StdoutError(int code) : std::runtime_error(stdout_failure(code)), code_(code) {}

void out(std::string_view text) {
    if (const int code = g_stdout_error.load(); code != 0) {
        throw StdoutError(code);
    }
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::ferror(stdout)) {
        throw StdoutError(stdout_failed());
    }
}

void flush_out() {
    if (const int code = g_stdout_error.load(); code != 0) {
        throw StdoutError(code);
    }
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        throw StdoutError(stdout_failed());
    }
}

}  // namespace tarnwick_dat_tool
