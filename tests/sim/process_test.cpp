// SPDX-License-Identifier: MIT
// The process runner: how a run ended (status, signal, time-out, never
// started) and where its standard streams went.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <ostream>
#include <string>

#include "process.h"

namespace {

using sim::RunResult;
using sim::Sink;

std::string scratch(const char *name)
{
    return testing::TempDir() + name + "-" + std::to_string(getpid());
}

std::string write_file(const char *name, const std::string &text, mode_t mode)
{
    std::string path = scratch(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
    return path;
}

struct Ending {
    const char *what;
    std::vector<std::string> argv;
    int timeout_ms;
    int exit_status;
    int signal;
    bool timed_out;
};

void PrintTo(const Ending &e, std::ostream *os)
{
    *os << e.what;
}

class HowARunEnds : public testing::TestWithParam<Ending> {};

TEST_P(HowARunEnds, StatusSignalAndTimeOut)
{
    const Ending &e = GetParam();
    const RunResult r = sim::run_process({.argv = e.argv}, e.timeout_ms);
    EXPECT_EQ(r.exec_errno, 0) << r.exec_error;
    EXPECT_EQ(r.exec_error, "");
    EXPECT_EQ(r.exit_status, e.exit_status);
    EXPECT_EQ(r.signal, e.signal);
    EXPECT_EQ(r.timed_out, e.timed_out);
    EXPECT_FALSE(r.stopped);
}

INSTANTIATE_TEST_SUITE_P(
    Runner, HowARunEnds,
    testing::Values(
        Ending{"exits 0", {"true"}, sim::NO_TIME_LIMIT, 0, 0, false},
        Ending{"exits 3", {"/bin/sh", "-c", "exit 3"}, sim::NO_TIME_LIMIT, 3, 0, false},
        // A program of its own that exits 127 has started all the same.
        Ending{"exits 127", {"/bin/sh", "-c", "exit 127"}, sim::NO_TIME_LIMIT, 127, 0, false},
        Ending{"killed", {"/bin/sh", "-c", "kill -TERM $$"}, sim::NO_TIME_LIMIT, 128 + SIGTERM, SIGTERM, false},
        Ending{"too slow", {"sleep", "60"}, 200, 128 + SIGKILL, SIGKILL, true}),
    [](const testing::TestParamInfo<Ending> &info) {
        std::string name = info.param.what;
        for (char &c : name)
            c = c == ' ' ? '_' : c;
        return name;
    });

TEST(Runner, ExecFailuresComeBackWithTheirErrnoAndStep)
{
    const std::string script = write_file("not-executable", "#!/bin/sh\nexit 0\n", 0644);
    const std::string missing = scratch("no-such-program");
    const struct {
        sim::ProcessLaunch launch;
        int exec_errno;
        std::string exec_error;
    } cases[] = {
        {{.argv = {missing}}, ENOENT, missing + ": No such file or directory"},
        {{.argv = {script}}, EACCES, script + ": Permission denied"},
        {{.argv = {"no-such-program-on-path-at-all"}},
         ENOENT,
         "no-such-program-on-path-at-all: No such file or directory"},
        {{.argv = {"true"}, .stdin_path = missing}, ENOENT, missing + ": No such file or directory"},
        {{.argv = {"true"},
          .child_setup =
              [] {
                  errno = EPERM;
                  return "set-up step";
              }},
         EPERM,
         "set-up step: Operation not permitted"},
        {{}, EINVAL, "no program to run"},
    };
    for (const auto &c : cases) {
        sim::Process p(c.launch);
        EXPECT_EQ(p.pid(), -1) << c.exec_error;
        const RunResult r = p.wait(sim::NO_TIME_LIMIT);
        EXPECT_EQ(r.exec_errno, c.exec_errno) << c.exec_error;
        EXPECT_EQ(r.exec_error, c.exec_error);
        EXPECT_FALSE(r.timed_out);
    }
    unlink(script.c_str());
}

TEST(Runner, StreamsAreCapturedOrJoined)
{
    const std::string input = write_file("input", "from the file\n", 0644);
    const char *both = "cat; echo out; echo err >&2; echo out2";
    RunResult r = sim::run_process(
        {.argv = {"/bin/sh", "-c", both}, .stdin_path = input, .out = Sink::Capture, .err = Sink::Capture},
        sim::NO_TIME_LIMIT);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "from the file\nout\nout2\n");
    EXPECT_EQ(r.err, "err\n");

    r = sim::run_process(
        {.argv = {"/bin/sh", "-c", both}, .stdin_path = input, .out = Sink::Capture, .err = Sink::Stdout},
        sim::NO_TIME_LIMIT);
    EXPECT_EQ(r.out, "from the file\nout\nerr\nout2\n") << "one stream, in order";
    EXPECT_EQ(r.err, "");

    // Only the standard streams and what the program opens itself: no
    // descriptor of the runner's caller.
    r = sim::run_process({.argv = {"/bin/sh", "-c", "ls /proc/self/fd"}, .out = Sink::Capture}, sim::NO_TIME_LIMIT);
    EXPECT_EQ(r.out, "0\n1\n2\n3\n") << "3: the directory ls reads";
    unlink(input.c_str());
}

TEST(Runner, FindsProgramsOnThePath)
{
    EXPECT_EQ(sim::find_on_path("./x"), "./x");
    const std::string sh = sim::find_on_path("sh");
    EXPECT_EQ(sh.substr(sh.size() - 3), "/sh");
    EXPECT_EQ(access(sh.c_str(), X_OK), 0);
    EXPECT_EQ(sim::find_on_path("no-such-program-on-path-at-all"), "");
}

} // namespace
