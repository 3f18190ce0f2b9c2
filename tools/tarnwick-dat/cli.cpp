#include "cli.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace tarnwick_dat_tool {

bool ParsedArgs::has_flag(std::string_view name) const {
    return std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::optional<std::string> ParsedArgs::value(std::string_view name) const {
    const auto found = values.find(name);
    if (found == values.end()) {
        return std::nullopt;
    }
    return found->second;
}

ParsedArgs parse_args(const std::vector<std::string>& args, const std::vector<OptionSpec>& options,
                      std::size_t min_positional, std::size_t max_positional) {
    ParsedArgs parsed;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (options_ended || word.size() < 2 || word[0] != '-') {
            parsed.positional.push_back(word);
            continue;
        }
        if (word == "--") {
            options_ended = true;
            continue;
        }
        if (word == "-h" || word == "--help") {
            parsed.help = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const OptionSpec& o) { return o.name == name; });
        if (option == options.end()) {
            throw UsageError(fmt::format("unknown option '{}'", name));
        }
        if (option->value_name.empty()) {
            if (equals != std::string::npos) {
                throw UsageError(fmt::format("option '{}' takes no value", name));
            }
            parsed.flags.push_back(name);
            continue;
        }
        if (equals != std::string::npos) {
            parsed.values[name] = word.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            parsed.values[name] = args[++i];
        } else {
            throw UsageError(
                fmt::format("option '{}' needs a value ({})", name, option->value_name));
        }
    }
    if (!parsed.help) {
        if (parsed.positional.size() < min_positional) {
            throw UsageError("missing arguments");
        }
        if (parsed.positional.size() > max_positional) {
            throw UsageError(
                fmt::format("unexpected argument '{}'", parsed.positional[max_positional]));
        }
    }
    return parsed;
}

}  // namespace tarnwick_dat_tool
