// The byte format in which archive_round_trip_fuzzer reads a random archive
// description, with the encoder that make_fuzz_corpus uses for its seeds.
// Every byte string decodes to some description (missing bytes read as 0),
// so mutations always give an archive to write.
//
// Layout, front to back:
//   u8  block size: 5 + v for v < 200, else 256, 512, 1024 or 4096 (v % 4)
//   u8  directory entries per node: 2 + v % 60
//   u8  node chains: bit 0 scattered, bit 1 at most 1 + (v >> 2) % 4 blocks
//   u8  header: bit 0 magic 0x5442 (else 0x5443), bits 1-2 dataset
//   u32 header subset, u32 header engine_version
//   then file records until the input ends:
//   u8  op: bits 0-1 kind (0 data, 1 font, 2 raw entry, 3 data), bit 2
//       compressed, bit 3 scattered chain, bit 4 at most N blocks (u8 N
//       follows the id), bit 5 last block links on (u32 link follows),
//       bit 6 reuse an earlier id (u8 index instead of u32 id), bit 7
//       further flags, timestamp and version (u8, u16, u16 follow)
//   u32 id, or u8 index of an earlier record's id
//   data:  u16 length (% 4096), u8 fill (0 bytes from the input, 1 runs,
//          2 noise, 3 text), u8 seed; fill 0 reads `length` bytes
//   font:  u32 id, u32 max_char_height, u32 max_char_width, u8 glyphs
//          (% 32), 11 bytes per glyph, u32 × 5 trailing fields
//   raw entry: u32 offset (size 0: it lists a file without bytes)
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <vector>

namespace archive_description {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;

// Bounds that keep one description's archive small and quick to write; bare
// entries cost no data, so a directory can still grow to hundreds of them.
inline constexpr std::size_t kMaxFiles = 400;
inline constexpr std::size_t kMaxTotalBytes = 48 * 1024;
// Each block of a scattered chain costs a read per fetch: small blocks get
// less data, so that one description stays well under a second to check.
inline constexpr std::size_t kMaxTotalBlocks = 6000;
inline constexpr std::size_t kMaxLength = 4096;
inline constexpr std::size_t kMaxGlyphs = 32;

enum class FileKind : std::uint8_t { Data, Font, RawEntry };

// One file as the builder is asked to add it.
struct FileDescription {
    FileKind kind = FileKind::Data;
    std::uint32_t id = 0;
    tarnwick_dat_writer::FileOptions options;
    Bytes bytes;               // what a fetch must give back
    std::optional<Font> font;  // what the bytes must decode to
    DatFileEntry raw;          // the entry listed, for a raw entry
};

struct Description {
    std::uint32_t block_size = 1024;
    tarnwick_dat_writer::DirectoryOptions directory;
    std::uint32_t magic = 0x5442;
    std::uint32_t dataset = 1;
    std::uint32_t subset = 0;
    std::uint32_t engine_version = 0;
    std::vector<FileDescription> files;
};

// Reads the description's fields front to back; 0 once the bytes run out.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool empty() const { return at_ >= bytes_.size(); }
    std::uint8_t u8() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | u8() << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }
    // Up to `length` bytes, fewer where the input ends.
    std::span<const std::uint8_t> take(std::size_t length) {
        const std::size_t n = std::min(length, bytes_.size() - std::min(at_, bytes_.size()));
        const auto part = bytes_.subspan(std::min(at_, bytes_.size()), n);
        at_ += n;
        return part;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// Deterministic contents of `length` bytes in one of the fill styles.
inline Bytes fill(std::uint8_t style, std::uint8_t seed, std::size_t length) {
    Bytes out(length);
    std::uint32_t state = 0x9E3779B9u ^ (seed * 0x01000193u) ^ 1u;
    const std::string_view text = "a font of glyphs in blocks of a chain; ";
    for (std::size_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        switch (style % 4) {
            case 1:  // runs whose value changes now and then: long matches
                out[i] = static_cast<std::uint8_t>(seed + i / (1 + seed % 97));
                break;
            case 2:
                out[i] = static_cast<std::uint8_t>(state);
                break;
            default:
                out[i] = static_cast<std::uint8_t>(text[(i + seed) % text.size()]);
                break;
        }
    }
    return out;
}

inline FontCharDesc read_glyph(Reader& in) {
    FontCharDesc desc;
    desc.unicode = in.u16();
    desc.offset_x = in.u16();
    desc.offset_y = in.u16();
    desc.width = in.u8();
    desc.height = in.u8();
    desc.horizontal_offset_before = static_cast<std::int8_t>(in.u8());
    desc.horizontal_offset_after = static_cast<std::int8_t>(in.u8());
    desc.vertical_offset_before = static_cast<std::int8_t>(in.u8());
    return desc;
}

inline Font read_font(Reader& in) {
    Font font;
    font.id = in.u32();
    font.max_char_height = in.u32();
    font.max_char_width = in.u32();
    const std::size_t glyphs = in.u8() % kMaxGlyphs;
    for (std::size_t g = 0; g < glyphs; ++g) {
        font.char_descs.push_back(read_glyph(in));
    }
    font.num_horizontal_border_pixels = in.u32();
    font.num_vertical_border_pixels = in.u32();
    font.baseline_offset = static_cast<std::int32_t>(in.u32());
    font.foreground_surface_data_id = in.u32();
    font.background_surface_data_id = in.u32();
    return font;
}

inline tarnwick_dat_writer::ChainOptions read_node_chain(std::uint8_t v) {
    tarnwick_dat_writer::ChainOptions chain;
    if (v & 1) {
        chain.placement = tarnwick_dat_writer::BlockPlacement::Scattered;
    }
    if (v & 2) {
        chain.max_blocks = 1 + (v >> 2) % 4;
    }
    return chain;
}

inline Description decode(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint32_t kLargeBlocks[] = {256, 512, 1024, 4096};
    Reader in(bytes);
    Description d;
    const std::uint8_t block_code = in.u8();
    d.block_size = block_code < 200 ? 5u + block_code : kLargeBlocks[block_code % 4];
    d.directory.max_entries_per_node = 2 + in.u8() % 60;
    d.directory.node_chain = read_node_chain(in.u8());
    const std::uint8_t header = in.u8();
    d.magic = (header & 1) != 0 ? 0x5442 : 0x5443;
    d.dataset = (header >> 1) & 3;
    d.subset = in.u32();
    d.engine_version = in.u32();

    std::size_t total = 0;
    std::size_t blocks = 0;
    // A scattered node chain is read block by block too; each file takes its
    // share of a node's blocks.
    const auto& node_chain = d.directory.node_chain;
    const std::size_t node_blocks_per_file =
        node_chain.placement == tarnwick_dat_writer::BlockPlacement::Scattered &&
                !node_chain.max_blocks
            ? (tarnwick_dat::kNodeSize / (d.block_size - 4) + 1) / d.directory.max_entries_per_node
            : 0;
    while (!in.empty() && d.files.size() < kMaxFiles && total < kMaxTotalBytes &&
           blocks < kMaxTotalBlocks) {
        const std::uint8_t op = in.u8();
        FileDescription file;
        file.kind = (op & 3) == 1   ? FileKind::Font
                    : (op & 3) == 2 ? FileKind::RawEntry
                                    : FileKind::Data;
        if ((op & 0x40) != 0 && !d.files.empty()) {
            file.id = d.files[in.u8() % d.files.size()].id;
        } else {
            file.id = in.u32();
        }
        auto& options = file.options;
        options.compress = (op & 0x04) != 0;
        if (op & 0x08) {
            options.chain.placement = tarnwick_dat_writer::BlockPlacement::Scattered;
        }
        if (op & 0x10) {
            options.chain.max_blocks = 1 + in.u8() % 8;
        }
        if (op & 0x20) {
            options.chain.last_link = in.u32();
        }
        if (op & 0x80) {
            // Bit 0 is the compression flag, set only with `compress`.
            options.extra_flags = static_cast<std::uint32_t>(in.u8()) << 1;
            options.timestamp = in.u16();
            options.version = in.u16();
        }
        switch (file.kind) {
            case FileKind::Data: {
                const std::size_t length = in.u16() % kMaxLength;
                const std::uint8_t style = in.u8();
                const std::uint8_t seed = in.u8();
                if (style % 4 == 0) {
                    const auto part = in.take(length);
                    file.bytes.assign(part.begin(), part.end());
                } else {
                    file.bytes = fill(style, seed, length);
                }
                break;
            }
            case FileKind::Font:
                file.font = read_font(in);
                file.bytes = tarnwick_dat_writer::encode_font(*file.font);
                break;
            case FileKind::RawEntry:
                file.raw.id = file.id;
                file.raw.offset = in.u32();
                file.raw.bit_flags = options.extra_flags;
                file.raw.timestamp = options.timestamp;
                file.raw.version = options.version;
                break;
        }
        // An over-long last block (at most N blocks) cannot carry a link:
        // the writer refuses that, as readers would take less from it.
        if (options.chain.max_blocks && options.chain.last_link != 0) {
            const std::uint64_t per_block = d.block_size - 4;
            const std::uint64_t stored = options.compress
                                             ? tarnwick_dat_writer::compress_lrs(file.bytes).size()
                                             : file.bytes.size();
            const std::uint64_t chain_blocks =
                std::max<std::uint64_t>(1, (stored + per_block - 1) / per_block);
            if (chain_blocks > *options.chain.max_blocks) {
                options.chain.last_link = 0;
            }
        }
        total += file.bytes.size();
        blocks += 1 + file.bytes.size() / (d.block_size - 4) + node_blocks_per_file;
        d.files.push_back(std::move(file));
    }
    return d;
}

// The optional fields of a file record, written when its op asks for them.
struct Extras {
    std::uint8_t max_blocks = 0;
    std::uint32_t last_link = 0;
    std::uint8_t flags = 0;
    std::uint16_t timestamp = 0;
    std::uint16_t version = 0;
};

// Writes descriptions in the format above, for seeds.
class Encoder {
  public:
    Encoder(std::uint8_t block_code, std::uint8_t per_node, std::uint8_t node_chain,
            std::uint8_t header, std::uint32_t subset = 0, std::uint32_t engine_version = 0) {
        u8(block_code);
        u8(per_node);
        u8(node_chain);
        u8(header);
        u32(subset);
        u32(engine_version);
    }

    // Op bits besides the kind (compressed, scattered, ...).
    static constexpr std::uint8_t kCompressed = 0x04;
    static constexpr std::uint8_t kScattered = 0x08;
    static constexpr std::uint8_t kMaxBlocks = 0x10;
    static constexpr std::uint8_t kLastLink = 0x20;
    static constexpr std::uint8_t kReuseId = 0x40;
    static constexpr std::uint8_t kMetadata = 0x80;

    Encoder& data(std::uint8_t op, std::uint32_t id, std::uint16_t length, std::uint8_t style,
                  std::uint8_t seed, std::span<const std::uint8_t> bytes = {},
                  const Extras& extras = {}) {
        begin(static_cast<std::uint8_t>(op & ~3u), id, extras);
        u16(length);
        u8(style);
        u8(seed);
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    Encoder& font(std::uint8_t op, std::uint32_t id, const Font& font, const Extras& extras = {}) {
        begin(static_cast<std::uint8_t>((op & ~3u) | 1u), id, extras);
        u32(font.id);
        u32(font.max_char_height);
        u32(font.max_char_width);
        u8(static_cast<std::uint8_t>(font.char_descs.size()));
        for (const FontCharDesc& desc : font.char_descs) {
            u16(desc.unicode);
            u16(desc.offset_x);
            u16(desc.offset_y);
            u8(desc.width);
            u8(desc.height);
            u8(static_cast<std::uint8_t>(desc.horizontal_offset_before));
            u8(static_cast<std::uint8_t>(desc.horizontal_offset_after));
            u8(static_cast<std::uint8_t>(desc.vertical_offset_before));
        }
        u32(font.num_horizontal_border_pixels);
        u32(font.num_vertical_border_pixels);
        u32(static_cast<std::uint32_t>(font.baseline_offset));
        u32(font.foreground_surface_data_id);
        u32(font.background_surface_data_id);
        return *this;
    }

    Encoder& raw_entry(std::uint8_t op, std::uint32_t id, std::uint32_t offset,
                       const Extras& extras = {}) {
        begin(static_cast<std::uint8_t>((op & ~3u) | 2u), id, extras);
        u32(offset);
        return *this;
    }

    const Bytes& bytes() const { return out_; }

  private:
    // `id` is an index into the earlier records when `op` has kReuseId.
    void begin(std::uint8_t op, std::uint32_t id, const Extras& extras) {
        u8(op);
        if (op & kReuseId) {
            u8(static_cast<std::uint8_t>(id));
        } else {
            u32(id);
        }
        if (op & kMaxBlocks) {
            u8(extras.max_blocks);
        }
        if (op & kLastLink) {
            u32(extras.last_link);
        }
        if (op & kMetadata) {
            u8(extras.flags);
            u16(extras.timestamp);
            u16(extras.version);
        }
    }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }

    Bytes out_;
};

}  // namespace archive_description
