// SPDX-License-Identifier: MIT
// The scenarios every board must run alike, built twice: into the namespace's
// end-to-end tests (label e2e) and, with PROBE_TEST_EMULATED_BOARD, into the
// emulated board's (label vm: the real kernel's serial driver, sysfs GPIO and
// busybox shell). Logs, record files, control-line writes and frames are
// exact on both; the emulated board adds the line settings its driver holds.
#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>

#include "probe_fixture.h"

using namespace probe_test;
using sim::ChipFamily;

namespace {

using OnEitherBoard = ProbeRun;

// The words of `stty -a` output: "speed", "115200", "baud;", "cs8", "-parenb".
std::set<std::string> words(const std::string &stty)
{
    std::istringstream in(stty);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST_F(OnEitherBoard, BtcOnTheDefaultBoardAndTheLineSettingsTheDriverHolds)
{
    const sim::ProbeRunConfig config = board(ChipFamily::BTC);
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.run.out, found(config).str());
    EXPECT_EQ(r.miner_type, "BTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
    EXPECT_EQ(r.control_line, cycles(1));
    EXPECT_EQ(r.other_control_line, "");
    // No sensor query is sent for this family.
    EXPECT_EQ(names(r), std::vector<std::string>{"BTC detection"});
    // Only the shell speaks on standard error: cat, run through popen, about
    // the missing record, in GNU cat's words or, on the emulated board, busybox's.
    EXPECT_EQ(r.run.err, ON_EMULATED_BOARD ? "cat: can't open '/usr/bin/minerType': No such file or directory\n"
                                           : "cat: /usr/bin/minerType: No such file or directory\n");
    if (!r.emulated)
        return;

    // The settings the program leaves on the real driver: raw 8N1 at 115200,
    // VMIN 0, VTIME 2 tenths; stop bits, HUPCL and flow control as found.
    EXPECT_EQ(r.emulated->gpio_value.at(27), "1\n");
    const std::string &after = r.emulated->stty_after;
    for (const char *setting : {"speed 115200 baud;", "min = 0;", "time = 2;"})
        EXPECT_NE(after.find(setting), std::string::npos) << setting << " not in\n" << after;
    const std::set<std::string> set = words(after);
    const std::set<std::string> before = words(r.emulated->stty_before);
    for (const char *flag : {"cs8", "cread", "clocal", "-parenb", "-icanon", "-echo", "-isig", "-iexten", "-opost",
                             "-icrnl", "-ixon", "-istrip", "-inlcr", "-igncr", "-brkint"})
        EXPECT_EQ(set.count(flag), 1U) << flag << " not in\n" << after;
    for (const std::string flag : {"cstopb", "hupcl", "crtscts", "ixoff"})
        EXPECT_EQ(set.count(flag), before.count(flag)) << flag << " changed; before:\n"
                                                       << r.emulated->stty_before << "after:\n"
                                                       << after;
}

// The LTC board's sensor answers the first query; the SIA board's never does.
// On the emulated board a SIA detection reply may come in pieces under load,
// and the read may end short of its 54 bytes: the rest is discarded before
// the next frame, so only the detection read's lines can differ (unchunked
// folds them).
TEST_F(OnEitherBoard, LtcWithASensorAndSiaWithASensorThatNeverAnswers)
{
    for (const auto &[family, answers_at, record] :
         {std::tuple{ChipFamily::LTC, 1, "YES\n"}, std::tuple{ChipFamily::SIA, 0, "NO\n"}}) {
        sim::ProbeRunConfig config = board(family);
        config.board.sensor_answers_at_query = answers_at;
        const sim::ProbeRunReport r = run(config);
        EXPECT_EQ(r.run.out, found(config).str());
        EXPECT_EQ(r.miner_type, std::string(sim::chip_family_name(family)) + "\n");
        EXPECT_EQ(r.temp_sensor, record);
        EXPECT_EQ(r.control_line, cycles(1));
    }
}

TEST_F(OnEitherBoard, SilentBoardGetsTenAttempts)
{
    const sim::ProbeRunReport r = run(board(ChipFamily::None));
    EXPECT_EQ(r.run.out, Transcript().repeat(10, silent_attempt()).str());
    EXPECT_EQ(r.miner_type, std::nullopt);
    EXPECT_EQ(r.temp_sensor, std::nullopt);
    EXPECT_EQ(r.control_line, cycles(10));
    EXPECT_EQ(r.frames.size(), 30U);
}

// Any argument, even an empty one, selects the alternate board: ttyS0 and
// gpio16 (in the namespace, the only serial device and the line watched).
TEST_F(OnEitherBoard, AlternateBoardUsesTtyS0AndGpio16)
{
    for (const std::string arg : {"alt", ""}) {
        sim::ProbeRunConfig config = board(ChipFamily::BTC);
        config.args = {arg};
        const sim::ProbeRunReport r = run(config);
        EXPECT_EQ(r.run.out, found(config).str()) << "argument '" << arg << "'";
        EXPECT_EQ(r.miner_type, "BTC\n");
        EXPECT_EQ(r.temp_sensor, std::nullopt);
        EXPECT_EQ(r.control_line, cycles(1));
        EXPECT_EQ(r.other_control_line, "");
    }
}

TEST_F(OnEitherBoard, RecordAlreadyPresentSendsNothing)
{
    sim::ProbeRunConfig config = board(ChipFamily::BTC);
    config.miner_type = "SIA\n";
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.run.out, "content:SIA\nminer type probe already done, miner type is SIA\n\n");
    EXPECT_TRUE(r.frames.empty());
    EXPECT_EQ(r.control_line, "");
    EXPECT_EQ(r.miner_type, "SIA\n");
    EXPECT_EQ(r.temp_sensor, std::nullopt);
}

} // namespace
