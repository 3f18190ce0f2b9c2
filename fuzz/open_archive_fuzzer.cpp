// Opens arbitrary bytes as an archive, then fetches every file in it and
// decodes every one as a font record: everything must end in a value or a
// clean error, and the errors must be the ones an archive can cause.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/record_reader.hpp>

namespace {

using tarnwick_dat::DatErrorKind;

// An in-memory file reachable by path, so the archive is opened the way a
// user's file is.
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

// Damage in an archive shows as an I/O failure, an unreadable record or
// detected corruption; nothing else may come out of opening or fetching.
void check_archive_error(const tarnwick_dat::DatError& error) {
    const DatErrorKind kind = error.kind();
    if (kind != DatErrorKind::Io && kind != DatErrorKind::BinRead &&
        kind != DatErrorKind::Corruption) {
        std::abort();
    }
    if (error.display().empty() || error.debug().empty()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile file;
    auto database = tarnwick_dat::DatDatabase::open(file.path_with(data, size));
    if (!database) {
        check_archive_error(database.error());
        return 0;
    }
    for (const auto& [id, entry] : database.value().files) {
        if (entry.id != id) {
            std::abort();
        }
        auto bytes = database.value().get_file(id);
        if (!bytes) {
            check_archive_error(bytes.error());
            continue;
        }
        // Stored files come back as stored; only decoding changes the length.
        if (!entry.is_compressed() && bytes.value().size() != entry.size) {
            std::abort();
        }
        tarnwick_dat::ByteReader reader(bytes.value());
        (void)tarnwick_dat::file_type::font::Font::read(reader);
    }
    return 0;
}
