// The most output an LRS payload can give, from its length alone: for
// callers that decode a payload in pieces and must stop where decoding it
// whole into `lrs_output_capacity` bytes stops.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick_dat {

// `lrs_output_capacity` of a payload of `payload_length` bytes (size field
// included, at least 4) that declares `declared` bytes.
std::uint64_t lrs_output_capacity_for(std::uint32_t declared, std::uint64_t payload_length);

}  // namespace tarnwick_dat
