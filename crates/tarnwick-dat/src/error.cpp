#include "error.hpp"

#include <cerrno>
#include <cstring>

namespace tarnwick_dat {

namespace {

IoErrorKind kind_of_errno(int code) {
    switch (code) {
        case ENOENT:
            return IoErrorKind::NotFound;
        case EACCES:
        case EPERM:
            return IoErrorKind::PermissionDenied;
        case EINTR:
            return IoErrorKind::Interrupted;
        case EINVAL:
            return IoErrorKind::InvalidInput;
        default:
            return IoErrorKind::Other;
    }
}

std::string os_message(int code) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text;
}

}  // namespace

IoError IoError::from_os(int code) {
    return IoError(kind_of_errno(code), code, os_message(code));
}

IoError IoError::unexpected_eof() {
    return IoError(IoErrorKind::UnexpectedEof, std::nullopt, "failed to fill whole buffer");
}

IoError IoError::custom(IoErrorKind kind, std::string message) {
    return IoError(kind, std::nullopt, std::move(message));
}

std::string IoError::display() const {
    if (os_code_) {
        return fmt::format("{} (os error {})", message_, *os_code_);
    }
    return message_;
}

std::string IoError::debug() const {
    if (os_code_) {
        return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", *os_code_,
                           io_error_kind_name(kind_), debug_quote(message_));
    }
    return fmt::format("Error {{ kind: {}, message: {} }}", io_error_kind_name(kind_),
                       debug_quote(message_));
}

std::string_view io_error_kind_name(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound:
            return "NotFound";
        case IoErrorKind::PermissionDenied:
            return "PermissionDenied";
        case IoErrorKind::Interrupted:
            return "Interrupted";
        case IoErrorKind::UnexpectedEof:
            return "UnexpectedEof";
        case IoErrorKind::InvalidInput:
            return "InvalidInput";
        case IoErrorKind::Other:
            break;
    }
    return "Other";
}

RecordReadError RecordReadError::io(IoError cause) {
    return RecordReadError(std::move(cause));
}

RecordReadError RecordReadError::custom(std::string message) {
    return RecordReadError(std::move(message));
}

std::string RecordReadError::display() const {
    std::string out;
    if (const IoError* io = io_cause()) {
        out = io->display();
    } else {
        out = std::get<std::string>(cause_);
    }
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        const ContextFrame& frame = frames_[i];
        out += fmt::format("\n {}: {}\n     at {}:{}", i, frame.message, frame.file, frame.line);
    }
    return out;
}

std::string RecordReadError::debug() const {
    std::string cause;
    if (const IoError* io = io_cause()) {
        cause = fmt::format("Io({})", io->debug());
    } else {
        cause = fmt::format("Custom({})", debug_quote(std::get<std::string>(cause_)));
    }
    std::string frames;
    for (const ContextFrame& frame : frames_) {
        if (!frames.empty()) {
            frames += ", ";
        }
        frames += debug_quote(fmt::format("{} at {}:{}", frame.message, frame.file, frame.line));
    }
    return fmt::format("RecordReadError {{ cause: {}, context: [{}] }}", cause, frames);
}

DatError DatError::io(IoError error) {
    DatError e(DatErrorKind::Io);
    e.io_ = std::move(error);
    return e;
}

DatError DatError::bin_read(RecordReadError error) {
    DatError e(DatErrorKind::BinRead);
    e.record_ = std::move(error);
    return e;
}

DatError DatError::not_found(std::uint32_t id) {
    return DatError(DatErrorKind::NotFound, id);
}

DatError DatError::duplicate_id(std::uint32_t id) {
    return DatError(DatErrorKind::DuplicateId, id);
}

DatError DatError::duplicate_namespaced_id(std::string ns, std::uint32_t file_id) {
    return DatError(DatErrorKind::DuplicateNamespacedId, file_id, std::move(ns));
}

DatError DatError::invalid_magic(std::string format) {
    return DatError(DatErrorKind::InvalidMagic, 0, std::move(format));
}

DatError DatError::unsupported_version(std::uint32_t version) {
    return DatError(DatErrorKind::UnsupportedVersion, version);
}

DatError DatError::invalid_namespace(std::string ns) {
    return DatError(DatErrorKind::InvalidNamespace, 0, std::move(ns));
}

DatError DatError::corruption(std::string what) {
    return DatError(DatErrorKind::Corruption, 0, std::move(what));
}

DatError DatError::decompression_failed(std::uint32_t id) {
    return DatError(DatErrorKind::DecompressionFailed, id);
}

DatError DatError::path_error(std::filesystem::path path, IoError source) {
    DatError e(DatErrorKind::PathError);
    e.path_ = std::move(path);
    e.io_ = std::move(source);
    return e;
}

DatError DatError::other(std::string text) {
    return DatError(DatErrorKind::Other, 0, std::move(text));
}

const IoError* DatError::io_error() const {
    return io_ ? &*io_ : nullptr;
}

const RecordReadError* DatError::record_error() const {
    return record_ ? &*record_ : nullptr;
}

std::optional<std::uint32_t> DatError::number() const {
    switch (kind_) {
        case DatErrorKind::NotFound:
        case DatErrorKind::DuplicateId:
        case DatErrorKind::DuplicateNamespacedId:
        case DatErrorKind::UnsupportedVersion:
        case DatErrorKind::DecompressionFailed:
            return number_;
        default:
            return std::nullopt;
    }
}

std::string DatError::display() const {
    switch (kind_) {
        case DatErrorKind::Io:
            return fmt::format("IO error: {}", io_->display());
        case DatErrorKind::BinRead:
            return fmt::format("Binary read error: {}", record_->display());
        case DatErrorKind::NotFound:
            return fmt::format("File ID {:08X} not found in provider", number_);
        case DatErrorKind::DuplicateId:
            return fmt::format("Duplicate File ID {:08X} detected", number_);
        case DatErrorKind::DuplicateNamespacedId:
            return fmt::format("Duplicate namespaced file {}:{:08X} detected", text_, number_);
        case DatErrorKind::InvalidMagic:
            return fmt::format("Invalid magic for format: {}", text_);
        case DatErrorKind::UnsupportedVersion:
            return fmt::format("Unsupported version: {}", number_);
        case DatErrorKind::InvalidNamespace:
            return fmt::format("Invalid namespace: {}", text_);
        case DatErrorKind::Corruption:
            return fmt::format("Corruption detected: {}", text_);
        case DatErrorKind::DecompressionFailed:
            return fmt::format("Failed to recover compressed file {:08X}", number_);
        case DatErrorKind::PathError:
            return fmt::format("Failed to open file at {}: {}", path_.string(), io_->display());
        case DatErrorKind::Other:
            break;
    }
    return fmt::format("Other error: {}", text_);
}

std::string DatError::debug() const {
    switch (kind_) {
        case DatErrorKind::Io:
            return fmt::format("Io({})", io_->debug());
        case DatErrorKind::BinRead:
            return fmt::format("BinRead({})", record_->debug());
        case DatErrorKind::NotFound:
            return fmt::format("NotFound({})", number_);
        case DatErrorKind::DuplicateId:
            return fmt::format("DuplicateId({})", number_);
        case DatErrorKind::DuplicateNamespacedId:
            return fmt::format("DuplicateNamespacedId {{ namespace: {}, file_id: {} }}",
                               debug_quote(text_), number_);
        case DatErrorKind::InvalidMagic:
            return fmt::format("InvalidMagic({})", debug_quote(text_));
        case DatErrorKind::UnsupportedVersion:
            return fmt::format("UnsupportedVersion({})", number_);
        case DatErrorKind::InvalidNamespace:
            return fmt::format("InvalidNamespace({})", debug_quote(text_));
        case DatErrorKind::Corruption:
            return fmt::format("Corruption({})", debug_quote(text_));
        case DatErrorKind::DecompressionFailed:
            return fmt::format("DecompressionFailed({})", number_);
        case DatErrorKind::PathError:
            return fmt::format("PathError {{ path: {}, source: {} }}", debug_quote(path_.string()),
                               io_->debug());
        case DatErrorKind::Other:
            break;
    }
    return fmt::format("Other({})", debug_quote(text_));
}

std::string debug_quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += fmt::format("\\u{{{:x}}}", byte);
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace tarnwick_dat
