// The runner's command line: the option table, the parser and the help text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace runner {

enum class ColorChoice { Auto, Always, Never };
enum class OutputFormat { Pretty, Terse };

/// A command line that passed every check.
struct RunOptions {
    std::vector<std::string> filters;
    std::vector<std::string> skip;
    bool exact = false;
    bool list = false;
    bool ignored = false;
    bool include_ignored = false;
    bool test = false;
    bool bench = false;
    bool no_capture = false;
    bool show_output = false;
    /// Absent: as many as the machine has processors available.
    std::optional<std::size_t> test_threads;
    ColorChoice color = ColorChoice::Auto;
    OutputFormat format = OutputFormat::Pretty;
    std::optional<std::string> logfile;
};

/// `--help` was given (and the command line otherwise parsed).
struct HelpRequested {};

/// A refused command line: the message that follows "error: ".
struct CommandLineError {
    std::string message;
};

using ParsedCommandLine = std::variant<RunOptions, HelpRequested, CommandLineError>;

/// Parses the arguments that follow the program name. Long options take their
/// argument after "=" or as the next word, short ones attached or as the next
/// word; "--" ends the options; every other word is a filter.
ParsedCommandLine parse_command_line(std::span<const std::string> args);

/// The help text, whose usage line names `program`.
std::string help_text(std::string_view program);

}  // namespace runner
