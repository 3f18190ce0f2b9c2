// The owning form of LRS decoding: one allocation, then the decoder that
// writes into a caller's buffer (lrs.cpp).

#include "tarnwick_dat/lrs.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "internal/lrs_capacity.hpp"
#include "internal/lrs_format.hpp"
#include "tarnwick_dat/utils.hpp"

namespace tarnwick_dat {

namespace {

using lrs_format::kGroupTokens;
using lrs_format::kMaxRefLength;
using lrs_format::kSizeFieldBytes;
// A group at its largest: a control byte and eight back-references.
constexpr std::size_t kMaxGroupInput = 1 + 2 * kGroupTokens;
constexpr std::size_t kMaxGroupOutput = kMaxRefLength * kGroupTokens;

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

}  // namespace

std::uint64_t lrs_output_capacity_for(std::uint32_t declared, std::uint64_t payload_length) {
    const auto tokens = static_cast<std::size_t>(payload_length - kSizeFieldBytes);
    return std::min<std::uint64_t>(declared, max_output_for(tokens));
}

std::size_t lrs_output_capacity(std::span<const std::uint8_t> input) {
    const std::optional<std::uint32_t> declared = lrs_declared_size(input);
    if (!declared) {
        return input.size();
    }
    return std::min<std::size_t>(*declared, max_output_for(input.size() - kSizeFieldBytes));
}

Bytes decompress_lrs(std::span<const std::uint8_t> input) {
    if (!lrs_declared_size(input)) {
        return Bytes(input.begin(), input.end());
    }
    // The output can never outgrow what the stream could produce, so this
    // size decodes exactly as the declared one would.
    Bytes output(lrs_output_capacity(input));
    output.resize(decode_lrs_into(input, output).produced);
    return output;
}

}  // namespace tarnwick_dat
