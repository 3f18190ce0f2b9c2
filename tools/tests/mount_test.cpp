// Archives made by the writer, mounted by the tool and read back through
// ordinary file calls: the listing, every file's bytes, sizes, times and
// inode numbers, damaged files, archives side by side and in a union, two
// readers at once and the unmount. Skipped, with the reason, where FUSE
// mounts cannot be made.

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <thread>
#include <vector>

#include "child_process.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::Bytes;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat_test::ChildRun;
using tarnwick_dat_test::TempDir;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::RawArchive;

// Generous: a hang, not slowness, is what it catches.
constexpr std::chrono::seconds kLimit{60};
constexpr std::uint32_t k2020 = 1600000000;

bool mounted_at(const fs::path& dir) {
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (field == dir.string()) {
            return true;
        }
    }
    return false;
}

ChildRun tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TARNWICK_DAT_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    tarnwick_dat_test::ChildOptions options;
    options.timeout = kLimit;
    return tarnwick_dat_test::run_child(argv, options);
}

// A mount served in the foreground by a child of the test, always unmounted
// and waited for when it goes.
class Mounted {
  public:
    Mounted(const std::vector<fs::path>& archives, const std::vector<std::string>& flags = {})
        : point_(dir_.path() / "mnt") {
        fs::create_directory(point_);
        std::vector<std::string> words = {TARNWICK_DAT_TOOL, "mount", "-f"};
        words.insert(words.end(), flags.begin(), flags.end());
        for (const fs::path& archive : archives) {
            words.push_back(archive.string());
        }
        words.push_back(point_.string());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out().c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err().c_str(), O_WRONLY | O_CREAT, 0644);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            throw std::runtime_error("cannot start the tool");
        }
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        while (!mounted_at(point_) && std::chrono::steady_clock::now() < deadline &&
               ::waitpid(pid_, nullptr, WNOHANG) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~Mounted() { unmount(); }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;

    const fs::path& root() const { return point_; }
    bool mounted() const { return mounted_at(point_); }

    // Unmounts with the tool's umount and waits for the server to end.
    ChildRun unmount() {
        if (pid_ <= 0) {
            return last_;
        }
        if (mounted()) {
            tool({"umount", point_.string()});
        }
        last_ = tarnwick_dat_test::wait_child(pid_, kLimit, out(), err());
        pid_ = -1;
        if (mounted()) {  // the server was killed: take the mount away all the same
            tarnwick_dat_test::run_child({"/usr/bin/fusermount3", "-uz", point_.string()});
        }
        return last_;
    }

  private:
    fs::path out() const { return dir_.path() / "out"; }
    fs::path err() const { return dir_.path() / "err"; }

    TempDir dir_;
    fs::path point_;
    pid_t pid_ = -1;
    ChildRun last_;
};

// Runs `work` on a thread of its own; past the limit the mount's server is
// ended so that the blocked calls return, and the test fails.
template <typename Work>
void within_limit(Mounted& mount, Work work) {
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(kLimit) == std::future_status::timeout) {
        ADD_FAILURE() << "the mount did not answer within " << kLimit.count() << " s";
        mount.unmount();
    }
    done.get();
}

// Why mounts cannot be tested here, or nothing.
std::optional<std::string> cannot_mount() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            return fmt::format("/dev/fuse cannot be opened: {}", std::strerror(errno));
        }
        const TempDir dir;
        static_cast<void>(ArchiveBuilder().write(dir.path() / "empty.dat"));
        Mounted mount({dir.path() / "empty.dat"});
        if (!mount.mounted()) {
            return "mounting is not permitted here: " + mount.unmount().err;
        }
        return std::nullopt;
    }();
    return reason;
}

#define SKIP_WITHOUT_FUSE()                     \
    if (const auto why = cannot_mount(); why) { \
        GTEST_SKIP() << *why;                   \
    }

Bytes bytes_of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) % 251);
    }
    return bytes;
}

FileOptions stamped(bool compress, std::uint32_t timestamp) {
    FileOptions options;
    options.compress = compress;
    options.timestamp = timestamp;
    return options;
}

// ------------------------------------------------------------ archives

fs::path write_archive(const fs::path& dir, const std::string& name,
                       const ArchiveBuilder& builder) {
    const fs::path path = dir / name;
    EXPECT_TRUE(builder.write(path).has_value());
    return path;
}

// Fonts, models and a texture; stored and compressed, empty and multi-block,
// with and without a plausible timestamp.
ArchiveBuilder first_archive() {
    ArchiveBuilder builder;
    builder.add_file(0x40000001, pattern(700, 1), stamped(true, k2020));
    builder.add_file(0x01000002, pattern(3000, 2), stamped(false, k2020 + 60));
    builder.add_file(0x01000001, {}, stamped(false, 7));
    builder.add_file(0x06000005, pattern(5000, 3),
                     {false, 0, k2020, 0, tarnwick_dat_writer::scattered()});
    return builder;
}

ArchiveBuilder second_archive() {
    ArchiveBuilder builder;
    builder.add_file(0x40000001, bytes_of("newer font"), stamped(false, k2020 + 1));
    builder.add_file(0x0E000003, pattern(64, 4), stamped(true, k2020 + 2));
    return builder;
}

// A compressed file whose stream declares 100 bytes more than it yields,
// beside a sound one.
ArchiveBuilder damaged_archive() {
    Bytes payload = tarnwick_dat_writer::compress_lrs(pattern(400, 5));
    payload[0] = static_cast<std::uint8_t>(payload[0] + 100);
    ArchiveBuilder builder;
    builder.add_file(0x01000001, payload, tarnwick_dat_writer::with_flags(1));
    builder.add_file(0x01000002, pattern(10, 6), stamped(false, k2020));
    return builder;
}

// A small compressed payload that declares 4 GiB.
Bytes huge_claim() {
    Bytes payload = tarnwick_dat_writer::compress_lrs(pattern(50, 9));
    payload[0] = payload[1] = payload[2] = payload[3] = 0xFF;
    return payload;
}

// Files too large for a 1 MiB cache, read in pieces: a compressed one that
// decodes to 3 MiB, a stored one of 2 MiB, and a compressed one whose
// stream declares 100 bytes more than it yields.
fs::path write_large(const fs::path& path) {
    ArchiveBuilder builder;
    builder.add_file(0x01000001, pattern(3 << 20, 11), stamped(true, k2020));
    builder.add_file(0x01000002, pattern(2 << 20, 12), stamped(false, k2020));
    Bytes cut = tarnwick_dat_writer::compress_lrs(pattern(3 << 20, 13));
    cut[0] = static_cast<std::uint8_t>(cut[0] + 100);
    builder.add_file(0x01000003, cut, tarnwick_dat_writer::with_flags(1));
    EXPECT_TRUE(builder.write(path).has_value());
    return path;
}

// Hostile shapes: a stored file whose one-block chain links to itself, two
// entries on one chain, and a compressed file that declares 4 GiB.
fs::path write_hostile(const fs::path& path) {
    RawArchive raw;
    const std::uint32_t loop = raw.write_chain(pattern(1020, 7));  // one block's payload
    raw.write_u32_at(loop, loop);
    const std::uint32_t shared = raw.write_chain(pattern(900, 8));
    const Bytes huge = huge_claim();
    const std::uint32_t claim = raw.write_chain(huge);
    tarnwick_dat_writer::NodeSpec root;
    root.entries = {
        DatFileEntry{0, 0x01000001, loop, 5000, k2020, 0},
        DatFileEntry{0, 0x01000002, shared, 900, k2020, 0},
        DatFileEntry{0, 0x01000003, shared, 900, k2020, 0},
        DatFileEntry{1, 0x01000004, claim, static_cast<std::uint32_t>(huge.size()), k2020, 0}};
    raw.header.root_offset = raw.write_node(root);
    EXPECT_TRUE(raw.write(path).has_value());
    return path;
}

// ------------------------------------------------------------ the tree

struct Shown {
    std::string path;  // relative to the mount point, in listing order
    bool directory = false;
    std::string bytes;  // a file's bytes, or "EIO"
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
};

// Lists the tree depth first in the order readdir gives, reading every
// file whole.
void walk(const fs::path& root, const fs::path& dir, std::vector<Shown>& shown) {
    std::vector<fs::path> children;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        children.push_back(entry.path());
    }
    for (const fs::path& child : children) {
        struct stat attr {};
        EXPECT_EQ(::stat(child.c_str(), &attr), 0) << child;
        Shown item{fs::relative(child, root).string(), S_ISDIR(attr.st_mode), "",
                   static_cast<std::uint64_t>(attr.st_size), attr.st_mtim.tv_sec};
        if (item.directory) {
            item.size = 0;
            shown.push_back(item);
            walk(root, child, shown);
            continue;
        }
        const int fd = ::open(child.c_str(), O_RDONLY);
        char buffer[1000];  // reads in small pieces
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
            item.bytes.append(buffer, static_cast<std::size_t>(got));
        }
        if (got < 0) {
            item.bytes = errno == EIO ? "EIO" : std::strerror(errno);
        }
        ::close(fd);
        shown.push_back(item);
    }
}

bool operator==(const Shown& a, const Shown& b) {
    return std::tie(a.path, a.directory, a.bytes, a.size, a.mtime) ==
           std::tie(b.path, b.directory, b.bytes, b.size, b.mtime);
}

void PrintTo(const Shown& item, std::ostream* out) {
    *out << item.path << (item.directory ? "/" : "") << " size " << item.size << " mtime "
         << item.mtime << " bytes "
         << (item.bytes.size() > 12 ? item.bytes.substr(0, 12) + "..." : item.bytes);
}

Shown dir(std::string path, std::int64_t mtime) {
    return {std::move(path), true, "", 0, mtime};
}

Shown file(std::string path, const Bytes& bytes, std::int64_t mtime) {
    return {std::move(path), false, std::string(bytes.begin(), bytes.end()), bytes.size(), mtime};
}

Shown eio(std::string path, std::uint64_t size, std::int64_t mtime) {
    return {std::move(path), false, "EIO", size, mtime};
}

// Where the archive stands in for a timestamp that is no plausible time.
std::int64_t mtime_of(const fs::path& path) {
    struct stat attr {};
    ::stat(path.c_str(), &attr);
    return attr.st_mtim.tv_sec;
}

Bytes looped(std::size_t length, const Bytes& loop) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = loop[i % loop.size()];
    }
    return bytes;
}

struct Case {
    const char* name;
    std::vector<std::string> archives;  // "first", "second", "damaged", "hostile", "large"
    std::vector<std::string> flags;
    // The tree expected, from the archives' paths by name.
    std::vector<Shown> (*expected)(const std::map<std::string, fs::path>& at);
    // Standard error of the server once the tree has been read twice.
    std::string (*messages)(const std::map<std::string, fs::path>& at);
};

std::string no_messages(const std::map<std::string, fs::path>&) {
    return "";
}

std::vector<Shown> first_tree(const std::string& top, std::int64_t archive_time) {
    const auto at = [&](std::string path) { return top + path; };
    std::vector<Shown> tree = {
        dir(at("Model"), archive_time),
        file(at("Model/01000001.bin"), {}, archive_time),
        file(at("Model/01000002.bin"), pattern(3000, 2), k2020 + 60),
        dir(at("Texture"), archive_time),
        file(at("Texture/06000005.bin"), pattern(5000, 3), k2020),
        dir(at("Font"), archive_time),
        file(at("Font/40000001.bin"), pattern(700, 1), k2020),
    };
    return tree;
}

const Case kCases[] = {
    {"one archive",
     {"first"},
     {},
     [](const auto& at) { return first_tree("", mtime_of(at.at("first"))); },
     no_messages},
    {"two side by side",
     {"first", "second"},
     {},
     [](const auto& at) {
         const std::int64_t second_time = mtime_of(at.at("second"));
         std::vector<Shown> tree = {dir("first.dat", mtime_of(at.at("first")))};
         for (Shown item : first_tree("first.dat/", mtime_of(at.at("first")))) {
             tree.push_back(item);
         }
         tree.push_back(dir("second.dat", second_time));
         tree.push_back(dir("second.dat/Table", second_time));
         tree.push_back(file("second.dat/Table/0E000003.bin", pattern(64, 4), k2020 + 2));
         tree.push_back(dir("second.dat/Font", second_time));
         tree.push_back(file("second.dat/Font/40000001.bin", bytes_of("newer font"), k2020 + 1));
         return tree;
     },
     no_messages},
    {"a union, the later archive winning",
     {"first", "second"},
     {"--union"},
     [](const auto& at) {
         const std::int64_t newest = std::max(mtime_of(at.at("first")), mtime_of(at.at("second")));
         std::vector<Shown> tree = first_tree("", newest);
         tree.insert(tree.begin() + 5, dir("Table", newest));
         tree.insert(tree.begin() + 6, file("Table/0E000003.bin", pattern(64, 4), k2020 + 2));
         tree.back() = file("Font/40000001.bin", bytes_of("newer font"), k2020 + 1);
         return tree;
     },
     no_messages},
    {"a damaged stream reads as EIO",
     {"damaged"},
     {},
     [](const auto& at) {
         const std::int64_t time = mtime_of(at.at("damaged"));
         return std::vector<Shown>{dir("Model", time), eio("Model/01000001.bin", 500, time),
                                   file("Model/01000002.bin", pattern(10, 6), k2020)};
     },
     [](const auto& at) {
         return fmt::format("error: {}: 0x01000001: damaged compressed stream\n",
                            at.at("damaged").string());
     }},
    {"a looping chain, a shared chain and a 4 GiB claim",
     {"hostile"},
     {"--cache-size", "1M"},
     [](const auto& at) {
         const std::int64_t time = mtime_of(at.at("hostile"));
         return std::vector<Shown>{
             dir("Model", time), file("Model/01000001.bin", looped(5000, pattern(1020, 7)), k2020),
             file("Model/01000002.bin", pattern(900, 8), k2020),
             file("Model/01000003.bin", pattern(900, 8), k2020),
             eio("Model/01000004.bin", 0xFFFFFFFF, k2020)};
     },
     [](const auto& at) {
         return fmt::format(
             "error: {}: 0x01000004: reading it takes {} bytes, more than the cache of 1048576 "
             "bytes (--cache-size)\n",
             at.at("hostile").string(), 0xFFFFFFFFull + huge_claim().size());
     }},
    {"files larger than the cache, read in pieces",
     {"large"},
     {"--cache-size", "1M"},
     [](const auto& at) {
         const std::int64_t time = mtime_of(at.at("large"));
         return std::vector<Shown>{dir("Model", time),
                                   file("Model/01000001.bin", pattern(3 << 20, 11), k2020),
                                   file("Model/01000002.bin", pattern(2 << 20, 12), k2020),
                                   eio("Model/01000003.bin", (3 << 20) + 100, time)};
     },
     [](const auto& at) {
         return fmt::format("error: {}: 0x01000003: damaged compressed stream\n",
                            at.at("large").string());
     }},
};

void PrintTo(const Case& row, std::ostream* out) {
    *out << row.name;
}

class MountTree : public testing::TestWithParam<Case> {};

TEST_P(MountTree, ShowsTheTreeExtractWrites) {
    SKIP_WITHOUT_FUSE();
    const Case& c = GetParam();
    const TempDir dir;
    const std::map<std::string, std::function<fs::path()>> writers = {
        {"first", [&] { return write_archive(dir.path(), "first.dat", first_archive()); }},
        {"second", [&] { return write_archive(dir.path(), "second.dat", second_archive()); }},
        {"damaged", [&] { return write_archive(dir.path(), "damaged.dat", damaged_archive()); }},
        {"hostile", [&] { return write_hostile(dir.path() / "hostile.dat"); }},
        {"large", [&] { return write_large(dir.path() / "large.dat"); }},
    };
    std::map<std::string, fs::path> at;
    std::vector<fs::path> archives;
    for (const std::string& name : c.archives) {
        at[name] = writers.at(name)();
        archives.push_back(at.at(name));
    }
    Mounted mount(archives, c.flags);
    ASSERT_TRUE(mount.mounted()) << mount.unmount().err;
    std::vector<Shown> first;
    std::vector<Shown> again;
    within_limit(mount, [&] {
        walk(mount.root(), mount.root(), first);
        walk(mount.root(), mount.root(), again);
    });
    EXPECT_EQ(first, c.expected(at));
    EXPECT_EQ(again, first);
    const ChildRun server = mount.unmount();
    EXPECT_TRUE(server.exited && server.exit_status == 0) << server.err;
    EXPECT_EQ(server.err, c.messages(at));
    EXPECT_FALSE(mount.mounted());
}

INSTANTIATE_TEST_SUITE_P(Archives, MountTree, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& row) {
                             std::string name;
                             for (const char ch : std::string(row.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

// ------------------------------------------------- one mount, many views

TEST(Mount, InodesModesAndFiguresHoldAcrossMounts) {
    SKIP_WITHOUT_FUSE();
    const TempDir dir;
    const fs::path archive = write_archive(dir.path(), "first.dat", first_archive());
    std::map<std::string, ino_t> inodes[2];
    for (auto& seen : inodes) {
        Mounted mount({archive});
        ASSERT_TRUE(mount.mounted());
        within_limit(mount, [&] {
            for (const auto& entry : fs::recursive_directory_iterator(mount.root())) {
                struct stat attr {};
                ASSERT_EQ(::stat(entry.path().c_str(), &attr), 0);
                EXPECT_EQ(attr.st_mode & 07777, S_ISDIR(attr.st_mode) ? 0555u : 0444u);
                seen[fs::relative(entry.path(), mount.root()).string()] = attr.st_ino;
            }
            const fs::path font = mount.root() / "Font" / "40000001.bin";
            EXPECT_EQ(::open(font.c_str(), O_WRONLY), -1);
            EXPECT_EQ(errno, EROFS);
            EXPECT_FALSE(fs::exists(mount.root() / "Font" / "40000001.BIN"));
            EXPECT_FALSE(fs::exists(mount.root() / "Model" / "40000001.bin"));
            struct statvfs figures {};
            ASSERT_EQ(::statvfs(mount.root().c_str(), &figures), 0);
            EXPECT_EQ(figures.f_bsize, 1024u);
            EXPECT_EQ(figures.f_blocks, (fs::file_size(archive) + 1023) / 1024);
            EXPECT_EQ(figures.f_files, 4u);
            EXPECT_EQ(figures.f_bavail, 0u);
        });
    }
    EXPECT_EQ(inodes[0].size(), 7u);
    EXPECT_EQ(inodes[0], inodes[1]);
    std::set<ino_t> distinct;
    for (const auto& [path, ino] : inodes[0]) {
        distinct.insert(ino);
    }
    EXPECT_EQ(distinct.size(), inodes[0].size());
}

TEST(Mount, TwoReadersAtOnceReadTheSameBytes) {
    SKIP_WITHOUT_FUSE();
    const TempDir dir;
    ArchiveBuilder builder;
    std::map<std::string, Bytes> files;
    for (std::uint32_t i = 0; i < 40; ++i) {
        const Bytes bytes = pattern(200 + i * 997 % 20000, static_cast<std::uint8_t>(i));
        builder.add_file(0x01000000 + i, bytes, stamped(i % 2 == 0, k2020));
        files[fmt::format("Model/{:08X}.bin", 0x01000000 + i)] = bytes;
    }
    const fs::path archive = write_archive(dir.path(), "many.dat", builder);
    // A cache smaller than the files: the readers keep evicting each other.
    Mounted mount({archive}, {"--cache-size", "64K"});
    ASSERT_TRUE(mount.mounted());
    const auto reader = [&](bool backwards) {
        std::map<std::string, Bytes> seen;
        std::vector<std::string> names;
        for (const auto& [name, bytes] : files) {
            names.push_back(name);
        }
        if (backwards) {
            std::reverse(names.begin(), names.end());
        }
        for (const std::string& name : names) {
            std::ifstream in(mount.root() / name, std::ios::binary);
            seen[name] = Bytes(std::istreambuf_iterator<char>(in), {});
        }
        return seen;
    };
    within_limit(mount, [&] {
        auto one = std::async(std::launch::async, reader, false);
        auto two = std::async(std::launch::async, reader, true);
        EXPECT_EQ(one.get(), files);
        EXPECT_EQ(two.get(), files);
    });
}

TEST(Mount, RunsInTheBackgroundUntilUnmounted) {
    SKIP_WITHOUT_FUSE();
    const TempDir dir;
    const fs::path archive = write_archive(dir.path(), "first.dat", first_archive());
    const fs::path point = dir.path() / "mnt";
    fs::create_directory(point);
    const ChildRun mount = tool({"mount", archive.string(), point.string()});
    EXPECT_EQ(mount.exit_status, 0) << mount.err;
    EXPECT_EQ(mount.out + mount.err, "");
    const bool was_mounted = mounted_at(point);
    const ChildRun umount = tool({"umount", point.string()});
    EXPECT_TRUE(was_mounted);
    EXPECT_EQ(umount.exit_status, 0) << umount.err;
    EXPECT_FALSE(mounted_at(point));
}

TEST(Mount, RefusesWhatItCannotMount) {
    SKIP_WITHOUT_FUSE();
    const TempDir dir;
    const fs::path archive = write_archive(dir.path(), "first.dat", first_archive());
    const fs::path point = dir.path() / "mnt";
    fs::create_directory(point);
    // A directory node that is its own child.
    RawArchive loop;
    const std::uint32_t node = loop.write_node({});
    loop.set_branch(node, 0, node);
    loop.header.root_offset = node;
    ASSERT_TRUE(loop.write(dir.path() / "loop.dat").has_value());
    const fs::path other = dir.path() / "other";
    fs::create_directory(other);
    fs::copy_file(archive, other / "first.dat");

    struct Refusal {
        std::vector<std::string> args;
        int status;
        std::string err_start;
    };
    const std::string a = archive.string();
    const Refusal refusals[] = {
        {{"mount", (dir.path() / "loop.dat").string(), point.string()},
         1,
         fmt::format("error: {}: ", (dir.path() / "loop.dat").string())},
        {{"mount", a, (dir.path() / "none").string()},
         1,
         fmt::format("error: cannot mount on '{}': No such file or directory\n",
                     (dir.path() / "none").string())},
        {{"mount", a, a}, 1, fmt::format("error: cannot mount on '{}': Not a directory\n", a)},
        {{"mount", a, (other / "first.dat").string(), point.string()},
         2,
         "error: two archives are named 'first.dat'"},
        {{"mount", point.string()}, 2, "error: MOUNTPOINT is required\n"},
        {{"mount", a, point.string(), "--cache-size", "lots"}, 2, "error: invalid --cache-size"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(refusal.args, " ")));
        const ChildRun run = tool(refusal.args);
        EXPECT_EQ(run.exit_status, refusal.status);
        EXPECT_EQ(run.err.rfind(refusal.err_start, 0), 0u) << run.err;
        EXPECT_FALSE(mounted_at(point));
    }
}

}  // namespace
