// Synthetic portal archives: many files of many types with deterministic
// contents, well-formed font records and a multi-level directory, for demos,
// end-to-end tests and benchmarks when no real archive is at hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/result.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace tarnwick_dat_writer {

/// Id of the first sample font; font k has id `kSampleFontIdBase + k`.
inline constexpr std::uint32_t kSampleFontIdBase = 0x40000000;
/// Most files a sample may hold; bounds the memory an in-memory sample
/// takes (about 2 KiB per file, twice over while the image is built).
inline constexpr std::size_t kMaxSampleFiles = 500'000;

/// What a sample archive holds.
struct SampleOptions {
    /// Number of files in all, fonts included.
    std::size_t files = 200;
    /// How many of them are font files (ids 0x40000000 + k).
    std::size_t fonts = 8;
    /// Seed of every pseudo-random choice: equal options give equal archives.
    std::uint64_t seed = 1;
    /// Entries per directory node, 1 to 61; 0 picks a size that gives a
    /// directory of several levels even for a few dozen files.
    std::size_t entries_per_node = 0;
};

/// A builder holding the sample described by `options`: a portal archive
/// (magic 0x5442, 1024-byte blocks, dataset 1) whose fonts are well-formed
/// (self-id equal to the file id, at least one glyph, non-zero cell sizes,
/// exactly 36 + 11 × glyphs bytes, some stored compressed) and whose other
/// files carry many portal type prefixes, sizes from 0 to 4096 bytes and
/// contents drawn from the seed, some stored compressed. Throws
/// std::invalid_argument when `fonts` exceeds `files`, `files` exceeds
/// `kMaxSampleFiles`, or `entries_per_node` exceeds 61.
ArchiveBuilder sample_archive(const SampleOptions& options);

/// The bytes of the sample archive; throws as `sample_archive`.
Bytes build_sample_archive(const SampleOptions& options);

/// Writes the sample archive to `path`, the same bytes as
/// `build_sample_archive`, streamed: memory holds one file and the entries
/// (24 bytes per file), never the image. Returns the OS error on failure and
/// throws as `sample_archive`.
tarnwick_dat::Result<void, tarnwick_dat::IoError> write_sample_archive(
    const std::filesystem::path& path, const SampleOptions& options);

/// A damaged archive in 5-byte blocks whose `entries` plain entries (ids
/// 0x06000000 + k) each start in a block of their own and then all run into
/// one tail of `tail_blocks` blocks scattered over the file (each entry holds
/// 1 + `tail_blocks` bytes): a pass that reads each entry's chain on its own
/// reads the tail once per entry. Throws std::invalid_argument for no
/// entries, more than 61 (one directory node) or no tail.
Bytes build_merged_tail_archive(std::uint32_t entries, std::uint32_t tail_blocks);

}  // namespace tarnwick_dat_writer
