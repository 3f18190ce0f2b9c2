// The helpers the end-to-end tests of the tarnwick-dat executable share.

#include "tool_test_support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

extern char** environ;

namespace tarnwick_dat_cli_test {

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

ToolRun run_tool(const std::vector<std::string>& args, const std::string& input,
                 const RunPlace& place) {
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

std::set<std::string> files_under(const fs::path& root) {
    std::set<std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (!item.is_directory()) {
            found.insert(fs::relative(item.path(), root).string());
        }
    }
    return found;
}

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

}  // namespace tarnwick_dat_cli_test
