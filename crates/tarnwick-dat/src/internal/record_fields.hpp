// The field reads through which record readers attach their context frames,
// and where the fields of each on-disk record are declared.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/result.hpp"

namespace tarnwick_dat {

/// The context frame of a field: "While parsing field '<field>' in <record>".
inline ContextFrame frame_for(const FieldSite& site) {
    std::string message = "While parsing field '";
    message += site.field;
    message += "' in ";
    message += site.record;
    return ContextFrame{std::move(message), site.file, site.line};
}

/// Reads one little-endian integer field; on failure the error carries the
/// field's frame and the reader stays at the start of the field.
template <typename T>
Result<T, RecordReadError> read_field(ByteReader& reader, const FieldSite& site) {
    auto value = reader.read_le<T>();
    if (!value) {
        RecordReadError error = RecordReadError::io(std::move(value).error());
        error.push_frame(frame_for(site));
        return Err{std::move(error)};
    }
    return value.value();
}

/// The sites of `Record`'s fields in the order its description lists them
/// (`for_each_field`); for a counted array, the count's site, then the
/// array's. The sites give the context frames of a failed read.
template <typename Record>
std::span<const FieldSite> field_sites_of() {
    static const std::vector<FieldSite> sites = [] {
        std::vector<FieldSite> found;
        Record record{};
        for_each_field(record, [&](const FieldSite& site, auto&&... rest) {
            found.push_back(site);
            if constexpr (sizeof...(rest) == 2) {
                found.push_back([](const FieldSite& second, auto&&) { return second; }(rest...));
            }
        });
        return found;
    }();
    return sites;
}

/// Reads one field: an integer little-endian, anything else through `other`.
template <typename Other, typename T>
Result<void, RecordReadError> read_one_field(ByteReader& reader, Other& other,
                                             const FieldSite& site, T& field) {
    if constexpr (std::is_integral_v<T>) {
        auto value = read_field<T>(reader, site);
        if (!value) {
            return Err{std::move(value).error()};
        }
        field = value.value();
        return {};
    } else {
        return other(site, field);
    }
}

/// A counted array (two sites, then the array): read through `other`.
template <typename Other, typename... Rest>
Result<void, RecordReadError> read_one_field(ByteReader& /*reader*/, Other& other,
                                             const FieldSite& site, Rest&... rest) {
    return other(site, rest...);
}

/// Reads a `Record` field by field in the order of its description, integers
/// little-endian and any other field through `other(site, field...)`. On the
/// first failure the error carries the failing field's frame and `reader` is
/// back where the record started.
template <typename Record, typename Other>
Result<Record, RecordReadError> read_record(ByteReader& reader, Other other) {
    const std::size_t start = reader.position();
    Record record;
    std::optional<RecordReadError> failure;
    for_each_field(record, [&](const FieldSite& site, auto&&... fields) {
        if (failure) {
            return;
        }
        if (auto read = read_one_field(reader, other, site, fields...); !read) {
            failure.emplace(std::move(read).error());
        }
    });
    if (failure) {
        reader.set_position(start);
        return Err{std::move(*failure)};
    }
    return record;
}

/// `read_record` of a record whose fields are all integers.
template <typename Record>
Result<Record, RecordReadError> read_record(ByteReader& reader) {
    return read_record<Record>(reader, [](const FieldSite&, auto&... field) {
        static_assert(sizeof...(field) == 0, "a field that is not an integer needs its reader");
        return Result<void, RecordReadError>{};
    });
}

}  // namespace tarnwick_dat
