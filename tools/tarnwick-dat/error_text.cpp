#include "error_text.hpp"

#include <fmt/format.h>

#include <cstdio>

namespace tarnwick_dat_tool {

namespace {

// A stray line break in a message (an OS text, a path) must not split the
// one error line.
std::string flatten(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

}  // namespace

std::string error_line(const tarnwick_dat::DatError& error) {
    const tarnwick_dat::RecordReadError* record = error.record_error();
    if (record == nullptr) {
        return flatten(error.display());
    }
    // The cause is the first line of the record error's text; the frames
    // follow on lines of their own, which are replaced by their messages.
    const std::string full = record->display();
    std::string line = "Binary read error: " + full.substr(0, full.find('\n'));
    if (!record->frames().empty()) {
        line += " (";
        for (std::size_t i = 0; i < record->frames().size(); ++i) {
            if (i > 0) {
                line += "; ";
            }
            line += record->frames()[i].message;
        }
        line += ")";
    }
    return flatten(std::move(line));
}

void report_error(std::string_view message) {
    std::fflush(stdout);
    fmt::print(stderr, "error: {}\n", flatten(std::string(message)));
}

void report_error(const tarnwick_dat::DatError& error) {
    report_error(error_line(error));
}

}  // namespace tarnwick_dat_tool
