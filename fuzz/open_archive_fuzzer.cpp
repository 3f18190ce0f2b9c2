// Opens arbitrary bytes as an archive, then fetches every file in it, both
// leniently and strictly and into a reused buffer, and decodes every one as
// a font record: everything must end in a value or a clean error, the errors
// must be the ones an archive can cause, and the fetches must agree.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>

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

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

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
    auto opened = tarnwick_dat::DatDatabase::open(file.path_with(data, size));
    if (!opened) {
        check_archive_error(opened.error());
        return 0;
    }
    const tarnwick_dat::DatDatabase& database = opened.value();
    std::uint32_t previous_id = 0;
    bool first = true;
    tarnwick_dat::Bytes reused;
    for (const tarnwick_dat::DatFileEntry& entry : database.files()) {
        // The table is in ascending id order, one entry per id.
        check(first || entry.id > previous_id);
        check(database.files().find(entry.id) == &entry);
        first = false;
        previous_id = entry.id;

        auto lenient = database.get_file(entry.id);
        auto strict = database.get_file(entry.id, tarnwick_dat::FetchOptions{true});
        if (!lenient) {
            check_archive_error(lenient.error());
            // A chain that cannot be read fails the same way however the
            // stream would be judged.
            check(!strict && strict.error().display() == lenient.error().display());
            continue;
        }
        if (!entry.is_compressed()) {
            // Stored files come back as stored, and strictness changes nothing.
            check(lenient.value().size() == entry.size);
            check(strict && strict.value() == lenient.value());
        } else if (strict) {
            check(strict.value() == lenient.value());
        } else {
            check(strict.error().kind() == DatErrorKind::DecompressionFailed);
        }
        // A caller's buffer gets the same bytes.
        check(database.read_file_into(entry.id, reused) && reused == lenient.value());

        auto decoded = database.decoded_size(entry.id);
        check(decoded.has_value());
        if (!entry.is_compressed() || strict) {
            check(decoded.value() == lenient.value().size());
        }
        (void)tarnwick_dat::decode_font(lenient.value());
    }
    return 0;
}
