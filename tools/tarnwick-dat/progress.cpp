#include "progress.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace tarnwick_dat_tool {

namespace {

constexpr std::size_t kBarWidth = 40;

}  // namespace

bool stderr_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

void ProgressBar::step() {
    ++done_;
    if (!enabled_ || total_ == 0) {
        return;
    }
    const int percent = static_cast<int>(done_ * 100 / total_);
    if (percent != last_percent_ || !shown_) {
        last_percent_ = percent;
        draw();
    }
}

void ProgressBar::draw() {
    const std::size_t filled = done_ * kBarWidth / total_;
    std::string bar(filled, '#');
    bar.resize(kBarWidth, ' ');
    fmt::print(stderr, "\r[{}] {:3}% {}/{}", bar, last_percent_, done_, total_);
    std::fflush(stderr);
    shown_ = true;
}

void ProgressBar::clear() {
    if (shown_) {
        fmt::print(stderr, "\r\033[K");
        std::fflush(stderr);
        shown_ = false;
    }
}

}  // namespace tarnwick_dat_tool
