#include "selection.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include "cli.hpp"
#include "error_text.hpp"
#include "io.hpp"
#include "values.hpp"

namespace tarnwick_dat_tool {

namespace {

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// '*' and '?' over the id's eight digits, with backtracking to the last '*'.
bool glob_match(std::string_view glob, std::string_view text) {
    std::size_t g = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (g < glob.size() && (glob[g] == '?' || glob[g] == text[t])) {
            ++g;
            ++t;
        } else if (g < glob.size() && glob[g] == '*') {
            star = g++;
            resume = t;
        } else if (star != std::string_view::npos) {
            g = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') {
        ++g;
    }
    return g == glob.size();
}

// The first blank-separated field of a list line, without what follows '#'.
std::string_view first_field(std::string_view line) {
    line = line.substr(0, line.find('#'));
    line = trim(line);
    const std::size_t blank = line.find_first_of(" \t");
    return line.substr(0, blank);
}

// Splits "Font,Model" into its names; empty names are left for the type
// parser to refuse.
std::vector<std::string_view> comma_list(std::string_view text) {
    std::vector<std::string_view> names;
    for (;;) {
        const std::size_t comma = text.find(',');
        names.push_back(trim(text.substr(0, comma)));
        if (comma == std::string_view::npos) {
            return names;
        }
        text.remove_prefix(comma + 1);
    }
}

// A list of ids is small text; a bound keeps a wrong file (an archive
// given by mistake) from filling memory.
constexpr std::size_t kMaxListBytes = std::size_t{64} << 20;

}  // namespace

bool IdPattern::matches(std::uint32_t id) const {
    if (glob.empty()) {
        return id >= low && id <= high;
    }
    return glob_match(glob, id_text(id));
}

std::optional<IdPattern> parse_id_pattern(std::string_view text) {
    IdPattern pattern;
    pattern.text = std::string(text);
    if (text.find_first_of("*?") != std::string_view::npos) {
        std::string_view digits = text;
        if (digits.starts_with("0x") || digits.starts_with("0X")) {
            digits.remove_prefix(2);
        }
        for (const char c : digits) {
            if (c != '*' && c != '?' && std::isxdigit(static_cast<unsigned char>(c)) == 0) {
                throw UsageError(
                    fmt::format("invalid id glob '{}' (expected hex digits, '*' and '?')", text));
            }
            pattern.glob += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return pattern;
    }
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    // Text that does not start with an id is no range: it fails as an id.
    try {
        pattern.low = parse_file_id(text.substr(0, dash));
    } catch (const UsageError&) {
        return std::nullopt;
    }
    try {
        pattern.high = parse_file_id(text.substr(dash + 1));
    } catch (const UsageError&) {
        throw UsageError(
            fmt::format("invalid id range '{}' (expected two ids, as in 40000000-4000FFFF)", text));
    }
    if (pattern.low > pattern.high) {
        throw UsageError(
            fmt::format("invalid id range '{}' (the first id is above the last)", text));
    }
    return pattern;
}

bool Selection::pattern_matches(std::uint32_t id) const {
    return std::any_of(patterns.begin(), patterns.end(),
                       [id](const IdPattern& pattern) { return pattern.matches(id); });
}

Selection parse_selection(const SelectionArgs& args) {
    Selection selection;
    std::unordered_set<std::uint32_t> seen;
    const auto add_id = [&](std::uint32_t id) {
        if (seen.insert(id).second) {
            selection.ids.push_back(id);
        }
    };
    const auto add = [&](std::string_view text) {
        if (std::optional<IdPattern> pattern = parse_id_pattern(text)) {
            const bool known =
                std::any_of(selection.patterns.begin(), selection.patterns.end(),
                            [&](const IdPattern& given) { return given.text == pattern->text; });
            if (!known) {
                selection.patterns.push_back(std::move(*pattern));
            }
        } else {
            add_id(parse_file_id(text));
        }
    };
    for (const std::string& text : args.ids) {
        add(text);
    }
    if (!args.list.empty()) {
        auto bytes = read_input(args.list, kMaxListBytes);
        if (!bytes) {
            throw ListReadError(bytes.error());
        }
        const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        const std::string name = args.list == "-" ? "standard input" : args.list;
        std::size_t start = 0;
        for (std::size_t line = 1; start < text.size(); ++line) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            const std::string_view word = first_field(text.substr(start, end - start));
            start = end + 1;
            if (word.empty() || word == "ID" || word == "total:") {
                continue;
            }
            try {
                add(word);
            } catch (const UsageError& error) {
                throw UsageError(fmt::format("{}:{}: {}", name, line, error.what()));
            }
        }
    }
    for (const std::string& names : args.types) {
        for (const std::string_view name : comma_list(names)) {
            const tarnwick_dat::DatFileType type = parse_file_type(name);
            if (std::find(selection.types.begin(), selection.types.end(), type) ==
                selection.types.end()) {
                selection.types.push_back(type);
            }
        }
    }
    return selection;
}

Picked pick(const tarnwick_dat::DatDatabase& db, const Selection& selection) {
    Picked picked;
    const tarnwick_dat::FileTable& files = db.files();
    if (selection.empty()) {
        picked.entries.reserve(files.size());
        for (const tarnwick_dat::DatFileEntry& entry : files) {
            picked.entries.push_back(&entry);
        }
        return picked;
    }
    for (const std::uint32_t id : selection.ids) {
        if (const tarnwick_dat::DatFileEntry* entry = files.find(id)) {
            picked.entries.push_back(entry);
        } else {
            picked.missing.push_back(id);
        }
    }
    if (!selection.types.empty() || !selection.patterns.empty()) {
        const std::unordered_set<std::uint32_t> given(selection.ids.begin(), selection.ids.end());
        std::vector<bool> matched(selection.patterns.size(), false);
        for (const tarnwick_dat::DatFileEntry& entry : files) {
            bool chosen = false;
            for (std::size_t i = 0; i < selection.patterns.size(); ++i) {
                if (selection.patterns[i].matches(entry.id)) {
                    matched[i] = true;
                    chosen = true;
                }
            }
            if (!chosen && !selection.types.empty()) {
                const tarnwick_dat::DatFileType type = db.file_type(entry.id);
                chosen = std::find(selection.types.begin(), selection.types.end(), type) !=
                         selection.types.end();
            }
            if (chosen && given.count(entry.id) == 0) {
                picked.entries.push_back(&entry);
            }
        }
        for (std::size_t i = 0; i < selection.patterns.size(); ++i) {
            if (!matched[i]) {
                picked.unmatched.push_back(selection.patterns[i].text);
            }
        }
    }
    return picked;
}

bool report_missing(std::string_view archive, const Picked& picked) {
    for (const std::uint32_t id : picked.missing) {
        report_file_error(archive, id, "no such file in the archive");
    }
    for (const std::string& pattern : picked.unmatched) {
        report_archive_error(archive, fmt::format("{}: no file matches", pattern));
    }
    return !picked.missing.empty() || !picked.unmatched.empty();
}

}  // namespace tarnwick_dat_tool
