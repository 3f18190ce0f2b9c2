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

namespace tarnwick_dat_tool {

/// Most bytes `read_input` takes: a stored file's size is a 32-bit value,
/// and this keeps memory bounded well below that.
inline constexpr std::size_t kMaxInputBytes = std::size_t{1} << 30;

/// The whole content of `path`, or of standard input when `path` is "-".
/// Fails with a message naming the path when it cannot be read or holds more
/// than `limit` bytes (reading stops as soon as the limit is passed).
tarnwick_dat::Result<tarnwick_dat::Bytes, std::string> read_input(std::string_view path,
                                                                  std::size_t limit);

/// Writes `bytes` to `path` (created or replaced), or to standard output
/// when `path` is "-". Fails with a message naming the path.
tarnwick_dat::Result<void, std::string> write_output(std::string_view path,
                                                     std::span<const std::uint8_t> bytes);

/// Writes all of `bytes` to the descriptor, repeating short and interrupted
/// writes. Returns the OS error number on failure, 0 on success.
int write_all(int fd, std::span<const std::uint8_t> bytes);

}  // namespace tarnwick_dat_tool
