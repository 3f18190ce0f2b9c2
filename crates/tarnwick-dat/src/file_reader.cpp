// Reading one file in pieces. The chain is followed as the whole-file fetch
// (block_chain.cpp) follows it: each block read once, link and payload
// together, blocks that lie one after another fetched ahead in one read,
// the same tests at the same places, so that the reader fails exactly where
// and as the strict whole-file fetch does. Only the bytes differ in where
// they go: into a read-ahead window of at most 256 KiB, handed on piece by
// piece, instead of into one buffer of the file's size.

#include "file_reader.hpp"

#include "internal/block_chain.hpp"
#include "internal/database.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace tarnwick_dat {

namespace {

// An over-long last block is read in pieces of this size.
constexpr std::size_t kTailPiece = 256 * 1024;

// The blocks a chain has passed, in one flat array (open addressing), so a
// chain costs a few bytes per block and no allocation per block.
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
        for (std::size_t i = hash(block) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == block) {
                return true;
            }
            if (slots_[i] == 0) {
                return false;
            }
        }
    }

  private:
    static std::size_t hash(std::uint32_t block) { return block * 0x9E3779B1u; }
    static bool place(std::vector<std::uint32_t>& slots, std::uint32_t block) {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = hash(block) & mask;; i = (i + 1) & mask) {
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

}  // namespace

// The chain of one file, handed out as pieces of stored bytes.
struct FileReader::Chain {
    Chain(const ReadOnlyFile& archive, std::uint64_t archive_bytes, std::uint32_t block_bytes,
          std::uint32_t offset, std::uint32_t length)
        : file(archive),
          archive_length(archive_bytes),
          block_size(block_bytes),
          block(offset),
          missing(length) {}

    // The next piece of stored bytes, valid until the next call; empty at
    // the end of the chain and once a loop is met (`loop` says so).
    Result<std::span<const std::uint8_t>, DatError> next(ReadCounts& counts) {
        if (missing == 0 || loop) {
            return std::span<const std::uint8_t>();
        }
        // Every payload byte comes from a distinct byte of the file.
        if (first && missing > archive_length) {
            return Err{DatError::io(IoError::unexpected_eof())};
        }
        const std::uint64_t payload_per_block = block_size - kBlockLinkSize;
        if (!in_block) {
            if (block < window_start || block + kBlockLinkSize > window_start + window_length) {
                std::uint64_t want = kBlockLinkSize + std::min(missing, payload_per_block);
                if (first) {
                    want = std::max(
                        want, std::min(contiguous_span(missing, payload_per_block, block_size),
                                       kFirstWindow));
                } else if (run > 0) {
                    want = std::max(
                        want,
                        std::min(contiguous_span(missing, payload_per_block, block_size), 2 * run));
                }
                want = std::min(want, kMaxWindow);
                window.resize(static_cast<std::size_t>(want));
                auto got = file.read_at_most(window, block);
                ++counts.reads;
                if (!got) {
                    return Err{DatError::io(std::move(got).error())};
                }
                window_start = block;
                window_length = got.value();
                if (window_length < kBlockLinkSize) {
                    return Err{DatError::io(IoError::unexpected_eof())};
                }
            }
            first = false;
            link = load_le32(window.data() + (block - window_start));
            // The last block holds everything still missing, however long.
            left = link != 0 ? std::min(missing, payload_per_block) : missing;
            payload_at = block + kBlockLinkSize;
            in_block = true;
        }
        std::span<const std::uint8_t> piece;
        if (payload_at < window_start + window_length) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(left, window_start + window_length - payload_at));
            piece = std::span<const std::uint8_t>(window).subspan(
                static_cast<std::size_t>(payload_at - window_start), n);
        } else {
            // What lies past the end of the file cannot be gathered: fail
            // before reading any of it, as the whole-file fetch does.
            if (payload_at + left > archive_length) {
                return Err{DatError::io(IoError::unexpected_eof())};
            }
            tail.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, kTailPiece)));
            auto read = file.read_exact_at_compat(tail, payload_at);
            ++counts.reads;
            if (!read) {
                return Err{DatError::io(std::move(read).error())};
            }
            piece = tail;
        }
        payload_at += piece.size();
        left -= piece.size();
        missing -= piece.size();
        counts.stored_bytes += piece.size();
        if (left == 0) {
            in_block = false;
            if (missing > 0) {
                // Only a linked block leaves bytes missing.
                blocks.insert(static_cast<std::uint32_t>(block));
                ++blocks_met;
                if (blocks.contains(link)) {
                    loop = ChainLoop{link, blocks_met};
                } else {
                    run = link == block + block_size ? run + block_size : 0;
                    block = link;
                }
            }
        }
        return piece;
    }

    const ReadOnlyFile& file;
    std::uint64_t archive_length;
    std::uint64_t block_size;
    std::uint64_t block;
    std::uint64_t missing;
    Bytes window;
    std::uint64_t window_start = 0;
    std::uint64_t window_length = 0;
    std::uint64_t run = 0;
    bool first = true;
    bool in_block = false;
    std::uint32_t link = 0;
    std::uint64_t payload_at = 0;
    std::uint64_t left = 0;
    Bytes tail;
    BlockSet blocks;
    std::size_t blocks_met = 0;
    std::optional<ChainLoop> loop;
};

FileReader::FileReader(const DatDatabase& db, const DatFileEntry& entry)
    : id_(entry.id),
      compressed_(entry.is_compressed()),
      size_(entry.size),
      chain_(std::make_unique<Chain>(db.parts_->file_, db.archive_length(), db.header().block_size,
                                     entry.offset, entry.size)) {}

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
    if (piece->empty() && chain_->loop) {
        return Err{fail(chain_loop_error(id_, *chain_->loop))};
    }
    return piece;
}

Result<void, DatError> FileReader::start() {
    if (!compressed_) {
        return {};
    }
    decoder_ = std::make_unique<LrsDecoder>();
    if (chain_->missing < 4) {
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

Result<FileReader, DatError> DatDatabase::open_file(std::uint32_t id) const {
    const DatFileEntry* entry = parts_->files_.find(id);
    if (entry == nullptr) {
        return Err{DatError::not_found(id)};
    }
    FileReader reader(*this, *entry);
    if (auto started = reader.start(); !started) {
        return Err{std::move(started).error()};
    }
    return reader;
}

}  // namespace tarnwick_dat
