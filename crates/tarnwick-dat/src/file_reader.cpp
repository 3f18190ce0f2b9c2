// Reading one file in pieces. The chain is followed as the whole-file fetch
// (block_chain.cpp) follows it: each block read once, link and payload
// together, blocks that lie one after another fetched ahead in one read,
// the same tests at the same places, so that the reader fails exactly where
// and as the strict whole-file fetch does. Only the bytes differ in where
// they go: into a read-ahead window of at most 256 KiB, handed on piece by
// piece, instead of into one buffer of the file's size.

#include "file_reader.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "internal/block_chain.hpp"
#include "internal/block_memo.hpp"
#include "internal/chain_stream.hpp"
#include "internal/database.hpp"
#include "shared_blocks.hpp"

namespace tarnwick_dat {

namespace {

// An over-long last block is read in pieces of this size.
constexpr std::size_t kTailPiece = 256 * 1024;
// A repeating chain keeps its loop's bytes up to this length.
constexpr std::size_t kKeptCycle = std::size_t{1} << 20;

}  // namespace

namespace detail {

const ReadOnlyFile& DatabaseAccess::file(const DatDatabase& db) {
    return db.parts_->file_;
}

const BlockChain& DatabaseAccess::chain(const DatDatabase& db) {
    return db.parts_->chain_;
}

}  // namespace detail

ChainStream::ChainStream(const DatDatabase& db, std::uint32_t offset, std::uint32_t length,
                         OnLoop on_loop, ChainTrace* trace, detail::BlockMemo* memo)
    : file_(detail::DatabaseAccess::file(db)),
      archive_length_(db.archive_length()),
      block_size_(db.header().block_size),
      block_(offset),
      missing_(length),
      on_loop_(on_loop),
      trace_(trace),
      memo_(memo) {}

Result<std::span<const std::uint8_t>, DatError> ChainStream::next(ReadCounts& counts) {
    if (missing_ == 0 || (loop_ && on_loop_ == OnLoop::Stop)) {
        return std::span<const std::uint8_t>();
    }
    if (cycle_whole_) {
        return next_from_cycle();
    }
    return next_from_file(counts);
}

std::span<const std::uint8_t> ChainStream::next_from_cycle() {
    if (cycle_at_ == cycle_.size()) {
        cycle_at_ = 0;
    }
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(missing_, cycle_.size() - cycle_at_));
    const auto piece = std::span<const std::uint8_t>(cycle_).subspan(cycle_at_, n);
    cycle_at_ += n;
    missing_ -= n;
    return piece;
}

Result<std::span<const std::uint8_t>, DatError> ChainStream::next_from_file(ReadCounts& counts) {
    // Every payload byte comes from a distinct byte of the file.
    if (first_ && missing_ > archive_length_) {
        return Err{DatError::io(IoError::unexpected_eof())};
    }
    const std::uint64_t payload_per_block = block_size_ - kBlockLinkSize;
    if (!in_block_) {
        // A block some chain of the pass passed before: from the memo when
        // kept, else kept once read.
        keep_ = memo_ != nullptr && memo_->pass(static_cast<std::uint32_t>(block_));
        if (keep_ &&
            (block_ < window_start_ || block_ + kBlockLinkSize > window_start_ + window_length_) &&
            memo_->find(static_cast<std::uint32_t>(block_), window_)) {
            window_start_ = block_;
            window_length_ = window_.size();
            keep_ = false;
        }
        if (block_ < window_start_ || block_ + kBlockLinkSize > window_start_ + window_length_) {
            std::uint64_t want = kBlockLinkSize + std::min(missing_, payload_per_block);
            if (first_) {
                want = std::max(want,
                                std::min(contiguous_span(missing_, payload_per_block, block_size_),
                                         kFirstWindow));
            } else if (run_ > 0) {
                want = std::max(
                    want,
                    std::min(contiguous_span(missing_, payload_per_block, block_size_), 2 * run_));
            }
            want = std::min(want, kMaxWindow);
            window_.resize(static_cast<std::size_t>(want));
            auto got = file_.read_at_most(window_, block_);
            ++counts.reads;
            if (!got) {
                return Err{DatError::io(std::move(got).error())};
            }
            window_start_ = block_;
            window_length_ = got.value();
            if (window_length_ < kBlockLinkSize) {
                return Err{DatError::io(IoError::unexpected_eof())};
            }
        }
        first_ = false;
        link_ = load_le32(window_.data() + (block_ - window_start_));
        // The last block holds everything still missing, however long.
        left_ = link_ != 0 ? std::min(missing_, payload_per_block) : missing_;
        payload_at_ = block_ + kBlockLinkSize;
        in_block_ = true;
    }
    std::span<const std::uint8_t> piece;
    if (payload_at_ < window_start_ + window_length_) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(left_, window_start_ + window_length_ - payload_at_));
        piece = std::span<const std::uint8_t>(window_).subspan(
            static_cast<std::size_t>(payload_at_ - window_start_), n);
        if (keep_ && n == left_ && payload_at_ == block_ + kBlockLinkSize) {
            memo_->keep(static_cast<std::uint32_t>(block_), link_,
                        piece.first(static_cast<std::size_t>(
                            std::min<std::uint64_t>(n, payload_per_block))));
        }
    } else {
        // What lies past the end of the file cannot be gathered: fail
        // before reading any of it, as the whole-chain gather does.
        if (payload_at_ + left_ > archive_length_) {
            return Err{DatError::io(IoError::unexpected_eof())};
        }
        tail_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left_, kTailPiece)));
        auto read = file_.read_exact_at_compat(tail_, payload_at_);
        ++counts.reads;
        if (!read) {
            return Err{DatError::io(std::move(read).error())};
        }
        piece = tail_;
    }
    payload_at_ += piece.size();
    left_ -= piece.size();
    missing_ -= piece.size();
    counts.stored_bytes += piece.size();
    if (loop_ && cycle_kept_) {
        if (cycle_.size() + piece.size() <= kKeptCycle) {
            cycle_.insert(cycle_.end(), piece.begin(), piece.end());
        } else {
            cycle_kept_ = false;
            Bytes().swap(cycle_);
        }
    }
    if (left_ == 0) {
        in_block_ = false;
        if (!loop_ && trace_ != nullptr) {
            trace_->blocks.push_back(static_cast<std::uint32_t>(block_));
            // Only a last block (link 0) takes more than one payload.
            const std::uint64_t took = payload_at_ - (block_ + kBlockLinkSize);
            if (took > payload_per_block) {
                trace_->tail_overrun = took - payload_per_block;
            }
        }
        if (missing_ > 0) {
            // Only a linked block leaves bytes missing.
            if (loop_) {
                // Repeating: the loop has come round once its first block
                // is next again.
                if (link_ == loop_->block && cycle_kept_) {
                    cycle_whole_ = true;
                }
            } else {
                blocks_.insert(static_cast<std::uint32_t>(block_));
                ++blocks_met_;
                if (blocks_.contains(link_)) {
                    loop_ = ChainLoop{link_, blocks_met_};
                    if (trace_ != nullptr && on_loop_ == OnLoop::Repeat) {
                        trace_->looped = true;
                    }
                    // `tail_` stays: the piece handed out now may lie in it.
                }
            }
            run_ = link_ == block_ + block_size_ ? run_ + block_size_ : 0;
            block_ = link_;
        }
    }
    return piece;
}

// The chain of one file, handed out as pieces of stored bytes.
struct FileReader::Chain : ChainStream {
    using ChainStream::ChainStream;
};

FileReader::FileReader(const DatDatabase& db, const DatFileEntry& entry, SharedBlocks* shared)
    : id_(entry.id),
      compressed_(entry.is_compressed()),
      size_(entry.size),
      chain_(std::make_unique<Chain>(db, entry.offset, entry.size, OnLoop::Stop, nullptr,
                                     shared != nullptr ? &shared->memo() : nullptr)) {}

FileReader::FileReader(FileReader&&) noexcept = default;
FileReader& FileReader::operator=(FileReader&&) noexcept = default;
FileReader::~FileReader() = default;

DatError FileReader::fail(DatError error) {
    failed_ = error.kind();
    if (const IoError* io = error.io_error()) {
        failed_io_ = *io;
    }
    failed_text_ = error.text();
    return error;
}

Result<std::span<const std::uint8_t>, DatError> FileReader::pull() {
    auto piece = chain_->next(counts_);
    if (!piece) {
        return Err{fail(std::move(piece).error())};
    }
    if (piece->empty() && chain_->loop()) {
        return Err{fail(chain_loop_error(id_, *chain_->loop()))};
    }
    return piece;
}

Result<void, DatError> FileReader::start() {
    if (!compressed_) {
        return {};
    }
    decoder_ = std::make_unique<LrsDecoder>();
    if (chain_->missing() < 4) {
        return {};  // no size field: the payload is its own output
    }
    // The size field, which may span blocks when blocks are tiny.
    std::uint8_t head[4];
    std::size_t have = 0;
    while (have < 4) {
        auto piece = pull();
        if (!piece) {
            return Err{std::move(piece).error()};
        }
        if (piece->empty()) {
            break;  // cannot happen: the chain holds at least 4 bytes
        }
        const std::size_t n = std::min(piece->size(), 4 - have);
        std::memcpy(head + have, piece->data(), n);
        have += n;
        decoder_->feed(*piece);
    }
    size_ = load_le32(head);
    return {};
}

Result<std::size_t, DatError> FileReader::read(std::span<std::uint8_t> out) {
    if (failed_) {
        switch (*failed_) {
            case DatErrorKind::Io:
                return Err{DatError::io(*failed_io_)};
            case DatErrorKind::Corruption:
                return Err{DatError::corruption(failed_text_)};
            default:
                return Err{DatError::decompression_failed(id_)};
        }
    }
    auto read = compressed_ ? read_decoded(out) : read_stored(out);
    if (read) {
        position_ += read.value();
    }
    return read;
}

Result<std::size_t, DatError> FileReader::read_stored(std::span<std::uint8_t> out) {
    std::size_t written = 0;
    while (written < out.size()) {
        if (pending_.empty()) {
            auto piece = pull();
            if (!piece) {
                return Err{std::move(piece).error()};
            }
            if (piece->empty()) {
                break;
            }
            pending_ = *piece;
        }
        const std::size_t n = std::min(pending_.size(), out.size() - written);
        std::memcpy(out.data() + written, pending_.data(), n);
        pending_ = pending_.subspan(n);
        written += n;
    }
    return written;
}

Result<std::size_t, DatError> FileReader::read_decoded(std::span<std::uint8_t> out) {
    std::size_t written = 0;
    while (!stream_ended_) {
        written += decoder_->decode(out.subspan(written));
        if (decoder_->done()) {
            // The rest of the chain is read as the whole-file fetch reads
            // it, so that its faults fail this reader too; then the stream
            // must have yielded exactly its declared size.
            for (;;) {
                auto piece = pull();
                if (!piece) {
                    return Err{std::move(piece).error()};
                }
                if (piece->empty()) {
                    break;
                }
            }
            const LrsOutcome& outcome = decoder_->outcome();
            if (outcome.end == LrsEnd::ShortInput || outcome.produced != size_) {
                return Err{fail(DatError::decompression_failed(id_))};
            }
            stream_ended_ = true;
            break;
        }
        if (written == out.size()) {
            break;
        }
        auto piece = pull();
        if (!piece) {
            return Err{std::move(piece).error()};
        }
        if (piece->empty()) {
            decoder_->finish();
        } else {
            decoder_->feed(*piece);
        }
    }
    return written;
}

Result<FileReader, DatError> DatDatabase::open_file(std::uint32_t id, SharedBlocks* shared) const {
    const DatFileEntry* entry = parts_->files_.find(id);
    if (entry == nullptr) {
        return Err{DatError::not_found(id)};
    }
    FileReader reader(*this, *entry, shared);
    if (auto started = reader.start(); !started) {
        return Err{std::move(started).error()};
    }
    return reader;
}

}  // namespace tarnwick_dat
