// An archive held in memory but opened by path, as the library opens files.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace tarnwick_fuzz {

/// A memory-backed file whose content each input replaces.
class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("archive", 0)) {
        if (fd_ < 0) {
            std::abort();
        }
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Replaces the file's content with `data`; returns a path that opens it.
    std::string path_with(const std::uint8_t* data, std::size_t size) const {
        if (::ftruncate(fd_, 0) != 0 ||
            ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
            std::abort();
        }
        return "/proc/self/fd/" + std::to_string(fd_);
    }

  private:
    int fd_;
};

}  // namespace tarnwick_fuzz
