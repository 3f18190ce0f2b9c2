// Builds every kind of library error from arbitrary ids, OS error numbers,
// texts and paths, and checks what users and logs see: each message as the
// format fixes it, the accessors matching the variant, the debug form naming
// the variant with its texts quoted so that unquoting gives them back (any
// bytes, control characters included), and a result's failed value access
// carrying the message. Also looks the archive up with an arbitrary
// environment value: it is found only where that value names a file.
// Input: byte 0 picks the variant, bytes 1-4 an id or version, byte 5 an OS
// error number, the rest is the text (and the path).
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tarnwick_dat/error.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/result.hpp>
#include <tarnwick_dat/utils.hpp>

namespace {

using tarnwick_dat::DatError;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat::IoError;
using tarnwick_dat::RecordReadError;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The text inside a debug quote, unescaped; nothing when `quoted` is not a
// well-formed quote (or holds a raw control character).
std::optional<std::string> unquote(std::string_view quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        const auto byte = static_cast<unsigned char>(quoted[i]);
        if (byte < 0x20 || byte == 0x7F || quoted[i] == '"') {
            return std::nullopt;
        }
        if (quoted[i] != '\\') {
            out += quoted[i];
            continue;
        }
        if (++i + 1 >= quoted.size()) {
            return std::nullopt;
        }
        switch (quoted[i]) {
            case '"':
            case '\\':
                out += quoted[i];
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'u': {
                const std::size_t close = quoted.find('}', i);
                if (quoted.substr(i, 2) != "u{" || close == std::string_view::npos) {
                    return std::nullopt;
                }
                const std::string hex(quoted.substr(i + 2, close - i - 2));
                if (hex.empty() || hex.size() > 2 ||
                    hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
                    return std::nullopt;
                }
                out += static_cast<char>(std::stoi(hex, nullptr, 16));
                i = close;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

std::string hex8(std::uint32_t value) {
    return fmt::format("{:08X}", value);
}

void check_io_error(const IoError& error, std::optional<int> code) {
    check(error.os_code() == code);
    if (code) {
        check(error.display().ends_with(fmt::format(" (os error {})", *code)));
        check(starts_with(error.debug(), fmt::format("Os {{ code: {}, kind: ", *code)));
    }
    check(!tarnwick_dat::io_error_kind_name(error.kind()).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A missing archive is a path error naming the path and the OS's text.
    static const bool missing_checked = [] {
        const std::string missing = "/nonexistent/tarnwick-fuzz/portal.dat";
        auto opened = tarnwick_dat::DatDatabase::open(missing);
        check(!opened && opened.error().kind() == DatErrorKind::PathError &&
              opened.error().display() ==
                  "Failed to open file at " + missing + ": " + IoError::from_os(ENOENT).display());
        return true;
    }();
    (void)missing_checked;
    if (size < 6) {
        return 0;
    }
    const unsigned variant = data[0] % 12;
    const std::uint32_t number =
        static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
        static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24;
    const int code = data[5] % 134;
    const std::string text(reinterpret_cast<const char*>(data + 6), size - 6);

    // Any bytes survive quoting, and the quote holds no raw control byte.
    const std::string quoted = tarnwick_dat::debug_quote(text);
    const auto unquoted = unquote(quoted);
    check(unquoted && *unquoted == text);

    const IoError os = IoError::from_os(code);
    check_io_error(os, code);
    const IoError custom =
        IoError::custom(static_cast<tarnwick_dat::IoErrorKind>(data[0] % 6), text);
    check_io_error(custom, std::nullopt);
    check(custom.display() == text);

    std::optional<DatError> error;
    std::string message;
    switch (variant) {
        case 0:
            error = DatError::io(IoError::from_os(code));
            message = "IO error: " + os.display();
            break;
        case 1: {
            RecordReadError record = (number & 1) != 0
                                         ? RecordReadError::io(IoError::unexpected_eof())
                                         : RecordReadError::custom(text);
            for (std::uint32_t i = 0; i < (number >> 1) % 4; ++i) {
                record.push_frame({"While parsing field '" + text + "' in Record", "lib.hpp", i});
            }
            const std::string record_display = record.display();
            for (const auto& frame : record.frames()) {
                check(record_display.find(frame.message) != std::string::npos);
            }
            check(!record.debug().empty());
            error = DatError::bin_read(std::move(record));
            message = "Binary read error: " + record_display;
            break;
        }
        case 2:
            error = DatError::not_found(number);
            message = "File ID " + hex8(number) + " not found in provider";
            break;
        case 3:
            error = DatError::duplicate_id(number);
            message = "Duplicate File ID " + hex8(number) + " detected";
            break;
        case 4:
            error = DatError::duplicate_namespaced_id(text, number);
            message = "Duplicate namespaced file " + text + ":" + hex8(number) + " detected";
            break;
        case 5:
            error = DatError::invalid_magic(text);
            message = "Invalid magic for format: " + text;
            break;
        case 6:
            error = DatError::unsupported_version(number);
            message = "Unsupported version: " + std::to_string(number);
            break;
        case 7:
            error = DatError::invalid_namespace(text);
            message = "Invalid namespace: " + text;
            break;
        case 8:
            error = DatError::corruption(text);
            message = "Corruption detected: " + text;
            break;
        case 9:
            error = DatError::decompression_failed(number);
            message = "Failed to recover compressed file " + hex8(number);
            break;
        case 10:
            error = DatError::path_error(std::filesystem::path(text), IoError::from_os(code));
            message = "Failed to open file at " + text + ": " + os.display();
            break;
        default:
            error = DatError::other(text);
            message = "Other error: " + text;
            break;
    }
    check(static_cast<unsigned>(error->kind()) == variant);
    check(error->display() == message);
    check(fmt::format("{}", *error) == message);

    // Accessors carry what the variant holds, and nothing else.
    const DatErrorKind kind = error->kind();
    check((error->io_error() != nullptr) ==
          (kind == DatErrorKind::Io || kind == DatErrorKind::PathError));
    check((error->record_error() != nullptr) == (kind == DatErrorKind::BinRead));
    const bool numbered = kind == DatErrorKind::NotFound || kind == DatErrorKind::DuplicateId ||
                          kind == DatErrorKind::DuplicateNamespacedId ||
                          kind == DatErrorKind::DecompressionFailed ||
                          kind == DatErrorKind::UnsupportedVersion;
    check(numbered ? error->number() == number : !error->number().has_value());
    if (kind == DatErrorKind::PathError) {
        check(error->path() == std::filesystem::path(text));
    }

    // The debug form names the variant; single values sit in parentheses,
    // texts quoted.
    static constexpr std::string_view kNames[] = {"Io",
                                                  "BinRead",
                                                  "NotFound",
                                                  "DuplicateId",
                                                  "DuplicateNamespacedId",
                                                  "InvalidMagic",
                                                  "UnsupportedVersion",
                                                  "InvalidNamespace",
                                                  "Corruption",
                                                  "DecompressionFailed",
                                                  "PathError",
                                                  "Other"};
    const std::string debug = error->debug();
    check(starts_with(debug, kNames[variant]));
    if (variant == 5 || variant == 7 || variant == 8 || variant == 11) {
        check(debug == std::string(kNames[variant]) + "(" + quoted + ")");
    } else if (variant == 2 || variant == 3 || variant == 6 || variant == 9) {
        check(debug == std::string(kNames[variant]) + "(" + std::to_string(number) + ")");
    }

    // A failed access to a result's value carries the error's message (as a
    // C string, so up to a NUL byte); a moved error keeps it.
    tarnwick_dat::Result<int, DatError> failed = tarnwick_dat::Err{std::move(*error)};
    try {
        (void)failed.value();
        std::abort();
    } catch (const tarnwick_dat::BadResultAccess& access) {
        check(std::string_view(access.what()) == message.substr(0, message.find('\0')));
    }
    DatError moved = DatError::other("");
    moved = std::move(failed.error());
    check(moved.display() == message);

    // The archive is found through the environment only where the value
    // names something that exists; the default place does not exist here.
    const std::string env = text.substr(0, text.find('\0'));
    const auto found = tarnwick_dat::find_portal_dat(env.c_str(), "/nonexistent/tarnwick/src");
    if (found) {
        std::error_code ignored;
        check(*found == std::filesystem::path(env) && std::filesystem::exists(env, ignored));
    }
    return 0;
}
