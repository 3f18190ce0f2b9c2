#include "selection.hpp"

#include <fmt/format.h>

#include <algorithm>
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

// A list of ids is small text; a bound keeps a wrong file (an archive
// given by mistake) from filling memory.
constexpr std::size_t kMaxListBytes = std::size_t{64} << 20;

}  // namespace

Selection parse_selection(const SelectionArgs& args) {
    Selection selection;
    std::unordered_set<std::uint32_t> seen;
    const auto add_id = [&](std::uint32_t id) {
        if (seen.insert(id).second) {
            selection.ids.push_back(id);
        }
    };
    for (const std::string& text : args.ids) {
        add_id(parse_file_id(text));
    }
    if (!args.list.empty()) {
        auto bytes = read_input(args.list, kMaxListBytes);
        if (!bytes) {
            throw UsageError(bytes.error());
        }
        const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        const std::string name = args.list == "-" ? "standard input" : args.list;
        std::size_t start = 0;
        for (std::size_t line = 1; start < text.size(); ++line) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            const std::string_view word = trim(text.substr(start, end - start));
            start = end + 1;
            if (word.empty() || word.front() == '#') {
                continue;
            }
            try {
                add_id(parse_file_id(word));
            } catch (const UsageError& error) {
                throw UsageError(fmt::format("{}:{}: {}", name, line, error.what()));
            }
        }
    }
    for (const std::string& name : args.types) {
        const tarnwick_dat::DatFileType type = parse_file_type(name);
        if (std::find(selection.types.begin(), selection.types.end(), type) ==
            selection.types.end()) {
            selection.types.push_back(type);
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
    if (!selection.types.empty()) {
        const std::unordered_set<std::uint32_t> given(selection.ids.begin(), selection.ids.end());
        for (const tarnwick_dat::DatFileEntry& entry : files) {
            const tarnwick_dat::DatFileType type = db.file_type(entry.id);
            if (std::find(selection.types.begin(), selection.types.end(), type) !=
                    selection.types.end() &&
                given.count(entry.id) == 0) {
                picked.entries.push_back(&entry);
            }
        }
    }
    return picked;
}

bool report_missing(std::string_view archive, const Picked& picked) {
    for (const std::uint32_t id : picked.missing) {
        report_file_error(archive, id, "no such file in the archive");
    }
    return !picked.missing.empty();
}

}  // namespace tarnwick_dat_tool
