// Blocks shared by the chains of one pass, kept once read.

#include "shared_blocks.hpp"

#include <algorithm>
#include <cstring>

#include "internal/block_memo.hpp"
#include "lib.hpp"
#include "record_reader.hpp"

namespace tarnwick_dat {

namespace detail {

namespace {

// Spreads a block's offset over 64 bits: the top bits choose the shard, the
// low ones the slot (offsets are multiples of the block size, so their own
// low bits are mostly zero).
std::uint64_t mix(std::uint32_t block) {
    std::uint64_t z = block + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void store_le32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

constexpr std::size_t kRecordHead = 8;  // payload length, then the link
constexpr std::uint64_t kLargestArena = 0xFFFFFFF0u;

}  // namespace

BlockMemo::BlockMemo(std::uint64_t archive_length, std::uint32_t block_size, std::uint64_t limit)
    : block_size_(std::max<std::uint32_t>(block_size, 1)),
      limit_(limit),
      // Links are 32 bits: no block starts past 4 GiB.
      page_count_(static_cast<std::size_t>(
          (std::min(archive_length, std::uint64_t{1} << 32) / block_size_ + kPageBits) /
          kPageBits)),
      pages_(std::make_unique<std::atomic<std::atomic<std::uint64_t>*>[]>(page_count_)),
      shards_(std::make_unique<Shard[]>(kShards)) {}

BlockMemo::~BlockMemo() {
    for (std::size_t i = 0; i < page_count_; ++i) {
        delete[] pages_[i].load(std::memory_order_relaxed);
    }
}

bool BlockMemo::pass(std::uint32_t block) {
    const std::uint64_t position = block / block_size_;
    const std::uint64_t page = position / kPageBits;
    if (page >= page_count_) {
        return false;
    }
    std::atomic<std::atomic<std::uint64_t>*>& cell = pages_[static_cast<std::size_t>(page)];
    std::atomic<std::uint64_t>* bits = cell.load(std::memory_order_acquire);
    if (bits == nullptr) {
        auto* fresh = new std::atomic<std::uint64_t>[kPageBits / 64]();
        if (cell.compare_exchange_strong(bits, fresh, std::memory_order_acq_rel)) {
            bits = fresh;
        } else {
            delete[] fresh;  // another thread made it first
        }
    }
    const std::uint64_t bit = std::uint64_t{1} << (position % 64);
    return (bits[(position % kPageBits) / 64].fetch_or(bit, std::memory_order_relaxed) & bit) != 0;
}

std::size_t BlockMemo::slot_of(const std::vector<std::uint64_t>& index, std::uint32_t block,
                               std::uint64_t hash) {
    const std::size_t mask = index.size() - 1;
    std::size_t slot = static_cast<std::size_t>(hash) & mask;
    while (index[slot] != 0 && (index[slot] >> 32) != block) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

bool BlockMemo::find(std::uint32_t block, Bytes& into) {
    if (used_.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    const std::uint64_t hash = mix(block);
    Shard& shard = shards_[hash >> 60];
    const std::lock_guard lock(shard.mutex);
    if (shard.index.empty()) {
        return false;
    }
    const std::uint64_t entry = shard.index[slot_of(shard.index, block, hash)];
    if (entry == 0) {
        return false;
    }
    const std::uint8_t* record = shard.arena.data() + ((entry & 0xFFFFFFFFu) - 1);
    const std::size_t payload = load_le32(record);
    into.assign(record + 4, record + kRecordHead + payload);
    return true;
}

void BlockMemo::keep(std::uint32_t block, std::uint32_t link,
                     std::span<const std::uint8_t> payload) {
    const std::uint64_t hash = mix(block);
    Shard& shard = shards_[hash >> 60];
    const std::lock_guard lock(shard.mutex);
    if (!shard.index.empty()) {
        const std::uint64_t entry = shard.index[slot_of(shard.index, block, hash)];
        if (entry != 0 &&
            load_le32(shard.arena.data() + ((entry & 0xFFFFFFFFu) - 1)) >= payload.size()) {
            return;
        }
    }
    // Takes `n` bytes of the limit, unless that would pass it.
    const auto take = [this](std::uint64_t n) {
        std::uint64_t used = used_.load(std::memory_order_relaxed);
        do {
            if (used + n > limit_) {
                return false;
            }
        } while (!used_.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
        return true;
    };
    const std::size_t need = kRecordHead + payload.size();
    const std::size_t end = shard.arena.size() + need;
    if (end > kLargestArena) {
        return;
    }
    if (end > shard.arena.capacity()) {
        const std::size_t capacity = shard.arena.capacity();
        std::size_t grown = std::max({end, capacity + capacity / 2, std::size_t{4096}});
        if (!take(grown - capacity)) {
            grown = end;
            if (!take(grown - capacity)) {
                return;
            }
        }
        shard.arena.reserve(grown);
    }
    // The index stays at most half full.
    if (2 * (shard.count + 1) > shard.index.size()) {
        const std::size_t size = std::max<std::size_t>(64, 2 * shard.index.size());
        if (!take((size - shard.index.size()) * sizeof(std::uint64_t))) {
            return;
        }
        std::vector<std::uint64_t> grown(size, 0);
        for (const std::uint64_t entry : shard.index) {
            if (entry != 0) {
                const auto at = static_cast<std::uint32_t>(entry >> 32);
                grown[slot_of(grown, at, mix(at))] = entry;
            }
        }
        shard.index.swap(grown);
    }
    const std::size_t offset = shard.arena.size();
    shard.arena.resize(offset + need);
    std::uint8_t* record = shard.arena.data() + offset;
    store_le32(record, static_cast<std::uint32_t>(payload.size()));
    store_le32(record + 4, link);
    if (!payload.empty()) {
        std::memcpy(record + kRecordHead, payload.data(), payload.size());
    }
    std::uint64_t& entry = shard.index[slot_of(shard.index, block, hash)];
    if (entry == 0) {
        ++shard.count;
    }
    entry = (std::uint64_t{block} << 32) | (offset + 1);
}

}  // namespace detail

SharedBlocks::SharedBlocks(const DatDatabase& db)
    : SharedBlocks(db, default_limit(db.archive_length())) {}

SharedBlocks::SharedBlocks(const DatDatabase& db, std::uint64_t kept_limit)
    : memo_(std::make_unique<detail::BlockMemo>(db.archive_length(), db.header().block_size,
                                                kept_limit)) {}

SharedBlocks::~SharedBlocks() = default;

std::uint64_t SharedBlocks::kept_bytes() const {
    return memo_->kept_bytes();
}

std::uint64_t SharedBlocks::default_limit(std::uint64_t archive_length) {
    constexpr std::uint64_t kMost = std::uint64_t{64} << 20;
    return std::min(kMost, std::min(archive_length, kMost) * 8 + (std::uint64_t{1} << 20));
}

}  // namespace tarnwick_dat
