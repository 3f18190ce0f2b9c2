// A one-line progress bar on standard error, drawn only when standard error
// is a terminal, so that logs and pipes stay clean; and the one gate through
// which every line reaches standard error, so that a message never lands in
// the middle of the bar.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwick_dat_tool {

/// Counts steps towards a known total and redraws the bar in place, fitted
/// to the terminal's width, when the shown percentage or the width changes.
/// Safe to use from several threads; at most one bar is active at a time.
class ProgressBar {
  public:
    /// A bar for `total` steps; drawn only when `enabled`.
    ProgressBar(std::size_t total, bool enabled);
    /// Erases the bar, if drawn.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Shows `done` of the total steps.
    void update(std::size_t done);
    /// Erases the bar, so that the line is free; the next update draws it
    /// again.
    void clear();

  private:
    friend void console_text(std::string_view text);
    void clear_locked();
    void draw_locked();

    std::size_t total_;
    std::size_t done_ = 0;
    bool enabled_;
    bool shown_ = false;
    int last_percent_ = -1;
    int last_width_ = -1;
};

/// The progress of a library pass (verification, comparison) as a bar that
/// appears only once the pass has taken longer than a moment, so that a
/// quick one leaves no trace; nothing is drawn unless `enabled` and standard
/// error is a terminal. Destroying it erases the bar.
class DelayedProgress {
  public:
    explicit DelayedProgress(bool enabled,
                             std::chrono::milliseconds delay = std::chrono::milliseconds(300));
    /// The callback to hand to the library; valid while this object lives.
    std::function<void(std::uint64_t done, std::uint64_t total)> callback();
    /// Erases the bar, if drawn.
    void finish() { bar_.reset(); }

  private:
    bool enabled_;
    std::chrono::milliseconds delay_;
    std::chrono::steady_clock::time_point started_;
    std::unique_ptr<ProgressBar> bar_;
};

/// Writes `line` and a line break on standard error, erasing an active
/// progress bar first (it is drawn again at its next update). Never throws:
/// a failed write is only remembered (`stderr_failed`).
void console_line(std::string_view line);

/// Writes `text` as it is on standard error, as `console_line` does.
void console_text(std::string_view text);

/// True once a write to standard error has failed; the run then ends with a
/// failing status.
bool stderr_failed();

/// True when standard error is a terminal.
bool stderr_is_terminal();

/// The width of the terminal on standard error, or 80 when it cannot be
/// told.
int terminal_width();

/// The text of the bar for `done` of `total` in `width` columns; never
/// longer than `width` - 1, so that the terminal does not wrap it.
std::string progress_line(std::size_t done, std::size_t total, int width);

}  // namespace tarnwick_dat_tool
