// Decodes arbitrary payloads and compares the result with a plain token-by-
// token decoder, also through caller buffers of the exact and of an
// input-derived size and through the streaming decoder with input-derived
// feed and drain sizes; then checks that encoding the input and decoding it
// again gives the input back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <tarnwick_dat/lrs.hpp>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat_testing/lrs_reference.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

bool is_prefix(std::span<const std::uint8_t> part, const tarnwick_dat::Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const tarnwick_dat::Bytes want = tarnwick_dat_testing::decompress_lrs_reference(input);
    check(tarnwick_dat::decompress_lrs(input) == want);

    // Into a buffer of exactly the output's size, and of a size the input
    // picks (larger or smaller); nothing is written past either.
    const std::size_t picked = size == 0 ? 0 : (data[size - 1] * 37u + size) % (want.size() + 40);
    for (const std::size_t room : {want.size(), picked}) {
        tarnwick_dat::Bytes out(room);
        const std::size_t produced = tarnwick_dat::decompress_lrs_into(input, out);
        check(produced == std::min(room, want.size()));
        check(is_prefix(std::span(out).first(produced), want));
    }

    // Streamed: feed and drain sizes from the input's own bytes.
    tarnwick_dat::LrsDecoder decoder;
    tarnwick_dat::Bytes streamed;
    std::uint8_t drain[64];
    std::size_t at = 0;
    for (std::size_t i = 0; at < size; ++i) {
        const std::size_t piece = std::min<std::size_t>(1 + data[i % size] % 32, size - at);
        decoder.feed(input.subspan(at, piece));
        at += piece;
        const std::size_t room = 1 + data[(i * 7) % size] % sizeof(drain);
        while (const std::size_t n = decoder.decode(std::span(drain, room))) {
            streamed.insert(streamed.end(), drain, drain + n);
        }
    }
    decoder.finish();
    while (const std::size_t n = decoder.decode(drain)) {
        streamed.insert(streamed.end(), drain, drain + n);
    }
    check(decoder.done() && streamed == want && decoder.outcome().produced == want.size());

    const tarnwick_dat::Bytes encoded = tarnwick_dat_writer::compress_lrs(input);
    const tarnwick_dat::Bytes round_trip = tarnwick_dat::decompress_lrs(encoded);
    check(std::equal(round_trip.begin(), round_trip.end(), input.begin(), input.end()));
    return 0;
}
