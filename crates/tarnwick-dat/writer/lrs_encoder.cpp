// LRS encoding: greedy LZ77 with one step of lazy evaluation over a 4095-byte
// window. Candidate positions are chained by their first two bytes, so every
// match of the shortest encodable length (2) can be found, and a chain is
// walked newest first so that the nearest of equally long matches wins.

#include "tarnwick_dat_writer/lrs_encoder.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "internal/lrs_format.hpp"

namespace tarnwick_dat_writer {

namespace {

constexpr std::size_t kMinLength = tarnwick_dat::lrs_format::kMinRefLength;
constexpr std::size_t kMaxLength = tarnwick_dat::lrs_format::kMaxRefLength;
constexpr std::size_t kMaxDistance = tarnwick_dat::lrs_format::kMaxDistance;
// How many candidates a search looks at; long chains of equal byte pairs
// (text, runs) would otherwise make the encoder quadratic.
constexpr std::size_t kMaxChain = 48;
constexpr std::int32_t kNone = -1;

struct Match {
    std::size_t length = 0;
    std::size_t distance = 0;
};

// Writes tokens in groups of eight behind a control byte whose bits, most
// significant first, mark the back-references.
class TokenWriter {
  public:
    explicit TokenWriter(tarnwick_dat::Bytes& out) : out_(out) {}

    void literal(std::uint8_t byte) {
        begin_token(false);
        out_.push_back(byte);
    }

    void reference(std::size_t distance, std::size_t length) {
        begin_token(true);
        out_.push_back(static_cast<std::uint8_t>(distance & 0xFF));
        out_.push_back(static_cast<std::uint8_t>((distance >> 8) << 4 | (length - kMinLength)));
    }

  private:
    void begin_token(bool is_reference) {
        if (bit_ == 0) {
            control_at_ = out_.size();
            out_.push_back(0);
            bit_ = 0x80;
        }
        if (is_reference) {
            out_[control_at_] = static_cast<std::uint8_t>(out_[control_at_] | bit_);
        }
        bit_ >>= 1;
    }

    tarnwick_dat::Bytes& out_;
    std::size_t control_at_ = 0;
    unsigned bit_ = 0;
};

class MatchFinder {
  public:
    explicit MatchFinder(std::span<const std::uint8_t> data)
        : data_(data), head_(1 << 16, kNone), prev_(kMaxDistance + 1, kNone) {}

    // Enters position `pos` (which needs two bytes from `pos`) into the chains.
    void insert(std::size_t pos) {
        if (pos + kMinLength > data_.size()) {
            return;
        }
        const std::size_t key = pair_at(pos);
        prev_[pos % prev_.size()] = head_[key];
        head_[key] = static_cast<std::int32_t>(pos);
    }

    // The longest match for `pos` among earlier positions within the window;
    // length 0 when there is none of at least two bytes.
    Match find(std::size_t pos) const {
        Match best;
        const std::size_t max_length = std::min(kMaxLength, data_.size() - pos);
        if (max_length < kMinLength) {
            return best;
        }
        std::int32_t candidate = head_[pair_at(pos)];
        for (std::size_t steps = 0; candidate != kNone && steps < kMaxChain; ++steps) {
            const auto cand = static_cast<std::size_t>(candidate);
            if (cand >= pos || pos - cand > kMaxDistance) {
                break;  // outside the window (or a slot reused by a newer position)
            }
            // A candidate can only beat the best so far if it also matches at
            // the best length's end; most fail that one test.
            if (best.length > 0 && data_[cand + best.length] != data_[pos + best.length]) {
                candidate = prev_[cand % prev_.size()];
                continue;
            }
            // May read past `pos` into the bytes being matched: that is an
            // overlapping reference, which the decoder reproduces byte by byte.
            std::size_t length = 0;
            while (length < max_length && data_[cand + length] == data_[pos + length]) {
                ++length;
            }
            if (length > best.length) {
                best = Match{length, pos - cand};
                if (length == max_length) {
                    break;
                }
            }
            candidate = prev_[cand % prev_.size()];
        }
        if (best.length < kMinLength) {
            return Match{};
        }
        return best;
    }

  private:
    std::size_t pair_at(std::size_t pos) const {
        return static_cast<std::size_t>(data_[pos]) << 8 | data_[pos + 1];
    }

    std::span<const std::uint8_t> data_;
    std::vector<std::int32_t> head_;
    // Previous position with the same pair, indexed by position modulo the
    // window; a slot older than the window is never followed.
    std::vector<std::int32_t> prev_;
};

}  // namespace

tarnwick_dat::Bytes compress_lrs(std::span<const std::uint8_t> data) {
    tarnwick_dat::Bytes out;
    out.reserve(tarnwick_dat::lrs_format::kSizeFieldBytes + data.size() + data.size() / 8 + 1);
    const auto size = static_cast<std::uint32_t>(data.size());
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(size >> shift));
    }

    TokenWriter writer(out);
    MatchFinder finder(data);
    std::size_t pos = 0;
    Match match = data.empty() ? Match{} : finder.find(0);
    while (pos < data.size()) {
        finder.insert(pos);
        if (match.length == 0) {
            writer.literal(data[pos]);
            ++pos;
            match = pos < data.size() ? finder.find(pos) : Match{};
            continue;
        }
        // Lazy step: a longer match one byte later is worth a literal now.
        const Match next = pos + 1 < data.size() ? finder.find(pos + 1) : Match{};
        if (next.length > match.length) {
            writer.literal(data[pos]);
            ++pos;
            match = next;
            continue;
        }
        writer.reference(match.distance, match.length);
        for (std::size_t i = 1; i < match.length; ++i) {
            finder.insert(pos + i);
        }
        pos += match.length;
        match = pos < data.size() ? finder.find(pos) : Match{};
    }
    return out;
}

}  // namespace tarnwick_dat_writer
