#include "runner/test_main.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <streambuf>
#include <string>
#include <vector>

#include "run.hpp"
#include "runner/backtrace.hpp"
#include "unbuffered_streambuf.hpp"

namespace runner {
namespace {

// A stream buffer over a C stream that keeps the OS error of the first write
// or flush that failed. Going through the C stream keeps the report in order
// with what uncaptured cases write through std::cout.
class StdioStreambuf : public UnbufferedStreambuf {
  public:
    explicit StdioStreambuf(std::FILE* file) : file_(file) {}

    /// The errno of the first failed write or flush; 0 when none failed.
    int error() const { return error_; }

  protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        const std::size_t written = std::fwrite(text, 1, static_cast<std::size_t>(count), file_);
        if (written != static_cast<std::size_t>(count)) {
            keep_error();
        }
        return static_cast<std::streamsize>(written);
    }

    int sync() override {
        if (std::fflush(file_) != 0) {
            keep_error();
            return -1;
        }
        return 0;
    }

  private:
    void keep_error() {
        if (error_ == 0) {
            error_ = errno != 0 ? errno : EIO;
        }
    }

    std::FILE* file_;
    int error_ = 0;
};

// The arguments glibc hands to every function of .init_array before main
// runs, kept so that the runner reads the command line without the suite
// passing it on (and without depending on /proc being mounted).
int g_argc = 0;
char** g_argv = nullptr;

void keep_command_line(int argc, char** argv, char** /*envp*/) {
    g_argc = argc;
    g_argv = argv;
}

using InitFunction = void (*)(int, char**, char**);
// Writable, like the section's other entries (a const one conflicts with
// the section's flags under GCC).
[[maybe_unused]] __attribute__((section(".init_array"), used))
InitFunction keep_command_line_entry = &keep_command_line;

// The process's command line, program name first; empty when it cannot be read.
std::vector<std::string> own_command_line() {
    if (g_argv != nullptr) {
        return std::vector<std::string>(g_argv, g_argv + g_argc);
    }
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    std::string::size_type start = 0;
    while (start < raw.size()) {
        auto end = raw.find('\0', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        words.emplace_back(raw, start, end - start);
        start = end + 1;
    }
    return words;
}

}  // namespace

void test_main_static(std::span<const CaseDescriptor* const> cases) {
    // A reader that goes away (`quorvant | head`) must give the report's
    // write error, not end the process with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args = own_command_line();
    RunEnvironment environment;
    if (!args.empty()) {
        environment.program_name = args.front();
        args.erase(args.begin());
    }
    StdioStreambuf out_buffer(stdout);
    StdioStreambuf err_buffer(stderr);
    std::ostream out(&out_buffer);
    std::ostream err(&err_buffer);
    environment.stdout_is_terminal = ::isatty(STDOUT_FILENO) == 1;
    environment.available_parallelism = available_parallelism();
    environment.backtrace_enabled = backtrace_requested_by_environment();
    environment.output_error_text = [&out_buffer] {
        return os_error_text(out_buffer.error() != 0 ? out_buffer.error() : EIO);
    };

    std::cout.flush();
    const int status = run(args, cases, out, err, environment);
    std::cout.flush();
    std::cerr.flush();
    out.flush();
    err.flush();
    if (status != exit_success) {
        std::exit(status);
    }
}

}  // namespace runner
