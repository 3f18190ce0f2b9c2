#include "runner/backtrace.hpp"

#include <cxxabi.h>
#include <execinfo.h>
#include <fmt/format.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace runner {
namespace {

std::atomic<bool> capture_enabled{false};

// The deepest stack kept; deeper frames are dropped.
constexpr int max_frames = 128;

// "path(mangled+0x1f) [0x...]" from backtrace_symbols: the demangled function
// name with its offset when there is one, else the text as it came.
std::string describe_frame(const char* symbol) {
    std::string_view text(symbol);
    const auto open = text.find('(');
    const auto plus = text.find('+', open == std::string_view::npos ? 0 : open);
    if (open == std::string_view::npos || plus == std::string_view::npos || plus == open + 1) {
        return std::string(text);
    }
    const std::string mangled(text.substr(open + 1, plus - open - 1));
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), &std::free);
    if (status != 0 || !demangled) {
        return std::string(text);
    }
    return fmt::format("{}\n             at {}", demangled.get(), text);
}

}  // namespace

bool backtrace_requested_by_environment() {
    const char* value = std::getenv(backtrace_variable);
    return value != nullptr && std::strcmp(value, "0") != 0;
}

void set_backtrace_capture(bool enabled) {
    capture_enabled.store(enabled);
}

BacktraceFrames capture_backtrace_if_enabled() {
    if (!capture_enabled.load()) {
        return {};
    }
    BacktraceFrames frames(max_frames);
    const int count = ::backtrace(frames.data(), max_frames);
    frames.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    // The first frame is this function's own.
    if (!frames.empty()) {
        frames.erase(frames.begin());
    }
    return frames;
}

std::string format_backtrace(const BacktraceFrames& frames) {
    std::string text = "stack backtrace:\n";
    std::unique_ptr<char*, decltype(&std::free)> symbols(
        ::backtrace_symbols(frames.data(), static_cast<int>(frames.size())), &std::free);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::string where =
            symbols ? describe_frame(symbols.get()[i]) : fmt::format("{}", frames[i]);
        text += fmt::format("{:>4}: {}\n", i, where);
    }
    return text;
}

}  // namespace runner
