// What the fetches of one pass over many files of an archive share: chains
// that run into blocks another chain of the pass has already read (entries
// whose chains merge into one tail) copy those blocks from memory instead of
// reading them again.
#pragma once

#include <cstdint>
#include <memory>

namespace tarnwick_dat {

class DatDatabase;

namespace detail {
class BlockMemo;
}  // namespace detail

/// The blocks shared by the chains of one pass over many files of one
/// archive, given to each fetch of the pass through `FetchOptions::shared`.
/// Every block a fetch passes is noted (one bit per block position); a
/// block passed a second time is kept, link and payload, once read, and
/// every later pass copies it. A pass thus reads each distinct block at most
/// about twice, however many chains run through it, and gives the same bytes
/// as fetching each file alone. A sound archive, whose chains share no
/// block, keeps nothing. Memory: the bits of the positions reached, and at
/// most `kept_limit` bytes of kept blocks with their index; past that limit
/// blocks are read again. Any number of threads may fetch with one set at
/// once. Made for one database, which it must not outlive.
class SharedBlocks {
  public:
    /// For the fetches of `db`; keeps at most `kept_limit` bytes, by
    /// default eight times the archive's length plus 1 MiB, at most 64 MiB.
    explicit SharedBlocks(const DatDatabase& db);
    SharedBlocks(const DatDatabase& db, std::uint64_t kept_limit);
    SharedBlocks(const SharedBlocks&) = delete;
    SharedBlocks& operator=(const SharedBlocks&) = delete;
    ~SharedBlocks();

    /// Bytes of kept blocks and their index.
    std::uint64_t kept_bytes() const;

    /// The default limit for an archive of `archive_length` bytes.
    static std::uint64_t default_limit(std::uint64_t archive_length);

    /// The library's own view of the set.
    detail::BlockMemo& memo() const { return *memo_; }

  private:
    std::unique_ptr<detail::BlockMemo> memo_;
};

}  // namespace tarnwick_dat
