// An opened game archive: its header, its directory of file entries, and the
// block chains through which stored files and directory nodes are read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "file_type/mod.hpp"
#include "record_reader.hpp"
#include "result.hpp"
#include "utils.hpp"

namespace tarnwick_dat {

/// File offset of the archive header; the bytes before it are not read.
inline constexpr std::uint64_t kHeaderOffset = 0x140;
/// Length of the archive header on disk.
inline constexpr std::size_t kHeaderSize = 80;
/// Length of one file entry on disk.
inline constexpr std::size_t kFileEntrySize = 24;
/// Length of a directory node's content, gathered along its block chain.
inline constexpr std::uint32_t kNodeSize = 1716;
/// Child slots at the start of every directory node.
inline constexpr std::size_t kBranchSlots = 62;
/// File entries that fit in one directory node.
inline constexpr std::size_t kMaxNodeEntries = 61;
/// Length of the link that starts every block.
inline constexpr std::uint32_t kBlockLinkSize = 4;

/// One stored file as the directory lists it (24 bytes on disk).
struct DatFileEntry {
    std::uint32_t bit_flags = 0;  ///< bit 0: the stored bytes are LRS-compressed
    std::uint32_t id = 0;         ///< the file id, key of `DatDatabase::files`
    std::uint32_t offset = 0;     ///< first block of the file's chain
    std::uint32_t size = 0;       ///< stored bytes (compressed length if compressed)
    std::uint32_t timestamp = 0;  ///< kept, not interpreted
    std::uint32_t version = 0;    ///< kept, not interpreted

    /// True when bit 0 of `bit_flags` is set.
    bool is_compressed() const { return (bit_flags & 1) != 0; }

    /// Reads the six fields in order. On failure the error carries the frame
    /// of the failing field and `reader` is back at the start of the record.
    static Result<DatFileEntry, RecordReadError> read(ByteReader& reader);

    friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

/// The archive header, 80 bytes at offset 0x140. Nothing in it is checked
/// while it is read.
struct DatHeader {
    std::uint32_t magic = 0;           ///< 0x5442 in a recognised archive
    std::uint32_t block_size = 0;      ///< bytes per block, link included
    std::uint32_t file_size = 0;       ///< kept, not interpreted
    std::uint32_t dataset = 0;         ///< 1 portal, 2 cell
    std::uint32_t subset = 0;          ///< kept, not interpreted
    std::uint32_t free_head = 0;       ///< kept, not interpreted
    std::uint32_t free_tail = 0;       ///< kept, not interpreted
    std::uint32_t free_count = 0;      ///< kept, not interpreted
    std::uint32_t root_offset = 0;     ///< first block of the root node; 0: no directory
    std::uint32_t new_lru = 0;         ///< kept, not interpreted
    std::uint32_t old_lru = 0;         ///< kept, not interpreted
    std::uint32_t use_lru = 0;         ///< kept, not interpreted
    std::uint32_t master_map_id = 0;   ///< kept, not interpreted
    std::uint32_t engine_version = 0;  ///< kept, not interpreted
    std::uint32_t game_version = 0;    ///< kept, not interpreted
    // Raw bytes, never decoded as text; exactly 16 once read.
    std::vector<std::uint8_t> version_string;
    std::uint32_t version_minor = 0;  ///< kept, not interpreted

    /// Reads the seventeen fields in order. On failure the error carries the
    /// frame of the failing field and `reader` is back at the header start.
    static Result<DatHeader, RecordReadError> read(ByteReader& reader);

    /// The archive kind: `Unknown` unless `magic` is 0x5442; then `Cell` for
    /// 256-byte blocks of dataset 2, `Portal` for 1024-byte blocks of dataset
    /// 1, `Local` for anything else.
    DatKind dat_kind() const;

    friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

/// Where each `DatHeader` field is declared, in file order; the sites give
/// the context frames of a failed header read.
std::span<const FieldSite> dat_header_field_sites();

/// Where each `DatFileEntry` field is declared, in file order.
std::span<const FieldSite> dat_file_entry_field_sites();

/// An opened archive. It exists only fully opened: its `files` map holds
/// every entry reachable from the root node. After opening it is only read,
/// with positional reads, so several threads may fetch files at once.
class DatDatabase {
  public:
    /// Opens the archive at `path`, reads its header and walks its whole
    /// directory. Fails with `PathError` when the file cannot be opened,
    /// `Io` when the header position cannot be reached, `BinRead` when the
    /// header is incomplete, `Corruption` for a block size of 4 or less, and
    /// with the walk's error (`read_directory`) otherwise.
    static Result<DatDatabase, DatError> open(const std::filesystem::path& path);

    DatDatabase(DatDatabase&&) noexcept = default;
    DatDatabase& operator=(DatDatabase&&) noexcept = default;
    DatDatabase(const DatDatabase&) = delete;
    DatDatabase& operator=(const DatDatabase&) = delete;

    /// The header read at opening.
    DatHeader header;
    /// Every directory entry, by file id; filled while opening.
    std::unordered_map<std::uint32_t, DatFileEntry> files;

    /// The kind of the archive, from its header.
    DatKind dat_kind() const { return header.dat_kind(); }

    /// Gathers `length` bytes along the block chain that starts at `offset`.
    /// A length of 0 reads nothing. Fails with `Io` ("failed to fill whole
    /// buffer") when a block lies beyond the end of the file, without
    /// allocating anything when `length` exceeds the file's size.
    Result<Bytes, DatError> read_file_data(std::uint32_t offset, std::uint32_t length) const;

    /// Walks the directory from the header's `root_offset` into `files`.
    Result<void, DatError> read_directory();

    /// Walks the subtree whose root node starts at `offset` (0: nothing),
    /// depth first and pre-order, adding every entry to `files` (a later
    /// entry replaces an earlier one with the same id). Fails with the error
    /// of a node's chain read (`Io`), a node's entries (`BinRead`), or
    /// `Corruption` when one node is reached twice (a loop or a shared node)
    /// or the walk reaches more nodes than the file's size allows (one per
    /// 1716 bytes). Uses an explicit stack, so the tree's depth costs no call
    /// stack. Entries read before a failure stay in `files`.
    Result<void, DatError> read_node(std::uint32_t offset);

    /// The bytes of the file `id`: its stored bytes, decoded when the entry is
    /// compressed. Fails with `NotFound` (nothing read) or the chain's `Io`.
    Result<Bytes, DatError> get_file(std::uint32_t id) const;

    /// The file's length as it was when the archive was opened.
    std::uint64_t archive_length() const { return archive_length_; }

  private:
    // The walk behind `read_node`: appends every entry it reads to `found`.
    Result<void, DatError> walk(std::uint32_t offset, std::vector<DatFileEntry>& found) const;

    DatDatabase(DatHeader header_value, ReadOnlyFile file, std::uint64_t archive_length)
        : header(std::move(header_value)),
          file_(std::move(file)),
          archive_length_(archive_length) {}

    ReadOnlyFile file_;
    std::uint64_t archive_length_ = 0;
};

}  // namespace tarnwick_dat
