#include "content_hash.hpp"

#include <openssl/evp.h>
#include <xxhash.h>

#include <new>
#include <stdexcept>

#include "file_reader.hpp"
#include "internal/file_hash.hpp"

namespace tarnwick_dat {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::string_view hash_algorithm_name(HashAlgorithm algorithm) {
    return algorithm == HashAlgorithm::Sha256 ? "sha256" : "xxh3";
}

std::optional<HashAlgorithm> hash_algorithm_from_name(std::string_view name) {
    if (name == "xxh3") {
        return HashAlgorithm::Xxh3;
    }
    if (name == "sha256") {
        return HashAlgorithm::Sha256;
    }
    return std::nullopt;
}

std::size_t digest_length(HashAlgorithm algorithm) {
    return algorithm == HashAlgorithm::Sha256 ? 32 : 16;
}

std::string ContentHash::text() const {
    std::string text(hash_algorithm_name(algorithm));
    text += ':';
    for (const std::uint8_t byte : bytes()) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 15];
    }
    return text;
}

std::optional<ContentHash> ContentHash::parse(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto algorithm = hash_algorithm_from_name(text.substr(0, colon));
    if (!algorithm) {
        return std::nullopt;
    }
    const std::string_view hex = text.substr(colon + 1);
    if (hex.size() != 2 * digest_length(*algorithm)) {
        return std::nullopt;
    }
    ContentHash hash;
    hash.algorithm = *algorithm;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_value(hex[i]);
        const int low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        hash.digest[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return hash;
}

// One of the two states, made once per hasher and reset between files.
struct ContentHasher::State {
    XXH3_state_t* xxh3 = nullptr;
    EVP_MD_CTX* sha = nullptr;

    ~State() {
        XXH3_freeState(xxh3);
        EVP_MD_CTX_free(sha);
    }
};

ContentHasher::ContentHasher(HashAlgorithm algorithm)
    : algorithm_(algorithm), state_(std::make_unique<State>()) {
    if (algorithm_ == HashAlgorithm::Xxh3) {
        state_->xxh3 = XXH3_createState();
        if (state_->xxh3 == nullptr) {
            throw std::bad_alloc();
        }
    } else {
        state_->sha = EVP_MD_CTX_new();
        if (state_->sha == nullptr) {
            throw std::bad_alloc();
        }
    }
    reset();
}

ContentHasher::~ContentHasher() = default;
ContentHasher::ContentHasher(ContentHasher&&) noexcept = default;
ContentHasher& ContentHasher::operator=(ContentHasher&&) noexcept = default;

void ContentHasher::reset() {
    if (algorithm_ == HashAlgorithm::Xxh3) {
        XXH3_128bits_reset(state_->xxh3);
    } else if (EVP_DigestInit_ex(state_->sha, EVP_sha256(), nullptr) != 1) {
        // Only a libcrypto without SHA-256 (a broken installation) fails here.
        throw std::runtime_error("libcrypto cannot start a SHA-256 digest");
    }
}

void ContentHasher::update(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    if (algorithm_ == HashAlgorithm::Xxh3) {
        XXH3_128bits_update(state_->xxh3, bytes.data(), bytes.size());
    } else {
        EVP_DigestUpdate(state_->sha, bytes.data(), bytes.size());
    }
}

ContentHash ContentHasher::finish() {
    ContentHash hash;
    hash.algorithm = algorithm_;
    if (algorithm_ == HashAlgorithm::Xxh3) {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_->xxh3));
        static_assert(sizeof canonical.digest == 16);
        std::copy(std::begin(canonical.digest), std::end(canonical.digest), hash.digest.begin());
    } else {
        unsigned int length = 0;
        EVP_DigestFinal_ex(state_->sha, hash.digest.data(), &length);
    }
    reset();
    return hash;
}

ContentHash hash_bytes(HashAlgorithm algorithm, std::span<const std::uint8_t> bytes) {
    ContentHasher hasher(algorithm);
    hasher.update(bytes);
    return hasher.finish();
}

}  // namespace tarnwick_dat

namespace tarnwick_dat {

namespace {

// The pieces a large file is hashed in.
constexpr std::size_t kFilePiece = 256 * 1024;

}  // namespace

Result<FileContent, DatError> hash_file(const DatDatabase& db, const DatFileEntry& entry,
                                        Bytes& buffer, ContentHasher& hasher) {
    // No LRS stream yields more than 9 bytes per stored byte.
    const std::uint64_t most = std::uint64_t{entry.size} * (entry.is_compressed() ? 9 : 1);
    FileContent content;
    if (most <= kHashedWholeUpTo) {
        auto read = db.read_file_into(entry.id, buffer, FetchOptions{.strict = true});
        if (!read) {
            return Err{std::move(read).error()};
        }
        hasher.update(buffer);
        content.hash = hasher.finish();
        content.size = buffer.size();
        return content;
    }
    auto reader = db.open_file(entry.id);
    if (!reader) {
        return Err{std::move(reader).error()};
    }
    buffer.resize(kFilePiece);
    for (;;) {
        auto got = reader->read(buffer);
        if (!got) {
            hasher.reset();
            buffer.clear();
            return Err{std::move(got).error()};
        }
        if (*got == 0) {
            break;
        }
        hasher.update(std::span<const std::uint8_t>(buffer).first(*got));
        content.size += *got;
    }
    buffer.clear();
    content.hash = hasher.finish();
    return content;
}

}  // namespace tarnwick_dat
