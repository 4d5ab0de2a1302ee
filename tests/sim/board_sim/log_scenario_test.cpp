// SPDX-License-Identifier: MIT
// The scenario of a log (board-sim explain --as-scenario) without running
// anything: which keys each kind of log gives, that the lines of a system or
// boot log around a run change nothing, that --run picks runs as explain
// numbers them, and that board-sim probe accepts every scenario it gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "command_line.h"
#include "explain.h"
#include "round_trip.h"
#include "sandbox.h"
#include "scenario.h"
#include "transcript.h"

namespace {

using namespace board_sim;
using namespace probe_test;
namespace fs = std::filesystem;

// The scenario's keys, its note left out.
Json keys_of(std::string_view log, int run = 0)
{
    Json doc = scenario_document(scenario_of_log(log, "test.log", run));
    doc.erase("note");
    return doc;
}

// What board-sim probe --scenario does with the document: read, then refuse
// any key that has no effect.
std::string refusal(const ProbeScenario &s)
{
    const board_sim_test::TempFile file(document_text(scenario_document(s)));
    ProbeScenario read;
    std::string why;
    return make_scenario(read, file.path, {}, false, &why) ? "" : why;
}

// One round of LTC sensor queries with these replies ("": a time-out).
Transcript sensor_round(std::initializer_list<std::string> replies)
{
    Transcript queries;
    for (const std::string &r : replies)
        queries.then(ltc_query(r));
    return ltc_round(queries);
}

TEST(LogScenario, KeysReadOffTheLog)
{
    const std::string ok = "0098fe55000018";
    const struct {
        const char *what;
        Transcript log;
        Json keys;
    } cases[] = {
        {"chips from the third attempt, sensor from the second query",
         Transcript()
             .then(unanswered_attempt())
             .then(unanswered_attempt())
             .then(ltc_detected())
             .then(sensor_round({"", ok}))
             .sensor_ok("ltc"),
         {{"tool", "probe"}, {"family", "LTC"}, {"answers_after_cycles", 3}, {"sensor", 2}}},
        {"a status byte with bit 6 set: the sensor is there, and never matches",
         Transcript().then(ltc_detected()).repeat(SENSOR_ROUNDS, sensor_round({"4098fe55000014"})),
         {{"tool", "probe"}, {"family", "LTC"}, {"sensor_status", 0x40}}},
        {"another identity byte",
         Transcript().then(ltc_detected()).then(sensor_round({"0098fe1a00000f"})).sensor_ok("ltc"),
         {{"tool", "probe"}, {"family", "LTC"}, {"sensor_id", 0x1A}}},
        {"a reply no status or identity explains, and a short detection reply",
         Transcript()
             .then(ltc_detected(LTC_CHAIN_REPLY.substr(0, 20)))
             .then(sensor_round({"0098fe550000ff"}))
             .sensor_ok("ltc"),
         {{"tool", "probe"},
          {"family", "LTC"},
          {"sensor_reply", "0098fe550000ff"},
          {"detection_reply", "14850000000001148500"}}},
        {"a family recorded before: nothing else is asked",
         Transcript()
             .text(probe_test::printed(RECORD_PIECE_FORMAT, {"LTC\n"}))
             .text(probe_test::printed(ALREADY_DONE_FORMAT, {"LTC\n"})),
         {{"tool", "probe"}, {"miner_type", {"LTC"}}}},
        {"the alternate board's device does not open",
         Transcript().repeat(PROBE_ATTEMPTS, Transcript().line("open /dev/ttyS0 failed").line(UNKNOWN_MINER_TEXT)),
         {{"tool", "probe"}, {"args", {"alt"}}, {"uart", false}}},
        {"the alternate board: no sensor lines after the family's",
         ltc_detected(),
         {{"tool", "probe"}, {"family", "LTC"}, {"args", {"alt"}}}},
        {"chips answering though the control line could not be written, and a read-only /usr/bin",
         Transcript()
             .line("sh: can't create /sys/class/gpio/gpio27/value: No such file or directory")
             .then(ltc_detected())
             .then(sensor_round({ok}))
             .sensor_ok("ltc")
             .line("sh: can't create /usr/bin/tempSensor: Read-only file system"),
         {{"tool", "probe"},
          {"family", "LTC"},
          {"answers_after_cycles", 0},
          {"gpio_files", false},
          {"records_read_only", true}}},
    };
    for (const auto &c : cases) {
        const std::string log = log_of(c.log);
        EXPECT_EQ(keys_of(log), c.keys) << c.what << "\n" << log;
        EXPECT_EQ(refusal(scenario_of_log(log, "test.log", 0)), "") << c.what;
    }
}

// The lines of a system log around and inside a run, its prefixes and its
// line ends change nothing; a log cut inside a run says where it ends.
TEST(LogScenario, CommittedLogsInSystemLogsAndCut)
{
    int logs = 0;
    for (const fs::directory_entry &f : fs::directory_iterator(LOGS_DIR)) {
        ++logs;
        const std::string log = sim::Sandbox::read_file(f.path());
        const int runs = explain_log(log).runs;
        ASSERT_GT(runs, 0) << f.path();
        std::string logread, crlf, interleaved;
        for (const std::string &line : lines_of(log)) {
            logread += "Thu Dec 10 03:12:41 2026 user.notice miner-probe[812]: " + line + "\n";
            crlf += line + "\r\n";
            interleaved += line + "\n[   12.345678] random: crng init done\ncat: /usr/bin/minerType: No such file or "
                                  "directory\n";
        }
        for (int run = 1; run <= runs; ++run) {
            const Json keys = keys_of(log, run);
            for (const std::string *variant : {&logread, &crlf, &interleaved})
                EXPECT_EQ(keys_of(*variant, run), keys) << f.path() << " run " << run;
            EXPECT_EQ(refusal(scenario_of_log(log, "test.log", run)), "") << f.path() << " run " << run;
        }
        EXPECT_EQ(keys_of(log), keys_of(log, runs)) << "the last run by default";
        // Another boot before it: a run more, the same scenario.
        EXPECT_EQ(keys_of(sim::Sandbox::read_file(fs::path(LOGS_DIR) / "field-ltc-sensor-no.log") + log, runs + 1),
                  keys_of(log, runs));
        const std::string cut = log.substr(0, log.size() / 2 + 7);
        const ProbeScenario s = scenario_of_log(cut, "cut.log", 0);
        EXPECT_TRUE(s.note.find("The log ends inside the run, at line " + std::to_string(lines_of(cut).size())) !=
                        std::string::npos ||
                    s.note.find("taken as the alternate board (a log cut right after") != std::string::npos)
            << f.path() << ": " << s.note;
        EXPECT_EQ(refusal(s), "") << f.path() << " cut";
    }
    EXPECT_GE(logs, 9);
}

// 0.1.0's probe on a long chain reads the chain's records after every query;
// no key says that, so each read is pinned, and the note says why.
TEST(LogScenario, OutOfStepReadsArePinnedOneByOne)
{
    const ProbeScenario s =
        scenario_of_log(sim::Sandbox::read_file(fs::path(LOGS_DIR) / "v0.1.0-ltc-60-chips.log"), "old.log", 0);
    EXPECT_EQ(s.board.family, sim::ChipFamily::LTC);
    ASSERT_EQ(s.board.frame_replies.size(), 100u);
    EXPECT_EQ(s.board.frame_replies[0].frame_name, "LTC sensor query");
    EXPECT_EQ(s.board.frame_replies[99].nth, 100);
    EXPECT_NE(s.note.find("100 reads take the bytes the log shows"), std::string::npos) << s.note;
    EXPECT_NE(s.note.find("Run 1 of 1 (from line 3) of the miner-probe log old.log"), std::string::npos) << s.note;
}

TEST(LogScenario, NthRepliesAreReadAndWrittenAsGiven)
{
    ProbeScenario s;
    std::string why;
    ASSERT_TRUE(
        read_scenario(R"({"replies": ["ltc sensor query#3=0098fe55000018", "LTC detection="]})", &s, nullptr, &why))
        << why;
    EXPECT_EQ(scenario_document(s)["replies"], Json({"LTC sensor query#3=0098fe55000018", "LTC detection="}));
    for (const char *bad : {"LTC sensor query#0=00", "LTC sensor query#x=00", "LTC sensor query#3", "nothing#1=00"})
        EXPECT_FALSE(read_scenario(std::string(R"({"replies": [")") + bad + "\"]}", &s, nullptr, &why)) << bad;
}

// board-sim explain --as-scenario and --run as run: a scenario, or one line
// on standard error and nothing printed.
TEST(LogScenario, BoardSimPrintsAScenarioOrRefusesInOneLine)
{
    using board_sim_test::Ran;
    using board_sim_test::run_board_sim;
    const ParseResult p = parse_command_line({"explain", "--as-scenario", "--run", "2", "boot.log"});
    EXPECT_TRUE(p.command.as_scenario);
    EXPECT_EQ(p.command.explain_run, "2");
    const std::string boot = std::string(LOGS_DIR) + "/boot-two-runs.log";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } refusals[] = {
        {{"explain", "--as-scenario", "/nonexistent-log"}, 1, "board-sim: cannot read /nonexistent-log\n"},
        {{"explain", "--as-scenario", SCENARIOS_DIR "/btc.json"},
         1,
         "board-sim: " SCENARIOS_DIR "/btc.json holds no miner-probe run\n"},
        {{"explain", "--as-scenario", "--run", "3", boot},
         2,
         "board-sim: --run 3: the log holds 2 runs, counted from 1\n"},
        {{"explain", "--run", "two", boot}, 2, "board-sim: --run two: the log holds 2 runs, counted from 1\n"},
    };
    for (const auto &r : refusals) {
        const Ran ran = run_board_sim(r.args);
        EXPECT_EQ(ran.status, r.status) << r.args.back();
        EXPECT_EQ(ran.err, r.err);
        EXPECT_EQ(ran.out, "");
    }
    const Ran second = run_board_sim({"explain", "--run", "2", boot});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out.rfind("run 2 (from line 93):\n", 0), 0u) << second.out;
    const Ran scenario = run_board_sim({"explain", "--as-scenario", "--run", "1", boot});
    EXPECT_EQ(scenario.status, 0) << scenario.err;
    EXPECT_EQ(Json::parse(scenario.out)["note"].get<std::string>().rfind("Run 1 of 2 (from line 8) of", 0), 0u);
}

} // namespace
