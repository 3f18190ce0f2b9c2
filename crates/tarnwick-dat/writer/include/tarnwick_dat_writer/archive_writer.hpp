// Builds game archives in memory or on disk: well-formed ones through
// `ArchiveBuilder` (files in block chains, a multi-level directory), and
// damaged or unusual ones through `RawArchive` (hand-shaped nodes, raw
// blocks, loops, truncation). Misuse of the writer (a request that cannot be
// laid out) throws std::invalid_argument; the archives it writes may be
// damaged on purpose.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "tarnwick_dat/error.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat/record_reader.hpp"
#include "tarnwick_dat/result.hpp"

namespace tarnwick_dat_writer {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatFileEntry;

/// Every header field, as written at offset 0x140: the fields of
/// `DatHeader`, written in its description's order, with a `file_size` of
/// its own. The defaults describe a portal archive with 1024-byte blocks and
/// a version string of 16 zero bytes (written as it is; `build` throws
/// std::invalid_argument unless it holds 16 bytes).
struct HeaderFields : tarnwick_dat::DatHeader {
    HeaderFields();

    /// Written as is when set; otherwise the length of the built archive
    /// (before any truncation). It stands for `DatHeader::file_size`.
    std::optional<std::uint32_t> file_size;
};

/// How a chain's blocks lie in the file.
enum class BlockPlacement : std::uint8_t {
    /// One block after the other, links pointing forward.
    Contiguous,
    /// Blocks in reverse order with a filler block between any two, so that
    /// a reader which does not follow the links reads the wrong bytes.
    Scattered,
};

/// How one block chain is laid out.
struct ChainOptions {
    BlockPlacement placement = BlockPlacement::Contiguous;
    /// When set, the chain uses at most this many blocks (at least 1): the
    /// last one holds everything left, possibly more than `block_size` - 4
    /// bytes, as readers take all missing bytes from a chain's last block.
    std::optional<std::uint32_t> max_blocks;
    /// Link written into the last block; non-zero makes the chain go on past
    /// the data it holds. The last block must then hold at most
    /// `block_size` - 4 bytes, or readers would take less from it.
    std::uint32_t last_link = 0;
};

/// A chain of blocks in reverse order with fillers between them.
inline ChainOptions scattered() {
    return {BlockPlacement::Scattered, std::nullopt, 0};
}
/// A contiguous chain of at most `blocks` blocks, the last one over-long.
inline ChainOptions at_most_blocks(std::uint32_t blocks) {
    return {BlockPlacement::Contiguous, blocks, 0};
}
/// A contiguous chain whose last block links on to `link`.
inline ChainOptions linked_past_data(std::uint32_t link) {
    return {BlockPlacement::Contiguous, std::nullopt, link};
}

/// A directory node as it lies on disk (1716 bytes).
struct NodeSpec {
    /// Child node offsets; 0 = no child.
    std::array<std::uint32_t, tarnwick_dat::kBranchSlots> branches{};
    /// At most 61 entries, written back to back after the count.
    std::vector<DatFileEntry> entries;
    /// The entry count written; `entries.size()` when unset. A count above
    /// the entries given describes entries that are not there.
    std::optional<std::uint32_t> count;
};

/// The 1716 bytes of a node. Throws std::invalid_argument for more than 61
/// entries (they do not fit).
Bytes encode_node(const NodeSpec& node);

/// The 24 bytes of a file entry.
std::array<std::uint8_t, tarnwick_dat::kFileEntrySize> encode_entry(const DatFileEntry& entry);

/// An archive image under construction: the header and whatever blocks are
/// placed after it. New blocks go at the end of the image, aligned to the
/// layout's block size.
class RawArchive {
  public:
    /// An image with the header area only; chains are laid out in blocks of
    /// `block_size` bytes, which also goes into `header.block_size`. Throws
    /// std::invalid_argument for a block size of 4 or less (no payload fits);
    /// such a header is still writable by setting `header.block_size`.
    explicit RawArchive(std::uint32_t block_size = 1024);

    /// The header written at 0x140 when the archive is built.
    HeaderFields header;

    /// Block size used to lay out chains (the header may say otherwise).
    std::uint32_t layout_block_size() const { return block_size_; }
    /// Current length of the image.
    std::uint64_t size() const { return image_.size(); }

    /// Places `bytes` at the end of the image, starting on a block boundary
    /// (the region is padded to whole blocks); returns its offset.
    std::uint32_t append_blocks(std::span<const std::uint8_t> bytes);
    /// Writes `bytes` at an absolute offset, growing the image as needed.
    void write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    /// Writes a little-endian u32 at an absolute offset.
    void write_u32_at(std::uint64_t offset, std::uint32_t value);

    /// Stores `data` in a new block chain; returns its first block's offset.
    /// Empty data still gets one block (link `last_link`). Throws
    /// std::invalid_argument when `max_blocks` is 0, or when an over-long
    /// last block is asked to carry a non-zero link.
    std::uint32_t write_chain(std::span<const std::uint8_t> data, const ChainOptions& options = {});
    /// Stores a node in a new chain; returns its offset.
    std::uint32_t write_node(const NodeSpec& node, const ChainOptions& options = {});

    /// Overwrites bytes at `position` of the data held by the chain that
    /// starts at `first_block`, following its links as a reader would.
    /// Throws std::invalid_argument when the chain does not reach that far
    /// inside the image.
    void patch_chain(std::uint32_t first_block, std::uint64_t position,
                     std::span<const std::uint8_t> bytes);
    /// Sets child slot `slot` of the node stored at `node` (for loops and
    /// shared nodes, whose offsets are known only once written).
    void set_branch(std::uint32_t node, std::size_t slot, std::uint32_t child);

    /// Cuts the built file to `length` bytes (a no-op when it is shorter).
    void truncate(std::uint64_t length) { truncate_to_ = length; }

    /// The archive file's bytes.
    Bytes build() const;
    /// Writes the archive file to `path`; returns the OS error on failure.
    tarnwick_dat::Result<void, tarnwick_dat::IoError> write(
        const std::filesystem::path& path) const;

  private:
    std::uint64_t allocate(std::uint64_t length);

    std::uint32_t block_size_;
    Bytes image_;
    std::optional<std::uint64_t> truncate_to_;
};

/// How one file is stored by `ArchiveBuilder::add_file`.
struct FileOptions {
    /// Store the bytes LRS-compressed and set bit 0 of `bit_flags`.
    bool compress = false;
    /// Further `bit_flags` bits, kept as given.
    std::uint32_t extra_flags = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t version = 0;
    ChainOptions chain;
};

/// A file stored LRS-compressed.
inline FileOptions compressed() {
    return {true, 0, 0, 0, {}};
}
/// A file stored plainly in a chain laid out as `chain` says.
inline FileOptions stored_in(const ChainOptions& chain) {
    return {false, 0, 0, 0, chain};
}
/// A file stored plainly with further `bit_flags` bits.
inline FileOptions with_flags(std::uint32_t flags) {
    return {false, flags, 0, 0, {}};
}

/// How `ArchiveBuilder` lays out the directory.
struct DirectoryOptions {
    /// Entries per node, 2 to 61; smaller values make deeper trees from few
    /// files. (With 1 per node some children would have to stay empty.)
    std::size_t max_entries_per_node = tarnwick_dat::kMaxNodeEntries;
    /// Layout of every node's chain.
    ChainOptions node_chain;
};

/// What `ArchiveBuilder::layout` produced.
struct Layout {
    RawArchive archive;
    /// The directory's entries, ascending by id.
    std::vector<DatFileEntry> entries;
    /// First block of every node, in the order a pre-order walk visits them.
    std::vector<std::uint32_t> node_offsets;
};

/// Builds a well-formed archive: files in block chains and a directory laid
/// out as a B-tree over the entries sorted by id (inner nodes with n entries
/// have n + 1 children). With no entries the root offset is 0.
class ArchiveBuilder {
  public:
    /// An empty archive with blocks of `block_size` bytes (more than 4).
    explicit ArchiveBuilder(std::uint32_t block_size = 1024);

    /// Header fields; `root_offset` is replaced by the directory's root.
    HeaderFields& header() { return header_; }
    /// Adds a file; adding an id again replaces the earlier file.
    ArchiveBuilder& add_file(std::uint32_t id, std::span<const std::uint8_t> bytes,
                             const FileOptions& options = {});
    /// Lists an entry as given, pointing wherever it says; replaces any file
    /// of the same id.
    ArchiveBuilder& add_entry(const DatFileEntry& entry);
    /// Sets how the directory is laid out. Throws std::invalid_argument for
    /// fewer than 2 or more than 61 entries per node.
    ArchiveBuilder& directory(const DirectoryOptions& options);

    /// Lays out the archive; the result can be shaped further before build.
    Layout layout() const;
    /// The archive file's bytes.
    Bytes build() const { return layout().archive.build(); }
    /// Writes the archive file to `path`.
    tarnwick_dat::Result<void, tarnwick_dat::IoError> write(
        const std::filesystem::path& path) const {
        return layout().archive.write(path);
    }

  private:
    struct PendingFile {
        std::uint32_t id;
        Bytes bytes;
        FileOptions options;
        std::optional<DatFileEntry> raw_entry;
    };

    std::uint32_t block_size_;
    HeaderFields header_;
    DirectoryOptions directory_;
    // Keyed by id; payloads are laid out in the order files were added.
    std::map<std::uint32_t, std::size_t> by_id_;
    std::vector<PendingFile> files_;
};

/// Writes a well-formed archive straight to a file while files are added,
/// keeping only their 24-byte entries in memory: the same bytes that
/// `ArchiveBuilder` builds from the same calls, for archives too large to
/// hold whole. Chains are contiguous only (std::invalid_argument otherwise).
/// The first write failure is kept and returned by `finish`.
class ArchiveStream {
  public:
    /// Creates or truncates the file at `path` for an archive with blocks of
    /// `block_size` bytes (more than 4).
    explicit ArchiveStream(const std::filesystem::path& path, std::uint32_t block_size = 1024);
    ~ArchiveStream();
    ArchiveStream(const ArchiveStream&) = delete;
    ArchiveStream& operator=(const ArchiveStream&) = delete;

    /// Header fields; `root_offset` is replaced by the directory's root.
    HeaderFields& header() { return header_; }
    /// As `ArchiveBuilder::directory`.
    ArchiveStream& directory(const DirectoryOptions& options);
    /// Writes the file's chain now; adding an id again replaces the earlier
    /// entry (its blocks stay in the file, as with `ArchiveBuilder`).
    ArchiveStream& add_file(std::uint32_t id, std::span<const std::uint8_t> bytes,
                            const FileOptions& options = {});
    /// Writes the directory and the header and closes the file; returns the
    /// first OS error met since the file was opened.
    tarnwick_dat::Result<void, tarnwick_dat::IoError> finish();

    /// Stores `data` in a new contiguous chain; returns its first block.
    std::uint32_t write_chain(std::span<const std::uint8_t> data, const ChainOptions& options = {});
    /// Stores a node in a new chain; returns its offset.
    std::uint32_t write_node(const NodeSpec& node, const ChainOptions& options = {});

  private:
    std::uint32_t block_size_;
    HeaderFields header_;
    DirectoryOptions directory_;
    int fd_ = -1;
    int error_ = 0;
    std::uint64_t size_;
    std::vector<DatFileEntry> entries_;
    Bytes chain_;
};

/// An archive written to a new file in the system's temporary directory,
/// removed again when this object is destroyed. Throws std::runtime_error
/// when the file cannot be written.
class TempArchiveFile {
  public:
    explicit TempArchiveFile(std::span<const std::uint8_t> bytes);
    ~TempArchiveFile();
    TempArchiveFile(TempArchiveFile&& other) noexcept : path_(std::move(other.path_)) {
        other.path_.clear();
    }
    TempArchiveFile& operator=(TempArchiveFile&&) = delete;
    TempArchiveFile(const TempArchiveFile&) = delete;
    TempArchiveFile& operator=(const TempArchiveFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace tarnwick_dat_writer
