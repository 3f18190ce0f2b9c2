// Writes the fuzzers' seed inputs: small archives of several shapes made by
// the archive writer, LRS payloads, font records and command lines.
// Usage: make_fuzz_corpus DIR (writes DIR/<fuzzer>/<seed>).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::Bytes;

void put_u32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

Bytes font_record(std::uint32_t id, std::uint32_t glyphs) {
    Bytes out;
    put_u32(out, id);
    put_u32(out, 16);  // max_char_height
    put_u32(out, 12);  // max_char_width
    put_u32(out, glyphs);
    for (std::uint32_t g = 0; g < glyphs; ++g) {
        const std::uint8_t glyph[11] = {static_cast<std::uint8_t>('A' + g), 0, 1, 0, 2, 0, 8,
                                        12, 0xFF, 1, 0};
        out.insert(out.end(), std::begin(glyph), std::end(glyph));
    }
    for (std::uint32_t value : {1u, 1u, 0xFFFFFFFEu, 0x06000001u, 0x06000002u}) {
        put_u32(out, value);
    }
    return out;
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

void archives(const fs::path& dir) {
    using namespace tarnwick_dat_writer;
    // Small blocks keep the seeds small while still giving multi-block chains.
    ArchiveBuilder builder(64);
    builder.directory(DirectoryOptions{.max_entries_per_node = 3, .node_chain = {}});
    builder.add_file(0x40000001, font_record(0x40000001, 3));
    builder.add_file(0x40000002, font_record(0x40000002, 2), FileOptions{.compress = true});
    builder.add_file(0x06000001, text(300), FileOptions{.compress = true});
    builder.add_file(0x0E000001, text(90));
    builder.add_file(0x01000001, Bytes{});
    const Bytes good = builder.build();
    write_seed(dir, "well_formed", good);

    write_seed(dir, "truncated_in_directory", std::span(good).first(good.size() / 2));
    write_seed(dir, "truncated_in_header", std::span(good).first(350));

    RawArchive empty(1024);
    write_seed(dir, "empty_directory", empty.build());

    RawArchive loop(64);
    NodeSpec node;
    node.entries.push_back(DatFileEntry{0, 0x40000003, 0, 0, 0, 0});
    node.branches[0] = 1;  // patched below to point at itself
    const std::uint32_t root = loop.write_node(node);
    loop.set_branch(root, 0, root);
    loop.header.root_offset = root;
    write_seed(dir, "directory_loop", loop.build());
}

void lrs_payloads(const fs::path& dir) {
    write_seed(dir, "text", tarnwick_dat_writer::compress_lrs(text(700)));
    Bytes runs(500, 0xAB);
    runs.insert(runs.end(), 300, 0x00);
    write_seed(dir, "runs", tarnwick_dat_writer::compress_lrs(runs));
    const Bytes overlapping = {0x09, 0, 0, 0, 0x10, 'a', 'b', 'c', 0x03, 0x04};
    write_seed(dir, "overlapping", overlapping);
    const Bytes huge_declared = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 'q', 0x05, 0x01};
    write_seed(dir, "huge_declared", huge_declared);
}

void fonts(const fs::path& dir) {
    write_seed(dir, "three_glyphs", font_record(0x40000001, 3));
    write_seed(dir, "no_glyphs", font_record(0x40000002, 0));
    Bytes cut = font_record(0x40000003, 2);
    cut.resize(52);
    write_seed(dir, "cut_in_glyph", cut);
}

void command_lines(const fs::path& dir) {
    const std::vector<std::string_view> lines = {
        std::string_view("--list"),
        std::string_view("--test-threads\0002\0motion", 17),
        std::string_view("--exact\0--skip\0lookup\0--color=always", 35),
        std::string_view("-q\0--show-output\0--format\0terse", 31),
        std::string_view("--logfile\0/dev/null\0--include-ignored\0--", 39),
        std::string_view("-Z\0unstable-options\0--shuffle-seed=3", 36),
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
    lrs_payloads(root / "lrs_fuzzer");
    fonts(root / "font_fuzzer");
    command_lines(root / "runner_cli_fuzzer");
    return 0;
}
