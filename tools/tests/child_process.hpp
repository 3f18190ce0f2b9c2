// Runs a program as a child process with chosen standard streams and extra
// environment variables, for the tests that watch how programs fail.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tarnwick_dat_test {

/// Where the child's standard output goes.
enum class StdoutSink {
    /// A file, read back into `ChildRun::out`.
    Capture,
    /// /dev/full: every write fails with ENOSPC.
    DevFull,
    /// A pipe whose read end is already closed.
    ClosedPipe,
};

/// The disposition of SIGPIPE that the child starts with.
enum class SigPipe { Default, Ignored };

struct ChildOptions {
    /// "NAME=VALUE" entries added to (or replacing) the inherited environment.
    std::vector<std::string> env;
    /// Fed to standard input; empty means /dev/null.
    std::filesystem::path stdin_path;
    StdoutSink out = StdoutSink::Capture;
    /// Standard error on /dev/full rather than captured.
    bool stderr_full = false;
    SigPipe sigpipe = SigPipe::Default;
    /// The child is killed past this time and the run marked as timed out.
    std::chrono::seconds timeout{60};
};

struct ChildRun {
    /// Set when the child exited; `exit_status` is then its status.
    bool exited = false;
    int exit_status = -1;
    /// The signal that ended the child, or 0.
    int signal = 0;
    bool timed_out = false;
    std::string out;
    std::string err;

    /// True for a child that exited with a status other than 0 (not killed).
    bool failed_cleanly() const { return exited && exit_status != 0; }
    /// True when some line of standard error starts with "error:".
    bool has_error_line() const;
};

/// Runs `argv` (argv[0] is the program's path) and waits for it.
ChildRun run_child(const std::vector<std::string>& argv, const ChildOptions& options = {});

/// Waits for the child `pid` (killing it past `timeout`) and reads back its
/// standard output and error from the files it wrote them to.
ChildRun wait_child(pid_t pid, std::chrono::seconds timeout, const std::filesystem::path& out,
                    const std::filesystem::path& err);

/// A child started by `start`, for a test that acts on it while it runs
/// (signals it); a child never waited for is killed and reaped.
class RunningChild;

/// A directory of its own for a test, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

class RunningChild {
  public:
    /// Starts `argv` as `run_child` does, without waiting for it.
    RunningChild(const std::vector<std::string>& argv, const ChildOptions& options = {});
    ~RunningChild();
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;

    pid_t pid() const { return pid_; }
    /// Waits for the child (killing it past the options' timeout).
    ChildRun wait();

  private:
    TempDir dir_;
    std::chrono::seconds timeout_;
    pid_t pid_ = -1;
};

/// The whole content of a file ("" when it cannot be read).
std::string read_text(const std::filesystem::path& path);

}  // namespace tarnwick_dat_test
