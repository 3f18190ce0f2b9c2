// A block chain followed a piece at a time: the stored bytes of one chain in
// order, without holding them all, with the same reads, tests and failures
// as gathering the chain whole (block_chain.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "internal/block_chain.hpp"
#include "internal/block_set.hpp"
#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/file_reader.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat/result.hpp"
#include "tarnwick_dat/utils.hpp"

namespace tarnwick_dat {

class DatDatabase;

namespace detail {

// The library's own view into an opened database.
struct DatabaseAccess {
    static const ReadOnlyFile& file(const DatDatabase& db);
    static const BlockChain& chain(const DatDatabase& db);
};

}  // namespace detail

// What a chain does when it comes back to a block it has read.
enum class OnLoop : std::uint8_t {
    // Stop there: `next` gives an empty piece and `loop()` says where.
    Stop,
    // Go on as the lenient whole-chain gather does: the rest of the length
    // repeats what the loop holds. The loop's bytes are kept (up to 1 MiB)
    // once read again, so that a short loop costs no more reads; a longer
    // one is followed again from the file.
    Repeat,
};

// The stored bytes of one chain, handed out in pieces. Memory: the read-ahead
// window (at most 256 KiB), a piece of an over-long last block (256 KiB), a
// set of the blocks passed (a few bytes per block) and, repeating, at most
// 1 MiB of a loop's bytes.
class ChainStream {
  public:
    // The `length` bytes of the chain from `offset` in `db`; `trace`, when
    // given, records the blocks met, the loop and the over-long last block
    // as the whole-chain gather records them (reads are counted in `next`'s
    // counts instead). With `memo` given, blocks are taken from it and kept
    // in it as the whole-chain gather does.
    ChainStream(const DatDatabase& db, std::uint32_t offset, std::uint32_t length,
                OnLoop on_loop = OnLoop::Stop, ChainTrace* trace = nullptr,
                detail::BlockMemo* memo = nullptr);

    // The next piece of stored bytes, valid until the next call; empty at
    // the end of the chain and, with `OnLoop::Stop`, once a loop is met.
    // Fails with the chain's `Io` error where the gather fails.
    Result<std::span<const std::uint8_t>, DatError> next(ReadCounts& counts);

    // Where the chain looped, once it has.
    const std::optional<ChainLoop>& loop() const { return loop_; }
    // Bytes not yet handed out.
    std::uint64_t missing() const { return missing_; }

  private:
    // The next piece read from the file.
    Result<std::span<const std::uint8_t>, DatError> next_from_file(ReadCounts& counts);
    // The next piece of a loop kept in memory.
    std::span<const std::uint8_t> next_from_cycle();

    const ReadOnlyFile& file_;
    std::uint64_t archive_length_;
    std::uint64_t block_size_;
    std::uint64_t block_;
    std::uint64_t missing_;
    OnLoop on_loop_;
    ChainTrace* trace_;
    detail::BlockMemo* memo_;
    // The current block is to be kept once read.
    bool keep_ = false;
    Bytes window_;
    std::uint64_t window_start_ = 0;
    std::uint64_t window_length_ = 0;
    std::uint64_t run_ = 0;
    bool first_ = true;
    bool in_block_ = false;
    std::uint32_t link_ = 0;
    std::uint64_t payload_at_ = 0;
    std::uint64_t left_ = 0;
    Bytes tail_;
    detail::BlockSet blocks_;
    std::size_t blocks_met_ = 0;
    std::optional<ChainLoop> loop_;
    // Repeating: the loop's bytes as read again, while they fit; once the
    // loop has come round (`cycle_whole_`), pieces come from here.
    Bytes cycle_;
    bool cycle_kept_ = true;
    bool cycle_whole_ = false;
    std::size_t cycle_at_ = 0;
};

}  // namespace tarnwick_dat
