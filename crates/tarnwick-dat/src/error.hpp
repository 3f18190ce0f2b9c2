// The archive library's errors: platform I/O errors, record read errors with
// their field context, and `DatError`, the single error type of the library.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick_dat {

/// What kind of platform I/O failure an `IoError` is.
enum class IoErrorKind : std::uint8_t {
    NotFound,
    PermissionDenied,
    Interrupted,
    UnexpectedEof,
    InvalidInput,
    Other,
};

/// A platform I/O failure: either an OS error number with its system text, or
/// a kind with a fixed message (such as a read that ran out of data).
class IoError {
  public:
    /// The error for an OS error number (`errno`), with the system's text.
    static IoError from_os(int code);
    /// The error of a read that reached the end of the data before its range
    /// was full; its text is "failed to fill whole buffer".
    static IoError unexpected_eof();
    /// An error of the given kind with a message of its own.
    static IoError custom(IoErrorKind kind, std::string message);

    IoErrorKind kind() const { return kind_; }
    /// The OS error number, when the error came from the OS.
    std::optional<int> os_code() const { return os_code_; }
    /// The text a user sees, e.g. "No such file or directory (os error 2)".
    std::string display() const;
    /// The structural form, e.g. `Os { code: 2, kind: NotFound, message: "..." }`.
    std::string debug() const;

  private:
    IoError(IoErrorKind kind, std::optional<int> os_code, std::string message)
        : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

    IoErrorKind kind_;
    std::optional<int> os_code_;
    std::string message_;
};

/// The name of an I/O error kind, e.g. "UnexpectedEof".
std::string_view io_error_kind_name(IoErrorKind kind);

/// Where a record field is declared, and the context message that names it.
struct ContextFrame {
    /// "While parsing field '<field>' in <Record>".
    std::string message;
    /// Source file declaring the field, relative to the project root.
    std::string_view file;
    /// Line of the field's declaration in `file`.
    std::uint32_t line = 0;
};

/// The failure of a record reader: the cause (an I/O failure of the byte
/// source, or a failure of the record's own) and the fields it was reading,
/// innermost first.
class RecordReadError {
  public:
    /// A failure caused by the byte source.
    static RecordReadError io(IoError cause);
    /// A failure the record reader raised itself.
    static RecordReadError custom(std::string message);

    /// Adds the frame of the field that enclosed the failure (outermost last).
    void push_frame(ContextFrame frame) { frames_.push_back(std::move(frame)); }

    /// The byte source's failure, or null for a record-level failure.
    const IoError* io_cause() const { return std::get_if<IoError>(&cause_); }
    /// The context frames, innermost first.
    const std::vector<ContextFrame>& frames() const { return frames_; }
    /// The cause, then one line per frame with its message and location.
    std::string display() const;
    /// One-line structural form with the cause and every frame.
    std::string debug() const;

  private:
    explicit RecordReadError(std::variant<IoError, std::string> cause) : cause_(std::move(cause)) {}

    std::variant<IoError, std::string> cause_;
    std::vector<ContextFrame> frames_;
};

/// The variants of `DatError`, in declaration order.
enum class DatErrorKind : std::uint8_t {
    Io,
    BinRead,
    NotFound,
    DuplicateId,
    DuplicateNamespacedId,
    InvalidMagic,
    UnsupportedVersion,
    InvalidNamespace,
    Corruption,
    DecompressionFailed,
    PathError,
    Other,
};

/// The single error type of the archive library. Move-only; it owns
/// everything it carries.
class DatError {
  public:
    /// A failed seek or read of the archive file.
    static DatError io(IoError error);
    /// A record (header, directory entry) that could not be read.
    static DatError bin_read(RecordReadError error);
    /// A file id that the archive's directory does not hold.
    static DatError not_found(std::uint32_t id);
    /// Two directory entries with one id (kept for callers; the walk lets the
    /// later entry win instead).
    static DatError duplicate_id(std::uint32_t id);
    /// Two files with one id in one namespace.
    static DatError duplicate_namespaced_id(std::string ns, std::uint32_t file_id);
    /// A record whose signature is not that of `format`.
    static DatError invalid_magic(std::string format);
    /// A format version this library cannot read.
    static DatError unsupported_version(std::uint32_t version);
    /// A namespace name that names none.
    static DatError invalid_namespace(std::string ns);
    /// Damage in the archive's structure, described in `what`.
    static DatError corruption(std::string what);
    /// A compressed file `id` that could not be recovered.
    static DatError decompression_failed(std::uint32_t id);
    /// The archive file at `path` could not be opened.
    static DatError path_error(std::filesystem::path path, IoError source);
    /// Any other failure, described in `text`.
    static DatError other(std::string text);

    DatError(DatError&&) noexcept = default;
    DatError& operator=(DatError&&) noexcept = default;
    DatError(const DatError&) = delete;
    DatError& operator=(const DatError&) = delete;

    DatErrorKind kind() const { return kind_; }
    /// The wrapped I/O error (`Io` and the `source` of `PathError`), else null.
    const IoError* io_error() const;
    /// The wrapped record read error (`BinRead`), else null.
    const RecordReadError* record_error() const;
    /// The file id (`NotFound`, `DuplicateId`, `DuplicateNamespacedId`,
    /// `DecompressionFailed`), or the version (`UnsupportedVersion`).
    std::optional<std::uint32_t> number() const;
    /// The text carried by the text variants and the namespace, else empty.
    const std::string& text() const { return text_; }
    /// The path of `PathError`, else empty.
    const std::filesystem::path& path() const { return path_; }

    /// The message a user sees, e.g. "File ID 0000001F not found in provider".
    std::string display() const;
    /// The structural form, e.g. "NotFound(31)".
    std::string debug() const;

  private:
    explicit DatError(DatErrorKind kind, std::uint32_t number = 0, std::string text = {})
        : kind_(kind), number_(number), text_(std::move(text)) {}

    DatErrorKind kind_;
    std::uint32_t number_ = 0;
    std::string text_;
    std::filesystem::path path_;
    std::optional<IoError> io_;
    std::optional<RecordReadError> record_;
};

/// Quotes a text as a debug form shows it: in double quotes, with quotes,
/// backslashes and control characters escaped.
std::string debug_quote(std::string_view text);

}  // namespace tarnwick_dat

template <>
struct fmt::formatter<tarnwick_dat::IoError> : fmt::formatter<std::string_view> {
    auto format(const tarnwick_dat::IoError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.display(), ctx);
    }
};

template <>
struct fmt::formatter<tarnwick_dat::RecordReadError> : fmt::formatter<std::string_view> {
    auto format(const tarnwick_dat::RecordReadError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.display(), ctx);
    }
};

template <>
struct fmt::formatter<tarnwick_dat::DatError> : fmt::formatter<std::string_view> {
    auto format(const tarnwick_dat::DatError& e, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.display(), ctx);
    }
};
