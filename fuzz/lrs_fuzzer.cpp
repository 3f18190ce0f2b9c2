// Decodes arbitrary payloads and compares the result with a plain token-by-
// token decoder, then checks that encoding the input and decoding it again
// gives the input back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

namespace {

// The decoding rules one token at a time, with no fast path: any difference
// from the library's decoder is a fault in one of the two.
tarnwick_dat::Bytes reference_decode(std::span<const std::uint8_t> input) {
    if (input.size() < 4) {
        return tarnwick_dat::Bytes(input.begin(), input.end());
    }
    const std::size_t declared =
        static_cast<std::size_t>(input[0]) | static_cast<std::size_t>(input[1]) << 8 |
        static_cast<std::size_t>(input[2]) << 16 | static_cast<std::size_t>(input[3]) << 24;
    const std::span<const std::uint8_t> data = input.subspan(4);
    tarnwick_dat::Bytes output;
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
                const std::size_t from = output.size() > offset ? output.size() - offset : 0;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (tarnwick_dat::decompress_lrs(input) != reference_decode(input)) {
        std::abort();
    }
    const tarnwick_dat::Bytes encoded = tarnwick_dat_writer::compress_lrs(input);
    const tarnwick_dat::Bytes round_trip = tarnwick_dat::decompress_lrs(encoded);
    if (!std::equal(round_trip.begin(), round_trip.end(), input.begin(), input.end())) {
        std::abort();
    }
    return 0;
}
