// The chains of fixed-size blocks an archive stores its files and directory
// nodes in, each block starting with the link to the next.
#pragma once

#include <cstdint>
#include <optional>

#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/result.hpp"
#include "tarnwick_dat/utils.hpp"

namespace tarnwick_dat {

namespace detail {
class BlockMemo;
}  // namespace detail

// The most one read of a chain fetches ahead, and what the first read of a
// chain fetches when its blocks may lie one after another.
inline constexpr std::uint64_t kMaxWindow = 256 * 1024;
inline constexpr std::uint64_t kFirstWindow = 64 * 1024;

// File bytes spanned by the blocks that hold `missing` more payload bytes if
// they lie one after another: whole blocks, then the last one's link and as
// much of its payload as is still missing.
inline std::uint64_t contiguous_span(std::uint64_t missing, std::uint64_t payload_per_block,
                                     std::uint64_t block_size) {
    const std::uint64_t whole = (missing - 1) / payload_per_block;
    return whole * block_size + kBlockLinkSize + (missing - whole * payload_per_block);
}

// What chain reads fetch ahead into, owned by whoever reads (a fetch, a
// directory walk) and kept between its reads so that they do not allocate
// again; never shared between threads. It grows only as far as the reads
// fetch ahead, at most 256 KiB, and never shrinks, so that a read into it
// never clears bytes it is about to fill.
//
// It also remembers how the last link it followed lay: once a chain has
// left the block after the one it was in, the next chain read through the
// same scratch starts with one block, as an archive whose chains are
// scattered would make most of a longer first read wasted.
struct ChainScratch {
    Bytes window;
    bool scattered = false;
};

// Where a chain came back to a block it had read: that block, and the
// distinct blocks read before.
struct ChainLoop {
    std::uint32_t block = 0;
    std::size_t after = 0;
};

// The strict fetch's error for file `id` whose chain loops.
DatError chain_loop_error(std::uint32_t id, const ChainLoop& loop);

// Reads chains from one archive file, given its block size and its length as
// it was when opened. Holds only a reference to the file: reads are
// positional, so any number of threads may read at once, each with its own
// scratch.
class BlockChain {
  public:
    BlockChain(const ReadOnlyFile& file, std::uint32_t block_size, std::uint64_t archive_length)
        : file_(file), block_size_(block_size), archive_length_(archive_length) {}

    // Gathers `length` bytes along the chain from `offset` into `out` (see
    // `DatDatabase::read_file_data_into`, which this is).
    // With `loop` given, a chain that comes back to a block it has read
    // stops there, leaving `out` empty and `*loop` set. With `memo` given,
    // the blocks are noted as passed, and a block some chain of the pass
    // passed before is copied from the memo when kept, else kept once read.
    Result<void, DatError> read_into(std::uint32_t offset, std::uint32_t length, Bytes& out,
                                     ChainScratch& scratch, ChainTrace* trace = nullptr,
                                     std::optional<ChainLoop>* loop = nullptr,
                                     detail::BlockMemo* memo = nullptr) const;

  private:
    const ReadOnlyFile& file_;
    std::uint64_t block_size_;
    std::uint64_t archive_length_;
};

}  // namespace tarnwick_dat
