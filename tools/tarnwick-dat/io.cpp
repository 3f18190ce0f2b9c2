#include "io.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "error_text.hpp"
#include "signals.hpp"

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

tarnwick_dat::Result<InputFile, std::string> InputFile::open(std::string_view path) {
    if (path == "-") {
        return InputFile("-", STDIN_FILENO);
    }
    const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Err{fmt::format("cannot open {}: {}", describe(path), std::strerror(errno))};
    }
    return InputFile(std::string(path), fd);
}

InputFile::InputFile(InputFile&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) {
    other.fd_ = -1;
}

InputFile::~InputFile() {
    if (fd_ >= 0 && fd_ != STDIN_FILENO) {
        ::close(fd_);
    }
}

tarnwick_dat::Result<std::size_t, std::string> InputFile::read(std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t got = ::read(fd_, buffer.data() + filled, buffer.size() - filled);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Err{fmt::format("cannot read {}: {}", describe(path_), std::strerror(errno))};
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

std::string InputFile::name() const {
    return describe(path_);
}

OutputFile::OutputFile(std::string path, std::string temporary, TemporaryToken token, int fd)
    : path_(std::move(path)), temporary_(std::move(temporary)), token_(token), fd_(fd) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      token_(other.token_),
      fd_(other.fd_) {
    other.fd_ = -1;
    other.temporary_.clear();
    other.token_ = kNoTemporary;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) {
        ::close(fd_);
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
    forget_temporary(token_);
}

tarnwick_dat::Result<OutputFile, std::string> OutputFile::open(std::string_view path) {
    if (path == "-") {
        // What went through stdio so far comes first.
        std::fflush(stdout);
        return OutputFile("-", "", kNoTemporary, STDOUT_FILENO);
    }
    const std::string name(path);
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return Err{fmt::format("cannot create '{}': {}", path, std::strerror(errno))};
        }
        return OutputFile(name, "", kNoTemporary, fd);
    }
    const std::filesystem::path target(name);
    const std::filesystem::path directory = target.parent_path();
    std::string temporary =
        (directory / fmt::format(".{}.tmp-XXXXXX", target.filename().string())).string();
    TemporaryToken token = kNoTemporary;
    const int fd = create_temporary(
        AT_FDCWD, temporary,
        [](std::string& chosen) { return ::mkostemp(chosen.data(), O_CLOEXEC); }, token);
    if (fd < 0) {
        return Err{fmt::format("cannot create '{}': {}", path, std::strerror(errno))};
    }
    // mkostemp makes the file private; give it the mode a plain creation would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0644 & ~mask);
    return OutputFile(name, std::move(temporary), token, fd);
}

tarnwick_dat::Result<void, std::string> OutputFile::failure(std::string_view action,
                                                            int code) const {
    if (path_ == "-") {
        return Err{stdout_failure(code)};
    }
    return Err{fmt::format("cannot {} '{}': {}", action, path_, std::strerror(code))};
}

tarnwick_dat::Result<void, std::string> OutputFile::write(std::span<const std::uint8_t> bytes) {
    if (const int code = write_all(fd_, bytes); code != 0) {
        return failure("write", code);
    }
    return {};
}

tarnwick_dat::Result<void, std::string> OutputFile::commit() {
    if (fd_ == STDOUT_FILENO) {
        return {};
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) < 0) {
        return failure("write", errno);
    }
    if (!temporary_.empty()) {
        if (::rename(temporary_.c_str(), path_.c_str()) < 0) {
            return failure("create", errno);
        }
        temporary_.clear();
        forget_temporary(token_);
        token_ = kNoTemporary;
    }
    return {};
}

tarnwick_dat::Result<void, std::string> write_output(std::string_view path,
                                                     std::span<const std::uint8_t> bytes) {
    auto file = OutputFile::open(path);
    if (!file) {
        return Err{file.error()};
    }
    if (auto written = file->write(bytes); !written) {
        return written;
    }
    return file->commit();
}

}  // namespace tarnwick_dat_tool
