#include "io.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "error_text.hpp"

namespace tarnwick_dat_tool {

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::Err;

std::string describe(std::string_view path) {
    return path == "-" ? std::string("standard input") : fmt::format("'{}'", path);
}

// Closes a descriptor that this module opened, and only that one.
class OwnedFd {
  public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

}  // namespace

int write_all(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        written += static_cast<std::size_t>(done);
    }
    return 0;
}

tarnwick_dat::Result<Bytes, std::string> read_input(std::string_view path, std::size_t limit) {
    const bool from_stdin = path == "-";
    OwnedFd owned(from_stdin ? -1 : ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!from_stdin && owned.get() < 0) {
        return Err{fmt::format("cannot open {}: {}", describe(path), std::strerror(errno))};
    }
    const int fd = from_stdin ? STDIN_FILENO : owned.get();
    Bytes data;
    std::uint8_t chunk[65536];
    while (true) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Err{fmt::format("cannot read {}: {}", describe(path), std::strerror(errno))};
        }
        if (got == 0) {
            break;
        }
        if (data.size() + static_cast<std::size_t>(got) > limit) {
            return Err{fmt::format("{} holds more than {} bytes", describe(path), limit)};
        }
        data.insert(data.end(), chunk, chunk + got);
    }
    return data;
}

tarnwick_dat::Result<void, std::string> write_output(std::string_view path,
                                                     std::span<const std::uint8_t> bytes) {
    if (path == "-") {
        std::fflush(stdout);
        if (const int code = write_all(STDOUT_FILENO, bytes); code != 0) {
            return Err{stdout_failure(code)};
        }
        return {};
    }
    OwnedFd fd(::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        return Err{fmt::format("cannot create '{}': {}", path, std::strerror(errno))};
    }
    if (const int code = write_all(fd.get(), bytes); code != 0) {
        return Err{fmt::format("cannot write '{}': {}", path, std::strerror(code))};
    }
    if (::close(fd.release()) < 0) {
        return Err{fmt::format("cannot write '{}': {}", path, std::strerror(errno))};
    }
    return {};
}

}  // namespace tarnwick_dat_tool
