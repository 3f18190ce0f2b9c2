// End-to-end tests of the tarnwick-dat executable on archives made by the
// writer, plus the writer's font encoder and sample generator that the tool
// and these tests rely on.

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <tarnwick_dat_writer/sample_archive.hpp>
#include <tuple>
#include <vector>

extern char** environ;

namespace {

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

// ---------------------------------------------------------------- helpers

// A directory of its own for each test, removed afterwards.
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

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes read_bytes(const fs::path& path) {
    const std::string text = read_text(path);
    return Bytes(text.begin(), text.end());
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string as_text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args`, feeding `input` on standard input. Output goes
// through files, so that large outputs cannot block the child.
ToolRun run_tool(const std::vector<std::string>& args, const std::string& input = "") {
    const TempDir dir;
    const fs::path in = dir.path() / "stdin";
    const fs::path out = dir.path() / "stdout";
    const fs::path err = dir.path() / "stderr";
    write_bytes(in, input);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words = {TARNWICK_DAT_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, TARNWICK_DAT_TOOL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ToolRun run;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << TARNWICK_DAT_TOOL;
        return run;
    }
    int wait_status = 0;
    while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    // A crash shows as a status no command returns on purpose.
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.out = read_text(out);
    run.err = read_text(err);
    return run;
}

std::size_t count_lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The failure shape every read error must have: status 1, nothing on
// standard output, exactly one "error: " line on standard error.
void expect_one_error_line(const ToolRun& run, const std::string& expected_start) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("error: " + expected_start, 0), 0u) << run.err;
}

Font make_font(std::uint32_t id, std::size_t glyphs) {
    Font font;
    font.id = id;
    font.max_char_height = 18;
    font.max_char_width = 11;
    for (std::size_t i = 0; i < glyphs; ++i) {
        FontCharDesc desc;
        desc.unicode = static_cast<std::uint16_t>(0x41 + i);
        desc.offset_x = static_cast<std::uint16_t>(300 + 11 * i);
        desc.offset_y = static_cast<std::uint16_t>(0x1234 + i);
        desc.width = static_cast<std::uint8_t>(200 + i);
        desc.height = 18;
        desc.horizontal_offset_before = static_cast<std::int8_t>(-1 - static_cast<int>(i));
        desc.horizontal_offset_after = 2;
        desc.vertical_offset_before = -128;
        font.char_descs.push_back(desc);
    }
    font.num_horizontal_border_pixels = 1;
    font.num_vertical_border_pixels = 2;
    font.baseline_offset = -7;
    font.foreground_surface_data_id = 0x06000F00;
    font.background_surface_data_id = 0x06000F01;
    return font;
}

Bytes text_bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 5));
    }
    return bytes;
}

// A small hand-made portal archive whose every entry the tests know.
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
            options.timestamp = 1000 + (id & 0xFF);
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

// -------------------------------------------------------- help and usage

TEST(ToolHelp, ToolAndEveryCommandExplainThemselves) {
    const ToolRun tool = run_tool({"--help"});
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(tool.err, "");
    EXPECT_EQ(tool.out.rfind("tarnwick-dat " TARNWICK_DAT_VERSION ": ", 0), 0u) << tool.out;
    struct Case {
        const char* command;
        const char* usage;
    };
    const Case cases[] = {
        {"info", "info ARCHIVE [--json]"},
        {"ls", "ls ARCHIVE [--type TYPE] [--json]"},
        {"cat", "cat ARCHIVE ID"},
        {"extract", "extract ARCHIVE DIR [--type TYPE]"},
        {"font", "font ARCHIVE ID [--json]"},
        {"classify", "classify ID [--kind portal|cell|local|unknown]"},
        {"lrs", "lrs decompress|compress [IN [OUT]]"},
        {"sample", "sample OUT [--files N] [--fonts N] [--seed S]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_NE(tool.out.find(fmt::format("\n  {:<10}", c.command)), std::string::npos);
        for (const char* flag : {"--help", "-h"}) {
            const ToolRun help = run_tool({c.command, flag});
            EXPECT_EQ(help.status, 0);
            EXPECT_EQ(help.err, "");
            EXPECT_EQ(help.out.rfind(fmt::format("Usage: tarnwick-dat {}\n", c.usage), 0), 0u)
                << help.out;
        }
        EXPECT_EQ(run_tool({"help", c.command}).out, run_tool({c.command, "--help"}).out);
    }
    // The commands that filter by type list every type name.
    const ToolRun ls_help = run_tool({"ls", "--help"});
    for (const char* type : {"Model", "Font", "DatabaseProperties", "Iteration", "Unknown"}) {
        EXPECT_NE(ls_help.out.find(fmt::format(" {}", type)), std::string::npos) << type;
    }
}

TEST(ToolHelp, VersionIsTheProjectVersion) {
    for (const char* flag : {"--version", "-V"}) {
        const ToolRun run = run_tool({flag});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "tarnwick-dat " TARNWICK_DAT_VERSION "\n");
        EXPECT_EQ(run.err, "");
    }
}

TEST(ToolUsage, MalformedCommandLinesExitWithTwo) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{}, ""},
        {{"frobnicate"}, "error: unknown command 'frobnicate'\n"},
        {{"--frobnicate"}, "error: unknown option '--frobnicate'\n"},
        {{"ls"}, "error: missing arguments\n"},
        {{"ls", a, "extra"}, "error: unexpected argument 'extra'\n"},
        {{"ls", a, "--verbose"}, "error: unknown option '--verbose'\n"},
        {{"ls", a, "--type"}, "error: option '--type' needs a value (TYPE)\n"},
        {{"ls", a, "--type", "Fnt"}, "error: unknown file type 'Fnt' (see --help for the names)\n"},
        {{"ls", a, "--json=yes"}, "error: option '--json' takes no value\n"},
        {{"cat", a}, "error: missing arguments\n"},
        {{"cat", a, "0x"}, "error: invalid file id '0x'"},
        {{"cat", a, "0x123456789"}, "error: invalid file id '0x123456789'"},
        {{"cat", a, "4294967296"}, "error: invalid file id '4294967296'"},
        {{"cat", a, "+5"}, "error: invalid file id '+5'"},
        {{"cat", a, "0x4000000G"}, "error: invalid file id '0x4000000G'"},
        {{"cat", a, " 12"}, "error: invalid file id ' 12'"},
        {{"font", a, "twelve"}, "error: invalid file id 'twelve'"},
        {{"classify", "1", "--kind", "attic"}, "error: unknown archive kind 'attic'"},
        {{"lrs", "squash"}, "error: unknown lrs mode 'squash'"},
        {{"lrs", "compress", "-", "-", "-"}, "error: unexpected argument '-'\n"},
        {{"sample", "x.dat", "--files", "3", "--fonts", "4"}, "error: --fonts (4) exceeds"},
        {{"sample", "x.dat", "--files", "-3"}, "error: invalid file count '-3'"},
        {{"sample", "x.dat", "--files", "500001"}, "error: invalid file count '500001'"},
        {{"sample", "x.dat", "--seed", "18446744073709551616"}, "error: invalid seed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists("x.dat"));
}

// ------------------------------------------------------------------ info

TEST(ToolInfo, TextShowsEveryHeaderFieldKindAndCount) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const auto& h = hand.layout.archive.header;
    const std::string expected = fmt::format(
        "magic:          0x00005442\n"
        "block_size:     1024\n"
        "file_size:      {}\n"
        "dataset:        1\n"
        "subset:         0\n"
        "free_head:      0\n"
        "free_tail:      0\n"
        "free_count:     5\n"
        "root_offset:    {}\n"
        "new_lru:        0\n"
        "old_lru:        0\n"
        "use_lru:        0\n"
        "master_map_id:  0x78000001\n"
        "engine_version: 22\n"
        "game_version:   333\n"
        "version_string: a0a1a2a3a4a5a6a7a8a9aaabacadaeaf\n"
        "version_minor:  4444\n"
        "kind:           Portal\n"
        "file_count:     5\n",
        hand.image.size(), h.root_offset);
    const ToolRun run = run_tool({"info", archive.path().string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected);
}

TEST(ToolInfo, JsonHoldsTheHeaderUnderItsFieldNames) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"info", archive.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc.size(), 3u);
    EXPECT_EQ(doc.at("kind"), "Portal");
    EXPECT_EQ(doc.at("file_count"), 5);
    const json& header = doc.at("header");
    const auto db = DatDatabase::open(archive.path());
    ASSERT_TRUE(db.has_value());
    const tarnwick_dat::DatHeader& h = db->header();
    const std::map<std::string, std::uint32_t> numbers = {
        {"magic", h.magic},
        {"block_size", h.block_size},
        {"file_size", h.file_size},
        {"dataset", h.dataset},
        {"subset", h.subset},
        {"free_head", h.free_head},
        {"free_tail", h.free_tail},
        {"free_count", h.free_count},
        {"root_offset", h.root_offset},
        {"new_lru", h.new_lru},
        {"old_lru", h.old_lru},
        {"use_lru", h.use_lru},
        {"master_map_id", h.master_map_id},
        {"engine_version", h.engine_version},
        {"game_version", h.game_version},
        {"version_minor", h.version_minor},
    };
    EXPECT_EQ(header.size(), 17u);
    for (const auto& [name, value] : numbers) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(header.contains(name));
        EXPECT_TRUE(header.at(name).is_number_unsigned());
        EXPECT_EQ(header.at(name).get<std::uint32_t>(), value);
    }
    EXPECT_EQ(header.at("magic"), 0x5442);
    EXPECT_EQ(header.at("engine_version"), 22);
    EXPECT_EQ(header.at("version_string"), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
}

TEST(ToolInfo, KindFollowsTheHeader) {
    struct Case {
        std::uint32_t magic;
        std::uint32_t block_size;
        std::uint32_t dataset;
        const char* kind;
    };
    const Case cases[] = {
        {0x5442, 1024, 1, "Portal"},
        {0x5442, 256, 2, "Cell"},
        {0x5442, 1024, 2, "Local"},
        {0, 1024, 1, "Unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        ArchiveBuilder builder(c.block_size);
        builder.header().magic = c.magic;
        builder.header().dataset = c.dataset;
        builder.add_file(0x0101FFFF, text_bytes("x"));
        const TempArchiveFile archive(builder.build());
        const ToolRun run = run_tool({"info", archive.path().string(), "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(json::parse(run.out).at("kind"), c.kind);
    }
}

// -------------------------------------------------------------------- ls

TEST(ToolLs, TextListsEveryEntryAscendingById) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string expected = fmt::format(
        "01000001  Model                         5  stored\n"
        "06000010  Texture              {:>10}  compressed\n"
        "0B000001  Unknown                       0  stored\n"
        "0E00FFFF  Table                         5  stored\n"
        "40000002  Font                 {:>10}  compressed\n",
        hand.entry(0x06000010).size, hand.entry(0x40000002).size);
    const ToolRun run = run_tool({"ls", archive.path().string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected);

    const ToolRun fonts = run_tool({"ls", archive.path().string(), "--type", "font"});
    EXPECT_EQ(fonts.status, 0);
    EXPECT_EQ(fonts.out, fmt::format("40000002  Font                 {:>10}  compressed\n",
                                     hand.entry(0x40000002).size));
    const ToolRun none = run_tool({"ls", archive.path().string(), "--type", "Region"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "");
}

TEST(ToolLs, JsonHoldsEveryEntryField) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"ls", archive.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    ASSERT_TRUE(doc.is_array());
    ASSERT_EQ(doc.size(), hand.layout.entries.size());
    const std::vector<std::string> keys = {"id",   "type",      "bit_flags", "offset",
                                           "size", "timestamp", "version",   "compressed"};
    for (std::size_t i = 0; i < doc.size(); ++i) {
        const json& object = doc[i];
        const tarnwick_dat::DatFileEntry& entry = hand.layout.entries[i];  // ascending by id
        SCOPED_TRACE(fmt::format("{:08X}", entry.id));
        std::vector<std::string> seen;
        for (const auto& item : object.items()) {
            seen.push_back(item.key());
        }
        std::sort(seen.begin(), seen.end());
        std::vector<std::string> wanted = keys;
        std::sort(wanted.begin(), wanted.end());
        EXPECT_EQ(seen, wanted);
        EXPECT_EQ(object.at("id").get<std::uint32_t>(), entry.id);
        EXPECT_EQ(object.at("bit_flags").get<std::uint32_t>(), entry.bit_flags);
        EXPECT_EQ(object.at("offset").get<std::uint32_t>(), entry.offset);
        EXPECT_EQ(object.at("size").get<std::uint32_t>(), entry.size);
        EXPECT_EQ(object.at("timestamp").get<std::uint32_t>(), entry.timestamp);
        EXPECT_EQ(object.at("version").get<std::uint32_t>(), entry.version);
        EXPECT_EQ(object.at("compressed").get<bool>(), hand.compressed.count(entry.id) != 0);
        EXPECT_EQ(
            object.at("type").get<std::string>(),
            tarnwick_dat::name(tarnwick_dat::file_type::from_id_in_dat(entry.id, DatKind::Portal)));
    }
    // A flag bit other than bit 0 is no compression.
    EXPECT_EQ(doc[2].at("bit_flags"), 0x20000);
    EXPECT_EQ(doc[2].at("compressed"), false);

    const ToolRun empty = run_tool({"ls", archive.path().string(), "--type", "Region", "--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(json::parse(empty.out), json::array());
}

TEST(ToolLs, TypesFollowTheArchiveKind) {
    // The same ids in a cell archive and a portal archive.
    for (const auto& [block_size, dataset, kind] :
         {std::tuple{1024u, 1u, DatKind::Portal}, std::tuple{256u, 2u, DatKind::Cell}}) {
        ArchiveBuilder builder(block_size);
        builder.header().dataset = dataset;
        const std::uint32_t ids[] = {0x0101FFFF, 0x0101FFFE, 0x40000012, 0xFFFF0001};
        for (const std::uint32_t id : ids) {
            builder.add_file(id, text_bytes("z"));
        }
        const TempArchiveFile archive(builder.build());
        const ToolRun run = run_tool({"ls", archive.path().string(), "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const json doc = json::parse(run.out);
        ASSERT_EQ(doc.size(), 4u);
        for (const json& object : doc) {
            const auto id = object.at("id").get<std::uint32_t>();
            EXPECT_EQ(object.at("type").get<std::string>(),
                      tarnwick_dat::name(tarnwick_dat::file_type::from_id_in_dat(id, kind)));
        }
        EXPECT_EQ(doc[0].at("type"), kind == DatKind::Cell ? "LandblockInfo" : "Model");
    }
}

TEST(ToolLs, ListsAWholeSampleInOrder) {
    const TempArchiveFile archive(
        tarnwick_dat_writer::build_sample_archive(SampleOptions{400, 9, 5, 0}));
    const ToolRun run = run_tool({"ls", archive.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    ASSERT_EQ(doc.size(), 400u);
    std::size_t fonts = 0;
    for (std::size_t i = 0; i < doc.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(doc[i - 1].at("id").get<std::uint32_t>(),
                      doc[i].at("id").get<std::uint32_t>());
        }
        fonts += doc[i].at("type") == "Font" ? 1 : 0;
    }
    EXPECT_EQ(fonts, 9u);
    const ToolRun text = run_tool({"ls", archive.path().string(), "--type", "Font"});
    EXPECT_EQ(count_lines(text.out), 9u);
}

// ------------------------------------------------------------------- cat

TEST(ToolCat, WritesEachFileDecompressed) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    for (const auto& [id, bytes] : hand.contents) {
        SCOPED_TRACE(fmt::format("{:08X}", id));
        for (const std::string& spelled :
             {fmt::format("0x{:08X}", id), fmt::format("0x{:x}", id), fmt::format("{}", id)}) {
            const ToolRun run = run_tool({"cat", archive.path().string(), spelled});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out, as_text(bytes));
        }
    }
    expect_one_error_line(run_tool({"cat", archive.path().string(), "0xBADF00D"}),
                          "File ID 0BADF00D not found in provider\n");
}

// --------------------------------------------------------------- extract

TEST(ToolExtract, WritesEveryFileUnderItsTypeAndId) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const TempDir dir;
    const fs::path out = dir.path() / "new" / "nested";
    const ToolRun run = run_tool({"extract", archive.path().string(), out.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, fmt::format("extracted 5 of 5 files into {}\n", out.string()));
    std::set<std::string> written;
    for (const auto& item : fs::recursive_directory_iterator(out)) {
        if (item.is_regular_file()) {
            written.insert(fs::relative(item.path(), out).string());
        }
    }
    const std::set<std::string> expected = {
        "Model/01000001.bin", "Texture/06000010.bin", "Unknown/0B000001.bin",
        "Table/0E00FFFF.bin", "Font/40000002.bin",
    };
    EXPECT_EQ(written, expected);
    for (const auto& [id, bytes] : hand.contents) {
        const std::string type(
            tarnwick_dat::name(tarnwick_dat::file_type::from_id_in_dat(id, DatKind::Portal)));
        EXPECT_EQ(read_bytes(out / type / fmt::format("{:08X}.bin", id)), bytes);
    }
}

TEST(ToolExtract, TypeSelectsAndExistingFilesAreReplaced) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const TempDir dir;
    fs::create_directories(dir.path() / "Font");
    write_bytes(dir.path() / "Font" / "40000002.bin", "stale contents, longer than the font");
    const ToolRun run =
        run_tool({"extract", archive.path().string(), dir.path().string(), "--type", "Font"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_bytes(dir.path() / "Font" / "40000002.bin"), hand.contents.at(0x40000002));
    std::size_t entries = 0;
    for (const auto& item : fs::recursive_directory_iterator(dir.path())) {
        (void)item;
        ++entries;
    }
    EXPECT_EQ(entries, 2u);  // Font/ and its one file
}

TEST(ToolExtract, NeverWritesOutsideTheDirectory) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    struct Case {
        const char* name;
        // Prepares DIR (and the outside directory) before extracting.
        void (*prepare)(const fs::path& dir, const fs::path& outside);
    };
    const Case cases[] = {
        {"type directory is a symbolic link",
         [](const fs::path& dir, const fs::path& outside) {
             fs::create_directories(dir);
             fs::create_directory_symlink(outside, dir / "Font");
         }},
        {"target file is a symbolic link",
         [](const fs::path& dir, const fs::path& outside) {
             fs::create_directories(dir / "Font");
             fs::create_symlink(outside / "victim", dir / "Font" / "40000002.bin");
         }},
        {"type name is taken by a file",
         [](const fs::path& dir, const fs::path&) {
             fs::create_directories(dir);
             write_bytes(dir / "Font", "not a directory");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir root;
        const fs::path dir = root.path() / "out";
        const fs::path outside = root.path() / "outside";
        fs::create_directories(outside);
        c.prepare(dir, outside);
        const ToolRun run =
            run_tool({"extract", archive.path().string(), dir.string(), "--type", "Font"});
        expect_one_error_line(run, "cannot ");
        EXPECT_TRUE(fs::is_empty(outside));
        EXPECT_FALSE(fs::exists(outside / "victim"));
    }
}

TEST(ToolExtract, ADamagedFileIsReportedAndTheRestExtracted) {
    // Two good files, and one whose chain points past the end of the file.
    ArchiveBuilder builder;
    builder.add_file(0x01000001, text_bytes("one"));
    builder.add_file(0x01000003, text_bytes("three"));
    tarnwick_dat::DatFileEntry broken;
    broken.id = 0x01000002;
    broken.offset = 0x7FFFFC00;
    broken.size = 10;
    builder.add_entry(broken);
    const TempArchiveFile archive(builder.build());
    const TempDir dir;
    const ToolRun run = run_tool({"extract", archive.path().string(), dir.path().string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "error: IO error: failed to fill whole buffer\n");
    EXPECT_EQ(run.out, fmt::format("extracted 2 of 3 files into {}\n", dir.path().string()));
    EXPECT_EQ(read_text(dir.path() / "Model" / "01000001.bin"), "one");
    EXPECT_EQ(read_text(dir.path() / "Model" / "01000003.bin"), "three");
    EXPECT_FALSE(fs::exists(dir.path() / "Model" / "01000002.bin"));
}

// ------------------------------------------------------------------ font

TEST(ToolFont, JsonHoldsEveryFieldOfTheRecord) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"font", archive.path().string(), "0x40000002", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    const Font& font = hand.font;
    EXPECT_EQ(doc.size(), 9u);
    EXPECT_EQ(doc.at("id"), font.id);
    EXPECT_EQ(doc.at("max_char_height"), font.max_char_height);
    EXPECT_EQ(doc.at("max_char_width"), font.max_char_width);
    EXPECT_EQ(doc.at("num_horizontal_border_pixels"), font.num_horizontal_border_pixels);
    EXPECT_EQ(doc.at("num_vertical_border_pixels"), font.num_vertical_border_pixels);
    EXPECT_EQ(doc.at("baseline_offset"), -7);
    EXPECT_EQ(doc.at("foreground_surface_data_id"), font.foreground_surface_data_id);
    EXPECT_EQ(doc.at("background_surface_data_id"), font.background_surface_data_id);
    const json& descs = doc.at("char_descs");
    ASSERT_EQ(descs.size(), font.char_descs.size());
    for (std::size_t i = 0; i < descs.size(); ++i) {
        const FontCharDesc& d = font.char_descs[i];
        EXPECT_EQ(descs[i].size(), 8u);
        EXPECT_EQ(descs[i].at("unicode"), d.unicode);
        EXPECT_EQ(descs[i].at("offset_x"), d.offset_x);
        EXPECT_EQ(descs[i].at("offset_y"), d.offset_y);
        EXPECT_EQ(descs[i].at("width"), d.width);
        EXPECT_EQ(descs[i].at("height"), d.height);
        EXPECT_EQ(descs[i].at("horizontal_offset_before"), d.horizontal_offset_before);
        EXPECT_EQ(descs[i].at("horizontal_offset_after"), d.horizontal_offset_after);
        EXPECT_EQ(descs[i].at("vertical_offset_before"), -128);
    }
}

TEST(ToolFont, TextShowsFieldsAndGlyphs) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"font", archive.path().string(), "1073741826"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "id:                           0x40000002\n"
              "max_char_height:              18\n"
              "max_char_width:               11\n"
              "num_char_descs:               3\n"
              "num_horizontal_border_pixels: 1\n"
              "num_vertical_border_pixels:   2\n"
              "baseline_offset:              -7\n"
              "foreground_surface_data_id:   0x06000F00\n"
              "background_surface_data_id:   0x06000F01\n"
              "char_descs:\n"
              "  unicode  offset_x  offset_y  width  height  h_before  h_after  v_before\n"
              "  U+0041       300      4660    200      18        -1        2      -128\n"
              "  U+0042       311      4661    201      18        -2        2      -128\n"
              "  U+0043       322      4662    202      18        -3        2      -128\n");
}

TEST(ToolFont, BytesThatAreNoFontGiveOneErrorLine) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    // "hello" holds the id and one byte of max_char_height.
    expect_one_error_line(
        run_tool({"font", archive.path().string(), "0x01000001"}),
        "Binary read error: failed to fill whole buffer (While parsing field 'max_char_height' "
        "in Font)\n");
    expect_one_error_line(run_tool({"font", archive.path().string(), "0x40000009"}),
                          "File ID 40000009 not found in provider\n");
}

// -------------------------------------------------------------- classify

TEST(ToolClassify, ByIdAloneAndByKind) {
    struct Case {
        const char* id;
        const char* kind;  // nullptr: by the id alone
        const char* type;
    };
    const Case cases[] = {
        {"0x40000012", nullptr, "Font"},
        {"0x40000012", "portal", "Font"},
        {"0x40000012", "cell", "IndoorCell"},
        {"0x40000000", "Cell", "Unknown"},
        {"0x0100FFFF", nullptr, "Landblock"},
        {"0x0100FFFF", "local", "Model"},
        {"0x0100FFFE", "unknown", "LandblockInfo"},
        {"0x07000001", nullptr, "Texture"},
        {"0x0B000001", "PORTAL", "Unknown"},
        {"0x0B000001", nullptr, "IndoorCell"},
        {"4294901761", "cell", "Iteration"},
        {"0", nullptr, "Unknown"},
        {"0x78000000", nullptr, "DatabaseProperties"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"classify", c.id};
        if (c.kind != nullptr) {
            args.push_back("--kind");
            args.push_back(c.kind);
        }
        SCOPED_TRACE(fmt::format("{}", fmt::join(args, " ")));
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, std::string(c.type) + "\n");
    }
}

// ------------------------------------------------------------------- lrs

TEST(ToolLrs, DecodesAKnownPayload) {
    const std::string payload(
        "\x09\x00\x00\x00\x10"
        "abc\x03\x04",
        10);
    const ToolRun run = run_tool({"lrs", "decompress"}, payload);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "abcabcabc");
}

TEST(ToolLrs, RoundTripsThroughFilesAndStreams) {
    const TempDir dir;
    std::string original;
    for (int i = 0; i < 5000; ++i) {
        original += fmt::format("line {} of the portal {}\n", i % 37, i % 5);
    }
    original += std::string("\x00\xFF\x80", 3);
    write_bytes(dir.path() / "plain", original);
    const std::string plain = (dir.path() / "plain").string();
    const std::string packed = (dir.path() / "packed").string();
    const std::string back = (dir.path() / "back").string();

    ASSERT_EQ(run_tool({"lrs", "compress", plain, packed}).status, 0);
    const Bytes payload = read_bytes(packed);
    EXPECT_EQ(payload, tarnwick_dat_writer::compress_lrs(text_bytes(original)));
    EXPECT_LT(payload.size(), original.size());
    ASSERT_EQ(run_tool({"lrs", "decompress", packed, back}).status, 0);
    EXPECT_EQ(read_text(back), original);

    const ToolRun packed_stream = run_tool({"lrs", "compress"}, original);
    EXPECT_EQ(packed_stream.status, 0);
    EXPECT_EQ(packed_stream.out, as_text(payload));
    const ToolRun back_stream = run_tool({"lrs", "decompress", "-", "-"}, packed_stream.out);
    EXPECT_EQ(back_stream.status, 0);
    EXPECT_EQ(back_stream.out, original);

    const ToolRun empty = run_tool({"lrs", "compress"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(run_tool({"lrs", "decompress"}, empty.out).out, "");
}

TEST(ToolLrs, UnreadableInputOrOutputExitsWithOne) {
    const TempDir dir;
    expect_one_error_line(run_tool({"lrs", "decompress", (dir.path() / "missing").string()}),
                          "cannot open '");
    expect_one_error_line(
        run_tool({"lrs", "compress", "-", (dir.path() / "no" / "such" / "dir").string()}, "abc"),
        "cannot create '");
}

// ------------------------------------------------------- damaged archives

TEST(ToolDamage, DamagedArchivesGiveOneErrorLine) {
    const HandArchive hand;
    struct Case {
        const char* name;
        Bytes image;
        const char* error;
    };
    std::vector<Case> cases;
    cases.push_back({"header cut short", Bytes(hand.image.begin(), hand.image.begin() + 399),
                     "Binary read error: failed to fill whole buffer (While parsing field "
                     "'version_minor' in DatHeader)\n"});
    cases.push_back({"only the first bytes", Bytes(hand.image.begin(), hand.image.begin() + 330),
                     "Binary read error: failed to fill whole buffer (While parsing field "
                     "'file_size' in DatHeader)\n"});
    cases.push_back({"empty file", Bytes{}, "Binary read error: "});
    {
        // The root node comes last in the file: cutting the file cuts it.
        Bytes cut(hand.image.begin(), hand.image.end() - 600);
        cases.push_back({"directory cut short", cut, "IO error: failed to fill whole buffer\n"});
    }
    {
        RawArchive raw;
        NodeSpec node;
        tarnwick_dat::DatFileEntry entry;
        entry.id = 0x01000001;
        node.entries.push_back(entry);
        const std::uint32_t root = raw.write_node(node);
        raw.set_branch(root, 0, root);
        raw.header.root_offset = root;
        cases.push_back({"directory loop", raw.build(), "Corruption detected: "});
    }
    {
        RawArchive raw;
        raw.header.block_size = 4;
        cases.push_back({"block size of 4", raw.build(), "Corruption detected: "});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.image);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"info", archive.path().string()},
              {"ls", archive.path().string(), "--json"},
              {"cat", archive.path().string(), "0x01000001"},
              {"extract", archive.path().string(), archive.path().string() + ".out"},
              {"font", archive.path().string(), "0x40000002"}}) {
            SCOPED_TRACE(args[0]);
            expect_one_error_line(run_tool(args), c.error);
            EXPECT_FALSE(fs::exists(archive.path().string() + ".out"));
        }
    }
}

TEST(ToolDamage, MissingOrUnreadableArchive) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.dat").string();
    expect_one_error_line(run_tool({"info", missing}),
                          fmt::format("Failed to open file at {}: ", missing));
    // A directory opens but cannot be read.
    expect_one_error_line(run_tool({"ls", dir.path().string()}), "");
}

TEST(ToolDamage, AFileBeyondTheEndFailsOnlyThatFile) {
    ArchiveBuilder builder;
    builder.add_file(0x01000001, text_bytes("fine"));
    tarnwick_dat::DatFileEntry broken;
    broken.id = 0x40000005;
    broken.offset = 0x10000000;
    broken.size = 50;
    broken.bit_flags = 1;
    builder.add_entry(broken);
    const TempArchiveFile archive(builder.build());
    // Listing never touches file bodies.
    const ToolRun ls = run_tool({"ls", archive.path().string()});
    EXPECT_EQ(ls.status, 0);
    EXPECT_EQ(count_lines(ls.out), 2u);
    EXPECT_EQ(run_tool({"info", archive.path().string()}).status, 0);
    EXPECT_EQ(run_tool({"cat", archive.path().string(), "0x01000001"}).out, "fine");
    for (const char* command : {"cat", "font"}) {
        expect_one_error_line(run_tool({command, archive.path().string(), "0x40000005"}),
                              "IO error: failed to fill whole buffer\n");
    }
}

// ---------------------------------------------------------------- sample

TEST(ToolSample, WritesTheArchiveTheGeneratorBuilds) {
    const TempDir dir;
    const fs::path out = dir.path() / "portal.dat";
    const ToolRun run =
        run_tool({"sample", out.string(), "--files", "150", "--fonts", "7", "--seed", "42"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              fmt::format("wrote {}: 150 files, 7 of them fonts, seed 42\n", out.string()));
    EXPECT_EQ(read_bytes(out),
              tarnwick_dat_writer::build_sample_archive(SampleOptions{150, 7, 42, 0}));

    const ToolRun defaults = run_tool({"sample", out.string()});
    ASSERT_EQ(defaults.status, 0) << defaults.err;
    EXPECT_EQ(read_bytes(out), tarnwick_dat_writer::build_sample_archive(SampleOptions{}));

    expect_one_error_line(run_tool({"sample", (dir.path() / "no" / "x.dat").string()}),
                          "cannot write '");
}

// ------------------------------------------------- writer: font encoding

TEST(FontEncoder, EncodesWhatFontReadDecodes) {
    for (const std::size_t glyphs : {0u, 1u, 2u, 57u}) {
        SCOPED_TRACE(glyphs);
        const Font font = make_font(0x40000000u + static_cast<std::uint32_t>(glyphs), glyphs);
        const Bytes bytes = tarnwick_dat_writer::encode_font(font);
        ASSERT_EQ(bytes.size(), 36 + 11 * glyphs);
        // Little-endian id and count at the front.
        EXPECT_EQ(bytes[0], glyphs & 0xFF);
        EXPECT_EQ(bytes[3], 0x40);
        EXPECT_EQ(bytes[12], glyphs);
        tarnwick_dat::ByteReader reader(bytes);
        const auto decoded = Font::read(reader);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded.value(), font);
        EXPECT_EQ(reader.position(), bytes.size());
    }
}

TEST(FontEncoder, SignedFieldsKeepTheirSign) {
    Font font = make_font(0x40000001, 1);
    font.baseline_offset = -2;
    font.char_descs[0].horizontal_offset_after = -1;
    const Bytes bytes = tarnwick_dat_writer::encode_font(font);
    // Glyph bytes: unicode, offset_x, offset_y (2 each), width, height, then
    // the three signed offsets.
    EXPECT_EQ(bytes[16 + 8], 0xFF);   // horizontal_offset_before = -1
    EXPECT_EQ(bytes[16 + 9], 0xFF);   // horizontal_offset_after = -1
    EXPECT_EQ(bytes[16 + 10], 0x80);  // vertical_offset_before = -128
    EXPECT_EQ(bytes[27 + 8], 0xFE);   // baseline_offset = -2, low byte
    EXPECT_EQ(bytes[27 + 11], 0xFF);
}

// ----------------------------------------------- writer: sample archives

TEST(SampleArchive, HoldsTheRequestedWellFormedFiles) {
    const SampleOptions cases[] = {
        {0, 0, 1, 0}, {1, 1, 1, 0}, {1, 0, 2, 0}, {50, 5, 3, 0}, {300, 12, 9, 0}, {700, 40, 4, 61},
    };
    for (const SampleOptions& options : cases) {
        SCOPED_TRACE(
            fmt::format("files {} fonts {} seed {}", options.files, options.fonts, options.seed));
        const TempArchiveFile archive(tarnwick_dat_writer::build_sample_archive(options));
        auto opened = DatDatabase::open(archive.path());
        ASSERT_TRUE(opened.has_value()) << opened.error().display();
        const DatDatabase& db = opened.value();
        EXPECT_EQ(db.dat_kind(), DatKind::Portal);
        EXPECT_EQ(db.header().block_size, 1024u);
        EXPECT_EQ(db.files().size(), options.files);
        std::size_t fonts = 0;
        std::size_t compressed_fonts = 0;
        for (const tarnwick_dat::DatFileEntry& entry : db.files()) {
            const std::uint32_t id = entry.id;
            if (db.file_type(id) != DatFileType::Font) {
                continue;
            }
            ++fonts;
            compressed_fonts += entry.is_compressed() ? 1 : 0;
            SCOPED_TRACE(fmt::format("font {:08X}", id));
            EXPECT_LT(id - tarnwick_dat_writer::kSampleFontIdBase, options.fonts);
            const auto bytes = db.get_file(id);
            ASSERT_TRUE(bytes.has_value());
            tarnwick_dat::ByteReader reader(bytes.value());
            const auto font = Font::read(reader);
            ASSERT_TRUE(font.has_value());
            EXPECT_EQ(font->id, id);
            EXPECT_FALSE(font->char_descs.empty());
            EXPECT_NE(font->max_char_height, 0u);
            EXPECT_NE(font->max_char_width, 0u);
            EXPECT_EQ(bytes->size(), 36 + 11 * font->char_descs.size());
        }
        EXPECT_EQ(fonts, options.fonts);
        if (options.fonts >= 3) {
            EXPECT_GT(compressed_fonts, 0u);
            EXPECT_LT(compressed_fonts, options.fonts);
        }
    }
}

TEST(SampleArchive, IsVariedAndDeepEnoughToExercise) {
    const SampleOptions options{300, 12, 9, 0};
    const auto layout = tarnwick_dat_writer::sample_archive(options).layout();
    // Several directory levels even for a few hundred files.
    EXPECT_GT(layout.node_offsets.size(), 6u);
    std::set<DatFileType> types;
    std::size_t compressed = 0;
    std::size_t empty = 0;
    std::uint32_t largest = 0;
    for (const auto& entry : layout.entries) {
        types.insert(tarnwick_dat::file_type::from_id_in_dat(entry.id, DatKind::Portal));
        compressed += entry.is_compressed() ? 1 : 0;
        empty += entry.size == 0 ? 1 : 0;
        largest = std::max(largest, entry.size);
    }
    EXPECT_GE(types.size(), 25u);
    EXPECT_FALSE(types.count(DatFileType::Unknown));
    EXPECT_GT(compressed, 30u);
    EXPECT_LT(compressed, 150u);
    EXPECT_GT(empty, 0u);
    EXPECT_GT(largest, 2048u);
}

TEST(SampleArchive, TheSeedDecidesTheContents) {
    const Bytes a = tarnwick_dat_writer::build_sample_archive(SampleOptions{80, 4, 1, 0});
    EXPECT_EQ(a, tarnwick_dat_writer::build_sample_archive(SampleOptions{80, 4, 1, 0}));
    EXPECT_NE(a, tarnwick_dat_writer::build_sample_archive(SampleOptions{80, 4, 2, 0}));
}

TEST(SampleArchive, RefusesOptionsItCannotHonour) {
    EXPECT_THROW(tarnwick_dat_writer::sample_archive(SampleOptions{3, 4, 1, 0}),
                 std::invalid_argument);
    EXPECT_THROW(tarnwick_dat_writer::sample_archive(
                     SampleOptions{tarnwick_dat_writer::kMaxSampleFiles + 1, 0, 1, 0}),
                 std::invalid_argument);
    EXPECT_THROW(tarnwick_dat_writer::sample_archive(SampleOptions{10, 0, 1, 62}),
                 std::invalid_argument);
}

}  // namespace
