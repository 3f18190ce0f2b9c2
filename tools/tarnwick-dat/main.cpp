// tarnwick-dat: inspects and extracts the game's archives from the command
// line, in the manner of tar -t, unzip -l and 7z l.

#include <cerrno>
#include <csignal>
#include <exception>
#include <new>

#include "cli.hpp"
#include "commands.hpp"
#include "error_text.hpp"
#include "progress.hpp"
#include "signals.hpp"

namespace {

using namespace tarnwick_dat_tool;

// Standard output is gone: a reader that went away ends the run as SIGPIPE
// would have (as it ends cat), unless SIGPIPE was ignored when the tool
// started; any other failure is an error line.
int output_failed(const StdoutError& error) {
    if (error.code() == EPIPE && broken_pipe_ends_run()) {
        end_by_signal(SIGPIPE);
    }
    report_error(error.what());
    return kExitFailure;
}

int run(int argc, char** argv) {
    try {
        CommandLine command_line;
        const int status = command_line.run(argc, argv);
        flush_out();
        return status;
    } catch (const StdoutError& error) {
        return output_failed(error);
    } catch (const std::bad_alloc&) {
        report_error("out of memory");
    } catch (const std::exception& error) {
        report_error(error.what());
    }
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    start_signal_handling();
    const int status = run(argc, argv);
    // A message that could not be written still makes the run a failure.
    return status == kExitOk && stderr_failed() ? kExitFailure : status;
}
