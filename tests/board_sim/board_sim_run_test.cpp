// SPDX-License-Identifier: MIT
// The board-sim binary running the programs: its JSON document, the waveform
// files it leaves (none unless asked), and a stop signal in the middle of a
// probe. Needs root for the simulated board; skips otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "run_board_sim.h"

namespace {

using board_sim_test::Ran;
using board_sim_test::run_board_sim;

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class BoardSimRun : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for the simulated board";
    }
};

TEST_F(BoardSimRun, JsonDocumentOfABtcRun)
{
    const Ran r = run_board_sim({"probe", "--family", "btc", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
    for (const char *field :
         {"\"subcommand\": \"probe\"", "\"family\": \"BTC\"", "\"exit_status\": 0", "\"name\": \"BTC detection\"",
          "\"verdict\": \"matches the BTC pattern", "\"cycles\": 1", "\"path\": \"/usr/bin/tempSensor\"",
          "\"appended\": [\n        \"YES\"\n      ]", "\"stdout\": \"open device success"})
        EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
    EXPECT_EQ(r.out.find("== "), std::string::npos) << "no text summary in the document";
}

TEST_F(BoardSimRun, WaveformIsKeptOnlyWhereAsked)
{
    char dir[] = "/tmp/board-sim-run-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const char *old = getenv("TMPDIR");
    const std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", dir, 1);
    const Ran plain = run_board_sim({"i2c", "--device-byte", "0xa5", "read"});
    const std::string kept = std::string(dir) + "/kept.vcd";
    const Ran asked = run_board_sim({"i2c", "--vcd", kept, "--quiet", "read"});
    if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");

    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.out.find("i2c read data=165!"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find("== waveform:"), std::string::npos) << plain.out;
    EXPECT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(asked.out.find("i2c read data"), std::string::npos) << "--quiet: only the summary";
    EXPECT_NE(asked.out.find("== waveform: " + kept), std::string::npos) << asked.out;

    std::vector<std::string> left;
    if (DIR *d = opendir(dir)) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                left.emplace_back(e->d_name);
        closedir(d);
    }
    EXPECT_EQ(left, std::vector<std::string>{"kept.vcd"}) << "nothing but the waveform asked for";
    unlink(kept.c_str());
    rmdir(dir);
}

TEST_F(BoardSimRun, StopSignalEndsTheRunWithoutReruns)
{
    // No board: ten attempts over six seconds, stopped in the second.
    const Ran r = run_board_sim({"probe"}, 1200);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.out.find("== miner-probe stopped by signal 15"), std::string::npos) << r.out;
    EXPECT_LT(count(r.out, "open device success"), 10u) << "the program was stopped, not run out";
    EXPECT_EQ(count(r.out, "== miner-probe on the default board"), 1u) << "no rerun";
    EXPECT_NE(r.err.find("board-sim: stopped by signal 15"), std::string::npos) << r.err;
}

} // namespace
