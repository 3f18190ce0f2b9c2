// The runner's core, free of the process: it takes the arguments, the cases,
// the two output streams and the facts of its surroundings, and returns the
// exit status. `test_main_static` wires it to the real process.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "runner/descriptor.hpp"

namespace runner {

/// No selected case failed (also after --list, --help or an empty selection).
inline constexpr int exit_success = 0;
/// A case failed, the command line was refused or the report could not be written.
inline constexpr int exit_failure = 101;

/// Starts a thread running the given function; throws std::system_error when
/// the system refuses one.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

/// What the runner needs to know about its surroundings.
struct RunEnvironment {
    /// The program's name as invoked, for the usage line.
    std::string program_name = "...";
    /// Whether standard output is a terminal (for --color auto).
    bool stdout_is_terminal = false;
    /// The processors available to the process: the default thread count.
    std::size_t available_parallelism = 1;
    /// Whether failure reports carry a stack trace.
    bool backtrace_enabled = false;
    /// How long a case runs before the runner says so (with more than one thread).
    std::chrono::milliseconds long_running_after = std::chrono::seconds(60);
    /// The text of the error that made writing to `out` fail.
    std::function<std::string()> output_error_text;
    /// How case threads are started; std::thread when empty.
    ThreadStarter start_thread;
};

/// Runs the suite for the arguments that follow the program name: the report
/// goes to `out`, command-line errors and (uncaptured) failure reports to
/// `err`. Returns `exit_success` or `exit_failure`.
int run(const std::vector<std::string>& args, std::span<const CaseDescriptor* const> cases,
        std::ostream& out, std::ostream& err, const RunEnvironment& environment);

/// The processors available to this process; 1 when that cannot be told.
std::size_t available_parallelism();

/// "{message} (os error {code})" for an OS error number.
std::string os_error_text(int code);

}  // namespace runner
