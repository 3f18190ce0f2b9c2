// The blocks shared by the chains of one pass (see shared_blocks.hpp): one
// bit per block position noting the blocks passed, and the blocks passed
// more than once, kept once read.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "tarnwick_dat/utils.hpp"

namespace tarnwick_dat::detail {

class BlockMemo {
  public:
    // For an archive of `archive_length` bytes in blocks of `block_size`,
    // keeping at most `limit` bytes.
    BlockMemo(std::uint64_t archive_length, std::uint32_t block_size, std::uint64_t limit);
    BlockMemo(const BlockMemo&) = delete;
    BlockMemo& operator=(const BlockMemo&) = delete;
    ~BlockMemo();

    // Notes that a chain passes `block`; true when one had passed it, or a
    // block starting in the same block position, before.
    bool pass(std::uint32_t block);
    // Sets `into` to the kept link and payload of `block`; false, leaving
    // `into` as it was, when the block is not kept.
    bool find(std::uint32_t block, Bytes& into);
    // Keeps `block`'s link and payload unless as much of it is kept already
    // or the limit would be passed.
    void keep(std::uint32_t block, std::uint32_t link, std::span<const std::uint8_t> payload);

    std::uint64_t kept_bytes() const { return used_.load(std::memory_order_relaxed); }

  private:
    // Bits of block positions per page; pages are made when first reached.
    static constexpr std::uint64_t kPageBits = std::uint64_t{1} << 15;
    static constexpr std::size_t kShards = 16;

    // Kept blocks whose hash falls on one shard: an open-addressed index of
    // (block << 32 | offset + 1), 0 for a free slot, into an arena of
    // records (link, payload length, payload).
    struct Shard {
        std::mutex mutex;
        std::vector<std::uint64_t> index;
        std::size_t count = 0;
        Bytes arena;
    };

    // The slot holding `block`, or the free slot where it would go.
    static std::size_t slot_of(const std::vector<std::uint64_t>& index, std::uint32_t block,
                               std::uint64_t hash);

    std::uint64_t block_size_;
    std::uint64_t limit_;
    std::size_t page_count_;
    std::unique_ptr<std::atomic<std::atomic<std::uint64_t>*>[]> pages_;
    std::unique_ptr<Shard[]> shards_;
    std::atomic<std::uint64_t> used_{0};
};

}  // namespace tarnwick_dat::detail
