// The archive file: opened read-only, read sequentially for the header and
// positionally for everything else.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "../utils.hpp"

namespace tarnwick_dat {

namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

Result<ReadOnlyFile, IoError> ReadOnlyFile::open(const std::filesystem::path& path) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Err{IoError::from_os(errno)};
    }
    return ReadOnlyFile(fd);
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Result<void, IoError> ReadOnlyFile::seek(std::uint64_t offset) {
    if (offset > kMaxOffset) {
        return Err{IoError::from_os(EINVAL)};
    }
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
        return Err{IoError::from_os(errno)};
    }
    return {};
}

Result<std::size_t, IoError> ReadOnlyFile::read(std::span<std::uint8_t> out) {
    while (true) {
        const ssize_t got = ::read(fd_, out.data(), out.size());
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return Err{IoError::from_os(errno)};
        }
    }
}

Result<void, IoError> ReadOnlyFile::read_exact_at_compat(std::span<std::uint8_t> out,
                                                         std::uint64_t offset) const {
    auto got = read_at_most(out, offset);
    if (!got) {
        return Err{std::move(got).error()};
    }
    if (got.value() < out.size()) {
        return Err{IoError::unexpected_eof()};
    }
    return {};
}

Result<std::size_t, IoError> ReadOnlyFile::read_at_most(std::span<std::uint8_t> out,
                                                        std::uint64_t offset) const {
    std::size_t filled = 0;
    while (filled < out.size()) {
        // No file reaches past the largest offset the OS can address, so a
        // range beyond it simply lies past the end of the data.
        if (offset > kMaxOffset || filled > kMaxOffset - offset) {
            break;
        }
        const ssize_t got = ::pread(fd_, out.data() + filled, out.size() - filled,
                                    static_cast<off_t>(offset + filled));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Err{IoError::from_os(errno)};
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

Result<std::uint64_t, IoError> ReadOnlyFile::size() const {
    struct stat status {};
    if (::fstat(fd_, &status) < 0) {
        return Err{IoError::from_os(errno)};
    }
    // A block device (an archive on a raw partition or a loop device)
    // reports no size through fstat; ask the device instead.
    if (S_ISBLK(status.st_mode)) {
        std::uint64_t bytes = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &bytes) < 0) {
            return Err{IoError::from_os(errno)};
        }
        return bytes;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace tarnwick_dat
