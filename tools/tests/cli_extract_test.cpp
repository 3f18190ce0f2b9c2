// tarnwick-dat extract: the files written, replaced, kept or skipped, the
// summary and the limits on what a selection may expand to.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <vector>

#include "tool_test_support.hpp"

namespace tarnwick_dat_cli_test {
namespace {

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

}  // namespace
}  // namespace tarnwick_dat_cli_test
