// A whole quorvant run over a synthetic archive of 100,000 files holding 50
// fonts, against opening the same archive alone, in one run: the fonts'
// fetching and decoding should add little to what opening already costs.
//
// The run is the real executable (all four cases, default threads), started
// as a child process with its report sent to /dev/null; its peak memory is
// the child's maximum resident set size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

extern char** environ;

namespace {

constexpr std::size_t kFiles = 100'000;
constexpr std::size_t kFonts = 50;

const tarnwick_dat_writer::TempArchiveFile& sample() {
    static const tarnwick_dat_writer::TempArchiveFile file(
        tarnwick_dat_writer::build_sample_archive(
            {.files = kFiles, .fonts = kFonts, .seed = 1, .entries_per_node = 0}));
    return file;
}

struct ChildRun {
    double seconds;
    long peak_rss_kib;
};

// Runs quorvant on the archive and waits for it; throws unless it passes.
ChildRun run_quorvant(const std::string& archive) {
    std::vector<std::string> env_strings = {"TARNWICK_PORTAL_DAT=" + archive};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("TARNWICK_PORTAL_DAT=", 0) != 0) {
            env_strings.emplace_back(*e);
        }
    }
    std::vector<char*> env;
    for (std::string& s : env_strings) {
        env.push_back(s.data());
    }
    env.push_back(nullptr);
    std::string program = QUORVANT_BINARY;
    std::vector<char*> argv = {program.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start quorvant");
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("quorvant did not pass on the sample archive");
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), usage.ru_maxrss};
}

void BM_WholeRunAgainstOpening(benchmark::State& state) {
    const std::string path = sample().path().string();
    double open_seconds = 0;
    double run_seconds = 0;
    long peak_rss_kib = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto database = tarnwick_dat::DatDatabase::open(path);
        const std::chrono::duration<double> opened = std::chrono::steady_clock::now() - start;
        if (!database || database.value().files.size() != kFiles) {
            state.SkipWithError("the sample archive did not open");
            return;
        }
        benchmark::DoNotOptimize(database.value().files.size());
        open_seconds += opened.count();

        const ChildRun run = run_quorvant(path);
        run_seconds += run.seconds;
        peak_rss_kib = std::max(peak_rss_kib, run.peak_rss_kib);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["open_ms"] = 1000 * open_seconds / n;
    state.counters["run_ms"] = 1000 * run_seconds / n;
    state.counters["run_over_open"] = run_seconds / open_seconds;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak_rss_kib) / 1024;
}

BENCHMARK(BM_WholeRunAgainstOpening)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
