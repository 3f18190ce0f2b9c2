// The memory a mount may spend on file contents: decoded files kept for
// later reads, and the buffers of the reads in flight, together within one
// limit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <span>
#include <tarnwick_dat/record_reader.hpp>
#include <unordered_map>

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

}  // namespace tarnwick_dat_tool
