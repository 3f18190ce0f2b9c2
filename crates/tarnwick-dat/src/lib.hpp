// An opened game archive: its header, its directory and the chains of its blocks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <type_traits>
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
inline constexpr std::size_t kArchiveHeaderSize = 80;
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
    TARNWICK_DAT_FIELD(std::uint32_t, bit_flags) = 0;  ///< bit 0: stored LRS-compressed
    TARNWICK_DAT_FIELD(std::uint32_t, id) = 0;         ///< the file id, key of `DatDatabase::files`
    TARNWICK_DAT_FIELD(std::uint32_t, offset) = 0;     ///< first block of the file's chain
    TARNWICK_DAT_FIELD(std::uint32_t, size) = 0;       ///< stored bytes (compressed ones)
    TARNWICK_DAT_FIELD(std::uint32_t, timestamp) = 0;  ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, version) = 0;    ///< kept, not interpreted

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
    TARNWICK_DAT_FIELD(std::uint32_t, magic) = 0;           ///< 0x5442 in a recognised archive
    TARNWICK_DAT_FIELD(std::uint32_t, block_size) = 0;      ///< bytes per block, link included
    TARNWICK_DAT_FIELD(std::uint32_t, file_size) = 0;       ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, dataset) = 0;         ///< 1 portal, 2 cell
    TARNWICK_DAT_FIELD(std::uint32_t, subset) = 0;          ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, free_head) = 0;       ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, free_tail) = 0;       ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, free_count) = 0;      ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, root_offset) = 0;     ///< root node's first block; 0: none
    TARNWICK_DAT_FIELD(std::uint32_t, new_lru) = 0;         ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, old_lru) = 0;         ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, use_lru) = 0;         ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, master_map_id) = 0;   ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, engine_version) = 0;  ///< kept, not interpreted
    TARNWICK_DAT_FIELD(std::uint32_t, game_version) = 0;    ///< kept, not interpreted
    // Raw bytes, never decoded as text; exactly 16 once read.
    TARNWICK_DAT_FIELD(std::vector<std::uint8_t>, version_string);
    TARNWICK_DAT_FIELD(std::uint32_t, version_minor) = 0;  ///< kept, not interpreted

    /// Reads the seventeen fields in order. On failure the error carries the
    /// frame of the failing field and `reader` is back at the header start.
    static Result<DatHeader, RecordReadError> read(ByteReader& reader);

    /// The archive kind: `Unknown` unless `magic` is 0x5442; then `Cell` for
    /// 256-byte blocks of dataset 2, `Portal` for 1024-byte blocks of dataset
    /// 1, `Local` for anything else.
    DatKind dat_kind() const;

    friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

/// The description of `DatFileEntry`: calls `visit(site, field)` for each
/// field of `entry` (const or not) in on-disk order, with the site of its
/// declaration. Reading and printing an entry walk it.
template <typename Entry, typename Visit>
requires std::is_same_v<std::remove_const_t<Entry>, DatFileEntry>
void for_each_field(Entry& entry, Visit&& visit) {
    constexpr RecordSites site{"DatFileEntry", "crates/tarnwick-dat/src/lib.hpp"};
    visit(site(DatFileEntry::bit_flags_field), entry.bit_flags);
    visit(site(DatFileEntry::id_field), entry.id);
    visit(site(DatFileEntry::offset_field), entry.offset);
    visit(site(DatFileEntry::size_field), entry.size);
    visit(site(DatFileEntry::timestamp_field), entry.timestamp);
    visit(site(DatFileEntry::version_field), entry.version);
}

/// The description of `DatHeader`, as `for_each_field` of an entry; every
/// field is a `std::uint32_t` but `version_string` (16 bytes).
template <typename Header, typename Visit>
requires std::is_same_v<std::remove_const_t<Header>, DatHeader>
void for_each_field(Header& header, Visit&& visit) {
    constexpr RecordSites site{"DatHeader", "crates/tarnwick-dat/src/lib.hpp"};
    visit(site(DatHeader::magic_field), header.magic);
    visit(site(DatHeader::block_size_field), header.block_size);
    visit(site(DatHeader::file_size_field), header.file_size);
    visit(site(DatHeader::dataset_field), header.dataset);
    visit(site(DatHeader::subset_field), header.subset);
    visit(site(DatHeader::free_head_field), header.free_head);
    visit(site(DatHeader::free_tail_field), header.free_tail);
    visit(site(DatHeader::free_count_field), header.free_count);
    visit(site(DatHeader::root_offset_field), header.root_offset);
    visit(site(DatHeader::new_lru_field), header.new_lru);
    visit(site(DatHeader::old_lru_field), header.old_lru);
    visit(site(DatHeader::use_lru_field), header.use_lru);
    visit(site(DatHeader::master_map_id_field), header.master_map_id);
    visit(site(DatHeader::engine_version_field), header.engine_version);
    visit(site(DatHeader::game_version_field), header.game_version);
    visit(site(DatHeader::version_string_field), header.version_string);
    visit(site(DatHeader::version_minor_field), header.version_minor);
}

/// The former name of `kArchiveHeaderSize`.
inline constexpr std::size_t kHeaderSize = kArchiveHeaderSize;

namespace detail {
// The memory a `FileTable`'s entries live in; the library's own.
struct FileTableStorage;
}  // namespace detail

/// The directory of an opened archive: one entry per file id, in ascending
/// id order, in one flat array. Read-only once built.
class FileTable {
  public:
    using value_type = DatFileEntry;
    using const_iterator = const DatFileEntry*;
    using iterator = const_iterator;

    /// An empty table.
    FileTable() noexcept;
    /// Takes over entries the library gathered, already one per id and
    /// ascending.
    explicit FileTable(std::unique_ptr<detail::FileTableStorage> storage) noexcept;
    FileTable(FileTable&& other) noexcept;
    FileTable& operator=(FileTable&& other) noexcept;
    FileTable(const FileTable&) = delete;
    FileTable& operator=(const FileTable&) = delete;
    ~FileTable();

    /// Number of entries.
    std::size_t size() const noexcept { return entries_.size(); }
    /// True when the archive lists no file.
    bool empty() const noexcept { return entries_.empty(); }
    /// The entries in ascending id order.
    const_iterator begin() const noexcept { return entries_.data(); }
    const_iterator end() const noexcept { return entries_.data() + entries_.size(); }
    /// The entries as one span, in ascending id order.
    std::span<const DatFileEntry> entries() const noexcept { return entries_; }
    /// Bytes of memory the table holds.
    std::size_t memory_bytes() const noexcept;
    /// The entry of `id`, or null when the archive lists no such file.
    const DatFileEntry* find(std::uint32_t id) const noexcept;
    /// True when the archive lists a file `id`.
    bool contains(std::uint32_t id) const noexcept { return find(id) != nullptr; }

  private:
    std::unique_ptr<detail::FileTableStorage> storage_;
    std::span<const DatFileEntry> entries_;
};

struct ReadCounts;
class SharedBlocks;

/// How `get_file` treats a compressed entry's stream.
struct FetchOptions {
    /// Fail with `DecompressionFailed` unless the stream yields exactly the
    /// size it declares (a compressed entry of fewer than 4 stored bytes has
    /// no size and fails too). Off: damaged streams give the bytes decoded so
    /// far, as the archive format's own reader does.
    bool strict = false;
    /// The blocks shared by the fetches of a pass over many files: chains
    /// that merge into blocks read before copy them instead of reading them
    /// again. The bytes are the same with or without.
    SharedBlocks* shared = nullptr;
    /// When given, the fetch adds the reads it made and the stored bytes it
    /// gathered (a chain's blocks are noted while it is read, for counting).
    ReadCounts* counts = nullptr;
};

/// What one block-chain read met, for callers that check an archive's
/// structure rather than only its data.
struct ChainTrace {
    /// Every block read, in chain order, each once.
    std::vector<std::uint32_t> blocks;
    /// The chain came back to a block it had already read; the rest of the
    /// length was filled by repeating what the loop holds.
    bool looped = false;
    /// Bytes the chain's last block (link 0) supplied beyond one block's
    /// payload: the chain is shorter than the length asked for.
    std::uint64_t tail_overrun = 0;
    /// Positional reads made.
    std::size_t reads = 0;
};

/// The signature of a portal archive, read at `kHeaderOffset`.
inline constexpr std::uint32_t kArchiveMagic = 0x5442;

/// What an archive file's length and first header fields say, read without
/// walking anything: enough to tell a file that is no archive at all, or an
/// archive cut short, from damage further in.
struct ArchiveFileFacts {
    /// The file's length in bytes.
    std::uint64_t file_bytes = 0;
    /// The signature, when the file reaches it.
    std::optional<std::uint32_t> magic;
    /// The header's `file_size`, when the file reaches it.
    std::optional<std::uint32_t> declared_bytes;

    /// Not a portal archive: too short to hold a signature, or another one.
    bool foreign() const { return !magic || *magic != kArchiveMagic; }
    /// A portal archive shorter than its header, or than its header says.
    bool truncated() const;

    /// The plain error these facts amount to: `InvalidMagic` ("portal
    /// archive") when `foreign()`, `Corruption` ("truncated: the file is N
    /// bytes, its header says M") when `truncated()`, else nothing.
    std::optional<DatError> problem() const;
};

/// Reads the length and the leading header fields of the file at `path`.
/// Fails with `PathError` when it cannot be opened, `Io` when it cannot be
/// read.
Result<ArchiveFileFacts, DatError> read_archive_file_facts(const std::filesystem::path& path);

class FileReader;

namespace detail {
struct DatabaseAccess;
}  // namespace detail

/// An opened archive. It exists only fully opened, and nothing outside the
/// library can change it: its directory is read while opening and only read
/// afterwards, with positional reads, so several threads may fetch at once.
class DatDatabase {
  public:
    /// Opens the archive at `path`, reads its header and walks its whole
    /// directory, depth first and pre-order (a later entry replaces an
    /// earlier one with the same id). Fails with `PathError` when the file
    /// cannot be opened, `Io` when the header position cannot be reached,
    /// `BinRead` when the header or a node's entries are incomplete,
    /// `Corruption` for a block size of 4 or less, a node reached twice (a
    /// loop or a shared node) or more nodes than the file's size can hold,
    /// and `Io` when a node's chain cannot be read.
    static Result<DatDatabase, DatError> open(const std::filesystem::path& path);

    /// A moved-from database may only be assigned to or destroyed.
    DatDatabase(DatDatabase&& other) noexcept;
    DatDatabase& operator=(DatDatabase&& other) noexcept;
    DatDatabase(const DatDatabase&) = delete;
    DatDatabase& operator=(const DatDatabase&) = delete;
    ~DatDatabase();

    /// The header read at opening.
    const DatHeader& header() const noexcept;
    /// Every directory entry, one per id, in ascending id order.
    const FileTable& files() const noexcept;
    /// The kind of the archive, from its header.
    DatKind dat_kind() const { return header().dat_kind(); }
    /// The type of file `id` in this archive's kind (for any id, listed or not).
    DatFileType file_type(std::uint32_t id) const;

    /// The bytes of the file `id`: its stored bytes, decoded when the entry is
    /// compressed. Fails with `NotFound` (nothing read), the chain's `Io`, or,
    /// with `options.strict`, `Corruption` naming the file for a chain that
    /// comes back to a block it has already read and `DecompressionFailed`
    /// for a damaged stream. Holds the whole file in memory; `open_file`
    /// reads it in pieces instead.
    Result<Bytes, DatError> get_file(std::uint32_t id, FetchOptions options = {}) const;

    /// `get_file` into `out`, which is resized to the file's length; its
    /// capacity is reused, so a program reading many files can keep one
    /// buffer. On failure `out` is left empty.
    Result<void, DatError> read_file_into(std::uint32_t id, Bytes& out,
                                          FetchOptions options = {}) const;

    /// A reader of file `id`'s bytes, decoded when compressed, in pieces and
    /// in bounded memory (a few blocks and the decoder's window), failing
    /// exactly where and as `get_file` with `strict` does. Fails with
    /// `NotFound`, or with the chain's error when the first bytes (a
    /// compressed file's size) cannot be read. A pass over many files gives
    /// its `shared` blocks, as to `read_file_into`.
    Result<FileReader, DatError> open_file(std::uint32_t id, SharedBlocks* shared = nullptr) const;

    /// The length of file `id` once decoded: for a compressed entry the size
    /// its payload declares (read from the archive, without decoding), else
    /// the stored size. Fails with `NotFound` or the chain's `Io`.
    Result<std::uint64_t, DatError> decoded_size(std::uint32_t id) const;

    /// Gathers `length` bytes along the block chain that starts at `offset`.
    /// A length of 0 reads nothing. Fails with `Io` ("failed to fill whole
    /// buffer") when a block lies beyond the end of the file, without
    /// allocating anything when `length` exceeds the file's size. Reads each
    /// block once, link and payload together (blocks that lie one after
    /// another in one read), and a chain that comes back to a block it has
    /// read is completed from memory, so the work is bounded by the chain's
    /// distinct blocks. `trace`, when given, records the blocks met.
    Result<Bytes, DatError> read_file_data(std::uint32_t offset, std::uint32_t length,
                                           ChainTrace* trace = nullptr) const;

    /// `read_file_data` into `out` (resized to `length`, capacity reused).
    Result<void, DatError> read_file_data_into(std::uint32_t offset, std::uint32_t length,
                                               Bytes& out, ChainTrace* trace = nullptr) const;

    /// The first block of every directory node, in the order the walk read
    /// them.
    std::span<const std::uint32_t> node_offsets() const noexcept;
    /// Entries that a later entry with the same id replaced, by id and, for
    /// one id, in walk order (empty in a sound archive).
    std::span<const DatFileEntry> shadowed_entries() const noexcept;

    /// The file's length as it was when the archive was opened.
    std::uint64_t archive_length() const noexcept;

  private:
    friend class FileReader;
    friend struct detail::DatabaseAccess;

    // What an opened archive is made of: the file, its header, the block
    // chains read through it and the directory; the library's own.
    struct Parts;
    explicit DatDatabase(std::unique_ptr<Parts> parts) noexcept;

    std::unique_ptr<Parts> parts_;
};

}  // namespace tarnwick_dat
