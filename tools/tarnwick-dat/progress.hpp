// A one-line progress bar on standard error, drawn only when standard error
// is a terminal, so that logs and pipes stay clean.
#pragma once

#include <cstddef>

namespace tarnwick_dat_tool {

/// Counts steps towards a known total and redraws the bar when the shown
/// percentage changes (at most about a hundred redraws in all).
class ProgressBar {
  public:
    /// A bar for `total` steps; drawn only when `enabled`.
    ProgressBar(std::size_t total, bool enabled) : total_(total), enabled_(enabled) {}
    /// Erases the bar, if drawn.
    ~ProgressBar() { clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Counts one step done.
    void step();
    /// Erases the bar, so that a message can take its line; the next step
    /// draws it again.
    void clear();

  private:
    void draw();

    std::size_t total_;
    std::size_t done_ = 0;
    bool enabled_;
    bool shown_ = false;
    int last_percent_ = -1;
};

/// True when standard error is a terminal.
bool stderr_is_terminal();

}  // namespace tarnwick_dat_tool
