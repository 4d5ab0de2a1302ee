// SPDX-License-Identifier: MIT
// End-to-end runs of the shipped miner-probe binary against a simulated hash
// board, in a private mount namespace: exact standard output, record files,
// control-line writes and frames on the wire. The scenarios the emulated
// board runs as well are in either_board_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "probe_fixture.h"

using namespace probe_test;
using sim::ChipFamily;

const bool probe_test::ON_EMULATED_BOARD = false;

namespace {

// The host's record files, before the suite and after it: never touched.
class HostUntouched : public ::testing::Environment {
public:
    void SetUp() override { before_ = now(); }
    void TearDown() override { EXPECT_EQ(now(), before_) << "a host record file changed, appeared or vanished"; }

private:
    static std::vector<std::optional<std::string>> now()
    {
        std::vector<std::optional<std::string>> records;
        for (const char *path : {"/usr/bin/minerType", "/usr/bin/tempSensor"})
            records.push_back(sim::Sandbox::file_exists(path) ? std::optional(sim::Sandbox::read_file(path))
                                                              : std::nullopt);
        return records;
    }
    std::vector<std::optional<std::string>> before_;
};
const auto *const host_guard = ::testing::AddGlobalTestEnvironment(new HostUntouched);

using ProbeOnBoard = ProbeRun;

// The record decides by its last piece. One that names a family ends the run
// before any frame (OnEitherBoard.RecordAlreadyPresentSendsNothing), and it
// may follow anything; any other record leads to a new probe, which keeps
// both files' lines.
TEST_F(ProbeOnBoard, RecordsLastPieceDecides)
{
    const std::string long_line(45, 'x');
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {"garbage\nLTC\nBTC\n", "content:garbage\ncontent:LTC\ncontent:BTC\n"
                                "miner type probe already done, miner type is BTC\n\n"},
        // A last line without its newline still names the family.
        {"DASH", "content:DASHminer type probe already done, miner type is DASH\n"},
        {"DAS\n", "content:DAS\n"}, // four bytes are compared for DASH
        {"", ""},
        {std::nullopt, ""},
        {"BTC\nLTCx\nSI\n", "content:BTC\ncontent:LTCx\ncontent:SI\n"},
        // A long line comes in pieces of 19 characters; only the last one counts.
        {long_line + "\n", "content:" + long_line.substr(0, 19) + "content:" + long_line.substr(19, 19) +
                               "content:" + long_line.substr(38) + "\n"},
        // Binary bytes: printing stops at the NUL, nothing else breaks.
        {std::string("\0\xff\x01"
                     "BTC\n",
                     7),
         "content:"},
    };
    for (const auto &[record, content] : cases) {
        sim::ProbeRunConfig config = board(ChipFamily::BTC);
        config.miner_type = record;
        config.temp_sensor = "NO\n";
        const sim::ProbeRunReport r = run(config);
        const bool done = content.find("already done") != std::string::npos;
        const std::string probed = found(config).str();
        EXPECT_EQ(r.run.out, content + (done ? "" : probed)) << "record: " << record.value_or("<missing>");
        EXPECT_EQ(r.miner_type, record.value_or("") + (done ? "" : "BTC\n"));
        EXPECT_EQ(r.temp_sensor, done ? "NO\n" : "NO\nYES\n");
        EXPECT_EQ(r.control_line, done ? "" : cycles(1));
        EXPECT_EQ(r.frames.empty(), done);
    }
}

// Each family's whole log, word for word, as a firmware engineer sees it on
// the console: written out here, not built from the program's own texts, so
// that a changed message fails this test.
TEST_F(ProbeOnBoard, EachFamilysLogWordForWord)
{
    const std::string opened = "open device success <fd> set timeout 2.000000\n";
    const std::string silent = "usb uart read timedout\n";
    const auto read = [](int len, const std::string &hex) {
        const std::string n = std::to_string(len);
        return "usb uart read exp_buf_len:" + n + " total_len:0\nusb_uart_read break,read:" + n +
               "\nusb_uart_read total_len:" + n + "\n<------------ " + hex + "\n";
    };
    const auto sensor = [&read](const std::string &name) {
        return "------------> 55aa4109001c07007a6117\n" + name + " configure misc\n" +
               "------------> 55aa410900400004000009\n" + name + " configure mux\n" +
               "------------> 55aa410900200198fe0014\n" + name + " read temp sensor register 0xfe\n" +
               "------------> 55aa420500201f\n" + name + " send get temp sensor register\n" +
               read(9, "aa550098fe5500001c") + name + " read temp sensor register 0xfe OK\n";
    };
    const struct {
        ChipFamily family;
        std::string log;
        const char *record;
    } cases[] = {
        {ChipFamily::BTC,
         opened + "------------> 5405000019\n" +
             read(42, "1387900000000d1387900000000d1387900000000d1387900000000d1387900000000d1387900000000d") +
             "btc miner\nBTC miner should always have temp sensor\n",
         "BTC\n"},
        {ChipFamily::LTC,
         opened + "------------> 5405000019\n" + silent + "------------> 5204000012\n" +
             read(42, "148500000000011485000000000114850000000001148500000000011485000000000114850000000001") +
             "ltc miner\n------------> 4108001841407a7018\nltc configure misc\n"
             "------------> 5108001c0198fe0008\nltc read temp sensor register 0xfe\n"
             "------------> 4204001c15\nltc send get temp sensor register\n" +
             read(7, "0098fe55000018") + "ltc read temp sensor register 0xfe OK\n",
         "LTC\n"},
        {ChipFamily::SIA,
         opened + "------------> 5405000019\n" + silent + "------------> 5204000012\n" + silent +
             "------------> 55aa520500000a\n" +
             read(54, "aa551720000000001baa551720000000001baa551720000000001baa551720000000001baa5517200000"
                      "00001baa551720000000001b") +
             "sia miner\n" + sensor("sia"),
         "SIA\n"},
        {ChipFamily::DASH,
         opened + "------------> 5405000019\n" + silent + "------------> 5204000012\n" + silent +
             "------------> 55aa520500000a\n" +
             read(54, "aa5517600000000015aa5517600000000015aa5517600000000015aa5517600000000015aa5517600000"
                      "000015aa5517600000000015") +
             "dash miner\n" + sensor("dash"),
         "DASH\n"},
    };
    for (const auto &c : cases) {
        const sim::ProbeRunReport r = run(board(c.family));
        EXPECT_EQ(r.run.out, c.log) << c.record;
        EXPECT_EQ(r.miner_type, c.record);
        EXPECT_EQ(r.temp_sensor, "YES\n") << c.record;
    }
}

// A sensor that answers only the third query, or none of the hundred.
TEST_F(ProbeOnBoard, LtcSensorAnsweringTheThirdQueryOrNever)
{
    for (const auto &[answers_at, record] : {std::pair{3, "YES\n"}, std::pair{0, "NO\n"}}) {
        sim::ProbeRunConfig config = board(ChipFamily::LTC);
        config.board.sensor_answers_at_query = answers_at;
        const sim::ProbeRunReport r = run(config);
        EXPECT_EQ(r.run.out, found(config).str());
        EXPECT_EQ(r.miner_type, "LTC\n");
        EXPECT_EQ(r.temp_sensor, record);
        EXPECT_EQ(r.control_line, cycles(1));
        EXPECT_EQ(std::ranges::count(names(r), "LTC sensor query"), answers_at == 0 ? 100 : 3);
    }
}

TEST_F(ProbeOnBoard, LtcSensorReplyWithStatusBitSetDoesNotCount)
{
    sim::ProbeRunConfig config = board(ChipFamily::LTC);
    config.board.sensor_status = 0x40;
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.temp_sensor, "NO\n");
    EXPECT_EQ(r.miner_type, "LTC\n");

    // The other identity byte the sensor may report is accepted.
    config.board.sensor_status = 0x00;
    config.board.sensor_id = 0x1A;
    EXPECT_EQ(run(config).temp_sensor, "YES\n");
}

// Attempts that recognise nothing: ten, each after a low-high cycle, and no
// record. Without a serial device every attempt fails to open it.
TEST_F(ProbeOnBoard, TenUnrecognisedAttemptsRecordNothing)
{
    sim::ProbeRunConfig unknown_reply = board(ChipFamily::SIA);
    unknown_reply.board.detection_reply = std::vector<uint8_t>{0xAA, 0x55, 0x17, 0x99};
    sim::ProbeRunConfig no_uart = board(ChipFamily::BTC);
    no_uart.uart_present = false;
    for (const auto &[config, attempt] :
         {std::pair{unknown_reply, up_to_sia_dash_detection().received_part(54, 4, "aa551799")},
          std::pair{no_uart, Transcript().open_failed("/dev/ttyATH0")}}) {
        const sim::ProbeRunReport r = run(config);
        EXPECT_EQ(r.run.out, Transcript().repeat(10, Transcript(attempt).line("unknown miner")).str());
        EXPECT_EQ(r.miner_type, std::nullopt);
        EXPECT_EQ(r.temp_sensor, std::nullopt);
        EXPECT_EQ(r.control_line, cycles(10));
    }
}

TEST_F(ProbeOnBoard, ChipsAnsweringAfterTheThirdResetGiveThreeCyclesAndOneRecord)
{
    sim::ProbeRunConfig config = board(ChipFamily::BTC);
    config.board.answers_after_cycles = 3;
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.run.out, Transcript().repeat(2, silent_attempt()).then(found(config)).str());
    EXPECT_EQ(r.control_line, cycles(3));
    EXPECT_EQ(r.miner_type, "BTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
}

// Files the shell cannot write do not stop the probe; only the shell says so.
// The host's shells (dash, GNU cat) word what docs/bring-up.md lists as seen
// with busybox; the emulated board's test checks busybox's words.
TEST_F(ProbeOnBoard, UnwritableFilesDoNotStopTheProbe)
{
    const std::string cat = "cat: /usr/bin/minerType: No such file or directory\n";
    sim::ProbeRunConfig read_only = board(ChipFamily::BTC);
    read_only.usr_bin_read_only = true;
    sim::ProbeRunReport r = run(read_only);
    EXPECT_EQ(r.run.out, found(read_only).str());
    EXPECT_EQ(r.miner_type, std::nullopt);
    EXPECT_EQ(r.temp_sensor, std::nullopt);
    EXPECT_EQ(r.run.err, cat + "sh: 1: cannot create /usr/bin/tempSensor: Read-only file system\n" +
                             "sh: 1: cannot create /usr/bin/minerType: Read-only file system\n");

    // Without the control line's files: one line for each of the cycle's two writes.
    sim::ProbeRunConfig no_gpio = board(ChipFamily::LTC);
    no_gpio.gpio_files = false;
    no_gpio.board.answers_after_cycles = 0;
    r = run(no_gpio);
    EXPECT_EQ(r.miner_type, "LTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
    EXPECT_EQ(r.control_line, "");
    const std::string missing = "sh: 1: cannot create /sys/class/gpio/" +
                                sim::control_line_gpio(false, sim::target_gpio_base()) +
                                "/value: Directory nonexistent\n";
    EXPECT_EQ(r.run.err, cat + missing + missing);
}

TEST_F(ProbeOnBoard, BabblingLineNeverHangsTheProbe)
{
    // Noise arrives all the time, so every read fills up with it: no family
    // matches, every attempt ends, and nothing is recorded.
    sim::ProbeRunConfig config = board(ChipFamily::None);
    config.board.babble = 0xEE;
    config.timeout_ms = 30000;
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(board_sim::count(board_sim::probe_lines(r.run.out), board_sim::Said::UnknownMiner), 10);
    EXPECT_NE(r.run.out.find("<------------ eeee"), std::string::npos) << "the noise was never read";
    EXPECT_EQ(r.run.out.find("<------------ 00"), std::string::npos) << "a trace shows bytes that never came";
    EXPECT_EQ(r.miner_type, std::nullopt);
    EXPECT_EQ(r.temp_sensor, std::nullopt);
    EXPECT_EQ(r.control_line, cycles(10));
}

TEST_F(ProbeOnBoard, PartialDetectionReplyStillCountsByItsFirstBytes)
{
    sim::ProbeRunConfig config = board(ChipFamily::BTC);
    config.board.reply_limit = 5;
    const sim::ProbeRunReport r = run(config);
    const std::string first5 = reply_hex(config, sim::FrameId::BtcDetection).substr(0, 10);
    EXPECT_EQ(r.run.out, Transcript()
                             .opened()
                             .sent(BTC_DETECT)
                             .received_part(42, 5, first5)
                             .line("btc miner")
                             .line("BTC miner should always have temp sensor")
                             .str());
    EXPECT_EQ(r.miner_type, "BTC\n");
}

} // namespace
