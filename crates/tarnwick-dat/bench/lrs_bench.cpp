// LRS decoding speed, in bytes of output per second, against a plain copy
// of the same size and against a decoder written one token and one byte at
// a time (the baseline the library's decoder must beat with equal results).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarnwick_dat/utils.hpp"
#include "tarnwick_dat_testing/lrs_reference.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"

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

// Binary data dominated by long runs (as in images with flat areas), with
// short stretches of noise between them.
Bytes run_data() {
    Bytes out;
    std::uint64_t state = 2;
    while (out.size() < kSize) {
        out.insert(out.end(), 64 + next(state) % 2000, static_cast<std::uint8_t>(next(state)));
        const std::size_t noise = next(state) % 8;
        for (std::size_t i = 0; i < noise; ++i) {
            out.push_back(static_cast<std::uint8_t>(next(state)));
        }
    }
    out.resize(kSize);
    return out;
}

struct Corpus {
    Bytes plain;
    Bytes payload;
};

// Encodes the data once and checks that both decoders give it back exactly;
// a benchmark of a decoder with wrong results would be meaningless.
Corpus make_corpus(const char* name, Bytes plain) {
    Corpus c{std::move(plain), {}};
    c.payload = tarnwick_dat_writer::compress_lrs(c.plain);
    const Bytes fast = tarnwick_dat::decompress_lrs(c.payload);
    const Bytes slow = tarnwick_dat_testing::decompress_lrs_reference(c.payload);
    if (fast != c.plain || slow != c.plain) {
        std::fprintf(stderr, "%s: decoders disagree with the data\n", name);
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

const Corpus& run_corpus() {
    static const Corpus c = make_corpus("runs", run_data());
    return c;
}

template <const Corpus& (*Get)()>
void BM_Decompress(benchmark::State& state) {
    const Corpus& c = Get();
    for (auto _ : state) {
        Bytes out = tarnwick_dat::decompress_lrs(c.payload);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
    state.counters["ratio"] =
        static_cast<double>(c.plain.size()) / static_cast<double>(c.payload.size());
}

template <const Corpus& (*Get)()>
void BM_Baseline(benchmark::State& state) {
    const Corpus& c = Get();
    for (auto _ : state) {
        Bytes out = tarnwick_dat_testing::decompress_lrs_reference(c.payload);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

// A fresh buffer of the output's size filled by one copy: the ceiling for
// any decoder that returns a new byte array.
template <const Corpus& (*Get)()>
void BM_Memcpy(benchmark::State& state) {
    const Corpus& c = Get();
    for (auto _ : state) {
        Bytes out(c.plain.size());
        std::memcpy(out.data(), c.plain.data(), c.plain.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

// The encoder, for the payloads that tests and tools build.
template <const Corpus& (*Get)()>
void BM_Compress(benchmark::State& state) {
    const Corpus& c = Get();
    for (auto _ : state) {
        Bytes payload = tarnwick_dat_writer::compress_lrs(c.plain);
        benchmark::DoNotOptimize(payload.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.plain.size()));
}

BENCHMARK_TEMPLATE(BM_Decompress, text_corpus)
    ->Name("decompress_lrs/text")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Baseline, text_corpus)->Name("baseline/text")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Memcpy, text_corpus)->Name("memcpy/text")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Decompress, run_corpus)
    ->Name("decompress_lrs/runs")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Baseline, run_corpus)->Name("baseline/runs")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Memcpy, run_corpus)->Name("memcpy/runs")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Compress, text_corpus)
    ->Name("compress_lrs/text")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Compress, run_corpus)
    ->Name("compress_lrs/runs")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
