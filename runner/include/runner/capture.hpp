// Output capture: what a case writes to std::cout, std::cerr and std::clog
// goes into that case's own buffer, routed by the writing thread.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

namespace runner {

/// One case's captured output. Any thread may write to it at any time; each
/// write lands whole, never split by another thread's write.
class CaptureSink {
  public:
    /// Appends `text`.
    void write(std::string_view text);
    /// Everything written so far.
    std::string contents() const;

  private:
    mutable std::mutex mutex_;
    std::string text_;
};

namespace detail {

/// The sink that the calling thread's standard-stream output goes to, or
/// null when that output is not captured.
std::shared_ptr<CaptureSink> current_capture_sink();

/// Routes the calling thread's standard-stream output into `sink` (null:
/// not captured) for the scope's lifetime, then restores the previous route.
class CaptureScope {
  public:
    explicit CaptureScope(std::shared_ptr<CaptureSink> sink);
    ~CaptureScope();
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;

  private:
    std::shared_ptr<CaptureSink> previous_;
};

/// Writes the report of an exception that escaped a thread started with
/// `spawn_captured` to that thread's standard error (so into the sink).
void report_helper_thread_exception(std::exception_ptr error) noexcept;

/// While alive, std::cout, std::cerr and std::clog pass every write through
/// the calling thread's route: into its sink, or on to the stream's original
/// buffer when it has none. Restores the original buffers when destroyed.
/// Only one may be alive at a time.
class StandardStreamRouting {
  public:
    StandardStreamRouting();
    ~StandardStreamRouting();
    StandardStreamRouting(const StandardStreamRouting&) = delete;
    StandardStreamRouting& operator=(const StandardStreamRouting&) = delete;
};

}  // namespace detail

/// Starts a thread running `function()` whose standard-stream output goes
/// where the calling thread's goes: into the running case's buffer when the
/// case is captured. An exception escaping `function` does not end the
/// process: its report is written to that same output and the thread ends.
template <typename F>
std::thread spawn_captured(F&& function) {
    return std::thread([sink = detail::current_capture_sink(),
                        body = std::decay_t<F>(std::forward<F>(function))]() mutable {
        detail::CaptureScope scope(std::move(sink));
        try {
            std::invoke(body);
        } catch (...) {
            detail::report_helper_thread_exception(std::current_exception());
        }
    });
}

}  // namespace runner
