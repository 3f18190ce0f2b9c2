// LRS decoding into caller buffers and through the streaming decoder: the
// same bytes as decompress_lrs whatever the buffer or the splits, why
// decoding stopped, and bounded memory on a huge payload.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#include "tarnwick_dat/lrs.hpp"
#include "tarnwick_dat/utils.hpp"
#include "tarnwick_dat_testing/bytes.hpp"
#include "tarnwick_dat_testing/lrs_reference.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"

// The largest single allocation made while `g_watch_allocations` is set: a
// decoder that allocated its whole output would show it here.
namespace {
std::atomic<bool> g_watch_allocations{false};
std::atomic<std::size_t> g_largest_allocation{0};
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (g_watch_allocations.load(std::memory_order_relaxed)) {
        std::size_t seen = g_largest_allocation.load(std::memory_order_relaxed);
        while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// Every form that the standard library may pair with the delete below goes
// through malloc too, so that no block is freed by a different allocator
// (a sanitizer's own nothrow new, say) than the one that made it.
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::decode_lrs_into;
using tarnwick_dat::decompress_lrs;
using tarnwick_dat::LrsDecoder;
using tarnwick_dat::LrsEnd;
using tarnwick_dat::LrsOutcome;

using tarnwick_dat_testing::bytes;
using tarnwick_dat_testing::text;

std::uint64_t next(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// Decodes `payload` fed in pieces of the given sizes (cycled; the rest in
// one piece when empty) and drained in pieces of `drain` bytes.
struct Streamed {
    Bytes output;
    LrsOutcome outcome;
};
Streamed stream(const Bytes& payload, const std::vector<std::size_t>& feeds, std::size_t drain) {
    LrsDecoder decoder;
    Streamed result;
    Bytes buffer(drain);
    const auto pump = [&] {
        while (const std::size_t n = decoder.decode(buffer)) {
            result.output.insert(result.output.end(), buffer.begin(),
                                 buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
    };
    std::size_t at = 0;
    for (std::size_t i = 0; at < payload.size(); ++i) {
        const std::size_t piece =
            feeds.empty() ? payload.size() : std::min(feeds[i % feeds.size()], payload.size() - at);
        decoder.feed(std::span(payload).subspan(at, piece));
        at += piece;
        pump();
    }
    decoder.finish();
    pump();
    EXPECT_TRUE(decoder.done());
    result.outcome = decoder.outcome();
    return result;
}

void expect_same(const LrsOutcome& got, const LrsOutcome& want) {
    EXPECT_EQ(got.produced, want.produced);
    EXPECT_EQ(got.consumed, want.consumed);
    EXPECT_EQ(got.end, want.end);
    EXPECT_EQ(got.reached_before_start, want.reached_before_start);
}

// The outcome of decoding into a buffer that the stream cannot fill before
// it stops for its own reasons.
LrsOutcome whole_outcome(const Bytes& payload) {
    std::size_t room = decompress_lrs(payload).size() + 1;
    if (const auto declared = tarnwick_dat::lrs_declared_size(payload)) {
        room = std::min<std::size_t>(room, *declared);
    }
    Bytes out(room);
    return decode_lrs_into(payload, out);
}

// Payloads of every kind: long well-formed streams from the encoder, and
// random ones (mostly literals with sparse references, some wholly random)
// that stop for every reason.
std::vector<Bytes> payloads(std::size_t count) {
    std::vector<Bytes> out;
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (std::size_t round = 0; round < count; ++round) {
        Bytes payload;
        if (round % 4 == 0) {
            Bytes plain(200 + next(state) % 3000);
            for (std::size_t i = 0; i < plain.size(); ++i) {
                plain[i] = static_cast<std::uint8_t>(next(state) % 4 == 0 ? next(state) : i / 7);
            }
            payload = tarnwick_dat_writer::compress_lrs(plain);
        } else {
            payload.resize(next(state) % 700);
            for (auto& b : payload) {
                b = static_cast<std::uint8_t>(next(state));
            }
            for (std::size_t i = 4; round % 3 != 0 && i < payload.size(); i += 9) {
                payload[i] = static_cast<std::uint8_t>(next(state) & next(state) & 0x7F);
            }
            if (payload.size() >= 4) {
                const std::uint32_t declared =
                    round % 5 == 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(next(state) % 5000);
                for (int k = 0; k < 4; ++k) {
                    payload[static_cast<std::size_t>(k)] =
                        static_cast<std::uint8_t>(declared >> (8 * k));
                }
            }
        }
        out.push_back(std::move(payload));
    }
    return out;
}

struct OutcomeCase {
    const char* name;
    Bytes payload;
    Bytes output;
    LrsEnd end;
    std::size_t consumed;
    bool reached_before_start;
};

TEST(LrsOutcome, WhyDecodingStopped) {
    const std::vector<OutcomeCase> cases = {
        {"overlapping reference", bytes({0x09, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x04}),
         text("abcabcabc"), LrsEnd::OutputFull, 10, false},
        {"end marker", bytes({0x05, 0, 0, 0, 0x20, 0x78, 0x79, 0x00, 0x00}), text("xy"),
         LrsEnd::EndMarker, 9, false},
        {"distance beyond output", bytes({0x04, 0, 0, 0, 0x40, 0x71, 0x05, 0x01}), text("qqqq"),
         LrsEnd::OutputFull, 8, true},
        {"reference cut at size", bytes({0x12, 0, 0, 0, 0x20, 0x61, 0x62, 0x01, 0xFF}),
         text("ab" + std::string(16, 'a')), LrsEnd::OutputFull, 9, true},
        {"literal past size not read", bytes({0x03, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64}),
         text("abc"), LrsEnd::OutputFull, 8, false},
        {"input used up", bytes({0x0A, 0, 0, 0, 0x00, 0x61, 0x62}), text("ab"),
         LrsEnd::InputExhausted, 7, false},
        {"reference with one byte left", bytes({0x05, 0, 0, 0, 0x80, 0x01}), Bytes{},
         LrsEnd::CutToken, 5, false},
        {"declared size 0", bytes({0x00, 0, 0, 0, 0xFF}), Bytes{}, LrsEnd::OutputFull, 4, false},
        {"short input", bytes({0xAB, 0xC0}), bytes({0xAB, 0xC0}), LrsEnd::ShortInput, 2, false},
        {"empty input", Bytes{}, Bytes{}, LrsEnd::ShortInput, 0, false},
        {"header only", bytes({0x05, 0, 0, 0}), Bytes{}, LrsEnd::InputExhausted, 4, false},
        {"literal missing", bytes({0x03, 0, 0, 0, 0x00}), Bytes{}, LrsEnd::CutToken, 5, false},
        {"reference on empty output", bytes({0x04, 0, 0, 0, 0x80, 0x01, 0x00, 0x61}), Bytes{},
         LrsEnd::EmptyReference, 7, false},
        {"goes on after its size", bytes({0x02, 0, 0, 0, 0x00, 0x61, 0x62, 0xFF, 0xFF}), text("ab"),
         LrsEnd::OutputFull, 7, false},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const LrsOutcome want{c.output.size(), c.consumed, c.end, c.reached_before_start};
        Bytes out(c.output.size() + 32, 0xEE);
        const LrsOutcome got = decode_lrs_into(c.payload, out);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got.produced)),
                  c.output);
        expect_same(got, want);
        for (const std::size_t piece : {std::size_t{0}, std::size_t{1}}) {
            const Streamed s = stream(
                c.payload,
                piece == 0 ? std::vector<std::size_t>{} : std::vector<std::size_t>{piece}, 1);
            EXPECT_EQ(s.output, c.output);
            expect_same(s.outcome, want);
        }
    }
}

// Buffers of exactly the output's size (the wide copies must stop at its
// end) and smaller ones (a prefix, reported as a full buffer); the bytes
// past the buffer are never touched.
TEST(DecodeLrsInto, CallerBuffersOfAnySize) {
    constexpr std::uint8_t kCanary = 0xA5;
    for (const Bytes& payload : payloads(400)) {
        const Bytes want = tarnwick_dat_testing::decompress_lrs_reference(payload);
        const LrsOutcome whole = whole_outcome(payload);
        ASSERT_EQ(whole.produced, want.size());
        for (const std::size_t size : {want.size(), want.size() / 2, want.size() * 9 / 10,
                                       want.size() > 20 ? want.size() - 17 : std::size_t{0}}) {
            SCOPED_TRACE(testing::Message() << "payload of " << payload.size() << " bytes, buffer "
                                            << size << " of " << want.size());
            Bytes out(size + 64, kCanary);
            const LrsOutcome got = decode_lrs_into(payload, std::span(out).first(size));
            ASSERT_EQ(got.produced, size);
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size),
                                   want.begin()));
            EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(size), out.end(),
                                    [](std::uint8_t b) { return b == kCanary; }));
            if (payload.size() >= 4 && size < want.size()) {
                EXPECT_EQ(got.end, LrsEnd::OutputFull);
                EXPECT_LE(got.consumed, whole.consumed);
            }
            if (size == want.size()) {
                // Filling exactly what the stream yields ends as the stream does
                // unless the buffer was what stopped it.
                if (whole.end != LrsEnd::OutputFull && payload.size() >= 4) {
                    EXPECT_EQ(got.end, LrsEnd::OutputFull);
                } else {
                    expect_same(got, whole);
                }
            }
        }
    }
}

// Every split of the input into two feeds, so that a feed ends after a
// control byte, between the two bytes of a reference and inside the size
// field, with drains of 1 byte and of 61 bytes.
TEST(LrsDecoder, EverySplitPoint) {
    for (const Bytes& payload : payloads(12)) {
        const Bytes want = decompress_lrs(payload);
        const LrsOutcome whole = whole_outcome(payload);
        for (std::size_t split = 0; split <= payload.size(); ++split) {
            SCOPED_TRACE(testing::Message() << "split at " << split << " of " << payload.size());
            const Streamed s = stream(payload, {split, payload.size()}, split % 8 == 0 ? 1 : 61);
            ASSERT_EQ(s.output, want);
            expect_same(s.outcome, whole);
        }
    }
}

TEST(LrsDecoder, RandomSplitsAndDrains) {
    std::uint64_t state = 7;
    for (const Bytes& payload : payloads(600)) {
        const Bytes want = decompress_lrs(payload);
        const LrsOutcome whole = whole_outcome(payload);
        std::vector<std::size_t> feeds;
        for (int i = 0; i < 8; ++i) {
            feeds.push_back(1 + next(state) % 40);
        }
        const Streamed s = stream(payload, feeds, 1 + next(state) % 300);
        ASSERT_EQ(s.output, want);
        expect_same(s.outcome, whole);
    }
}

// Outputs many times the decoder's window, so that it slides again and again
// and references cross the end of its staging area at every offset: sound
// streams from the encoder, and the same streams cut short or run on.
TEST(LrsDecoder, LongOutputsSlideTheWindowWithoutLosingBytes) {
    std::uint64_t state = 11;
    Bytes data;
    while (data.size() < 600 * 1024) {
        // Runs and repeats of varied lengths, so that references of every
        // length meet the staging area's end.
        const std::size_t run = 1 + next(state) % 40;
        const auto byte = static_cast<std::uint8_t>(next(state) % 7);
        data.insert(data.end(), run, byte);
        if (data.size() > 100 && next(state) % 3 == 0) {
            const std::size_t back = 1 + next(state) % 90;
            data.insert(data.end(), data.end() - static_cast<std::ptrdiff_t>(back), data.end());
        }
    }
    const Bytes sound = tarnwick_dat_writer::compress_lrs(data);
    Bytes cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(sound.size() * 2 / 3));
    Bytes run_on = sound;
    run_on.insert(run_on.end(), {0x00, 'x', 'y'});
    for (const Bytes& payload : {sound, cut, run_on}) {
        const Bytes want = decompress_lrs(payload);
        const LrsOutcome whole = whole_outcome(payload);
        for (const std::size_t drain : {std::size_t{1} << 20, std::size_t{4093}}) {
            SCOPED_TRACE(testing::Message() << payload.size() << " bytes, drained by " << drain);
            const Streamed s = stream(payload, {65536, 777}, drain);
            ASSERT_EQ(s.output.size(), want.size());
            ASSERT_EQ(s.output, want);
            expect_same(s.outcome, whole);
        }
    }
    EXPECT_EQ(decompress_lrs(sound), data);
}

// A payload declaring 1 GiB (a literal, then distance-1 references of 17
// bytes) fed 64 KiB at a time and drained into 4 KiB: every byte comes out,
// and no allocation comes near the output's size.
TEST(LrsDecoder, GibibytePayloadInBoundedMemory) {
    constexpr std::size_t kDeclared = std::size_t{1} << 30;
    const Bytes head = bytes({0x00, 0x00, 0x00, 0x40, 0x7F, 'r',  0x01, 0x0F, 0x01, 0x0F,
                              0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F});
    Bytes groups;
    for (int g = 0; g < 3855; ++g) {
        groups.push_back(0xFF);
        for (int r = 0; r < 8; ++r) {
            groups.push_back(0x01);
            groups.push_back(0x0F);
        }
    }
    const Bytes expected_chunk(4096, 'r');
    Bytes drain(4096);

    g_largest_allocation = 0;
    g_watch_allocations = true;
    LrsDecoder decoder;
    decoder.feed(head);
    std::size_t fed = head.size();
    std::size_t total = 0;
    bool content_ok = true;
    while (!decoder.done()) {
        while (const std::size_t n = decoder.decode(drain)) {
            content_ok = content_ok &&
                         std::equal(drain.begin(), drain.begin() + static_cast<std::ptrdiff_t>(n),
                                    expected_chunk.begin());
            total += n;
        }
        if (!decoder.done()) {
            decoder.feed(groups);
            fed += groups.size();
        }
    }
    g_watch_allocations = false;

    EXPECT_TRUE(content_ok);
    EXPECT_EQ(total, kDeclared);
    EXPECT_EQ(decoder.outcome().produced, kDeclared);
    EXPECT_EQ(decoder.outcome().end, LrsEnd::OutputFull);
    EXPECT_LT(decoder.outcome().consumed, fed);
    // The hook saw the decoder's window, and nothing near the output's size.
    EXPECT_GE(g_largest_allocation.load(), std::size_t{4095});
    EXPECT_LT(g_largest_allocation.load(), std::size_t{1} << 20);
}

}  // namespace
