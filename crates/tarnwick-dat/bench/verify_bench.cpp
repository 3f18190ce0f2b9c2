// Verifying an archive of 100,000 files against fetching every file once,
// side by side in one run: the fetch loop (`get_file` for every id, on one
// core) and `verify_archive` on one thread and on two. Each iteration runs
// all three in turn, so that they see the same cache state and machine load.
// The aim: verification within 1.3x of the fetch loop on one core, and
// faster than it on two.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat/verify.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

namespace {

constexpr std::size_t kFiles = 100'000;
constexpr std::size_t kFonts = 50;

// The sample archive in a temporary file, removed at exit.
class SampleFile {
  public:
    SampleFile()
        : path_(std::filesystem::temp_directory_path() /
                ("verify_bench_" + std::to_string(::getpid()) + ".dat")) {
        const auto written = tarnwick_dat_writer::write_sample_archive(
            path_, {.files = kFiles, .fonts = kFonts, .seed = 1, .entries_per_node = 0});
        if (!written) {
            throw std::runtime_error("cannot write the sample archive");
        }
    }
    ~SampleFile() { std::filesystem::remove(path_); }
    SampleFile(const SampleFile&) = delete;
    SampleFile& operator=(const SampleFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

const SampleFile& sample() {
    static const SampleFile file;
    return file;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_VerifyVersusFetchAll(benchmark::State& state) {
    auto db = tarnwick_dat::DatDatabase::open(sample().path());
    if (!db || db->files().size() != kFiles) {
        state.SkipWithError("cannot open the sample archive");
        return;
    }
    double fetch_seconds = 0;
    double verify1_seconds = 0;
    double verify2_seconds = 0;
    std::uint64_t fetched_bytes = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::uint64_t bytes = 0;
        for (const tarnwick_dat::DatFileEntry& entry : db->files()) {
            auto file = db->get_file(entry.id);
            if (!file) {
                state.SkipWithError("a fetch failed");
                return;
            }
            bytes += file->size();
        }
        fetch_seconds += seconds_since(start);
        fetched_bytes = bytes;

        for (const unsigned threads : {1u, 2u}) {
            start = std::chrono::steady_clock::now();
            tarnwick_dat::VerifyOptions options;
            options.threads = threads;
            const auto report = tarnwick_dat::verify_archive(db.value(), options);
            (threads == 1 ? verify1_seconds : verify2_seconds) += seconds_since(start);
            if (report.damaged() || report.totals.files != kFiles ||
                report.totals.decoded_bytes != bytes) {
                state.SkipWithError("the sample does not verify clean");
                return;
            }
        }
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["fetch_all_1core_ms"] = fetch_seconds / n * 1e3;
    state.counters["verify_1thread_ms"] = verify1_seconds / n * 1e3;
    state.counters["verify_2threads_ms"] = verify2_seconds / n * 1e3;
    state.counters["verify1_over_fetch"] = verify1_seconds / fetch_seconds;
    state.counters["verify2_over_fetch"] = verify2_seconds / fetch_seconds;
    state.counters["decoded_MB"] = static_cast<double>(fetched_bytes) / 1e6;
}
BENCHMARK(BM_VerifyVersusFetchAll)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
