// Facts of the LRS format, shared by the decoder and the encoder: a payload is
// a little-endian output size, then groups of tokens, each group led by a
// control byte read most significant bit first (clear: one literal byte; set:
// a two-byte back-reference, a 12-bit distance and a 4-bit length - 2).
#pragma once

#include <cstddef>

namespace tarnwick_dat::lrs_format {

/// Bytes of the output size that leads every payload.
inline constexpr std::size_t kSizeFieldBytes = 4;
/// Tokens led by one control byte.
inline constexpr std::size_t kGroupTokens = 8;
/// The shortest and the longest back-reference.
inline constexpr std::size_t kMinRefLength = 2;
inline constexpr std::size_t kMaxRefLength = 17;
/// The farthest a back-reference reaches (its 12-bit distance).
inline constexpr std::size_t kMaxDistance = 4095;

}  // namespace tarnwick_dat::lrs_format
