// Decoding of LRS payloads, including damaged and hostile ones.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tarnwick_dat/utils.hpp"
#include "tarnwick_dat_testing/bytes.hpp"
#include "tarnwick_dat_testing/lrs_reference.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::decompress_lrs;

using tarnwick_dat_testing::bytes;
using tarnwick_dat_testing::text;

Bytes size_header(std::uint32_t size) {
    return bytes({static_cast<int>(size & 0xFF), static_cast<int>((size >> 8) & 0xFF),
                  static_cast<int>((size >> 16) & 0xFF), static_cast<int>(size >> 24)});
}

struct Case {
    const char* name;
    Bytes payload;
    Bytes expected;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decompress_lrs(c.payload), c.expected);
    }
}

TEST(DecompressLrs, WorkedExamples) {
    run_cases({
        {"overlapping reference, size reached",
         bytes({0x09, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x04}), text("abcabcabc")},
        {"end marker", bytes({0x05, 0, 0, 0, 0x20, 0x78, 0x79, 0x00, 0x00}), text("xy")},
        {"distance beyond output", bytes({0x04, 0, 0, 0, 0x40, 0x71, 0x05, 0x01}), text("qqqq")},
        {"reference cut at size", bytes({0x12, 0, 0, 0, 0x20, 0x61, 0x62, 0x01, 0xFF}),
         text("ab" + std::string(16, 'a'))},
        {"literal past size not read", bytes({0x03, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64}),
         text("abc")},
        {"input used up", bytes({0x0A, 0, 0, 0, 0x00, 0x61, 0x62}), text("ab")},
        {"reference with one byte left", bytes({0x05, 0, 0, 0, 0x80, 0x01}), Bytes{}},
        {"declared size 0", bytes({0x00, 0, 0, 0, 0xFF}), Bytes{}},
        {"short input passed through", bytes({0xAB, 0xC0}), bytes({0xAB, 0xC0})},
    });
}

TEST(DecompressLrs, ShortAndEmptyStreams) {
    run_cases({
        {"0 bytes", Bytes{}, Bytes{}},
        {"1 byte", bytes({0x07}), bytes({0x07})},
        {"3 bytes", bytes({0x01, 0x02, 0x03}), bytes({0x01, 0x02, 0x03})},
        {"header only, size 0", bytes({0, 0, 0, 0}), Bytes{}},
        {"header only, size 5", bytes({5, 0, 0, 0}), Bytes{}},
        {"header only, size max", bytes({0xFF, 0xFF, 0xFF, 0xFF}), Bytes{}},
        // The declared size is tested before any control byte is read.
        {"size 0 with tokens", bytes({0, 0, 0, 0, 0x00, 0x61, 0x62}), Bytes{}},
        {"control byte is the last byte", bytes({3, 0, 0, 0, 0x00}), Bytes{}},
        {"literal missing after a literal", bytes({3, 0, 0, 0, 0x00, 0x61}), text("a")},
        {"second byte of a reference missing", bytes({9, 0, 0, 0, 0x40, 0x61, 0x01}), text("a")},
    });
}

TEST(DecompressLrs, BackReferences) {
    run_cases({
        // Distance 1 repeats the last byte: one literal plus 17 copies.
        {"distance 1 length 17", bytes({18, 0, 0, 0, 0x40, 0x7A, 0x01, 0x0F}),
         text(std::string(18, 'z'))},
        {"distance 2 length 5", bytes({7, 0, 0, 0, 0x20, 0x61, 0x62, 0x02, 0x03}), text("abababa")},
        {"distance equal to length", bytes({6, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x01}),
         text("abcabc")},
        {"distance 3 length 2 from middle", bytes({5, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x00}),
         text("abcab")},
        // Once the write position passes the distance, the source index
        // counts up from the start again.
        {"distance beyond output, then within", bytes({7, 0, 0, 0, 0x20, 0x61, 0x62, 0x03, 0x03}),
         text("abaabaa")},
        // The length nibble of the end marker does not matter.
        {"end marker with length nibble", bytes({9, 0, 0, 0, 0x40, 0x61, 0x00, 0x0F, 0x62}),
         text("a")},
    });
}

TEST(DecompressLrs, TwelveBitDistance) {
    // 300 literals 0..255,0..43, then distance 0x123 (291) length 5: copies
    // output[9..14).
    Bytes plain;
    for (int i = 0; i < 300; ++i) {
        plain.push_back(static_cast<std::uint8_t>(i));
    }
    Bytes payload = size_header(305);
    for (std::size_t i = 0; i < plain.size(); i += 8) {
        payload.push_back(0x00);
        for (std::size_t j = i; j < i + 8 && j < plain.size(); ++j) {
            payload.push_back(plain[j]);
        }
    }
    // 300 = 37 groups of 8 + 4 literals; the last group has 4 slots left.
    const std::size_t last_control = payload.size() - 5;
    payload[last_control] = 0x08;  // fifth token of the group is a reference
    payload.push_back(0x23);
    payload.push_back(0x13);
    Bytes expected = plain;
    for (int i = 9; i < 14; ++i) {
        expected.push_back(static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(decompress_lrs(payload), expected);
}

TEST(DecompressLrs, ControlBytesAreReadEveryEightTokens) {
    // Nine literals: the ninth token needs a fresh control byte between the
    // eighth and ninth literal; a set bit there makes the ninth a reference.
    run_cases({
        {"nine literals", bytes({9, 0, 0, 0, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 9}),
         bytes({1, 2, 3, 4, 5, 6, 7, 8, 9})},
        {"ninth token a reference",
         bytes({10, 0, 0, 0, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x80, 0x08, 0x00}),
         bytes({1, 2, 3, 4, 5, 6, 7, 8, 1, 2})},
        // The low bit describes the eighth token, not the first.
        {"bit 0 is the eighth token", bytes({10, 0, 0, 0, 0x01, 1, 2, 3, 4, 5, 6, 7, 0x07, 0x01}),
         bytes({1, 2, 3, 4, 5, 6, 7, 1, 2, 3})},
    });
}

TEST(DecompressLrs, LeftoverInputIsIgnored) {
    run_cases({
        {"after size reached", bytes({2, 0, 0, 0, 0x00, 0x61, 0x62, 0xFF, 0xFF, 0xFF}), text("ab")},
        {"after end marker", bytes({9, 0, 0, 0, 0x40, 0x61, 0x00, 0x00, 0x62, 0x63}), text("a")},
    });
}

// A back-reference before any output has nothing to copy: decoding stops
// there, as for any other sign of a damaged stream, and the tokens after it
// are not decoded.
TEST(DecompressLrs, ReferenceBeforeAnyOutputStopsDecoding) {
    run_cases({
        {"first token a reference", bytes({4, 0, 0, 0, 0x80, 0x01, 0x00, 0x61, 0x62}), Bytes{}},
        {"far distance first", bytes({4, 0, 0, 0, 0x80, 0xFF, 0xFF, 0x61}), Bytes{}},
    });
}

TEST(DecompressLrs, HugeDeclaredSizeOnTinyPayload) {
    // 4 GiB - 1 declared on a 20-byte payload: the whole stream decodes, and
    // only what the stream can produce is allocated.
    const Bytes payload = bytes({0xFF, 0xFF, 0xFF, 0xFF,                                //
                                 0x40, 'a',  0x01, 0x0F, 'b', 'c', 'd', 'e', 'f', 'g',  //
                                 0x00, 'h',  'i',  'j',  'k', 'l'});
    ASSERT_EQ(payload.size(), 20u);
    const Bytes out = decompress_lrs(payload);
    EXPECT_EQ(out, text(std::string(18, 'a') + "bcdefghijkl"));
    EXPECT_LE(out.capacity(), 8 * payload.size());
}

// Builds a token stream behind a size header, grouping tokens eight to a
// control byte.
class StreamBuilder {
  public:
    explicit StreamBuilder(std::uint32_t declared) : payload_(size_header(declared)) {}

    StreamBuilder& literal(std::uint8_t byte) {
        token(false);
        payload_.push_back(byte);
        return *this;
    }
    StreamBuilder& reference(unsigned distance, unsigned length) {
        token(true);
        payload_.push_back(static_cast<std::uint8_t>(distance & 0xFF));
        payload_.push_back(static_cast<std::uint8_t>((distance >> 8) << 4 | (length - 2)));
        return *this;
    }
    const Bytes& payload() const { return payload_; }

  private:
    void token(bool is_reference) {
        if (tokens_ % 8 == 0) {
            control_at_ = payload_.size();
            payload_.push_back(0);
        }
        if (is_reference) {
            payload_[control_at_] |= static_cast<std::uint8_t>(0x80u >> (tokens_ % 8));
        }
        ++tokens_;
    }

    Bytes payload_;
    std::size_t tokens_ = 0;
    std::size_t control_at_ = 0;
};

// Streams built to produce the most output their length allows (a literal,
// then only 17-byte references, maybe a last literal): under a huge declared
// size all of it must come back, so capping the allocation by the stream's
// length never cuts a stream short.
TEST(DecompressLrs, MaximalStreamsDecodeInFullUnderHugeSize) {
    for (unsigned refs = 0; refs < 40; ++refs) {
        for (const bool odd_tail : {false, true}) {
            SCOPED_TRACE(testing::Message() << refs << " references, odd tail " << odd_tail);
            StreamBuilder stream(0xFFFFFFFF);
            stream.literal('r');
            for (unsigned i = 0; i < refs; ++i) {
                stream.reference(1, 17);
            }
            if (odd_tail) {
                stream.literal('r');
            }
            const std::size_t expected = 1 + 17 * refs + (odd_tail ? 1 : 0);
            EXPECT_EQ(decompress_lrs(stream.payload()), Bytes(expected, 'r'));
        }
    }
}

// Long streams go through the decoder's whole-group path; damage in the
// middle of them must end decoding exactly as it does near the end.
TEST(DecompressLrs, DamageInsideLongStreams) {
    StreamBuilder base(0xFFFFFFFF);
    for (int i = 0; i < 64; ++i) {
        base.literal(static_cast<std::uint8_t>(i));
    }
    Bytes expected;
    for (int i = 0; i < 64; ++i) {
        expected.push_back(static_cast<std::uint8_t>(i));
    }

    StreamBuilder marker = base;
    marker.reference(0, 17);
    for (int i = 0; i < 40; ++i) {
        marker.literal(0xEE);
    }
    EXPECT_EQ(decompress_lrs(marker.payload()), expected);

    // Distance 100 from position 64: the first 37 bytes copy byte 0, then
    // the source counts up from 1.
    StreamBuilder saturating = base;
    saturating.reference(100, 17).reference(100, 17).reference(100, 17);
    for (int i = 0; i < 40; ++i) {
        saturating.literal(0xEE);
    }
    Bytes expected_saturating = expected;
    for (std::size_t pos = 64; pos < 64 + 51; ++pos) {
        expected_saturating.push_back(expected_saturating[pos >= 100 ? pos - 100 : 0]);
    }
    expected_saturating.insert(expected_saturating.end(), 40, 0xEE);
    EXPECT_EQ(decompress_lrs(saturating.payload()), expected_saturating);

    // A declared size inside a run of whole groups stops at exactly that size.
    Bytes cut = base.payload();
    cut[0] = 50;
    cut[1] = cut[2] = cut[3] = 0;
    EXPECT_EQ(decompress_lrs(cut), Bytes(expected.begin(), expected.begin() + 50));
}

TEST(DecompressLrs, RandomStreamsMatchTheTokenByTokenRules) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    const auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::size_t length = 4 + next() % 600;
        Bytes payload(length);
        // Mostly literals with sparse references, so that streams run long
        // enough to reach the whole-group path; some wholly random.
        const bool sparse = round % 3 != 0;
        for (auto& b : payload) {
            b = static_cast<std::uint8_t>(next());
        }
        if (sparse) {
            for (std::size_t i = 4; i < payload.size(); i += 9) {
                payload[i] = static_cast<std::uint8_t>(next() & next() & next() & 0x7F);
            }
        }
        const std::uint32_t declared =
            round % 5 == 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(next() % 4000);
        payload[0] = static_cast<std::uint8_t>(declared);
        payload[1] = static_cast<std::uint8_t>(declared >> 8);
        payload[2] = static_cast<std::uint8_t>(declared >> 16);
        payload[3] = static_cast<std::uint8_t>(declared >> 24);
        SCOPED_TRACE(testing::Message() << "round " << round);
        ASSERT_EQ(decompress_lrs(payload), tarnwick_dat_testing::decompress_lrs_reference(payload));
    }
}

}  // namespace
