// Writes the fuzzers' seed inputs: small archives of many shapes made by the
// archive writer (well-formed and damaged), LRS payloads, font records,
// command lines, file ids, errors and archive descriptions. Each seed is at most a
// few KiB.
// Usage: make_fuzz_corpus DIR (writes DIR/<fuzzer>/<seed>).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <vector>

#include "archive_description.hpp"

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::Bytes;
using tarnwick_dat::DatFileEntry;
using namespace tarnwick_dat_writer;

// A font with every kind of field set, signed ones negative, so the seeds
// reach each branch of the record reader.
Bytes font_record(std::uint32_t id, std::uint32_t glyphs) {
    tarnwick_dat::file_type::font::Font font = plain_font(id, glyphs);
    for (auto& desc : font.char_descs) {
        desc.offset_x = 1;
        desc.offset_y = 2;
        desc.horizontal_offset_before = -1;
        desc.horizontal_offset_after = 1;
    }
    font.num_horizontal_border_pixels = 1;
    font.num_vertical_border_pixels = 1;
    font.baseline_offset = -2;
    font.foreground_surface_data_id = 0x06000001;
    font.background_surface_data_id = 0x06000002;
    return encode_font(font);
}

Bytes text(std::size_t length) {
    const std::string_view words = "the quick brown fox jumps over the lazy dog; ";
    Bytes out;
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<std::uint8_t>(words[i % words.size()]));
    }
    return out;
}

void write_seed(const fs::path& dir, const std::string& name, std::span<const std::uint8_t> bytes) {
    fs::create_directories(dir);
    std::ofstream file(dir / name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// Nodes in one contiguous run each: 1716 bytes whatever the block size, so
// that small blocks keep the seeds small.
DirectoryOptions compact_nodes(std::size_t per_node) {
    return DirectoryOptions{per_node, at_most_blocks(1)};
}

DatFileEntry entry(std::uint32_t flags, std::uint32_t id, std::uint32_t offset,
                   std::uint32_t size) {
    return DatFileEntry{flags, id, offset, size, 0, 0};
}

void archives(const fs::path& dir) {
    // Fonts, plain and compressed, and other files spread over several
    // nodes, with file chains of several small blocks.
    ArchiveBuilder builder(64);
    builder.directory(compact_nodes(2));
    builder.add_file(0x40000001, font_record(0x40000001, 3));
    builder.add_file(0x40000002, font_record(0x40000002, 2), compressed());
    builder.add_file(0x06000001, text(300), compressed());
    builder.add_file(0x0E000001, text(90), stored_in(scattered()));
    builder.add_file(0x01000001, Bytes{});
    builder.add_file(0x0A000001, text(40), with_flags(6));
    const Bytes good = builder.build();
    write_seed(dir, "well_formed", good);
    write_seed(dir, "truncated_in_directory", std::span(good).first(good.size() / 2));
    write_seed(dir, "truncated_in_header", std::span(good).first(350));

    // One leaf root, with a chain that goes on past its data and one whose
    // last block is over-long.
    ArchiveBuilder leaf(32);
    leaf.directory(compact_nodes(61));
    leaf.add_file(0x40000010, font_record(0x40000010, 1), stored_in(linked_past_data(0x190)));
    leaf.add_file(0x40000011, font_record(0x40000011, 4), stored_in(at_most_blocks(2)));
    write_seed(dir, "leaf_root", leaf.build());

    RawArchive empty(1024);
    write_seed(dir, "empty_directory", empty.build());

    // A root that is its own child.
    RawArchive loop(64);
    NodeSpec node;
    node.entries.push_back(entry(0, 0x40000003, 0, 0));
    node.branches[0] = 1;  // patched below to point at itself
    const std::uint32_t root = loop.write_node(node, at_most_blocks(1));
    loop.set_branch(root, 0, root);
    loop.header.root_offset = root;
    write_seed(dir, "directory_loop", loop.build());

    // Two slots of one node naming the same child.
    RawArchive shared(64);
    NodeSpec child;
    child.entries.push_back(entry(0, 0x40000004, 0, 0));
    const std::uint32_t child_at = shared.write_node(child, at_most_blocks(1));
    NodeSpec parent;
    parent.entries.push_back(entry(0, 0x40000005, 0, 0));
    parent.branches[0] = child_at;
    parent.branches[1] = child_at;
    shared.header.root_offset = shared.write_node(parent, at_most_blocks(1));
    write_seed(dir, "shared_node", shared.build());

    // A node that claims more entries than fit.
    RawArchive crowded(64);
    NodeSpec full;
    for (std::uint32_t i = 0; i < 3; ++i) {
        full.entries.push_back(entry(0, 0x40000020 + i, 0, 0));
    }
    full.count = 62;
    crowded.header.root_offset = crowded.write_node(full, at_most_blocks(1));
    write_seed(dir, "count_above_61", crowded.build());

    // Entries whose chains lie far beyond the file or declare huge sizes, and
    // a compressed entry whose payload declares 4 GiB.
    RawArchive far(64);
    const Bytes huge_lrs = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 'q', 0x05, 0x01};
    const std::uint32_t lrs_at = far.write_chain(huge_lrs);
    const Bytes huge_font = {1, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint32_t font_at = far.write_chain(huge_font);
    NodeSpec far_node;
    far_node.entries = {
        entry(0, 0x40000030, 0xFFFFFFF0, 16),
        entry(0, 0x40000031, 0x190, 0xFFFFFFFF),
        entry(1, 0x40000032, lrs_at, static_cast<std::uint32_t>(huge_lrs.size())),
        entry(0, 0x40000033, font_at, static_cast<std::uint32_t>(huge_font.size())),
    };
    far.header.root_offset = far.write_node(far_node, at_most_blocks(1));
    write_seed(dir, "far_and_huge", far.build());

    // A header cut inside its version string, and inside its last field.
    write_seed(dir, "truncated_in_version_string", std::span(good).first(0x17C + 5));
    write_seed(dir, "truncated_in_version_minor", std::span(good).first(0x18C + 2));

    // Over 256 entries in no id order, some ids listed twice (in a node and
    // in its child, and twice in one node): the later entry wins and the
    // earlier one is kept as shadowed.
    {
        RawArchive unsorted(64);
        std::uint32_t state = 12345;
        const auto next_id = [&state] {
            state = state * 1103515245u + 12345u;
            return 0x40000000u | (state >> 8);
        };
        std::array<std::uint32_t, 5> children{};
        std::vector<std::uint32_t> listed;
        for (std::uint32_t& subtree : children) {
            NodeSpec full_leaf;
            for (std::size_t i = 0; i < tarnwick_dat::kMaxNodeEntries; ++i) {
                const std::uint32_t id = i % 20 == 19 ? listed[listed.size() / 2] : next_id();
                listed.push_back(id);
                full_leaf.entries.push_back(entry(0, id, 0x190, static_cast<std::uint32_t>(i)));
            }
            subtree = unsorted.write_node(full_leaf, at_most_blocks(1));
        }
        NodeSpec top;
        for (std::size_t i = 0; i < 4; ++i) {
            top.entries.push_back(entry(0, listed[i * 50 + 3], 0x190, 7));
        }
        std::copy(children.begin(), children.end(), top.branches.begin());
        unsorted.header.root_offset = unsorted.write_node(top, at_most_blocks(1));
        write_seed(dir, "unsorted_and_shadowed", unsorted.build());
    }

    // Chains that jump back to a run of adjacent blocks (each read of the
    // run reaching further), or to an over-long last block beyond what one
    // read fetched.
    {
        RawArchive jumps(32);
        const Bytes run_data = text(28 * 6);
        const std::uint32_t run = jumps.write_chain(run_data);
        const std::uint32_t tail = jumps.write_chain(text(500), at_most_blocks(1));
        const auto block_linked_to = [](std::uint32_t link) {
            Bytes block(32, 'h');
            for (int i = 0; i < 4; ++i) {
                block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(link >> (8 * i));
            }
            return block;
        };
        const std::uint32_t to_run = jumps.append_blocks(block_linked_to(run));
        const std::uint32_t to_tail = jumps.append_blocks(block_linked_to(tail));
        NodeSpec jump_node;
        jump_node.entries = {entry(0, 0x0E000001, to_run, 28 + 28 * 6),
                             entry(0, 0x0E000002, to_tail, 28 + 500)};
        jumps.header.root_offset = jumps.write_node(jump_node, at_most_blocks(1));
        write_seed(dir, "chains_jump_back", jumps.build());
    }

    // A header with blocks too small to carry data.
    for (std::uint32_t block_size : {0u, 4u, 5u}) {
        RawArchive tiny(64);
        NodeSpec one;
        one.entries.push_back(entry(0, 0x40000040, 0x190, 8));
        tiny.header.root_offset = tiny.write_node(one, at_most_blocks(1));
        tiny.header.block_size = block_size;
        write_seed(dir, "block_size_" + std::to_string(block_size), tiny.build());
    }
}

// Archives that once cost far more than their size: each fetch must now be
// bounded by the blocks really in the file.
void hostile_archives(const fs::path& dir) {
    // 61 fonts in 5-byte blocks (8 KiB in all), each chain of 20 blocks ending in a loop
    // back into itself, each entry's size the whole archive's length: a
    // reader that follows the loop block by block makes thousands of reads
    // per fetch; one that sees the loop copies it from memory.
    {
        constexpr std::uint32_t kBlocks = 20;
        RawArchive archive(5);
        NodeSpec node;
        for (std::uint32_t k = 0; k < tarnwick_dat::kMaxNodeEntries; ++k) {
            const std::uint32_t id = 0x40000000 + k;
            Bytes font = font_record(id, 4);
            font.resize(kBlocks);  // one payload byte per 5-byte block
            const std::uint32_t start = archive.write_chain(font);
            archive.write_u32_at(start + 5 * (kBlocks - 1), start + 5 * (k % kBlocks));
            node.entries.push_back(entry(k % 10 == 9 ? 1 : 0, id, start, 0));
        }
        const auto length =
            static_cast<std::uint32_t>(archive.size() + tarnwick_dat::kNodeSize + 4);
        for (DatFileEntry& e : node.entries) {
            e.size = length;
        }
        archive.header.root_offset = archive.write_node(node, at_most_blocks(1));
        const Bytes image = archive.build();
        if (image.size() != length) {
            throw std::logic_error("looping_font_chains: the archive's length moved");
        }
        write_seed(dir, "looping_font_chains", image);
    }

    // Entries whose last block claims far more than the file holds: the
    // largest size there is, the file's whole length from a block near its
    // end, and the rest of the length after two linked blocks, stored and
    // compressed.
    {
        RawArchive archive(64);
        const std::uint32_t first = archive.write_chain(text(2000));
        const std::uint32_t short_chain = archive.write_chain(text(150), at_most_blocks(2));
        NodeSpec node;
        const std::uint32_t near_end = archive.write_chain(text(10));
        const auto length =
            static_cast<std::uint32_t>(archive.size() + tarnwick_dat::kNodeSize + 4);
        node.entries = {
            entry(0, 0x40000001, first, 0x7FFFFFFF),
            entry(0, 0x40000002, near_end, length),
            entry(0, 0x40000003, short_chain, length - 64),
            entry(1, 0x40000004, short_chain, length - 64),
            entry(1, 0x40000005, first, 0x7FFFFFFF),
        };
        archive.header.root_offset = archive.write_node(node, at_most_blocks(1));
        write_seed(dir, "last_block_claims_more", archive.build());
    }
}

// Every entry of a full node pointing into one chain (the overlapping-entries
// shape that makes a small archive expand into many copies of its data): each
// fetch costs the chain once.
void overlapping_entries(const fs::path& dir) {
    RawArchive archive(1024);
    const std::uint32_t chain = archive.write_chain(text(6000));
    NodeSpec node;
    for (std::uint32_t k = 0; k < tarnwick_dat::kMaxNodeEntries; ++k) {
        node.entries.push_back(
            entry(k % 7 == 6 ? 1 : 0, 0x06000000 + k, chain + (k % 3) * 1024, 6000 - k * 64));
    }
    archive.header.root_offset = archive.write_node(node, at_most_blocks(1));
    write_seed(dir, "overlapping_entries", archive.build());
}

void lrs_payloads(const fs::path& dir) {
    write_seed(dir, "text", compress_lrs(text(700)));
    Bytes runs(500, 0xAB);
    runs.insert(runs.end(), 300, 0x00);
    write_seed(dir, "runs", compress_lrs(runs));
    const std::vector<std::pair<std::string, Bytes>> payloads = {
        {"overlapping", {0x09, 0, 0, 0, 0x10, 'a', 'b', 'c', 0x03, 0x04}},
        {"end_marker", {0x05, 0, 0, 0, 0x20, 'x', 'y', 0x00, 0x00}},
        {"distance_beyond_output", {0x04, 0, 0, 0, 0x40, 'q', 0x05, 0x01}},
        {"long_far_reference", {0x12, 0, 0, 0, 0x20, 'a', 'b', 0x01, 0xFF}},
        {"cut_reference", {0x05, 0, 0, 0, 0x80, 0x01}},
        {"huge_declared", {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 'q', 0x05, 0x01}},
        {"short", {0xAB, 0xC0}},
    };
    for (const auto& [name, bytes] : payloads) {
        write_seed(dir, name, bytes);
    }
}

void fonts(const fs::path& dir) {
    write_seed(dir, "three_glyphs", font_record(0x40000001, 3));
    write_seed(dir, "no_glyphs", font_record(0x40000002, 0));
    Bytes cut = font_record(0x40000003, 2);
    cut.resize(52);
    write_seed(dir, "cut_in_glyph", cut);
    Bytes huge_count = font_record(0x40000004, 1);
    huge_count[12] = huge_count[13] = huge_count[14] = huge_count[15] = 0xFF;
    write_seed(dir, "huge_count", huge_count);
}

// Runs of ids: the worked examples and edge ids of each classification
// rule, each run led by a header's magic, block size and dataset.
void file_type_ids(const fs::path& dir) {
    const std::vector<std::pair<std::string, std::vector<std::uint32_t>>> runs = {
        {"portal_header_examples",
         {0x5442, 1024, 1, 0x40000012, 0x40000000, 0x0100FFFF, 0x0100FFFE, 0x07000001, 0x0B000001,
          0x0B000000, 0xFFFF0001, 0x78000000}},
        {"cell_header_edges",
         {0x5442, 256, 2, 0, 0xFFFF0000, 0xFFFF0002, 0xFFFF0001, 0x0C00FFFD, 0x7700FFFF, 0x79000001,
          0xFF000000}},
        {"local_header_prefixes",
         {0x5442, 1024, 2, 0x06000000, 0x07000000, 0x0D000000, 0x19000000, 0x1A000000, 0x27000000,
          0x28000000, 0x34000000, 0x35000000, 0x39000000, 0x3A000000, 0x42000000, 0x43000000}},
        {"unknown_header_variants", {0x5443, 256, 2, 0xFFFFFF00, 0xFFFFFF01, 0xFE01, 0xFD, 0xFE}},
    };
    for (const auto& [name, ids] : runs) {
        Bytes bytes;
        for (const std::uint32_t id : ids) {
            for (int i = 0; i < 4; ++i) {
                bytes.push_back(static_cast<std::uint8_t>(id >> (8 * i)));
            }
        }
        write_seed(dir, name, bytes);
    }
}

// Every error variant, with ids, OS error numbers and texts that need
// escaping: quotes, backslashes, control bytes, bytes that are not UTF-8.
void errors(const fs::path& dir) {
    using namespace std::string_view_literals;
    const std::vector<std::string_view> texts = {
        "portal.dat"sv,
        "say \"hi\"\\ now"sv,
        "tab\there\nline\r\0nul\x01\x7f"sv,
        "caf\xc3\xa9 \xff\xfe"sv,
        "/tmp"sv,
        ""sv,
    };
    for (std::uint8_t variant = 0; variant < 12; ++variant) {
        const std::string_view text = texts[variant % texts.size()];
        Bytes bytes = {variant,
                       0x1F,
                       0,
                       0,
                       static_cast<std::uint8_t>(variant * 0x11),
                       static_cast<std::uint8_t>(variant * 11 % 134)};
        bytes.insert(bytes.end(), text.begin(), text.end());
        write_seed(dir, "variant" + std::to_string(variant), bytes);
    }
}

// Archive descriptions for the round trip (archive_description.hpp).
void round_trip_descriptions(const fs::path& dir) {
    using archive_description::Encoder;
    using archive_description::Extras;
    tarnwick_dat::file_type::font::Font font = plain_font(0x40000001, 3);
    font.baseline_offset = -2;
    font.char_descs[1].horizontal_offset_before = -1;

    // A portal archive with 1024-byte blocks: plain, compressed and text
    // files and a font.
    Encoder portal(202, 59, 0, 0x03);
    portal.font(0, 0x40000001, font)
        .data(Encoder::kCompressed, 0x06000001, 3000, 3, 7)
        .data(0, 0x0E000001, 1500, 2, 9)
        .data(0, 0x01000001, 0, 0, 0);
    write_seed(dir, "portal_files", portal.bytes());

    // Small blocks, a deep directory of scattered nodes, chains of every
    // shape: scattered, at most two blocks, linked on past their data.
    Encoder shapes(27, 0, 1, 0x05, 7, 9);
    shapes.data(Encoder::kScattered, 0x0A000001, 200, 1, 3)
        .data(Encoder::kMaxBlocks, 0x0A000002, 300, 3, 1, {}, Extras{1})
        .data(
            Encoder::kLastLink, 0x0A000003, 10, 0, 0,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("0123456789"), 10),
            Extras{0, 0x190})
        .data(Encoder::kCompressed | Encoder::kScattered, 0x0A000004, 900, 1, 200)
        .data(Encoder::kMetadata, 0x0A000005, 40, 3, 2, {}, Extras{0, 0, 0x7F, 0x1234, 7})
        .font(Encoder::kCompressed | Encoder::kMaxBlocks, 0x40000002, font, Extras{2});
    for (std::uint32_t k = 0; k < 8; ++k) {
        shapes.data(0, 0x0B000000 + k, static_cast<std::uint16_t>(k * 13), 2,
                    static_cast<std::uint8_t>(k));
    }
    write_seed(dir, "chain_shapes", shapes.bytes());

    // Scattered chains of at most two blocks: the over-long last block lies
    // before the first, beyond what the first read fetched.
    Encoder scattered_tail(27, 61, 0, 0x01);
    scattered_tail
        .data(Encoder::kScattered | Encoder::kMaxBlocks, 0x0A000001, 1200, 3, 5, {}, Extras{1})
        .data(Encoder::kScattered | Encoder::kMaxBlocks | Encoder::kCompressed, 0x0A000002, 2000, 2,
              6, {}, Extras{1});
    write_seed(dir, "scattered_long_tail", scattered_tail.bytes());

    // 5-byte blocks (one payload byte each), and ids added again: a file
    // replaced by a file, by a font, and by a bare entry.
    Encoder replaced(0, 3, 2, 0x00);
    replaced.data(0, 0x23000001, 40, 3, 1)
        .data(0, 0x23000002, 30, 1, 2)
        .data(Encoder::kCompressed, 0x23000003, 60, 3, 3)
        .data(Encoder::kReuseId, 0, 20, 2, 4)
        .font(Encoder::kReuseId, 1, font)
        .raw_entry(Encoder::kReuseId | Encoder::kMetadata, 2, 0x400, Extras{0, 0, 3, 1, 2});
    write_seed(dir, "replaced_ids", replaced.bytes());

    // A cell archive: 256-byte blocks, dataset 2, landblock ids.
    Encoder cell(200, 10, 0, 0x05);
    for (std::uint32_t k = 0; k < 6; ++k) {
        cell.data(k % 2 == 0 ? 0 : Encoder::kCompressed, 0x0101FFFF + (k << 16), 500, 1,
                  static_cast<std::uint8_t>(k));
        cell.data(0, 0x01010100 + k, 100, 3, static_cast<std::uint8_t>(k));
    }
    write_seed(dir, "cell_archive", cell.bytes());

    // A directory of hundreds of entries, ids in no order and some listed
    // twice (the later one wins), in 1024-byte blocks.
    Encoder many(202, 61, 0, 0x03);
    for (std::uint32_t k = 0; k < 300; ++k) {
        many.raw_entry(0, (k * 2654435761u) ^ 0x5A5A5A5A, 0x190);
    }
    for (std::uint32_t k = 0; k < 20; ++k) {
        many.data(Encoder::kReuseId, k * 7, 16, 3, static_cast<std::uint8_t>(k));
    }
    write_seed(dir, "many_entries", many.bytes());
}

void command_lines(const fs::path& dir) {
    using namespace std::string_view_literals;
    const std::vector<std::string_view> lines = {
        "--list"sv,
        "--test-threads\0002\0motion"sv,
        "--exact\0--skip\0lookup\0--color=always"sv,
        "-q\0--show-output\0--format\0terse"sv,
        "--logfile\0/dev/null\0--include-ignored\0--"sv,
        "-Z\0unstable-options\0--shuffle-seed=3"sv,
        "--help"sv,
        "--ignored\0--include-ignored"sv,
        "--test-threads=0"sv,
        "--format=json\0--color\0sometimes"sv,
        "-h\0--nocapture\0--bench\0--test\0-q"sv,
        "--skip\0a\0--skip=b\0--exact\0--\0--list"sv,
    };
    int index = 0;
    for (std::string_view line : lines) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(line.data());
        write_seed(dir, "line" + std::to_string(index++), std::span(bytes, line.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus DIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    archives(root / "open_archive_fuzzer");
    hostile_archives(root / "open_archive_fuzzer");
    overlapping_entries(root / "open_archive_fuzzer");
    lrs_payloads(root / "lrs_fuzzer");
    fonts(root / "font_fuzzer");
    command_lines(root / "runner_cli_fuzzer");
    file_type_ids(root / "file_type_fuzzer");
    errors(root / "error_fuzzer");
    round_trip_descriptions(root / "archive_round_trip_fuzzer");
    return 0;
}
