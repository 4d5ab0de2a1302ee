// SPDX-License-Identifier: MIT
// The unmodified board programs on the emulated board (vm/board-vm): the real
// kernel's serial driver, sysfs GPIO and busybox shell, with the simulated
// hash board on the UART's far end. Outcomes, records and control-line writes
// are exact; standard output is exact once the chunking of a reply into reads,
// which the driver decides, is folded away.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <regex>
#include <sstream>

#include "transcript.h"
#include "probe_lines.h"
#include "target_command.h"
#include "text.h"
#include "vm_run.h"

using namespace probe_test;
using sim::ChipFamily;

namespace {

// A whole reply read in several pieces prints one "exp_buf_len" line per read
// before its "break" line; a pseudo-terminal delivers it in one. Keep one.
// Under load a reply can also come in too slowly for the read's three calls:
// the read ends short ("3 times", "error"), and the rest of the reply is
// discarded before the next frame goes out. When the bytes read are the start
// of one of `whole` (the replies the board sends), that read is written as
// the whole reply arriving at once, so that only its read lines differ.
std::string unchunked(const std::string &out, const std::vector<std::vector<uint8_t>> &whole)
{
    using board_sim::Said;
    const std::string text = normalized(out);
    const std::vector<board_sim::ProbeLine> lines = board_sim::probe_lines(text);
    std::vector<std::string> folded; // the lines of `text`, each with its newline
    for (const board_sim::ProbeLine &l : lines)
        folded.push_back(std::string(l.whole) + "\n");
    if (!text.empty() && !text.ends_with('\n'))
        folded.back().pop_back();
    // The lines of lines[from] to lines[to] become `with`.
    const auto fold = [&folded](size_t from, size_t to, const std::string &with) {
        for (size_t k = from; k <= to; ++k)
            folded[k] = k == from ? with : "";
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].said != Said::ReadPass)
            continue;
        // A read: its calls, then its end, total, trace and error.
        size_t j = i;
        const auto take = [&lines, &j](Said said) {
            const bool next = j + 1 < lines.size() && lines[j + 1].said == said;
            j += next ? 1 : 0;
            return next;
        };
        while (take(Said::ReadPass)) {
        }
        const size_t last_call = j;
        const long len = lines[j].n;
        const std::string one_call = printed(READ_PASS_FORMAT, {std::to_string(len), "0"});
        if (take(Said::ReadFull)) {
            fold(i, last_call, one_call);
        } else if (take(Said::ReadBound) && take(Said::ReadTotal) && take(Said::Received)) {
            const std::string &got = lines[j].text;
            if (lines[j - 2].n == 3 && lines[j - 1].n == len) // whole, completed by the third read
                fold(i, j, Transcript().received(static_cast<int>(len), got).str());
            else if (take(Said::ReadError))
                for (const std::vector<uint8_t> &reply : whole) {
                    const std::string hex = sim::hex_bytes(reply);
                    if (reply.size() == static_cast<size_t>(len) && got.size() < hex.size() &&
                        hex.compare(0, got.size(), got) == 0)
                        fold(i, j, Transcript().received(static_cast<int>(len), hex).str());
                }
        }
        i = j;
    }
    return std::accumulate(folded.begin(), folded.end(), std::string());
}

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

sim::HashBoardScenario board(ChipFamily family)
{
    sim::HashBoardScenario scenario;
    scenario.family = family;
    return scenario;
}

std::string reply_hex(const sim::HashBoardScenario &scenario, sim::FrameId frame)
{
    return sim::hex_bytes(sim::reply_for(scenario, frame));
}

std::vector<std::string> cycles(int n)
{
    std::vector<std::string> writes;
    for (int i = 0; i < n; ++i)
        writes.insert(writes.end(), {"0", "1"});
    return writes;
}

std::vector<std::string> names(const sim::vm::VmResult &r)
{
    std::vector<std::string> out;
    for (const sim::ReceivedFrame &f : r.frames)
        out.push_back(f.name());
    return out;
}

// An LTC board found at the first attempt (the detection read taking 42 bytes
// that begin `detection_hex`) whose sensor answers the first query.
std::string ltc_sensor_at_first_query(const std::string &detection_hex, const sim::HashBoardScenario &scenario)
{
    return Transcript()
        .opened()
        .sent(BTC_DETECT)
        .silence()
        .sent(LTC_DETECT)
        .received(42, detection_hex)
        .line("ltc miner")
        .sent(LTC_MISC)
        .line("ltc configure misc")
        .sent(LTC_REGISTER)
        .line("ltc read temp sensor register 0xfe")
        .sent(LTC_QUERY)
        .line("ltc send get temp sensor register")
        .received(7, reply_hex(scenario, sim::FrameId::LtcSensorQuery))
        .line("ltc read temp sensor register 0xfe OK")
        .str();
}

Transcript up_to_sia_dash_detection()
{
    return Transcript().opened().sent(BTC_DETECT).silence().sent(LTC_DETECT).silence().sent(SIA_DASH_DETECT);
}

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

class OnTheBoard : public ::testing::Test {
protected:
    static sim::vm::VmResult run(sim::vm::VmJob job)
    {
        std::vector<std::vector<uint8_t>> whole;
        if (job.board)
            for (const sim::KnownFrame &f : sim::known_frames())
                if (const std::vector<uint8_t> reply = sim::reply_for(*job.board, f.id); !reply.empty())
                    whole.push_back(reply);
        sim::vm::VmResult r;
        const int rc = sim::vm::run_on_vm(job, &r);
        EXPECT_EQ(rc, 0) << r.error;
        EXPECT_EQ(r.late_replies, 0) << "the guest gave up on answered frames in " << r.runs << " runs";
        if (r.runs > 1)
            printf("note: reran %d times: a reply missed the program's 2 ms wait\n", r.runs - 1);
        r.out = unchunked(r.out, whole);
        return r;
    }
    static sim::vm::VmResult probe(sim::HashBoardScenario scenario, std::vector<std::string> args = {},
                                   std::map<std::string, std::string> records = {})
    {
        sim::vm::VmJob job;
        job.command = {"miner-probe"};
        job.command.insert(job.command.end(), args.begin(), args.end());
        job.board = scenario;
        job.records = std::move(records);
        sim::vm::VmResult r = run(job);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    }
};

TEST_F(OnTheBoard, BtcOnTheDefaultBoardAndTheLineSettingsTheDriverHolds)
{
    const sim::HashBoardScenario scenario = board(ChipFamily::BTC);
    const sim::vm::VmResult r = probe(scenario);
    EXPECT_EQ(r.out, Transcript()
                         .opened()
                         .sent(BTC_DETECT)
                         .received(42, reply_hex(scenario, sim::FrameId::BtcDetection))
                         .line("btc miner")
                         .line("BTC miner should always have temp sensor")
                         .str());
    // busybox's cat, run through popen, on the record that is not there yet.
    EXPECT_EQ(r.err, "cat: can't open '/usr/bin/minerType': No such file or directory\n");
    EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "BTC\n"}, {"tempSensor", "YES\n"}}));
    EXPECT_EQ(r.writes_to(27), cycles(1));
    EXPECT_EQ(r.writes_to(16), cycles(0));
    EXPECT_EQ(r.gpio_value.at(27), "1\n");
    EXPECT_EQ(names(r), std::vector<std::string>{"BTC detection"});

    // The settings the program leaves on the real driver: raw 8N1 at 115200,
    // VMIN 0, VTIME 2 tenths; stop bits, HUPCL and flow control as found.
    const std::string &after = r.stty_after;
    EXPECT_EQ(setting(after, "speed"), "115200") << after;
    EXPECT_EQ(setting(after, "min"), "0") << after;
    EXPECT_EQ(setting(after, "time"), "2") << after;
    for (const char *flag : {"cs8", "cread", "clocal", "-parenb", "-icanon", "-echo", "-isig", "-iexten", "-opost",
                             "-icrnl", "-ixon", "-istrip", "-inlcr", "-igncr", "-brkint"})
        EXPECT_EQ(setting(after, flag[0] == '-' ? flag + 1 : flag), flag[0] == '-' ? "0" : "1") << flag << " in\n"
                                                                                                << after;
    for (const char *flag : {"cstopb", "hupcl", "crtscts", "ixoff"})
        EXPECT_EQ(setting(after, flag), setting(r.stty_before, flag)) << flag << " changed; before:\n"
                                                                      << r.stty_before << "after:\n"
                                                                      << after;
}

TEST_F(OnTheBoard, LtcWithASensor)
{
    const sim::HashBoardScenario scenario = board(ChipFamily::LTC);
    const sim::vm::VmResult r = probe(scenario);
    EXPECT_EQ(r.out, ltc_sensor_at_first_query(reply_hex(scenario, sim::FrameId::LtcDetection), scenario));
    EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "LTC\n"}, {"tempSensor", "YES\n"}}));
    EXPECT_EQ(r.writes_to(27), cycles(1));
}

// Sixty chips answer the detection frame: the program reads 42 of their 420
// bytes, and the rest, still coming in, is discarded before each later frame,
// so the sensor query reads the sensor's own reply.
TEST_F(OnTheBoard, LtcChainOfSixtyChipsWithASensor)
{
    sim::HashBoardScenario scenario = board(ChipFamily::LTC);
    const std::vector<uint8_t> six = sim::reply_for(scenario, sim::FrameId::LtcDetection);
    scenario.detection_reply.emplace();
    for (int i = 0; i < 10; ++i)
        scenario.detection_reply->insert(scenario.detection_reply->end(), six.begin(), six.end());
    const sim::vm::VmResult r = probe(scenario);
    EXPECT_EQ(r.out, ltc_sensor_at_first_query(sim::hex_bytes(six), scenario));
    EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "LTC\n"}, {"tempSensor", "YES\n"}}));
}

// The detection reply may come in pieces under load, and the read may end
// short of its 54 bytes: the rest is discarded before the next frame, so only
// the detection read's lines can differ (unchunked folds them).
TEST_F(OnTheBoard, SiaWithASensorThatNeverAnswers)
{
    sim::HashBoardScenario scenario = board(ChipFamily::SIA);
    scenario.sensor_answers_at_query = 0;
    const sim::vm::VmResult r = probe(scenario);
    const Transcript query = Transcript().sent(SIA_DASH_QUERY).line("sia send get temp sensor register").silence();
    const Transcript attempt = Transcript()
                                   .sent(SIA_DASH_MISC)
                                   .line("sia configure misc")
                                   .sent(SIA_DASH_MUX)
                                   .line("sia configure mux")
                                   .sent(SIA_DASH_REGISTER)
                                   .line("sia read temp sensor register 0xfe")
                                   .repeat(10, query);
    EXPECT_EQ(r.out, up_to_sia_dash_detection()
                         .received(54, reply_hex(scenario, sim::FrameId::SiaDashDetection))
                         .line("sia miner")
                         .repeat(10, attempt)
                         .str());
    EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "SIA\n"}, {"tempSensor", "NO\n"}}));
    EXPECT_EQ(r.writes_to(27), cycles(1));
}

TEST_F(OnTheBoard, SilentBoardGetsTenAttempts)
{
    const sim::vm::VmResult r = probe(board(ChipFamily::None));
    const Transcript attempt = up_to_sia_dash_detection().silence().line("unknown miner");
    EXPECT_EQ(r.out, Transcript().repeat(10, attempt).str());
    EXPECT_TRUE(r.records.empty());
    EXPECT_EQ(r.writes_to(27), cycles(10));
    EXPECT_EQ(r.frames.size(), 30U);
}

TEST_F(OnTheBoard, AlternateBoardUsesTtyS0AndGpio16)
{
    const sim::HashBoardScenario scenario = board(ChipFamily::BTC);
    const sim::vm::VmResult r = probe(scenario, {"alt"});
    EXPECT_EQ(r.out, Transcript()
                         .opened()
                         .sent(BTC_DETECT)
                         .received(42, reply_hex(scenario, sim::FrameId::BtcDetection))
                         .line("btc miner")
                         .str());
    EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "BTC\n"}}));
    EXPECT_EQ(r.writes_to(16), cycles(1));
    EXPECT_EQ(r.writes_to(27), cycles(0));
}

TEST_F(OnTheBoard, RecordAlreadyPresentSendsNothing)
{
    const sim::vm::VmResult r = probe(board(ChipFamily::BTC), {}, {{"minerType", "SIA\n"}});
    EXPECT_EQ(r.out, "content:SIA\nminer type probe already done, miner type is SIA\n\n");
    EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "SIA\n"}}));
    EXPECT_TRUE(r.frames.empty());
    EXPECT_TRUE(r.writes_to(27).empty());
}

// i2c-bitbang on the kernel's sysfs lines with nothing on the bus.
// The bus's pull-ups make an absent device's acknowledgement read 1.
#define I2C_NO_DEVICE_READ "i2c read failed:1!\n"
#define I2C_NO_DEVICE_WRITE "i2c write failed:1!"
TEST_F(OnTheBoard, I2cBitbangOnRealSysfsLinesWithNoDevice)
{
    sim::vm::VmJob job;
    job.command = {"sh", "-c",
                   "i2c-bitbang; echo status $?; i2c-bitbang 200; echo status $?; "
                   "echo 19 >/sys/class/gpio/unexport; i2c-bitbang; echo status $?"};
    const sim::vm::VmResult r = run(job);
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
        const sim::RunResult r = sim::run_process(
            {.argv = argv, .out = sim::Sink::capture(), .err = sim::Sink::stdout_too()}, sim::NO_TIME_LIMIT);
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
