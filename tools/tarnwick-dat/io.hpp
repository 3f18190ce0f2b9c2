// Plain file input and output for tarnwick-dat: whole files or standard
// streams, with every failure turned into a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tarnwick_dat/record_reader.hpp>
#include <tarnwick_dat/result.hpp>

#include "signals.hpp"

namespace tarnwick_dat_tool {

/// Most bytes `read_input` takes: a stored file's size is a 32-bit value,
/// and this keeps memory bounded well below that.
inline constexpr std::size_t kMaxInputBytes = std::size_t{1} << 30;

/// An input read piece by piece: a file, or standard input for "-".
class InputFile {
  public:
    /// Opens `path`; fails with "cannot open 'PATH': reason".
    static tarnwick_dat::Result<InputFile, std::string> open(std::string_view path);

    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&&) = delete;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    /// Fills `buffer` as far as the input goes; fewer bytes than its size
    /// only at the end. Fails with "cannot read 'PATH': reason".
    tarnwick_dat::Result<std::size_t, std::string> read(std::span<std::uint8_t> buffer);

    /// "standard input" or the path in quotes, as messages name it.
    std::string name() const;

  private:
    InputFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    std::string path_;
    int fd_;
};

/// The whole content of `path`, or of standard input when `path` is "-".
/// Fails with a message naming the path when it cannot be read or holds more
/// than `limit` bytes (reading stops as soon as the limit is passed).
tarnwick_dat::Result<tarnwick_dat::Bytes, std::string> read_input(std::string_view path,
                                                                  std::size_t limit);

/// Writes `bytes` to `path` (created or replaced whole, through
/// `OutputFile`), or to standard output when `path` is "-". Fails with a
/// message naming the path.
tarnwick_dat::Result<void, std::string> write_output(std::string_view path,
                                                     std::span<const std::uint8_t> bytes);

/// A destination written piece by piece that is whole or absent: a path that
/// names a regular file (or nothing yet) is written under a temporary name
/// beside it and renamed into place by `commit`, so that a failed or
/// interrupted run (a signal included) leaves the old file, or none, never a
/// cut one. Standard
/// output ("-") and other files (a device, a FIFO) are written in place.
class OutputFile {
  public:
    /// Opens `path` for writing; fails with a message naming it.
    static tarnwick_dat::Result<OutputFile, std::string> open(std::string_view path);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    /// Removes the temporary file unless committed.
    ~OutputFile();

    tarnwick_dat::Result<void, std::string> write(std::span<const std::uint8_t> bytes);
    /// Closes the file and puts it in place.
    tarnwick_dat::Result<void, std::string> commit();

  private:
    OutputFile(std::string path, std::string temporary, TemporaryToken token, int fd);
    tarnwick_dat::Result<void, std::string> failure(std::string_view action, int code) const;

    std::string path_;
    std::string temporary_;  // empty: written in place
    TemporaryToken token_;   // known to the signal handling until renamed
    int fd_;
};

/// Writes all of `bytes` to the descriptor, repeating short and interrupted
/// writes. Returns the OS error number on failure, 0 on success.
int write_all(int fd, std::span<const std::uint8_t> bytes);

}  // namespace tarnwick_dat_tool
