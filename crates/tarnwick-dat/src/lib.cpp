#include "lib.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "file_reader.hpp"
#include "internal/block_set.hpp"
#include "internal/database.hpp"
#include "internal/mapped_array.hpp"
#include "internal/record_fields.hpp"
#include "shared_blocks.hpp"

namespace tarnwick_dat {

struct detail::FileTableStorage {
    MappedArray<DatFileEntry> entries;
};

namespace {

constexpr std::size_t kVersionStringSize = 16;
constexpr std::size_t kVersionStringField = 15;
constexpr std::size_t kVersionStringOffset = kVersionStringField * 4;

DatError block_size_too_small(std::uint32_t block_size) {
    return DatError::corruption(
        fmt::format("block size {} is too small: each block needs a 4-byte link and at least one "
                    "byte of data",
                    block_size));
}

// Sorts entries by id, stably, so that entries with the same id stay in
// walk order. A directory's walk order is far from sorted, and the tables
// are large: a byte-wise radix sort (four counting passes, those that would
// move nothing skipped) costs a fraction of a comparison sort.
void sort_by_id_keeping_walk_order(std::vector<DatFileEntry>& entries) {
    constexpr std::size_t kSmall = 256;
    if (entries.size() < kSmall) {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; });
        return;
    }
    if (std::is_sorted(entries.begin(), entries.end(),
                       [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; })) {
        return;
    }
    std::vector<DatFileEntry> scratch(entries.size());
    for (unsigned shift = 0; shift < 32; shift += 8) {
        std::array<std::size_t, 257> start{};
        for (const DatFileEntry& entry : entries) {
            ++start[((entry.id >> shift) & 0xFF) + 1];
        }
        if (std::find(start.begin(), start.end(), entries.size()) != start.end()) {
            continue;  // every id has the same byte here
        }
        for (std::size_t i = 1; i < start.size(); ++i) {
            start[i] += start[i - 1];
        }
        for (const DatFileEntry& entry : entries) {
            scratch[start[(entry.id >> shift) & 0xFF]++] = entry;
        }
        entries.swap(scratch);
    }
}

// The table of `entries` given in the order the directory walk met them:
// where several share an id, the one met last wins. Also returns, through
// `shadowed` when given, the entries that lost, by id and, for one id, in walk
// order.
FileTable from_walk_order(std::vector<DatFileEntry> entries, std::vector<DatFileEntry>* shadowed) {
    sort_by_id_keeping_walk_order(entries);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].id == entries[i].id) {
            if (shadowed != nullptr) {
                shadowed->push_back(entries[i]);
            }
            continue;
        }
        entries[kept++] = entries[i];
    }
    entries.resize(kept);
    auto table = std::make_unique<detail::FileTableStorage>();
    for (const DatFileEntry& entry : entries) {
        table->entries.push_back(entry);
    }
    table->entries.shrink_to_fit();
    return FileTable(std::move(table));
}

}  // namespace

Result<DatFileEntry, RecordReadError> DatFileEntry::read(ByteReader& reader) {
    return read_record<DatFileEntry>(reader);
}

Result<DatHeader, RecordReadError> DatHeader::read(ByteReader& reader) {
    // Every field is an integer but the version string's raw bytes.
    return read_record<DatHeader>(
        reader,
        [&](const FieldSite& site,
            std::vector<std::uint8_t>& bytes) -> Result<void, RecordReadError> {
            std::array<std::uint8_t, kVersionStringSize> version{};
            if (auto got = reader.read_bytes(version); !got) {
                RecordReadError error = RecordReadError::io(std::move(got).error());
                error.push_frame(frame_for(site));
                return Err{std::move(error)};
            }
            bytes.assign(version.begin(), version.end());
            return {};
        });
}

DatKind DatHeader::dat_kind() const {
    if (magic != 0x5442) {
        return DatKind::Unknown;
    }
    if (block_size == 0x100) {
        return dataset == 2 ? DatKind::Cell : DatKind::Local;
    }
    if (block_size == 0x400) {
        return dataset == 1 ? DatKind::Portal : DatKind::Local;
    }
    return DatKind::Local;
}

bool ArchiveFileFacts::truncated() const {
    if (foreign()) {
        return false;
    }
    return file_bytes < kHeaderOffset + kArchiveHeaderSize ||
           (declared_bytes && file_bytes < *declared_bytes);
}

std::optional<DatError> ArchiveFileFacts::problem() const {
    if (foreign()) {
        return DatError::invalid_magic("portal archive");
    }
    if (!truncated()) {
        return std::nullopt;
    }
    if (declared_bytes && file_bytes < *declared_bytes) {
        return DatError::corruption(fmt::format(
            "truncated: the file is {} bytes, its header says {}", file_bytes, *declared_bytes));
    }
    return DatError::corruption(
        fmt::format("truncated: the file is {} bytes, its header ends at {}", file_bytes,
                    kHeaderOffset + kArchiveHeaderSize));
}

Result<ArchiveFileFacts, DatError> read_archive_file_facts(const std::filesystem::path& path) {
    auto opened = ReadOnlyFile::open(path);
    if (!opened) {
        return Err{DatError::path_error(path, std::move(opened).error())};
    }
    const ReadOnlyFile& file = opened.value();
    auto length = file.size();
    if (!length) {
        return Err{DatError::io(std::move(length).error())};
    }
    ArchiveFileFacts facts;
    facts.file_bytes = length.value();
    // The signature, the block size and the declared length.
    std::array<std::uint8_t, 12> lead{};
    auto got = file.read_at_most(lead, kHeaderOffset);
    if (!got) {
        return Err{DatError::io(std::move(got).error())};
    }
    const auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(lead[at]) |
               static_cast<std::uint32_t>(lead[at + 1]) << 8 |
               static_cast<std::uint32_t>(lead[at + 2]) << 16 |
               static_cast<std::uint32_t>(lead[at + 3]) << 24;
    };
    if (got.value() >= 4) {
        facts.magic = word(0);
    }
    if (got.value() >= 12) {
        facts.declared_bytes = word(8);
    }
    return facts;
}

Result<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path) {
    auto opened = ReadOnlyFile::open(path);
    if (!opened) {
        return Err{DatError::path_error(path, std::move(opened).error())};
    }
    ReadOnlyFile file = std::move(opened).value();
    if (auto seek = file.seek(kHeaderOffset); !seek) {
        return Err{DatError::io(std::move(seek).error())};
    }

    // The header is read sequentially from the file position; gathering what
    // the file holds first and parsing that gives the same result and the
    // same frames as reading field by field.
    std::array<std::uint8_t, kArchiveHeaderSize> raw{};
    std::size_t got = 0;
    while (got < raw.size()) {
        auto read = file.read(std::span(raw).subspan(got));
        if (!read) {
            // The field that the failed read was filling gets the frame.
            const std::size_t field = got < kVersionStringOffset ? got / 4
                                      : got < kVersionStringOffset + kVersionStringSize
                                          ? kVersionStringField
                                          : kVersionStringField + 1;
            RecordReadError error = RecordReadError::io(std::move(read).error());
            error.push_frame(frame_for(field_sites_of<DatHeader>()[field]));
            return Err{DatError::bin_read(std::move(error))};
        }
        if (read.value() == 0) {
            break;
        }
        got += read.value();
    }
    ByteReader reader(std::span<const std::uint8_t>(raw.data(), got));
    auto header = DatHeader::read(reader);
    if (!header) {
        return Err{DatError::bin_read(std::move(header).error())};
    }
    // Blocks of 4 bytes or less hold no payload: a chain through them could
    // never finish, so such an archive has no sound reading.
    if (header->block_size <= kBlockLinkSize) {
        return Err{block_size_too_small(header->block_size)};
    }
    auto length = file.size();
    if (!length) {
        return Err{DatError::io(std::move(length).error())};
    }

    auto parts =
        std::make_unique<Parts>(std::move(header).value(), std::move(file), length.value());
    if (auto walked = parts->read_directory(); !walked) {
        return Err{std::move(walked).error()};
    }
    return DatDatabase(std::move(parts));
}

DatDatabase::DatDatabase(std::unique_ptr<Parts> parts) noexcept : parts_(std::move(parts)) {}
DatDatabase::DatDatabase(DatDatabase&& other) noexcept = default;
DatDatabase& DatDatabase::operator=(DatDatabase&& other) noexcept = default;
DatDatabase::~DatDatabase() = default;

const DatHeader& DatDatabase::header() const noexcept {
    return parts_->header_;
}

const FileTable& DatDatabase::files() const noexcept {
    return parts_->files_;
}

std::span<const std::uint32_t> DatDatabase::node_offsets() const noexcept {
    return parts_->nodes_;
}

std::span<const DatFileEntry> DatDatabase::shadowed_entries() const noexcept {
    return parts_->shadowed_;
}

std::uint64_t DatDatabase::archive_length() const noexcept {
    return parts_->archive_length_;
}

// One walk of the directory: the nodes on the way down from the root, each
// with its bytes as read and the slot the walk takes next, and the entries
// taken so far. A node's buffer is kept when the walk climbs back, so that
// its siblings are read into it without allocating.
struct DatDatabase::Parts::DirectoryWalk {
    struct Frame {
        Bytes node;
        std::uint32_t count = 0;
        std::uint32_t children = 0;  // child slots that belong to the node
        std::uint32_t next = 0;      // the slot / entry to take next
        bool child_walked = false;
    };

    DirectoryWalk(bool in_key_order, MappedArray<DatFileEntry>& table)
        : key_order(in_key_order), found(table) {}

    // Appends `count` entries as the node holds them, keeping track of
    // whether the ids still come out strictly ascending.
    void take(const std::uint8_t* at, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t id = load_le32(at + i * kFileEntrySize + 4);
            ascending = ascending && (!any || last_id < id);
            last_id = id;
            any = true;
        }
        if constexpr (std::endian::native == std::endian::little) {
            // The entry's fields are the record's words in order.
            found.append(at, count);
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint8_t* e = at + i * kFileEntrySize;
                found.push_back(DatFileEntry{load_le32(e), load_le32(e + 4), load_le32(e + 8),
                                             load_le32(e + 12), load_le32(e + 16),
                                             load_le32(e + 20)});
            }
        }
    }

    bool key_order;
    MappedArray<DatFileEntry>& found;
    std::vector<Frame> frames;  // frames[0, depth) are the nodes on the way down
    std::size_t depth = 0;
    // Every node visited so far: a node reached again means a loop or a node
    // shared by two parents, either of which would make the walk revisit
    // whole subtrees (without end for a loop).
    detail::BlockSet visited;
    ChainScratch scratch;
    bool ascending = true;
    bool any = false;
    std::uint32_t last_id = 0;
};

static_assert(sizeof(DatFileEntry) == kFileEntrySize && std::is_standard_layout_v<DatFileEntry> &&
                  offsetof(DatFileEntry, id) == 4 && offsetof(DatFileEntry, version) == 20,
              "a directory entry is copied into the table as it lies in the node");

Result<void, DatError> DatDatabase::Parts::read_directory() {
    // In a sound archive the directory is a search tree, so taking each
    // node's entries between its children's subtrees (child 0, entry 0,
    // child 1, entry 1, ...) lists the ids in ascending order and the table
    // needs no sorting. Where the ids do not come out strictly ascending
    // (duplicates, or a tree that is no search tree), the directory is walked
    // again taking each node's entries as the node is read, and the walk
    // order decides which entry wins.
    MappedArray<DatFileEntry> found;
    // A file holds at most one node per node's length (see `visit_node`).
    found.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(archive_length_ / kNodeSize * kMaxNodeEntries, SIZE_MAX)));
    auto walked = walk_directory(true, found);
    if (!walked) {
        return Err{std::move(walked).error()};
    }
    if (walked.value()) {
        found.shrink_to_fit();
        auto storage = std::make_unique<detail::FileTableStorage>();
        storage->entries = std::move(found);
        files_ = FileTable(std::move(storage));
        return {};
    }
    found = {};
    nodes_.clear();
    if (auto again = walk_directory(false, found); !again) {
        return Err{std::move(again).error()};
    }
    std::vector<DatFileEntry> in_walk_order(found.data(), found.data() + found.size());
    found = {};
    files_ = from_walk_order(std::move(in_walk_order), &shadowed_);
    return {};
}

Result<bool, DatError> DatDatabase::Parts::walk_directory(bool key_order,
                                                          MappedArray<DatFileEntry>& found) {
    // Nodes are read depth first, in pre-order: a node, then the subtrees of
    // its children in slot order, whichever order the entries are taken in.
    DirectoryWalk walk(key_order, found);
    if (header_.root_offset != 0) {
        if (auto root = visit_node(header_.root_offset, walk); !root) {
            return Err{std::move(root).error()};
        }
    }
    constexpr std::size_t first_entry = kBranchSlots * 4 + 4;
    while (walk.depth > 0) {
        DirectoryWalk::Frame& frame = walk.frames[walk.depth - 1];
        if (frame.next >= frame.count && frame.next >= frame.children) {
            --walk.depth;
            continue;
        }
        const std::uint32_t slot = frame.next;
        if (!frame.child_walked && slot < frame.children) {
            frame.child_walked = true;
            const std::uint32_t child = load_le32(frame.node.data() + slot * 4);
            if (child != 0) {
                // `frame` may move as the stack grows: nothing of it is used
                // after this call.
                if (auto visited = visit_node(child, walk); !visited) {
                    return Err{std::move(visited).error()};
                }
                continue;
            }
        }
        if (key_order && slot < frame.count) {
            walk.take(frame.node.data() + first_entry + slot * kFileEntrySize, 1);
        }
        ++frame.next;
        frame.child_walked = false;
    }
    nodes_.shrink_to_fit();
    return walk.ascending;
}

Result<void, DatError> DatDatabase::Parts::visit_node(std::uint32_t node_offset,
                                                      DirectoryWalk& walk) {
    if (!walk.visited.insert(node_offset)) {
        return Err{DatError::corruption(
            fmt::format("directory node at offset 0x{:08X} is reached twice (a loop or a "
                        "shared node)",
                        node_offset))};
    }
    nodes_.push_back(node_offset);
    if (walk.depth == walk.frames.size()) {
        walk.frames.emplace_back();
    }
    DirectoryWalk::Frame& frame = walk.frames[walk.depth];
    Bytes& bytes = frame.node;
    if (auto node = chain_.read_into(node_offset, kNodeSize, bytes, walk.scratch); !node) {
        return node;
    }
    // Checked once the node has been read, so that a cut file still fails on
    // its read. Well-formed nodes lie in blocks of their own, so a file holds
    // at most one node per 1716 bytes; more nodes than that can only come
    // from overlapping damage, which could otherwise fill memory with far
    // more entries than the file has bytes.
    if (walk.visited.size() * std::uint64_t{kNodeSize} > archive_length_) {
        return Err{DatError::corruption(
            fmt::format("directory node at offset 0x{:08X} is more than a file of {} bytes "
                        "can hold",
                        node_offset, archive_length_))};
    }
    const std::uint32_t count = load_le32(bytes.data() + kBranchSlots * 4);
    // Entries that lie wholly inside the node are taken as they lie; the
    // record reader runs only for the one that does not, to build its error
    // and frame.
    constexpr std::size_t first_entry = kBranchSlots * 4 + 4;
    const std::size_t whole =
        std::min<std::size_t>(count, (bytes.size() - first_entry) / kFileEntrySize);
    if (whole < count) {
        ByteReader reader(bytes, first_entry + whole * kFileEntrySize);
        if (auto entry = DatFileEntry::read(reader); !entry) {
            return Err{DatError::bin_read(std::move(entry).error())};
        }
    }
    // A leaf's other slots mean nothing; an inner node owns the first n + 1
    // slots.
    const bool leaf = load_le32(bytes.data()) == 0;
    if (!walk.key_order || leaf) {
        // In walk order, and in key order for a leaf, the node's entries
        // follow one another in the table.
        walk.take(bytes.data() + first_entry, whole);
        if (leaf) {
            return {};  // nothing more to walk below or after it
        }
    }
    frame.count = walk.key_order ? count : 0;
    frame.children =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{count} + 1, kBranchSlots));
    frame.next = 0;
    frame.child_walked = false;
    ++walk.depth;
    return {};
}

FileTable::FileTable() noexcept = default;

FileTable::FileTable(std::unique_ptr<detail::FileTableStorage> storage) noexcept
    : storage_(std::move(storage)), entries_(storage_->entries.data(), storage_->entries.size()) {}

FileTable::FileTable(FileTable&& other) noexcept
    : storage_(std::move(other.storage_)), entries_(std::exchange(other.entries_, {})) {}

FileTable& FileTable::operator=(FileTable&& other) noexcept {
    storage_ = std::move(other.storage_);
    entries_ = std::exchange(other.entries_, {});
    return *this;
}

FileTable::~FileTable() = default;

std::size_t FileTable::memory_bytes() const noexcept {
    return storage_ != nullptr ? storage_->entries.memory_bytes() : 0;
}

const DatFileEntry* FileTable::find(std::uint32_t id) const noexcept {
    const auto at = std::lower_bound(
        begin(), end(), id,
        [](const DatFileEntry& entry, std::uint32_t wanted) { return entry.id < wanted; });
    return at != end() && at->id == id ? at : nullptr;
}

DatFileType DatDatabase::file_type(std::uint32_t id) const {
    return ::tarnwick_dat::file_type::from_id_in_dat(id, dat_kind());
}

Result<Bytes, DatError> DatDatabase::get_file(std::uint32_t id, FetchOptions options) const {
    Bytes out;
    if (auto read = read_file_into(id, out, options); !read) {
        return Err{std::move(read).error()};
    }
    return out;
}

Result<void, DatError> DatDatabase::read_file_into(std::uint32_t id, Bytes& out,
                                                   FetchOptions options) const {
    out.clear();
    const DatFileEntry* entry = parts_->files_.find(id);
    if (entry == nullptr) {
        return Err{DatError::not_found(id)};
    }
    // Only the strict fetch stops at a loop; the lenient one repeats what
    // the loop holds, as the archive format's own reader does.
    std::optional<ChainLoop> loop;
    std::optional<ChainLoop>* const stop_at_loop = options.strict ? &loop : nullptr;
    ChainScratch scratch;
    detail::BlockMemo* const memo = options.shared != nullptr ? &options.shared->memo() : nullptr;
    std::optional<ChainTrace> counted;
    if (options.counts != nullptr) {
        counted.emplace();
    }
    // Adds what the chain read cost to the caller's counts.
    const auto count = [&](std::uint64_t stored) {
        if (options.counts != nullptr) {
            options.counts->reads += counted->reads;
            options.counts->stored_bytes += stored;
        }
    };
    ChainTrace* const trace = counted ? &*counted : nullptr;
    if (!entry->is_compressed()) {
        auto read = parts_->chain_.read_into(entry->offset, entry->size, out, scratch, trace,
                                             stop_at_loop, memo);
        count(out.size());
        if (read && loop) {
            return Err{chain_loop_error(id, *loop)};
        }
        return read;
    }
    // The stored payload of a compressed file lives only until it is decoded.
    Bytes stored;
    auto read = parts_->chain_.read_into(entry->offset, entry->size, stored, scratch, trace,
                                         stop_at_loop, memo);
    count(stored.size());
    if (read && loop) {
        return Err{chain_loop_error(id, *loop)};
    }
    if (!read) {
        return read;
    }
    out.resize(lrs_output_capacity(stored));
    const LrsOutcome outcome = decode_lrs_into(stored, out);
    out.resize(outcome.produced);
    // A stream without its size field, or one that ends before the size it
    // declares, is damaged.
    const std::optional<std::uint32_t> declared = lrs_declared_size(stored);
    if (options.strict && (!declared || outcome.produced != *declared)) {
        out.clear();
        return Err{DatError::decompression_failed(id)};
    }
    return {};
}

Result<std::uint64_t, DatError> DatDatabase::decoded_size(std::uint32_t id) const {
    const DatFileEntry* entry = parts_->files_.find(id);
    if (entry == nullptr) {
        return Err{DatError::not_found(id)};
    }
    if (!entry->is_compressed() || entry->size < 4) {
        return std::uint64_t{entry->size};
    }
    auto head = read_file_data(entry->offset, 4);
    if (!head) {
        return Err{std::move(head).error()};
    }
    return std::uint64_t{load_le32(head->data())};
}

}  // namespace tarnwick_dat
