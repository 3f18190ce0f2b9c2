// tarnwick-dat: inspects and extracts the game's archives from the command
// line, in the manner of tar -t, unzip -l and 7z l.

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli.hpp"
#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

namespace {

using tarnwick_dat_tool::Command;
using tarnwick_dat_tool::kExitFailure;
using tarnwick_dat_tool::kExitOk;
using tarnwick_dat_tool::kExitUsage;

void print_tool_help(std::FILE* out) {
    fmt::print(out,
               "tarnwick-dat {}: inspect and extract the game's portal archives\n\n"
               "Usage: tarnwick-dat COMMAND [ARGS...]\n"
               "       tarnwick-dat COMMAND --help\n\n"
               "Commands:\n",
               TARNWICK_DAT_VERSION);
    for (const Command& command : tarnwick_dat_tool::commands()) {
        fmt::print(out, "  {:<10}{}\n", command.name, command.summary);
    }
    fmt::print(out,
               "\nOptions:\n"
               "  -h, --help     Show this help\n"
               "  -V, --version  Show the version\n\n"
               "File ids are hexadecimal with a 0x prefix (0x40000001) or decimal.\n"
               "Exit status: 0 on success, 1 when the archive or a file cannot be read or\n"
               "written, 2 on a usage error.\n");
}

void print_command_help(const Command& command) {
    fmt::print("Usage: tarnwick-dat {}\n\n{}", command.usage, command.description);
    if (!command.options.empty()) {
        fmt::print("\nOptions:\n");
        for (const auto& option : command.options) {
            const std::string left = option.value_name.empty()
                                         ? std::string(option.name)
                                         : fmt::format("{} {}", option.name, option.value_name);
            fmt::print("  {}\n", left);
        }
    }
    fmt::print("  -h, --help\n");
    const bool takes_type = std::any_of(command.options.begin(), command.options.end(),
                                        [](const auto& option) { return option.name == "--type"; });
    if (takes_type) {
        fmt::print("\nTYPE is a file type name (any case):");
        std::size_t column = 80;
        for (const auto type : tarnwick_dat_tool::all_file_types()) {
            const std::string_view type_name = tarnwick_dat::name(type);
            if (column + type_name.size() + 1 > 78) {
                fmt::print("\n ");
                column = 1;
            }
            fmt::print(" {}", type_name);
            column += type_name.size() + 1;
        }
        fmt::print("\n");
    }
}

const Command* find_command(std::string_view name) {
    for (const Command& command : tarnwick_dat_tool::commands()) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

int usage_error(std::string_view message, const Command* command) {
    tarnwick_dat_tool::report_error(message);
    if (command != nullptr) {
        fmt::print(stderr, "usage: tarnwick-dat {}\n", command->usage);
        fmt::print(stderr, "Try 'tarnwick-dat {} --help' for more information.\n", command->name);
    } else {
        fmt::print(stderr, "Try 'tarnwick-dat --help' for more information.\n");
    }
    return kExitUsage;
}

int run(const std::vector<std::string>& words) {
    if (words.empty()) {
        print_tool_help(stderr);
        return kExitUsage;
    }
    const std::string& first = words[0];
    if (first == "-h" || first == "--help") {
        print_tool_help(stdout);
        return kExitOk;
    }
    if (first == "-V" || first == "--version") {
        fmt::print("tarnwick-dat {}\n", TARNWICK_DAT_VERSION);
        return kExitOk;
    }
    if (first == "help") {
        if (words.size() == 1) {
            print_tool_help(stdout);
            return kExitOk;
        }
        const Command* command = find_command(words[1]);
        if (command == nullptr) {
            return usage_error(fmt::format("unknown command '{}'", words[1]), nullptr);
        }
        print_command_help(*command);
        return kExitOk;
    }
    const Command* command = find_command(first);
    if (command == nullptr) {
        return usage_error(first.starts_with("-") ? fmt::format("unknown option '{}'", first)
                                                  : fmt::format("unknown command '{}'", first),
                           nullptr);
    }
    try {
        const std::vector<std::string> rest(words.begin() + 1, words.end());
        const tarnwick_dat_tool::ParsedArgs args = tarnwick_dat_tool::parse_args(
            rest, command->options, command->min_positional, command->max_positional);
        if (args.help) {
            print_command_help(*command);
            return kExitOk;
        }
        return command->run(args);
    } catch (const tarnwick_dat_tool::UsageError& error) {
        return usage_error(error.what(), command);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int status = kExitFailure;
    try {
        status = run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        tarnwick_dat_tool::report_error("out of memory");
        return kExitFailure;
    } catch (const std::exception& error) {
        tarnwick_dat_tool::report_error(error.what());
        return kExitFailure;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        tarnwick_dat_tool::report_error("cannot write to standard output");
        return kExitFailure;
    }
    return status;
}
