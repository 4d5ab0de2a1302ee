// SPDX-License-Identifier: MIT
// The unmodified board programs on the emulated board (vm/board-vm): the real
// kernel's serial driver, sysfs GPIO and busybox shell, with the simulated
// hash board on the UART's far end. The probe's scenarios both boards run are
// tests/probe/either_board_test.cpp, built into this program too; here are
// the emulated board's own: a long chain, the I2C tool, the launcher's faults.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "probe_fixture.h"
#include "vm_run.h"

using namespace probe_test;
using sim::ChipFamily;

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
    const auto whole_in_reads = [&hex](std::initializer_list<const char *> read_lines) {
        Transcript t = Transcript().sent(SIA_DASH_DETECT);
        for (const char *l : read_lines)
            t.line(l);
        return t.line("usb_uart_read total_len:54").line("<------------ " + hex).line("sia miner").str();
    };
    EXPECT_EQ(unchunked(whole_in_reads({"usb uart read exp_buf_len:54 total_len:0",
                                        "usb uart read exp_buf_len:54 total_len:16",
                                        "usb uart read exp_buf_len:54 total_len:40", "usb uart read 3 times"}),
                        {reply}),
              whole.str());
    EXPECT_EQ(unchunked(whole_in_reads({"usb uart read exp_buf_len:54 total_len:0",
                                        "usb uart read exp_buf_len:54 total_len:16", "usb_uart_read break,read:54"}),
                        {reply}),
              whole.str());
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
    EXPECT_EQ(r.run.out, ltc_sensor_at_first_query(sim::hex_bytes(six), config));
    EXPECT_EQ(r.miner_type, "LTC\n");
    EXPECT_EQ(r.temp_sensor, "YES\n");
}

// i2c-bitbang on the kernel's sysfs lines with nothing on the bus.
// The bus's pull-ups make an absent device's acknowledgement read 1.
#define I2C_NO_DEVICE_READ "i2c read failed:1!\n"
#define I2C_NO_DEVICE_WRITE "i2c write failed:1!"
TEST(I2cOnTheBoard, RealSysfsLinesWithNoDevice)
{
    sim::vm::VmJob job;
    job.command = {"sh", "-c",
                   "i2c-bitbang; echo status $?; i2c-bitbang 200; echo status $?; "
                   "echo 19 >/sys/class/gpio/unexport; i2c-bitbang; echo status $?"};
    sim::vm::VmResult r;
    ASSERT_EQ(sim::vm::run_on_vm(job, &r), 0) << r.error;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, I2C_NO_DEVICE_READ "status 0\n" I2C_NO_DEVICE_WRITE "status 0\n"
                                        "Failed to open file!\nstatus 255\n");
    EXPECT_EQ(r.err, "");
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
