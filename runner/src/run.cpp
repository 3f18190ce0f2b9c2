#include "run.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "options.hpp"
#include "runner/backtrace.hpp"
#include "runner/capture.hpp"
#include "runner/failure.hpp"

namespace runner {
namespace {

using Clock = std::chrono::steady_clock;

// The failure text of a case that threw something that is not an exception.
constexpr std::string_view unknown_exception_text =
    "the test threw an exception of unknown type (not derived from std::exception)";

// Characters per line of the terse format.
constexpr std::size_t terse_line_width = 100;

// Linux keeps at most 15 bytes of a thread's name.
constexpr std::size_t thread_name_limit = 15;

enum class Verdict { Ok, Failed, Ignored };

struct SelectedCase {
    const CaseDescriptor* descriptor;
    bool runs;  // false: reported as ignored
};

struct Selection {
    std::vector<SelectedCase> cases;
    std::size_t filtered_out = 0;
};

bool name_matches(std::string_view name, std::string_view filter, bool exact) {
    return exact ? name == filter : name.find(filter) != std::string_view::npos;
}

bool matches_any(std::string_view name, const std::vector<std::string>& filters, bool exact) {
    return std::any_of(filters.begin(), filters.end(), [&](const std::string& filter) {
        return name_matches(name, filter, exact);
    });
}

Selection select_cases(std::span<const CaseDescriptor* const> cases, const RunOptions& options) {
    Selection selection;
    for (const CaseDescriptor* descriptor : cases) {
        const std::string_view name = descriptor->name;
        if (!options.filters.empty() && !matches_any(name, options.filters, options.exact)) {
            continue;
        }
        if (matches_any(name, options.skip, options.exact)) {
            continue;
        }
        if (options.ignored && !descriptor->ignore) {
            continue;
        }
        bool runs = options.ignored || options.include_ignored || !descriptor->ignore;
        // There are no benchmarks: asked for them alone, every case is ignored.
        if (options.bench && !options.test) {
            runs = false;
        }
        selection.cases.push_back({descriptor, runs});
    }
    selection.filtered_out = cases.size() - selection.cases.size();
    return selection;
}

enum class Paint { Green, Red, Yellow };

std::string painted(std::string_view text, Paint paint, bool colour) {
    if (!colour) {
        return std::string(text);
    }
    const char* code = paint == Paint::Green ? "\x1b[32m"
                       : paint == Paint::Red ? "\x1b[31m"
                                             : "\x1b[33m";
    return fmt::format("{}{}\x1b[0m", code, text);
}

struct FinishedCase {
    std::string name;
    std::string output;
};

struct Counts {
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t ignored = 0;
};

// Writes the report; every write is flushed so that a one-thread run shows
// the case that is running, and so that a failing stream shows at once.
class Report {
  public:
    Report(std::ostream& out, OutputFormat format, bool colour, bool one_thread)
        : out_(out), format_(format), colour_(colour), one_thread_(one_thread) {}

    bool failed() const { return out_.fail(); }

    void running(std::size_t count) {
        out_ << fmt::format("\nrunning {} {}\n", count, count == 1 ? "test" : "tests");
        out_.flush();
    }

    void started(std::string_view name) {
        if (format_ == OutputFormat::Pretty && one_thread_) {
            out_ << fmt::format("test {} ... ", name);
            out_.flush();
            line_open_ = true;
        }
    }

    void finished(std::string_view name, Verdict verdict, const char* ignore_message) {
        if (format_ == OutputFormat::Pretty) {
            if (!line_open_) {
                out_ << fmt::format("test {} ... ", name);
            }
            line_open_ = false;
            out_ << word(verdict, ignore_message) << '\n';
        } else {
            const std::string_view mark = verdict == Verdict::Ok       ? "."
                                          : verdict == Verdict::Failed ? "F"
                                                                       : "i";
            out_ << painted(mark, paint(verdict), colour_);
            if (++column_ == terse_line_width) {
                out_ << '\n';
                column_ = 0;
            }
        }
        out_.flush();
    }

    void long_running(std::string_view name, long long seconds) {
        end_terse_line();
        out_ << fmt::format("test {} has been running for over {} seconds\n", name, seconds);
        out_.flush();
    }

    void end_of_results() { end_terse_line(); }

    void section(std::string_view title, const std::vector<FinishedCase>& cases) {
        out_ << fmt::format("\n{}:\n", title);
        const bool any_output = std::any_of(
            cases.begin(), cases.end(), [](const FinishedCase& c) { return !c.output.empty(); });
        if (any_output) {
            out_ << '\n';
            for (const FinishedCase& c : cases) {
                if (!c.output.empty()) {
                    out_ << fmt::format("---- {} stdout ----\n{}\n", c.name, c.output);
                }
            }
        }
        out_ << fmt::format("\n{}:\n", title);
        std::vector<std::string_view> names;
        for (const FinishedCase& c : cases) {
            names.push_back(c.name);
        }
        std::sort(names.begin(), names.end());
        for (const std::string_view name : names) {
            out_ << fmt::format("    {}\n", name);
        }
        out_.flush();
    }

    void summary(const Counts& counts, std::size_t filtered_out, Clock::duration elapsed) {
        const bool ok = counts.failed == 0;
        out_ << fmt::format(
            "\ntest result: {}. {} passed; {} failed; {} ignored; 0 measured; {} filtered out; "
            "finished in {:.2f}s\n\n",
            painted(ok ? "ok" : "FAILED", ok ? Paint::Green : Paint::Red, colour_), counts.passed,
            counts.failed, counts.ignored, filtered_out,
            std::chrono::duration<double>(elapsed).count());
        out_.flush();
    }

  private:
    static Paint paint(Verdict verdict) {
        return verdict == Verdict::Ok       ? Paint::Green
               : verdict == Verdict::Failed ? Paint::Red
                                            : Paint::Yellow;
    }

    std::string word(Verdict verdict, const char* ignore_message) const {
        switch (verdict) {
            case Verdict::Ok:
                return painted("ok", Paint::Green, colour_);
            case Verdict::Failed:
                return painted("FAILED", Paint::Red, colour_);
            case Verdict::Ignored:
                break;
        }
        return painted(ignore_message != nullptr ? fmt::format("ignored, {}", ignore_message)
                                                 : std::string("ignored"),
                       Paint::Yellow, colour_);
    }

    void end_terse_line() {
        if (format_ == OutputFormat::Terse && column_ > 0) {
            out_ << '\n';
            column_ = 0;
        }
    }

    std::ostream& out_;
    OutputFormat format_;
    bool colour_;
    bool one_thread_;
    bool line_open_ = false;
    std::size_t column_ = 0;
};

// What a case's thread hands back to the runner's thread.
struct CaseRun {
    std::size_t position;  // in the selection
    Verdict verdict;
    std::string output;
};

// State shared by the runner's thread and the case threads.
class SharedState {
  public:
    SharedState(bool capture_output, bool print_backtraces, std::ostream& err)
        : capture(capture_output), backtrace(print_backtraces), err_(err) {}

    const bool capture;
    const bool backtrace;

    // Writes an uncaptured failure report, whole.
    void write_err(std::string_view text) {
        std::lock_guard lock(err_mutex_);
        err_ << text;
        err_.flush();
    }

    // True for the first failure report of the run only.
    bool first_report() { return !reported_.exchange(true); }

    void push(CaseRun run) {
        {
            std::lock_guard lock(queue_mutex_);
            done_.push_back(std::move(run));
        }
        queue_ready_.notify_one();
    }

    // The next finished case; nothing when `deadline` passes first.
    std::optional<CaseRun> wait(std::optional<Clock::time_point> deadline) {
        std::unique_lock lock(queue_mutex_);
        const auto ready = [this] { return !done_.empty(); };
        if (deadline) {
            if (!queue_ready_.wait_until(lock, *deadline, ready)) {
                return std::nullopt;
            }
        } else {
            queue_ready_.wait(lock, ready);
        }
        CaseRun run = std::move(done_.front());
        done_.pop_front();
        return run;
    }

  private:
    std::ostream& err_;
    std::mutex err_mutex_;
    std::atomic<bool> reported_{false};
    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::deque<CaseRun> done_;
};

// A case that ended by an exception.
struct Abort {
    std::string message;
    std::string place;  // file:line:column
    BacktraceFrames frames;
    bool has_text = true;
};

// Where an exception that carries no check position is said to come from:
// the case function itself.
std::string case_place(const CaseDescriptor& descriptor) {
    return fmt::format("{}:{}:{}", descriptor.source_path != nullptr ? descriptor.source_path : "",
                       descriptor.start_line, descriptor.start_col);
}

void write_failure_report(std::string_view name, const Abort& abort, CaptureSink& sink,
                          SharedState& shared) {
    std::string text = fmt::format("\nthread '{}' ({}) panicked at {}:\n{}\n", name, ::gettid(),
                                   abort.place, abort.message);
    if (shared.backtrace) {
        text += format_backtrace(abort.frames);
    } else if (shared.first_report()) {
        text += fmt::format("note: run with `{}=1` environment variable to display a backtrace\n",
                            backtrace_variable);
    }
    if (shared.capture) {
        sink.write(text);
    } else {
        shared.write_err(text);
    }
}

// The verdict on a case that failed with `failure` (or passed when absent),
// given what it was expected to do, with the note that explains a mismatch.
std::pair<Verdict, std::optional<std::string>> judge(const CaseDescriptor& descriptor,
                                                     const std::optional<std::string>& failure,
                                                     bool failure_has_text) {
    constexpr std::string_view did_not_fail = "the test passed but was expected to fail";
    switch (descriptor.should_fail) {
        case ShouldFail::No:
            return {failure ? Verdict::Failed : Verdict::Ok, std::nullopt};
        case ShouldFail::Yes:
            if (failure) {
                return {Verdict::Ok, std::nullopt};
            }
            return {Verdict::Failed, std::string(did_not_fail)};
        case ShouldFail::YesWithMessage:
            break;
    }
    const std::string_view expected =
        descriptor.expected_message != nullptr ? descriptor.expected_message : "";
    if (!failure) {
        return {Verdict::Failed, std::string(did_not_fail)};
    }
    if (!failure_has_text) {
        return {Verdict::Failed,
                fmt::format("the failure carried no message, but one containing `{}` was expected",
                            expected)};
    }
    if (failure->find(expected) != std::string::npos) {
        return {Verdict::Ok, std::nullopt};
    }
    return {Verdict::Failed, fmt::format("the failure message does not contain the expected text\n"
                                         "  failure message: `{}`\n"
                                         "    expected text: `{}`",
                                         *failure, expected)};
}

// Runs one case on the calling thread and judges it. Nothing the case throws
// gets past this.
CaseRun execute_case(const CaseDescriptor& descriptor, std::size_t position,
                     SharedState& shared) noexcept {
    CaseRun result{position, Verdict::Failed, {}};
    try {
        const std::string_view name = descriptor.name;
        auto sink = std::make_shared<CaptureSink>();
        std::optional<std::string> failure;
        bool failure_has_text = true;
        {
            detail::CaptureScope scope(shared.capture ? sink : nullptr);
            std::optional<Abort> abort;
            std::optional<std::string> returned;
            try {
                if (descriptor.function == nullptr) {
                    throw std::logic_error("the test has no function to run");
                }
                CaseOutcome outcome = descriptor.function();
                if (!outcome.passed()) {
                    returned = outcome.failure_text();
                }
            } catch (const CaseFailure& case_failure) {
                const SourceLocation& at = case_failure.location();
                abort = Abort{case_failure.message(),
                              fmt::format("{}:{}:{}", at.file, at.line, at.column),
                              case_failure.backtrace()};
            } catch (const std::exception& error) {
                abort = Abort{error.what(), case_place(descriptor), capture_backtrace_if_enabled()};
            } catch (...) {
                abort = Abort{std::string(unknown_exception_text), case_place(descriptor),
                              capture_backtrace_if_enabled(), false};
            }
            if (abort) {
                write_failure_report(name, *abort, *sink, shared);
                failure = abort->message;
                failure_has_text = abort->has_text;
            }
            if (returned) {
                // Kept with the case's output even when output is not captured.
                sink->write(fmt::format("note: {}\n", *returned));
                failure = std::move(returned);
            }
        }
        auto [verdict, note] = judge(descriptor, failure, failure_has_text);
        if (note) {
            sink->write(fmt::format("note: {}\n", *note));
        }
        result.verdict = verdict;
        result.output = sink->contents();
    } catch (...) {
        // Out of memory while reporting: the case still counts as failed.
        result.verdict = Verdict::Failed;
    }
    return result;
}

void name_current_thread(std::string_view name) {
    const std::string cut(name.substr(0, thread_name_limit));
    ::pthread_setname_np(::pthread_self(), cut.c_str());
}

struct RunningCase {
    std::size_t position;
    std::thread thread;  // not joinable when the case ran on the runner's thread
    Clock::time_point started;
    bool noticed = false;
};

// Joins whatever is still running when the run is left early.
class JoinAll {
  public:
    explicit JoinAll(std::vector<RunningCase>& running) : running_(running) {}
    ~JoinAll() {
        for (RunningCase& entry : running_) {
            if (entry.thread.joinable()) {
                entry.thread.join();
            }
        }
    }
    JoinAll(const JoinAll&) = delete;
    JoinAll& operator=(const JoinAll&) = delete;

  private:
    std::vector<RunningCase>& running_;
};

int io_error(std::ostream& err, const RunEnvironment& environment) {
    const std::string reason = environment.output_error_text ? environment.output_error_text()
                                                             : "the report stream failed";
    err << fmt::format("error: io error when listing tests: {}\n", reason);
    err.flush();
    return exit_failure;
}

int list_cases(const Selection& selection, std::ostream& out, std::ostream& err,
               const RunEnvironment& environment) {
    for (const SelectedCase& selected : selection.cases) {
        out << fmt::format("{}: test\n", selected.descriptor->name);
    }
    const std::size_t count = selection.cases.size();
    if (count != 0) {
        out << '\n';
    }
    out << fmt::format("{} {}, 0 benchmarks\n", count, count == 1 ? "test" : "tests");
    out.flush();
    return out.fail() ? io_error(err, environment) : exit_success;
}

const char* log_word(Verdict verdict) {
    return verdict == Verdict::Ok ? "ok" : verdict == Verdict::Failed ? "failed" : "ignored";
}

}  // namespace

int run(const std::vector<std::string>& args, std::span<const CaseDescriptor* const> cases,
        std::ostream& out, std::ostream& err, const RunEnvironment& environment) {
    ParsedCommandLine parsed = parse_command_line(args);
    if (const auto* error = std::get_if<CommandLineError>(&parsed)) {
        err << fmt::format("error: {}\n", error->message);
        err.flush();
        return exit_failure;
    }
    if (std::holds_alternative<HelpRequested>(parsed)) {
        out << help_text(environment.program_name);
        out.flush();
        return out.fail() ? io_error(err, environment) : exit_success;
    }
    const RunOptions& options = std::get<RunOptions>(parsed);

    std::ofstream logfile;
    if (options.logfile) {
        err << "warning: `--logfile` is deprecated";
        err.flush();
    }
    const Selection selection = select_cases(cases, options);
    if (options.list) {
        return list_cases(selection, out, err, environment);
    }
    if (options.logfile) {
        logfile.open(*options.logfile, std::ios::out | std::ios::trunc);
        if (!logfile) {
            const int code = errno;
            err << fmt::format("\nerror: cannot open the log file `{}`: {}\n", *options.logfile,
                               os_error_text(code));
            err.flush();
            return exit_failure;
        }
    }

    const bool colour = options.color == ColorChoice::Always ||
                        (options.color == ColorChoice::Auto && environment.stdout_is_terminal);
    const std::size_t threads =
        options.test_threads.value_or(std::max<std::size_t>(1, environment.available_parallelism));
    const ThreadStarter start_thread = environment.start_thread
                                           ? environment.start_thread
                                           : ThreadStarter([](std::function<void()> body) {
                                                 return std::thread(std::move(body));
                                             });
    const auto notice_after = environment.long_running_after;
    const auto notice_seconds =
        std::chrono::duration_cast<std::chrono::seconds>(notice_after).count();

    set_backtrace_capture(environment.backtrace_enabled);
    std::optional<detail::StandardStreamRouting> routing;
    if (!options.no_capture) {
        routing.emplace();
    }
    SharedState shared(!options.no_capture, environment.backtrace_enabled, err);
    Report report(out, options.format, colour, threads == 1);

    Counts counts;
    std::vector<FinishedCase> successes;
    std::vector<FinishedCase> failures;
    const auto record = [&](const CaseRun& finished) {
        const CaseDescriptor& descriptor = *selection.cases[finished.position].descriptor;
        report.finished(descriptor.name, finished.verdict,
                        descriptor.ignore ? descriptor.ignore_message : nullptr);
        if (logfile.is_open()) {
            logfile << log_word(finished.verdict) << ' ' << descriptor.name << '\n';
            logfile.flush();
        }
        switch (finished.verdict) {
            case Verdict::Ok:
                ++counts.passed;
                successes.push_back({descriptor.name, finished.output});
                break;
            case Verdict::Failed:
                ++counts.failed;
                failures.push_back({descriptor.name, finished.output});
                break;
            case Verdict::Ignored:
                ++counts.ignored;
                break;
        }
    };

    const auto started_at = Clock::now();
    report.running(selection.cases.size());
    std::vector<RunningCase> running;
    JoinAll join_all(running);
    std::optional<std::string> spawn_error;
    std::size_t next = 0;
    // A report that cannot be written ends the starting of cases; the ones
    // running are waited for.
    bool stop = report.failed();
    for (;;) {
        while (!stop && next < selection.cases.size() && running.size() < threads) {
            const std::size_t position = next++;
            const SelectedCase& selected = selection.cases[position];
            if (!selected.runs) {
                record(CaseRun{position, Verdict::Ignored, {}});
                stop = report.failed();
                continue;
            }
            const CaseDescriptor* descriptor = selected.descriptor;
            report.started(descriptor->name);
            const std::function<void()> body = [&shared, descriptor, position] {
                name_current_thread(descriptor->name);
                shared.push(execute_case(*descriptor, position, shared));
            };
            try {
                running.push_back({position, start_thread(body), Clock::now()});
            } catch (const std::system_error& error) {
                if (error.code() == std::errc::resource_unavailable_try_again) {
                    // No thread to be had: the case runs here instead.
                    running.push_back({position, std::thread(), Clock::now()});
                    shared.push(execute_case(*descriptor, position, shared));
                } else {
                    spawn_error = error.code().category() == std::generic_category() ||
                                          error.code().category() == std::system_category()
                                      ? os_error_text(error.code().value())
                                      : error.code().message();
                    stop = true;
                }
            }
            stop = stop || report.failed();
        }
        if (running.empty()) {
            break;
        }
        std::optional<Clock::time_point> deadline;
        if (threads > 1) {
            for (const RunningCase& entry : running) {
                if (!entry.noticed && (!deadline || entry.started + notice_after < *deadline)) {
                    deadline = entry.started + notice_after;
                }
            }
        }
        std::optional<CaseRun> finished = shared.wait(deadline);
        if (!finished) {
            const auto now = Clock::now();
            for (RunningCase& entry : running) {
                if (!entry.noticed && entry.started + notice_after <= now) {
                    entry.noticed = true;
                    report.long_running(selection.cases[entry.position].descriptor->name,
                                        notice_seconds);
                }
            }
            stop = stop || report.failed();
            continue;
        }
        const auto entry = std::find_if(running.begin(), running.end(), [&](const RunningCase& r) {
            return r.position == finished->position;
        });
        if (entry != running.end()) {
            if (entry->thread.joinable()) {
                entry->thread.join();
            }
            running.erase(entry);
        }
        record(*finished);
        stop = stop || report.failed();
    }
    routing.reset();

    if (spawn_error) {
        err << fmt::format("failed to spawn thread to run test: {}\n", *spawn_error);
        err.flush();
        return exit_failure;
    }
    report.end_of_results();
    if (options.show_output) {
        report.section("successes", successes);
    }
    if (!failures.empty()) {
        report.section("failures", failures);
    }
    report.summary(counts, selection.filtered_out, Clock::now() - started_at);
    if (report.failed()) {
        return io_error(err, environment);
    }
    return counts.failed == 0 ? exit_success : exit_failure;
}

std::size_t available_parallelism() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::string os_error_text(int code) {
    return fmt::format("{} (os error {})", std::system_category().message(code), code);
}

}  // namespace runner
