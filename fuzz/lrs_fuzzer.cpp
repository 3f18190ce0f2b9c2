// Decodes arbitrary payloads, and checks that encoding then decoding gives
// the input back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const tarnwick_dat::Bytes decoded = tarnwick_dat::decompress_lrs(input);
    if (size >= 4) {
        const std::uint32_t declared = static_cast<std::uint32_t>(data[0]) |
                                       static_cast<std::uint32_t>(data[1]) << 8 |
                                       static_cast<std::uint32_t>(data[2]) << 16 |
                                       static_cast<std::uint32_t>(data[3]) << 24;
        if (decoded.size() > declared) {
            std::abort();
        }
    } else if (decoded.size() != size) {
        std::abort();
    }

    const tarnwick_dat::Bytes encoded = tarnwick_dat_writer::compress_lrs(input);
    const tarnwick_dat::Bytes round_trip = tarnwick_dat::decompress_lrs(encoded);
    if (round_trip.size() != size ||
        (size != 0 && std::memcmp(round_trip.data(), data, size) != 0)) {
        std::abort();
    }
    return 0;
}
