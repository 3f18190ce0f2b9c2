#include "tarnwick_dat_writer/archive_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include "record_encoder.hpp"
#include "tarnwick_dat_writer/lrs_encoder.hpp"

namespace tarnwick_dat_writer {

namespace {

// Room for the header: nothing is placed before its end.
constexpr std::uint64_t kHeaderEnd = tarnwick_dat::kHeaderOffset + tarnwick_dat::kArchiveHeaderSize;
// What fills the gaps between scattered blocks, so that a reader which skips
// a link reads bytes that are obviously wrong.
constexpr std::uint8_t kFiller = 0xEE;

void store_u32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t to_offset(std::uint64_t position) {
    if (position > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("archive image outgrows 32-bit block offsets");
    }
    return static_cast<std::uint32_t>(position);
}

// Entries a subtree of `height` levels can hold with `per_node` per node.
std::uint64_t subtree_capacity(std::size_t height, std::uint64_t per_node) {
    std::uint64_t capacity = per_node;
    for (std::size_t level = 1; level < height; ++level) {
        capacity = capacity * (per_node + 1) + per_node;
    }
    return capacity;
}

// How a chain of `data_size` bytes lies in blocks of `block_size`: its block
// count, the last block's payload and the bytes the last block spans (an
// over-long last block runs on past one block). Throws std::invalid_argument
// for options that cannot be honoured.
struct ChainShape {
    std::uint64_t per_block;
    std::uint64_t blocks;
    std::uint64_t last_payload;
    std::uint64_t last_length;
};

ChainShape chain_shape(std::uint64_t data_size, std::uint64_t block_size,
                       const ChainOptions& options) {
    if (options.max_blocks && *options.max_blocks == 0) {
        throw std::invalid_argument("a chain needs at least one block");
    }
    ChainShape shape{};
    shape.per_block = block_size - tarnwick_dat::kBlockLinkSize;
    shape.blocks = std::max<std::uint64_t>(1, (data_size + shape.per_block - 1) / shape.per_block);
    if (options.max_blocks) {
        shape.blocks = std::min<std::uint64_t>(shape.blocks, *options.max_blocks);
    }
    shape.last_payload = data_size - (shape.blocks - 1) * shape.per_block;
    if (shape.last_payload > shape.per_block && options.last_link != 0) {
        throw std::invalid_argument("an over-long last block cannot carry a link");
    }
    shape.last_length = std::max<std::uint64_t>(
        block_size, (tarnwick_dat::kBlockLinkSize + shape.last_payload + block_size - 1) /
                        block_size * block_size);
    return shape;
}

}  // namespace

Bytes encode_node(const NodeSpec& node) {
    if (node.entries.size() > tarnwick_dat::kMaxNodeEntries) {
        throw std::invalid_argument("a directory node holds at most 61 entries");
    }
    Bytes bytes(tarnwick_dat::kNodeSize, 0);
    for (std::size_t slot = 0; slot < node.branches.size(); ++slot) {
        store_u32(bytes.data() + slot * 4, node.branches[slot]);
    }
    const auto count = node.count.value_or(static_cast<std::uint32_t>(node.entries.size()));
    store_u32(bytes.data() + tarnwick_dat::kBranchSlots * 4, count);
    std::size_t at = tarnwick_dat::kBranchSlots * 4 + 4;
    for (const DatFileEntry& entry : node.entries) {
        const auto encoded = encode_entry(entry);
        std::copy(encoded.begin(), encoded.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        at += encoded.size();
    }
    return bytes;
}

std::array<std::uint8_t, tarnwick_dat::kFileEntrySize> encode_entry(const DatFileEntry& entry) {
    Bytes encoded;
    encoded.reserve(tarnwick_dat::kFileEntrySize);
    detail::put_record(encoded, entry);
    std::array<std::uint8_t, tarnwick_dat::kFileEntrySize> bytes{};
    std::copy(encoded.begin(), encoded.end(), bytes.begin());
    return bytes;
}

HeaderFields::HeaderFields() {
    magic = 0x5442;
    block_size = 1024;
    dataset = 1;
    version_string.assign(16, 0);
}

RawArchive::RawArchive(std::uint32_t block_size) : block_size_(block_size), image_(kHeaderEnd, 0) {
    if (block_size <= tarnwick_dat::kBlockLinkSize) {
        throw std::invalid_argument("chains need blocks of more than 4 bytes");
    }
    header.block_size = block_size;
}

std::uint64_t RawArchive::allocate(std::uint64_t length) {
    const std::uint64_t start = (image_.size() + block_size_ - 1) / block_size_ * block_size_;
    to_offset(start);
    image_.resize(start + length, 0);
    return start;
}

std::uint32_t RawArchive::append_blocks(std::span<const std::uint8_t> bytes) {
    const std::uint64_t padded = std::max<std::uint64_t>(
        block_size_, (bytes.size() + block_size_ - 1) / block_size_ * block_size_);
    const std::uint64_t start = allocate(padded);
    write_at(start, bytes);
    return to_offset(start);
}

void RawArchive::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (image_.size() < offset + bytes.size()) {
        image_.resize(offset + bytes.size(), 0);
    }
    std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void RawArchive::write_u32_at(std::uint64_t offset, std::uint32_t value) {
    std::uint8_t bytes[4];
    store_u32(bytes, value);
    write_at(offset, bytes);
}

std::uint32_t RawArchive::write_chain(std::span<const std::uint8_t> data,
                                      const ChainOptions& options) {
    const auto [per_block, blocks, last_payload, last_length] =
        chain_shape(data.size(), block_size_, options);

    std::vector<std::uint64_t> positions(blocks);
    if (options.placement == BlockPlacement::Contiguous) {
        const std::uint64_t start = allocate((blocks - 1) * block_size_ + last_length);
        for (std::uint64_t i = 0; i < blocks; ++i) {
            positions[i] = start + i * block_size_;
        }
    } else {
        // Last block first, then filler and block alternately down to the
        // first block, which ends up last in the file.
        const std::uint64_t start = allocate(last_length + (blocks - 1) * 2 * block_size_);
        positions[blocks - 1] = start;
        std::uint64_t at = start + last_length;
        for (std::uint64_t i = blocks - 1; i-- > 0;) {
            std::fill(image_.begin() + static_cast<std::ptrdiff_t>(at),
                      image_.begin() + static_cast<std::ptrdiff_t>(at + block_size_), kFiller);
            positions[i] = at + block_size_;
            at += 2 * block_size_;
        }
    }

    for (std::uint64_t i = 0; i < blocks; ++i) {
        const bool last = i + 1 == blocks;
        write_u32_at(positions[i], last ? options.last_link : to_offset(positions[i + 1]));
        const std::uint64_t from = i * per_block;
        const std::uint64_t length = last ? last_payload : per_block;
        write_at(positions[i] + tarnwick_dat::kBlockLinkSize, data.subspan(from, length));
    }
    return to_offset(positions[0]);
}

std::uint32_t RawArchive::write_node(const NodeSpec& node, const ChainOptions& options) {
    return write_chain(encode_node(node), options);
}

void RawArchive::patch_chain(std::uint32_t first_block, std::uint64_t position,
                             std::span<const std::uint8_t> bytes) {
    const std::uint64_t per_block = block_size_ - tarnwick_dat::kBlockLinkSize;
    std::uint64_t block = first_block;
    while (!bytes.empty()) {
        if (block + tarnwick_dat::kBlockLinkSize > image_.size()) {
            throw std::invalid_argument("chain to patch runs past the image");
        }
        const std::uint32_t link = tarnwick_dat::load_le32(image_.data() + block);
        const std::uint64_t payload = block + tarnwick_dat::kBlockLinkSize;
        if (link == 0) {
            if (payload + position + bytes.size() > image_.size()) {
                throw std::invalid_argument("chain to patch runs past the image");
            }
            write_at(payload + position, bytes);
            return;
        }
        if (position >= per_block) {
            position -= per_block;
        } else {
            const std::uint64_t length =
                std::min<std::uint64_t>(bytes.size(), per_block - position);
            write_at(payload + position, bytes.first(length));
            bytes = bytes.subspan(length);
            position = 0;
        }
        block = link;
    }
}

void RawArchive::set_branch(std::uint32_t node, std::size_t slot, std::uint32_t child) {
    if (slot >= tarnwick_dat::kBranchSlots) {
        throw std::invalid_argument("a node has 62 child slots");
    }
    std::uint8_t bytes[4];
    store_u32(bytes, child);
    patch_chain(node, slot * 4, bytes);
}

namespace {

// The header's 80 bytes, with `file_size` where the header leaves it unset.
std::array<std::uint8_t, tarnwick_dat::kArchiveHeaderSize> encode_header(const HeaderFields& header,
                                                                         std::uint32_t file_size) {
    if (header.version_string.size() != 16) {
        throw std::invalid_argument("a header's version_string holds exactly 16 bytes");
    }
    tarnwick_dat::DatHeader fields = header;
    fields.file_size = header.file_size.value_or(file_size);
    Bytes encoded;
    encoded.reserve(tarnwick_dat::kArchiveHeaderSize);
    detail::put_record(encoded, fields);
    std::array<std::uint8_t, tarnwick_dat::kArchiveHeaderSize> bytes{};
    std::copy(encoded.begin(), encoded.end(), bytes.begin());
    return bytes;
}

// Writes all of `bytes` at `offset`, repeating short and interrupted writes.
// Returns the OS error number, 0 on success.
int write_all_at(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::pwrite(fd, bytes.data() + written, bytes.size() - written,
                                      static_cast<off_t>(offset + written));
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        written += static_cast<std::size_t>(done);
    }
    return 0;
}

}  // namespace

Bytes RawArchive::build() const {
    Bytes file = image_;
    const auto header_bytes = encode_header(header, to_offset(file.size()));
    std::copy(header_bytes.begin(), header_bytes.end(),
              file.begin() + static_cast<std::ptrdiff_t>(tarnwick_dat::kHeaderOffset));
    if (truncate_to_ && *truncate_to_ < file.size()) {
        file.resize(*truncate_to_);
    }
    return file;
}

tarnwick_dat::Result<void, tarnwick_dat::IoError> RawArchive::write(
    const std::filesystem::path& path) const {
    using tarnwick_dat::Err;
    using tarnwick_dat::IoError;
    const Bytes file = build();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Err{IoError::from_os(errno)};
    }
    std::size_t written = 0;
    while (written < file.size()) {
        const ssize_t done = ::write(fd, file.data() + written, file.size() - written);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int code = errno;
            ::close(fd);
            return Err{IoError::from_os(code)};
        }
        written += static_cast<std::size_t>(done);
    }
    if (::close(fd) < 0) {
        return Err{IoError::from_os(errno)};
    }
    return {};
}

ArchiveBuilder::ArchiveBuilder(std::uint32_t block_size) : block_size_(block_size) {
    if (block_size <= tarnwick_dat::kBlockLinkSize) {
        throw std::invalid_argument("chains need blocks of more than 4 bytes");
    }
    header_.block_size = block_size;
}

ArchiveBuilder& ArchiveBuilder::add_file(std::uint32_t id, std::span<const std::uint8_t> bytes,
                                         const FileOptions& options) {
    by_id_[id] = files_.size();
    files_.push_back(PendingFile{id, Bytes(bytes.begin(), bytes.end()), options, std::nullopt});
    return *this;
}

ArchiveBuilder& ArchiveBuilder::add_entry(const DatFileEntry& entry) {
    by_id_[entry.id] = files_.size();
    files_.push_back(PendingFile{entry.id, {}, {}, entry});
    return *this;
}

ArchiveBuilder& ArchiveBuilder::directory(const DirectoryOptions& options) {
    if (options.max_entries_per_node < 2 ||
        options.max_entries_per_node > tarnwick_dat::kMaxNodeEntries) {
        throw std::invalid_argument("a built directory holds 2 to 61 entries per node");
    }
    directory_ = options;
    return *this;
}

namespace {

// Lays out the subtree over `entries` (sorted) as a B-tree, children before
// their parent; records each node's offset in `pre_order` at the place a
// pre-order walk reaches it.
template <typename Archive>
std::uint32_t write_subtree(Archive& archive, std::span<const DatFileEntry> entries,
                            const DirectoryOptions& options,
                            std::vector<std::uint32_t>& pre_order) {
    const std::size_t slot = pre_order.size();
    pre_order.push_back(0);
    const std::uint64_t per_node = options.max_entries_per_node;
    NodeSpec node;
    if (entries.size() <= per_node) {
        node.entries.assign(entries.begin(), entries.end());
    } else {
        std::size_t height = 2;
        while (subtree_capacity(height, per_node) < entries.size()) {
            ++height;
        }
        // As few children as the lower levels allow, sharing the entries
        // evenly; an entry between two children separates their ranges.
        const std::uint64_t child_capacity = subtree_capacity(height - 1, per_node);
        const std::uint64_t children = std::max<std::uint64_t>(
            2, (entries.size() + 1 + child_capacity) / (child_capacity + 1));
        const std::uint64_t in_children = entries.size() - (children - 1);
        std::size_t at = 0;
        for (std::uint64_t child = 0; child < children; ++child) {
            const std::size_t length = static_cast<std::size_t>(
                in_children / children + (child < in_children % children ? 1 : 0));
            node.branches[child] =
                write_subtree(archive, entries.subspan(at, length), options, pre_order);
            at += length;
            if (child + 1 < children) {
                node.entries.push_back(entries[at]);
                ++at;
            }
        }
    }
    const std::uint32_t offset = archive.write_node(node, options.node_chain);
    pre_order[slot] = offset;
    return offset;
}

}  // namespace

Layout ArchiveBuilder::layout() const {
    Layout result{RawArchive(block_size_), {}, {}};
    RawArchive& archive = result.archive;
    archive.header = header_;
    // Payloads go into the file in the order the files were added.
    std::vector<bool> current(files_.size(), false);
    for (const auto& [id, index] : by_id_) {
        current[index] = true;
    }
    std::map<std::uint32_t, DatFileEntry> entries;
    for (std::size_t index = 0; index < files_.size(); ++index) {
        if (!current[index]) {
            continue;
        }
        const PendingFile& file = files_[index];
        if (file.raw_entry) {
            entries[file.raw_entry->id] = *file.raw_entry;
            continue;
        }
        const Bytes payload = file.options.compress ? compress_lrs(file.bytes) : file.bytes;
        DatFileEntry entry;
        entry.bit_flags = file.options.extra_flags | (file.options.compress ? 1u : 0u);
        entry.offset = archive.write_chain(payload, file.options.chain);
        entry.size = static_cast<std::uint32_t>(payload.size());
        entry.timestamp = file.options.timestamp;
        entry.version = file.options.version;
        entry.id = file.id;
        entries[entry.id] = entry;
    }
    for (const auto& [id, entry] : entries) {
        (void)id;
        result.entries.push_back(entry);
    }
    archive.header.root_offset =
        result.entries.empty()
            ? 0
            : write_subtree(archive, result.entries, directory_, result.node_offsets);
    return result;
}

ArchiveStream::ArchiveStream(const std::filesystem::path& path, std::uint32_t block_size)
    : block_size_(block_size), size_(kHeaderEnd) {
    if (block_size <= tarnwick_dat::kBlockLinkSize) {
        throw std::invalid_argument("chains need blocks of more than 4 bytes");
    }
    header_.block_size = block_size;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error_ = errno;
    }
}

ArchiveStream::~ArchiveStream() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

ArchiveStream& ArchiveStream::directory(const DirectoryOptions& options) {
    if (options.max_entries_per_node < 2 ||
        options.max_entries_per_node > tarnwick_dat::kMaxNodeEntries) {
        throw std::invalid_argument("a built directory holds 2 to 61 entries per node");
    }
    if (options.node_chain.placement != BlockPlacement::Contiguous) {
        throw std::invalid_argument("a streamed archive lays out contiguous chains only");
    }
    directory_ = options;
    return *this;
}

std::uint32_t ArchiveStream::write_chain(std::span<const std::uint8_t> data,
                                         const ChainOptions& options) {
    if (options.placement != BlockPlacement::Contiguous) {
        throw std::invalid_argument("a streamed archive lays out contiguous chains only");
    }
    // The layout of RawArchive::write_chain, built in one buffer and written
    // at once; the gap before it stays a hole, which reads as zeros.
    const auto [per_block, blocks, last_payload, last_length] =
        chain_shape(data.size(), block_size_, options);
    const std::uint64_t start = (size_ + block_size_ - 1) / block_size_ * block_size_;
    const std::uint64_t length = (blocks - 1) * block_size_ + last_length;
    to_offset(start + length);
    chain_.assign(length, 0);
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const bool last = i + 1 == blocks;
        const std::uint64_t at = i * block_size_;
        store_u32(chain_.data() + at,
                  last ? options.last_link : to_offset(start + (i + 1) * block_size_));
        const std::uint64_t from = i * per_block;
        const std::uint64_t count = last ? last_payload : per_block;
        std::copy_n(
            data.begin() + static_cast<std::ptrdiff_t>(from), count,
            chain_.begin() + static_cast<std::ptrdiff_t>(at + tarnwick_dat::kBlockLinkSize));
    }
    if (error_ == 0) {
        error_ = write_all_at(fd_, chain_, start);
    }
    size_ = start + length;
    return to_offset(start);
}

std::uint32_t ArchiveStream::write_node(const NodeSpec& node, const ChainOptions& options) {
    return write_chain(encode_node(node), options);
}

ArchiveStream& ArchiveStream::add_file(std::uint32_t id, std::span<const std::uint8_t> bytes,
                                       const FileOptions& options) {
    const Bytes packed = options.compress ? compress_lrs(bytes) : Bytes{};
    const std::span<const std::uint8_t> payload = options.compress ? packed : bytes;
    DatFileEntry entry;
    entry.bit_flags = options.extra_flags | (options.compress ? 1u : 0u);
    entry.offset = write_chain(payload, options.chain);
    entry.size = static_cast<std::uint32_t>(payload.size());
    entry.timestamp = options.timestamp;
    entry.version = options.version;
    entry.id = id;
    entries_.push_back(entry);
    return *this;
}

tarnwick_dat::Result<void, tarnwick_dat::IoError> ArchiveStream::finish() {
    using tarnwick_dat::Err;
    using tarnwick_dat::IoError;
    // As in ArchiveBuilder: ascending ids, the file added last wins an id.
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const DatFileEntry& a, const DatFileEntry& b) { return a.id < b.id; });
    std::vector<DatFileEntry> unique;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (i + 1 < entries_.size() && entries_[i + 1].id == entries_[i].id) {
            continue;
        }
        unique.push_back(entries_[i]);
    }
    entries_.clear();
    entries_.shrink_to_fit();
    std::vector<std::uint32_t> node_offsets;
    header_.root_offset =
        unique.empty() ? 0 : write_subtree(*this, unique, directory_, node_offsets);
    const auto header_bytes = encode_header(header_, to_offset(size_));
    if (error_ == 0) {
        error_ = write_all_at(fd_, header_bytes, tarnwick_dat::kHeaderOffset);
    }
    if (fd_ >= 0 && ::close(fd_) != 0 && error_ == 0) {
        error_ = errno;
    }
    fd_ = -1;
    if (error_ != 0) {
        return Err{IoError::from_os(error_)};
    }
    return {};
}

TempArchiveFile::TempArchiveFile(std::span<const std::uint8_t> bytes) {
    std::string name = (std::filesystem::temp_directory_path() / "tarnwick-dat-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        throw std::runtime_error("cannot create a temporary archive file");
    }
    path_ = name;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            ::close(fd);
            std::filesystem::remove(path_);
            throw std::runtime_error("cannot write a temporary archive file");
        }
        written += static_cast<std::size_t>(done);
    }
    ::close(fd);
}

TempArchiveFile::~TempArchiveFile() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

}  // namespace tarnwick_dat_writer
