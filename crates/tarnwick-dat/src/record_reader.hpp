// A bounds-checked little-endian cursor over bytes in memory, and where the
// fields of the on-disk records are declared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "error.hpp"
#include "result.hpp"

namespace tarnwick_dat {

/// An owned byte array: the unit in which files are fetched and decoded.
using Bytes = std::vector<std::uint8_t>;

/// The most memory a buffer kept for reuse between fetches (one per thread or
/// per worker) holds on to.
inline constexpr std::size_t kKeptBufferBytes = std::size_t{4} << 20;

/// Frees `buffer`'s memory once a fetch has grown it beyond
/// `kKeptBufferBytes`, so that a buffer kept for reuse does not hold on to the
/// largest file it ever read.
inline void trim_kept_buffer(Bytes& buffer) noexcept {
    if (buffer.capacity() > kKeptBufferBytes) {
        Bytes().swap(buffer);
    }
}

/// The little-endian u32 in the four bytes at `bytes`; the caller has checked
/// that they are there.
inline std::uint32_t load_le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

/// Reads little-endian values from a byte range. Every read is checked
/// against the end of the data before it is made; a read that does not fit
/// fails with the unexpected-end-of-data error and leaves the position as it
/// was.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> data, std::size_t position = 0)
        : data_(data), position_(position) {}

    /// Offset of the next byte to read.
    std::size_t position() const { return position_; }
    /// Moves to an absolute offset; a position past the end makes every
    /// later read fail.
    void set_position(std::size_t position) { position_ = position; }
    /// Number of bytes left to read (0 when positioned past the end).
    std::size_t remaining() const {
        return position_ < data_.size() ? data_.size() - position_ : 0;
    }

    /// Fills `out` from the current position.
    Result<void, IoError> read_bytes(std::span<std::uint8_t> out) {
        if (out.size() > remaining()) {
            return Err{IoError::unexpected_eof()};
        }
        if (!out.empty()) {
            std::memcpy(out.data(), data_.data() + position_, out.size());
        }
        position_ += out.size();
        return {};
    }

    /// Reads one little-endian integer of type `T`.
    template <typename T>
    Result<T, IoError> read_le() {
        static_assert(std::is_integral_v<T>);
        if (sizeof(T) > remaining()) {
            return Err{IoError::unexpected_eof()};
        }
        std::make_unsigned_t<T> value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            value |= static_cast<std::make_unsigned_t<T>>(
                static_cast<std::make_unsigned_t<T>>(data_[position_ + i]) << (8 * i));
        }
        position_ += sizeof(T);
        return static_cast<T>(value);
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t position_;
};

/// Where a record's field is declared: the record and field names and the
/// source position of the declaration, for the field's context frame.
struct FieldSite {
    std::string_view record;
    std::string_view field;
    std::string_view file;
    std::uint32_t line;
};

/// A field of an on-disk record as `TARNWICK_DAT_FIELD` declares it: its name
/// and the line of its declaration, both taken by the compiler.
struct FieldDeclaration {
    std::string_view name;
    std::uint32_t line;
};

/// The sites of the fields of one record, declared in one file.
struct RecordSites {
    std::string_view record;
    std::string_view file;

    /// The site of the field declared as `field`.
    constexpr FieldSite operator()(const FieldDeclaration& field) const {
        return FieldSite{record, field.name, file, field.line};
    }
};

/// Declares the field `name` of type `type` in an on-disk record, and beside
/// it the static `name##_field`, the field's `FieldDeclaration`, which the
/// record's description (its `for_each_field`) turns into a `FieldSite`.
#define TARNWICK_DAT_FIELD(type, name) \
    TARNWICK_DAT_ENCODED_FIELD(name);  \
    type name

/// Declares only the `FieldDeclaration` `name##_field` of a field that is
/// encoded in the record but not kept as a member (such as a count).
#define TARNWICK_DAT_ENCODED_FIELD(name)                             \
    static constexpr ::tarnwick_dat::FieldDeclaration name##_field { \
#name, __LINE__                                              \
    }

}  // namespace tarnwick_dat
