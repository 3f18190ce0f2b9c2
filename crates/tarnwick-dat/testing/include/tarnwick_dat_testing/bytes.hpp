// Byte arrays written the short way in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <tarnwick_dat/record_reader.hpp>

namespace tarnwick_dat_testing {

/// The bytes given as numbers, e.g. `bytes({0x09, 0, 0, 0, 0x10})`.
inline tarnwick_dat::Bytes bytes(std::initializer_list<int> values) {
    tarnwick_dat::Bytes out;
    for (const int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

/// Appends `value` as four little-endian bytes.
inline void put_u32(tarnwick_dat::Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

/// The bytes of a text, without a terminator.
inline tarnwick_dat::Bytes text(std::string_view s) {
    return tarnwick_dat::Bytes(s.begin(), s.end());
}

}  // namespace tarnwick_dat_testing
