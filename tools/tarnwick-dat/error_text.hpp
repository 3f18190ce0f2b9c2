// Every message tarnwick-dat prints on standard error, and the writes to
// standard output, whose failure reads the same in every command.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tarnwick_dat/error.hpp>

namespace tarnwick_dat_tool {

/// The error as the tool words it, on one line and without source
/// locations: a record's cause comes first, then the fields it was reading,
/// innermost first, e.g. "the data ends early while parsing field
/// 'version_minor' in DatHeader"; an OS failure is its system text alone.
std::string error_line(const tarnwick_dat::DatError& error);

/// An I/O failure as the tool words it: the system's text for an OS error,
/// "the data ends early" for a read past the end.
std::string io_text(const tarnwick_dat::IoError& error);

/// Prints "error: " and `message` on standard error (clearing a progress
/// bar first).
void report_error(std::string_view message);

/// "error: ARCHIVE: message".
void report_archive_error(std::string_view archive, std::string_view message);
void report_archive_error(std::string_view archive, const tarnwick_dat::DatError& error);

/// "error: ARCHIVE: 0xID: message".
void report_file_error(std::string_view archive, std::uint32_t id, std::string_view message);
void report_file_error(std::string_view archive, std::uint32_t id,
                       const tarnwick_dat::DatError& error);

/// Prints a line on standard error that is no error (summaries, notes).
void report_note(std::string_view line);

/// The one message for a failed write to standard output.
std::string stdout_failure(int code);

/// A write to standard output failed; main reports `stdout_failure(code)`.
class StdoutError : public std::runtime_error {
  public:
    explicit StdoutError(int code);
    int code() const { return code_; }

  private:
    int code_;
};

/// Writes `text` to standard output (buffered); throws StdoutError.
void out(std::string_view text);

/// Formats and writes to standard output; throws StdoutError.
template <typename... T>
void outf(fmt::format_string<T...> format, T&&... args) {
    fmt::memory_buffer buffer;
    fmt::format_to(std::back_inserter(buffer), format, std::forward<T>(args)...);
    out(std::string_view(buffer.data(), buffer.size()));
}

/// Flushes standard output; throws StdoutError.
void flush_out();

}  // namespace tarnwick_dat_tool
