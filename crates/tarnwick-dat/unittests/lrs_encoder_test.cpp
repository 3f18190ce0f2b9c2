// The LRS encoder: everything it writes decodes back exactly, and it uses the
// format's reach (overlapping references, 12-bit distances).

#include "tarnwick_dat_writer/lrs_encoder.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tarnwick_dat/utils.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::decompress_lrs;
using tarnwick_dat_writer::compress_lrs;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    Bytes out(n);
    for (auto& b : out) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

Bytes words(std::size_t n) {
    static const char* const kWords[] = {"the ",   "font ",  "glyph ",  "archive ", "portal ",
                                         "block ", "chain ", "offset ", "cell ",    "width\n"};
    Bytes out;
    std::uint64_t seed = 12345;
    while (out.size() < n) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        const std::string w = kWords[(seed >> 33) % 10];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(n);
    return out;
}

// A block of `period` random bytes repeated to `n` bytes.
Bytes periodic(std::size_t n, std::size_t period) {
    const Bytes block = random_bytes(period, period);
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = block[i % period];
    }
    return out;
}

// Runs of a byte, with lengths from 1 to a few hundred.
Bytes runs(std::size_t n) {
    Bytes out;
    std::uint64_t seed = 99;
    while (out.size() < n) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        out.insert(out.end(), 1 + (seed >> 40) % 300, static_cast<std::uint8_t>(seed >> 56));
    }
    out.resize(n);
    return out;
}

struct Token {
    bool is_reference;
    std::size_t distance;  // references only
    std::size_t length;    // 1 for a literal
};

// Splits a payload into its tokens, checking the format's layout on the way:
// the declared size, control bytes every eight tokens, and a stream that
// ends exactly when the declared size is reached.
std::vector<Token> tokens_of(const Bytes& payload) {
    std::vector<Token> tokens;
    EXPECT_GE(payload.size(), 4u);
    if (payload.size() < 4) {
        return tokens;
    }
    const std::size_t size = payload[0] | payload[1] << 8 | payload[2] << 16 |
                             static_cast<std::size_t>(payload[3]) << 24;
    std::size_t produced = 0;
    std::size_t idx = 4;
    unsigned control = 0;
    unsigned bit = 0;
    while (produced < size) {
        if (bit == 0) {
            EXPECT_LT(idx, payload.size());
            if (idx >= payload.size()) {
                break;
            }
            control = payload[idx++];
            bit = 0x80;
        }
        if (control & bit) {
            EXPECT_LT(idx + 1, payload.size());
            if (idx + 1 >= payload.size()) {
                break;
            }
            const std::size_t distance = payload[idx] | (payload[idx + 1] >> 4) << 8;
            const std::size_t length = (payload[idx + 1] & 0x0F) + 2;
            idx += 2;
            tokens.push_back({true, distance, length});
            produced += length;
        } else {
            EXPECT_LT(idx, payload.size());
            if (idx >= payload.size()) {
                break;
            }
            ++idx;
            tokens.push_back({false, 0, 1});
            ++produced;
        }
        bit >>= 1;
    }
    EXPECT_EQ(produced, size) << "a reference runs past the declared size";
    EXPECT_EQ(idx, payload.size()) << "bytes after the last token";
    return tokens;
}

// Round trip plus the encoder's own promises about its references: never
// the end marker, never before the start, within the window.
void check_round_trip(const Bytes& data) {
    const Bytes payload = compress_lrs(data);
    ASSERT_EQ(decompress_lrs(payload), data);
    std::size_t pos = 0;
    for (const Token& t : tokens_of(payload)) {
        if (t.is_reference) {
            EXPECT_GE(t.distance, 1u);
            EXPECT_LE(t.distance, pos) << "reference before the start at " << pos;
            EXPECT_LE(t.distance, 4095u);
        }
        pos += t.length;
    }
}

TEST(CompressLrs, RoundTrips) {
    struct Case {
        const char* name;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"one byte", {0x5A}},
        {"two equal bytes", {7, 7}},
        {"three equal bytes", {7, 7, 7}},
        {"short text", text("abcabcabc")},
        {"text", words(100000)},
        {"random", random_bytes(100000, 1)},
        {"zeros", Bytes(100000, 0)},
        {"runs", runs(200000)},
        {"period 2", periodic(10000, 2)},
        {"period 17", periodic(10000, 17)},
        {"period 300", periodic(20000, 300)},
        {"period 4095", periodic(20000, 4095)},
        {"period 4096", periodic(20000, 4096)},
        {"period 5000", periodic(20000, 5000)},
        {"all byte values", periodic(256 * 40, 256)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        check_round_trip(c.data);
    }
}

// Incompressible data is all literals, eight per control byte, so these
// sizes cross group boundaries; runs and text mix tokens of both kinds.
TEST(CompressLrs, RoundTripsAroundGroupBoundaries) {
    for (std::size_t n = 0; n <= 70; ++n) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        check_round_trip(random_bytes(n, n + 1));
        check_round_trip(words(n));
        check_round_trip(runs(n));
    }
}

TEST(CompressLrs, IncompressibleDataCostsOneControlBytePerEightLiterals) {
    for (const std::size_t n : {1u, 7u, 8u, 9u, 16u, 17u, 1000u}) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        // Distinct bytes: no pair repeats, so nothing can be referenced.
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7);
        }
        if (n > 256) {
            data = random_bytes(n, 77);
        }
        const Bytes payload = compress_lrs(data);
        if (n <= 256) {
            EXPECT_EQ(payload.size(), 4 + n + (n + 7) / 8);
        } else {
            EXPECT_LE(payload.size(), 4 + n + (n + 7) / 8);
        }
        EXPECT_EQ(decompress_lrs(payload), data);
    }
}

TEST(CompressLrs, UsesOverlappingReferencesForRuns) {
    const Bytes data(1000, 'z');
    const Bytes payload = compress_lrs(data);
    const std::vector<Token> tokens = tokens_of(payload);
    ASSERT_FALSE(tokens.empty());
    EXPECT_FALSE(tokens[0].is_reference);
    std::size_t overlapping = 0;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        overlapping += tokens[i].is_reference && tokens[i].length > tokens[i].distance;
    }
    // A literal, then 17-byte references at distance 1 (the last one shorter).
    EXPECT_EQ(overlapping, tokens.size() - 1);
    EXPECT_EQ(tokens.size(), 1 + (999 + 16) / 17);
    EXPECT_EQ(decompress_lrs(payload), data);
}

TEST(CompressLrs, UsesTwelveBitDistances) {
    for (const std::size_t period : {300u, 1000u, 4095u}) {
        SCOPED_TRACE(testing::Message() << "period " << period);
        const Bytes data = periodic(3 * period, period);
        const Bytes payload = compress_lrs(data);
        std::size_t at_period = 0;
        std::size_t bytes_by_reference = 0;
        for (const Token& t : tokens_of(payload)) {
            if (t.is_reference) {
                at_period += t.distance == period;
                bytes_by_reference += t.length;
            }
        }
        // After the first period, the data is one long match at `period`.
        EXPECT_GT(at_period, 0u);
        EXPECT_GE(bytes_by_reference, 2 * period - 17);
        EXPECT_EQ(decompress_lrs(payload), data);
    }
}

}  // namespace
