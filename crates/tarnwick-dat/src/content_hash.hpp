// Content hashes of files' decoded bytes, for listings that record what an
// archive held (manifests) and for comparing archive versions: XXH3-128 by
// default, SHA-256 for checksums meant to be published.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick_dat {

/// A content hash function.
enum class HashAlgorithm : std::uint8_t {
    /// XXH3 with a 128-bit result (xxHash): fast, not for security.
    Xxh3,
    /// SHA-256 (OpenSSL's libcrypto).
    Sha256,
};

/// The name of `algorithm` as hashes carry it: "xxh3" or "sha256".
std::string_view hash_algorithm_name(HashAlgorithm algorithm);
/// The algorithm of that name ("xxh3", "sha256", exact case), or none.
std::optional<HashAlgorithm> hash_algorithm_from_name(std::string_view name);
/// The length of the algorithm's digest in bytes: 16 or 32.
std::size_t digest_length(HashAlgorithm algorithm);

/// One content hash: the algorithm and its digest.
struct ContentHash {
    HashAlgorithm algorithm = HashAlgorithm::Xxh3;
    /// The digest in its canonical byte order (as xxh128sum and sha256sum
    /// print it), in the first `digest_length(algorithm)` bytes; the rest 0.
    std::array<std::uint8_t, 32> digest{};

    /// The digest's bytes.
    std::span<const std::uint8_t> bytes() const {
        return {digest.data(), digest_length(algorithm)};
    }
    /// "xxh3:" or "sha256:" and the digest in lower-case hexadecimal.
    std::string text() const;
    /// The hash `text()` wrote, or none for anything else (an unknown
    /// algorithm, a wrong length, a character that is no lower-case
    /// hexadecimal digit).
    static std::optional<ContentHash> parse(std::string_view text);

    friend bool operator==(const ContentHash&, const ContentHash&) = default;
};

/// Hashes bytes given in any number of pieces; the result is that of the
/// pieces' concatenation. Reusable after `finish` (and `reset`).
class ContentHasher {
  public:
    explicit ContentHasher(HashAlgorithm algorithm);
    ~ContentHasher();
    ContentHasher(ContentHasher&&) noexcept;
    ContentHasher& operator=(ContentHasher&&) noexcept;
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;

    HashAlgorithm algorithm() const noexcept { return algorithm_; }
    /// Starts over, as if nothing had been added.
    void reset();
    /// Adds the next piece.
    void update(std::span<const std::uint8_t> bytes);
    /// The hash of everything added since the last reset; starts over.
    ContentHash finish();

  private:
    struct State;
    HashAlgorithm algorithm_;
    std::unique_ptr<State> state_;
};

/// The hash of `bytes` in one call.
ContentHash hash_bytes(HashAlgorithm algorithm, std::span<const std::uint8_t> bytes);

}  // namespace tarnwick_dat
