// Values the command line takes: file ids, counts, file type and archive
// kind names. Every parser throws UsageError on text it cannot take whole.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tarnwick_dat/file_type/mod.hpp>

namespace tarnwick_dat_tool {

/// A file id, in hexadecimal with a "0x" (or "0X") prefix or in decimal;
/// at most 0xFFFFFFFF. Throws UsageError otherwise (signs, blanks, empty).
std::uint32_t parse_file_id(std::string_view text);

/// A decimal number of at most `max`. Throws UsageError naming `what`
/// otherwise.
std::uint64_t parse_number(std::string_view text, std::uint64_t max, std::string_view what);

/// Every `DatFileType` variant, in declaration order.
std::span<const tarnwick_dat::DatFileType> all_file_types();

/// The `DatFileType` with that name, compared without regard to case.
/// Throws UsageError for a name that is no variant.
tarnwick_dat::DatFileType parse_file_type(std::string_view text);

/// The `DatKind` named "portal", "cell", "local" or "unknown" (any case).
/// Throws UsageError otherwise.
tarnwick_dat::DatKind parse_kind(std::string_view text);

}  // namespace tarnwick_dat_tool
