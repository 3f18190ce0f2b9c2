// Encodes bytes as an LRS-compressed payload that decompress_lrs decodes
// back exactly.
#pragma once

#include <cstdint>
#include <span>

#include "tarnwick_dat/record_reader.hpp"

namespace tarnwick_dat_writer {

/// The LRS payload for `data`: its 4-byte little-endian size, then tokens.
tarnwick_dat::Bytes compress_lrs(std::span<const std::uint8_t> data);

}  // namespace tarnwick_dat_writer
