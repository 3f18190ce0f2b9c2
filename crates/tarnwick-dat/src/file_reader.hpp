// Reading one stored file in pieces: the block chain followed a few blocks
// at a time and, for a compressed file, decoded through the streaming LRS
// decoder, so that no caller needs the whole file in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"
#include "lib.hpp"
#include "lrs.hpp"
#include "result.hpp"

namespace tarnwick_dat {

/// Reads done and bytes gathered, for callers that bound or measure work.
struct ReadCounts {
    /// Positional reads of the archive.
    std::uint64_t reads = 0;
    /// Stored bytes gathered along the chain.
    std::uint64_t stored_bytes = 0;
};

/// The bytes of one file, decoded when compressed, handed out in order in
/// pieces of the caller's choosing. Made by `DatDatabase::open_file`; uses
/// the database, which must outlive it. Memory: at most 256 KiB of read-ahead,
/// the LRS decoder's window and staging (about 70 KiB), and a set of the
/// chain's blocks (a few bytes per block) to find a loop. Strict: it fails
/// where `get_file` with `strict` fails, with the same error; bytes handed
/// out before the failure are those the whole file would have begun with.
/// Not for use by two threads at once; any number of readers may share one
/// database.
class FileReader {
  public:
    FileReader(FileReader&&) noexcept;
    FileReader& operator=(FileReader&&) noexcept;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    /// The file's id.
    std::uint32_t id() const noexcept { return id_; }
    /// The file's decoded length when it is sound: the size a compressed
    /// payload declares (the payload's own length when it is shorter than a
    /// size field), else the stored size.
    std::uint64_t size() const noexcept { return size_; }
    /// Bytes handed out so far.
    std::uint64_t position() const noexcept { return position_; }
    /// Reads and bytes gathered so far.
    const ReadCounts& counts() const noexcept { return counts_; }

    /// Fills `out` with the next bytes; returns how many, fewer than
    /// out.size() only at the end of the file (0 once there). Fails with the
    /// chain's `Io`, `Corruption` for a chain that comes back to a block it
    /// has read, or `DecompressionFailed` for a stream that does not yield
    /// exactly its declared size; every later call fails the same way.
    Result<std::size_t, DatError> read(std::span<std::uint8_t> out);

  private:
    friend class DatDatabase;
    struct Chain;

    FileReader(const DatDatabase& db, const DatFileEntry& entry, SharedBlocks* shared);
    // Reads the first bytes: a compressed file's size field.
    Result<void, DatError> start();
    // The next piece of stored bytes (empty at the chain's end), failing
    // for good on a fault or a loop.
    Result<std::span<const std::uint8_t>, DatError> pull();
    Result<std::size_t, DatError> read_stored(std::span<std::uint8_t> out);
    Result<std::size_t, DatError> read_decoded(std::span<std::uint8_t> out);
    // Records `error` as the reader's lasting failure and returns it.
    DatError fail(DatError error);

    std::uint32_t id_ = 0;
    bool compressed_ = false;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
    ReadCounts counts_;
    std::unique_ptr<Chain> chain_;
    std::unique_ptr<LrsDecoder> decoder_;
    // Stored bytes read ahead and not yet handed on.
    std::span<const std::uint8_t> pending_;
    // The stream has ended, sound, and the chain has been read to its end.
    bool stream_ended_ = false;
    // The failure that ended reading, kept to be returned again.
    std::optional<DatErrorKind> failed_;
    std::optional<IoError> failed_io_;
    std::string failed_text_;
};

}  // namespace tarnwick_dat
