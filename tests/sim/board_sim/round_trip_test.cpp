// SPDX-License-Identifier: MIT
// From a log to a scenario and back: for a miner-probe log L, S is
// `board-sim explain --as-scenario L` and L2 the log of `board-sim probe
// --scenario S`; L2 must show the same run as L (run_difference). The logs
// come from the committed scenarios, from paced-wire chains, from the
// committed logs (0.1.0's probe on long chains, field-like and hand-made
// ones) and from logs cut short. Needs root for the simulated board.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <filesystem>

#include "explain.h"
#include "round_trip.h"
#include "sandbox.h"
#include "scenario.h"

namespace {

using board_sim::Json;
using namespace board_sim_test;
namespace fs = std::filesystem;

void expect_same_run(const std::string &log, const std::string &what)
{
    const int runs = board_sim::explain_log(log).runs;
    const RoundTrip t = round_trip(log);
    EXPECT_EQ(board_sim::run_difference(log, runs, t.replayed, 1), "") << what << "\nscenario:\n" << t.scenario;
}

class RoundTripTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for the simulated board";
    }
};

// One case per file of `dir` that `wanted` takes, by its name; each is a
// ctest test of its own, so that they run side by side.
std::vector<std::string> files_of(const char *dir, bool (*wanted)(const fs::path &))
{
    std::vector<std::string> files;
    for (const fs::directory_entry &f : fs::directory_iterator(dir))
        if (wanted(f.path()))
            files.push_back(f.path().filename());
    std::ranges::sort(files);
    return files;
}

std::string case_name(const testing::TestParamInfo<std::string> &info)
{
    std::string name = fs::path(info.param).stem();
    std::ranges::replace_if(
        name, [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

class ScenarioLog : public RoundTripTest, public testing::WithParamInterface<std::string> {};

TEST_P(ScenarioLog, RoundTrip)
{
    expect_same_run(probe_log({"--scenario", std::string(SCENARIOS_DIR) + "/" + GetParam()}, true), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Committed, ScenarioLog,
                         testing::ValuesIn(files_of(SCENARIOS_DIR,
                                                    [](const fs::path &f) {
                                                        return Json::parse(sim::Sandbox::read_file(f))["tool"] ==
                                                               "probe";
                                                    })),
                         case_name);

// Paced at the line's speed, replies of long chains are read in pieces and
// late; the replay answers at once, yet today's program reads the same.
class WireLog : public RoundTripTest, public testing::WithParamInterface<std::string> {};

TEST_P(WireLog, RoundTrip)
{
    for (const char *chips : {"6", "60", "256"})
        expect_same_run(probe_log({"--family", GetParam(), "--wire", "--chips", chips}, false),
                        GetParam() + " on " + chips + " chips");
}

INSTANTIATE_TEST_SUITE_P(Chains, WireLog, testing::Values("LTC", "SIA", "DASH"), case_name);

// Every run of each committed log but the hand-made ones.
class CommittedLog : public RoundTripTest, public testing::WithParamInterface<std::string> {};

TEST_P(CommittedLog, RoundTrip)
{
    const std::string log = sim::Sandbox::read_file(std::string(LOGS_DIR) + "/" + GetParam());
    for (int run = 1; run <= board_sim::explain_log(log).runs; ++run) {
        const RoundTrip t = round_trip(log, run);
        EXPECT_EQ(board_sim::run_difference(log, run, t.replayed, 1), "")
            << GetParam() << " run " << run << "\nscenario:\n"
            << t.scenario;
    }
}

INSTANTIATE_TEST_SUITE_P(Logs, CommittedLog,
                         testing::ValuesIn(files_of(LOGS_DIR,
                                                    [](const fs::path &f) {
                                                        return !f.filename().string().starts_with("hand-made");
                                                    })),
                         case_name);

// What the simulated line cannot do (a device that opens in some attempts
// only, a failed write, a failed wait) is named in the note; the rest of the
// run is replayed.
TEST_F(RoundTripTest, HandMadeFaultsAreNamedInTheNote)
{
    const std::string log = sim::Sandbox::read_file(fs::path(LOGS_DIR) / "hand-made-faults.log");
    const RoundTrip t = round_trip(log);
    const std::string note = Json::parse(t.scenario)["note"];
    for (const char *line : {"line 3: the serial device did not open in some attempts only",
                             "line 18: usb_uart_write failed", "line 20: the wait for the reply failed"})
        EXPECT_NE(note.find(line), std::string::npos) << note;
    EXPECT_NE(board_sim::run_difference(log, 1, t.replayed, 1), "");
    EXPECT_NE(t.replayed.find("ltc read temp sensor register 0xfe OK"), std::string::npos) << t.replayed;
}

// A log cut inside its run gives the scenario of what it shows: the replay
// goes through the same exchanges first, then on by the board's rules.
TEST_F(RoundTripTest, CutLogsReplayWhatTheyShow)
{
    const std::string whole = probe_log({"--family", "SIA", "--set", "sensor=at=12"}, false);
    // Inside the family's line, inside the sensor detection, near the end.
    for (const size_t cut : {whole.find("sia miner") + 3, whole.size() / 2, whole.size() * 9 / 10}) {
        const std::string log = whole.substr(0, cut);
        const RoundTrip t = round_trip(log);
        EXPECT_NE(Json::parse(t.scenario)["note"].get<std::string>().find("The log ends inside the run"),
                  std::string::npos)
            << t.scenario;
        const auto shown = board_sim::logged_exchanges(log);
        const auto replayed = board_sim::logged_exchanges(t.replayed);
        ASSERT_GE(replayed.size(), shown.size());
        for (size_t i = 0; i + 1 < shown.size(); ++i) // the last one may be cut inside its read
            EXPECT_EQ(std::tie(shown[i].sent, shown[i].read, shown[i].reply),
                      std::tie(replayed[i].sent, replayed[i].read, replayed[i].reply))
                << "exchange " << i << " of the log cut at byte " << cut;
        EXPECT_NE(t.replayed.find("sia miner"), std::string::npos) << "the family, from its reply alone";
    }
}

} // namespace
