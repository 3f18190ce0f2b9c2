// The library and the tool under a preloaded shim that makes the archive's
// reads fail with EIO (each read in turn), come back short, or be
// interrupted. A read fault must end in a failing status with an "error:"
// line, never in output passed off as complete; short and interrupted reads
// must change nothing.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/font_encoder.hpp>
#include <vector>

#include "child_process.hpp"

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::Bytes;
using tarnwick_dat_test::ChildOptions;
using tarnwick_dat_test::ChildRun;
using tarnwick_dat_test::read_text;
using tarnwick_dat_test::run_child;
using tarnwick_dat_test::TempDir;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::FileOptions;

enum class Target { Driver, Cat, Extract, Ls, Verify };
enum class Fault { Eio, ShortReads, Eintr };

struct FaultCase {
    const char* name;
    Target target;
    Fault fault;
};

// The fault matrix: every program under every kind of fault. For EIO the
// case runs once for each read a clean run makes, failing that read.
const FaultCase kCases[] = {
    {"DriverEio", Target::Driver, Fault::Eio},
    {"DriverShortReads", Target::Driver, Fault::ShortReads},
    {"DriverEintr", Target::Driver, Fault::Eintr},
    {"CatEio", Target::Cat, Fault::Eio},
    {"CatShortReads", Target::Cat, Fault::ShortReads},
    {"CatEintr", Target::Cat, Fault::Eintr},
    {"ExtractEio", Target::Extract, Fault::Eio},
    {"ExtractShortReads", Target::Extract, Fault::ShortReads},
    {"ExtractEintr", Target::Extract, Fault::Eintr},
    {"LsEio", Target::Ls, Fault::Eio},
    {"LsShortReads", Target::Ls, Fault::ShortReads},
    {"LsEintr", Target::Ls, Fault::Eintr},
    {"VerifyEio", Target::Verify, Fault::Eio},
    {"VerifyShortReads", Target::Verify, Fault::ShortReads},
    {"VerifyEintr", Target::Verify, Fault::Eintr},
};

void PrintTo(const FaultCase& row, std::ostream* out) {
    *out << row.name;
}

struct StoredFile {
    std::uint32_t id;
    Bytes bytes;
};

// The file that `cat` fetches: compressed, over several blocks.
constexpr std::uint32_t kCatId = 0x06000002;

std::vector<StoredFile> sample_files() {
    auto pattern = [](std::size_t length, unsigned seed) {
        Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<std::uint8_t>((i * seed + i / 7) % 251);
        }
        return bytes;
    };
    return {
        {0x01000001, pattern(700, 3)},
        {0x01000002, {}},
        {0x06000001, pattern(1500, 5)},
        {kCatId, pattern(2600, 1)},
        {0x06000003, pattern(90, 7)},
        {0x0A000001, pattern(1200, 11)},
        {0x0A000002, pattern(40, 13)},
        {0x40000001,
         tarnwick_dat_writer::encode_font(tarnwick_dat_writer::plain_font(0x40000001, 20))},
        {0x40000002, pattern(511, 17)},
        {0x0F000001, pattern(2048, 19)},
    };
}

// Small blocks and small directory nodes, so that even a small archive
// takes many reads: chains over several blocks, compressed and scattered
// ones among them, and a directory three levels deep.
Bytes build_archive(const std::vector<StoredFile>& files) {
    ArchiveBuilder builder(512);
    for (std::size_t i = 0; i < files.size(); ++i) {
        FileOptions options;
        options.compress = i % 3 == 1;
        if (i % 4 == 2) {
            options.chain = tarnwick_dat_writer::scattered();
        }
        builder.add_file(files[i].id, files[i].bytes, options);
    }
    tarnwick_dat_writer::DirectoryOptions directory;
    directory.max_entries_per_node = 2;
    builder.directory(directory);
    return builder.build();
}

std::string digest_line(std::uint32_t id, const Bytes& bytes) {
    std::uint64_t digest = 0xcbf29ce484222325;
    for (const std::uint8_t byte : bytes) {
        digest = (digest ^ byte) * 0x100000001b3;
    }
    return fmt::format("{:08X} {} {:016x}\n", id, bytes.size(), digest);
}

std::string digest_line(std::uint32_t id, std::string_view bytes) {
    return digest_line(id, Bytes(bytes.begin(), bytes.end()));
}

// Every file under `root`, by its path relative to `root`: its length and
// digest, which keep a failure's message short.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> files;
    if (!fs::exists(root)) {
        return files;
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), root).string()] =
                digest_line(0, read_text(entry.path()));
        }
    }
    return files;
}

struct Outcome {
    ChildRun run;
    std::map<std::string, std::string> extracted;
};

class FaultInjection : public testing::TestWithParam<FaultCase> {
  protected:
    static void SetUpTestSuite() {
        files_ = new std::vector<StoredFile>(sample_files());
        archive_ = new tarnwick_dat_writer::TempArchiveFile(build_archive(*files_));
    }
    static void TearDownTestSuite() {
        delete archive_;
        delete files_;
    }

    // Runs the case's program with the shim in mode `fault`.
    Outcome run(const std::string& fault) {
        const fs::path out_dir = dir_.path() / "out";
        fs::remove_all(out_dir);
        const std::string archive = archive_->path().string();
        std::vector<std::string> argv;
        switch (GetParam().target) {
            case Target::Driver:
                argv = {TARNWICK_FETCH_ALL, archive};
                for (const StoredFile& file : *files_) {
                    argv.push_back(fmt::format("{:08X}", file.id));
                }
                break;
            case Target::Cat:
                argv = {TARNWICK_DAT_TOOL, "cat", archive, fmt::format("0x{:08X}", kCatId)};
                break;
            case Target::Extract:
                argv = {TARNWICK_DAT_TOOL, "extract", archive, out_dir.string(), "--quiet"};
                break;
            case Target::Ls:
                argv = {TARNWICK_DAT_TOOL, "ls", archive};
                break;
            case Target::Verify:
                argv = {TARNWICK_DAT_TOOL, "verify", archive, "-j1"};
                break;
        }
        ChildOptions options;
        options.env = {preload(), "TARNWICK_FAULT_PATH=" + archive, "TARNWICK_FAULT=" + fault,
                       "TARNWICK_FAULT_COUNT=" + (dir_.path() / "count").string()};
        Outcome outcome{run_child(argv, options), tree(out_dir)};
        EXPECT_FALSE(outcome.run.timed_out) << fault;
        return outcome;
    }

    // The number of reads of the archive in the last run.
    // (No "0" + text here: g++ 12 at -O3 warns wrongly about that concatenation,
    // -Wrestrict.)
    unsigned long reads() const {
        const std::string count = read_text(dir_.path() / "count");
        return count.empty() ? 0 : std::stoul(count);
    }

    // What a clean run must give, from the files as written.
    void expect_clean_output(const Outcome& clean) const {
        switch (GetParam().target) {
            case Target::Driver: {
                std::string lines;
                for (const StoredFile& file : *files_) {
                    lines += digest_line(file.id, file.bytes);
                }
                EXPECT_EQ(clean.run.out, lines);
                break;
            }
            case Target::Cat:
                for (const StoredFile& file : *files_) {
                    if (file.id == kCatId) {
                        EXPECT_EQ(clean.run.out, std::string(file.bytes.begin(), file.bytes.end()));
                    }
                }
                break;
            case Target::Extract: {
                // By file name: the type folders are the tool's business.
                std::map<std::string, std::string> expected;
                std::map<std::string, std::string> got;
                for (const StoredFile& file : *files_) {
                    expected[fmt::format("{:08X}.bin", file.id)] = digest_line(0, file.bytes);
                }
                for (const auto& [path, digest] : clean.extracted) {
                    got[fs::path(path).filename().string()] = digest;
                }
                EXPECT_EQ(got, expected);
                break;
            }
            case Target::Ls:
                EXPECT_NE(clean.run.out.find(fmt::format("{:08X}", kCatId)), std::string::npos);
                break;
            case Target::Verify:
                EXPECT_NE(clean.run.out.find("\n0x40000002 Font: Font does not decode (511 bytes)"),
                          std::string::npos)
                    << clean.run.out;
                EXPECT_NE(clean.run.out.find(": 1 damage, "), std::string::npos) << clean.run.out;
                break;
        }
    }

  private:
    // An ASan-instrumented program carries its runtime statically and needs
    // nothing before the shim; the shim itself has no sanitizer runtime.
    static std::string preload() { return std::string("LD_PRELOAD=") + TARNWICK_FAULT_SHIM; }

    TempDir dir_;
    static std::vector<StoredFile>* files_;
    static tarnwick_dat_writer::TempArchiveFile* archive_;
};

std::vector<StoredFile>* FaultInjection::files_ = nullptr;
tarnwick_dat_writer::TempArchiveFile* FaultInjection::archive_ = nullptr;

TEST_P(FaultInjection, FailsCleanlyOrChangesNothing) {
    const Outcome clean = run("count");
    // verify finds the one file of a checked type that is no record.
    const int clean_status = GetParam().target == Target::Verify ? 1 : 0;
    ASSERT_EQ(clean.run.exit_status, clean_status) << clean.run.err << clean.run.out;
    EXPECT_EQ(clean.run.err, "");
    expect_clean_output(clean);
    const unsigned long clean_reads = reads();
    // The shim saw the archive's reads (the header, a node, a file at the
    // least); otherwise nothing below is tested.
    ASSERT_GE(clean_reads, 3u);

    switch (GetParam().fault) {
        case Fault::Eio:
            for (unsigned long n = 1; n <= clean_reads; ++n) {
                const Outcome faulty = run(fmt::format("eio:{}", n));
                SCOPED_TRACE(fmt::format("EIO at read {} of {}", n, clean_reads));
                EXPECT_TRUE(faulty.run.failed_cleanly())
                    << "exit " << faulty.run.exit_status << ", signal " << faulty.run.signal;
                if (GetParam().target == Target::Verify) {
                    // verify reports read faults as findings, an open that
                    // failed included, and never opens again to hide one.
                    EXPECT_NE(faulty.run.out.find("Input/output error"), std::string::npos)
                        << faulty.run.out;
                } else {
                    EXPECT_TRUE(faulty.run.has_error_line()) << faulty.run.err;
                }
            }
            break;
        case Fault::ShortReads:
        case Fault::Eintr: {
            const Outcome faulty = run(GetParam().fault == Fault::Eintr ? "eintr" : "short");
            EXPECT_EQ(faulty.run.exit_status, clean_status) << faulty.run.err;
            EXPECT_EQ(faulty.run.out, clean.run.out);
            EXPECT_EQ(faulty.run.err, clean.run.err);
            EXPECT_EQ(faulty.extracted, clean.extracted);
            // Every read was disturbed, so there were more calls than reads.
            EXPECT_GT(reads(), clean_reads);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultInjection, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<FaultCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
