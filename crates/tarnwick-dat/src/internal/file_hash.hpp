// The content hash of one stored file, fetched whole when it is small and
// read in pieces through the streaming reader when it is not, so that
// passes that hash many files (diff, manifests) hold no large file whole.
#pragma once

#include <cstdint>

#include "tarnwick_dat/content_hash.hpp"
#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat/result.hpp"

namespace tarnwick_dat {

// Files that may decode to more than this are hashed in pieces.
inline constexpr std::uint64_t kHashedWholeUpTo = std::uint64_t{1} << 20;

// The decoded length and hash of file `entry` of `db`, read strictly (it
// fails where and as `get_file` with `strict` fails). `buffer` is reused,
// and never grows past 1 MiB; `hasher` is left reset whatever the outcome.
struct FileContent {
    std::uint64_t size = 0;
    ContentHash hash;
};
Result<FileContent, DatError> hash_file(const DatDatabase& db, const DatFileEntry& entry,
                                        Bytes& buffer, ContentHasher& hasher);

}  // namespace tarnwick_dat
