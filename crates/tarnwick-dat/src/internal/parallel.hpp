// The library's own worker pool: items numbered 0..n-1 handed to workers in
// chunks, with progress reported on the calling thread. Used by the
// whole-archive passes (verification, comparison, content hashing); not a
// general-purpose interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tarnwick_dat::detail {

/// Called on the calling thread with the items done and the total; last with
/// done == total. May be empty.
using ProgressFn = std::function<void(std::uint64_t done, std::uint64_t total)>;

/// The workers to start for `items` items taken `chunk` at a time when
/// `requested` are asked for (0: the hardware's concurrency): at least 1,
/// never more than there are chunks.
unsigned worker_count(unsigned requested, std::size_t items, std::size_t chunk);

/// Runs `work(worker, item)` for every item in 0..`items`-1 on `workers`
/// threads (worker numbers 0..`workers`-1; each worker's calls run one after
/// another, so per-worker state needs no lock). Workers take `chunk` items
/// at a time. `progress`, when set, is called about every 50 ms and once at
/// the end. With one worker and no progress, runs on the calling thread.
void run_in_chunks(std::size_t items, unsigned workers, std::size_t chunk,
                   const ProgressFn& progress,
                   const std::function<void(unsigned worker, std::size_t item)>& work);

}  // namespace tarnwick_dat::detail
