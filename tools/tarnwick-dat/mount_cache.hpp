// The memory a mount may spend on file contents: decoded files kept for
// later reads, and the buffers of the reads in flight, together within one
// limit; and the streaming readers of large files, kept where the last read
// left them, a few at most.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <tarnwick_dat/file_reader.hpp>
#include <tarnwick_dat/record_reader.hpp>
#include <unordered_map>
#include <utility>

namespace tarnwick_dat_tool {

/// Decoded files by key, least recently used dropped first, and the bytes
/// of reads in flight, all within `limit` bytes. A file is decoded once
/// however many threads ask for it at the same time: the others wait for
/// the first. Nothing is allocated before its bytes are counted.
class ContentBudget {
  public:
    /// What a request came to.
    enum class Outcome {
        Ok,        ///< the bytes were copied
        TooLarge,  ///< the file needs more than the whole limit
        Failed,    ///< the fetch failed
    };

    /// A budget of `limit` bytes.
    explicit ContentBudget(std::size_t limit) : limit_(limit) {}

    ContentBudget(const ContentBudget&) = delete;
    ContentBudget& operator=(const ContentBudget&) = delete;

    /// Copies the bytes of file `key` from `offset` on, at most `out.size()`
    /// of them, into `out`; `copied` tells how many. When the file is not
    /// kept, `fetch` fills a buffer with it, `need` bytes being counted
    /// while it runs (the most it may allocate), and the file is kept.
    Outcome read_kept(std::uint64_t key, std::size_t need,
                      const std::function<bool(tarnwick_dat::Bytes&)>& fetch, std::uint64_t offset,
                      std::span<std::uint8_t> out, std::size_t& copied);

    /// Counts `bytes` for a read in flight, dropping kept files or waiting
    /// for other reads to finish until they fit. False (and nothing
    /// counted) when they exceed the whole limit.
    bool reserve(std::size_t bytes);
    /// Gives back what `reserve` counted.
    void release(std::size_t bytes);

    /// The limit.
    std::size_t limit() const { return limit_; }
    /// Bytes counted now (for tests and benchmarks).
    std::size_t used() const;

  private:
    // What a kept file costs beyond its bytes: its map node and list node.
    static constexpr std::size_t kKeptOverhead = 128;

    struct Kept {
        tarnwick_dat::Bytes bytes;
        bool ready = false;
        std::list<std::uint64_t>::iterator recent;
    };

    // Waits, with `lock` held, until `bytes` fit, dropping kept files first.
    void make_room(std::unique_lock<std::mutex>& lock, std::size_t bytes);

    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t used_ = 0;
    std::unordered_map<std::uint64_t, Kept> kept_;
    // Ready files, most recently used first.
    std::list<std::uint64_t> recent_;
};

/// Streaming readers of large files by key, each where the last read that
/// used it ended, so that a file read from start to end is read and decoded
/// once, without holding it; at most `capacity` are kept, the least
/// recently used dropped first. Each holds a few hundred KiB.
class ReaderPool {
  public:
    /// A pool of at most `capacity` idle readers.
    explicit ReaderPool(std::size_t capacity) : capacity_(capacity) {}

    ReaderPool(const ReaderPool&) = delete;
    ReaderPool& operator=(const ReaderPool&) = delete;

    /// Takes out the reader of `key` that has gone farthest without passing
    /// `offset`, or nothing when none has.
    std::optional<tarnwick_dat::FileReader> take(std::uint64_t key, std::uint64_t offset);
    /// Keeps `reader` of `key` for later reads, dropping the least recently
    /// used one when the pool is full.
    void give(std::uint64_t key, tarnwick_dat::FileReader reader);

    /// Readers kept now (for tests).
    std::size_t size() const;

  private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    // Most recently used first.
    std::list<std::pair<std::uint64_t, tarnwick_dat::FileReader>> idle_;
};

}  // namespace tarnwick_dat_tool
