// Comparing two versions of a 100,000-file archive, about 5% of whose files
// were added, removed or changed, side by side in one run with what the
// comparison has to beat: verifying both archives (reading and decoding every
// file once) on the same thread count. Each iteration measures, in turn:
//   - verify of both archives on 1 and on 2 threads;
//   - diff of the two archives on 1 and on 2 threads (aim: within 1.2x of the
//     verification on as many threads, and faster on 2 than on 1);
//   - diff of the old manifest (read from disk) against the new archive, and
//     verify of the new archive alone, on 1 thread (aim: within 1.1x);
//   - diff of two manifests read from disk (aim: under 0.5 s).
// Then the tool's peak memory for each kind of diff, against its peak on two
// tiny archives (aim: under 64 bytes per entry of both versions).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick_dat/diff.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat/manifest.hpp"
#include "tarnwick_dat/verify.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"
#include "tarnwick_dat_writer/sample_archive.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace tarnwick_dat;

constexpr std::size_t kFiles = 100'000;

// The two versions and their manifests in a temporary directory, removed at
// exit. The new version is the old one with every 60th file removed, every
// 60th (shifted by 20) changed in one byte and a new file after every 60th
// (shifted by 40): about 5% of the files in all.
class Versions {
  public:
    Versions() : dir_(fs::temp_directory_path() / ("diff_bench_" + std::to_string(::getpid()))) {
        fs::create_directories(dir_);
        if (!tarnwick_dat_writer::write_sample_archive(
                old_path(), {.files = kFiles, .fonts = 50, .seed = 1, .entries_per_node = 0})) {
            throw std::runtime_error("cannot write the old version");
        }
        const DatDatabase old_db = DatDatabase::open(old_path()).value();
        tarnwick_dat_writer::ArchiveStream stream(new_path());
        stream.header().block_size = 1024;
        Bytes bytes;
        std::size_t i = 0;
        for (const DatFileEntry& entry : old_db.files()) {
            ++i;
            if (i % 60 == 0) {
                continue;
            }
            if (!old_db.read_file_into(entry.id, bytes, {.strict = true})) {
                throw std::runtime_error("the old version does not read back");
            }
            if (i % 60 == 20 && !bytes.empty()) {
                bytes[bytes.size() / 2] ^= 0x5A;
            }
            tarnwick_dat_writer::FileOptions options;
            options.compress = entry.is_compressed();
            options.extra_flags = entry.bit_flags & ~1u;
            options.timestamp = entry.timestamp;
            options.version = entry.version;
            stream.add_file(entry.id, bytes, options);
            if (i % 60 == 40) {
                stream.add_file(entry.id + 1, bytes, options);
            }
        }
        if (!stream.finish()) {
            throw std::runtime_error("cannot write the new version");
        }
        write_manifest(old_path(), old_manifest());
        write_manifest(new_path(), new_manifest());
        if (!tarnwick_dat_writer::write_sample_archive(tiny_path(), {.files = 2, .fonts = 1})) {
            throw std::runtime_error("cannot write the tiny archive");
        }
    }
    ~Versions() { fs::remove_all(dir_); }
    Versions(const Versions&) = delete;
    Versions& operator=(const Versions&) = delete;

    fs::path old_path() const { return dir_ / "old.dat"; }
    fs::path new_path() const { return dir_ / "new.dat"; }
    fs::path old_manifest() const { return dir_ / "old.json"; }
    fs::path new_manifest() const { return dir_ / "new.json"; }
    fs::path tiny_path() const { return dir_ / "tiny.dat"; }

  private:
    static void write_manifest(const fs::path& archive, const fs::path& out) {
        const DatDatabase db = DatDatabase::open(archive).value();
        std::ofstream(out) << make_manifest(db).text();
    }

    fs::path dir_;
};

const Versions& versions() {
    static const Versions v;
    return v;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time of the whole process (all threads), in seconds: on a
// machine shared with other work, the one-thread phases' processor times
// compare more steadily than their wall times.
double cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The peak resident memory in KiB of the tool run with `args` (output
// discarded), as GNU time reports it: a process of its own, so that none of
// this one's memory is counted.
long tool_peak_kib(const std::vector<std::string>& args, const fs::path& report) {
    std::vector<std::string> argv = {"/usr/bin/time",  "-f", "%M", "-o", report.string(),
                                     TARNWICK_DAT_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) {
        throw std::runtime_error("cannot start /usr/bin/time (Debian package time)");
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    // GNU time puts "Command exited with non-zero status N" first when the
    // status is not 0 (diff's 1 for versions that differ): the last word.
    long peak = 0;
    std::ifstream in(report);
    for (std::string word; in >> word;) {
        peak = std::atol(word.c_str());
    }
    return peak;
}

void BM_DiffVersusVerify(benchmark::State& state) {
    const Versions& v = versions();
    const DatDatabase old_db = DatDatabase::open(v.old_path()).value();
    const DatDatabase new_db = DatDatabase::open(v.new_path()).value();
    double verify_s[3] = {};
    double diff_s[3] = {};
    double manifest_diff_s = 0;
    double verify_new_s = 0;
    double manifests_s = 0;
    // Processor times of the one-thread phases.
    double verify1_cpu = 0;
    double diff1_cpu = 0;
    double verify_new_cpu = 0;
    double manifest_diff_cpu = 0;
    std::size_t changes = 0;
    for (auto _ : state) {
        for (const unsigned threads : {1u, 2u}) {
            VerifyOptions verify;
            verify.threads = threads;
            auto start = std::chrono::steady_clock::now();
            double cpu = cpu_seconds();
            const bool damaged = verify_archive(old_db, verify).damaged() ||
                                 verify_archive(new_db, verify).damaged();
            verify_s[threads] += seconds_since(start);
            if (threads == 1) {
                verify1_cpu += cpu_seconds() - cpu;
            }
            DiffOptions diff;
            diff.threads = threads;
            start = std::chrono::steady_clock::now();
            cpu = cpu_seconds();
            const DiffReport report = diff_archives(old_db, new_db, diff).value();
            diff_s[threads] += seconds_since(start);
            if (threads == 1) {
                diff1_cpu += cpu_seconds() - cpu;
            }
            changes = report.changes.size();
            if (damaged || report.unreadable()) {
                state.SkipWithError("the versions do not read clean");
                return;
            }
        }
        VerifyOptions one;
        one.threads = 1;
        auto start = std::chrono::steady_clock::now();
        double cpu = cpu_seconds();
        benchmark::DoNotOptimize(verify_archive(new_db, one).damaged());
        verify_new_s += seconds_since(start);
        verify_new_cpu += cpu_seconds() - cpu;
        DiffOptions diff;
        diff.threads = 1;
        start = std::chrono::steady_clock::now();
        cpu = cpu_seconds();
        {
            const Manifest old_manifest = Manifest::read(v.old_manifest()).value();
            if (diff_archives(old_manifest, new_db, diff).value().changes.size() != changes) {
                state.SkipWithError("manifest and archive disagree");
                return;
            }
        }
        manifest_diff_s += seconds_since(start);
        manifest_diff_cpu += cpu_seconds() - cpu;
        start = std::chrono::steady_clock::now();
        {
            // Read at once, as the tool does.
            std::optional<Manifest> old_manifest;
            std::thread reader([&] { old_manifest = Manifest::read(v.old_manifest()).value(); });
            const Manifest new_manifest = Manifest::read(v.new_manifest()).value();
            reader.join();
            if (diff_archives(*old_manifest, new_manifest, diff).value().changes.size() !=
                changes) {
                state.SkipWithError("the manifests disagree");
                return;
            }
        }
        manifests_s += seconds_since(start);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["changes"] = static_cast<double>(changes);
    state.counters["verify_both_1thread_ms"] = verify_s[1] / n * 1e3;
    state.counters["diff_1thread_ms"] = diff_s[1] / n * 1e3;
    state.counters["diff1_over_verify1"] = diff_s[1] / verify_s[1];
    state.counters["verify_both_2threads_ms"] = verify_s[2] / n * 1e3;
    state.counters["diff_2threads_ms"] = diff_s[2] / n * 1e3;
    state.counters["diff2_over_verify2"] = diff_s[2] / verify_s[2];
    state.counters["diff2_over_diff1"] = diff_s[2] / diff_s[1];
    state.counters["verify_new_1thread_ms"] = verify_new_s / n * 1e3;
    state.counters["manifest_diff_1thread_ms"] = manifest_diff_s / n * 1e3;
    state.counters["manifest_diff_over_verify"] = manifest_diff_s / verify_new_s;
    state.counters["two_manifests_ms"] = manifests_s / n * 1e3;
    state.counters["cpu_diff1_over_verify1"] = diff1_cpu / verify1_cpu;
    state.counters["cpu_manifest_diff_over_verify"] = manifest_diff_cpu / verify_new_cpu;
}
BENCHMARK(BM_DiffVersusVerify)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_DiffPeakMemory(benchmark::State& state) {
    const Versions& v = versions();
    const double entries = 2.0 * kFiles;
    long base = 0;
    long archives = 0;
    long manifest_archive = 0;
    long manifests = 0;
    for (auto _ : state) {
        const std::string tiny = v.tiny_path().string();
        const fs::path report = v.tiny_path().parent_path() / "peak.txt";
        base = tool_peak_kib({"diff", tiny, tiny, "-j", "2"}, report);
        archives = tool_peak_kib({"diff", v.old_path(), v.new_path(), "-j", "2"}, report);
        manifest_archive =
            tool_peak_kib({"diff", v.old_manifest(), v.new_path(), "-j", "2"}, report);
        manifests = tool_peak_kib({"diff", v.old_manifest(), v.new_manifest()}, report);
    }
    auto per_entry = [&](long peak) { return static_cast<double>(peak - base) * 1024 / entries; };
    state.counters["tiny_peak_KiB"] = static_cast<double>(base);
    state.counters["archives_peak_KiB"] = static_cast<double>(archives);
    state.counters["archives_B_per_entry"] = per_entry(archives);
    state.counters["manifest_archive_peak_KiB"] = static_cast<double>(manifest_archive);
    state.counters["manifest_archive_B_per_entry"] = per_entry(manifest_archive);
    state.counters["manifests_peak_KiB"] = static_cast<double>(manifests);
    state.counters["manifests_B_per_entry"] = per_entry(manifests);
}
BENCHMARK(BM_DiffPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
