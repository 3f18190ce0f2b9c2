// Decodes arbitrary payloads and compares the result with a plain token-by-
// token decoder, then checks that encoding the input and decoding it again
// gives the input back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat_testing/lrs_reference.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (tarnwick_dat::decompress_lrs(input) !=
        tarnwick_dat_testing::decompress_lrs_reference(input)) {
        std::abort();
    }
    const tarnwick_dat::Bytes encoded = tarnwick_dat_writer::compress_lrs(input);
    const tarnwick_dat::Bytes round_trip = tarnwick_dat::decompress_lrs(encoded);
    if (!std::equal(round_trip.begin(), round_trip.end(), input.begin(), input.end())) {
        std::abort();
    }
    return 0;
}
