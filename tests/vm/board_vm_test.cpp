// SPDX-License-Identifier: MIT
// The unmodified board programs on the emulated board (vm/board-vm): the real
// kernel's serial driver, sysfs GPIO and busybox shell, with the simulated
// hash board on the UART's far end. The probe's scenarios both boards run are
// tests/probe/either_board_test.cpp, linked into this program too; here are
// the emulated board's own: a long chain, the standard-error lines of
// docs/bring-up.md in busybox's words, the I2C tool, the board's CPU,
// board-sim --vm and the launcher's faults.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "probe_fixture.h"
#include "round_trip.h"
#include "vm_run.h"

using namespace probe_test;
using sim::ChipFamily;

const bool probe_test::ON_EMULATED_BOARD = true;

namespace {

// The log of a SIA detection reply that came in too slowly for the read
// (51 of its 54 bytes) reads as the whole reply; a short read that is not the
// start of a reply the board sends stays as it is.
TEST(ReadsFolded, ShortReadOfAWholeReplyDiffersOnlyInItsReadLines)
{
    sim::HashBoardScenario sia;
    sia.family = ChipFamily::SIA;
    const std::vector<uint8_t> reply = sim::reply_for(sia, sim::FrameId::SiaDashDetection);
    const std::string hex = sim::hex_bytes(reply);
    const std::string cut = hex.substr(0, 2 * 51);
    const Transcript whole = Transcript().sent(SIA_DASH_DETECT).received(54, hex).line("sia miner");
    const Transcript pieces = Transcript().sent(SIA_DASH_DETECT).received_part(54, 51, cut).line("sia miner");
    EXPECT_EQ(unchunked(pieces.str(), {reply}), whole.str());
    const Transcript other = Transcript().sent(SIA_DASH_DETECT).received_part(54, 3, "aa5599").line("sia miner");
    EXPECT_EQ(unchunked(other.str(), {reply}), other.str());

    // The whole reply in three reads, the third completing it; and in two.
    const std::string sent = Transcript().sent(SIA_DASH_DETECT).str();
    const std::string call = "usb uart read exp_buf_len:54 total_len:";
    const std::string rest = "usb_uart_read total_len:54\n<------------ " + hex + "\nsia miner\n";
    EXPECT_EQ(unchunked(sent + call + "0\n" + call + "16\n" + call + "40\nusb uart read 3 times\n" + rest, {reply}),
              whole.str());
    EXPECT_EQ(unchunked(sent + call + "0\n" + call + "16\nusb_uart_read break,read:54\n" + rest, {reply}), whole.str());
}

using OnTheBoard = ProbeRun;

// Sixty chips answer the detection frame: the program reads 42 of their 420
// bytes, and the rest, still coming in, is discarded before each later frame,
// so the sensor query reads the sensor's own reply.
TEST_F(OnTheBoard, LtcChainOfSixtyChipsWithASensor)
{
    sim::ProbeRunConfig config = board(ChipFamily::LTC);
    const std::vector<uint8_t> six = sim::reply_for(config.board, sim::FrameId::LtcDetection);
    config.board.detection_reply.emplace();
    for (int i = 0; i < 10; ++i)
        config.board.detection_reply->insert(config.board.detection_reply->end(), six.begin(), six.end());
    const sim::ProbeRunReport r = run(config);
    EXPECT_EQ(r.run.out, found(config, sim::hex_bytes(six)).str());
    EXPECT_EQ(r.miner_type, "LTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
}

// i2c-bitbang on the kernel's sysfs lines with nothing on the bus.
// The bus's pull-ups make an absent device's acknowledgement read 1.
TEST(I2cOnTheBoard, RealSysfsLinesWithNoDevice)
{
    sim::vm::VmJob job;
    job.command = {"sh", "-c",
                   "i2c-bitbang; echo status $?; i2c-bitbang 200; echo status $?; "
                   "echo 19 >/sys/class/gpio/unexport; i2c-bitbang; echo status $?"};
    sim::vm::VmResult r;
    ASSERT_EQ(sim::vm::run_on_vm(job, &r), 0) << r.error;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "i2c read failed:1!\nstatus 0\ni2c write failed:1!status 0\nFailed to open file!\nstatus 255\n");
    EXPECT_EQ(r.err, "");
}

// The standard-error lines docs/bring-up.md lists, as busybox words them: the
// probe run with its control line not exported, with the line an input, and
// with /usr/bin read-only. Each case's standard error follows a "== case"
// line. The probe is run from /tmp so that /usr/bin can be covered by a
// read-only mount.
const char *const STDERR_JOB = R"JOB(#!/bin/sh
cp /usr/bin/miner-probe /tmp/miner-probe
g=/sys/class/gpio
echo "== not exported" >&2
echo 27 >$g/unexport
/tmp/miner-probe >/dev/null
rm -f /usr/bin/minerType /usr/bin/tempSensor
echo 27 >$g/export
echo "== input" >&2
echo in >$g/gpio27/direction
/tmp/miner-probe >/dev/null
rm -f /usr/bin/minerType /usr/bin/tempSensor
echo high >$g/gpio27/direction
echo "== read-only" >&2
mount -t tmpfs -o ro tmpfs /usr/bin
/tmp/miner-probe >/dev/null
)JOB";

TEST(StandardErrorOnTheBoard, TheBringUpTableWordForWord)
{
    if (sim::vm::find_image().empty())
        GTEST_SKIP() << "no board image; run vm/build-image.sh";
    const std::string job_path = sim::temp_directory() + "/stderr-lines-job." + std::to_string(getpid());
    sim::Sandbox::write_file(job_path, STDERR_JOB);
    sim::vm::VmJob job;
    job.command = {"sh", "/usr/bin/stderr-lines-job"};
    job.files = {{job_path, "/usr/bin/stderr-lines-job"}};
    job.board.emplace().family = sim::ChipFamily::BTC;
    job.timeout_s = 120;
    sim::vm::VmResult r;
    const int rc = sim::vm::run_on_vm(job, &r);
    std::filesystem::remove(job_path);
    ASSERT_EQ(rc, 0) << r.error;
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string cat = "cat: can't open '/usr/bin/minerType': No such file or directory\n";
    const std::string missing = "sh: can't create /sys/class/gpio/gpio27/value: nonexistent directory\n";
    const std::string input = "sh: write error: Operation not permitted\n";
    // The BTC board answers whatever the line does: each run ends at its
    // first attempt, after one low-high cycle (two writes).
    EXPECT_EQ(r.err, "== not exported\n" + cat + missing + missing + "== input\n" + cat + input + input +
                         "== read-only\n" + cat + "sh: can't create /usr/bin/tempSensor: Read-only file system\n" +
                         "sh: can't create /usr/bin/minerType: Read-only file system\n");
}

// The emulated board's CPU is the board's: a 24Kc without an FPU, under a
// kernel that does not emulate one. A soft-float program runs there; a
// hard-float one dies with SIGILL, as it would on the board, so the other
// tests here cannot pass a program that the board would kill.
TEST(BoardCpu, HasNoFpuSoRunsSoftFloatAndKillsHardFloat)
{
    sim::vm::VmJob job;
    job.files = {{FLOAT_CANARY_BOARD, "/usr/bin/float-canary"},
                 {FLOAT_CANARY_HARD_FLOAT, "/usr/bin/float-canary-hardfloat"}};
    job.command = {"sh", "-c",
                   "cat /proc/cpuinfo; float-canary 1.5; echo \"soft status $?\"; "
                   "float-canary-hardfloat 1.5; echo \"hard status $?\""};
    sim::vm::VmResult r;
    ASSERT_EQ(sim::vm::run_on_vm(job, &r), 0) << r.error;
    EXPECT_EQ(r.status, 0) << r.err;

    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.console, m, std::regex("CPU0 revision is: [0-9a-f]+ \\(([^)]*)\\)"))) << r.console;
    EXPECT_EQ(m[1].str(), "MIPS 24Kc");
    // On MIPS, /proc/cpuinfo names an FPU after the CPU model when there is one
    // ("MIPS 24Kf V7.4  FPU V0.0").
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("cpu model\\s*: ([^\n]*)"))) << r.out;
    EXPECT_NE(m[1].str().find("MIPS 24Kc"), std::string::npos) << m[1];
    EXPECT_EQ(m[1].str().find("FPU"), std::string::npos) << m[1];

    EXPECT_NE(r.out.find("\n3.75\nsoft status 0\n"), std::string::npos) << r.out;
    // 128 + SIGILL (4): the shell's status for a program the kernel killed.
    EXPECT_NE(r.out.find("\nhard status 132\n"), std::string::npos) << r.out << r.err;
}

// board-sim --vm: the scenarios of the simulated board on the emulated one,
// shown as board-sim shows every run. What the run did comes back from the
// guest (records, the kernel's trace of the control line, the line settings).
using board_sim_test::Ran;
using board_sim_test::run_board_sim;

void expect_has(const std::string &text, const std::vector<std::string> &parts)
{
    for (const std::string &part : parts)
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

TEST(BoardSimOnTheBoard, ProbeSummaryComesFromTheGuest)
{
    const Ran r = run_board_sim({"probe", "--vm", "--family", "ltc", "--sensor", "at=3", "-s", "temp_sensor=OLD"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out, {"== miner-probe on the emulated default board (gpio27, /dev/ttyATH0): family=LTC, sensor=3, "
                       "temp_sensor=OLD\n",
                       "ltc read temp sensor register 0xfe OK\n", "== exit status 0 after ",
                       "   LTC detection, answered\n", "   LTC sensor query x2\n", "   LTC sensor query, answered\n",
                       "== control line gpio27: 0 1 (1 low-high cycle), left high\n",
                       "   /usr/bin/tempSensor:\n       OLD\n     + YES\n",
                       "== serial line after the run: 115200 baud, -parenb cs8 -cstopb -crtscts -ixon -icanon, "
                       "min = 0, time = 2\n",
                       "== GPIO files after the run: gpio16 out 0; gpio19 in 1; gpio23 in 1; gpio27 out 1\n"});
}

TEST(BoardSimOnTheBoard, AlternateBoardAsJson)
{
    const Ran r = run_board_sim({"probe", "--vm", "--family", "dash", "--alt", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out,
               {"\"board\": \"emulated\"", "\"uart\": \"/dev/ttyS0\"", "\"name\": \"SIA/DASH detection\"",
                "\"gpio\": \"gpio16\",\n    \"writes\": [\n      \"0\",\n      \"1\"\n    ]",
                "\"appended\": [\n        \"DASH\"\n      ]", "\"emulated_board\": {", "\"stty_after\": \"speed "});
    EXPECT_EQ(r.out.find("== "), std::string::npos) << "no text summary in the document";
}

// Logs of the real kernel's tty, one of a paced chain of 60 chips, become
// scenarios that both boards replay.
TEST(BoardSimOnTheBoard, LogsRoundTripOnBothBoards)
{
    using board_sim_test::round_trip;
    for (const std::vector<std::string> &board :
         {std::vector<std::string>{"--family", "sia", "--sensor", "at=4"},
          std::vector<std::string>{"--family", "ltc", "--wire", "--chips", "60"}}) {
        std::vector<std::string> args = {"--vm"};
        args.insert(args.end(), board.begin(), board.end());
        const std::string log = board_sim_test::probe_log(args, false);
        const board_sim_test::RoundTrip on_vm = round_trip(log, 0, {"--vm"});
        EXPECT_EQ(board_sim::run_difference(log, 1, on_vm.replayed, 1), "") << on_vm.scenario;
        if (geteuid() == 0) { // the simulated board needs root
            const board_sim_test::RoundTrip simulated = round_trip(log);
            EXPECT_EQ(board_sim::run_difference(log, 1, simulated.replayed, 1), "") << simulated.scenario;
        }
    }
}

TEST(BoardSimOnTheBoard, I2cOnTheKernelsLines)
{
    const Ran r = run_board_sim({"i2c", "--vm", "write", "200"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out, {"i2c write failed:1!", "== kernel trace: gpio19: ", "direction change",
                       "== GPIO files after the run: gpio16 out 0; gpio19 out 1; gpio23 out 1; gpio27 out 0\n"});
    EXPECT_EQ(r.out.find("serial line"), std::string::npos) << "the I2C tool does not touch the UART";
}

} // namespace

// Faults of the board itself: each is a clear error within a bounded time.
class LauncherFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vm-fault.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string &name, const std::string &text, mode_t mode = 0755)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }
    // Runs vm/board-vm with `args`; returns its exit status and, in *err, what
    // it printed.
    static int launcher(const std::string &args, std::string *err)
    {
        std::vector<std::string> argv = sim::command_words(args);
        argv.insert(argv.begin(), sim::vm::launcher_path());
        const sim::RunResult r =
            sim::run_process({.argv = argv, .out = sim::Sink::Capture, .err = sim::Sink::Stdout}, sim::NO_TIME_LIMIT);
        *err = r.out;
        return r.signal == 0 ? r.exit_status : -1;
    }
    std::string dir_;
};

TEST_F(LauncherFaults, NothingToConnectToOrNothingToBoot)
{
    std::string err;
    EXPECT_EQ(launcher("run --uart unix:" + dir_ + "/none --out " + dir_ + "/o -- true", &err), 1);
    EXPECT_NE(err.find("nobody listens on " + dir_ + "/none"), std::string::npos) << err;

    // A socket that exists but does not listen: qemu cannot connect.
    const std::string sock = dir_ + "/deaf.sock";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(launcher("run --uart unix:" + sock + " --out " + dir_ + "/o -- true", &err), 1);
    EXPECT_NE(err.find("qemu-system-mips failed"), std::string::npos) << err;
    EXPECT_NE(err.find("Connection refused"), std::string::npos) << err;
    close(fd);

    EXPECT_EQ(launcher("run --uart none --image " + dir_ + " --out " + dir_ + "/o -- true", &err), 1);
    EXPECT_NE(err.find("lacks vmlinux; run vm/board-vm build"), std::string::npos) << err;

    // A kernel qemu cannot load.
    const std::string image = sim::vm::find_image();
    ASSERT_NE(image, "") << "no board image; run vm/board-vm build";
    for (const char *name : {"initramfs.cpio.gz", "gen_init_cpio"})
        std::filesystem::copy_file(image + "/" + name, dir_ + "/" + name);
    file("vmlinux", "not a kernel\n");
    EXPECT_EQ(launcher("run --uart none --image " + dir_ + " --out " + dir_ + "/o -- true", &err), 1);
    EXPECT_NE(err.find("qemu-system-mips failed"), std::string::npos) << err;

    EXPECT_EQ(launcher("run --out " + dir_ + "/o -- true", &err), 2) << "no --uart";
    EXPECT_EQ(launcher("run --uart none --out " + dir_ + "/o --timeout soon -- true", &err), 2);
}

TEST_F(LauncherFaults, CommandThatNeverEndsIsKilledAndItsResultsKept)
{
    sim::vm::VmJob job;
    job.command = {"sh", "-c", "echo started; sleep 1000"};
    job.timeout_s = 2;
    sim::vm::VmResult r;
    EXPECT_EQ(sim::vm::run_on_vm(job, &r), 0) << r.error;
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "started\n");
    EXPECT_NE(r.error.find("the command did not end within 2 s; the board killed it"), std::string::npos) << r.error;
}

TEST_F(LauncherFaults, GuestThatPanicsOrHangs)
{
    // init exits: the kernel panics, and qemu ends at once (panic=-1, -no-reboot).
    sim::vm::VmJob job;
    job.command = {"true"};
    job.files = {{file("exits", "#!/bin/sh\necho init leaves\nexit 3\n"), "/init"}};
    sim::vm::VmResult r;
    EXPECT_EQ(sim::vm::run_on_vm(job, &r), 1);
    EXPECT_NE(r.error.find("the board's kernel panicked"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("Attempted to kill init"), std::string::npos) << "the console's last lines:\n" << r.error;

    // init never finishes: qemu is killed after boot, command and 10 s.
    job.files = {{file("hangs", "#!/bin/sh\necho init hangs\nwhile :; do sleep 1; done\n"), "/init"}};
    job.timeout_s = 1;
    job.boot_timeout_s = 0;
    EXPECT_EQ(sim::vm::run_on_vm(job, &r), 1);
    EXPECT_NE(r.error.find("the board did not finish within 11 s"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("init hangs"), std::string::npos) << r.error;
    EXPECT_LT(r.elapsed_ms, 30000);
}
