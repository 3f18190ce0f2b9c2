// Values the command line takes: file ids, counts, sizes, file type and
// archive kind names. Every parser throws UsageError on text it cannot take
// whole.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tarnwick_dat/file_type/mod.hpp>

namespace tarnwick_dat_tool {

/// The rule for file ids, as every help text states it.
inline constexpr std::string_view kIdRule =
    "IDs are hexadecimal, as `ls` prints them (40000001), with or without 0x\n"
    "(0x40000001), in either case (0d00001a is 0x0D00001A); decimal ids take the\n"
    "prefix d: (d:1073741825).\n";

/// A file id: one to eight hexadecimal digits in either case, with or
/// without a "0x" (or "0X") prefix, or decimal digits after "d:"; at most
/// 0xFFFFFFFF. Digits alone are always hexadecimal, whatever they begin
/// with. Throws UsageError otherwise (signs, blanks, empty).
std::uint32_t parse_file_id(std::string_view text);

/// The id as `ls` prints it and JSON carries it: eight upper-case
/// hexadecimal digits.
std::string id_text(std::uint32_t id);

/// True when `timestamp` reads as a Unix time an archive could carry:
/// from 1995-01-01 to a day after now.
bool plausible_time(std::uint32_t timestamp);

/// The timestamp as ISO 8601 UTC ("2020-09-13T12:26:40Z") when plausible,
/// else the number itself.
std::string time_text(std::uint32_t timestamp);

/// A byte count for people: "1023", "2.9K", "14M" (powers of 1024).
std::string human_size(std::uint64_t bytes);

/// A decimal number of at most `max`. Throws UsageError naming `what`
/// otherwise.
std::uint64_t parse_number(std::string_view text, std::uint64_t max, std::string_view what);

/// A byte count: a decimal number with an optional binary suffix K, M, G or
/// T (KiB, MiB, ...). Throws UsageError naming `what` otherwise.
std::uint64_t parse_size(std::string_view text, std::string_view what);

/// Every `DatFileType` variant, in declaration order.
std::span<const tarnwick_dat::DatFileType> all_file_types();

/// The `DatFileType` with that name, compared without regard to case.
/// Throws UsageError for a name that is no variant.
tarnwick_dat::DatFileType parse_file_type(std::string_view text);

/// The `DatKind` named "portal", "cell", "local" or "unknown" (any case).
/// Throws UsageError otherwise.
tarnwick_dat::DatKind parse_kind(std::string_view text);

}  // namespace tarnwick_dat_tool
