#include "runner/capture.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <iostream>
#include <streambuf>

#include "runner/failure.hpp"
#include "unbuffered_streambuf.hpp"

namespace runner {

void CaptureSink::write(std::string_view text) {
    std::lock_guard lock(mutex_);
    text_.append(text);
}

std::string CaptureSink::contents() const {
    std::lock_guard lock(mutex_);
    return text_;
}

namespace detail {
namespace {

thread_local std::shared_ptr<CaptureSink> current_sink;

// An unbuffered stream buffer that sends each write to the writing thread's
// sink, or on to the stream's original buffer. Having no buffer of its own it
// keeps no state between writes, so threads may write through it at once.
class RoutingStreambuf : public UnbufferedStreambuf {
  public:
    void set_original(std::streambuf* original) { original_ = original; }
    std::streambuf* original() const { return original_; }

  protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (const auto& sink = current_sink) {
            sink->write(std::string_view(text, static_cast<std::size_t>(count)));
            return count;
        }
        return original_ != nullptr ? original_->sputn(text, count) : count;
    }

    int sync() override {
        if (current_sink) {
            return 0;
        }
        return original_ != nullptr ? original_->pubsync() : 0;
    }

  private:
    std::streambuf* original_ = nullptr;
};

RoutingStreambuf& routed_cout() {
    static RoutingStreambuf buf;
    return buf;
}
RoutingStreambuf& routed_cerr() {
    static RoutingStreambuf buf;
    return buf;
}
RoutingStreambuf& routed_clog() {
    static RoutingStreambuf buf;
    return buf;
}

void route(std::ostream& stream, RoutingStreambuf& buf) {
    buf.set_original(stream.rdbuf());
    stream.rdbuf(&buf);
}

void unroute(std::ostream& stream, RoutingStreambuf& buf) {
    stream.flush();
    stream.rdbuf(buf.original());
    buf.set_original(nullptr);
}

}  // namespace

std::shared_ptr<CaptureSink> current_capture_sink() {
    return current_sink;
}

CaptureScope::CaptureScope(std::shared_ptr<CaptureSink> sink)
    : previous_(std::exchange(current_sink, std::move(sink))) {}

CaptureScope::~CaptureScope() {
    current_sink = std::move(previous_);
}

StandardStreamRouting::StandardStreamRouting() {
    std::cout.flush();
    std::cerr.flush();
    route(std::cout, routed_cout());
    route(std::cerr, routed_cerr());
    route(std::clog, routed_clog());
}

StandardStreamRouting::~StandardStreamRouting() {
    unroute(std::clog, routed_clog());
    unroute(std::cerr, routed_cerr());
    unroute(std::cout, routed_cout());
}

void report_helper_thread_exception(std::exception_ptr error) noexcept {
    try {
        std::string place = "an unknown place";
        std::string message = "exception of unknown type";
        std::string trace;
        try {
            std::rethrow_exception(error);
        } catch (const CaseFailure& failure) {
            place = fmt::format("{}:{}:{}", failure.location().file, failure.location().line,
                                failure.location().column);
            message = failure.message();
            if (!failure.backtrace().empty()) {
                trace = format_backtrace(failure.backtrace());
            }
        } catch (const std::exception& other) {
            message = other.what();
        } catch (...) {
        }
        std::cerr << fmt::format("\nthread '<unnamed>' ({}) panicked at {}:\n{}\n{}", ::gettid(),
                                 place, message, trace)
                  << std::flush;
    } catch (...) {
        // Nothing is left to report with.
    }
}

}  // namespace detail
}  // namespace runner
