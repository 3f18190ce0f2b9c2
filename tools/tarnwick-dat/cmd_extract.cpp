// extract: the selected files to DIR/TYPE/ID.bin (or DIR/ID.bin), on all
// cores.
//
// Names are built only from the type name and the id, and every file is
// created relative to a descriptor of its type directory, opened without
// following a symbolic link, so nothing can land outside DIR. Each file is
// written to a temporary name created exclusively beside it and renamed into
// place: a planted link at the final name is replaced rather than written
// through, and an interrupted or failed file leaves nothing behind. The
// temporary names carry the process id, so that a later run can tell the
// ones left by a run that was killed outright (SIGKILL, a power cut) and
// remove them.

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <tarnwick_dat/budget.hpp>
#include <tarnwick_dat/shared_blocks.hpp>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "io.hpp"
#include "progress.hpp"
#include "signals.hpp"
#include "tree_names.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

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

// A temporary file of the extraction, known to the signal handling: removed
// unless renamed into place, whatever way its worker leaves the file.
class ExtractTemporary {
  public:
    ExtractTemporary(int dir, std::string name) : dir_(dir), name_(std::move(name)) {}
    ~ExtractTemporary() {
        if (token_ != kNoTemporary) {
            ::unlinkat(dir_, name_.c_str(), 0);
            forget_temporary(token_);
        }
    }
    ExtractTemporary(const ExtractTemporary&) = delete;
    ExtractTemporary& operator=(const ExtractTemporary&) = delete;

    // Creates the file exclusively: a name of this pattern left by an
    // earlier run of the same process id, or planted, is a name inside DIR
    // that this run may take.
    int create() {
        return create_temporary(
            dir_, name_,
            [this](std::string& name) {
                const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
                int fd = ::openat(dir_, name.c_str(), flags, 0644);
                if (fd < 0 && errno == EEXIST) {
                    ::unlinkat(dir_, name.c_str(), 0);
                    fd = ::openat(dir_, name.c_str(), flags, 0644);
                }
                return fd;
            },
            token_);
    }

    // Renames the file to `name`; it is then no longer temporary. Unless
    // `replace`, a file already at `name` stays and EEXIST is returned.
    int rename_to(const std::string& name, bool replace) {
        if (replace) {
            if (::renameat(dir_, name_.c_str(), dir_, name.c_str()) != 0) {
                return errno;
            }
        } else if (::renameat2(dir_, name_.c_str(), dir_, name.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno != EINVAL && errno != ENOSYS) {
                return errno;
            }
            // A file system without RENAME_NOREPLACE: a hard link fails just
            // as atomically on a name that is taken.
            if (::linkat(dir_, name_.c_str(), dir_, name.c_str(), 0) != 0) {
                return errno;
            }
            ::unlinkat(dir_, name_.c_str(), 0);
        }
        forget_temporary(token_);
        token_ = kNoTemporary;
        return 0;
    }

  private:
    int dir_;
    std::string name_;
    TemporaryToken token_ = kNoTemporary;
};

// The most written at once: a stop (a signal, a full disk, a failed output)
// is honoured within one piece of even the largest file.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

bool disk_full(int code) {
    return code == ENOSPC || code == EDQUOT;
}

class Extractor {
  public:
    Extractor(const tarnwick_dat::DatDatabase& db, const ExtractOptions& options,
              std::vector<TypeDir>& dirs, std::vector<Job>& jobs)
        : db_(db),
          options_(options),
          dirs_(dirs),
          jobs_(jobs),
          shared_(db),
          temp_suffix_(fmt::format(".{}.tmp", ::getpid())) {}

    // Takes files until none is left or the run stops; `progress` is updated
    // by one worker only. Nothing it meets escapes the thread: a failed
    // output or anything thrown stops every worker and is kept for
    // `rethrow_failure` and `stdout_error`.
    void work(ProgressBar* progress) noexcept {
        try {
            tarnwick_dat::Bytes buffer;
            while (!stopping()) {
                const std::size_t index = next_.fetch_add(1);
                if (index >= jobs_.size()) {
                    break;
                }
                finished(index, extract(jobs_[index], buffer));
                const std::size_t done = done_.fetch_add(1) + 1;
                if (progress != nullptr) {
                    progress->update(done);
                }
            }
        } catch (const StdoutError& error) {
            stop();
            int none = 0;
            stdout_error_.compare_exchange_strong(none, error.code());
        } catch (...) {
            stop();
            const std::lock_guard lock(failure_mutex_);
            if (!failure_) {
                failure_ = std::current_exception();
            }
        }
    }

    std::size_t extracted() const { return extracted_.load(); }

    // Files left alone under --skip-old-files.
    std::size_t skipped() const { return skipped_.load(); }

    // After the workers are done: prints the paths still held back behind a
    // file the run stopped before, in id order.
    void flush_verbose() noexcept {
        try {
            for (const auto& [index, path] : held_) {
                outf("{}\n", path);
            }
            held_.clear();
        } catch (const StdoutError& error) {
            int none = 0;
            stdout_error_.compare_exchange_strong(none, error.code());
        }
    }

    // After the workers are done: throws what a worker met.
    void rethrow_failure() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    // After the workers are done: the error number of standard output's
    // failure, or 0.
    int stdout_error() const { return stdout_error_.load(); }

  private:
    bool stopping() const { return stopped_.load() || stop_signal() != 0; }
    void stop() { stopped_.store(true); }

    // Writes `bytes` a piece at a time; ECANCELED when the run stops
    // meanwhile.
    int write_pieces(int fd, std::span<const std::uint8_t> bytes) const {
        for (std::size_t at = 0; at < bytes.size(); at += kWritePiece) {
            if (stopping()) {
                return ECANCELED;
            }
            const int code =
                write_all(fd, bytes.subspan(at, std::min(kWritePiece, bytes.size() - at)));
            if (code != 0) {
                return code;
            }
        }
        return stopping() ? ECANCELED : 0;
    }

    // A write failed with `code`. After the disk reports it is full no
    // further file is tried, and that is said once.
    void write_failed(std::uint32_t id, const std::string& path, int code) {
        if (code == ECANCELED) {
            return;  // the run stops; the summary tells what was extracted
        }
        if (!disk_full(code)) {
            report_file_error(options_.archive, id,
                              fmt::format("cannot write '{}': {}", path, std::strerror(code)));
            return;
        }
        stop();
        if (!disk_full_.exchange(true)) {
            report_file_error(options_.archive, id,
                              fmt::format("cannot write '{}': {} (the disk is full: no further "
                                          "files are tried)",
                                          path, std::strerror(code)));
        }
    }

    // Job `index` is done; `path` is its file's path when written, else
    // empty. The paths -v prints go out in job order, which is id order:
    // those done ahead of a file still in work are held until it is done.
    void finished(std::size_t index, std::string path) {
        if (!options_.verbose) {
            return;
        }
        const std::lock_guard lock(verbose_mutex_);
        if (index != next_shown_) {
            held_.emplace(index, std::move(path));
            return;
        }
        for (;;) {
            if (!path.empty()) {
                outf("{}\n", path);
            }
            ++next_shown_;
            const auto next = held_.find(next_shown_);
            if (next == held_.end()) {
                return;
            }
            path = std::move(next->second);
            held_.erase(next);
        }
    }

    // An existing file at `name` under --keep-old-files or --skip-old-files:
    // reported or counted.
    void kept_old_file(std::uint32_t id, const std::string& path) {
        if (options_.old_files == OldFiles::Skip) {
            skipped_.fetch_add(1);
            return;
        }
        report_file_error(options_.archive, id,
                          fmt::format("'{}' already exists (--keep-old-files)", path));
    }

    // Writes one file; returns its path when written, else nothing.
    std::string extract(const Job& job, tarnwick_dat::Bytes& buffer) {
        const tarnwick_dat::DatFileEntry& entry = *job.entry;
        const TypeDir& dir = dirs_[job.dir];
        if (dir.fd.get() < 0) {
            return {};  // reported once, with the directory
        }
        const std::string name = file_name(entry.id);
        const std::string path = fmt::format("{}/{}", dir.path, name);
        const bool replace = options_.old_files == OldFiles::Replace;
        if (!replace && !dir.fresh) {
            struct stat status {};
            if (::fstatat(dir.fd.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
                kept_old_file(entry.id, path);
                return {};
            }
        }
        // A large file is written as it is read, in bounded memory.
        const FetchMode mode = fetch_mode(options_.lenient, options_.raw);
        const bool whole = mode != FetchMode::Strict || fetched_whole(entry);
        if (whole && !fetch_file(db_, options_.archive, entry.id, buffer, mode, &shared_)) {
            return {};
        }
        if (!dir.fresh) {
            struct stat status {};
            if (::fstatat(dir.fd.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
                report_file_error(options_.archive, entry.id,
                                  fmt::format("refusing to replace '{}': it is {}", path,
                                              kind_of(status.st_mode)));
                return {};
            }
        }
        if (stopping()) {
            return {};
        }
        ExtractTemporary temporary(dir.fd.get(), "." + name + temp_suffix_);
        const int fd = temporary.create();
        if (fd < 0) {
            const int code = errno;
            if (disk_full(code)) {
                write_failed(entry.id, path, code);
            } else {
                report_file_error(options_.archive, entry.id,
                                  fmt::format("cannot create '{}': {}", path, std::strerror(code)));
            }
            return {};
        }
        int code = 0;
        if (whole) {
            code = write_pieces(fd, buffer);
        } else if (!stream_file(
                       db_, options_.archive, entry.id,
                       [&](std::span<const std::uint8_t> piece) {
                           code = write_pieces(fd, piece);
                           return code == 0;
                       },
                       &shared_) &&
                   code == 0) {
            // Reported by stream_file; the temporary goes with `temporary`.
            ::close(fd);
            return {};
        }
        if (code == 0 && plausible_time(entry.timestamp)) {
            const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry.timestamp), 0}};
            ::futimens(fd, times);
        }
        if (::close(fd) != 0 && code == 0) {
            code = errno;
        }
        if (code == 0 && stopping()) {
            code = ECANCELED;
        }
        if (code == 0) {
            code = temporary.rename_to(name, replace);
        }
        if (code == EEXIST && !replace) {
            kept_old_file(entry.id, path);  // it came while this one was written
            return {};
        }
        if (code != 0) {
            write_failed(entry.id, path, code);
            return {};
        }
        extracted_.fetch_add(1);
        return path;
    }

    const tarnwick_dat::DatDatabase& db_;
    const ExtractOptions& options_;
    std::vector<TypeDir>& dirs_;
    std::vector<Job>& jobs_;
    // The blocks the workers' chains pass: a tail that several chains run
    // into is read once.
    tarnwick_dat::SharedBlocks shared_;
    std::string temp_suffix_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<std::size_t> extracted_{0};
    std::atomic<std::size_t> skipped_{0};
    std::mutex verbose_mutex_;
    std::size_t next_shown_ = 0;
    std::map<std::size_t, std::string> held_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> disk_full_{false};
    std::atomic<int> stdout_error_{0};
    std::mutex failure_mutex_;
    std::exception_ptr failure_;
};

// True for a name of this tool's temporary files, ".XXXXXXXX.bin.PID.tmp",
// and sets `pid`.
bool temporary_name(std::string_view name, pid_t& pid) {
    constexpr std::string_view kBin = ".bin.";
    constexpr std::string_view kTmp = ".tmp";
    if (name.size() < 1 + 8 + kBin.size() + 1 + kTmp.size() || name[0] != '.' ||
        name.substr(9, kBin.size()) != kBin || !name.ends_with(kTmp)) {
        return false;
    }
    for (const char c : name.substr(1, 8)) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    const std::string_view digits =
        name.substr(9 + kBin.size(), name.size() - 9 - kBin.size() - kTmp.size());
    if (digits.empty() || digits.size() > 9 || digits[0] == '0') {
        return false;
    }
    long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    pid = static_cast<pid_t>(value);
    return true;
}

// Removes from a type directory the temporary files that earlier runs left
// when they were ended where nothing could clean up: regular files named as
// this tool names them whose process is gone (no such process, or this one,
// which an earlier run's id now names). Anything else, a running
// extraction's files included, stays.
void remove_stale_temporaries(int dir) {
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    DIR* stream = ::fdopendir(fd);
    if (stream == nullptr) {
        ::close(fd);
        return;
    }
    const pid_t self = ::getpid();
    while (const dirent* found = ::readdir(stream)) {
        pid_t pid = 0;
        if (!temporary_name(found->d_name, pid)) {
            continue;
        }
        const bool gone = pid == self || (::kill(pid, 0) != 0 && errno == ESRCH);
        struct stat status {};
        if (gone && ::fstatat(dir, found->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode)) {
            ::unlinkat(dir, found->d_name, 0);
        }
    }
    ::closedir(stream);
}

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
            report_file_error(options.archive, job.entry->id,
                              fetch_failure_text(db, job.entry->id, size.error()));
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

// The options with DIR settled: the word after ARCHIVE without -C, -C's
// directory with it (the word is then the first id), else the current
// directory.
ExtractOptions settle_directory(const ExtractOptions& given) {
    ExtractOptions options = given;
    if (!given.directory_given) {
        if (!given.dir_given) {
            options.dir.assign(1, '.');  // (assigning "." trips g++ 12's -Wrestrict)
        }
        return options;
    }
    if (given.dir_given) {
        try {
            parse_file_id(given.dir);
        } catch (const UsageError&) {
            throw UsageError(fmt::format(
                "DIR given twice: '{}' and -C '{}' (with -C, the words after ARCHIVE are IDs)",
                given.dir, given.directory));
        }
        options.select.ids.insert(options.select.ids.begin(), given.dir);
    }
    options.dir = given.directory;
    return options;
}

}  // namespace

int run_extract(const ExtractOptions& given) {
    const ExtractOptions options = settle_directory(given);
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

    // One directory per type met, in first-met order; DIR alone when flat.
    std::vector<TypeDir> dirs;
    std::map<tarnwick_dat::DatFileType, std::size_t> dir_of_type;
    std::vector<Job> jobs;
    jobs.reserve(picked.entries.size());
    if (options.flat) {
        dirs.push_back(TypeDir{options.dir, Fd(), false});
    }
    for (const tarnwick_dat::DatFileEntry* entry : picked.entries) {
        if (options.flat) {
            jobs.push_back(Job{entry, 0});
            continue;
        }
        const tarnwick_dat::DatFileType type = db->file_type(entry->id);
        auto found = dir_of_type.find(type);
        if (found == dir_of_type.end()) {
            found = dir_of_type.emplace(type, dirs.size()).first;
            dirs.push_back(
                TypeDir{fmt::format("{}/{}", options.dir, type_dir_name(type)), Fd(), false});
        }
        jobs.push_back(Job{entry, found->second});
    }
    bool failed = report_missing(options.archive, picked);
    if (!within_limit(*db, options, jobs, failed)) {
        return kExitFailure;
    }
    // Taken in id order, which is the order -v prints them in.
    std::sort(jobs.begin(), jobs.end(),
              [](const Job& a, const Job& b) { return a.entry->id < b.entry->id; });

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
    if (options.flat) {
        dirs[0].fd = Fd(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
        if (dirs[0].fd.get() < 0) {
            report_error(
                fmt::format("cannot open directory '{}': {}", options.dir, std::strerror(errno)));
            return kExitFailure;
        }
    }
    for (const auto& [type, dir_index] : dir_of_type) {
        const std::size_t index = dir_index;  // captured below
        TypeDir& dir = dirs[index];
        const std::string name(type_dir_name(type));
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

    for (const TypeDir& dir : dirs) {
        if (dir.fd.get() >= 0 && !dir.fresh) {
            remove_stale_temporaries(dir.fd.get());
        }
    }

    Extractor extractor(*db, options, dirs, jobs);
    {
        const StopScope stop_scope;
        ProgressBar progress(jobs.size(), !options.quiet && stderr_is_terminal());
        const unsigned workers = static_cast<unsigned>(
            std::min<std::size_t>(jobs_wanted, std::max<std::size_t>(1, jobs.size())));
        std::vector<std::thread> threads;
        try {
            for (unsigned i = 1; i < workers; ++i) {
                threads.emplace_back([&extractor] { extractor.work(nullptr); });
            }
        } catch (const std::system_error&) {
            // Fewer workers than asked for: the ones started do the work.
        }
        extractor.work(&progress);
        for (std::thread& thread : threads) {
            thread.join();
        }
        extractor.flush_verbose();
    }
    extractor.rethrow_failure();
    const int stdout_error = extractor.stdout_error();
    if (stdout_error == EPIPE && broken_pipe_ends_run()) {
        end_by_signal(SIGPIPE);  // the reader is gone: nothing more to say
    }
    const std::size_t extracted = extractor.extracted();
    const std::size_t skipped = extractor.skipped();
    failed = failed || extracted + skipped != picked.entries.size();
    if (!options.quiet) {
        // Skipped files are no part of what was to be extracted.
        const std::size_t wanted = selected - skipped;
        const std::string_view files = wanted == 1 ? "file" : "files";
        std::string line = extracted == wanted ? fmt::format("extracted {} {} into {}", extracted,
                                                             files, options.dir)
                                               : fmt::format("extracted {} of {} {} into {}",
                                                             extracted, wanted, files, options.dir);
        if (skipped != 0) {
            line += fmt::format("; skipped {} existing file{}", skipped, skipped == 1 ? "" : "s");
        }
        report_note(line);
    }
    if (const int signal = stop_signal(); signal != 0) {
        // End as the signal would have ended the run, now that nothing is
        // half written.
        try {
            flush_out();
        } catch (const StdoutError&) {
            // Ending anyway.
        }
        end_by_signal(signal);
    }
    if (stdout_error != 0) {
        throw StdoutError(stdout_error);  // reported by main, after the summary
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace tarnwick_dat_tool
