#include "tarnwick_dat_writer/sample_archive.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "tarnwick_dat/file_type/font.hpp"
#include "tarnwick_dat_writer/font_encoder.hpp"

namespace tarnwick_dat_writer {

namespace {

using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;

// splitmix64: tiny, fast and good enough that equal seeds give equal
// archives on every platform (the standard engines' distributions are not
// portable).
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    /// A value in [0, bound); bound > 0.
    std::uint32_t below(std::uint32_t bound) {
        return static_cast<std::uint32_t>((next() >> 32) * bound >> 32);
    }

    /// A value in [low, high].
    std::uint32_t between(std::uint32_t low, std::uint32_t high) {
        return low + below(high - low + 1);
    }

  private:
    std::uint64_t state_;
};

// Every high byte that names a portal type, except the fonts' own 0x40, so
// that the font count is exactly the one asked for. 0x07 is the second
// texture prefix.
constexpr std::array<std::uint8_t, 40> kPrefixes = {
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0D, 0x0E, 0x0F, 0x10,
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x20, 0x21, 0x22, 0x23, 0x24,
    0x25, 0x26, 0x27, 0x30, 0x31, 0x32, 0x33, 0x34, 0x38, 0x39, 0x41, 0x42,
};

constexpr std::array<std::string_view, 16> kWords = {
    "portal ", "cell ",  "the ",   "of ",    "glyph ", "surface ", "motion ", "table ",
    "region ", "scene ", "sound ", "model ", "and ",   "palette ", "light ",  "stone ",
};

// Mostly small files, as in a real archive, with a tail up to 4 KiB.
std::size_t pick_size(Rng& rng) {
    const std::uint32_t roll = rng.below(100);
    if (roll < 5) {
        return 0;
    }
    if (roll < 50) {
        return rng.between(1, 256);
    }
    if (roll < 80) {
        return rng.between(257, 1020);
    }
    return rng.between(1021, 4096);
}

void fill_random(Rng& rng, tarnwick_dat::Bytes& out) {
    std::size_t at = 0;
    while (at < out.size()) {
        const std::uint64_t word = rng.next();
        const std::size_t take = std::min<std::size_t>(8, out.size() - at);
        std::memcpy(out.data() + at, &word, take);
        at += take;
    }
}

void fill_text(Rng& rng, tarnwick_dat::Bytes& out) {
    std::size_t at = 0;
    while (at < out.size()) {
        const std::string_view word = kWords[rng.below(static_cast<std::uint32_t>(kWords.size()))];
        const std::size_t take = std::min(word.size(), out.size() - at);
        std::memcpy(out.data() + at, word.data(), take);
        at += take;
    }
}

// Fixed-size records with a counter and a little noise: compressible, but
// not trivially.
void fill_records(Rng& rng, tarnwick_dat::Bytes& out) {
    const std::uint32_t stride = rng.between(4, 24);
    const std::uint64_t noise = rng.next();
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t field = i % stride;
        const std::size_t record = i / stride;
        out[i] = field < 2 ? static_cast<std::uint8_t>(record >> (8 * field))
                           : static_cast<std::uint8_t>(noise >> (8 * (field % 8)));
    }
}

Font make_font(Rng& rng, std::uint32_t id) {
    Font font;
    font.id = id;
    font.max_char_height = rng.between(8, 32);
    font.max_char_width = rng.between(6, 24);
    const std::uint32_t glyphs = rng.between(1, 160);
    font.char_descs.reserve(glyphs);
    for (std::uint32_t j = 0; j < glyphs; ++j) {
        FontCharDesc desc;
        desc.unicode = static_cast<std::uint16_t>(j < 95 ? 0x20 + j : 0xA0 + j);
        desc.offset_x = static_cast<std::uint16_t>((j % 16) * font.max_char_width);
        desc.offset_y = static_cast<std::uint16_t>((j / 16) * font.max_char_height);
        desc.width = static_cast<std::uint8_t>(rng.between(1, font.max_char_width));
        desc.height = static_cast<std::uint8_t>(font.max_char_height);
        desc.horizontal_offset_before =
            static_cast<std::int8_t>(static_cast<int>(rng.between(0, 4)) - 2);
        desc.horizontal_offset_after =
            static_cast<std::int8_t>(static_cast<int>(rng.between(0, 4)) - 2);
        desc.vertical_offset_before =
            static_cast<std::int8_t>(static_cast<int>(rng.between(0, 2)) - 1);
        font.char_descs.push_back(desc);
    }
    font.num_horizontal_border_pixels = rng.below(3);
    font.num_vertical_border_pixels = rng.below(3);
    font.baseline_offset = static_cast<std::int32_t>(font.max_char_height * 3 / 4) -
                           static_cast<std::int32_t>(rng.below(2) * font.max_char_height);
    font.foreground_surface_data_id = 0x06001000 + 2 * (id & 0xFFFF);
    font.background_surface_data_id = font.foreground_surface_data_id + 1;
    return font;
}

FileOptions file_options(Rng& rng, bool compress) {
    FileOptions options;
    options.compress = compress;
    // Real archives set further flag bits; they must not read as compression.
    options.extra_flags = rng.below(4) == 0 ? 0x00020000 : 0;
    options.timestamp = 0x5F000000 + rng.below(0x01000000);
    options.version = rng.between(1, 4);
    return options;
}

std::size_t auto_entries_per_node(std::size_t files) {
    return std::clamp<std::size_t>(files / 6, 3, tarnwick_dat::kMaxNodeEntries);
}

void check(const SampleOptions& options) {
    if (options.fonts > options.files) {
        throw std::invalid_argument("a sample cannot hold more fonts than files");
    }
    if (options.files > kMaxSampleFiles) {
        throw std::invalid_argument("a sample holds at most 500000 files");
    }
    if (options.entries_per_node > tarnwick_dat::kMaxNodeEntries) {
        throw std::invalid_argument("a directory node holds at most 61 entries");
    }
}

// Adds the sample's files to `builder` (an ArchiveBuilder or an
// ArchiveStream, which lay them out alike).
template <typename Builder>
void generate(const SampleOptions& options, Builder& builder) {
    Rng rng(options.seed);
    HeaderFields& header = builder.header();
    header.magic = 0x5442;
    header.dataset = 1;
    header.subset = 0;
    header.engine_version = rng.between(1, 30);
    header.game_version = rng.between(1, 1000);
    header.master_map_id = 0x78000000;
    header.version_minor = rng.between(1, 9000);
    for (std::uint8_t& byte : header.version_string) {
        byte = static_cast<std::uint8_t>(rng.next());
    }
    builder.directory(DirectoryOptions{options.entries_per_node != 0
                                           ? options.entries_per_node
                                           : auto_entries_per_node(options.files),
                                       {}});

    for (std::size_t k = 0; k < options.fonts; ++k) {
        const auto id = static_cast<std::uint32_t>(kSampleFontIdBase + k);
        const Font font = make_font(rng, id);
        // Every third font compressed, so that decoding fonts goes through
        // the decompressor too.
        builder.add_file(id, encode_font(font), file_options(rng, k % 3 == 1));
    }

    // Each prefix counts its own ids upward in small random steps, which
    // keeps ids unique; the steps stay far below the 24 bits a prefix owns.
    std::array<std::uint32_t, kPrefixes.size()> next_low{};
    tarnwick_dat::Bytes contents;
    for (std::size_t i = options.fonts; i < options.files; ++i) {
        const std::uint32_t which = rng.below(static_cast<std::uint32_t>(kPrefixes.size()));
        next_low[which] += rng.between(1, 8);
        const std::uint32_t id =
            static_cast<std::uint32_t>(kPrefixes[which]) << 24 | (next_low[which] & 0x00FFFFFF);
        contents.resize(pick_size(rng));
        switch (rng.below(3)) {
            case 0:
                fill_random(rng, contents);
                break;
            case 1:
                fill_text(rng, contents);
                break;
            default:
                fill_records(rng, contents);
                break;
        }
        builder.add_file(id, contents, file_options(rng, rng.below(5) == 0));
    }
}

}  // namespace

ArchiveBuilder sample_archive(const SampleOptions& options) {
    check(options);
    ArchiveBuilder builder(1024);
    generate(options, builder);
    return builder;
}

Bytes build_sample_archive(const SampleOptions& options) {
    return sample_archive(options).build();
}

tarnwick_dat::Result<void, tarnwick_dat::IoError> write_sample_archive(
    const std::filesystem::path& path, const SampleOptions& options) {
    check(options);
    ArchiveStream stream(path, 1024);
    generate(options, stream);
    return stream.finish();
}

Bytes build_merged_tail_archive(std::uint32_t entries, std::uint32_t tail_blocks) {
    if (entries == 0 || entries > 61 || tail_blocks == 0) {
        throw std::invalid_argument("a merged tail needs 1 to 61 entries and a tail");
    }
    RawArchive archive(5);
    const std::uint32_t tail = archive.write_chain(Bytes(tail_blocks, 0x5A), scattered());
    NodeSpec root;
    for (std::uint32_t k = 0; k < entries; ++k) {
        const std::uint32_t head = archive.write_chain(Bytes{static_cast<std::uint8_t>(k)});
        archive.write_u32_at(head, tail);
        root.entries.push_back(
            tarnwick_dat::DatFileEntry{0, 0x06000000 + k, head, tail_blocks + 1, 0, 0});
    }
    archive.header.root_offset = archive.write_node(root);
    return archive.build();
}

}  // namespace tarnwick_dat_writer
