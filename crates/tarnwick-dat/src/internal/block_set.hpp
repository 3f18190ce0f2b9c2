// A set of block offsets in one flat array (open addressing), so that
// remembering the blocks of a chain or the nodes of a walk costs a few bytes
// per block and no allocation per block.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick_dat::detail {

class BlockSet {
  public:
    // Adds `block`; false when it was there already.
    bool insert(std::uint32_t block) {
        if (block == 0) {
            const bool added = !has_zero_;
            has_zero_ = true;
            return added;
        }
        if ((size_ + 1) * 2 > slots_.size()) {
            grow();
        }
        if (!place(slots_, block)) {
            return false;
        }
        ++size_;
        return true;
    }

    bool contains(std::uint32_t block) const {
        if (block == 0) {
            return has_zero_;
        }
        if (slots_.empty()) {
            return false;
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = first_slot(slots_, block);; i = (i + 1) & mask) {
            if (slots_[i] == block) {
                return true;
            }
            if (slots_[i] == 0) {
                return false;
            }
        }
    }

    // The blocks added.
    std::size_t size() const { return size_ + (has_zero_ ? 1 : 0); }

  private:
    // Offsets are multiples of the block size, so their low bits say
    // nothing: the slot comes from the top bits of the product, which every
    // bit of the offset reaches.
    static std::size_t first_slot(const std::vector<std::uint32_t>& slots, std::uint32_t block) {
        const auto bits = static_cast<unsigned>(std::countr_zero(slots.size()));
        const std::uint64_t mixed = std::uint64_t{block} * 0x9E3779B97F4A7C15u;
        return static_cast<std::size_t>(bits == 0 ? 0 : mixed >> (64 - bits));
    }

    static bool place(std::vector<std::uint32_t>& slots, std::uint32_t block) {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = first_slot(slots, block);; i = (i + 1) & mask) {
            if (slots[i] == block) {
                return false;
            }
            if (slots[i] == 0) {
                slots[i] = block;
                return true;
            }
        }
    }

    void grow() {
        std::vector<std::uint32_t> bigger(slots_.empty() ? 64 : slots_.size() * 2, 0);
        for (const std::uint32_t block : slots_) {
            if (block != 0) {
                place(bigger, block);
            }
        }
        slots_.swap(bigger);
    }

    std::vector<std::uint32_t> slots_;
    std::size_t size_ = 0;
    bool has_zero_ = false;
};

}  // namespace tarnwick_dat::detail
