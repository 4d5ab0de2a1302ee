// SPDX-License-Identifier: MIT
// board-sim's command line: what each option sets on the simulated board, the
// arguments passed to the program, and the refusals of bad input (also as the
// binary answers them: usage on standard error, status 2).
#include <gtest/gtest.h>
#include <unistd.h>

#include "command_line.h"
#include "run_board_sim.h"

namespace {

using namespace board_sim;

Command parsed(std::vector<std::string> args)
{
    const ParseResult r = parse_command_line(args);
    EXPECT_TRUE(r.ok) << r.error;
    return r.command;
}

TEST(CommandLine, ProbeOptionsShapeTheHashBoard)
{
    const Command c = parsed({"probe", "--family", "Ltc", "--answers-after=3", "--sensor", "at=7", "--sensor-status",
                              "0x3f", "--sensor-id=26", "--detection-reply", "AA 55:17,99", "--reply-limit", "3",
                              "--timeout", "5", "--program", "./mp"});
    EXPECT_EQ(c.tool, Tool::Probe);
    const sim::HashBoardScenario &b = c.probe.board;
    EXPECT_EQ(b.family, sim::ChipFamily::LTC);
    EXPECT_EQ(b.answers_after_cycles, 3);
    EXPECT_EQ(b.sensor_answers_at_query, 7);
    EXPECT_EQ(b.sensor_status, 0x3F);
    EXPECT_EQ(b.sensor_id, 26);
    EXPECT_EQ(b.detection_reply, (std::vector<uint8_t>{0xAA, 0x55, 0x17, 0x99}));
    EXPECT_EQ(b.reply_limit, 3u);
    EXPECT_EQ(c.timeout_ms, 5000);
    EXPECT_EQ(c.program, "./mp");
    EXPECT_TRUE(c.probe.args.empty()) << "the default board takes no argument";

    EXPECT_EQ(parsed({"probe", "--family", "sia", "--sensor", "never"}).probe.board.sensor_answers_at_query, 0);
    EXPECT_EQ(parsed({"probe", "--family", "sia", "--sensor", "answers"}).probe.board.sensor_answers_at_query, 1);
    EXPECT_EQ(parsed({"probe", "--family", "btc", "--answers-after", "0"}).probe.board.answers_after_cycles, 0);
    EXPECT_EQ(parsed({"probe"}).probe.board.family, sim::ChipFamily::None);
}

TEST(CommandLine, WireAndRepliesFillTheScenario)
{
    const Command c = parsed({"probe", "--family", "ltc", "--wire", "--chips", "12", "--latency-us=3000", "--corrupt",
                              "0.01:7", "--reply", "ltc sensor query=0098fe54000018", "--babble", "0xff", "--json"});
    const sim::HashBoardScenario &b = c.probe.board;
    ASSERT_TRUE(b.wire.has_value());
    EXPECT_EQ(b.wire->chips, 12);
    EXPECT_EQ(b.wire->latency_us, 3000);
    EXPECT_DOUBLE_EQ(b.wire->corrupt_rate, 0.01);
    EXPECT_EQ(b.wire->corrupt_seed, 7u);
    ASSERT_EQ(b.frame_replies.size(), 1u);
    EXPECT_EQ(b.frame_replies[0].frame_name, "LTC sensor query") << "the catalogue's spelling";
    EXPECT_EQ(b.frame_replies[0].bytes, (std::vector<uint8_t>{0x00, 0x98, 0xFE, 0x54, 0x00, 0x00, 0x18}));
    EXPECT_EQ(b.babble, 0xFF);
    EXPECT_EQ(c.output, Output::Json);

    const sim::HashBoardScenario plain = parsed({"probe", "--family", "sia", "--wire"}).probe.board;
    ASSERT_TRUE(plain.wire.has_value());
    EXPECT_EQ(plain.wire->chips, 0) << "default: as many chips as the read length implies";
    EXPECT_EQ(plain.wire->latency_us, sim::WireModel{}.latency_us);
    EXPECT_EQ(plain.wire->corrupt_rate, 0.0);
    EXPECT_FALSE(parsed({"probe", "--family", "sia"}).probe.board.wire) << "instant replies by default";

    const sim::HashBoardScenario sensor =
        parsed({"probe", "--family", "dash", "--sensor-reply", "aa55 0098fe1a 0000"}).probe.board;
    ASSERT_EQ(sensor.frame_replies.size(), 1u);
    EXPECT_EQ(sensor.frame_replies[0].frame_name, "SIA/DASH sensor query");
    EXPECT_EQ(parsed({"probe", "-q"}).output, Output::Quiet);

    // A named reply needs no family, and without bytes leaves the frame unanswered.
    const sim::HashBoardScenario named =
        parsed({"probe", "--reply", "LTC detection=1485", "--reply", "BTC detection=", "--answers-after", "2"})
            .probe.board;
    ASSERT_EQ(named.frame_replies.size(), 2u);
    EXPECT_TRUE(named.frame_replies[1].bytes.empty());
    EXPECT_EQ(named.answers_after_cycles, 2);
}

TEST(CommandLine, ProbeRecordsAndBoardVariant)
{
    const Command c = parsed({"probe", "--record", "BTC", "--record=DAS", "--sensor-record", "NO", "--alt", "--no-uart",
                              "--no-gpio", "--read-only-records"});
    EXPECT_EQ(c.probe.miner_type, "BTC\nDAS\n") << "one line per --record, in order";
    EXPECT_EQ(c.probe.temp_sensor, "NO\n");
    EXPECT_EQ(c.probe.args.size(), 1u) << "--alt passes exactly one argument";
    EXPECT_FALSE(c.probe.uart_present);
    EXPECT_FALSE(c.probe.gpio_files);
    EXPECT_TRUE(c.probe.records_read_only);

    const Command none = parsed({"probe"});
    EXPECT_FALSE(none.probe.miner_type.has_value()) << "no --record: no file at all";
    EXPECT_EQ(parsed({"probe", "--record", ""}).probe.miner_type, "\n");

    // Arguments after "--" go through untouched, an empty one included.
    EXPECT_EQ(parsed({"probe", "--", "", "--family"}).probe.args, (std::vector<std::string>{"", "--family"}));
}

TEST(CommandLine, I2cOperationsBecomeProgramArguments)
{
    EXPECT_TRUE(parsed({"i2c"}).i2c.args.empty());
    EXPECT_TRUE(parsed({"i2c", "read"}).i2c.args.empty());
    EXPECT_EQ(parsed({"i2c", "write", "200"}).i2c.args, std::vector<std::string>{"200"});
    EXPECT_EQ(parsed({"i2c", "write", "-1"}).i2c.args, std::vector<std::string>{"-1"}) << "a value is not an option";
    EXPECT_EQ(parsed({"i2c", "write", "abc", "--absent"}).i2c.args, std::vector<std::string>{"abc"});
    EXPECT_EQ(parsed({"i2c", "--", "7", "8"}).i2c.args, (std::vector<std::string>{"7", "8"}));
}

TEST(CommandLine, I2cOptionsShapeTheBus)
{
    const Command c =
        parsed({"i2c", "--address=0x50", "--data-nack", "--sda-stuck", "low", "--missing", "scl-direction",
                "--write-fails", "sda-value", "--open-fails", "sda-value:3", "--open-fails", "scl-value",
                "--lines-output", "--vcd", "w.vcd", "--no-decode", "write", "5"});
    const sim::GpioBoardOptions &b = c.i2c.board;
    EXPECT_EQ(b.device.address, 0x50);
    EXPECT_TRUE(b.device.present);
    EXPECT_FALSE(b.device.ack_data);
    EXPECT_EQ(b.sda_fault, sim::SdaFault::StuckLow);
    EXPECT_EQ(b.missing_files, std::vector<sim::GpioFile>{sim::GpioFile::SclDirection});
    EXPECT_EQ(b.failing_writes, std::vector<sim::GpioFile>{sim::GpioFile::SdaValue});
    ASSERT_EQ(b.open_failures.size(), 2u);
    EXPECT_EQ(b.open_failures[0].file, sim::GpioFile::SdaValue);
    EXPECT_EQ(b.open_failures[0].nth, 3);
    EXPECT_EQ(b.open_failures[1].nth, 1) << "without :N the first open fails";
    EXPECT_TRUE(b.lines_start_as_outputs);
    EXPECT_EQ(c.i2c.vcd_path, "w.vcd");
    EXPECT_FALSE(c.i2c.decode);
    EXPECT_FALSE(parsed({"i2c", "--absent"}).i2c.board.device.present);
    const Command read = parsed({"i2c", "--device-byte", "0xA5", "--svg", "r.svg", "read"});
    EXPECT_EQ(read.i2c.board.device.byte, 0xA5);
    EXPECT_EQ(read.i2c.svg_path, "r.svg");
    EXPECT_EQ(read.i2c.vcd_path, "") << "no --vcd: the waveform is not kept";
}

TEST(CommandLine, ExplainTakesAtMostOneFile)
{
    EXPECT_EQ(parsed({"explain"}).explain.path, "") << "standard input";
    EXPECT_EQ(parsed({"explain", "-"}).explain.path, "");
    EXPECT_EQ(parsed({"explain", "boot.log"}).explain.path, "boot.log");
    EXPECT_EQ(parsed({"explain", "boot.log"}).tool, Tool::Explain);
}

TEST(CommandLine, HelpAndVersionWinOverOperands)
{
    const Command general = parsed({"--help"});
    EXPECT_TRUE(general.help);
    EXPECT_FALSE(general.tool_given);
    EXPECT_TRUE(parsed({"--version"}).version);
    EXPECT_TRUE(parsed({"i2c", "-V"}).version);
    const Command i2c = parsed({"i2c", "write", "--help"});
    EXPECT_TRUE(i2c.help) << "a value never starts with --";
    EXPECT_EQ(i2c.tool, Tool::I2c);
    EXPECT_TRUE(parsed({"probe", "-h"}).help);
}

TEST(CommandLine, RefusesBadInput)
{
    struct Case {
        std::vector<std::string> args;
        const char *says;
    };
    const Case cases[] = {
        {{}, "no subcommand"},
        {{"flash"}, "unknown subcommand 'flash'"},
        {{"probe", "--device-byte", "1"}, "unknown option '--device-byte' for probe"},
        {{"i2c", "--family", "ltc"}, "unknown option '--family' for i2c"},
        {{"probe", "--family"}, "'--family' needs a value"},
        {{"probe", "--family", "eth"}, "not 'eth'"},
        {{"probe", "--family", "ltc", "--sensor", "at=0"}, "not 'at=0'"},
        {{"probe", "--sensor", "sometimes"}, "not 'sometimes'"},
        {{"probe", "--answers-after", "-1"}, "from 0 to 1000, not '-1'"},
        {{"probe", "--sensor-id", "256"}, "from 0 to 255, not '256'"},
        {{"probe", "--sensor-id", "0x"}, "not '0x'"},
        {{"probe", "--detection-reply", "a5a"}, "not 'a5a'"},
        {{"probe", "--chips", "0", "--wire"}, "from 1 to 256, not '0'"},
        {{"probe", "--corrupt", "1.5", "--wire"}, "not '1.5'"},
        {{"probe", "--corrupt", "0.1:x", "--wire"}, "not '0.1:x'"},
        {{"probe", "--reply", "LTC sensor query"}, "NAME=HEX"},
        {{"probe", "--reply", "LTC sensor=00"}, "NAME=HEX"},
        {{"probe", "--reply", "BTC detection=zz"}, "not 'zz'"},
        {{"probe", "--timeout", "5x"}, "from 1 to 3600, not '5x'"},
        {{"probe", "--bogus"}, "unknown option '--bogus' for probe"},
        {{"probe", "-x"}, "unknown option '-x' for probe"},
        {{"explain", "--timeout", "5"}, "unknown option '--timeout' for explain"},
        {{"explain", "a.log", "b.log"}, "at most one FILE"},
        // Options that would change nothing in the scenario.
        {{"probe", "--detection-reply", "aa551799"}, "--detection-reply has no effect without --family"},
        {{"probe", "--sensor", "never"}, "--sensor has no effect without --family"},
        {{"probe", "--family", "btc", "--sensor-id", "0x1a"}, "--sensor-id has no effect on a BTC board"},
        {{"probe", "--family", "ltc", "--alt", "--sensor", "never"}, "--sensor has no effect on the alternate"},
        {{"probe", "--family", "ltc", "--chips", "12"}, "--chips has no effect without --wire"},
        {{"probe", "--family", "ltc", "--latency-us", "5"}, "--latency-us has no effect without --wire"},
        {{"probe", "--no-uart", "--family", "ltc"}, "--family has no effect with --no-uart"},
        {{"probe", "--reply-limit", "3"}, "--reply-limit has no effect when nothing answers"},
        {{"probe", "--wire"}, "--wire has no effect when nothing answers"},
        {{"probe", "--answers-after", "2"}, "--answers-after has no effect when no chips answer"},
        {{"probe", "--family", "btc", "--record", "LTC"}, "--family has no effect with a --record that names a family"},
        {{"probe", "--record", "x", "--record", "DASH", "--sensor", "never"}, "--sensor has no effect with a --record"},
        {{"probe", "--record", "SIA", "--no-gpio"}, "--no-gpio has no effect with a --record that names a family"},
        {{"probe", "--record", "0123456789012345678LTC", "--read-only-records"},
         "--read-only-records has no effect with a --record"},
        {{"probe", "--family", "ltc", "--sensor-reply", "00", "--sensor-id", "1"}, "not both"},
        {{"probe", "--json", "--quiet"}, "--quiet has no effect with --json"},
        {{"i2c", "--absent", "--device-byte", "1"}, "--device-byte has no effect with --absent"},
        {{"i2c", "--data-nack", "read"}, "--data-nack has no effect on a read"},
        {{"i2c", "--device-byte", "1", "write", "5"}, "--device-byte has no effect on a write"},
        {{"i2c", "--no-decode", "--svg", "x.svg"}, "--svg has no effect with --no-decode"},
        {{"probe", "--vm", "--family", "ltc", "--answers-after", "2"}, "--answers-after has no effect with --vm"},
        {{"probe", "--vm", "--read-only-records"}, "--read-only-records has no effect with --vm"},
        {{"probe", "--vm", "--emulator", "qemu-mips"}, "--emulator has no effect with --vm"},
        {{"i2c", "--vm", "--absent"}, "--absent has no effect with --vm"},
        {{"i2c", "--vm", "--vcd", "w.vcd"}, "--vcd has no effect with --vm"},
        {{"probe", "--alt=1"}, "'--alt' takes no value"},
        {{"probe", "ltc"}, "unexpected 'ltc'"},
        {{"probe", "--timeout", "0"}, "not '0'"},
        {{"probe", "--program", ""}, "needs a path"},
        {{"i2c", "--address", "0x80"}, "a 7-bit address from 0 to 127"},
        {{"i2c", "--missing", "gpio19"}, "not 'gpio19'"},
        {{"i2c", "--open-fails", "sda-value:0"}, "not 'sda-value:0'"},
        {{"i2c", "--svg", ""}, "'--svg' needs a path"},
        {{"i2c", "--sda-stuck", "floating"}, "not 'floating'"},
        {{"i2c", "write"}, "'write' needs a VALUE"},
        {{"i2c", "read", "now"}, "unexpected 'now'"},
        {{"i2c", "erase"}, "unknown operation 'erase'"},
        {{"i2c", "write", "1", "--", "2"}, "not both"},
    };
    for (const Case &c : cases) {
        std::string joined;
        for (const std::string &a : c.args)
            joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        const ParseResult r = parse_command_line(c.args);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
    }
}

TEST(CommandLine, EmulatedBoardKeepsTheHashBoardButNotTheControlLineRule)
{
    // The guest owns the control line: its chips answer whatever it does.
    const Command c = parsed({"probe", "--vm", "--family", "sia", "--wire", "--chips", "3", "--alt"});
    EXPECT_TRUE(c.vm);
    EXPECT_EQ(c.probe.board.family, sim::ChipFamily::SIA);
    EXPECT_EQ(c.probe.board.answers_after_cycles, 0);
    ASSERT_TRUE(c.probe.board.wire);
    EXPECT_EQ(c.probe.board.wire->chips, 3);
    EXPECT_FALSE(c.probe.args.empty());
    EXPECT_EQ(parsed({"i2c", "--vm", "write", "200"}).i2c.args, std::vector<std::string>{"200"});
    EXPECT_FALSE(parsed({"probe", "--family", "ltc"}).vm);
}

TEST(CommandLine, Names)
{
    for (sim::GpioFile f : sim::GPIO_FILES)
        EXPECT_EQ(gpio_file_from_name(gpio_file_name(f)), f);
    EXPECT_EQ(chip_family_from_name("dash"), sim::ChipFamily::DASH);
    EXPECT_EQ(chip_family_from_name("NONE"), sim::ChipFamily::None);
    EXPECT_FALSE(chip_family_from_name("das"));
    EXPECT_STREQ(sensor_query_name(sim::ChipFamily::SIA), "SIA/DASH sensor query");
    EXPECT_EQ(sensor_query_name(sim::ChipFamily::BTC), nullptr);
}

using board_sim_test::Ran;
using board_sim_test::run_board_sim;

TEST(BoardSimBinary, BadArgumentsGiveUsageOnStandardErrorAndStatus2)
{
    const Ran bad = run_board_sim({"probe", "--family", "eth"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err.rfind("board-sim: ", 0), 0u) << bad.err;
    EXPECT_NE(bad.err.find("usage: board-sim probe"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.err.find("board-sim i2c"), std::string::npos) << "only the subcommand's usage";

    const Ran none = run_board_sim({});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("usage: board-sim probe"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("board-sim i2c"), std::string::npos) << none.err;
}

TEST(BoardSimBinary, HelpAndVersionOnStandardOutput)
{
    for (const char *tool : {"probe", "i2c", "explain"}) {
        SCOPED_TRACE(tool);
        const Ran help = run_board_sim({tool, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind(std::string("usage: board-sim ") + tool, 0), 0u) << help.out;
    }
    const Ran version = run_board_sim({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "board-sim (miner-tools) " MINER_TOOLS_VERSION "\n");
}

TEST(BoardSimBinary, EmulatedBoardRefusesAProgramItCannotRun)
{
    // Checked before anything boots, and without privileges.
    const Ran host = run_board_sim({"probe", "--vm", "--program", BOARD_SIM_PATH});
    EXPECT_EQ(host.status, 1);
    EXPECT_NE(host.err.find("is not a big-endian MIPS program"), std::string::npos) << host.err;
    EXPECT_EQ(host.out, "");

    const Ran missing = run_board_sim({"i2c", "--vm", "--program", "/nonexistent-board-sim-dir/i2c-bitbang"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("is not an executable file"), std::string::npos) << missing.err;
}

TEST(BoardSimBinary, WaveformIntoAMissingDirectoryIsRefusedWithTheReason)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for the simulated board";
    const Ran ran = run_board_sim({"i2c", "--vcd", "/nonexistent-board-sim-dir/w.vcd", "read"});
    EXPECT_EQ(ran.status, 1);
    EXPECT_NE(ran.err.find("cannot write the waveform to /nonexistent-board-sim-dir/w.vcd: No such file or directory"),
              std::string::npos)
        << ran.err;
}

} // namespace
