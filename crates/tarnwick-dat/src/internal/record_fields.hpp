// The field reads through which record readers attach their context frames,
// and where the fields of each on-disk record are declared.
#pragma once

#include <span>
#include <string>
#include <utility>

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

/// Where each `DatHeader` field is declared, in file order; the sites give
/// the context frames of a failed header read.
std::span<const FieldSite> dat_header_field_sites();

/// Where each `DatFileEntry` field is declared, in file order.
std::span<const FieldSite> dat_file_entry_field_sites();

/// Where each `FontCharDesc` field is declared, in encoding order.
std::span<const FieldSite> font_char_desc_field_sites();

/// Where each `Font` field is declared, in encoding order (with the count,
/// `num_char_descs`, between `max_char_width` and `char_descs`).
std::span<const FieldSite> font_field_sites();

}  // namespace tarnwick_dat
