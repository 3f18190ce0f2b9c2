// The names of the tree that extract writes and mount shows: one directory
// per file type, and in it one file per id, DIR/TYPE/ID.bin.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tarnwick_dat/file_type/mod.hpp>

namespace tarnwick_dat_tool {

/// The directory that holds the files of `type`: the type's name.
inline std::string_view type_dir_name(tarnwick_dat::DatFileType type) {
    return tarnwick_dat::name(type);
}

/// The name of file `id` in its type directory: eight upper-case
/// hexadecimal digits and ".bin" ("40000001.bin").
inline std::string file_name(std::uint32_t id) {
    return fmt::format("{:08X}.bin", id);
}

/// The id of a name that `file_name` gives, or nothing for any other name
/// (lower-case digits, fewer or more digits, another suffix).
inline std::optional<std::uint32_t> parse_file_name(std::string_view name) {
    constexpr std::string_view kSuffix = ".bin";
    if (name.size() != 8 + kSuffix.size() || !name.ends_with(kSuffix)) {
        return std::nullopt;
    }
    std::uint32_t id = 0;
    for (const char c : name.substr(0, 8)) {
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        id = id << 4 | digit;
    }
    return id;
}

}  // namespace tarnwick_dat_tool
