// extract: the selected files to DIR/TYPE/ID.bin, on all cores.
//
// Names are built only from the type name and the id, and every file is
// created relative to a descriptor of its type directory, opened without
// following a symbolic link, so nothing can land outside DIR. Each file is
// written to a temporary name created exclusively beside it and renamed into
// place: a planted link at the final name is replaced rather than written
// through, and an interrupted or failed file leaves nothing behind.

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <tarnwick_dat/budget.hpp>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"
#include "progress.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

// The signal that asked the run to stop, 0 while none has.
std::atomic<int> g_stop_signal{0};

extern "C" void on_stop_signal(int signal) {
    g_stop_signal.store(signal);
}

// Turns SIGINT and SIGTERM into a request to stop, which the workers honour
// between two files and before renaming a finished one, removing their
// temporary file; a second signal ends the process at once.
class StopSignals {
  public:
    StopSignals() {
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &old_int_);
        ::sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

struct TypeDir {
    std::string path;
    Fd fd;
    // Created by this run: nothing was there to check before writing.
    bool fresh = false;
};

struct Job {
    const tarnwick_dat::DatFileEntry* entry;
    std::size_t dir;
};

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    return "not a regular file";
}

class Extractor {
  public:
    Extractor(const tarnwick_dat::DatDatabase& db, const ExtractOptions& options,
              std::vector<TypeDir>& dirs, std::vector<Job>& jobs)
        : db_(db),
          options_(options),
          dirs_(dirs),
          jobs_(jobs),
          temp_suffix_(fmt::format(".{}.tmp", ::getpid())) {}

    // Takes files until none is left or a stop is asked; `progress` is
    // updated by one worker only.
    void work(ProgressBar* progress) {
        tarnwick_dat::Bytes buffer;
        while (g_stop_signal.load() == 0) {
            const std::size_t index = next_.fetch_add(1);
            if (index >= jobs_.size()) {
                break;
            }
            if (extract(jobs_[index], buffer)) {
                extracted_.fetch_add(1);
            }
            const std::size_t done = done_.fetch_add(1) + 1;
            if (progress != nullptr) {
                progress->update(done);
            }
        }
    }

    std::size_t extracted() const { return extracted_.load(); }

  private:
    bool extract(const Job& job, tarnwick_dat::Bytes& buffer) {
        const tarnwick_dat::DatFileEntry& entry = *job.entry;
        const TypeDir& dir = dirs_[job.dir];
        if (dir.fd.get() < 0) {
            return false;  // reported once, with the directory
        }
        // A large file is written as it is read, in bounded memory.
        const bool whole = fetched_whole(entry);
        if (whole && !fetch_file(db_, options_.archive, entry.id, buffer)) {
            return false;
        }
        const std::string name = fmt::format("{:08X}.bin", entry.id);
        const auto path = [&] { return fmt::format("{}/{}", dir.path, name); };
        if (!dir.fresh) {
            struct stat status {};
            if (::fstatat(dir.fd.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
                report_file_error(options_.archive, entry.id,
                                  fmt::format("refusing to replace '{}': it is {}", path(),
                                              kind_of(status.st_mode)));
                return false;
            }
        }
        const std::string temp = "." + name + temp_suffix_;
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(dir.fd.get(), temp.c_str(), flags, 0644);
        if (fd < 0 && errno == EEXIST) {
            // Left by an earlier run of the same process id, or planted:
            // either way a name inside DIR that this run may take.
            ::unlinkat(dir.fd.get(), temp.c_str(), 0);
            fd = ::openat(dir.fd.get(), temp.c_str(), flags, 0644);
        }
        if (fd < 0) {
            report_file_error(options_.archive, entry.id,
                              fmt::format("cannot create '{}': {}", path(), std::strerror(errno)));
            return false;
        }
        int code = 0;
        if (whole) {
            code = write_all(fd, buffer);
        } else if (!stream_file(db_, options_.archive, entry.id,
                                [&](std::span<const std::uint8_t> piece) {
                                    code = write_all(fd, piece);
                                    return code == 0 && g_stop_signal.load() == 0;
                                }) &&
                   code == 0) {
            // Reported by stream_file (or stopped by a signal).
            ::close(fd);
            ::unlinkat(dir.fd.get(), temp.c_str(), 0);
            return false;
        }
        if (code == 0 && plausible_time(entry.timestamp)) {
            const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry.timestamp), 0}};
            ::futimens(fd, times);
        }
        if (::close(fd) != 0 && code == 0) {
            code = errno;
        }
        if (code == 0 && g_stop_signal.load() != 0) {
            ::unlinkat(dir.fd.get(), temp.c_str(), 0);
            return false;
        }
        if (code == 0 && ::renameat(dir.fd.get(), temp.c_str(), dir.fd.get(), name.c_str()) != 0) {
            code = errno;
        }
        if (code != 0) {
            ::unlinkat(dir.fd.get(), temp.c_str(), 0);
            report_file_error(options_.archive, entry.id,
                              fmt::format("cannot write '{}': {}", path(), std::strerror(code)));
            return false;
        }
        if (options_.verbose) {
            outf("{}\n", path());
        }
        return true;
    }

    const tarnwick_dat::DatDatabase& db_;
    const ExtractOptions& options_;
    std::vector<TypeDir>& dirs_;
    std::vector<Job>& jobs_;
    std::string temp_suffix_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<std::size_t> extracted_{0};
};

// Refuses a selection whose declared sizes add up to far more than the
// archive could honestly hold: entries that share one chain, or compressed
// entries that declare huge sizes, would otherwise fill the disk from a
// small file. A file whose size cannot be read is reported and dropped from
// `jobs` (`failed` is set): its chain is unreadable, and extracting it anyway
// would pass a read fault off as success.
bool within_limit(const tarnwick_dat::DatDatabase& db, const ExtractOptions& options,
                  std::vector<Job>& jobs, bool& failed) {
    const std::uint64_t limit =
        options.max_total.empty()
            ? std::min<std::uint64_t>(db.archive_length(), std::uint64_t{1} << 50) * 64 +
                  (std::uint64_t{64} << 20)
            : parse_size(options.max_total, "--max-total size");
    std::vector<std::pair<std::uint64_t, std::uint32_t>> claims;
    claims.reserve(jobs.size());
    std::uint64_t total = 0;
    std::size_t kept = 0;
    for (const Job& job : jobs) {
        const auto size = db.decoded_size(job.entry->id);
        if (!size) {
            report_file_error(options.archive, job.entry->id, size.error());
            failed = true;
            continue;
        }
        total += *size;
        claims.emplace_back(*size, job.entry->id);
        jobs[kept++] = job;
    }
    jobs.resize(kept);
    // The reads the chains may take are bounded too, by the work budget that
    // every pass over many files keeps.
    std::vector<const tarnwick_dat::DatFileEntry*> entries;
    entries.reserve(jobs.size());
    for (const Job& job : jobs) {
        entries.push_back(job.entry);
    }
    tarnwick_dat::WorkBudget budget = tarnwick_dat::WorkBudget::for_archive(db);
    budget.bytes = limit;  // the bytes' budget is the limit, checked below
    const tarnwick_dat::BudgetCheck work = tarnwick_dat::check_budget(db, entries, budget);
    if (work.reads > budget.reads) {
        report_archive_error(options.archive,
                             fmt::format("refusing to extract: {}", work.describe()));
        return false;
    }
    if (total <= limit) {
        return true;
    }
    const std::size_t shown = std::min<std::size_t>(5, claims.size());
    std::partial_sort(claims.begin(), claims.begin() + static_cast<std::ptrdiff_t>(shown),
                      claims.end(), [](const auto& a, const auto& b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                      });
    std::string largest;
    for (std::size_t i = 0; i < shown; ++i) {
        largest += fmt::format("{}0x{:08X} ({} bytes)", i == 0 ? "" : ", ", claims[i].second,
                               claims[i].first);
    }
    report_archive_error(
        options.archive,
        fmt::format("refusing to extract: the selected files would expand to {} bytes, more "
                    "than the limit of {} bytes ({}); the largest: {}",
                    total, limit,
                    options.max_total.empty()
                        ? "64 times the archive's size plus 64 MiB; --max-total sets another"
                        : "--max-total",
                    largest));
    return false;
}

}  // namespace

int run_extract(const ExtractOptions& options) {
    const Selection selection = parse_selection(options.select);
    if (options.dir.empty()) {
        throw UsageError("DIR must not be empty");
    }
    unsigned jobs_wanted = std::max(1u, std::thread::hardware_concurrency());
    if (!options.jobs.empty()) {
        jobs_wanted = static_cast<unsigned>(parse_number(options.jobs, 1024, "job count"));
        if (jobs_wanted == 0) {
            throw UsageError("invalid job count '0' (expected 1 to 1024)");
        }
    }
    if (!options.max_total.empty()) {
        parse_size(options.max_total, "--max-total size");
    }
    auto db = open_archive(options.archive);
    if (!db) {
        return kExitFailure;
    }
    const Picked picked = pick(*db, selection);
    const std::size_t selected = picked.entries.size() + picked.missing.size();

    // One directory per type met, in first-met order.
    std::vector<TypeDir> dirs;
    std::map<tarnwick_dat::DatFileType, std::size_t> dir_of_type;
    std::vector<Job> jobs;
    jobs.reserve(picked.entries.size());
    for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
        const tarnwick_dat::DatFileType type = db->file_type(entry->id);
        auto found = dir_of_type.find(type);
        if (found == dir_of_type.end()) {
            found = dir_of_type.emplace(type, dirs.size()).first;
            dirs.push_back(
                TypeDir{fmt::format("{}/{}", options.dir, tarnwick_dat::name(type)), Fd(), false});
        }
        jobs.push_back(Job{entry, found->second});
    }
    bool failed = report_missing(options.archive, picked);
    if (!within_limit(*db, options, jobs, failed)) {
        return kExitFailure;
    }

    std::error_code error;
    std::filesystem::create_directories(options.dir, error);
    if (error) {
        report_error(fmt::format("cannot create directory '{}': {}", options.dir, error.message()));
        return kExitFailure;
    }
    const Fd root(::open(options.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
        report_error(
            fmt::format("cannot open directory '{}': {}", options.dir, std::strerror(errno)));
        return kExitFailure;
    }
    for (const auto& [type, dir_index] : dir_of_type) {
        const std::size_t index = dir_index;  // captured below
        TypeDir& dir = dirs[index];
        const std::string name(tarnwick_dat::name(type));
        dir.fresh = ::mkdirat(root.get(), name.c_str(), 0755) == 0;
        const int code = dir.fresh || errno == EEXIST ? 0 : errno;
        // O_NOFOLLOW: a symbolic link in the type's place is refused (ELOOP).
        dir.fd = Fd(code != 0 ? -1
                              : ::openat(root.get(), name.c_str(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.fd.get() < 0) {
            const int why = code != 0 ? code : errno;
            struct stat status {};
            const bool link =
                ::fstatat(root.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(status.st_mode);
            const auto count = std::count_if(jobs.begin(), jobs.end(),
                                             [&](const Job& job) { return job.dir == index; });
            report_archive_error(
                options.archive,
                fmt::format("cannot use directory '{}' ({} file{} not extracted): {}", dir.path,
                            count, count == 1 ? "" : "s",
                            link ? "it is a symbolic link" : std::strerror(why)));
            failed = true;
        }
    }

    Extractor extractor(*db, options, dirs, jobs);
    {
        const StopSignals stop_signals;
        ProgressBar progress(jobs.size(), !options.quiet && stderr_is_terminal());
        const unsigned workers = static_cast<unsigned>(
            std::min<std::size_t>(jobs_wanted, std::max<std::size_t>(1, jobs.size())));
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < workers; ++i) {
            threads.emplace_back([&extractor] { extractor.work(nullptr); });
        }
        extractor.work(&progress);
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    const std::size_t extracted = extractor.extracted();
    failed = failed || extracted != picked.entries.size();
    if (!options.quiet) {
        report_note(
            fmt::format("extracted {} of {} files into {}", extracted, selected, options.dir));
    }
    if (const int signal = g_stop_signal.load(); signal != 0) {
        // End as the signal would have ended us, now that nothing is half
        // written.
        flush_out();
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
