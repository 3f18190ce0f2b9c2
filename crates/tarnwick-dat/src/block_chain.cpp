// Block chains: gathering a length of bytes along a chain of fixed-size
// blocks, each starting with the link to the next.
//
// Each block is read once, link and payload together. Blocks that lie one
// after another are read in one go: the first read of a chain fetches ahead
// as far as the chain would reach if it were contiguous (a directory node's
// two blocks in one read), unless the last chain read through the same
// scratch left its adjacent blocks, and later reads fetch ahead only while
// the links keep pointing at the next block, doubling as the run grows.
// Payload is appended to the result as it comes, so no byte of it is
// cleared before it is filled. A chain whose
// links come back to a block already read repeats what it has read from that
// block on, so the rest is copied from memory instead of being read again.
// Within a pass over many files (a memo given), a block that another chain
// passed before is kept once read, and the chains that meet it later take it
// from the memo as if it were the window.

#include "internal/block_chain.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal/block_memo.hpp"
#include "internal/database.hpp"
#include "lib.hpp"

namespace tarnwick_dat {

namespace {

// Payload beyond what a read fetched ahead goes straight into the result in
// pieces of this size, so that the result grows only with the bytes the file
// really gives.
constexpr std::size_t kGrowStep = std::size_t{1} << 20;
// Chains up to this many blocks look for a loop by scanning; longer ones
// switch to a hash map.
constexpr std::size_t kScannedBlocks = 32;

// The blocks read so far, with where each one's payload starts in the
// result: a chain that comes back to one of them repeats from there.
class BlocksRead {
  public:
    void add(std::uint32_t block, std::size_t payload_at) {
        if (map_.empty() && count_ < kScannedBlocks) {
            list_[count_++] = Seen{block, payload_at};
            return;
        }
        if (map_.empty()) {
            for (std::size_t i = 0; i < count_; ++i) {
                map_.emplace(list_[i].block, list_[i].payload_at);
            }
        }
        map_.emplace(block, payload_at);
    }

    std::optional<std::size_t> find(std::uint32_t block) const {
        if (map_.empty()) {
            for (std::size_t i = 0; i < count_; ++i) {
                if (list_[i].block == block) {
                    return list_[i].payload_at;
                }
            }
            return std::nullopt;
        }
        const auto found = map_.find(block);
        return found == map_.end() ? std::nullopt : std::optional<std::size_t>(found->second);
    }

  private:
    struct Seen {
        std::uint32_t block;
        std::size_t payload_at;
    };
    // The first blocks in place, so that short chains allocate nothing; left
    // uninitialised, as only the first `count_` are ever read.
    std::array<Seen, kScannedBlocks> list_;
    std::size_t count_ = 0;
    std::unordered_map<std::uint32_t, std::size_t> map_;
};

// Fills `out` from `filled` up to `length` with the bytes that repeat from
// `loop_start` on: from there on the result has the period `filled -
// loop_start`. Each copy doubles the stretch that is known to repeat.
void repeat_loop(Bytes& out, std::size_t loop_start, std::size_t filled, std::size_t length) {
    out.resize(length);
    while (filled < length) {
        const std::size_t n = std::min(length - filled, filled - loop_start);
        std::memcpy(out.data() + filled, out.data() + loop_start, n);
        filled += n;
    }
}

DatError io_error(IoError error) {
    return DatError::io(std::move(error));
}

}  // namespace

Result<Bytes, DatError> DatDatabase::read_file_data(std::uint32_t offset, std::uint32_t length,
                                                    ChainTrace* trace) const {
    Bytes out;
    if (auto read = read_file_data_into(offset, length, out, trace); !read) {
        return Err{std::move(read).error()};
    }
    return out;
}

Result<void, DatError> DatDatabase::read_file_data_into(std::uint32_t offset, std::uint32_t length,
                                                        Bytes& out, ChainTrace* trace) const {
    // The call's own scratch: it grows only as far as the reads fetch ahead,
    // which is the chain's first blocks for a short file.
    ChainScratch scratch;
    return parts_->chain_.read_into(offset, length, out, scratch, trace);
}

Result<void, DatError> BlockChain::read_into(std::uint32_t offset, std::uint32_t length, Bytes& out,
                                             ChainScratch& scratch, ChainTrace* trace,
                                             std::optional<ChainLoop>* loop,
                                             detail::BlockMemo* memo) const {
    out.clear();
    if (length == 0) {
        return {};
    }
    // Every payload byte comes from a distinct byte of the file, so a length
    // beyond the file's size cannot be gathered; refusing it here keeps a
    // damaged size from costing anything.
    if (length > archive_length_) {
        return Err{io_error(IoError::unexpected_eof())};
    }

    const std::uint64_t block_size = block_size_;
    const std::uint64_t payload_per_block = block_size - kBlockLinkSize;
    // What a read fetched ahead; never more than `kMaxWindow`.
    Bytes& window = scratch.window;
    std::uint64_t window_start = 0;
    std::size_t window_length = 0;
    std::uint64_t run = 0;  // bytes of the current run of adjacent blocks
    bool first = true;
    BlocksRead blocks_read;
    std::size_t blocks_met = 0;
    std::uint64_t block = offset;
    std::size_t filled = 0;

    while (filled < length) {
        const std::size_t missing = length - filled;
        const std::uint64_t one_block =
            kBlockLinkSize + std::min<std::uint64_t>(missing, payload_per_block);
        const bool shared = memo != nullptr && memo->pass(static_cast<std::uint32_t>(block));
        bool kept = false;
        if ((block < window_start || block + kBlockLinkSize > window_start + window_length) &&
            shared && memo->find(static_cast<std::uint32_t>(block), window)) {
            window_start = block;
            window_length = window.size();
            kept = true;
        }
        if (block < window_start || block + kBlockLinkSize > window_start + window_length) {
            std::uint64_t want = one_block;
            if (first && !scratch.scattered) {
                want =
                    std::max(want, std::min(contiguous_span(missing, payload_per_block, block_size),
                                            kFirstWindow));
            } else if (run > 0) {
                want = std::max(
                    want,
                    std::min(contiguous_span(missing, payload_per_block, block_size), 2 * run));
            }
            want = std::min(want, kMaxWindow);
            if (window.size() < want) {
                window.resize(static_cast<std::size_t>(want));
            }
            auto got =
                file_.read_at_most(std::span(window).first(static_cast<std::size_t>(want)), block);
            if (trace != nullptr) {
                ++trace->reads;
            }
            if (!got) {
                out.clear();
                return Err{io_error(std::move(got).error())};
            }
            window_start = block;
            window_length = got.value();
            if (window_length < kBlockLinkSize) {
                out.clear();
                return Err{io_error(IoError::unexpected_eof())};
            }
        }
        first = false;

        const std::uint32_t link = load_le32(window.data() + (block - window_start));
        // The last block holds everything still missing, however long.
        const std::size_t take =
            link != 0
                ? static_cast<std::size_t>(std::min<std::uint64_t>(missing, payload_per_block))
                : missing;
        const std::uint64_t payload_at = block + kBlockLinkSize;
        const std::size_t payload_start = filled;
        std::size_t from_window = 0;
        if (payload_at < window_start + window_length) {
            from_window = std::min<std::size_t>(
                take, static_cast<std::size_t>(window_start + window_length - payload_at));
            const std::uint8_t* const from = window.data() + (payload_at - window_start);
            out.insert(out.end(), from, from + from_window);
            filled += from_window;
        }
        std::uint64_t position = payload_at + from_window;
        // What lies past the end of the file cannot be gathered: fail before
        // reading (and allocating for) a huge last block that would only run
        // off the end.
        if (position + (take - from_window) > archive_length_) {
            out.clear();
            return Err{io_error(IoError::unexpected_eof())};
        }
        for (std::size_t rest = take - from_window; rest > 0;) {
            const std::size_t step = std::min(rest, kGrowStep);
            out.resize(filled + step);
            auto read = file_.read_exact_at_compat(std::span(out).subspan(filled, step), position);
            if (trace != nullptr) {
                ++trace->reads;
            }
            if (!read) {
                out.clear();
                return Err{io_error(std::move(read).error())};
            }
            filled += step;
            position += step;
            rest -= step;
        }
        if (shared && !kept && take <= kMaxWindow - kBlockLinkSize) {
            memo->keep(static_cast<std::uint32_t>(block), link,
                       std::span(out).subspan(payload_start,
                                              std::min<std::size_t>(take, payload_per_block)));
        }
        if (trace != nullptr) {
            trace->blocks.push_back(static_cast<std::uint32_t>(block));
            if (take > payload_per_block) {
                trace->tail_overrun = take - payload_per_block;
            }
        }
        if (filled == length) {
            break;
        }

        // Only a linked block leaves bytes missing; a chain that comes back
        // to a block it has read repeats from that block's payload on.
        blocks_read.add(static_cast<std::uint32_t>(block), payload_start);
        ++blocks_met;
        if (const auto loop_start = blocks_read.find(link)) {
            if (loop != nullptr) {
                out.clear();
                *loop = ChainLoop{link, blocks_met};
                return {};
            }
            repeat_loop(out, *loop_start, filled, length);
            if (trace != nullptr) {
                trace->looped = true;
            }
            break;
        }
        const bool adjacent = link == block + block_size;
        scratch.scattered = !adjacent;
        run = adjacent ? run + block_size : 0;
        block = link;
    }
    return {};
}

DatError chain_loop_error(std::uint32_t id, const ChainLoop& loop) {
    return DatError::corruption(
        fmt::format("file 0x{:08X}: its block chain loops back to block 0x{:08X} after {} block{}",
                    id, loop.block, loop.after, loop.after == 1 ? "" : "s"));
}

}  // namespace tarnwick_dat
