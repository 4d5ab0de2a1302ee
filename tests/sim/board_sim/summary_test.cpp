// SPDX-License-Identifier: MIT
// The summary board-sim prints after a run: folding of the frames the hash
// board received, the control line and the record files.
#include <gtest/gtest.h>

#include "summary.h"

namespace {

using namespace board_sim;
using Lines = std::vector<std::string>;

sim::ReceivedFrame frame(const std::string &name, bool answered = false)
{
    sim::ReceivedFrame f;
    f.id = sim::frame_named(name);
    f.crc_ok = true;
    f.answered = answered;
    return f;
}

void add(std::vector<sim::ReceivedFrame> &frames, const std::string &name, int times = 1, bool answered = false)
{
    for (int i = 0; i < times; ++i)
        frames.push_back(frame(name, answered));
}

TEST(FoldFrames, SilentAttemptsFoldIntoOneLine)
{
    std::vector<sim::ReceivedFrame> frames;
    for (int attempt = 0; attempt < 10; ++attempt) {
        add(frames, "BTC detection");
        add(frames, "LTC detection");
        add(frames, "SIA/DASH detection");
    }
    EXPECT_EQ(fold_frames(frames), Lines{"(BTC detection, LTC detection, SIA/DASH detection) x10"});
}

TEST(FoldFrames, SensorThatNeverAnswers)
{
    std::vector<sim::ReceivedFrame> frames;
    add(frames, "BTC detection");
    add(frames, "LTC detection", 1, true);
    for (int attempt = 0; attempt < 10; ++attempt) {
        add(frames, "LTC misc configuration");
        add(frames, "LTC sensor register read");
        add(frames, "LTC sensor query", 10);
    }
    EXPECT_EQ(fold_frames(frames),
              (Lines{"BTC detection", "LTC detection, answered",
                     "(LTC misc configuration, LTC sensor register read, LTC sensor query x10) x10"}));
}

TEST(FoldFrames, AnsweredAndSilentFramesStayApart)
{
    std::vector<sim::ReceivedFrame> frames;
    add(frames, "LTC sensor query", 4);
    add(frames, "LTC sensor query", 1, true);
    sim::ReceivedFrame odd = frame("unknown");
    odd.bytes = {0x01, 0xAB};
    odd.crc_ok = false;
    frames.push_back(odd);
    sim::ReceivedFrame bad_crc = frame("BTC detection");
    bad_crc.crc_ok = false;
    frames.push_back(bad_crc);
    EXPECT_EQ(fold_frames(frames), (Lines{"LTC sensor query x4", "LTC sensor query, answered",
                                          "unknown frame 01ab, bad CRC", "BTC detection, bad CRC"}));
    EXPECT_TRUE(fold_frames({}).empty());
}

TEST(FoldFrames, PrefersTheFoldCoveringMostFrames)
{
    // A B A B A B C: the pair repeats three times; the tail stays on its own.
    std::vector<sim::ReceivedFrame> frames;
    for (int i = 0; i < 3; ++i) {
        add(frames, "BTC detection");
        add(frames, "LTC detection");
    }
    add(frames, "SIA/DASH detection");
    EXPECT_EQ(fold_frames(frames), (Lines{"(BTC detection, LTC detection) x3", "SIA/DASH detection"}));
}

TEST(ControlLine, WritesCyclesAndFinalLevel)
{
    EXPECT_EQ(describe_control_line("gpio27", "0\n1\n"), "gpio27: 0 1 (1 low-high cycle), left high");
    EXPECT_EQ(describe_control_line("gpio16", ""), "gpio16: not written");
    EXPECT_EQ(describe_control_line("gpio27", "1\n0\n"), "gpio27: 1 0 (0 low-high cycles), left low")
        << "a first 1 only confirms the level";
    std::string ten;
    for (int i = 0; i < 10; ++i)
        ten += "0\n1\n";
    EXPECT_EQ(describe_control_line("gpio27", ten), "gpio27: 20 writes (10 low-high cycles), left high");
}

TEST(RecordFile, AppendedLinesAreMarked)
{
    EXPECT_EQ(describe_record_file("/usr/bin/minerType", std::nullopt, std::string("LTC\n")),
              (Lines{"/usr/bin/minerType:", "  + LTC"}));
    EXPECT_EQ(describe_record_file("/usr/bin/minerType", std::string("BTC\nDAS\n"), std::string("BTC\nDAS\nSIA\n")),
              (Lines{"/usr/bin/minerType:", "    BTC", "    DAS", "  + SIA"}));
    EXPECT_EQ(describe_record_file("/usr/bin/minerType", std::string("SIA\n"), std::string("SIA\n")),
              (Lines{"/usr/bin/minerType: unchanged", "    SIA"}));
    EXPECT_EQ(describe_record_file("/usr/bin/tempSensor", std::nullopt, std::nullopt),
              Lines{"/usr/bin/tempSensor: does not exist"});
    EXPECT_EQ(describe_record_file("/usr/bin/tempSensor", std::nullopt, std::string("")),
              Lines{"/usr/bin/tempSensor: empty"});
    EXPECT_EQ(describe_record_file("/usr/bin/minerType", std::string("LT"), std::string("LTC\n")),
              (Lines{"/usr/bin/minerType:", "    LT  (no newline at the end)", "  + C"}))
        << "an append to a line without its newline continues that line";
}

TEST(Events, JoinedOnOneLine)
{
    EXPECT_EQ(join_events({sim::I2cEvent::start(), sim::I2cEvent::address_read(0x2F), sim::I2cEvent::nack(),
                           sim::I2cEvent::stop()}),
              "Start, Address read 0x2F, NACK, Stop");
    EXPECT_EQ(join_events({}), "(nothing)");
}

} // namespace
