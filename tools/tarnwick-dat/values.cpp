#include "values.hpp"

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <limits>
#include <string>
#include <tarnwick_dat/manifest.hpp>

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
    std::uint64_t value = 0;
    bool ok = false;
    if (text.starts_with("d:")) {
        ok = parse_digits(text.substr(2), 10, 0xFFFFFFFF, value);
    } else {
        const bool prefixed = text.starts_with("0x") || text.starts_with("0X");
        const std::string_view digits = prefixed ? text.substr(2) : text;
        ok = digits.size() <= 8 && parse_digits(digits, 16, 0xFFFFFFFF, value);
    }
    if (!ok) {
        throw UsageError(fmt::format(
            "invalid file id '{}' (expected up to 8 hex digits with or without 0x, or d: and a "
            "decimal number)",
            text));
    }
    return static_cast<std::uint32_t>(value);
}

std::string id_text(std::uint32_t id) {
    return fmt::format("{:08X}", id);
}

bool plausible_time(std::uint32_t timestamp) {
    return tarnwick_dat::plausible_timestamp(timestamp);
}

std::string time_text(std::uint32_t timestamp) {
    return tarnwick_dat::timestamp_text(timestamp).value_or(fmt::format("{}", timestamp));
}

std::string human_size(std::uint64_t bytes) {
    if (bytes < 1024) {
        return fmt::format("{}", bytes);
    }
    constexpr const char* kUnits = "KMGTPE";
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < 6) {
        value /= 1024;
        ++unit;
    }
    return value < 10 ? fmt::format("{:.1f}{}", value, kUnits[unit])
                      : fmt::format("{:.0f}{}", value, kUnits[unit]);
}

std::uint64_t parse_number(std::string_view text, std::uint64_t max, std::string_view what) {
    std::uint64_t value = 0;
    if (!parse_digits(text, 10, max, value)) {
        throw UsageError(
            fmt::format("invalid {} '{}' (expected a decimal number up to {})", what, text, max));
    }
    return value;
}

std::uint64_t parse_size(std::string_view text, std::string_view what) {
    unsigned shift = 0;
    std::string_view digits = text;
    if (!digits.empty()) {
        switch (std::toupper(static_cast<unsigned char>(digits.back()))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            default:
                break;
        }
        if (shift != 0) {
            digits.remove_suffix(1);
        }
    }
    std::uint64_t value = 0;
    if (!parse_digits(digits, 10, std::numeric_limits<std::uint64_t>::max() >> shift, value)) {
        throw UsageError(fmt::format(
            "invalid {} '{}' (expected a number of bytes, optionally with K, M, G or T)", what,
            text));
    }
    return value << shift;
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
