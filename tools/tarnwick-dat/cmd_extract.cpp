// extract: every (selected) file to DIR/TYPE/ID.bin. Names are built only
// from the type name and the id, and every file is created relative to a
// descriptor of its type directory, opened without following a symbolic
// link, so nothing can land outside DIR.

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

// A directory descriptor opened here, closed when done.
class DirFd {
  public:
    explicit DirFd(int fd) : fd_(fd) {}
    DirFd(DirFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    DirFd& operator=(DirFd&&) = delete;
    DirFd(const DirFd&) = delete;
    DirFd& operator=(const DirFd&) = delete;
    ~DirFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

class Extractor {
  public:
    Extractor(std::string dir, DirFd root) : dir_(std::move(dir)), root_(std::move(root)) {}

    /// Writes one file; returns an error message on failure.
    std::optional<std::string> write(tarnwick_dat::DatFileType type, std::uint32_t id,
                                     const tarnwick_dat::Bytes& bytes) {
        const std::string type_name(tarnwick_dat::name(type));
        auto found = type_dirs_.find(type_name);
        if (found == type_dirs_.end()) {
            auto opened = open_type_dir(type_name);
            if (!opened) {
                return fmt::format("cannot use directory '{}/{}': {}", dir_, type_name,
                                   std::strerror(errno));
            }
            found = type_dirs_.emplace(type_name, std::move(*opened)).first;
        }
        const std::string file_name = fmt::format("{:08X}.bin", id);
        const int fd = ::openat(found->second.get(), file_name.c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            return fmt::format("cannot create '{}/{}/{}': {}", dir_, type_name, file_name,
                               std::strerror(errno));
        }
        const int code = write_all(fd, bytes);
        const int closed = ::close(fd);
        if (code != 0 || closed != 0) {
            return fmt::format("cannot write '{}/{}/{}': {}", dir_, type_name, file_name,
                               std::strerror(code != 0 ? code : errno));
        }
        return std::nullopt;
    }

  private:
    // Creates the type directory when missing and opens it; refuses a
    // symbolic link (ELOOP) or anything that is not a directory (ENOTDIR).
    std::optional<DirFd> open_type_dir(const std::string& type_name) {
        if (::mkdirat(root_.get(), type_name.c_str(), 0755) != 0 && errno != EEXIST) {
            return std::nullopt;
        }
        const int fd = ::openat(root_.get(), type_name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        return DirFd(fd);
    }

    std::string dir_;
    DirFd root_;
    std::map<std::string, DirFd> type_dirs_;
};

}  // namespace

int run_extract(const ParsedArgs& args) {
    const std::optional<tarnwick_dat::DatFileType> type = type_filter(args);
    auto db = open_archive(args.positional[0]);
    if (!db) {
        return kExitFailure;
    }
    const std::string& dir = args.positional[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        report_error(fmt::format("cannot create directory '{}': {}", dir, error.message()));
        return kExitFailure;
    }
    const int root = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        report_error(fmt::format("cannot open directory '{}': {}", dir, std::strerror(errno)));
        return kExitFailure;
    }
    Extractor extractor(dir, DirFd(root));

    const auto ids = sorted_ids(*db, type);
    ProgressBar progress(ids.size(), stderr_is_terminal());
    std::size_t extracted = 0;
    std::size_t failed = 0;
    for (const std::uint32_t id : ids) {
        // One file at a time: a damaged file is reported and skipped, and
        // never holds up the others.
        auto bytes = db->get_file(id);
        if (!bytes) {
            progress.clear();
            report_error(bytes.error());
            ++failed;
            progress.step();
            continue;
        }
        if (auto problem = extractor.write(type_of(*db, id), id, bytes.value())) {
            // The output side failing (disk full, a refused directory) would
            // fail the same way for the next file: stop here.
            progress.clear();
            report_error(*problem);
            return kExitFailure;
        }
        ++extracted;
        progress.step();
    }
    progress.clear();
    fmt::print("extracted {} of {} files into {}\n", extracted, ids.size(), dir);
    return failed == 0 ? kExitOk : kExitFailure;
}

}  // namespace tarnwick_dat_tool
