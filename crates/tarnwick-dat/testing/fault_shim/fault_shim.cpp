// A preloadable library that makes the reads of one file misbehave, for
// tests that run a program under LD_PRELOAD. It intercepts read, pread and
// pread64; calls on any other file pass straight through.
//
// Environment:
//   TARNWICK_FAULT_PATH   the file whose reads are affected (any spelling of
//                         its path; compared after resolving links)
//   TARNWICK_FAULT        count    reads pass through, only counted
//                         eio:N    the Nth read (from 1) fails with EIO
//                         short    every read returns at most 1 to 7 bytes
//                         eintr    every other read, the first included,
//                                  fails with EINTR before reading anything
//   TARNWICK_FAULT_COUNT  when set, the number of reads of the file is
//                         written there as decimal text when the process
//                         exits normally
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Mode { Off, Count, Eio, Short, Eintr };

struct Config {
    Mode mode = Mode::Off;
    unsigned long eio_at = 0;
    char path[PATH_MAX] = {};
};

Config load() {
    Config config;
    const char* path = std::getenv("TARNWICK_FAULT_PATH");
    const char* fault = std::getenv("TARNWICK_FAULT");
    if (path == nullptr || fault == nullptr || ::realpath(path, config.path) == nullptr) {
        return config;
    }
    if (std::strcmp(fault, "count") == 0) {
        config.mode = Mode::Count;
    } else if (std::strncmp(fault, "eio:", 4) == 0) {
        config.mode = Mode::Eio;
        config.eio_at = std::strtoul(fault + 4, nullptr, 10);
    } else if (std::strcmp(fault, "short") == 0) {
        config.mode = Mode::Short;
    } else if (std::strcmp(fault, "eintr") == 0) {
        config.mode = Mode::Eintr;
    } else {
        // A misspelt mode must not pass for a clean run.
        std::fprintf(stderr, "fault shim: unknown TARNWICK_FAULT '%s'\n", fault);
        std::abort();
    }
    return config;
}

const Config& config() {
    static const Config loaded = load();
    return loaded;
}

std::atomic<unsigned long> calls{0};

// Descriptors are looked up on every call rather than cached: a closed
// descriptor's number is soon reused for another file.
bool is_target(int fd) {
    const Config& wanted = config();
    if (wanted.mode == Mode::Off) {
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length < 0) {
        return false;
    }
    target[length] = '\0';
    return std::strcmp(target, wanted.path) == 0;
}

// Decides what the next read of the target file does: fails with an errno
// (returned), or goes ahead with at most `count` bytes (0 returned).
int next_fault(std::size_t& count) {
    const unsigned long call = calls.fetch_add(1) + 1;
    switch (config().mode) {
        case Mode::Eio:
            return call == config().eio_at ? EIO : 0;
        case Mode::Short:
            if (count > 1 + call % 7) {
                count = 1 + call % 7;
            }
            return 0;
        case Mode::Eintr:
            return call % 2 == 1 ? EINTR : 0;
        case Mode::Off:
        case Mode::Count:
            break;
    }
    return 0;
}

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

__attribute__((destructor)) void write_count() {
    const char* out = std::getenv("TARNWICK_FAULT_COUNT");
    if (out == nullptr || config().mode == Mode::Off) {
        return;
    }
    if (std::FILE* file = std::fopen(out, "w")) {
        std::fprintf(file, "%lu\n", calls.load());
        std::fclose(file);
    }
}

using ReadFn = ssize_t (*)(int, void*, std::size_t);
using PreadFn = ssize_t (*)(int, void*, std::size_t, off_t);

template <typename Call>
ssize_t faulty(int fd, std::size_t count, Call call) {
    if (is_target(fd)) {
        if (const int error = next_fault(count); error != 0) {
            errno = error;
            return -1;
        }
    }
    return call(count);
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, std::size_t count) {
    static const ReadFn next = real<ReadFn>("read");
    return faulty(fd, count, [&](std::size_t n) { return next(fd, buffer, n); });
}

ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) {
    static const PreadFn next = real<PreadFn>("pread");
    return faulty(fd, count, [&](std::size_t n) { return next(fd, buffer, n, offset); });
}

ssize_t pread64(int fd, void* buffer, std::size_t count, off_t offset) {
    static const PreadFn next = real<PreadFn>("pread64");
    return faulty(fd, count, [&](std::size_t n) { return next(fd, buffer, n, offset); });
}

}  // extern "C"
