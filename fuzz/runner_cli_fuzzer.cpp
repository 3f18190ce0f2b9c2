// Parses arbitrary command lines (arguments separated by NUL bytes) and
// renders the help: the parser must accept or refuse, never crash or hang,
// and what it accepts must hold together.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "options.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty()) {
        args.push_back(current);
    }
    const runner::ParsedCommandLine parsed = runner::parse_command_line(args);
    if (const auto* error = std::get_if<runner::CommandLineError>(&parsed)) {
        if (error->message.empty()) {
            std::abort();
        }
        // -Z is refused only when some word names it as a short option.
        const bool has_z = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
            return arg.size() > 1 && arg[0] == '-' && arg[1] != '-' &&
                   arg.find('Z') != std::string::npos;
        });
        if (error->message.starts_with("the option `Z`") && !has_z) {
            std::abort();
        }
    } else if (std::holds_alternative<runner::HelpRequested>(parsed)) {
        if (runner::help_text(args.empty() ? "..." : args.front()).empty()) {
            std::abort();
        }
    } else {
        const auto& options = std::get<runner::RunOptions>(parsed);
        // Refused combinations and values never come out as options.
        if ((options.ignored && options.include_ignored) ||
            (options.test_threads && *options.test_threads == 0) ||
            options.filters.size() + options.skip.size() > args.size()) {
            std::abort();
        }
    }
    return 0;
}
