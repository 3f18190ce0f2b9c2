// Helpers of the archive library: finding the portal archive, reading a file
// at absolute positions, and decoding LRS-compressed payloads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "error.hpp"
#include "lrs.hpp"
#include "record_reader.hpp"
#include "result.hpp"

namespace tarnwick_dat {

/// Where the portal archive is: the path in the environment variable
/// `TARNWICK_PORTAL_DAT` when it exists, else `dats/portal.dat` two levels
/// above the library's build-time source directory when that exists, else
/// nothing. Opens nothing and reports nothing.
std::optional<std::filesystem::path> get_portal_dat_path();

/// The rule behind `get_portal_dat_path`, with its inputs given: `env_value`
/// (the variable's raw value, or null when unset; a value that is not valid
/// UTF-8 counts as unset) is taken exactly as given when it exists, else
/// `source_dir` / "../../" / "dats/portal.dat", unnormalised, when that
/// exists. "Exists" follows symbolic links and counts any kind of file.
std::optional<std::filesystem::path> find_portal_dat(const char* env_value,
                                                     const std::filesystem::path& source_dir);

/// Decodes an LRS-compressed payload: a 4-byte little-endian output size,
/// then the token stream. Never fails: damaged input ends decoding early and
/// yields the bytes decoded so far; input under 4 bytes is returned as is.
/// Never reads past the input nor writes past the declared size.
Bytes decompress_lrs(std::span<const std::uint8_t> input);

/// A file opened read-only; closed when destroyed. Positional reads
/// (`read_exact_at_compat`) never use or move the file position, so they may
/// run from several threads at once.
class ReadOnlyFile {
  public:
    /// Opens `path` for reading, or returns the OS error.
    static Result<ReadOnlyFile, IoError> open(const std::filesystem::path& path);

    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    /// Sets the file position to an absolute offset.
    Result<void, IoError> seek(std::uint64_t offset);
    /// Sequential read from the file position; returns the count read, 0 at
    /// the end of the file. Interrupted calls are repeated.
    Result<std::size_t, IoError> read(std::span<std::uint8_t> out);
    /// Fills `out` from the absolute `offset` with positional reads,
    /// repeating short and interrupted reads; fails with "failed to fill
    /// whole buffer" when the file ends first. The file position is unchanged.
    Result<void, IoError> read_exact_at_compat(std::span<std::uint8_t> out,
                                               std::uint64_t offset) const;
    /// Fills as much of `out` from the absolute `offset` as the file holds,
    /// repeating short and interrupted reads; returns the count read, less
    /// than `out.size()` only at the end of the file.
    Result<std::size_t, IoError> read_at_most(std::span<std::uint8_t> out,
                                              std::uint64_t offset) const;
    /// The file's current length in bytes (a block device's size for a device).
    Result<std::uint64_t, IoError> size() const;

  private:
    explicit ReadOnlyFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace tarnwick_dat
