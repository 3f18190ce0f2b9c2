#include "values.hpp"

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <limits>
#include <string>

#include "cli.hpp"

namespace tarnwick_dat_tool {

namespace {

using tarnwick_dat::DatFileType;
using tarnwick_dat::DatKind;

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Digits only, in the given base, without overflowing `max`.
bool parse_digits(std::string_view digits, unsigned base, std::uint64_t max, std::uint64_t& out) {
    if (digits.empty()) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (value > (max - digit) / base) {
            return false;
        }
        value = value * base + digit;
    }
    out = value;
    return true;
}

}  // namespace

std::uint32_t parse_file_id(std::string_view text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::uint64_t value = 0;
    const bool ok = hex ? parse_digits(text.substr(2), 16, 0xFFFFFFFF, value)
                        : parse_digits(text, 10, 0xFFFFFFFF, value);
    if (!ok) {
        throw UsageError(fmt::format(
            "invalid file id '{}' (expected 0x followed by up to 8 hex digits, or a decimal "
            "number up to 4294967295)",
            text));
    }
    return static_cast<std::uint32_t>(value);
}

std::uint64_t parse_number(std::string_view text, std::uint64_t max, std::string_view what) {
    std::uint64_t value = 0;
    if (!parse_digits(text, 10, max, value)) {
        throw UsageError(
            fmt::format("invalid {} '{}' (expected a decimal number up to {})", what, text, max));
    }
    return value;
}

std::span<const DatFileType> all_file_types() {
    return tarnwick_dat::kAllDatFileTypes;
}

DatFileType parse_file_type(std::string_view text) {
    for (const DatFileType type : tarnwick_dat::kAllDatFileTypes) {
        if (equal_ignoring_case(text, tarnwick_dat::name(type))) {
            return type;
        }
    }
    throw UsageError(fmt::format("unknown file type '{}' (see --help for the names)", text));
}

DatKind parse_kind(std::string_view text) {
    for (const DatKind kind : tarnwick_dat::kAllDatKinds) {
        if (equal_ignoring_case(text, tarnwick_dat::name(kind))) {
            return kind;
        }
    }
    throw UsageError(
        fmt::format("unknown archive kind '{}' (expected portal, cell, local or unknown)", text));
}

}  // namespace tarnwick_dat_tool
