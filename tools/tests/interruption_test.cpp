// The tool ended in the middle of an extraction: by a signal, by a reader
// that went away, by an output stream that cannot be written; and the
// temporary files that runs killed outright left behind. Whatever ends a run,
// it ends by the signal or with a failing status, never by an abort, and no
// temporary file is left.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <thread>
#include <vector>

#include "child_process.hpp"

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::Bytes;
using tarnwick_dat_test::ChildOptions;
using tarnwick_dat_test::ChildRun;
using tarnwick_dat_test::RunningChild;
using tarnwick_dat_test::SigPipe;
using tarnwick_dat_test::StdoutSink;
using tarnwick_dat_test::TempDir;

// Enough files that an extraction is still running well after its first
// file is in place, whatever the machine.
constexpr std::uint32_t kFirstId = 0x06000000;
constexpr std::uint32_t kFiles = 20000;

const tarnwick_dat_writer::TempArchiveFile& many_files() {
    static const auto* const archive = [] {
        tarnwick_dat_writer::ArchiveBuilder builder;
        for (std::uint32_t i = 0; i < kFiles; ++i) {
            builder.add_file(kFirstId + i, Bytes(512, static_cast<std::uint8_t>(i)));
        }
        return new tarnwick_dat_writer::TempArchiveFile(builder.build());
    }();
    return *archive;
}

// The files under `root` whose names end in `suffix`.
std::size_t count_files(const fs::path& root, std::string_view suffix) {
    std::size_t count = 0;
    if (fs::exists(root)) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            count += entry.path().filename().string().ends_with(suffix) ? 1 : 0;
        }
    }
    return count;
}

std::vector<std::string> extract_argv(const fs::path& out, unsigned jobs,
                                      std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {TARNWICK_DAT_TOOL, "extract", many_files().path().string(),
                                     out.string(), fmt::format("-j{}", jobs)};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

// ------------------------------------------------------------------ signals

struct SignalCase {
    const char* name;
    /// Sent one after the other once the first file is in place.
    std::vector<int> signals;
    /// Standard output on a pipe nobody reads (with -v), and SIGPIPE's
    /// disposition at the start.
    bool closed_pipe;
    SigPipe sigpipe;
    /// How the run ends: by this signal, or with status 1 when 0.
    int ended_by;
};

const SignalCase kSignalCases[] = {
    {"Sighup", {SIGHUP}, false, SigPipe::Default, SIGHUP},
    {"Sigterm", {SIGTERM}, false, SigPipe::Default, SIGTERM},
    {"Sigint", {SIGINT}, false, SigPipe::Default, SIGINT},
    {"DoubleSigint", {SIGINT, SIGINT}, false, SigPipe::Default, SIGINT},
    {"BrokenPipe", {}, true, SigPipe::Default, SIGPIPE},
    {"BrokenPipeSigpipeIgnored", {}, true, SigPipe::Ignored, 0},
};

void PrintTo(const SignalCase& row, std::ostream* out) {
    *out << row.name;
}

class ExtractEndedEarly : public testing::TestWithParam<SignalCase> {};

TEST_P(ExtractEndedEarly, LeavesNoTemporaryFile) {
    const SignalCase& c = GetParam();
    for (const unsigned jobs : {1u, 2u}) {
        SCOPED_TRACE(fmt::format("-j{}", jobs));
        const TempDir dir;
        const fs::path out = dir.path() / "out";
        ChildOptions options;
        options.out = c.closed_pipe ? StdoutSink::ClosedPipe : StdoutSink::Capture;
        options.sigpipe = c.sigpipe;
        RunningChild child(extract_argv(out, jobs, {c.closed_pipe ? "-v" : "-q"}), options);
        if (!c.signals.empty()) {
            const fs::path first = out / "Texture" / fmt::format("{:08X}.bin", kFirstId);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!fs::exists(first) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            for (const int signal : c.signals) {
                ::kill(child.pid(), signal);
            }
        }
        const ChildRun run = child.wait();
        EXPECT_FALSE(run.timed_out);
        if (c.ended_by != 0) {
            EXPECT_EQ(run.signal, c.ended_by) << "exit " << run.exit_status << ": " << run.err;
        } else {
            EXPECT_EQ(run.exit_status, 1) << "signal " << run.signal;
            EXPECT_NE(run.err.find("error: cannot write to standard output: Broken pipe\n"),
                      std::string::npos)
                << run.err;
        }
        EXPECT_EQ(count_files(out, ".tmp"), 0u);
        EXPECT_LT(count_files(out, ".bin"), kFiles);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, ExtractEndedEarly, testing::ValuesIn(kSignalCases),
                         [](const testing::TestParamInfo<SignalCase>& row) {
                             return std::string(row.param.name);
                         });

// ------------------------------------------------------ unwritable streams

struct FullStreamCase {
    const char* name;
    /// `{archive}` and `{out}` stand for the archive and an extraction
    /// directory.
    std::vector<std::string> args;
    bool stdout_full;
    bool stderr_full;
    int status;
};

const FullStreamCase kFullStreamCases[] = {
    {"ExtractVerboseStdoutJ1", {"extract", "{archive}", "{out}", "-v", "-j1"}, true, false, 1},
    {"ExtractVerboseStdoutJ2", {"extract", "{archive}", "{out}", "-v", "-j2"}, true, false, 1},
    {"ExtractStderrJ1",
     {"extract", "{archive}", "{out}", "-j1", "06000001", "06000002"},
     false,
     true,
     1},
    {"ExtractStderrJ2",
     {"extract", "{archive}", "{out}", "-j2", "06000001", "06000002"},
     false,
     true,
     1},
    {"ExtractStderrMissingIdJ2",
     {"extract", "{archive}", "{out}", "-j2", "06000001", "7FFFFFFF", "06000002"},
     false,
     true,
     1},
    {"ExtractBothJ2", {"extract", "{archive}", "{out}", "-v", "-j2"}, true, true, 1},
    {"LsMissingArchive", {"ls", "/nonexistent/portal.dat"}, false, true, 1},
    {"UsageError", {"ls"}, false, true, 2},
    {"CatMissingId", {"cat", "{archive}", "99999999"}, false, true, 1},
    {"CatBoth", {"cat", "{archive}", "06000001"}, true, true, 1},
};

void PrintTo(const FullStreamCase& row, std::ostream* out) {
    *out << row.name;
}

class FullStream : public testing::TestWithParam<FullStreamCase> {};

TEST_P(FullStream, FailsWithoutAbortingOrLeavingTemporaries) {
    const FullStreamCase& c = GetParam();
    const TempDir dir;
    const fs::path out = dir.path() / "out";
    std::vector<std::string> argv = {TARNWICK_DAT_TOOL};
    for (const std::string& arg : c.args) {
        argv.push_back(arg == "{archive}" ? many_files().path().string()
                       : arg == "{out}"   ? out.string()
                                          : arg);
    }
    ChildOptions options;
    options.out = c.stdout_full ? StdoutSink::DevFull : StdoutSink::Capture;
    options.stderr_full = c.stderr_full;
    const ChildRun run = tarnwick_dat_test::run_child(argv, options);
    EXPECT_TRUE(run.exited) << "signal " << run.signal;
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(count_files(out, ".tmp"), 0u);
    if (!c.stderr_full) {
        EXPECT_NE(run.err.find("error: cannot write to standard output: No space left on device\n"),
                  std::string::npos)
            << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, FullStream, testing::ValuesIn(kFullStreamCases),
                         [](const testing::TestParamInfo<FullStreamCase>& row) {
                             return std::string(row.param.name);
                         });

// ------------------------------------------------- stale temporary files

// The id of a process that has ended.
pid_t dead_process() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST(StaleTemporaries, OnlyThoseOfEndedRunsAreRemoved) {
    const TempDir dir;
    const fs::path out = dir.path() / "out";
    const fs::path type_dir = out / "Texture";
    fs::create_directories(type_dir);
    const pid_t dead = dead_process();
    const pid_t alive = ::getpid();
    struct Planted {
        std::string name;
        bool removed;
    };
    const Planted planted[] = {
        {fmt::format(".06000001.bin.{}.tmp", dead), true},
        {fmt::format(".0600ABCD.bin.{}.tmp", dead), true},
        {fmt::format(".06000002.bin.{}.tmp", alive), false},  // a running extraction's
        {fmt::format(".0600abcd.bin.{}.tmp", dead), false},   // not as the tool names them
        {fmt::format(".06000003.bin.0{}.tmp", dead), false},
        {fmt::format(".06000003.bin.{}.tmp.keep", dead), false},
        {fmt::format("06000003.bin.{}.tmp", dead), false},
        {".06000003.bin.tmp", false},
        {".06000003.bin.x.tmp", false},
        {"notes.txt", false},
    };
    std::set<std::string> expected;
    for (const Planted& p : planted) {
        std::ofstream(type_dir / p.name) << "planted";
        if (!p.removed) {
            expected.insert(p.name);
        }
    }
    // A directory of the pattern is no file of the tool's.
    const std::string directory = fmt::format(".06000004.bin.{}.tmp", dead);
    fs::create_directory(type_dir / directory);
    expected.insert(directory);

    const ChildRun run =
        tarnwick_dat_test::run_child({TARNWICK_DAT_TOOL, "extract", many_files().path().string(),
                                      out.string(), "-q", "0x06000001", "0x06000005"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    expected.insert("06000001.bin");
    expected.insert("06000005.bin");
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(type_dir)) {
        left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, expected);
}

}  // namespace
