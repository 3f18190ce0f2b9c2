// Manifests: what an archive held, file by file, kept as a JSON listing (the
// tool's `ls --json --hash`) so that a version can be compared after the
// archive itself is gone. A manifest is an array with one object per file:
//
//   [
//     {"id":"40000002","type":"Font","compressed":true,"size":75,"decoded_size":69,
//      "timestamp":1600000000,"time":"2020-09-13T12:26:40Z","version":3,"bit_flags":1,
//      "offset":1024,"hash":"xxh3:8d3f0c4b2a..."}
//   ]
//
// `hash` is the content hash of the file's decoded bytes (null when the file
// could not be read); `decoded_size` the size a compressed file declares (null
// when it cannot be read).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "content_hash.hpp"
#include "error.hpp"
#include "file_type/mod.hpp"
#include "lib.hpp"
#include "result.hpp"

namespace tarnwick_dat {

/// One file as a manifest records it; 36 bytes, so that a manifest of many
/// files stays small (its hash is kept apart, see `Manifest::hash`).
struct ManifestEntry {
    /// The directory entry as the archive listed it.
    DatFileEntry entry;
    /// The decoded size (meaningful when `has_decoded_size`); a compressed
    /// file declares it in 4 bytes, a stored one has its stored size.
    std::uint32_t decoded_size = 0;
    /// The file's type in its archive's kind.
    DatFileType type = DatFileType::Unknown;
    /// False when the size the file declares could not be read.
    bool has_decoded_size = false;

    /// The decoded size, or none.
    std::optional<std::uint64_t> decoded() const {
        return has_decoded_size ? std::optional<std::uint64_t>(decoded_size) : std::nullopt;
    }
};

/// Why a manifest could not be read.
struct ManifestError {
    /// The manifest's path (empty for text given in memory).
    std::filesystem::path path;
    /// The 1-based position of the file's object in the array, when the
    /// error concerns one (0 otherwise).
    std::uint64_t entry = 0;
    /// What is wrong, e.g. "key 'size' is missing" or the JSON parser's
    /// message with its line and column.
    std::string message;

    /// "PATH: entry 17: key 'size' is missing" (parts that are unset left out).
    std::string display() const;
};

/// The files of one archive version with their content hashes, in ascending
/// id order, one per id. Read-only once made.
class Manifest {
  public:
    Manifest() = default;

    /// Reads the manifest at `path`, streaming (memory follows the number of
    /// files, not the text's length: a first pass counts the files, so that
    /// exactly their room is taken). Accepts any JSON layout of the array;
    /// keys it does not know are ignored, `time` and `compressed` are not
    /// read back (they follow from `timestamp` and `bit_flags`). Fails on a
    /// file that cannot be read, on JSON that does not parse, on an object
    /// without one of the keys `id`, `type`, `size`, `timestamp`, `version`,
    /// `bit_flags`, `offset`, on a value of the wrong kind or range, on an
    /// unknown type name or malformed hash, on two objects with one id, on
    /// hashes of two algorithms, and on a listing with files but no hash at
    /// all (a plain `ls --json`).
    static Result<Manifest, ManifestError> read(const std::filesystem::path& path);
    /// The same from text in memory.
    static Result<Manifest, ManifestError> parse(std::string_view text);

    /// Number of files.
    std::size_t size() const noexcept { return entries_.size(); }
    /// The files in ascending id order.
    std::span<const ManifestEntry> entries() const noexcept { return entries_; }
    /// The index of file `id` in `entries()`, or none.
    std::optional<std::size_t> find(std::uint32_t id) const noexcept;
    /// The algorithm of every hash held; none when the manifest holds none.
    std::optional<HashAlgorithm> algorithm() const noexcept { return algorithm_; }
    /// The content hash of `entries()[index]`, or none when the file could
    /// not be read when the manifest was made.
    std::optional<ContentHash> hash(std::size_t index) const;

    /// The whole document as `ls --json --hash` writes it: "[", one object
    /// per line (`manifest_object`), "]".
    std::string text() const;

  private:
    friend class ManifestBuilder;

    std::vector<ManifestEntry> entries_;
    // digest_length(*algorithm_) bytes per entry; all zero with `hashed_`
    // false for an entry without hash.
    std::vector<std::uint8_t> digests_;
    std::vector<bool> hashed_;
    std::optional<HashAlgorithm> algorithm_;
};

/// A file whose size or bytes could not be read while a manifest was made.
struct ManifestFailure {
    std::uint32_t id = 0;
    DatError error;
};

/// What `make_manifest` lists and how.
struct ManifestOptions {
    /// The content hash to record.
    HashAlgorithm hash = HashAlgorithm::Xxh3;
    /// Only these file ids, which the archive lists (empty: every file).
    std::vector<std::uint32_t> ids;
    /// Worker threads hashing at once; 0: the hardware's concurrency.
    unsigned threads = 0;
    /// Called on the calling thread as files are done (done, total); may be
    /// empty.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

/// The manifest of `database`: every selected file's entry, type, declared
/// size and the hash of its bytes fetched strictly. A file that cannot be
/// read gets no hash (and no decoded size when that cannot be read either),
/// and its error goes to `failures`, in ascending id order, when given. One
/// fetch buffer per worker.
Manifest make_manifest(const DatDatabase& database, const ManifestOptions& options = {},
                       std::vector<ManifestFailure>* failures = nullptr);

/// One file's object as `ls --json` prints it, on one line, with a `hash` key
/// at the end when `hash` is given and `with_hash`:
/// {"id":"40000002","type":"Font","compressed":true,"size":75,...}.
std::string manifest_object(const ManifestEntry& entry, const std::optional<ContentHash>& hash,
                            bool with_hash);

/// True when `timestamp` reads as a Unix time an archive could carry: from
/// 1995-01-01 to a day after now.
bool plausible_timestamp(std::uint32_t timestamp);
/// The timestamp as ISO 8601 UTC ("2020-09-13T12:26:40Z") when plausible,
/// else none.
std::optional<std::string> timestamp_text(std::uint32_t timestamp);

}  // namespace tarnwick_dat
