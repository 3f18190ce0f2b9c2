// Encodes on-disk records field by field as their descriptions
// (`for_each_field`) list them: the inverse of the library's record readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "tarnwick_dat/record_reader.hpp"

namespace tarnwick_dat_writer::detail {

// Appends `value` little-endian, in as many bytes as its type has.
template <typename T>
void put_le(tarnwick_dat::Bytes& out, T value) {
    const auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
}

template <typename Record>
void put_record(tarnwick_dat::Bytes& out, const Record& record);

// The visitor of a description: integers little-endian, raw bytes as they
// are, a counted array as its 32-bit count and then its records.
struct FieldEncoder {
    tarnwick_dat::Bytes& out;

    template <typename T>
    void operator()(const tarnwick_dat::FieldSite& /*site*/, const T& field) const {
        if constexpr (std::is_integral_v<T>) {
            put_le(out, field);
        } else {
            static_assert(std::is_same_v<T, std::vector<std::uint8_t>>);
            out.insert(out.end(), field.begin(), field.end());
        }
    }

    template <typename Element>
    void operator()(const tarnwick_dat::FieldSite& count_site,
                    const tarnwick_dat::FieldSite& /*elements_site*/,
                    const std::vector<Element>& elements) const {
        if (elements.size() > std::numeric_limits<std::uint32_t>::max()) {
            throw std::invalid_argument(std::string(count_site.record) + "'s " +
                                        std::string(count_site.field) +
                                        " does not fit its 32-bit field");
        }
        put_le(out, static_cast<std::uint32_t>(elements.size()));
        for (const Element& element : elements) {
            put_record(out, element);
        }
    }
};

// Appends the bytes of `record`, field by field in its description's order.
template <typename Record>
void put_record(tarnwick_dat::Bytes& out, const Record& record) {
    for_each_field(record, FieldEncoder{out});
}

}  // namespace tarnwick_dat_writer::detail
