// The tool when its output cannot be written: standard output on /dev/full
// or on a pipe nobody reads, and an extract onto a file system that fills up.
// Each must end in a failing status (or death by SIGPIPE where that signal
// is left at its default), never in a hang or a success.

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <vector>

#include "child_process.hpp"

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::Bytes;
using tarnwick_dat_test::ChildOptions;
using tarnwick_dat_test::ChildRun;
using tarnwick_dat_test::run_child;
using tarnwick_dat_test::SigPipe;
using tarnwick_dat_test::StdoutSink;
using tarnwick_dat_test::TempDir;
using tarnwick_dat_writer::ArchiveBuilder;

constexpr std::uint32_t kFontId = 0x40000001;

Bytes text_bytes(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>("abcdefgh\n"[i % 9]);
    }
    return bytes;
}

void write_file(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Commands that write to standard output; `{archive}` and `{payload}` stand
// for the test archive and an LRS payload fed on standard input.
struct OutputCommand {
    const char* name;
    std::vector<std::string> args;
};

const OutputCommand kOutputCommands[] = {
    {"Cat", {"cat", "{archive}", "0x40000001"}},
    {"Ls", {"ls", "{archive}"}},
    {"Info", {"info", "{archive}"}},
    {"FontJson", {"font", "{archive}", "0x40000001", "--json"}},
    {"LrsDecompress", {"lrs", "decompress"}},
};

void PrintTo(const OutputCommand& row, std::ostream* out) {
    *out << row.name;
}

class OutputFailure : public testing::TestWithParam<OutputCommand> {};

TEST_P(OutputFailure, FailsWhenStandardOutputCannotBeWritten) {
    const TempDir dir;
    const fs::path archive = dir.path() / "portal.dat";
    ArchiveBuilder builder;
    builder.add_file(
        kFontId, tarnwick_dat_writer::encode_font(tarnwick_dat_writer::plain_font(kFontId, 30)));
    builder.add_file(0x06000001, text_bytes(5000), tarnwick_dat_writer::compressed());
    ASSERT_TRUE(builder.write(archive).has_value());
    const fs::path payload = dir.path() / "payload.lrs";
    write_file(payload, tarnwick_dat_writer::compress_lrs(text_bytes(20000)));

    std::vector<std::string> argv = {TARNWICK_DAT_TOOL};
    for (const std::string& arg : GetParam().args) {
        argv.push_back(arg == "{archive}" ? archive.string() : arg);
    }
    ChildOptions options;
    options.stdin_path = payload;
    options.timeout = std::chrono::seconds(30);

    // The command works when its output can be written.
    const ChildRun clean = run_child(argv, options);
    ASSERT_EQ(clean.exit_status, 0) << clean.err;
    ASSERT_FALSE(clean.out.empty());

    options.out = StdoutSink::DevFull;
    const ChildRun full = run_child(argv, options);
    EXPECT_TRUE(full.failed_cleanly())
        << "/dev/full: exit " << full.exit_status << ", signal " << full.signal;
    EXPECT_TRUE(full.has_error_line()) << full.err;

    options.out = StdoutSink::ClosedPipe;
    options.sigpipe = SigPipe::Ignored;
    const ChildRun ignored = run_child(argv, options);
    EXPECT_FALSE(ignored.timed_out);
    EXPECT_TRUE(ignored.failed_cleanly()) << "closed pipe, SIGPIPE ignored: exit "
                                          << ignored.exit_status << ", signal " << ignored.signal;
    EXPECT_TRUE(ignored.has_error_line()) << ignored.err;

    options.sigpipe = SigPipe::Default;
    const ChildRun killed = run_child(argv, options);
    EXPECT_FALSE(killed.timed_out);
    EXPECT_TRUE(killed.signal == SIGPIPE || killed.failed_cleanly())
        << "closed pipe: exit " << killed.exit_status << ", signal " << killed.signal;
}

INSTANTIATE_TEST_SUITE_P(Commands, OutputFailure, testing::ValuesIn(kOutputCommands),
                         [](const testing::TestParamInfo<OutputCommand>& row) {
                             return std::string(row.param.name);
                         });

// Runs `argv` in a mount namespace of its own in which `mount_point` is a
// 64 KiB tmpfs. Returns nothing, with the reason in `why`, when this machine
// does not let the test mount one.
std::optional<ChildRun> run_on_small_tmpfs(const fs::path& mount_point,
                                           std::vector<std::string> argv, const fs::path& logs,
                                           std::string& why) {
    const std::string out = (logs / "stdout").string();
    const std::string err = (logs / "stderr").string();
    const std::string target = mount_point.string();
    std::vector<char*> words;
    for (std::string& word : argv) {
        words.push_back(word.data());
    }
    words.push_back(nullptr);

    // The child reports the step that failed through a pipe that closes
    // unread when the program starts.
    enum Step : int { kUnshare, kPrivate, kMount, kExec };
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        why = "no pipe";
        return std::nullopt;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        int failure[2] = {kUnshare, 0};
        if (::unshare(CLONE_NEWNS) == 0) {
            failure[0] = kPrivate;
            // Keep the mount from propagating back to the machine.
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
                failure[0] = kMount;
                if (::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=64k") == 0) {
                    failure[0] = kExec;
                    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    if (out_fd >= 0 && err_fd >= 0 && ::dup2(out_fd, 1) >= 0 &&
                        ::dup2(err_fd, 2) >= 0) {
                        ::execv(words[0], words.data());
                    }
                }
            }
        }
        failure[1] = errno;
        [[maybe_unused]] const ssize_t sent = ::write(report[1], failure, sizeof failure);
        ::_exit(127);
    }
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        why = "cannot fork";
        return std::nullopt;
    }
    int failure[2] = {0, 0};
    const ssize_t got = ::read(report[0], failure, sizeof failure);
    ::close(report[0]);
    ChildRun run = tarnwick_dat_test::wait_child(pid, std::chrono::seconds(60), out, err);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        static const char* const kSteps[] = {"unshare the mount namespace", "make mounts private",
                                             "mount a tmpfs", "start the tool"};
        why = fmt::format("cannot {}: {}", kSteps[failure[0]], std::strerror(failure[1]));
        if (failure[0] == kExec) {
            ADD_FAILURE() << why;
        }
        return std::nullopt;
    }
    return run;
}

// Once the disk is full no further file is tried: one line says so, then
// the summary, whatever the number of workers.
TEST(ExtractOutOfSpace, StopsWithOneLineAndTheSummary) {
    const TempDir dir;
    const fs::path archive = dir.path() / "portal.dat";
    // 160 KiB of noise in 16 KiB files: more than the file system holds.
    std::mt19937 random(7);
    ArchiveBuilder builder;
    for (std::uint32_t i = 0; i < 10; ++i) {
        Bytes bytes(16384);
        for (std::uint8_t& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        builder.add_file(0x06000001 + i, bytes);
    }
    ASSERT_TRUE(builder.write(archive).has_value());
    const fs::path mount_point = dir.path() / "small";
    fs::create_directory(mount_point);
    const std::string out = (mount_point / "out").string();

    for (const char* jobs : {"-j1", "-j2"}) {
        SCOPED_TRACE(jobs);
        std::string why;
        const auto run = run_on_small_tmpfs(
            mount_point, {TARNWICK_DAT_TOOL, "extract", archive.string(), out, jobs}, dir.path(),
            why);
        if (!run) {
            GTEST_SKIP() << "needs a small tmpfs: " << why;
        }
        EXPECT_FALSE(run->timed_out);
        EXPECT_TRUE(run->exited);
        EXPECT_EQ(run->exit_status, 1) << run->err;
        const std::string full =
            " No space left on device (the disk is full: no further files "
            "are tried)\n";
        const std::size_t end = run->err.find('\n') + 1;
        const std::string first = run->err.substr(0, end);
        EXPECT_EQ(first.rfind("error: " + archive.string() + ": 0x0600000", 0), 0u) << run->err;
        EXPECT_TRUE(first.ends_with(full)) << run->err;
        EXPECT_EQ(run->err.substr(end).rfind("extracted ", 0), 0u) << run->err;
        EXPECT_TRUE(run->err.ends_with(fmt::format(" of 10 files into {}\n", out))) << run->err;
        EXPECT_EQ(std::count(run->err.begin(), run->err.end(), '\n'), 2) << run->err;
    }
}

}  // namespace
