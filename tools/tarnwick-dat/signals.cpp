#include "signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tarnwick_dat_tool {

namespace {

constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

std::atomic<bool> g_broken_pipe_ends_run{true};
std::atomic<int> g_stop_scopes{0};
std::atomic<int> g_stop_signal{0};

// The temporary files in existence, each by its directory and name. Never
// destroyed: the signal thread may use it while the process exits.
struct Registry {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> files;  // an empty name: a free slot
    std::vector<TemporaryToken> free;
};

Registry& registry() {
    static auto* const instance = new Registry;
    return *instance;
}

void signal_thread(sigset_t set) {
    while (true) {
        int signal = 0;
        if (::sigwait(&set, &signal) != 0) {
            continue;
        }
        int none = 0;
        if (g_stop_scopes.load() > 0 && g_stop_signal.compare_exchange_strong(none, signal)) {
            continue;  // the run stops and cleans up on its own
        }
        end_by_signal(signal);
    }
}

}  // namespace

void start_signal_handling() {
    struct sigaction previous {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previous);
    g_broken_pipe_ends_run.store(previous.sa_handler != SIG_IGN);

    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kEndingSignals) {
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaddset(&set, signal);
        }
    }
    // Blocked here, so in every thread started later: only the signal
    // thread takes them.
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        std::thread(signal_thread, set).detach();
    } catch (const std::system_error&) {
        // No thread to take them: the signals keep their default action.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

bool broken_pipe_ends_run() {
    return g_broken_pipe_ends_run.load();
}

int stop_signal() {
    return g_stop_signal.load();
}

StopScope::StopScope() {
    g_stop_scopes.fetch_add(1);
}

StopScope::~StopScope() {
    g_stop_scopes.fetch_sub(1);
}

void end_by_signal(int signal) {
    Registry& files = registry();
    // Held until the end: no temporary file can be created after these are
    // removed.
    files.mutex.lock();
    for (const auto& [dir, name] : files.files) {
        if (!name.empty()) {
            ::unlinkat(dir, name.c_str(), 0);
        }
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    // A signal whose default action does not end a process.
    std::_Exit(128 + signal);
}

int create_temporary(int dir, std::string& name, const std::function<int(std::string&)>& create,
                     TemporaryToken& token) {
    token = kNoTemporary;
    Registry& files = registry();
    const std::lock_guard lock(files.mutex);
    // Room first, so that nothing can fail once the file exists; `free`
    // never holds more tokens than there are slots.
    files.files.reserve(files.files.size() + 1);
    files.free.reserve(files.files.size() + 1);
    const int fd = create(name);
    if (fd < 0) {
        return fd;
    }
    const int saved_errno = errno;
    try {
        if (files.free.empty()) {
            files.files.emplace_back(dir, name);
            token = files.files.size() - 1;
        } else {
            files.files[files.free.back()] = {dir, name};
            token = files.free.back();
            files.free.pop_back();
        }
    } catch (...) {
        ::close(fd);
        ::unlinkat(dir, name.c_str(), 0);
        throw;
    }
    errno = saved_errno;
    return fd;
}

void forget_temporary(TemporaryToken token) {
    if (token == kNoTemporary) {
        return;
    }
    Registry& files = registry();
    const std::lock_guard lock(files.mutex);
    files.files[token].second.clear();
    files.free.push_back(token);
}

}  // namespace tarnwick_dat_tool
