// The tool's parsing of command-line values: every text either parses or is
// a usage error (never a crash or another exception), and what parses goes
// back and forth through the forms the tool prints.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli.hpp"
#include "values.hpp"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Runs `parse`; a usage error is a fine answer to any text, anything else
// thrown is a fault.
template <typename F>
bool parses(F&& parse) {
    try {
        parse();
        return true;
    } catch (const tarnwick_dat_tool::UsageError&) {
        return false;
    }
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    using namespace tarnwick_dat_tool;
    switch (data[0] % 5) {
        case 0: {
            std::uint32_t id = 0;
            if (parses([&] { id = parse_file_id(text); })) {
                // Every form the tool prints or documents reads back the same,
                // in either case.
                const std::string hex = id_text(id);
                check(hex.size() == 8);
                check(parse_file_id(hex) == id);
                check(parse_file_id("0x" + hex) == id);
                check(parse_file_id(lower(hex)) == id);
                check(parse_file_id("0x" + lower(hex)) == id);
                check(parse_file_id("d:" + std::to_string(id)) == id);
            }
            // Eight hexadecimal digits are that number, whatever they begin
            // with ("0d..." included).
            if (text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                })) {
                check(parse_file_id(text) == std::stoul(std::string(text), nullptr, 16));
            }
            break;
        }
        case 1: {
            std::uint64_t n = 0;
            if (parses([&] { n = parse_number(text, 1'000'000, "a count"); })) {
                check(n <= 1'000'000);
                check(parse_number(std::to_string(n), 1'000'000, "a count") == n);
            }
            break;
        }
        case 2: {
            std::uint64_t bytes = 0;
            if (parses([&] { bytes = parse_size(text, "a size"); })) {
                check(parse_size(std::to_string(bytes), "a size") == bytes);
                check(!human_size(bytes).empty());
            }
            break;
        }
        case 3: {
            tarnwick_dat::DatFileType type{};
            if (parses([&] { type = parse_file_type(text); })) {
                check(parse_file_type(tarnwick_dat::name(type)) == type);
            }
            for (const tarnwick_dat::DatFileType known : all_file_types()) {
                check(parse_file_type(tarnwick_dat::name(known)) == known);
            }
            break;
        }
        default: {
            tarnwick_dat::DatKind kind{};
            if (parses([&] { kind = parse_kind(text); })) {
                check(kind == tarnwick_dat::DatKind::Portal ||
                      kind == tarnwick_dat::DatKind::Cell || kind == tarnwick_dat::DatKind::Local ||
                      kind == tarnwick_dat::DatKind::Unknown);
            }
            std::uint32_t stamp = 0;
            for (std::size_t i = 0; i < 4 && i < text.size(); ++i) {
                stamp = stamp << 8 | static_cast<std::uint8_t>(text[i]);
            }
            check(!time_text(stamp).empty());
            break;
        }
    }
    return 0;
}
