// SPDX-License-Identifier: MIT
// The scenarios every board must run alike, built twice: into the namespace's
// end-to-end tests (label e2e) and, with PROBE_TEST_EMULATED_BOARD, into the
// emulated board's (label vm: the real kernel's serial driver, sysfs GPIO and
// busybox shell). Logs, record files, control-line writes and frames are
// exact on both; the emulated board adds the line settings its driver holds.
#include <gtest/gtest.h>

#include <regex>

#include "probe_fixture.h"

using namespace probe_test;
using sim::ChipFamily;

namespace {

using OnEitherBoard = ProbeRun;

// The value of one setting in `stty -a` output ("speed", "min", "time"), or
// whether a flag ("cstopb", "hupcl", "crtscts") is set: "1"/"0".
std::string setting(const std::string &stty, const std::string &name)
{
    std::smatch m;
    if (name == "speed")
        return std::regex_search(stty, m, std::regex("speed ([0-9]+) baud")) ? m[1].str() : "?";
    if (std::regex_search(stty, m, std::regex("(^|[ ;\n])" + name + " = ([^;]+);")))
        return m[2];
    if (std::regex_search(stty, std::regex("(^|[ \n])-" + name + "([ \n]|$)")))
        return "0";
    if (std::regex_search(stty, std::regex("(^|[ \n])" + name + "([ \n]|$)")))
        return "1";
    return "?";
}

TEST_F(OnEitherBoard, BtcOnTheDefaultBoardAndTheLineSettingsTheDriverHolds)
{
    const sim::ProbeRunConfig config = board(ChipFamily::BTC);
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.run.out, btc_found(config).line("BTC miner should always have temp sensor").str());
    EXPECT_EQ(r.miner_type, "BTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
    EXPECT_EQ(r.control_line, cycles(1));
    EXPECT_EQ(r.other_control_line, "");
    // No sensor query is sent for this family.
    EXPECT_EQ(names(r), std::vector<std::string>{"BTC detection"});
    // Only the shell speaks on standard error: cat, run through popen, about
    // the missing record.
    EXPECT_EQ(r.run.err, no_record_yet());
    if (!r.emulated)
        return;

    // The settings the program leaves on the real driver: raw 8N1 at 115200,
    // VMIN 0, VTIME 2 tenths; stop bits, HUPCL and flow control as found.
    EXPECT_EQ(r.emulated->gpio_value.at(27), "1\n");
    const std::string &after = r.emulated->stty_after;
    EXPECT_EQ(setting(after, "speed"), "115200") << after;
    EXPECT_EQ(setting(after, "min"), "0") << after;
    EXPECT_EQ(setting(after, "time"), "2") << after;
    for (const char *flag : {"cs8", "cread", "clocal", "-parenb", "-icanon", "-echo", "-isig", "-iexten", "-opost",
                             "-icrnl", "-ixon", "-istrip", "-inlcr", "-igncr", "-brkint"})
        EXPECT_EQ(setting(after, flag[0] == '-' ? flag + 1 : flag), flag[0] == '-' ? "0" : "1") << flag << " in\n"
                                                                                                << after;
    for (const char *flag : {"cstopb", "hupcl", "crtscts", "ixoff"})
        EXPECT_EQ(setting(after, flag), setting(r.emulated->stty_before, flag)) << flag << " changed; before:\n"
                                                                                << r.emulated->stty_before << "after:\n"
                                                                                << after;
}

TEST_F(OnEitherBoard, LtcWithASensor)
{
    const sim::ProbeRunConfig config = board(ChipFamily::LTC);
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.run.out, ltc_sensor_at_first_query(reply_hex(config, sim::FrameId::LtcDetection), config));
    EXPECT_EQ(r.miner_type, "LTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
    EXPECT_EQ(r.control_line, cycles(1));
}

// On the emulated board the detection reply may come in pieces under load,
// and the read may end short of its 54 bytes: the rest is discarded before
// the next frame, so only the detection read's lines can differ (unchunked
// folds them).
TEST_F(OnEitherBoard, SiaWithASensorThatNeverAnswers)
{
    sim::ProbeRunConfig config = board(ChipFamily::SIA);
    config.board.sensor_answers_at_query = 0;
    const sim::ProbeRunReport r = run(config);
    const Transcript query = Transcript().sent(SIA_DASH_QUERY).line("sia send get temp sensor register").silence();
    const Transcript attempt = Transcript()
                                   .sent(SIA_DASH_MISC)
                                   .line("sia configure misc")
                                   .sent(SIA_DASH_MUX)
                                   .line("sia configure mux")
                                   .sent(SIA_DASH_REGISTER)
                                   .line("sia read temp sensor register 0xfe")
                                   .repeat(10, query);
    EXPECT_EQ(r.run.out, up_to_sia_dash_detection()
                             .received(54, reply_hex(config, sim::FrameId::SiaDashDetection))
                             .line("sia miner")
                             .repeat(10, attempt)
                             .str());
    EXPECT_EQ(r.miner_type, "SIA\n");
    EXPECT_EQ(r.temp_sensor, "NO\n");
    EXPECT_EQ(r.control_line, cycles(1));
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
        EXPECT_EQ(r.run.out, btc_found(config).str()) << "argument '" << arg << "'";
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
