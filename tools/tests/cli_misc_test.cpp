// tarnwick-dat classify, lrs and sample, and the writer's sample archives that
// the tool's tests rely on.

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <tarnwick_dat_writer/sample_archive.hpp>
#include <vector>

#include "tool_test_support.hpp"

extern char** environ;

namespace tarnwick_dat_cli_test {
namespace {

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
}  // namespace tarnwick_dat_cli_test
