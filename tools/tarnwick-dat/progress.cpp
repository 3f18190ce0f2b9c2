#include "progress.hpp"

#include <fmt/format.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace tarnwick_dat_tool {

namespace {

std::mutex& console_mutex() {
    static std::mutex mutex;
    return mutex;
}

// The bar on screen, if any; guarded by the console mutex.
ProgressBar* g_active = nullptr;

std::atomic<bool> g_stderr_failed{false};

// Writes to standard error, which nothing can be reported on when it fails:
// the failure is only remembered. Never throws.
void put_stderr(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), stderr) != text.size() ||
        std::fflush(stderr) != 0) {
        g_stderr_failed.store(true);
        std::clearerr(stderr);
    }
}

}  // namespace

bool stderr_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

int terminal_width() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

std::string progress_line(std::size_t done, std::size_t total, int width) {
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    const std::string counts = fmt::format(" {:3}% {}/{}", percent, done, total);
    const auto room = static_cast<std::size_t>(width > 1 ? width - 1 : 0);
    // The bar needs its brackets and a few cells to mean anything.
    if (room < counts.size() + 12) {
        return counts.substr(0, room);
    }
    const std::size_t cells = std::min<std::size_t>(room - counts.size() - 2, 50);
    const std::size_t filled = total == 0 ? cells : done * cells / total;
    // fmt rather than string concatenation, which g++ 12 at -O3 warns about
    // wrongly (-Wrestrict).
    return fmt::format("[{}{}]{}", std::string(filled, '#'), std::string(cells - filled, ' '),
                       counts);
}

ProgressBar::ProgressBar(std::size_t total, bool enabled) : total_(total), enabled_(enabled) {
    if (enabled_) {
        const std::lock_guard lock(console_mutex());
        g_active = this;
    }
}

ProgressBar::~ProgressBar() {
    if (enabled_) {
        const std::lock_guard lock(console_mutex());
        clear_locked();
        if (g_active == this) {
            g_active = nullptr;
        }
    }
}

void ProgressBar::update(std::size_t done) {
    if (!enabled_) {
        return;
    }
    const std::lock_guard lock(console_mutex());
    done_ = done;
    const int percent = total_ == 0 ? 100 : static_cast<int>(done_ * 100 / total_);
    const int width = terminal_width();
    if (percent != last_percent_ || width != last_width_ || !shown_) {
        last_percent_ = percent;
        last_width_ = width;
        draw_locked();
    }
}

void ProgressBar::clear() {
    if (enabled_) {
        const std::lock_guard lock(console_mutex());
        clear_locked();
    }
}

void ProgressBar::draw_locked() {
    put_stderr(fmt::format("\r{}\033[K", progress_line(done_, total_, last_width_)));
    shown_ = true;
}

void ProgressBar::clear_locked() {
    if (shown_) {
        put_stderr("\r\033[K");
        shown_ = false;
    }
}

DelayedProgress::DelayedProgress(bool enabled, std::chrono::milliseconds delay)
    : enabled_(enabled && stderr_is_terminal()),
      delay_(delay),
      started_(std::chrono::steady_clock::now()) {}

std::function<void(std::uint64_t, std::uint64_t)> DelayedProgress::callback() {
    return [this](std::uint64_t done, std::uint64_t total) {
        if (!enabled_) {
            return;
        }
        if (!bar_) {
            if (done == total || std::chrono::steady_clock::now() - started_ < delay_) {
                return;
            }
            bar_ = std::make_unique<ProgressBar>(static_cast<std::size_t>(total), true);
        }
        bar_->update(static_cast<std::size_t>(done));
    };
}

void console_line(std::string_view line) {
    console_text(std::string(line) + "\n");
}

void console_text(std::string_view text) {
    const std::lock_guard lock(console_mutex());
    if (g_active != nullptr) {
        g_active->clear_locked();
    }
    put_stderr(text);
}

bool stderr_failed() {
    return g_stderr_failed.load();
}

}  // namespace tarnwick_dat_tool
