// Opens arbitrary bytes as an archive, then fetches every file in it and
// decodes every one as a font record: everything must end in a value or a
// clean error.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/record_reader.hpp>

namespace {

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

    std::string path_with(const std::uint8_t* data, std::size_t size) const {
        if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
            std::abort();
        }
        return "/proc/self/fd/" + std::to_string(fd_);
    }

private:
    int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile file;
    auto database = tarnwick_dat::DatDatabase::open(file.path_with(data, size));
    if (!database) {
        (void)database.error().display();
        (void)database.error().debug();
        return 0;
    }
    for (const auto& [id, entry] : database.value().files) {
        auto bytes = database.value().get_file(id);
        if (!bytes) {
            (void)bytes.error().display();
            continue;
        }
        tarnwick_dat::ByteReader reader(bytes.value());
        (void)tarnwick_dat::file_type::font::Font::read(reader);
    }
    return 0;
}
