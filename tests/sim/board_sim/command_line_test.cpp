// SPDX-License-Identifier: MIT
// board-sim's command line: what the shorthands, --set and a scenario file
// set, the arguments passed to the program, and the refusals of bad input
// (also as the binary answers them: one line on standard error, status 2).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

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

std::string refused(std::vector<std::string> args)
{
    const ParseResult r = parse_command_line(args);
    EXPECT_FALSE(r.ok);
    return r.error;
}

// A scenario file in the test's temporary directory.
std::string scenario_file(const std::string &name, const std::string &text)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

TEST(CommandLine, ShorthandsAndSetShapeTheHashBoard)
{
    const Command c = parsed({"probe", "--family", "Ltc", "--set", "answers_after_cycles=3", "--sensor", "at=7", "-s",
                              "sensor_status=0x3f", "--set=sensor_id=26", "--set", "detection_reply=AA 55:17,99", "-s",
                              "reply_limit=3", "--timeout", "5", "--program", "./mp"});
    EXPECT_EQ(c.tool, Tool::Probe);
    const sim::HashBoardScenario b = c.probe.run_config().board;
    EXPECT_EQ(b.family, sim::ChipFamily::LTC);
    EXPECT_EQ(Json(c.probe)["family"], "LTC") << "written in the table's spelling";
    EXPECT_EQ(b.answers_after_cycles, 3);
    EXPECT_EQ(b.sensor_answers_at_query, 7);
    EXPECT_EQ(b.sensor_status, 0x3F);
    EXPECT_EQ(b.sensor_id, 26);
    EXPECT_EQ(b.detection_reply, (std::vector<uint8_t>{0xAA, 0x55, 0x17, 0x99}));
    EXPECT_EQ(b.reply_limit, 3u);
    EXPECT_EQ(c.timeout_ms, 5000);
    EXPECT_EQ(parsed({"probe", "--fam", "btc", "--tim=7"}).timeout_ms, 7000) << "long options shortened";
    EXPECT_EQ(parsed({"probe", "--fam", "btc"}).probe.board.family, sim::ChipFamily::BTC);
    EXPECT_EQ(c.program, "./mp");
    EXPECT_TRUE(c.probe.args.empty()) << "the default board takes no argument";

    const auto sensor = [](const char *when) {
        return parsed({"probe", "--family", "sia", "--sensor", when}).probe.board.sensor_answers_at_query;
    };
    EXPECT_EQ(sensor("never"), 0);
    EXPECT_EQ(sensor("answers"), 1);
    EXPECT_EQ(sensor("12"), 12);
    EXPECT_EQ(Json(parsed({"probe"}).probe), Json(ProbeScenario{}));
}

TEST(CommandLine, WireRepliesAndRecords)
{
    const Command c = parsed({"probe", "--family", "ltc", "--wire", "--chips", "12", "-s", "latency_us=3000", "-s",
                              "corrupt_rate=0.01", "-s", "corrupt_seed=7", "-s",
                              "replies=ltc sensor query=0098fe54000018", "-s", "babble=0xff", "--json"});
    const sim::HashBoardScenario b = c.probe.run_config().board;
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
    EXPECT_FALSE(parsed({"probe", "--family", "sia"}).probe.run_config().board.wire) << "instant replies by default";
    const Command chips_first = parsed({"probe", "--family", "ltc", "--chips", "60", "--wire"});
    ASSERT_TRUE(chips_first.probe.run_config().board.wire);
    EXPECT_EQ(chips_first.probe.run_config().board.wire->chips, 60) << "the wire's keys in any order";

    const sim::HashBoardScenario sensor =
        parsed({"probe", "--family", "dash", "-s", "sensor_reply=aa55 0098fe1a 0000"}).probe.board;
    EXPECT_EQ(sensor.sensor_reply, (std::vector<uint8_t>{0xAA, 0x55, 0x00, 0x98, 0xFE, 0x1A, 0x00, 0x00}));

    // A named reply needs no family, and without bytes leaves the frame unanswered.
    const sim::HashBoardScenario named = parsed({"probe", "-s", "replies=LTC detection=1485", "-s",
                                                 "replies=BTC detection=", "-s", "answers_after_cycles=2"})
                                             .probe.board;
    ASSERT_EQ(named.frame_replies.size(), 2u) << "each --set of a list adds an item";
    EXPECT_TRUE(named.frame_replies[1].bytes.empty());

    // Record lines, one per --record, in order; the alternate board; the control board's faults.
    const sim::ProbeRunConfig p = parsed({"probe", "--record", "BTC", "--record=DAS", "-s", "temp_sensor=NO", "--alt",
                                          "-s", "uart=false", "-s", "gpio_files=false", "-s", "records_read_only=true"})
                                      .probe.run_config();
    EXPECT_EQ(p.miner_type, "BTC\nDAS\n");
    EXPECT_EQ(p.temp_sensor, "NO\n");
    EXPECT_EQ(p.args, std::vector<std::string>{"alt"}) << "--alt passes exactly one argument";
    EXPECT_FALSE(p.uart_present);
    EXPECT_FALSE(p.gpio_files);
    EXPECT_TRUE(p.usr_bin_read_only);
    EXPECT_FALSE(parsed({"probe"}).probe.miner_type) << "no record: no file at all";
    EXPECT_EQ(parsed({"probe", "--record", ""}).probe.miner_type, "\n");
    EXPECT_EQ(parsed({"probe", "-s", R"(miner_type=["A","B"])"}).probe.miner_type, "A\nB\n");
    EXPECT_EQ(parsed({"probe", "--record", "A", "-s", "miner_type=null"}).probe.miner_type, std::nullopt);

    // Arguments after "--" go through untouched, an empty one included.
    EXPECT_EQ(parsed({"probe", "--", "", "--family"}).probe.args, (std::vector<std::string>{"", "--family"}));
}

TEST(CommandLine, I2cOperationsAndKeysShapeTheBus)
{
    const auto args = [](std::vector<std::string> words) { return parsed(words).i2c.args; };
    EXPECT_TRUE(args({"i2c"}).empty());
    EXPECT_TRUE(args({"i2c", "read"}).empty());
    EXPECT_EQ(args({"i2c", "write", "200"}), std::vector<std::string>{"200"});
    EXPECT_EQ(args({"i2c", "write", "-1"}), std::vector<std::string>{"-1"}) << "a value is not an option";
    EXPECT_EQ(args({"i2c", "write", "abc", "--absent"}), std::vector<std::string>{"abc"});
    EXPECT_EQ(args({"i2c", "--", "7", "8"}), (std::vector<std::string>{"7", "8"}));

    const Command c = parsed({"i2c",
                              "-s",
                              "address=0x50",
                              "-s",
                              "data_nack=true",
                              "-s",
                              "sda_stuck=LOW",
                              "-s",
                              "missing=scl-direction",
                              "-s",
                              "write_fails=sda-value",
                              "-s",
                              "open_fails=sda-value:3",
                              "-s",
                              "open_fails=scl-value",
                              "-s",
                              "lines_output=true",
                              "--vcd",
                              "w.vcd",
                              "--no-decode",
                              "write",
                              "5"});
    const sim::GpioBoardOptions &b = c.i2c;
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
    EXPECT_EQ(Json(c.i2c)["open_fails"][1], "scl-value:1") << "written in full";
    EXPECT_TRUE(b.lines_start_as_outputs);
    EXPECT_EQ(c.vcd_path, "w.vcd");
    EXPECT_FALSE(c.decode);
    EXPECT_FALSE(parsed({"i2c", "--absent"}).i2c.device.present);
    const Command read = parsed({"i2c", "--device-byte", "0xA5", "--svg", "r.svg", "read"});
    EXPECT_EQ(read.i2c.device.byte, 0xA5);
    EXPECT_EQ(read.svg_path, "r.svg");
    EXPECT_EQ(read.vcd_path, "") << "no --vcd: the waveform is not kept";
}

TEST(CommandLine, ScenarioFileThenSettingsInOrder)
{
    const std::string file = scenario_file("ltc.json", R"({"tool": "probe", "family": "ltc", "wire": true,
                                                           "chips": 60, "sensor": "never"})");
    const Command c = parsed({"probe", "--scenario", file, "-s", "chips=12", "--wire", "--family", "LTC"});
    EXPECT_EQ(c.probe.wire_model.chips, 12) << "--set changes a key of the file";
    EXPECT_EQ(c.probe.board.sensor_answers_at_query, 0);
    EXPECT_EQ(c.probe.board.family, sim::ChipFamily::LTC) << "a shorthand that agrees with the file is fine";

    // A run's --json document replays: its scenario is read, the rest passed over.
    const std::string run =
        scenario_file("run.json", R"({"board_sim": "0.2.0", "subcommand": "i2c", "exit_status": 0, "stdout": "",
                       "scenario": {"tool": "i2c", "absent": true, "args": ["7"]}})");
    const Command replay = parsed({"i2c", "-f", run});
    EXPECT_FALSE(replay.i2c.device.present);
    EXPECT_EQ(replay.i2c.args, std::vector<std::string>{"7"});
    EXPECT_EQ(parsed({"i2c", "-f", run, "read"}).i2c.args, std::vector<std::string>{})
        << "an operation replaces the file's arguments";

    EXPECT_NE(refused({"probe", "-f", file, "--family", "sia"}).find("--family sia contradicts family \"LTC\" in"),
              std::string::npos);
    EXPECT_NE(refused({"probe", "-f", run}).find("not the --json document of a board-sim probe run"),
              std::string::npos);
}

TEST(CommandLine, ExplainTakesAtMostOneFile)
{
    EXPECT_EQ(parsed({"explain"}).explain_path, "") << "standard input";
    EXPECT_EQ(parsed({"explain", "-"}).explain_path, "");
    EXPECT_EQ(parsed({"explain", "boot.log"}).explain_path, "boot.log");
    EXPECT_EQ(parsed({"explain", "boot.log"}).tool, Tool::Explain);
}

// What --help or --version prints; either wins over operands.
std::string printed(std::vector<std::string> args)
{
    return parse_command_line(args).text;
}

TEST(CommandLine, HelpAndVersionWinOverOperands)
{
    EXPECT_EQ(printed({"--help"}).rfind("usage: board-sim probe [OPTION]... [-- ARG...]\n       board-sim i2c", 0), 0u)
        << "the general help";
    EXPECT_EQ(printed({"i2c", "-V"}), "board-sim (miner-tools) " MINER_TOOLS_VERSION "\n");
    EXPECT_EQ(printed({"i2c", "write", "--help"}).rfind("usage: board-sim i2c", 0), 0u)
        << "a value never starts with --";
    EXPECT_EQ(printed({"probe", "-h"}).rfind("usage: board-sim probe", 0), 0u);
}

TEST(CommandLine, HelpListsEveryOptionAndKeyOfItsTool)
{
    const std::string probe = printed({"probe", "--help"}), i2c = printed({"i2c", "--help"});
    for (const auto &[help, defaults] : {std::pair{probe, Json(ProbeScenario{})}, std::pair{i2c, Json(I2cScenario{})}})
        for (const auto &[key, value] : defaults.items())
            EXPECT_TRUE(key == "tool" || help.find("\n  " + key + " ") != std::string::npos) << key;
    EXPECT_NE(probe.find("  sensor_id              identity BYTE of the sensor's replies [0x55]"), std::string::npos)
        << "each key with its default";
    EXPECT_NE(probe.find("--family NAME          --set family=NAME"), std::string::npos);
    EXPECT_NE(i2c.find("--absent               --set absent=true"), std::string::npos);
    EXPECT_EQ(i2c.find("--family"), std::string::npos) << "only its own tool's options";
}

TEST(CommandLine, RefusesBadInput)
{
    struct Case {
        std::vector<std::string> args;
        const char *says;
    };
    const Case cases[] = {
        {{}, "no subcommand"},
        {{"flash"}, "not expected: flash"},
        {{"explain", "a.log", "b.log"}, "not expected: b.log"},
        {{"explain", "a.log", "--", "b.log"}, "at most one FILE"},
        {{"probe", "--set", "chips"}, "--set: wants KEY=VALUE"},
        {{"probe", "--s", "x"}, "option '--s' is ambiguous; possibilities: '--scenario' '--set' '--sensor'"},
        {{"probe", "--set", "chipz=3"}, "no key 'chipz' in a probe scenario"},
        {{"i2c", "--set", "family=ltc"}, "no key 'family' in a i2c scenario"},
        {{"probe", "--family", "eth"}, "--family wants none, BTC, LTC, SIA or DASH, not 'eth'"},
        {{"probe", "--family", "ltc", "--sensor", "at=0"}, "not 'at=0'"},
        {{"probe", "--sensor", "sometimes"}, "not 'sometimes'"},
        {{"probe", "-s", "answers_after_cycles=-1"}, "from 0 to 1000, not '-1'"},
        {{"probe", "-s", "sensor_id=256"}, "from 0 to 255, not '256'"},
        {{"probe", "-s", "sensor_id=0x"}, "not '0x'"},
        {{"probe", "-s", "detection_reply=a5a"}, "not 'a5a'"},
        {{"probe", "--chips", "257", "--wire"}, "from 0 to 256, not '257'"},
        {{"probe", "-s", "corrupt_rate=1.5", "--wire"}, "not '1.5'"},
        {{"probe", "-s", "wire=yes"}, "wants true or false, not 'yes'"},
        {{"probe", "-s", "replies=LTC sensor query"}, "NAME=HEX"},
        {{"probe", "-s", "replies=LTC sensor=00"}, "NAME=HEX"},
        {{"probe", "-s", "replies=BTC detection=zz"}, "not 'BTC detection=zz'"},
        {{"probe", "-s", "miner_type=[1]"}, "a list of strings"},
        {{"probe", "--timeout", "5x"}, "--timeout: Value 5x not in range 1 to 3600"},
        {{"probe", "--timeout", "3601"}, "not in range 1 to 3600"},
        {{"probe", "--program", ""}, "--program: needs a value"},
        {{"probe", "ltc"}, "not expected: ltc; pass program arguments after '--'"},
        // What would change nothing in the scenario.
        {{"probe", "-s", "detection_reply=aa551799"}, "--set detection_reply has no effect when family is none"},
        {{"probe", "--sensor", "never"}, "--sensor has no effect when family is none"},
        {{"probe", "--family", "btc", "-s", "sensor_id=0x1a"}, "--set sensor_id has no effect on a BTC board"},
        {{"probe", "--family", "ltc", "--alt", "--sensor", "never"}, "--sensor has no effect on the alternate"},
        {{"probe", "--family", "ltc", "--chips", "12"}, "--chips has no effect without wire"},
        {{"probe", "-s", "uart=false", "--family", "ltc"}, "--family has no effect without the uart"},
        {{"probe", "-s", "reply_limit=3"}, "--set reply_limit has no effect when nothing answers"},
        {{"probe", "--wire"}, "--wire has no effect when nothing answers"},
        {{"probe", "-s", "answers_after_cycles=2"}, "has no effect when no chips answer"},
        {{"probe", "--family", "btc", "--record", "LTC"}, "--family has no effect when miner_type names a family"},
        {{"probe", "--record", "x", "--record", "DASH", "-s", "gpio_files=false"}, "when miner_type names"},
        {{"probe", "--record", "0123456789012345678LTC", "-s", "records_read_only=true"}, "when miner_type names"},
        {{"probe", "--family", "ltc", "-s", "sensor_reply=00", "-s", "sensor_id=1"}, "with sensor_reply"},
        {{"probe", "--json", "--quiet"}, "--json excludes --quiet"},
        {{"i2c", "--absent", "--device-byte", "1"}, "--device-byte has no effect when absent"},
        {{"i2c", "-s", "data_nack=true", "read"}, "has no effect on a read"},
        {{"i2c", "--device-byte", "1", "write", "5"}, "--device-byte has no effect on a write"},
        {{"i2c", "--no-decode", "--svg", "x.svg"}, "--svg excludes --no-decode"},
        {{"probe", "--vm", "--family", "ltc", "-s", "answers_after_cycles=2"}, "has no effect with --vm"},
        {{"probe", "--vm", "-s", "records_read_only=true"}, "has no effect with --vm"},
        {{"probe", "--vm", "--emulator", "qemu-mips"}, "--emulator excludes --vm"},
        {{"i2c", "--vm", "--absent"}, "--absent has no effect with --vm"},
        {{"i2c", "--vm", "--vcd", "w.vcd"}, "--vm excludes --vcd"},
        {{"i2c", "write"}, "VALUE is required"},
        {{"i2c", "read", "now"}, "not expected: now"},
        {{"i2c", "erase"}, "not expected: erase"},
        {{"i2c", "write", "1", "--", "2"}, "not both"},
        {{"probe", "-f", "/nonexistent-board-sim-dir/s.json"}, "cannot read the scenario file"},
    };
    for (const Case &c : cases) {
        std::string joined;
        for (const std::string &a : c.args)
            joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        EXPECT_NE(refused(c.args).find(c.says), std::string::npos) << refused(c.args);
    }
}

TEST(CommandLine, EmulatedBoardKeepsTheHashBoard)
{
    const Command c = parsed({"probe", "--vm", "--family", "sia", "--wire", "--chips", "3", "--alt"});
    EXPECT_TRUE(c.vm);
    const sim::ProbeRunConfig p = c.probe.run_config();
    EXPECT_EQ(p.board.family, sim::ChipFamily::SIA);
    ASSERT_TRUE(p.board.wire);
    EXPECT_EQ(p.board.wire->chips, 3);
    EXPECT_FALSE(p.args.empty());
    EXPECT_EQ(parsed({"i2c", "--vm", "write", "200"}).i2c.args, std::vector<std::string>{"200"});
}

using board_sim_test::Ran;
using board_sim_test::run_board_sim;

TEST(BoardSimBinary, BadInputGivesOneLineOnStandardErrorAndStatus2)
{
    const std::string bad_json = scenario_file("bad.json", "{\"family\": \"ltc\",");
    const std::string unknown = scenario_file("unknown.json", R"({"family": "ltc", "chip": 12})");
    const std::string wrong_type = scenario_file("type.json", R"({"wire": "yes"})");
    const std::string out_of_range = scenario_file("range.json", R"({"latency_us": 2000000})");
    const std::string ltc = scenario_file("ltc.json", R"({"family": "LTC"})");
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"probe", "-f", bad_json}, bad_json + ": not JSON: parse error at line 1"},
        {{"probe", "-f", unknown}, unknown + ": unknown key \"chip\" in a probe scenario"},
        {{"probe", "-f", wrong_type}, wrong_type + ": wire wants true or false, not \"yes\""},
        {{"probe", "-f", out_of_range}, out_of_range + ": latency_us wants a whole number from 0 to 1000000"},
        {{"probe", "-s", "sensors=never"}, "--set: no key 'sensors' in a probe scenario"},
        {{"probe", "-f", ltc, "--family", "btc"}, "--family btc contradicts family \"LTC\" in " + ltc},
        {{"probe", "--family", "eth"}, "--family wants none, BTC, LTC, SIA or DASH, not 'eth'"},
    };
    for (const Case &c : cases) {
        const Ran ran = run_board_sim(c.args);
        EXPECT_EQ(ran.status, 2);
        EXPECT_EQ(ran.out, "") << "nothing run";
        EXPECT_EQ(ran.err.rfind("board-sim: " + c.says, 0), 0u) << ran.err;
        EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
    }

    // The command line's form: CLI11's message, then where to look.
    const Ran option = run_board_sim({"probe", "--bogus"});
    EXPECT_EQ(option.status, 2);
    EXPECT_EQ(option.err,
              "board-sim: The following argument was not expected: --bogus\nTry 'board-sim probe --help' for more.\n");
    const Ran none = run_board_sim({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err,
              "board-sim: no subcommand: give 'probe', 'i2c' or 'explain'\nTry 'board-sim --help' for more.\n");
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
