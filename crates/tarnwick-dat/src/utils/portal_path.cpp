#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

#include "../utils.hpp"

namespace tarnwick_dat {

namespace {

constexpr const char* kEnvironmentVariable = "TARNWICK_PORTAL_DAT";

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t min = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            min = 0x80;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            min = 0x800;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            min = 0x10000;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (extra > text.size() - i - 1) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// Follows symbolic links; any failure (missing, dangling, unsearchable)
// counts as absent, and any kind of file, directories included, as present.
bool path_exists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<std::filesystem::path> get_portal_dat_path() {
    return find_portal_dat(std::getenv(kEnvironmentVariable),
                           std::filesystem::path(TARNWICK_DAT_SOURCE_DIR));
}

std::optional<std::filesystem::path> find_portal_dat(const char* env_value,
                                                     const std::filesystem::path& source_dir) {
    if (env_value != nullptr && is_valid_utf8(env_value)) {
        std::filesystem::path candidate(env_value);
        if (path_exists(candidate)) {
            return candidate;
        }
    }
    // The ".." components stay as they are: the path is reported as built.
    std::filesystem::path fallback = source_dir / "../../" / "dats/portal.dat";
    if (path_exists(fallback)) {
        return fallback;
    }
    return std::nullopt;
}

}  // namespace tarnwick_dat
