// tarnwick-dat: inspects and extracts the game's archives from the command
// line, in the manner of tar -t, unzip -l and 7z l.

#include <exception>
#include <new>

#include "cli.hpp"
#include "commands.hpp"
#include "error_text.hpp"

int main(int argc, char** argv) {
    using namespace tarnwick_dat_tool;
    try {
        CommandLine command_line;
        const int status = command_line.run(argc, argv);
        flush_out();
        return status;
    } catch (const StdoutError& error) {
        report_error(error.what());
    } catch (const std::bad_alloc&) {
        report_error("out of memory");
    } catch (const std::exception& error) {
        report_error(error.what());
    }
    return kExitFailure;
}
