#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tarnwick_dat_test {

namespace fs = std::filesystem;

namespace {

std::string name_of(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> child_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name = name_of(*entry);
        bool replaced = false;
        for (const std::string& own : extra) {
            replaced = replaced || name_of(own) == name;
        }
        if (!replaced) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (std::string& word : words) {
        out.push_back(word.data());
    }
    out.push_back(nullptr);
    return out;
}

// Restores the caller's SIGPIPE disposition when the spawn is done.
class SigPipeIgnored {
  public:
    SigPipeIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &saved_);
    }
    ~SigPipeIgnored() { ::sigaction(SIGPIPE, &saved_, nullptr); }
    SigPipeIgnored(const SigPipeIgnored&) = delete;
    SigPipeIgnored& operator=(const SigPipeIgnored&) = delete;

  private:
    struct sigaction saved_ {};
};

}  // namespace

bool ChildRun::has_error_line() const {
    std::size_t start = 0;
    while (start < err.size()) {
        if (err.compare(start, 6, "error:") == 0) {
            return true;
        }
        const std::size_t end = err.find('\n', start);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

ChildRun run_child(const std::vector<std::string>& argv, const ChildOptions& options) {
    RunningChild child(argv, options);
    return child.wait();
}

RunningChild::RunningChild(const std::vector<std::string>& argv, const ChildOptions& options)
    : timeout_(options.timeout) {
    const fs::path out = dir_.path() / "stdout";
    const fs::path err = dir_.path() / "stderr";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string in = options.stdin_path.empty() ? "/dev/null" : options.stdin_path.string();
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    int pipe_ends[2] = {-1, -1};
    switch (options.out) {
        case StdoutSink::Capture:
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
            break;
        case StdoutSink::DevFull:
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
            break;
        case StdoutSink::ClosedPipe:
            if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
                throw std::runtime_error("cannot make a pipe");
            }
            ::close(pipe_ends[0]);
            posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
            break;
    }
    if (options.stderr_full) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/full", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }

    // An ignored signal stays ignored across exec; a default one is asked for
    // explicitly, whatever this process does with it (a test run in the
    // background of a script has SIGINT and SIGQUIT ignored). None is
    // blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        sigaddset(&defaults, signal);
    }
    if (options.sigpipe == SigPipe::Default) {
        sigaddset(&defaults, SIGPIPE);
    }
    sigset_t unblocked;
    sigemptyset(&unblocked);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &unblocked);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> words = argv;
    std::vector<std::string> env = child_environment(options.env);
    std::vector<char*> word_ptrs = pointers(words);
    std::vector<char*> env_ptrs = pointers(env);
    int spawned = 0;
    {
        std::optional<SigPipeIgnored> ignored;
        if (options.sigpipe == SigPipe::Ignored) {
            ignored.emplace();
        }
        spawned = posix_spawn(&pid_, words[0].c_str(), &actions, &attributes, word_ptrs.data(),
                              env_ptrs.data());
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_ends[1] >= 0) {
        ::close(pipe_ends[1]);
    }
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + words[0]);
    }
}

RunningChild::~RunningChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

ChildRun RunningChild::wait() {
    const pid_t pid = pid_;
    pid_ = -1;
    return wait_child(pid, timeout_, dir_.path() / "stdout", dir_.path() / "stderr");
}

ChildRun wait_child(pid_t pid, std::chrono::seconds timeout, const fs::path& out,
                    const fs::path& err) {
    ChildRun run;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(100);
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            throw std::runtime_error("cannot wait for a child process");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            run.timed_out = true;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    run.exited = WIFEXITED(status);
    run.exit_status = run.exited ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.out = read_text(out);
    run.err = read_text(err);
    return run;
}

TempDir::TempDir() {
    std::string name = (fs::temp_directory_path() / "tarnwick-dat-test-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace tarnwick_dat_test
