// SPDX-License-Identifier: MIT
// The summary board-sim prints after a run, written from the run's report:
// folding of the frames the hash board received, the control line, the
// record files, the bus, and the whole summary of each kind of run.
#include <gtest/gtest.h>

#include "report.h"

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

// The frames as a report holds them.
Json as_report(const std::vector<sim::ReceivedFrame> &frames)
{
    Json out = Json::array();
    for (const sim::ReceivedFrame &f : frames)
        out.push_back(frame_json(f));
    return out;
}

void add(std::vector<sim::ReceivedFrame> &frames, const std::string &name, int times = 1, bool answered = false)
{
    for (int i = 0; i < times; ++i)
        frames.push_back(frame(name, answered));
}

Lines record_lines(const char *path, const std::optional<std::string> &before, const std::optional<std::string> &after)
{
    return describe_record_file(record_json(path, before, after));
}

TEST(FoldFrames, SilentAttemptsFoldIntoOneLine)
{
    std::vector<sim::ReceivedFrame> frames;
    for (int attempt = 0; attempt < 10; ++attempt) {
        add(frames, "BTC detection");
        add(frames, "LTC detection");
        add(frames, "SIA/DASH detection");
    }
    EXPECT_EQ(fold_frames(as_report(frames)), Lines{"(BTC detection, LTC detection, SIA/DASH detection) x10"});
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
    EXPECT_EQ(fold_frames(as_report(frames)),
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
    EXPECT_EQ(fold_frames(as_report(frames)), (Lines{"LTC sensor query x4", "LTC sensor query, answered",
                                                     "unknown frame 01ab, bad CRC", "BTC detection, bad CRC"}));
    EXPECT_TRUE(fold_frames(Json::array()).empty());
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
    EXPECT_EQ(fold_frames(as_report(frames)), (Lines{"(BTC detection, LTC detection) x3", "SIA/DASH detection"}));
}

TEST(ControlLine, WritesCyclesAndFinalLevel)
{
    EXPECT_EQ(describe_control_line(control_line_json("gpio27", "0\n1\n")),
              "gpio27: 0 1 (1 low-high cycle), left high");
    EXPECT_EQ(describe_control_line(control_line_json("gpio16", "")), "gpio16: not written");
    EXPECT_EQ(describe_control_line(control_line_json("gpio27", "1\n0\n")), "gpio27: 1 0 (0 low-high cycles), left low")
        << "a first 1 only confirms the level";
    std::string ten;
    for (int i = 0; i < 10; ++i)
        ten += "0\n1\n";
    EXPECT_EQ(describe_control_line(control_line_json("gpio27", ten)),
              "gpio27: 20 writes (10 low-high cycles), left high");
}

TEST(RecordFile, AppendedLinesAreMarked)
{
    EXPECT_EQ(record_lines("/usr/bin/minerType", std::nullopt, std::string("LTC\n")),
              (Lines{"/usr/bin/minerType:", "  + LTC"}));
    EXPECT_EQ(record_lines("/usr/bin/minerType", std::string("BTC\nDAS\n"), std::string("BTC\nDAS\nSIA\n")),
              (Lines{"/usr/bin/minerType:", "    BTC", "    DAS", "  + SIA"}));
    EXPECT_EQ(record_lines("/usr/bin/minerType", std::string("SIA\n"), std::string("SIA\n")),
              (Lines{"/usr/bin/minerType: unchanged", "    SIA"}));
    EXPECT_EQ(record_lines("/usr/bin/tempSensor", std::nullopt, std::nullopt),
              Lines{"/usr/bin/tempSensor: does not exist"});
    EXPECT_EQ(record_lines("/usr/bin/tempSensor", std::nullopt, std::string("")), Lines{"/usr/bin/tempSensor: empty"});
    EXPECT_EQ(record_lines("/usr/bin/minerType", std::string("LT"), std::string("LTC\n")),
              (Lines{"/usr/bin/minerType:", "    LT  (no newline at the end)", "  + C"}))
        << "an append to a line without its newline continues that line";
    EXPECT_EQ(record_json("/usr/bin/minerType", std::string("LT"), std::string("LTC\n"))["appended"], Json{"C"});
    EXPECT_EQ(record_lines("/usr/bin/minerType", std::string("BTC\n"), std::string("LTC\nDAS")),
              (Lines{"/usr/bin/minerType: rewritten by the run, now:", "  + LTC", "  + DAS  (no newline at the end)"}));
    EXPECT_TRUE(record_json("/usr/bin/minerType", std::string("BTC\n"), std::string("LTC\n"))["appended"].empty());
    EXPECT_EQ(record_lines("/usr/bin/tempSensor", std::string("YES\n"), std::nullopt),
              Lines{"/usr/bin/tempSensor: removed by the run"});
}

// The fields every report starts with, as run_document() writes them.
Json run_report(const char *subcommand, int status, double seconds)
{
    return {{"subcommand", subcommand}, {"exit_status", status}, {"timed_out", false}, {"stopped_by_signal", 0},
            {"wall_time_s", seconds},   {"stdout", ""},          {"stderr", ""}};
}

TEST(Summary, ProbeOnTheEmulatedBoardAfterARerun)
{
    Json r = run_report("probe", 0, 5.6154);
    r["runs"] = 2;
    std::vector<sim::ReceivedFrame> frames;
    add(frames, "BTC detection");
    add(frames, "LTC detection", 1, true);
    r["frames"] = as_report(frames);
    r["control_line"] = control_line_json("gpio27", "0\n1\n");
    r["other_control_line"] = control_line_json("gpio16", "0\n");
    r["record_files"] = {record_json("/usr/bin/minerType", std::nullopt, std::string("LTC\n")),
                         record_json("/usr/bin/tempSensor", std::nullopt, std::nullopt)};
    r["emulated_board"] = {
        {"stty_after", "speed 115200 baud; line = 0;\nmin = 0; time = 2;\n-parenb -parodd cs8 "
                       "hupcl -cstopb cread clocal -crtscts\n-ixon -icanon -echo"},
        {"gpio",
         {{{"line", 16}, {"direction", "out"}, {"value", "0"}}, {{"line", 27}, {"direction", "out"}, {"value", "1"}}}}};
    const std::string serial_line = "== serial line after the run: 115200 baud, -parenb cs8 -cstopb -crtscts -ixon "
                                    "-icanon, min = 0, time = 2";
    EXPECT_EQ(summary_lines(r),
              (Lines{"== exit status 0 after 5.615 s",
                     "== run 2 shown: the host delivered replies too late in the earlier ones",
                     "== frames received by the hash board:", "   BTC detection", "   LTC detection, answered",
                     "== control line gpio27: 0 1 (1 low-high cycle), left high",
                     "== other control line gpio16: 0 (0 low-high cycles), left low", "== record files:",
                     "   /usr/bin/minerType:", "     + LTC", "   /usr/bin/tempSensor: does not exist", serial_line,
                     "== GPIO files after the run: gpio16 out 0; gpio27 out 1"}));

    // On the simulated board: one run, no frames, the other line untouched.
    r["runs"] = 1;
    r["frames"] = Json::array();
    r["other_control_line"] = control_line_json("gpio16", "");
    r["emulated_board"] = nullptr;
    r["timed_out"] = true;
    const Lines lines = summary_lines(r);
    EXPECT_EQ(lines.at(0), "== miner-probe killed after the time-out (5.615 s)");
    EXPECT_EQ(lines.at(1), "== frames received by the hash board: none");
    EXPECT_EQ(lines.back(), "   /usr/bin/tempSensor: does not exist");
}

TEST(Summary, I2cBusDeviceAndFiles)
{
    Json r = run_report("i2c", 0, 0.0334);
    r["stopped_by_signal"] = 15;
    r["exit_status"] = 143;
    const Json seen = {"Start", "Address write 0x2F", "ACK", "Data write 0xC8", "ACK", "Stop"};
    r["transaction"] = {{"device_saw", seen}, {"decoded", seen}, {"decode_error", nullptr}};
    r["device"] = {{"holds", 0xA5}, {"received", {200, 1}}};
    r["gpio_files"] = {{"opens", 1},         {"failed_opens", 0}, {"writes", 2},
                       {"failed_writes", 0}, {"reads", 0},        {"closes", 1}};
    r["waveform"] = "/tmp/w.vcd";
    r["svg"] = "/tmp/w.svg";
    r["waveform_error"] = nullptr;
    EXPECT_EQ(
        summary_lines(r),
        (Lines{"== i2c-bitbang stopped by signal 15 after 0.033 s, exit status 143",
               "== bus, as the device saw it: Start, Address write 0x2F, ACK, Data write 0xC8, ACK, Stop",
               "== bus, decoded from the waveform by sigrok-cli: the same", "== device holds 0xA5, received 0xC8 0x01",
               "== GPIO files: 1 open, 2 writes, 0 reads, 1 close",
               "== waveform: /tmp/w.vcd (scl, sda, sda_dir, sda_dev; 1 us per GPIO write)", "== picture: /tmp/w.svg"}));

    r["transaction"]["decoded"] = {"Start", "Stop"};
    r["device"]["received"] = Json::array();
    r["gpio_files"]["failed_writes"] = 3;
    r["waveform_error"] = "no picture drawn";
    const Lines lines = summary_lines(r);
    EXPECT_EQ(lines.at(2), "== bus, decoded from the waveform by sigrok-cli: Start, Stop");
    EXPECT_EQ(lines.at(3), "== device holds 0xA5");
    EXPECT_EQ(lines.at(4), "== GPIO files: 1 open, 2 writes, 0 reads, 1 close (0 failed opens, 3 failed writes)");
    EXPECT_EQ(lines.size(), 5U) << "no waveform or picture after a failure to keep or draw them";

    r["transaction"]["decode_error"] = "sigrok-cli is not installed";
    r["transaction"]["device_saw"] = Json::array();
    EXPECT_EQ(summary_lines(r).at(1), "== bus, as the device saw it: (nothing)");
    EXPECT_EQ(summary_lines(r).at(2), "== waveform not decoded: sigrok-cli is not installed");
}

} // namespace
