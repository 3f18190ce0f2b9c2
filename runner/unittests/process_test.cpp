// The runner as a whole process: its own command line, the real streams and
// the exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using testing::HasSubstr;
using testing::StartsWith;

struct Process {
    int status;
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs the demo suite through the shell; `stdout_to` overrides where its
// standard output goes.
Process run_demo(const std::string& args, const std::string& environment = "",
                 const std::string& stdout_to = "") {
    // Per process: ctest runs these tests as separate processes at once.
    const std::string stem = testing::TempDir() + "runner_demo." + std::to_string(getpid());
    const std::string out_path = stem + ".out";
    const std::string err_path = stem + ".err";
    const std::string command = environment + " " + RUNNER_DEMO + " " + args + " > " +
                                (stdout_to.empty() ? out_path : stdout_to) + " 2> " + err_path;
    const int raw = std::system(command.c_str());
    Process process{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out_path),
                    read_file(err_path)};
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return process;
}

TEST(Process, PassingRunReturnsZero) {
    const Process process = run_demo("passes --test-threads 1");
    EXPECT_EQ(process.status, 0);
    EXPECT_THAT(process.out,
                StartsWith("\nrunning 1 test\ntest demo::passes ... ok\n\ntest result: "
                           "ok. 1 passed; 0 failed; 0 ignored; 0 measured; 1 "
                           "filtered out; finished in "));
    EXPECT_EQ(process.err, "");
}

TEST(Process, FailingRunExitsWith101AndReportsTheCheck) {
    const Process process = run_demo("");
    EXPECT_EQ(process.status, 101);
    EXPECT_THAT(process.out, HasSubstr("test demo::fails ... FAILED\n"));
    EXPECT_THAT(process.out,
                testing::MatchesRegex(
                    "(.|\n)*\nthread 'demo::fails' \\([0-9]+\\) panicked at "
                    "runner/unittests/demo_suite.cpp:15:[0-9]+:\nassertion `left == right` "
                    "failed\n  left: 2\n right: 3\nnote: run with `QUORVANT_BACKTRACE=1` "
                    "environment variable to display a backtrace\n(.|\n)*"));
    EXPECT_EQ(process.err, "");
}

TEST(Process, BacktraceVariablePrintsAStackTrace) {
    const Process process = run_demo("fails", "QUORVANT_BACKTRACE=1");
    EXPECT_THAT(process.out, HasSubstr("right: 3\nstack backtrace:\n   0: "));
    EXPECT_THAT(process.out, Not(HasSubstr("note: run with")));
}

TEST(Process, HelpNamesTheProgramAsInvoked) {
    const Process process = run_demo("--help");
    EXPECT_EQ(process.status, 0);
    EXPECT_THAT(process.out,
                StartsWith(std::string("Usage: ") + RUNNER_DEMO + " [OPTIONS] [FILTERS...]\n"));
}

TEST(Process, CommandLineErrorExitsWith101) {
    const Process process = run_demo("--foo");
    EXPECT_EQ(process.status, 101);
    EXPECT_EQ(process.out, "");
    EXPECT_EQ(process.err, "error: Unrecognized option: 'foo'\n");
}

TEST(Process, UnwritableReportIsAnIoError) {
    for (const char* args : {"--list", "passes"}) {
        const Process process = run_demo(args, "", "/dev/full");
        EXPECT_EQ(process.status, 101) << args;
        EXPECT_EQ(process.err,
                  "error: io error when listing tests: No space left on device (os error 28)\n")
            << args;
    }
}

TEST(Process, AReaderThatGoesAwayIsAnIoErrorNotASignal) {
    const std::string err_path =
        testing::TempDir() + "runner_demo_pipe." + std::to_string(getpid()) + ".err";
    // The reader exits before the report is written: the write fails with
    // EPIPE, which must come back as the report's write error.
    const std::string command = std::string("(sleep 0.3; ") + RUNNER_DEMO + " --list 2> " +
                                err_path + "; echo $? > " + err_path + ".status) | true";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_file(err_path + ".status"), "101\n");
    EXPECT_EQ(read_file(err_path),
              "error: io error when listing tests: Broken pipe (os error 32)\n");
    std::remove(err_path.c_str());
    std::remove((err_path + ".status").c_str());
}

TEST(Process, ReadsItsCommandLineWithoutProc) {
    // The arguments come from the process start, not from /proc, so a
    // process that cannot see /proc still obeys its command line.
    const std::string noproc_out =
        testing::TempDir() + "noproc." + std::to_string(getpid()) + ".out";
    const std::string command = std::string("unshare -m sh -c 'umount /proc 2>/dev/null; ") +
                                RUNNER_DEMO + " --list' > " + noproc_out;
    if (std::system(command.c_str()) != 0) {
        GTEST_SKIP() << "no mount namespace here";
    }
    EXPECT_EQ(read_file(noproc_out),
              "demo::fails: test\ndemo::passes: test\n\n2 tests, 0 benchmarks\n");
}

}  // namespace
