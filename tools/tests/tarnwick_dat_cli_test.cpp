// End-to-end tests of the tarnwick-dat executable on archives made by the
// writer, plus the writer's font encoder and sample generator that the tool
// and these tests rely on.

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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
#include <tarnwick_dat/verify.hpp>
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

// Where a run of the tool works and writes, when not the defaults.
struct RunPlace {
    // The working directory (empty: this process's).
    fs::path cwd;
    // Standard output goes here (e.g. a terminal) instead of a file.
    fs::path stdout_to;
};

// Runs the tool with `args`, feeding `input` on standard input. Output goes
// through files, so that large outputs cannot block the child.
ToolRun run_tool(const std::vector<std::string>& args, const std::string& input = "",
                 const RunPlace& place = {}) {
    const TempDir dir;
    const fs::path in = dir.path() / "stdin";
    const fs::path out = place.stdout_to.empty() ? dir.path() / "stdout" : place.stdout_to;
    const fs::path err = dir.path() / "stderr";
    write_bytes(in, input);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(
        &actions, 1, out.c_str(),
        place.stdout_to.empty() ? O_WRONLY | O_CREAT | O_TRUNC : O_WRONLY | O_NOCTTY, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!place.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, place.cwd.c_str());
    }
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
    // A hang fails the test rather than blocking the suite.
    int wait_status = 0;
    for (int waited_ms = 0;; waited_ms += 5) {
        const pid_t done = ::waitpid(pid, &wait_status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            break;
        }
        if (waited_ms > 60'000) {
            ADD_FAILURE() << "the tool did not finish within 60 s";
            ::kill(pid, SIGKILL);
        }
        ::usleep(5000);
    }
    // A crash shows as a status no command returns on purpose.
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.out = place.stdout_to.empty() ? read_text(out) : "";
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
        {"ls",
         "ls ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--sort id|size|type] [-r] [-h] "
         "[--no-header] [--json|--jsonl] [--hash[=xxh3|sha256]]"},
        {"cat", "cat ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--lenient|--raw]"},
        {"extract",
         "extract ARCHIVE [DIR] [ID...] [-C DIR] [--type TYPE]... [-T FILE] [-j N] "
         "[--max-total SIZE] [--lenient|--raw] [--keep-old-files|--skip-old-files] [--flat] "
         "[-q|-v]"},
        {"font", "font ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--json] [--lenient]"},
        {"verify",
         "verify ARCHIVE [ID...] [--type TYPE]... [-T FILE] [--json|--jsonl] [--quiet] [-j N]"},
        {"classify", "classify ID... [--kind portal|cell|local|unknown]"},
        {"lrs", "lrs decompress|compress [IN [OUT]]"},
        {"sample", "sample OUT|- [--files N] [--fonts N] [--seed S]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_NE(tool.out.find(fmt::format("\n  {:<10}", c.command)), std::string::npos);
        for (const char* flag : {"--help", "-h"}) {
            if (std::string_view(c.command) == "ls" && std::string_view(flag) == "-h") {
                continue;  // ls -h: human-readable sizes
            }
            const ToolRun help = run_tool({c.command, flag});
            EXPECT_EQ(help.status, 0);
            EXPECT_EQ(help.err, "");
            EXPECT_EQ(help.out.rfind(fmt::format("Usage: tarnwick-dat {}\n", c.usage), 0), 0u)
                << help.out;
        }
        EXPECT_EQ(run_tool({"help", c.command}).out, run_tool({c.command, "--help"}).out);
        // Every command that takes ids states the one rule for them.
        const bool takes_ids = std::string_view(c.command) != "info" &&
                               std::string_view(c.command) != "lrs" &&
                               std::string_view(c.command) != "sample";
        EXPECT_EQ(run_tool({c.command, "--help"}).out.find("d:1073741825") != std::string::npos,
                  takes_ids);
    }
    EXPECT_NE(tool.out.find("d:1073741825"), std::string::npos);
    // The commands that filter by type list every type name.
    const ToolRun ls_help = run_tool({"ls", "--help"});
    for (const char* type : {"Model", "Font", "DatabaseProperties", "Iteration", "Unknown"}) {
        EXPECT_NE(ls_help.out.find(fmt::format(" {}", type)), std::string::npos) << type;
    }
}

// The words of a shell script: split at blanks, quotes, brackets and '|'.
std::set<std::string> script_words(const std::string& text) {
    std::set<std::string> words;
    std::string word;
    for (const char c : text + " ") {
        if (std::string_view(" \t\n\"'()|;").find(c) != std::string_view::npos) {
            if (!word.empty()) {
                words.insert(word);
            }
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

// True when the troff text names `option` ("--no-header" as "\-\-no\-header")
// as a whole word.
bool manual_names(const std::string& manual, std::string_view option) {
    std::string troff;
    for (const char c : option) {
        troff += c == '-' ? std::string("\\-") : std::string(1, c);
    }
    for (std::size_t at = manual.find(troff); at != std::string::npos;
         at = manual.find(troff, at + 1)) {
        const std::size_t end = at + troff.size();
        if (end == manual.size() || (std::isalnum(static_cast<unsigned char>(manual[end])) == 0 &&
                                     manual.compare(end, 2, "\\-") != 0)) {
            return true;
        }
    }
    return false;
}

// The options a help text's table lists: "  -T,--files-from FILE  ..." and
// "  -h, --help  ..." give -T, --files-from, -h and --help.
std::vector<std::string> listed_options(const std::string& help) {
    std::vector<std::string> options;
    std::size_t start = 0;
    while (start < help.size()) {
        const std::size_t end = std::min(help.find('\n', start), help.size());
        std::string_view line = std::string_view(help).substr(start, end - start);
        start = end + 1;
        if (!line.starts_with("  ")) {
            continue;
        }
        line.remove_prefix(line.find_first_not_of(' '));
        if (!line.starts_with("-")) {
            continue;
        }
        line = line.substr(0, line.find("  "));  // the names' column
        for (std::size_t from = 0; from <= line.size();) {
            const std::size_t comma = std::min(line.find(',', from), line.size());
            std::string_view name = line.substr(from, comma - from);
            name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
            name = name.substr(0, name.find(' '));
            if (name.starts_with("-")) {
                options.emplace_back(name);
            }
            from = comma + 1;
        }
    }
    return options;
}

TEST(ToolHelp, CompletionAndManualPageNameEveryCommandAndOption) {
    const std::set<std::string> completion = script_words(read_text(TARNWICK_DAT_COMPLETION));
    const std::string manual = read_text(TARNWICK_DAT_MANPAGE);
    ASSERT_FALSE(completion.empty());
    ASSERT_FALSE(manual.empty());
    const std::string help = run_tool({"--help"}).out;
    const std::size_t list = help.find("Commands:\n");
    ASSERT_NE(list, std::string::npos);
    std::vector<std::string> commands;
    for (std::size_t at = list + 10; help.compare(at, 2, "  ") == 0; at = help.find('\n', at) + 1) {
        commands.push_back(help.substr(at + 2, help.find(' ', at + 2) - at - 2));
    }
    EXPECT_EQ(commands.size(), 12u) << help;
    for (const std::string& option : listed_options(help)) {
        EXPECT_EQ(completion.count(option), 1u) << option;
        EXPECT_TRUE(manual_names(manual, option)) << option;
    }
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        EXPECT_EQ(completion.count(command), 1u);
        EXPECT_NE(manual.find("\n.B " + command + " "), std::string::npos);
        const std::vector<std::string> options = listed_options(run_tool({command, "--help"}).out);
        EXPECT_FALSE(options.empty());
        for (const std::string& option : options) {
            EXPECT_EQ(completion.count(option), 1u) << option;
            EXPECT_TRUE(manual_names(manual, option)) << option;
        }
    }
    for (const DatFileType type : tarnwick_dat::kAllDatFileTypes) {
        EXPECT_EQ(completion.count(std::string(tarnwick_dat::name(type))), 1u)
            << tarnwick_dat::name(type);
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
        {{"--frobnicate"}, "error: The following argument was not expected: --frobnicate\n"},
        {{"ls"}, "error: ARCHIVE is required\n"},
        {{"ls", a, "extra"}, "error: invalid file id 'extra'"},
        {{"ls", a, "--verbose"}, "error: The following argument was not expected: --verbose\n"},
        {{"ls", a, "--type"}, "error: --type: 1 required TYPE missing\n"},
        {{"ls", a, "--type", "Fnt"}, "error: unknown file type 'Fnt' (see --help for the names)\n"},
        {{"ls", a, "--sort", "name"}, "error: --sort: name not in {id,size,type}\n"},
        {{"cat", a}, "error: nothing selected: give IDs, --type or -T\n"},
        {{"cat", a, "0x"}, "error: invalid file id '0x'"},
        {{"cat", a, ""}, "error: invalid file id ''"},
        {{"cat", a, "123456789"}, "error: invalid file id '123456789'"},
        {{"cat", a, "0x123456789"}, "error: invalid file id '0x123456789'"},
        {{"cat", a, "d:4294967296"}, "error: invalid file id 'd:4294967296'"},
        {{"cat", a, "d:12ab"}, "error: invalid file id 'd:12ab'"},
        {{"cat", a, "0d1073741825"}, "error: invalid file id '0d1073741825'"},
        {{"cat", a, "D:1"}, "error: invalid file id 'D:1'"},
        {{"cat", a, "+5"}, "error: invalid file id '+5'"},
        {{"cat", a, "0x4000000G"}, "error: invalid file id '0x4000000G'"},
        {{"cat", a, " 12"}, "error: invalid file id ' 12'"},
        {{"ls", a, "--json", "--jsonl"}, "error: --json excludes --jsonl\n"},
        {{"verify", a, "--jsonl", "-q"}, "error: --jsonl excludes --quiet\n"},
        {{"diff", a, a, "--jsonl", "--ids"}, "error: --ids excludes --jsonl\n"},
        {{"font", a, "twelve"}, "error: invalid file id 'twelve'"},
        {{"extract", a, ""}, "error: DIR must not be empty\n"},
        {{"extract", a, "out", "--jobs", "0"}, "error: invalid job count '0'"},
        {{"extract", a, "out", "--max-total", "12Q"}, "error: invalid --max-total size '12Q'"},
        {{"extract", a, "out", "-q", "-v"}, "error: --quiet excludes --verbose\n"},
        {{"extract", a, "out", "-C", "other"},
         "error: DIR given twice: 'out' and -C 'other' (with -C, the words after ARCHIVE are "
         "IDs)\n"},
        {{"extract", a, "-C", ""}, "error: DIR must not be empty\n"},
        {{"extract", a, "--keep-old-files", "--skip-old-files"},
         "error: --keep-old-files excludes --skip-old-files\n"},
        {{"classify", "1", "x2", "3"}, "error: invalid file id 'x2'"},
        {{"verify", a, "--json", "-q"}, "error: --json excludes --quiet\n"},
        {{"verify", a, "-j", "0"}, "error: invalid job count '0'"},
        {{"classify", "1", "--kind", "attic"}, "error: unknown archive kind 'attic'"},
        {{"lrs", "squash"}, "error: unknown lrs mode 'squash'"},
        {{"lrs", "compress", "-", "-", "-"}, "error: The following argument was not expected: -\n"},
        {{"sample", "x.dat", "--files", "3", "--fonts", "4"}, "error: --fonts (4) exceeds"},
        {{"sample", "x.dat", "--files", "1x"}, "error: invalid file count '1x'"},
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
        "master_map_id:  78000001\n"
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
        {"engine_version", h.engine_version},
        {"game_version", h.game_version},
        {"version_minor", h.version_minor},
    };
    // Ids are strings of eight upper-case hex digits, as ls prints them.
    EXPECT_EQ(header.at("master_map_id"), "78000001");
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

TEST(ToolLs, TextListsSizesTimesAndTotals) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::uint32_t texture = hand.entry(0x06000010).size;
    const std::uint32_t font = hand.entry(0x40000002).size;
    const std::string texture_line = fmt::format(
        "06000010  Texture              {:>10}        3000  1016                  compressed\n",
        texture);
    const std::string font_line = fmt::format(
        "40000002  Font                 {:>10}          69  2020-09-13T12:26:40Z  compressed\n",
        font);
    const std::string model_line =
        "01000001  Model                         5           5  1001                  stored\n";
    const std::string unknown_line =
        "0B000001  Unknown                       0           0  1001                  stored\n";
    const std::string table_line =
        "0E00FFFF  Table                         5           5  1255                  stored\n";
    const auto totals = [](std::size_t files, std::uint64_t stored, std::uint64_t decoded) {
        return fmt::format("{:<29}  {:>10}  {:>10}\n", fmt::format("total: {} files", files),
                           stored, decoded);
    };
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"ls", a},
         model_line + texture_line + unknown_line + table_line + font_line +
             totals(5, 10 + texture + font, 3079)},
        {{"ls", a, "--sort", "size"},
         texture_line + font_line + model_line + table_line + unknown_line +
             totals(5, 10 + texture + font, 3079)},
        {{"ls", a, "--sort", "type"},
         font_line + model_line + table_line + texture_line + unknown_line +
             totals(5, 10 + texture + font, 3079)},
        // Repeated --type is a union; ids and types combine.
        {{"ls", a, "--type", "font", "--type", "MODEL"},
         model_line + font_line + totals(2, 5 + font, 74)},
        {{"ls", a, "0E00FFFF", "--type", "Font"}, table_line + font_line + totals(2, 5 + font, 74)},
        {{"ls", a, "--type", "Region"}, totals(0, 0, 0)},
        // Ids keep the order given; globs, ranges and types follow ascending.
        {{"ls", a, "40000002", "0E00FFFF", "01000001"},
         font_line + table_line + model_line + totals(3, 10 + font, 79)},
        {{"ls", a, "40000002", "--type", "Table,model"},
         font_line + model_line + table_line + totals(3, 10 + font, 79)},
        {{"ls", a, "0E00FFFF", "0*"},
         table_line + model_line + texture_line + unknown_line + totals(4, 10 + texture, 3010)},
        // A key orders them all; -r reverses whatever order there is.
        {{"ls", a, "40000002", "01000001", "--sort", "Id"},
         model_line + font_line + totals(2, 5 + font, 74)},
        {{"ls", a, "--sort", "SIZE", "-r"},
         unknown_line + table_line + model_line + font_line + texture_line +
             totals(5, 10 + texture + font, 3079)},
        {{"ls", a, "40000002", "01000001", "--reverse"},
         model_line + font_line + totals(2, 5 + font, 74)},
        // No header into a pipe or file, with or without --no-header.
        {{"ls", a, "0E00FFFF", "01000001", "--no-header"},
         table_line + model_line + totals(2, 10, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, c.out);
    }
    const ToolRun human = run_tool({"ls", a, "-h", "06000010"});
    EXPECT_EQ(human.out.substr(0, 53), "06000010  Texture                    3.1K        2.9K");
}

TEST(ToolLs, JsonShapeIsTheDocumentedOne) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const auto& font = hand.entry(0x40000002);
    const auto& unknown = hand.entry(0x0B000001);
    const std::string unknown_object = fmt::format(
        "{{\"id\":\"0B000001\",\"type\":\"Unknown\",\"compressed\":false,\"size\":0,"
        "\"decoded_size\":0,\"timestamp\":1001,\"time\":null,\"version\":3,\"bit_flags\":131072,"
        "\"offset\":{}}}",
        unknown.offset);
    const std::string font_object = fmt::format(
        "{{\"id\":\"40000002\",\"type\":\"Font\",\"compressed\":true,\"size\":{},"
        "\"decoded_size\":69,\"timestamp\":1600000000,\"time\":\"2020-09-13T12:26:40Z\","
        "\"version\":3,\"bit_flags\":1,\"offset\":{}}}",
        font.size, font.offset);
    // --jsonl: one compact object per line, in the order given.
    const ToolRun lines =
        run_tool({"ls", archive.path().string(), "40000002", "0B000001", "--jsonl"});
    ASSERT_EQ(lines.status, 0) << lines.err;
    EXPECT_EQ(lines.out, font_object + "\n" + unknown_object + "\n");
    // --json: one pretty-printed array, keys in the same order.
    const ToolRun run = run_tool({"ls", archive.path().string(), "0B000001", "40000002", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, fmt::format("[\n"
                                   "  {{\n"
                                   "    \"id\": \"0B000001\",\n"
                                   "    \"type\": \"Unknown\",\n"
                                   "    \"compressed\": false,\n"
                                   "    \"size\": 0,\n"
                                   "    \"decoded_size\": 0,\n"
                                   "    \"timestamp\": 1001,\n"
                                   "    \"time\": null,\n"
                                   "    \"version\": 3,\n"
                                   "    \"bit_flags\": 131072,\n"
                                   "    \"offset\": {}\n"
                                   "  }},\n"
                                   "  {{\n"
                                   "    \"id\": \"40000002\",\n"
                                   "    \"type\": \"Font\",\n"
                                   "    \"compressed\": true,\n"
                                   "    \"size\": {},\n"
                                   "    \"decoded_size\": 69,\n"
                                   "    \"timestamp\": 1600000000,\n"
                                   "    \"time\": \"2020-09-13T12:26:40Z\",\n"
                                   "    \"version\": 3,\n"
                                   "    \"bit_flags\": 1,\n"
                                   "    \"offset\": {}\n"
                                   "  }}\n"
                                   "]\n",
                                   unknown.offset, font.size, font.offset));
    const ToolRun empty = run_tool({"ls", archive.path().string(), "--type", "Region", "--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "[]\n");
}

// Runs the tool with a terminal for standard output (and error), as a
// person at a shell would; line ends come back as written.
ToolRun run_on_terminal(const std::vector<std::string>& args) {
    std::vector<std::string> words = {TARNWICK_DAT_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ToolRun run;
    if (pid < 0) {
        ADD_FAILURE() << "cannot open a terminal";
        return run;
    }
    if (pid == 0) {
        ::execv(TARNWICK_DAT_TOOL, argv.data());
        ::_exit(127);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 30000) <= 0) {
            ADD_FAILURE() << "no output from the tool on a terminal";
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got <= 0) {
            break;  // EIO once the tool has closed its side
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    run.out = text;
    return run;
}

TEST(ToolLs, AHeaderLineOnlyOnATerminal) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::string header =
        "ID        TYPE                       SIZE     DECODED  TIME                  STORAGE\n";
    const std::string table =
        "0E00FFFF  Table                         5           5  1255                  stored\n"
        "total: 1 file                           5           5\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"ls", a, "0E00FFFF"}, header + table},
        {{"ls", a, "0E00FFFF", "--no-header"}, table},
        {{"ls", a, "0E00FFFF", "--jsonl"},
         fmt::format("{{\"id\":\"0E00FFFF\",\"type\":\"Table\",\"compressed\":false,\"size\":5,"
                     "\"decoded_size\":5,\"timestamp\":1255,\"time\":null,\"version\":3,"
                     "\"bit_flags\":0,\"offset\":{}}}\n",
                     hand.entry(0x0E00FFFF).offset)},
    };
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(args, " ")));
        const ToolRun run = run_on_terminal(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, out);
    }
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
            const auto id = static_cast<std::uint32_t>(
                std::stoul(object.at("id").get<std::string>(), nullptr, 16));
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
            EXPECT_LT(doc[i - 1].at("id").get<std::string>(), doc[i].at("id").get<std::string>());
        }
        fonts += doc[i].at("type") == "Font" ? 1 : 0;
    }
    EXPECT_EQ(fonts, 9u);
    const ToolRun text = run_tool({"ls", archive.path().string(), "--type", "Font"});
    EXPECT_EQ(count_lines(text.out), 10u);  // nine fonts and the totals
}

// ------------------------------------------------------------------- cat

TEST(ToolCat, IdsRoundTripFromLsInEverySpelling) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun ls = run_tool({"ls", archive.path().string()});
    std::vector<std::string> listed;
    for (std::size_t at = 0; at < ls.out.size(); at = ls.out.find('\n', at) + 1) {
        if (ls.out.compare(at, 6, "total:") != 0) {
            listed.push_back(ls.out.substr(at, 8));
        }
    }
    ASSERT_EQ(listed.size(), hand.contents.size());
    for (const std::string& printed : listed) {
        const auto id = static_cast<std::uint32_t>(std::stoul(printed, nullptr, 16));
        SCOPED_TRACE(printed);
        for (const std::string& spelled :
             {printed, "0x" + printed, fmt::format("0x{:x}", id), fmt::format("{:x}", id),
              fmt::format("{:08x}", id), fmt::format("d:{}", id)}) {
            const ToolRun run = run_tool({"cat", archive.path().string(), spelled});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out, as_text(hand.contents.at(id)));
        }
    }
}

// Digits alone are hexadecimal whatever they begin with: EnvCell ids as
// printf %08x writes them start with "0d", which once meant decimal. Id 3 is
// there to catch that reading.
TEST(ToolIds, LowerCaseIdsThatBeginWith0dAreHexadecimal) {
    ArchiveBuilder builder;
    builder.add_file(0x0D000003, text_bytes("cell 3|"));
    builder.add_file(0x0D00001A, text_bytes("cell 1a|"));
    builder.add_file(0x00000003, text_bytes("three|"));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const TempDir dir;
    const std::string out = (dir.path() / "out").string();
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string out;
    };
    const Case cases[] = {
        {{"cat", a, "0d000003"}, "", "cell 3|"},
        {{"cat", a, "0d00001a", "0x0d000003", "d:3"}, "", "cell 1a|cell 3|three|"},
        {{"cat", a, "-T", "-"}, "0d00001a\n# d:3\n0d000003\n", "cell 1a|cell 3|"},
        {{"ls", a, "-T", "-", "--jsonl"},
         "0d000003\n",
         "{\"id\":\"0D000003\",\"type\":\"EnvCell\",\"compressed\":false,\"size\":7,"
         "\"decoded_size\":7,\"timestamp\":0,\"time\":null,\"version\":0,\"bit_flags\":0,"
         "\"offset\":1024}\n"},
        {{"extract", a, out, "-v", "-T", "-"},
         "0d00001a\n",
         fmt::format("{}/EnvCell/0D00001A.bin\n", out)},
        {{"classify", "0d01fffe"}, "", "LandblockInfo\n"},
        {{"classify", "0d000003", "--kind", "portal"}, "", "EnvCell\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const ToolRun run = run_tool(c.args, c.input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
    }
}

TEST(ToolCat, SelectsByIdsTypesAndLists) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::string hello = "hello";
    const std::string font = as_text(hand.contents.at(0x40000002));
    const std::string table = "table";
    const std::string texture = as_text(hand.contents.at(0x06000010));
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        // Ids in the order given, then type matches ascending, each once.
        {{"cat", a, "0E00FFFF", "01000001", "0x0e00ffff"}, "", 0, table + hello, ""},
        {{"cat", a, "--type", "Font", "--type", "Model"}, "", 0, hello + font, ""},
        {{"cat", a, "40000002", "--type", "Font"}, "", 0, font, ""},
        {{"cat", a, "-T", "-"}, "# fonts first\n\n  40000002\r\n0x01000001\n", 0, font + hello, ""},
        {{"cat", a, "-T", "-"},
         "40000002\n\nnot-an-id\n",
         2,
         "",
         "error: standard input:3: invalid file id 'not-an-id'"},
        {{"cat", a, "01000001", "0BADF00D", "0E00FFFF"},
         "",
         1,
         hello + table,
         fmt::format("error: {}: 0x0BADF00D: no such file in the archive\n", a)},
        // Globs over the eight digits in any case, ranges with both ends
        // spelt as ids are; given ids first, then the matches ascending.
        {{"cat", a, "0e*"}, "", 0, table, ""},
        {{"cat", a, "0x0?00000?"}, "", 0, hello, ""},
        {{"cat", a, "0E00FFFF", "01000000-0x0B000001"}, "", 0, table + hello + texture, ""},
        {{"cat", a, "d:16777217-d:16777217", "4*"}, "", 0, hello + font, ""},
        {{"cat", a, "--type", "font,MODEL", "--type", "Table"}, "", 0, hello + table + font, ""},
        // ls output pipes in whole: header, columns, totals, comments.
        {{"cat", a, "-T", "-"},
         "ID        TYPE     SIZE\n40000002  Font  75  69\n\n  01000001\tModel # hello\n"
         "0E00FFFF# table\n# 06000010\ntotal: 3 files  85  79\n",
         0,
         font + hello + table,
         ""},
        {{"cat", a, "-T", "-"}, "0E* # every table\n", 0, table, ""},
        // A pattern that matches nothing is an error like a missing id.
        {{"cat", a, "7*", "01000001", "50000000-5FFFFFFF"},
         "",
         1,
         hello,
         fmt::format("error: {0}: 7*: no file matches\n"
                     "error: {0}: 50000000-5FFFFFFF: no file matches\n",
                     a)},
        // An unreadable list is a failure, not a usage error.
        {{"cat", a, "-T", "/nonexistent/ids.txt"},
         "",
         1,
         "",
         "error: cannot open '/nonexistent/ids.txt': No such file or directory\n"},
        {{"cat", a, "4000000G*"},
         "",
         2,
         "",
         "error: invalid id glob '4000000G*' (expected hex digits, '*' and '?')\n"},
        {{"cat", a, "40000002-40000001"},
         "",
         2,
         "",
         "error: invalid id range '40000002-40000001' (the first id is above the last)\n"},
        {{"cat", a, "-T", "-"},
         "4-x\n",
         2,
         "",
         "error: standard input:1: invalid id range '4-x' (expected two ids, as in "
         "40000000-4000FFFF)\n"},
        {{"cat", a, "--type", "Font,Nope"},
         "",
         2,
         "",
         "error: unknown file type 'Nope' (see --help for the names)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} <<< {}", fmt::join(c.args, " "), c.input));
        const ToolRun run = run_tool(c.args, c.input);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        if (c.status == 2) {
            // The usage note that follows is the same for every case.
            EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
        } else {
            EXPECT_EQ(run.err, c.err);
        }
    }
}

// --------------------------------------------------------------- extract

std::set<std::string> files_under(const fs::path& root) {
    std::set<std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (!item.is_directory()) {
            found.insert(fs::relative(item.path(), root).string());
        }
    }
    return found;
}

TEST(ToolExtract, WritesEveryFileUnderItsTypeAndId) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const TempDir dir;
    const fs::path out = dir.path() / "new" / "nested";
    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(jobs);
        const ToolRun run =
            run_tool({"extract", archive.path().string(), out.string(), "-j", jobs});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, fmt::format("extracted 5 files into {}\n", out.string()));
        const std::set<std::string> expected = {
            "Model/01000001.bin", "Texture/06000010.bin", "Unknown/0B000001.bin",
            "Table/0E00FFFF.bin", "Font/40000002.bin",
        };
        EXPECT_EQ(files_under(out), expected);
        for (const auto& [id, bytes] : hand.contents) {
            const std::string type(
                tarnwick_dat::name(tarnwick_dat::file_type::from_id_in_dat(id, DatKind::Portal)));
            const fs::path path = out / type / fmt::format("{:08X}.bin", id);
            EXPECT_EQ(read_bytes(path), bytes);
            // The entry's time where it is a plausible one.
            struct stat status {};
            ASSERT_EQ(::stat(path.c_str(), &status), 0);
            if (id == 0x40000002) {
                EXPECT_EQ(status.st_mtime, 1600000000);
            } else {
                EXPECT_GT(status.st_mtime, 1600000000);
            }
            EXPECT_EQ(status.st_mode & 0777, 0644 & ~0022u);
        }
    }
    // --verbose names each file; --quiet prints nothing at all.
    const ToolRun verbose = run_tool({"extract", archive.path().string(), out.string(), "-v",
                                      "--type", "Font", "--type", "Table"});
    EXPECT_EQ(verbose.status, 0);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < verbose.out.size(); at = verbose.out.find('\n', at) + 1) {
        lines.push_back(verbose.out.substr(at, verbose.out.find('\n', at) - at));
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{out.string() + "/Font/40000002.bin",
                                               out.string() + "/Table/0E00FFFF.bin"}));
    const ToolRun quiet = run_tool({"extract", archive.path().string(), out.string(), "-q"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out + quiet.err, "");
}

TEST(ToolExtract, ReplacesWhatIsAtAFilesNameWithoutWritingThroughIt) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const Bytes& font = hand.contents.at(0x40000002);
    struct Case {
        const char* name;
        // Prepares DIR (and the outside directory) before extracting.
        void (*prepare)(const fs::path& dir, const fs::path& outside);
        int status;
        // The error line after "error: ARCHIVE: ", empty when none.
        const char* error;
        bool font_written;
    };
    const Case cases[] = {
        {"an older file",
         [](const fs::path& dir, const fs::path&) {
             fs::create_directories(dir / "Font");
             write_bytes(dir / "Font" / "40000002.bin", "stale contents, longer than the font");
         },
         0, "", true},
        {"a hard link to a file outside",
         [](const fs::path& dir, const fs::path& outside) {
             fs::create_directories(dir / "Font");
             write_bytes(outside / "victim", "precious");
             fs::create_hard_link(outside / "victim", dir / "Font" / "40000002.bin");
         },
         0, "", true},
        {"a symbolic link to a file outside",
         [](const fs::path& dir, const fs::path& outside) {
             fs::create_directories(dir / "Font");
             write_bytes(outside / "victim", "precious");
             fs::create_symlink(outside / "victim", dir / "Font" / "40000002.bin");
         },
         0, "", true},
        {"a dangling symbolic link",
         [](const fs::path& dir, const fs::path& outside) {
             fs::create_directories(dir / "Font");
             fs::create_symlink(outside / "created", dir / "Font" / "40000002.bin");
         },
         0, "", true},
        {"a FIFO",
         [](const fs::path& dir, const fs::path&) {
             fs::create_directories(dir / "Font");
             ASSERT_EQ(::mkfifo((dir / "Font" / "40000002.bin").c_str(), 0644), 0);
         },
         1, "0x40000002: refusing to replace '{}/Font/40000002.bin': it is a FIFO", false},
        {"a directory",
         [](const fs::path& dir, const fs::path&) {
             fs::create_directories(dir / "Font" / "40000002.bin");
         },
         1, "0x40000002: refusing to replace '{}/Font/40000002.bin': it is a directory", false},
        {"type directory is a symbolic link",
         [](const fs::path& dir, const fs::path& outside) {
             fs::create_directories(dir);
             fs::create_directory_symlink(outside, dir / "Font");
         },
         1, "cannot use directory '{}/Font' (1 file not extracted): it is a symbolic link", false},
        {"type name is taken by a file",
         [](const fs::path& dir, const fs::path&) {
             fs::create_directories(dir);
             write_bytes(dir / "Font", "not a directory");
         },
         1, "cannot use directory '{}/Font' (1 file not extracted): Not a directory", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir root;
        const fs::path dir = root.path() / "out";
        const fs::path outside = root.path() / "outside";
        fs::create_directories(outside);
        c.prepare(dir, outside);
        const std::set<std::string> outside_before = files_under(outside);
        const std::string victim =
            fs::exists(outside / "victim") ? read_text(outside / "victim") : "";
        const ToolRun run = run_tool({"extract", archive.path().string(), dir.string(), "--type",
                                      "Font", "--type", "Table"});
        EXPECT_EQ(run.status, c.status);
        const std::string summary = fmt::format(
            "extracted {} into {}\n", c.font_written ? "2 files" : "1 of 2 files", dir.string());
        const std::string error =
            std::string_view(c.error).empty()
                ? ""
                : fmt::format("error: {}: {}\n", archive.path().string(),
                              fmt::format(fmt::runtime(c.error), dir.string()));
        EXPECT_EQ(run.err, error + summary);
        // Nothing outside DIR changed.
        EXPECT_EQ(files_under(outside), outside_before);
        if (!victim.empty()) {
            EXPECT_EQ(read_text(outside / "victim"), victim);
        }
        if (c.font_written) {
            EXPECT_FALSE(fs::is_symlink(dir / "Font" / "40000002.bin"));
            EXPECT_EQ(read_bytes(dir / "Font" / "40000002.bin"), font);
        }
        EXPECT_EQ(read_text(dir / "Table" / "0E00FFFF.bin"), "table");
        // No temporary file is left behind.
        for (const std::string& name : files_under(dir)) {
            EXPECT_EQ(name.find("/."), std::string::npos) << name;
        }
    }
}

// A damaged compressed file: flagged compressed, its stream cut in half.
ArchiveBuilder archive_with_a_cut_stream() {
    ArchiveBuilder builder;
    builder.add_file(0x01000001, text_bytes("one"));
    builder.add_file(0x01000003, text_bytes("three"));
    const Bytes payload = tarnwick_dat_writer::compress_lrs(pattern(5000));
    const Bytes cut(payload.begin(),
                    payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 2));
    builder.add_file(0x01000002, cut, tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x40000003, cut, tarnwick_dat_writer::with_flags(1));
    return builder;
}

TEST(ToolExtract, AFailingFileIsReportedAndTheRestExtracted) {
    struct Case {
        const char* name;
        ArchiveBuilder builder;
        const char* error;
    };
    ArchiveBuilder beyond_the_end;
    beyond_the_end.add_file(0x01000001, text_bytes("one"));
    beyond_the_end.add_file(0x01000003, text_bytes("three"));
    tarnwick_dat::DatFileEntry broken;
    broken.id = 0x01000002;
    broken.offset = 0x7FFFFC00;
    broken.size = 10;
    beyond_the_end.add_entry(broken);
    const Case cases[] = {
        {"chain beyond the end", beyond_the_end,
         "chain starting at 0x7FFFFC00 runs past the end of the file"},
        {"cut compressed stream", archive_with_a_cut_stream(),
         "compressed stream ends after 2315 of 5000 bytes (input used up)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.builder.build());
        const TempDir dir;
        const ToolRun run =
            run_tool({"extract", archive.path().string(), dir.path().string(), "--type", "Model"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, fmt::format("error: {}: 0x01000002: {}\n"
                                       "extracted 2 of 3 files into {}\n",
                                       archive.path().string(), c.error, dir.path().string()));
        EXPECT_EQ(files_under(dir.path()),
                  (std::set<std::string>{"Model/01000001.bin", "Model/01000003.bin"}));
        EXPECT_EQ(read_text(dir.path() / "Model" / "01000003.bin"), "three");
    }
}

TEST(ToolExtract, TheSummaryCountsInWords) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    struct Case {
        std::vector<std::string> ids;
        int status;
        std::string err;  // {0}: the directory, {1}: the archive
    };
    const Case cases[] = {
        {{"01000001"}, 0, "extracted 1 file into {0}\n"},
        {{"01000001", "0E00FFFF"}, 0, "extracted 2 files into {0}\n"},
        {{"01000009"},
         1,
         "error: {1}: 0x01000009: no such file in the archive\nextracted 0 of 1 file into {0}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const TempDir dir;
        std::vector<std::string> args = {"extract", a, dir.path().string()};
        args.insert(args.end(), c.ids.begin(), c.ids.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, fmt::format(fmt::runtime(c.err), dir.path().string(), a));
    }
}

TEST(ToolExtract, DirIsTheWordAfterTheArchiveOrMinusCOrTheCurrentOne) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    const std::set<std::string> all = {"Model/01000001.bin", "Texture/06000010.bin",
                                       "Unknown/0B000001.bin", "Table/0E00FFFF.bin",
                                       "Font/40000002.bin"};
    const auto under = [](std::string_view dir, const std::set<std::string>& names) {
        std::set<std::string> paths;
        for (const std::string& name : names) {
            paths.insert(dir.empty() ? name : fmt::format("{}/{}", dir, name));
        }
        return paths;
    };
    struct Case {
        std::vector<std::string> args;  // after "extract ARCHIVE"
        std::string summary;
        std::set<std::string> files;  // under the working directory
    };
    const Case cases[] = {
        {{}, "extracted 5 files into .\n", all},
        {{"out"}, "extracted 5 files into out\n", under("out", all)},
        {{"-C", "out"}, "extracted 5 files into out\n", under("out", all)},
        {{"--directory", "out", "01000001", "0x0E00FFFF"},
         "extracted 2 files into out\n",
         {"out/Model/01000001.bin", "out/Table/0E00FFFF.bin"}},
        // With -C the word after the archive is an id; without, the DIR.
        {{"01000001", "-C", "out"}, "extracted 1 file into out\n", {"out/Model/01000001.bin"}},
        {{"01000001"}, "extracted 5 files into 01000001\n", under("01000001", all)},
        {{"-C", "out", "--flat", "--type", "Font", "--type", "Table"},
         "extracted 2 files into out\n",
         {"out/0E00FFFF.bin", "out/40000002.bin"}},
        {{"--flat"},
         "extracted 5 files into .\n",
         {"01000001.bin", "06000010.bin", "0B000001.bin", "0E00FFFF.bin", "40000002.bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        const TempDir cwd;
        std::vector<std::string> args = {"extract", a};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = run_tool(args, "", RunPlace{cwd.path(), {}});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.summary);
        EXPECT_EQ(files_under(cwd.path()), c.files);
        for (const auto& [id, bytes] : hand.contents) {
            for (const std::string& name : c.files) {
                if (name.ends_with(fmt::format("{:08X}.bin", id))) {
                    EXPECT_EQ(read_bytes(cwd.path() / name), bytes) << name;
                }
            }
        }
    }
}

TEST(ToolExtract, OldFilesAreReplacedKeptOrSkipped) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    struct Case {
        const char* flag;  // nullptr: the default
        bool link;         // the old file is a dangling symbolic link, else "old"
        int status;
        const char* err;  // {0}: DIR, {1}: the archive
        bool replaced;
    };
    const Case cases[] = {
        {nullptr, false, 0, "extracted 2 files into {0}\n", true},
        {"--keep-old-files", false, 1,
         "error: {1}: 0x40000002: '{0}/Font/40000002.bin' already exists (--keep-old-files)\n"
         "extracted 1 of 2 files into {0}\n",
         false},
        {"--keep-old-files", true, 1,
         "error: {1}: 0x40000002: '{0}/Font/40000002.bin' already exists (--keep-old-files)\n"
         "extracted 1 of 2 files into {0}\n",
         false},
        {"--skip-old-files", false, 0, "extracted 1 file into {0}; skipped 1 existing file\n",
         false},
        {"--skip-old-files", true, 0, "extracted 1 file into {0}; skipped 1 existing file\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", c.flag != nullptr ? c.flag : "-", c.link));
        const TempDir root;
        const fs::path dir = root.path() / "out";
        const fs::path old = dir / "Font" / "40000002.bin";
        fs::create_directories(dir / "Font");
        if (c.link) {
            fs::create_symlink(root.path() / "target", old);
        } else {
            write_bytes(old, "old");
        }
        std::vector<std::string> args = {"extract", a,      "-C",     dir.string(),
                                         "--type",  "Font", "--type", "Table"};
        if (c.flag != nullptr) {
            args.push_back(c.flag);
        }
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, fmt::format(fmt::runtime(c.err), dir.string(), a));
        EXPECT_EQ(read_text(dir / "Table" / "0E00FFFF.bin"), "table");
        EXPECT_FALSE(fs::exists(root.path() / "target"));  // never written through
        if (c.replaced) {
            EXPECT_EQ(read_bytes(old), hand.contents.at(0x40000002));
        } else {
            EXPECT_EQ(fs::is_symlink(old), c.link);
            EXPECT_EQ(c.link ? "" : read_text(old), c.link ? "" : "old");
        }
        EXPECT_EQ(files_under(dir),
                  (std::set<std::string>{"Font/40000002.bin", "Table/0E00FFFF.bin"}));
    }
}

TEST(ToolExtract, VerboseListsInIdOrderWhateverTheWorkers) {
    const TempDir dir;
    const fs::path sample = dir.path() / "sample.dat";
    ASSERT_EQ(run_tool({"sample", sample.string(), "--files", "400"}).status, 0);
    auto db = DatDatabase::open(sample);
    ASSERT_TRUE(db);
    std::vector<std::uint32_t> ids;
    for (const tarnwick_dat::DatFileEntry& entry : db->files()) {
        ids.push_back(entry.id);
    }
    std::sort(ids.begin(), ids.end());
    ASSERT_EQ(ids.size(), 400u);
    const fs::path out = dir.path() / "out";
    std::string all;
    for (const std::uint32_t id : ids) {
        all += fmt::format("{}/{:08X}.bin\n", out.string(), id);
    }
    struct Case {
        std::vector<std::string> args;
        std::string listed;
    };
    // Ids given in descending order still list ascending.
    const Case cases[] = {
        {{"-j", "1"}, all},
        {{"-j", "4"}, all},
        {{"-j", "4", "--skip-old-files"}, ""},
        {{"-j", "2", fmt::format("{:08X}", ids[9]), fmt::format("{:08X}", ids[3])},
         fmt::format("{0}/{1:08X}.bin\n{0}/{2:08X}.bin\n", out.string(), ids[3], ids[9])},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        std::vector<std::string> args = {"extract",    sample.string(), "-C",
                                         out.string(), "--flat",        "-v"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, c.listed);
    }
}

TEST(ToolExtract, RefusesASelectionThatExpandsBeyondTheLimit) {
    // Many entries sharing one chain, and a compressed entry that declares
    // nearly 4 GiB: small archives that would fill the disk.
    ArchiveBuilder builder;
    builder.add_file(0x01000001, pattern(3000));
    const std::uint32_t shared = builder.layout().entries[0].offset;
    for (std::uint32_t i = 2; i < 12; ++i) {
        tarnwick_dat::DatFileEntry entry;
        entry.id = 0x01000000 + i;
        entry.offset = shared;
        entry.size = 3000 + i;
        builder.add_entry(entry);
    }
    builder.add_file(0x06000001, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00},
                     tarnwick_dat_writer::with_flags(1));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const TempDir dir;
    const fs::path out = dir.path() / "out";
    const ToolRun huge = run_tool({"extract", a, out.string()});
    EXPECT_EQ(huge.status, 1);
    EXPECT_EQ(huge.err.rfind(fmt::format("error: {}: refusing to extract: the selected files would "
                                         "expand to 4295000360 bytes, more than the limit of ",
                                         a),
                             0),
              0u)
        << huge.err;
    EXPECT_NE(huge.err.find("the largest: 0x06000001 (4294967295 bytes), 0x0100000B (3011 bytes)"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(out));
    const ToolRun shared_chains =
        run_tool({"extract", a, out.string(), "--type", "Model", "--max-total", "10K"});
    EXPECT_EQ(shared_chains.status, 1);
    EXPECT_EQ(shared_chains.err,
              fmt::format("error: {}: refusing to extract: the selected files would expand to "
                          "33065 bytes, more than the limit of 10240 bytes (--max-total); the "
                          "largest: 0x0100000B (3011 bytes), 0x0100000A (3010 bytes), 0x01000009 "
                          "(3009 bytes), 0x01000008 (3008 bytes), 0x01000007 (3007 bytes)\n",
                          a));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(run_tool({"extract", a, out.string(), "--type", "Model", "--max-total", "1M"}).status,
              0);
}

// ------------------------------------------------------------------ font

TEST(ToolFont, JsonShapeIsTheDocumentedOne) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    ArchiveBuilder one_glyph;
    one_glyph.add_file(0x40000007, tarnwick_dat_writer::encode_font(make_font(0x40000007, 1)));
    const TempArchiveFile small(one_glyph.build());
    const ToolRun run = run_tool({"font", small.path().string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "[\n"
              "  {\n"
              "    \"id\": \"40000007\",\n"
              "    \"max_char_height\": 18,\n"
              "    \"max_char_width\": 11,\n"
              "    \"char_descs\": [\n"
              "      {\n"
              "        \"unicode\": 65,\n"
              "        \"offset_x\": 300,\n"
              "        \"offset_y\": 4660,\n"
              "        \"width\": 200,\n"
              "        \"height\": 18,\n"
              "        \"horizontal_offset_before\": -1,\n"
              "        \"horizontal_offset_after\": 2,\n"
              "        \"vertical_offset_before\": -128\n"
              "      }\n"
              "    ],\n"
              "    \"num_horizontal_border_pixels\": 1,\n"
              "    \"num_vertical_border_pixels\": 2,\n"
              "    \"baseline_offset\": -7,\n"
              "    \"foreground_surface_data_id\": \"06000F00\",\n"
              "    \"background_surface_data_id\": \"06000F01\"\n"
              "  }\n"
              "]\n");
    // Several fonts: one object each; none: an empty array.
    const ToolRun hand_fonts = run_tool({"font", archive.path().string(), "--json"});
    const json doc = json::parse(hand_fonts.out);
    ASSERT_EQ(doc.size(), 1u);
    EXPECT_EQ(doc[0].at("char_descs").size(), 3u);
    EXPECT_EQ(run_tool({"font", archive.path().string(), "--type", "Region", "--json"}).out,
              "[]\n");
}

TEST(ToolFont, TextShowsFieldsAndGlyphs) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const ToolRun run = run_tool({"font", archive.path().string(), "d:1073741826"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "id:                           40000002\n"
              "max_char_height:              18\n"
              "max_char_width:               11\n"
              "num_char_descs:               3\n"
              "num_horizontal_border_pixels: 1\n"
              "num_vertical_border_pixels:   2\n"
              "baseline_offset:              -7\n"
              "foreground_surface_data_id:   06000F00\n"
              "background_surface_data_id:   06000F01\n"
              "char_descs:\n"
              "  unicode  offset_x  offset_y  width  height  h_before  h_after  v_before\n"
              "  U+0041       300      4660    200      18        -1        2      -128\n"
              "  U+0042       311      4661    201      18        -2        2      -128\n"
              "  U+0043       322      4662    202      18        -3        2      -128\n");
}

TEST(ToolFont, BytesThatAreNoFontGiveOneErrorLine) {
    const HandArchive hand;
    const TempArchiveFile archive(hand.image);
    const std::string a = archive.path().string();
    ArchiveBuilder builder;
    builder.add_file(0x40000005, text_bytes("hello"));
    const TempArchiveFile bad_font(builder.build());
    const std::string b = bad_font.path().string();
    struct Case {
        std::vector<std::string> args;
        std::string error;  // after "error: "
    };
    const Case cases[] = {
        // Another type's file is named as such, not decoded.
        {{"font", a, "0x01000001"}, a + ": 0x01000001 is a Model, not a font\n"},
        {{"font", a, "0B000001"}, a + ": 0x0B000001 is an Unknown, not a font\n"},
        {{"font", a, "--type", "Table"}, a + ": 0x0E00FFFF is a Table, not a font\n"},
        {{"font", a, "0x40000009"}, a + ": 0x40000009: no such file in the archive\n"},
        // "hello" holds the id and one byte of max_char_height.
        {{"font", b, "0x40000005"},
         b + ": 0x40000005: the data ends early while parsing field 'max_char_height' in Font\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c.args, " ")));
        expect_one_error_line(run_tool(c.args), c.error);
    }
}

TEST(ToolDamage, ACutCompressedStreamFailsEveryCommandThatReadsIt) {
    const TempArchiveFile archive(archive_with_a_cut_stream().build());
    const std::string a = archive.path().string();
    const TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cat", a, "40000003"},
          {"font", a, "40000003"},
          {"extract", a, dir.path().string(), "40000003", "-q"}}) {
        SCOPED_TRACE(args[0]);
        expect_one_error_line(run_tool(args), a + ": 0x40000003: compressed stream ends after ");
    }
    EXPECT_TRUE(files_under(dir.path()).empty());
    // cat writes the sound files and nothing of the damaged one.
    const ToolRun cat = run_tool({"cat", a, "01000001", "40000003", "01000003"});
    EXPECT_EQ(cat.status, 1);
    EXPECT_EQ(cat.out, "onethree");
}

// --lenient keeps what a damaged stream decodes to, with one warning line;
// --raw writes the stored bytes.
TEST(ToolSalvage, LenientAndRawFetches) {
    const ArchiveBuilder builder = archive_with_a_cut_stream();
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    auto db = DatDatabase::open(archive.path());
    ASSERT_TRUE(db);
    const Bytes salvaged = db->get_file(0x40000003).value();
    ASSERT_LT(salvaged.size(), 5000u);
    tarnwick_dat::VerifyOptions one;
    one.ids = {0x40000003};
    const std::string cause = tarnwick_dat::verify_archive(*db, one).findings.at(0).description;
    const std::string warning =
        fmt::format("warning: {}: 0x40000003: {}; kept the {} bytes decoded before it\n", a, cause,
                    salvaged.size());
    const Bytes payload = tarnwick_dat_writer::compress_lrs(pattern(5000));
    const std::string stored(payload.begin(),
                             payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 2));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"cat", a, "40000003", "01000001", "--lenient"}, 0, as_text(salvaged) + "one", warning},
        {{"cat", a, "40000003", "--raw"}, 0, stored, ""},
        {{"cat", a, "01000001", "--raw"}, 0, "one", ""},
        {{"cat", a, "40000003", "--raw", "--lenient"}, 2, "", ""},
        {{"font", a, "40000003", "--lenient"}, 1, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        if (c.status == 0) {
            EXPECT_EQ(run.err, c.err);
        } else if (c.status == 1) {
            // The salvaged bytes are no font: the warning, then the error.
            EXPECT_EQ(run.err.rfind(warning, 0), 0u) << run.err;
            EXPECT_EQ(count_lines(run.err), 2u) << run.err;
        }
    }
    // extract writes the same bytes under the same rules.
    for (const auto& [flag, expected] :
         {std::pair<std::string, std::string>{"--lenient", as_text(salvaged)}, {"--raw", stored}}) {
        SCOPED_TRACE(flag);
        const TempDir dir;
        const ToolRun run = run_tool({"extract", a, dir.path().string(), "40000003", "-q", flag});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read_text(dir.path() / "Font" / "40000003.bin"), expected);
    }
}

// A font and a compressed file whose chains' second block links back to
// their first, and a sound file.
struct LoopingArchive {
    Bytes image;
    std::uint32_t font_at = 0;
    std::uint32_t packed_at = 0;

    LoopingArchive() {
        ArchiveBuilder builder;
        builder.add_file(0x01000001, text_bytes("one"));
        builder.add_file(0x40000003, tarnwick_dat_writer::encode_font(make_font(0x40000003, 300)));
        builder.add_file(0x06000004, pattern(20000), tarnwick_dat_writer::compressed());
        tarnwick_dat_writer::Layout layout = builder.layout();
        for (const auto& e : layout.entries) {
            if (e.id != 0x01000001) {
                layout.archive.write_u32_at(e.offset + 1024, e.offset);
                (e.id == 0x40000003 ? font_at : packed_at) = e.offset;
            }
        }
        image = layout.archive.build();
    }
};

TEST(ToolDamage, ALoopingChainFailsEveryCommandThatReadsIt) {
    const LoopingArchive looping;
    const TempArchiveFile archive(looping.image);
    const std::string a = archive.path().string();
    const TempDir dir;
    const std::string font_loop = fmt::format(
        "{}: 0x40000003: damaged archive: file 0x40000003: its block chain loops back to "
        "block 0x{:08X} after 2 blocks\n",
        a, looping.font_at);
    const std::string packed_loop = fmt::format(
        "{}: 0x06000004: damaged archive: file 0x06000004: its block chain loops back to "
        "block 0x{:08X} after 2 blocks\n",
        a, looping.packed_at);
    struct Case {
        std::vector<std::string> args;
        const std::string& error;
    };
    const Case cases[] = {
        {{"cat", a, "40000003"}, font_loop},
        {{"cat", a, "06000004"}, packed_loop},
        {{"font", a, "40000003"}, font_loop},
        {{"extract", a, dir.path().string(), "40000003", "-q"}, font_loop},
        {{"extract", a, dir.path().string(), "06000004", "-q"}, packed_loop},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", c.args[0], c.args.back()));
        expect_one_error_line(run_tool(c.args), c.error);
    }
    EXPECT_TRUE(files_under(dir.path()).empty());
    const ToolRun verify = run_tool({"verify", a, "-q"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out,
              "0x06000004 Texture: chain loops back after 2 blocks\n"
              "0x40000003 Font: chain loops back after 2 blocks\n"
              "0x06000004 Texture: compressed stream ends after 1861 of 20000 bytes (end "
              "marker)\n");
}

// Compressed streams cut where the decoder's best ratio stops them: the
// size field alone (1000 declared), and 120 bytes of 100,000 declared. Both
// are damage, and no command that reads them passes them off as whole.
TEST(ToolDamage, StreamsCutAtTheBestRatioAreDamageEverywhere) {
    ArchiveBuilder builder;
    Bytes at_best = {0xA0, 0x86, 0x01, 0x00, 0x7F, 'a'};
    for (int i = 0; i < 7; ++i) {
        at_best.insert(at_best.end(), {0x01, 0x0F});
    }
    builder.add_file(0x06000001, Bytes{0xE8, 0x03, 0x00, 0x00}, tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x06000002, at_best, tarnwick_dat_writer::with_flags(1));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const ToolRun verify = run_tool({"verify", a, "-q"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out,
              "0x06000001 Texture: compressed stream ends after 0 of 1000 bytes (input used up)\n"
              "0x06000002 Texture: compressed stream ends after 120 of 100000 bytes (input used "
              "up)\n");
    const ToolRun as_json = run_tool({"verify", a, "--json"});
    EXPECT_NE(as_json.out.find("\"damaged\": true"), std::string::npos) << as_json.out;
    for (const auto& [id, cause] :
         {std::pair{"06000001", "0 of 1000 bytes"}, std::pair{"06000002", "120 of 100000 bytes"}}) {
        expect_one_error_line(run_tool({"cat", a, id}),
                              fmt::format("{}: 0x{}: compressed stream ends after {} (input used "
                                          "up)\n",
                                          a, id, cause));
    }
}

// 2,000 fonts that all point at one 200,000-byte file: together they claim
// far more than the archive holds. Every pass over them is refused, before
// any work, with the budget and the largest claimers named. The file is
// zeros, a font with no glyphs and a long tail, so that verify's checks of
// the fonts it admits stay quick under the sanitizers.
TEST(ToolDamage, ASelectionBeyondTheWorkBudgetIsRefused) {
    ArchiveBuilder builder;
    builder.add_file(0x06000001, Bytes(200'000, 0));
    const std::uint32_t shared = builder.layout().entries.front().offset;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        builder.add_entry(tarnwick_dat::DatFileEntry{0, 0x40000000 + i, shared, 200'000, 0, 0});
    }
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const TempDir dir;
    const std::string claims =
        "the files claim 400000000 bytes and 394000 reads, more than the work budget of ";
    for (const auto& [args, refusal] :
         {std::pair{std::vector<std::string>{"font", a}, "refusing to decode the fonts: "},
          std::pair{std::vector<std::string>{"extract", a, dir.path().string(), "--type", "Font"},
                    "refusing to extract: "}}) {
        SCOPED_TRACE(args[0]);
        const ToolRun run = run_tool(args);
        expect_one_error_line(run, a + ": " + refusal + claims);
        EXPECT_NE(run.err.find("; the largest: 0x40000000 (200000 bytes, 197 reads), 0x40000001"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_TRUE(files_under(dir.path()).empty());
    const ToolRun verify = run_tool({"verify", a, "-q"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out.rfind("archive: ", 0), 0u) << verify.out;
    EXPECT_NE(verify.out.find(" entries not expanded: the files claim 400200000 bytes and 394197 "
                              "reads, more than the work budget of "),
              std::string::npos)
        << verify.out;
}

// A font that declares 32 MiB: fonts are a few KiB, so it is damage, reported
// as verify reports an oversized record, and never fetched; the sound font
// beside it still prints.
TEST(ToolDamage, AFontDecodingToMegabytesIsReportedNotFetched) {
    ArchiveBuilder builder;
    Bytes huge = tarnwick_dat_writer::compress_lrs(Bytes(4096, 'f'));
    huge[0] = huge[1] = huge[2] = 0x00;
    huge[3] = 0x02;
    builder.add_file(0x40000001, huge, tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x40000002, tarnwick_dat_writer::encode_font(make_font(0x40000002, 1)));
    const TempArchiveFile archive(builder.build());
    const std::string a = archive.path().string();
    const ToolRun run = run_tool({"font", a, "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "error: " + a +
                           ": 0x40000001: record of 33554432 bytes is larger than the 16777216 "
                           "bytes a record is decoded up to\n");
    EXPECT_NE(run.out.find("\"id\": \"40000002\""), std::string::npos) << run.out;
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
        {"d:4294901761", "cell", "Iteration"},
        {"FFFF0001", "cell", "Iteration"},
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
    // Several ids: one line each, in the order given.
    const ToolRun several = run_tool({"classify", "0x40000012", "0x0100FFFF", "0", "0x40000012"});
    EXPECT_EQ(several.status, 0);
    EXPECT_EQ(several.out, "Font\nLandblock\nUnknown\nFont\n");
    const ToolRun in_cell = run_tool({"classify", "0x40000012", "FFFF0001", "--kind", "cell"});
    EXPECT_EQ(in_cell.status, 0);
    EXPECT_EQ(in_cell.out, "IndoorCell\nIteration\n");
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

// Runs `lrs decompress - OUT` fed from a pipe with the pieces (the second
// one `repeat` times), so that a large payload needs no file; returns the
// status, standard error and the child's peak resident memory in KiB.
struct PipedRun {
    int status = -1;
    long peak_kib = 0;
    std::string err;
};
PipedRun run_lrs_decompress_from_pipe(const std::vector<Bytes>& pieces, std::size_t repeat,
                                      const std::string& out) {
    const TempDir dir;
    const fs::path err = dir.path() / "stderr";
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "cannot make a pipe";
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words = {TARNWICK_DAT_TOOL, "lrs", "decompress", "-", out};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, TARNWICK_DAT_TOOL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[0]);
    PipedRun run;
    if (spawned != 0) {
        ::close(pipe_fds[1]);
        ADD_FAILURE() << "cannot start " << TARNWICK_DAT_TOOL;
        return run;
    }
    const auto send = [&](const Bytes& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(pipe_fds[1], bytes.data() + sent, bytes.size() - sent);
            if (n <= 0) {
                return errno == EINTR;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    };
    const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    bool sending = true;
    for (std::size_t i = 0; i < pieces.size() && sending; ++i) {
        for (std::size_t r = 0; r < (i == 1 ? repeat : 1) && sending; ++r) {
            sending = send(pieces[i]);
        }
    }
    ::close(pipe_fds[1]);
    std::signal(SIGPIPE, old_pipe);
    int wait_status = 0;
    rusage usage{};
    ::wait4(pid, &wait_status, 0, &usage);
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.peak_kib = usage.ru_maxrss;
    run.err = read_text(err);
    return run;
}

// A stream that declares 1 GiB and is ~128 MiB long goes through in a few
// MiB: a literal, then groups of eight distance-1 references of 17 bytes.
TEST(ToolLrs, DecodesAGibibyteInBoundedMemory) {
    constexpr std::size_t kDeclared = std::size_t{1} << 30;
    Bytes head = {0x00, 0x00, 0x00, 0x40, 0x7F, 'r'};
    for (int r = 0; r < 7; ++r) {
        head.push_back(0x01);
        head.push_back(0x0F);
    }
    Bytes group = {0xFF};
    for (int r = 0; r < 8; ++r) {
        group.push_back(0x01);
        group.push_back(0x0F);
    }
    // 1 + 7 * 17 bytes first, then 136 per group; a last group of fewer
    // references ends exactly at the declared size.
    const std::size_t groups = (kDeclared - 120) / 136;
    const std::size_t left = kDeclared - 120 - groups * 136;
    ASSERT_LT(left, 136u);
    ASSERT_NE(left % 17, 1u);
    Bytes tail = {0x00};
    for (std::size_t bit = 0, rest = left; rest != 0; ++bit) {
        const std::size_t length = std::min<std::size_t>(17, rest);
        tail[0] = static_cast<std::uint8_t>(tail[0] | 0x80 >> bit);
        tail.push_back(0x01);
        tail.push_back(static_cast<std::uint8_t>(length - 2));
        rest -= length;
    }
    // Enough groups at once that the pipe is fed in large writes.
    Bytes many;
    for (int i = 0; i < 4096; ++i) {
        many.insert(many.end(), group.begin(), group.end());
    }
    Bytes rest;
    for (std::size_t i = 0; i < groups % 4096; ++i) {
        rest.insert(rest.end(), group.begin(), group.end());
    }
    rest.insert(rest.end(), tail.begin(), tail.end());
    const PipedRun run =
        run_lrs_decompress_from_pipe({head, many, rest}, groups / 4096, "/dev/null");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // Against the same command on a tiny payload, so that a sanitizer's own
    // memory does not count: a few MiB of buffers, not the output's size.
    const PipedRun tiny =
        run_lrs_decompress_from_pipe({{0x01, 0x00, 0x00, 0x00, 0x00, 'r'}}, 0, "/dev/null");
    EXPECT_EQ(tiny.status, 0) << tiny.err;
    EXPECT_LT(run.peak_kib - tiny.peak_kib, 32 * 1024)
        << run.peak_kib << " KiB against " << tiny.peak_kib << " KiB";
}

// A payload that does not end where it says fails; OUT is left as it was,
// with no temporary file beside it.
TEST(ToolLrs, ABrokenPayloadFailsAndLeavesOutAlone) {
    const Bytes payload = tarnwick_dat_writer::compress_lrs(pattern(300000));
    struct Case {
        const char* name;
        std::string input;
        const char* error;
    };
    const Case cases[] = {
        {"cut", as_text(payload).substr(0, payload.size() - 10),
         "the stream yields 299991 of the 300000 bytes it declares"},
        {"trailing bytes", as_text(payload) + "xyz", "3 bytes follow the end of the stream"},
        {"end marker early",
         std::string("\x09\x00\x00\x00\x40"
                     "a\x00\x00",
                     8),
         "the stream yields 1 of the 9 bytes it declares"},
        {"three bytes", "abc", "3 bytes are too few for a payload (its size field takes 4)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const fs::path out = dir.path() / "out";
        write_bytes(out, "old");
        const ToolRun to_file = run_tool({"lrs", "decompress", "-", out.string()}, c.input);
        EXPECT_EQ(to_file.status, 1);
        EXPECT_EQ(to_file.err, fmt::format("error: standard input: {}\n", c.error));
        EXPECT_EQ(read_text(out), "old");
        EXPECT_EQ(files_under(dir.path()), std::set<std::string>{"out"});
        write_bytes(dir.path() / "in", c.input);
        const ToolRun to_stdout = run_tool({"lrs", "decompress", (dir.path() / "in").string()});
        EXPECT_EQ(to_stdout.status, 1);
        EXPECT_EQ(to_stdout.err,
                  fmt::format("error: '{}': {}\n", (dir.path() / "in").string(), c.error));
    }
}

// ---------------------------------------------------------------- verify

ArchiveBuilder archive_with_a_chain_past_the_end() {
    ArchiveBuilder builder;
    builder.add_file(0x01000001, text_bytes("one"));
    tarnwick_dat::DatFileEntry broken;
    broken.id = 0x01000002;
    broken.offset = 0x7FFFFC00;
    broken.size = 10;
    builder.add_entry(broken);
    return builder;
}

TEST(ToolVerify, PrintsEveryFindingThenTheSummary) {
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> options;
        int status;
        const char* out;
    };
    const HandArchive hand;
    const Case cases[] = {
        {"sound",
         hand.image,
         {},
         0,
         "5 files, 3 nodes, 8435 bytes read, 3079 bytes decoded, 14 blocks (0 unused): 0 damage, "
         "0 information\n"},
        {"sound, quiet", hand.image, {"-q"}, 0, ""},
        {"sound, fonts only",
         hand.image,
         {"--type", "font", "-j", "1"},
         0,
         "1 files, 3 nodes, 5223 bytes read, 69 bytes decoded, 14 blocks (0 unused): 0 damage, "
         "0 information\n"},
        {"cut stream",
         archive_with_a_cut_stream().build(),
         {},
         1,
         "0x01000002 Model: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "0x40000003 Font: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "4 files, 1 nodes, 6774 bytes read, 4638 bytes decoded, 10 blocks (0 unused): 2 damage, "
         "0 information\n"},
        {"cut stream, quiet",
         archive_with_a_cut_stream().build(),
         {"--quiet"},
         1,
         "0x01000002 Model: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "0x40000003 Font: compressed stream ends after 2315 of 5000 bytes (input used up)\n"},
        {"cut stream, one id",
         archive_with_a_cut_stream().build(),
         {"01000002", "d:1"},
         1,

         "0x00000001 Unknown: not listed in the archive's directory\n"
         "0x01000002 Model: compressed stream ends after 2315 of 5000 bytes (input used up)\n"
         "1 files, 1 nodes, 4241 bytes read, 2315 bytes decoded, 10 blocks (0 unused): 2 damage, "
         "0 information\n"},
        {"chain past the end",
         archive_with_a_chain_past_the_end().build(),
         {},
         1,
         "0x01000002 Model: chain starting at 0x7FFFFC00 runs past the end of the file\n"
         "2 files, 1 nodes, 1719 bytes read, 3 bytes decoded, 3 blocks (0 unused): 1 damage, "
         "0 information\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.image);
        std::vector<std::string> args = {"verify", archive.path().string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ToolRun run = run_tool(args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
}

TEST(ToolVerify, JsonShapeIsTheDocumentedOne) {
    const TempArchiveFile archive(archive_with_a_cut_stream().build());
    const ToolRun run = run_tool({"verify", archive.path().string(), "--json"});
    EXPECT_EQ(run.status, 1);
    // Keys in this order, as documented.
    const auto expected = nlohmann::ordered_json::parse(R"json({
        "findings": [
            {"severity": "damage", "kind": "stream_cut", "id": "01000002", "type": "Model",
             "node": null,
             "description": "compressed stream ends after 2315 of 5000 bytes (input used up)"},
            {"severity": "damage", "kind": "stream_cut", "id": "40000003", "type": "Font",
             "node": null,
             "description": "compressed stream ends after 2315 of 5000 bytes (input used up)"}
        ],
        "totals": {"files": 4, "nodes": 1, "stored_bytes": 6774, "decoded_bytes": 4638,
                   "blocks": 10, "unused_blocks": 0},
        "damaged": true
    })json");
    EXPECT_EQ(run.out, expected.dump(2) + "\n");

    // --jsonl: each finding on a line of its own, the totals last.
    const ToolRun lines = run_tool({"verify", archive.path().string(), "--jsonl"});
    EXPECT_EQ(lines.status, 1);
    std::string expected_lines;
    for (const auto& finding : expected["findings"]) {
        expected_lines += finding.dump() + "\n";
    }
    nlohmann::ordered_json last = nlohmann::ordered_json::object();
    last["totals"] = expected["totals"];
    last["damaged"] = true;
    EXPECT_EQ(lines.out, expected_lines + last.dump() + "\n");
}

TEST(ToolVerify, AMissingArchiveIsAFinding) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.dat").string();
    const ToolRun run = run_tool({"verify", missing});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "archive: cannot open: No such file or directory\n0 files, 0 nodes, 0 bytes read, 0 "
              "bytes decoded, 0 blocks (0 unused): 1 damage, 0 information\n");
    EXPECT_EQ(run.err, "");
}

// ------------------------------------------------------- damaged archives

TEST(ToolDamage, DamagedArchivesGiveOneErrorLine) {
    const HandArchive hand;
    struct Case {
        const char* name;
        Bytes image;
        std::string error;
    };
    std::vector<Case> cases;
    const std::string declared = std::to_string(hand.image.size());
    cases.push_back({"header cut short", Bytes(hand.image.begin(), hand.image.begin() + 399),
                     "truncated: the file is 399 bytes, its header says " + declared + "\n"});
    cases.push_back({"only the first bytes", Bytes(hand.image.begin(), hand.image.begin() + 330),
                     "truncated: the file is 330 bytes, its header ends at 400\n"});
    cases.push_back({"empty file", Bytes{},
                     "not a portal archive (the file is 0 bytes, too short for a header)\n"});
    {
        // The root node comes last in the file: cutting the file cuts it.
        Bytes cut(hand.image.begin(), hand.image.end() - 600);
        cases.push_back({"directory cut short", cut,
                         fmt::format("truncated: the file is {} bytes, its header says {}\n",
                                     cut.size(), declared)});
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
        cases.push_back({"directory loop", raw.build(), "damaged archive: "});
    }
    {
        RawArchive raw;
        raw.header.block_size = 4;
        cases.push_back({"block size of 4", raw.build(), "damaged archive: "});
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
            expect_one_error_line(run_tool(args), archive.path().string() + ": " + c.error);
            EXPECT_FALSE(fs::exists(archive.path().string() + ".out"));
        }
    }
}

// What a file is, said plainly by every command before any field error.
TEST(ToolDamage, EveryCommandSaysWhatTheFileIs) {
    const HandArchive hand;
    const std::string size = std::to_string(hand.image.size());
    Bytes zip = text_bytes("PK\x03\x04");
    zip.resize(2000, 0x5A);
    Bytes cut(hand.image.begin(), hand.image.end() - 600);
    struct Case {
        const char* name;
        Bytes image;
        std::string message;
    };
    const Case cases[] = {
        {"text file", text_bytes("hello\n"),
         "not a portal archive (the file is 6 bytes, too short for a header)"},
        {"zip", zip, "not a portal archive (magic 0x5A5A5A5A)"},
        {"cut download", cut,
         fmt::format("truncated: the file is {} bytes, its header says {}", cut.size(), size)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempArchiveFile archive(c.image);
        const std::string a = archive.path().string();
        const std::string line = fmt::format("error: {}: {}\n", a, c.message);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"info", a},
                                                     {"ls", a},
                                                     {"cat", a, "01000001"},
                                                     {"font", a, "40000002"},
                                                     {"extract", a, a + ".out"}}) {
            SCOPED_TRACE(args[0]);
            const ToolRun run = run_tool(args);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, line);
        }
        const ToolRun verify = run_tool({"verify", a, "-q"});
        EXPECT_EQ(verify.status, 1);
        EXPECT_NE(verify.out.find("archive: " + c.message + "\n"), std::string::npos) << verify.out;
    }
    // The path is named once.
    const ToolRun missing = run_tool({"info", "nope.dat"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "error: nope.dat: cannot open: No such file or directory\n");
}

TEST(ToolDamage, MissingOrUnreadableArchive) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.dat").string();
    expect_one_error_line(run_tool({"info", missing}),
                          fmt::format("{}: cannot open: No such file or directory\n", missing));
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
    // The listing reads a compressed file's declared size from its chain:
    // both files are listed, the unreadable size is reported and fails ls.
    const ToolRun ls = run_tool({"ls", archive.path().string()});
    EXPECT_EQ(ls.status, 1);
    EXPECT_EQ(count_lines(ls.out), 3u);  // two files and the totals
    EXPECT_EQ(ls.err,
              "error: " + archive.path().string() +
                  ": 0x40000005: chain starting at 0x10000000 runs past the end of the file\n");
    EXPECT_EQ(run_tool({"info", archive.path().string()}).status, 0);
    EXPECT_EQ(run_tool({"cat", archive.path().string(), "0x01000001"}).out, "fine");
    for (const char* command : {"cat", "font"}) {
        expect_one_error_line(
            run_tool({command, archive.path().string(), "0x40000005"}),
            archive.path().string() +
                ": 0x40000005: chain starting at 0x10000000 runs past the end of the file\n");
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

    // --files alone: the fonts follow it down.
    const ToolRun none = run_tool({"sample", out.string(), "--files", "0"});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, fmt::format("wrote {}: 0 files, 0 of them fonts, seed 1\n", out.string()));
    EXPECT_EQ(read_bytes(out),
              tarnwick_dat_writer::build_sample_archive(SampleOptions{0, 0, 1, 0}));
    ASSERT_EQ(run_tool({"sample", out.string(), "--files", "5"}).status, 0);
    EXPECT_EQ(read_bytes(out),
              tarnwick_dat_writer::build_sample_archive(SampleOptions{5, 5, 1, 0}));
}

TEST(ToolSample, DashWritesToStandardOutputButNotToATerminal) {
    const TempDir cwd;
    const ToolRun run =
        run_tool({"sample", "-", "--files", "150", "--seed", "42"}, "", RunPlace{cwd.path(), {}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "wrote standard output: 150 files, 8 of them fonts, seed 42\n");
    EXPECT_EQ(run.out,
              as_text(tarnwick_dat_writer::build_sample_archive(SampleOptions{150, 8, 42, 0})));
    EXPECT_EQ(files_under(cwd.path()), std::set<std::string>{});  // no file named "-"

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) {
        GTEST_SKIP() << "no pseudo-terminal here";
    }
    const ToolRun on_terminal =
        run_tool({"sample", "-"}, "", RunPlace{cwd.path(), ::ptsname(terminal)});
    ::close(terminal);
    EXPECT_EQ(on_terminal.status, 1);
    EXPECT_EQ(on_terminal.err,
              "error: refusing to write an archive to a terminal: redirect standard output, or "
              "give a file name for OUT\n");
    EXPECT_EQ(files_under(cwd.path()), std::set<std::string>{});
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
