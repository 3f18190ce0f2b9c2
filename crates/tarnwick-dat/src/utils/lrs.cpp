// LRS decoding: a 4-byte little-endian output size, then groups of up to
// eight tokens, each group led by a control byte read most significant bit
// first (clear: one literal byte; set: a two-byte back-reference with a 12-bit
// distance and a length of 2 to 17 into the output produced so far).
//
// The decoder below is the straightforward token loop, made fast by two
// things that do not change its results:
//  - the output buffer is sized once, with a little slack past its end, so
//    that back-references can be copied in fixed-size chunks that may run a
//    few bytes past the reference (those bytes are overwritten later or cut
//    off at the end);
//  - while a whole group's worst case (17 input bytes, 136 output bytes) fits
//    in what is left, the group is decoded without per-token bounds tests.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tarnwick_dat/utils.hpp"

namespace tarnwick_dat {

namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kMaxRefLength = 17;
constexpr std::size_t kGroupTokens = 8;
// A group at its largest: a control byte and eight back-references.
constexpr std::size_t kMaxGroupInput = 1 + 2 * kGroupTokens;
constexpr std::size_t kMaxGroupOutput = kMaxRefLength * kGroupTokens;
// Room past the output's end for the chunked copies of a back-reference.
constexpr std::size_t kSlack = 32;

// The most output `n` bytes of token stream can yield. A back-reference
// needs an earlier output byte, so the first token that yields anything is a
// literal (control byte + literal = 2 bytes for 1 byte of output); after it,
// two-byte back-references of 17 bytes each are the best use of every byte,
// with a control byte ahead of every eight tokens, and a last odd byte can
// still be a literal when a token slot is free. Used to cap the up-front
// allocation, so that a small payload declaring a huge size allocates little.
std::size_t max_output_for(std::size_t n) {
    if (n < 2) {
        return 0;  // at most a control byte
    }
    std::size_t output = 1;
    std::size_t left = n - 2;
    // The first group has seven token slots after its literal.
    const std::size_t first_refs = std::min<std::size_t>(kGroupTokens - 1, left / 2);
    output += kMaxRefLength * first_refs;
    left -= 2 * first_refs;
    if (first_refs < kGroupTokens - 1) {
        return output + left;  // `left` is 0 or 1: one more literal at most
    }
    output += kMaxGroupOutput * (left / kMaxGroupInput);
    left %= kMaxGroupInput;
    if (left >= 2) {
        // A control byte, back-references for the even part, a literal for an
        // odd last byte; at most 15 bytes, so at most eight tokens.
        output += kMaxRefLength * ((left - 1) / 2) + (left - 1) % 2;
    }
    return output;
}

// Copies one back-reference of `length` (at most 17) bytes at `distance`
// (1 ≤ distance ≤ pos) to `out + pos`. May write up to 17 bytes past `pos`
// whatever `length` is; the bytes beyond `length` are scratch.
inline void copy_reference(std::uint8_t* out, std::size_t pos, std::size_t distance,
                           std::size_t length) {
    std::uint8_t* dst = out + pos;
    const std::uint8_t* src = dst - distance;
    if (distance >= 16) {
        // Source and destination of the first 16 bytes are disjoint; a 17th
        // byte may come from what the first chunk just wrote, as it must.
        std::memcpy(dst, src, 16);
        dst[16] = src[16];
    } else if (distance == 1) {
        std::memset(dst, src[0], kMaxRefLength);
    } else {
        // Overlapping: every byte repeats the one `distance` back, which may
        // itself have been written by this reference.
        for (std::size_t i = 0; i < length; ++i) {
            dst[i] = src[i];
        }
    }
}

// A back-reference that reaches before the start of the output: each byte
// whose source would lie before the start copies the first output byte.
// Rare (only in the first 4 KiB of output), so kept out of the hot loop.
[[gnu::noinline]] void copy_saturating(std::uint8_t* out, std::size_t pos, std::size_t distance,
                                       std::size_t length) {
    for (std::size_t i = 0; i < length; ++i, ++pos) {
        out[pos] = out[pos >= distance ? pos - distance : 0];
    }
}

}  // namespace

Bytes decompress_lrs(std::span<const std::uint8_t> input) {
    if (input.size() < kHeaderSize) {
        return Bytes(input.begin(), input.end());
    }
    const std::size_t output_size =
        static_cast<std::size_t>(input[0]) | static_cast<std::size_t>(input[1]) << 8 |
        static_cast<std::size_t>(input[2]) << 16 | static_cast<std::size_t>(input[3]) << 24;
    const std::uint8_t* in = input.data() + kHeaderSize;
    const std::uint8_t* const in_end = input.data() + input.size();

    // The output can never outgrow what the stream could produce, so the
    // limit below decodes exactly as `output_size` would.
    const std::size_t limit = std::min(output_size, max_output_for(input.size() - kHeaderSize));
    Bytes output(limit + kSlack);
    std::uint8_t* const out = output.data();
    std::size_t pos = 0;

    // Fast path: whole groups whose worst case fits in the input and output
    // left, so no token needs a bounds test.
    while (static_cast<std::size_t>(in_end - in) >= kMaxGroupInput &&
           limit - pos >= kMaxGroupOutput) {
        unsigned control = *in++;
        if (control == 0) {
            std::memcpy(out + pos, in, kGroupTokens);
            pos += kGroupTokens;
            in += kGroupTokens;
            continue;
        }
        for (std::size_t t = 0; t < kGroupTokens; ++t, control <<= 1) {
            if ((control & 0x80) == 0) {
                out[pos++] = *in++;
                continue;
            }
            const std::size_t distance = in[0] | static_cast<std::size_t>(in[1] >> 4) << 8;
            const std::size_t length = (in[1] & 0x0Fu) + 2;
            in += 2;
            if (distance == 0 || pos == 0) {
                // The end marker, or a reference with no output to copy from.
                output.resize(pos);
                return output;
            }
            if (distance > pos) {
                copy_saturating(out, pos, distance, length);
            } else {
                copy_reference(out, pos, distance, length);
            }
            pos += length;
        }
    }

    // Careful path for the rest: the output and input tests before every
    // token, a control byte whenever the last one's bits are used up.
    unsigned control = 0;
    unsigned bits_left = 0;
    while (pos < limit && in < in_end) {
        if (bits_left == 0) {
            control = *in++;
            bits_left = kGroupTokens;
        }
        if (control & 0x80) {
            if (in_end - in < 2) {
                break;
            }
            const std::size_t distance = in[0] | static_cast<std::size_t>(in[1] >> 4) << 8;
            const std::size_t length = std::min<std::size_t>((in[1] & 0x0Fu) + 2, limit - pos);
            in += 2;
            if (distance == 0 || pos == 0) {
                break;
            }
            if (distance > pos) {
                copy_saturating(out, pos, distance, length);
            } else {
                copy_reference(out, pos, distance, length);
            }
            pos += length;
        } else {
            if (in == in_end) {
                break;
            }
            out[pos++] = *in++;
        }
        control <<= 1;
        --bits_left;
    }
    output.resize(pos);
    return output;
}

}  // namespace tarnwick_dat
