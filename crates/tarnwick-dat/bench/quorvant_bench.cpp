// A whole quorvant run over a synthetic archive of 100,000 files holding 50
// fonts, against opening the same archive alone, in one run: fetching and
// decoding the fonts should add little to what opening already costs.
//
// Both sides are measured the same way, as fresh processes with their output
// sent to /dev/null: the run is quorvant itself (all four cases, default
// threads) and the opening alone is `tarnwick-dat info`, which opens the
// archive and prints its header. Peak memory is each child's maximum resident
// set size. The archive is written by a forked child, so that this process
// stays small: a spawned child's peak counts the memory of the process that
// started it. Opening in-process, with the allocator and the page cache warm,
// is reported last for comparison.
//
// With QUORVANT_BENCH_BASELINE=DIR set, DIR's `quorvant` and `tarnwick-dat`
// (another build, say the last release) are run alternately with this
// build's, so that both pairs see the same load; their figures are reported
// beside this build's with a `base_` prefix.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

extern char** environ;

namespace {

constexpr std::size_t kFiles = 100'000;
constexpr std::size_t kFonts = 50;

// The sample archive in a temporary file, removed at exit.
class SampleFile {
  public:
    SampleFile() {
        std::string name =
            (std::filesystem::temp_directory_path() / "quorvant_bench_XXXXXX").string();
        const int fd = mkstemp(name.data());
        if (fd < 0) {
            throw std::runtime_error("cannot create the sample file");
        }
        close(fd);
        path_ = name;
        const pid_t child = fork();
        if (child == 0) {
            const auto written = tarnwick_dat_writer::write_sample_archive(
                path_, {.files = kFiles, .fonts = kFonts, .seed = 1, .entries_per_node = 0});
            _exit(written ? 0 : 1);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            throw std::runtime_error("cannot write the sample archive");
        }
    }
    ~SampleFile() { std::filesystem::remove(path_); }
    SampleFile(const SampleFile&) = delete;
    SampleFile& operator=(const SampleFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

const SampleFile& sample() {
    static const SampleFile file;
    return file;
}

struct ChildRun {
    double seconds;
    long peak_rss_kib;
};

// Runs a program with the archive variable set, output to /dev/null, and
// waits for it; throws unless it succeeds.
ChildRun run_child(std::vector<std::string> args, const std::string& archive) {
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
    std::vector<char*> argv;
    for (std::string& s : args) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(args[0] + " failed on the sample archive");
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), usage.ru_maxrss};
}

// The two programs of one build and what their runs add up to.
struct Pair {
    std::string tool;
    std::string quorvant;
    double open_seconds = 0;
    double run_seconds = 0;
    long open_peak_kib = 0;
    long run_peak_kib = 0;

    void run_once(const std::string& path) {
        const ChildRun open = run_child({tool, "info", path}, path);
        const ChildRun run = run_child({quorvant}, path);
        open_seconds += open.seconds;
        run_seconds += run.seconds;
        open_peak_kib = std::max(open_peak_kib, open.peak_rss_kib);
        run_peak_kib = std::max(run_peak_kib, run.peak_rss_kib);
    }

    void report(benchmark::State& state, const std::string& prefix) const {
        const double n = static_cast<double>(state.iterations());
        state.counters[prefix + "open_ms"] = 1000 * open_seconds / n;
        state.counters[prefix + "run_ms"] = 1000 * run_seconds / n;
        state.counters[prefix + "run_over_open"] = run_seconds / open_seconds;
        state.counters[prefix + "open_peak_MiB"] = static_cast<double>(open_peak_kib) / 1024;
        state.counters[prefix + "run_peak_MiB"] = static_cast<double>(run_peak_kib) / 1024;
    }
};

void BM_WholeRunAgainstOpening(benchmark::State& state) {
    const std::string& path = sample().path();
    Pair current{TARNWICK_DAT_TOOL, QUORVANT_BINARY};
    std::optional<Pair> baseline;
    if (const char* dir = std::getenv("QUORVANT_BENCH_BASELINE"); dir != nullptr && *dir != 0) {
        baseline = Pair{std::string(dir) + "/tarnwick-dat", std::string(dir) + "/quorvant"};
    }
    for (auto _ : state) {
        if (baseline) {
            baseline->run_once(path);
        }
        current.run_once(path);
    }
    current.report(state, "");
    if (baseline) {
        baseline->report(state, "base_");
    }
}

void BM_OpenInProcess(benchmark::State& state) {
    const std::string& path = sample().path();
    for (auto _ : state) {
        auto database = tarnwick_dat::DatDatabase::open(path);
        if (!database || database.value().files().size() != kFiles) {
            state.SkipWithError("the sample archive did not open");
            return;
        }
        benchmark::DoNotOptimize(database.value().files().size());
    }
}

BENCHMARK(BM_WholeRunAgainstOpening)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_OpenInProcess)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
