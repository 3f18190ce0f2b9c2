// What the end-to-end tests of the tarnwick-dat executable share: running the
// tool, temporary directories, file helpers and the archives the tests build.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <tarnwick_dat_writer/sample_archive.hpp>
#include <vector>

namespace tarnwick_dat_cli_test {

namespace fs = std::filesystem;
using nlohmann::json;
using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatFileType;
using tarnwick_dat::DatKind;
using tarnwick_dat::file_type::font::Font;
using tarnwick_dat::file_type::font::FontCharDesc;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::NodeSpec;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::SampleOptions;
using tarnwick_dat_writer::TempArchiveFile;

/// A directory of its own for each test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string name = (fs::temp_directory_path() / "tarnwick-dat-cli-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary directory");
        }
        path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

/// The whole content of a file, as text ("" when it cannot be read).
std::string read_text(const fs::path& path);

/// The whole content of a file, as bytes.
Bytes read_bytes(const fs::path& path);

/// Writes `bytes` as the whole content of the file at `path`.
void write_bytes(const fs::path& path, const std::string& bytes);

/// The bytes as a string, one char per byte.
std::string as_text(const Bytes& bytes);

/// How a run of the tool ended: its exit status and what it wrote.
struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

/// Where a run of the tool works and writes, when not the defaults.
struct RunPlace {
    /// The working directory (empty: this process's).
    fs::path cwd;
    /// Standard output goes here (e.g. a terminal) instead of a file.
    fs::path stdout_to;
};

/// Runs the tool with `args`, feeding `input` on standard input. Output goes
/// through files, so that large outputs cannot block the child.
ToolRun run_tool(const std::vector<std::string>& args, const std::string& input = "",
                 const RunPlace& place = {});

/// The number of '\n' in `text`.
std::size_t count_lines(const std::string& text);

/// The failure shape every read error must have: status 1, nothing on
/// standard output, exactly one "error: " line on standard error.
void expect_one_error_line(const ToolRun& run, const std::string& expected_start);

/// A font `id` with `glyphs` glyphs and fixed, recognisable field values
/// (the signed ones negative).
Font make_font(std::uint32_t id, std::size_t glyphs);

/// The characters of `text` as bytes.
Bytes text_bytes(std::string_view text);

/// `length` bytes of a fixed, varied pattern.
Bytes pattern(std::size_t length);

/// A small hand-made portal archive whose every entry the tests know.
struct HandArchive {
    Font font = make_font(0x40000002, 3);
    std::map<std::uint32_t, Bytes> contents = {
        {0x01000001, text_bytes("hello")},
        {0x40000002, tarnwick_dat_writer::encode_font(make_font(0x40000002, 3))},
        {0x06000010, pattern(3000)},
        {0x0B000001, {}},
        {0x0E00FFFF, text_bytes("table")},
    };
    std::set<std::uint32_t> compressed = {0x40000002, 0x06000010};
    tarnwick_dat_writer::Layout layout;
    Bytes image;

    HandArchive() {
        ArchiveBuilder builder;
        builder.header().engine_version = 22;
        builder.header().game_version = 333;
        builder.header().master_map_id = 0x78000001;
        builder.header().version_minor = 4444;
        builder.header().free_count = 5;
        for (std::size_t i = 0; i < 16; ++i) {
            builder.header().version_string[i] = static_cast<std::uint8_t>(0xA0 + i);
        }
        // Two entries per node: a directory of several levels.
        builder.directory({2, {}});
        for (const auto& [id, bytes] : contents) {
            FileOptions options;
            options.compress = compressed.count(id) != 0;
            // One plausible Unix time (2020-09-13T12:26:40Z); the others are
            // small numbers that read as no time at all.
            options.timestamp = id == 0x40000002 ? 1600000000 : 1000 + (id & 0xFF);
            options.version = 3;
            options.extra_flags = id == 0x0B000001 ? 0x20000 : 0;
            builder.add_file(id, bytes, options);
        }
        layout = builder.layout();
        image = layout.archive.build();
    }

    const tarnwick_dat::DatFileEntry& entry(std::uint32_t id) const {
        for (const auto& e : layout.entries) {
            if (e.id == id) {
                return e;
            }
        }
        throw std::runtime_error("no such entry");
    }
};

/// The files (not directories) below `root`, as paths relative to it.
std::set<std::string> files_under(const fs::path& root);

/// A damaged compressed file: flagged compressed, its stream cut in half.
ArchiveBuilder archive_with_a_cut_stream();

}  // namespace tarnwick_dat_cli_test
