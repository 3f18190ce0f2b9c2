// LRS decoding speed against lz4's safe decoder and a plain copy, on four
// corpora (English-like text, the bytes of a synthetic archive, machine
// code, and literal-heavy data: mostly incompressible bytes with short
// matches, as the contents of a real archive are), each compressed by our
// own encoder and by lz4 from the same data. `compare/<corpus>` times the
// three side by side in every iteration and reports the best time of each as
// MB/s of output, with the ratios ours/lz4 and ours/memcpy, the tokens per
// output byte and the nanoseconds per token, so that one run gives the
// figures. The other benchmarks time the owning decoder, the streaming
// decoder, the plain token-by-token decoder and the encoder.

#include <benchmark/benchmark.h>
#include <lz4.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "tarnwick_dat/lrs.hpp"
#include "tarnwick_dat/utils.hpp"
#include "tarnwick_dat_testing/lrs_reference.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

namespace {

using tarnwick_dat::Bytes;

constexpr std::size_t kSize = 4 << 20;

std::uint64_t next(std::uint64_t& state) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 33;
}

// English-like text: words from a small vocabulary with punctuation.
Bytes text_data() {
    static const char* const kWords[] = {
        "the",     "of",     "and",   "archive", "portal",  "block", "chain",   "font",
        "glyph",   "cell",   "width", "height",  "offset",  "file",  "entry",   "directory",
        "node",    "header", "size",  "data",    "surface", "id",    "version", "compressed",
        "decoder", "output", "input", "stream",  "token",   "byte",  "window",  "reference"};
    Bytes out;
    std::uint64_t state = 1;
    while (out.size() < kSize) {
        const std::string word = kWords[next(state) % 32];
        out.insert(out.end(), word.begin(), word.end());
        const auto r = next(state) % 16;
        out.push_back(r == 0 ? '.' : r == 1 ? ',' : r == 2 ? '\n' : ' ');
    }
    out.resize(kSize);
    return out;
}

// The first 4 MiB of a synthetic archive: directory nodes, fonts, and files
// of random, text and record-like contents, some stored compressed.
Bytes archive_data() {
    tarnwick_dat_writer::SampleOptions options;
    options.files = 4000;
    options.fonts = 40;
    Bytes out = tarnwick_dat_writer::build_sample_archive(options);
    out.resize(std::min(out.size(), kSize));
    return out;
}

// 4 MiB from the middle of a large executable on this machine (its code
// section); empty when none is found.
Bytes code_data() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1",
                             "/usr/lib/llvm-14/lib/libLLVM-14.so", "/usr/bin/clang-14"}) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            continue;
        }
        Bytes all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (all.size() < 2 * kSize) {
            continue;
        }
        const auto from = static_cast<std::ptrdiff_t>(all.size() / 2 - kSize / 2);
        return Bytes(all.begin() + from, all.begin() + from + static_cast<std::ptrdiff_t>(kSize));
    }
    return {};
}

// Mostly incompressible bytes: random runs of 8 to 40 bytes, each followed
// by a short match (3 to 6 bytes) of something up to 4 KiB back, so that the
// stream is long literal runs between short references.
Bytes literal_heavy_data() {
    Bytes out;
    out.reserve(kSize + 64);
    std::uint64_t state = 7;
    while (out.size() < kSize) {
        const std::size_t run = 8 + next(state) % 33;
        for (std::size_t i = 0; i < run; ++i) {
            out.push_back(static_cast<std::uint8_t>(next(state)));
        }
        const std::size_t length = 3 + next(state) % 4;
        const std::size_t distance = 1 + next(state) % std::min<std::size_t>(out.size(), 4000);
        for (std::size_t i = 0; i < length; ++i) {
            out.push_back(out[out.size() - distance]);
        }
    }
    out.resize(kSize);
    return out;
}

// The tokens of a well-formed payload: one per literal and per reference.
std::size_t count_tokens(const Bytes& payload) {
    std::size_t tokens = 0;
    std::size_t at = 4;
    while (at < payload.size()) {
        const unsigned control = payload[at++];
        for (unsigned bit = 0x80; bit != 0 && at < payload.size(); bit >>= 1) {
            at += (control & bit) != 0 ? 2 : 1;
            ++tokens;
        }
    }
    return tokens;
}

struct Corpus {
    Bytes plain;
    Bytes payload;  // ours
    std::vector<char> lz4;
};

// Encodes the data both ways and checks that every decoder gives it back
// exactly; a benchmark of a decoder with wrong results would be meaningless.
Corpus make_corpus(const char* name, Bytes plain) {
    Corpus c{std::move(plain), {}, {}};
    if (c.plain.empty()) {
        return c;
    }
    c.payload = tarnwick_dat_writer::compress_lrs(c.plain);
    const int plain_size = static_cast<int>(c.plain.size());
    c.lz4.resize(static_cast<std::size_t>(LZ4_compressBound(plain_size)));
    const int lz4_size =
        LZ4_compress_default(reinterpret_cast<const char*>(c.plain.data()), c.lz4.data(),
                             plain_size, static_cast<int>(c.lz4.size()));
    c.lz4.resize(static_cast<std::size_t>(lz4_size));
    Bytes out(c.plain.size());
    const bool ours_ok = tarnwick_dat::decompress_lrs_into(c.payload, out) == out.size() &&
                         out == c.plain && tarnwick_dat::decompress_lrs(c.payload) == c.plain;
    const bool lz4_ok = LZ4_decompress_safe(c.lz4.data(), reinterpret_cast<char*>(out.data()),
                                            lz4_size, plain_size) == plain_size &&
                        out == c.plain;
    if (!ours_ok || !lz4_ok ||
        tarnwick_dat_testing::decompress_lrs_reference(c.payload) != c.plain) {
        std::fprintf(stderr, "%s: a decoder disagrees with the data\n", name);
        std::abort();
    }
    // Damaged copies (cut short, size raised) must decode alike too.
    for (const std::size_t cut : {c.payload.size() / 3, c.payload.size() / 2 + 1}) {
        Bytes damaged(c.payload.begin(), c.payload.begin() + static_cast<std::ptrdiff_t>(cut));
        damaged[3] = 0xFF;
        if (tarnwick_dat::decompress_lrs(damaged) !=
            tarnwick_dat_testing::decompress_lrs_reference(damaged)) {
            std::fprintf(stderr, "%s: decoders disagree on a damaged payload\n", name);
            std::abort();
        }
    }
    return c;
}

const Corpus& text_corpus() {
    static const Corpus c = make_corpus("text", text_data());
    return c;
}

const Corpus& archive_corpus() {
    static const Corpus c = make_corpus("archive", archive_data());
    return c;
}

const Corpus& literal_heavy_corpus() {
    static const Corpus c = make_corpus("literal_heavy", literal_heavy_data());
    return c;
}

const Corpus& code_corpus() {
    static const Corpus c = make_corpus("code", code_data());
    return c;
}

bool skip_if_empty(benchmark::State& state, const Corpus& c) {
    if (c.plain.empty()) {
        state.SkipWithError("no large executable found for the machine-code corpus");
        return true;
    }
    return false;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ours, lz4 and memcpy into the same preallocated buffer, interleaved so
// that load from elsewhere on the machine hits all three alike; the best
// time of each counts.
template <const Corpus& (*Get)()>
void BM_Compare(benchmark::State& state) {
    const Corpus& c = Get();
    if (skip_if_empty(state, c)) {
        return;
    }
    Bytes out(c.plain.size());
    const int plain_size = static_cast<int>(c.plain.size());
    double best_ours = std::numeric_limits<double>::infinity();
    double best_lz4 = best_ours;
    double best_copy = best_ours;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(tarnwick_dat::decompress_lrs_into(c.payload, out));
        benchmark::ClobberMemory();
        best_ours = std::min(best_ours, seconds_since(start));

        start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(LZ4_decompress_safe(c.lz4.data(),
                                                     reinterpret_cast<char*>(out.data()),
                                                     static_cast<int>(c.lz4.size()), plain_size));
        benchmark::ClobberMemory();
        best_lz4 = std::min(best_lz4, seconds_since(start));

        start = std::chrono::steady_clock::now();
        std::memcpy(out.data(), c.plain.data(), c.plain.size());
        benchmark::ClobberMemory();
        best_copy = std::min(best_copy, seconds_since(start));
    }
    const double mb = static_cast<double>(c.plain.size()) / 1e6;
    state.counters["ours_MBps"] = mb / best_ours;
    state.counters["lz4_MBps"] = mb / best_lz4;
    state.counters["memcpy_MBps"] = mb / best_copy;
    state.counters["ours/lz4"] = best_lz4 / best_ours;
    state.counters["ours/memcpy"] = best_copy / best_ours;
    state.counters["ratio_ours"] =
        static_cast<double>(c.plain.size()) / static_cast<double>(c.payload.size());
    state.counters["ratio_lz4"] =
        static_cast<double>(c.plain.size()) / static_cast<double>(c.lz4.size());
    const auto tokens = static_cast<double>(count_tokens(c.payload));
    state.counters["tokens/byte"] = tokens / static_cast<double>(c.plain.size());
    state.counters["ns/token"] = best_ours * 1e9 / tokens;
}

// The owning decoder, allocation included.
template <const Corpus& (*Get)()>
void BM_Decompress(benchmark::State& state) {
    const Corpus& c = Get();
    if (skip_if_empty(state, c)) {
        return;
    }
    for (auto _ : state) {
        Bytes out = tarnwick_dat::decompress_lrs(c.payload);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

// The streaming decoder, fed 64 KiB at a time and drained into 64 KiB.
template <const Corpus& (*Get)()>
void BM_Stream(benchmark::State& state) {
    const Corpus& c = Get();
    if (skip_if_empty(state, c)) {
        return;
    }
    Bytes drain(64 << 10);
    for (auto _ : state) {
        tarnwick_dat::LrsDecoder decoder;
        std::size_t total = 0;
        for (std::size_t at = 0; at < c.payload.size(); at += drain.size()) {
            decoder.feed(
                std::span(c.payload).subspan(at, std::min(drain.size(), c.payload.size() - at)));
            while (const std::size_t n = decoder.decode(drain)) {
                total += n;
            }
        }
        decoder.finish();
        while (const std::size_t n = decoder.decode(drain)) {
            total += n;
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

template <const Corpus& (*Get)()>
void BM_Baseline(benchmark::State& state) {
    const Corpus& c = Get();
    if (skip_if_empty(state, c)) {
        return;
    }
    for (auto _ : state) {
        Bytes out = tarnwick_dat_testing::decompress_lrs_reference(c.payload);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

// The encoder, for the payloads that tests and tools build.
template <const Corpus& (*Get)()>
void BM_Compress(benchmark::State& state) {
    const Corpus& c = Get();
    if (skip_if_empty(state, c)) {
        return;
    }
    for (auto _ : state) {
        Bytes payload = tarnwick_dat_writer::compress_lrs(c.plain);
        benchmark::DoNotOptimize(payload.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

#define TARNWICK_LRS_BENCHMARKS(corpus)                \
    BENCHMARK_TEMPLATE(BM_Compare, corpus##_corpus)    \
        ->Name("compare/" #corpus)                     \
        ->Unit(benchmark::kMicrosecond)                \
        ->MinTime(1.0);                                \
    BENCHMARK_TEMPLATE(BM_Decompress, corpus##_corpus) \
        ->Name("decompress_lrs/" #corpus)              \
        ->Unit(benchmark::kMicrosecond);               \
    BENCHMARK_TEMPLATE(BM_Stream, corpus##_corpus)     \
        ->Name("stream/" #corpus)                      \
        ->Unit(benchmark::kMicrosecond);               \
    BENCHMARK_TEMPLATE(BM_Baseline, corpus##_corpus)   \
        ->Name("baseline/" #corpus)                    \
        ->Unit(benchmark::kMicrosecond);               \
    BENCHMARK_TEMPLATE(BM_Compress, corpus##_corpus)   \
        ->Name("compress_lrs/" #corpus)                \
        ->Unit(benchmark::kMillisecond)

TARNWICK_LRS_BENCHMARKS(text);
TARNWICK_LRS_BENCHMARKS(archive);
TARNWICK_LRS_BENCHMARKS(code);
TARNWICK_LRS_BENCHMARKS(literal_heavy);

}  // namespace

BENCHMARK_MAIN();
