// LRS decoding written out one token and one byte at a time, with the output
// as the only dictionary and no fast path: the yardstick that the unit tests,
// the fuzzer and the benchmark hold the library's decoder to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnwick_dat/record_reader.hpp"

namespace tarnwick_dat_testing {

/// Decodes an LRS payload by the rules as they read; it must agree with
/// `tarnwick_dat::decompress_lrs` on every input, damaged ones included.
inline tarnwick_dat::Bytes decompress_lrs_reference(std::span<const std::uint8_t> input) {
    if (input.size() < 4) {
        return tarnwick_dat::Bytes(input.begin(), input.end());
    }
    const std::size_t declared =
        static_cast<std::size_t>(input[0]) | static_cast<std::size_t>(input[1]) << 8 |
        static_cast<std::size_t>(input[2]) << 16 | static_cast<std::size_t>(input[3]) << 24;
    const std::span<const std::uint8_t> data = input.subspan(4);
    tarnwick_dat::Bytes output;
    // Reserved once, as the rules say, but never beyond what the payload can
    // produce (17 bytes per input byte is more than any stream yields), so
    // hostile sizes cost nothing here either.
    output.reserve(std::min(declared, 17 * data.size()));
    std::size_t idx = 0;
    unsigned control = 0;
    unsigned bit = 0;
    while (output.size() < declared && idx < data.size()) {
        if (bit == 0) {
            control = data[idx++];
            bit = 0x80;
        }
        if ((control & bit) != 0) {
            if (idx + 1 >= data.size()) {
                break;
            }
            const std::size_t offset =
                data[idx] + 256 * static_cast<std::size_t>(data[idx + 1] >> 4);
            const std::size_t length = (data[idx + 1] & 0x0Fu) + 2;
            idx += 2;
            // The end marker, or a reference with nothing yet to copy.
            if (offset == 0 || output.empty()) {
                break;
            }
            for (std::size_t i = 0; i < length && output.size() < declared; ++i) {
                const std::size_t from = offset > output.size() ? 0 : output.size() - offset;
                output.push_back(output[from]);
            }
        } else {
            if (idx >= data.size()) {
                break;
            }
            output.push_back(data[idx++]);
        }
        bit >>= 1;
    }
    return output;
}

}  // namespace tarnwick_dat_testing
