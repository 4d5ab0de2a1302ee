// SPDX-License-Identifier: MIT
// The example init scripts of packaging/init on the emulated board: busybox's
// shell and timeout, the kernel's sysfs GPIO. miner-gpio exports the lines of
// the controller it is told the label of, at whatever base the kernel gave it;
// miner-probe then runs the probe once and logs every line it prints,
// standard error included, under the tag miner-probe.
//
// The emulated board's kernel has no networking, so no unix socket for
// syslogd: a stand-in /usr/bin/logger appends "TAG: LINE" to /tmp/messages,
// as syslogd would log each line logger reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "sandbox.h"
#include "vm_run.h"

namespace {

namespace fs = std::filesystem;

// gpio-mockup's label for its first chip.
constexpr const char *MOCKUP_LABEL = "gpio-mockup-A";

// The job (arguments: the chip's label, then sysv or procd): installs the two
// scripts of that kind, starts them as an init would, waits for the probe's
// last logged line and prints the log. Then runs i2c-bitbang once (no device
// on the bus) and prints the chip's base and the exported lines' state.
const char *const JOB = R"JOB(#!/bin/sh
mkdir -p /etc/init.d /etc/default
cp /usr/bin/miner-gpio.$2 /etc/init.d/miner-gpio
cp /usr/bin/miner-probe.$2 /etc/init.d/miner-probe
if [ "$2" = sysv ]; then
  echo "GPIO_CHIP_LABEL=$1" >/etc/default/miner-gpio
  echo "PROBE=/usr/bin/miner-probe" >/etc/default/miner-probe
  /etc/init.d/miner-gpio start || echo "miner-gpio: start failed with status $?"
  /etc/init.d/miner-probe start || echo "miner-probe: start failed with status $?"
else
  cp /usr/bin/rc.common /etc/rc.common
  export SET_GPIO_CHIP_LABEL="$1" SET_PROBE=/usr/bin/miner-probe
  sh /etc/rc.common /etc/init.d/miner-gpio start || echo "miner-gpio: start failed with status $?"
  sh /etc/rc.common /etc/init.d/miner-probe start || echo "miner-probe: start failed with status $?"
fi
n=0
until case "$(cat /tmp/messages 2>/dev/null)" in *"miner-probe: exit status"*) true ;; *) false ;; esac; do
  [ $n -lt 120 ] || { echo "no exit status logged"; break; }
  sleep 1; n=$((n + 1))
done
cat /tmp/messages
echo "i2c-bitbang: $(i2c-bitbang | tail -n 1)"
for c in /sys/class/gpio/gpiochip*; do echo "chip $(cat $c/label) base $(cat $c/base)"; done
for g in /sys/class/gpio/gpio[0-9]*; do echo "line ${g##*/} $(cat $g/direction) $(cat $g/value)"; done
)JOB";

// logger [-s] -t TAG [MESSAGE], as the init scripts use it: the message, or
// each line of standard input; -s copies it to standard error.
const char *const LOGGER = R"SH(#!/bin/sh
copy=
[ "$1" = -s ] && { copy=1; shift; }
[ "$1" = -t ] || { echo "logger stand-in: want -t TAG" >&2; exit 2; }
tag=$2
shift 2
log() {
  echo "$tag: $1" >>/tmp/messages
  [ -z "$copy" ] || echo "$tag: $1" >&2
}
if [ $# -gt 0 ]; then log "$*"; else while IFS= read -r line; do log "$line"; done; fi
)SH";

// OpenWrt's /etc/rc.common for a procd script, reduced to "start": sources the
// script, applies what a board's edit of it would (SET_GPIO_CHIP_LABEL,
// SET_PROBE) and calls start_service, whose one instance's command procd
// would start once: here it starts in the background at once.
const char *const RC_COMMON = R"SH(#!/bin/sh
script=$1
. "$script"
[ -z "$SET_GPIO_CHIP_LABEL" ] || GPIO_CHIP_LABEL=$SET_GPIO_CHIP_LABEL
[ -z "$SET_PROBE" ] || PROBE=$SET_PROBE
procd_open_instance() { :; }
procd_close_instance() { :; }
procd_set_param() {
  [ "$1" = command ] || return 0
  shift
  "$@" </dev/null &
}
[ "$2" = start ] || exit 3
start_service
)SH";

// The log's lines tagged miner-probe, without syslogd's time and host.
std::vector<std::string> probe_lines(const std::string &log)
{
    std::vector<std::string> lines;
    const std::string tag = "miner-probe: ";
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        if (const size_t t = line.find(tag); t != std::string::npos)
            lines.push_back(line.substr(t + tag.size()));
        at = end + 1;
    }
    return lines;
}

bool has_line(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class InitScriptsOnTheBoard : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (sim::vm::find_image().empty())
            GTEST_SKIP() << "no board image; run vm/build-image.sh";
        job_path_ = sim::temp_directory() + "/init-scripts-job." + std::to_string(getpid());
        sim::Sandbox::write_file(job_path_, JOB);
        logger_path_ = job_path_ + ".logger";
        sim::Sandbox::write_file(logger_path_, LOGGER);
        rc_common_path_ = job_path_ + ".rc.common";
        sim::Sandbox::write_file(rc_common_path_, RC_COMMON);
    }
    void TearDown() override
    {
        if (!job_path_.empty()) {
            fs::remove(job_path_);
            fs::remove(logger_path_);
            fs::remove(rc_common_path_);
        }
    }

    // Runs the job with the scripts of `kind` ("sysv" or "procd") on a board
    // whose GPIO chip has base `gpio_base`, with the programs of
    // `programs_dir` (empty: the usual ones) and an LTC hash board.
    sim::vm::VmResult run(int gpio_base, const std::string &programs_dir = "", const std::string &kind = "sysv")
    {
        sim::vm::VmJob job;
        job.command = {"sh", "/usr/bin/init-scripts-job", MOCKUP_LABEL, kind};
        sim::HashBoardScenario board;
        board.family = sim::ChipFamily::LTC;
        job.board = board;
        job.gpio_base = gpio_base;
        job.programs_dir = programs_dir;
        job.timeout_s = 150;
        const fs::path init = fs::path(PROJECT_SOURCE_DIR) / "packaging" / "init";
        job.files = {{job_path_, "/usr/bin/init-scripts-job"},
                     {logger_path_, "/usr/bin/logger"},
                     {rc_common_path_, "/usr/bin/rc.common"}};
        for (const char *script : {"miner-gpio.", "miner-probe."})
            job.files.emplace_back((init / (script + kind)).string(), "/usr/bin/" + (script + kind));
        sim::vm::VmResult r;
        EXPECT_EQ(sim::vm::run_on_vm(job, &r), 0) << r.error;
        EXPECT_EQ(r.status, 0) << r.err;
        // What a reader of the closing note wants to see: the logged lines.
        printf("%s", r.out.c_str());
        return r;
    }

    // Checks one boot: the probe ran once after miner-gpio, found the LTC
    // board through control line `control_line`, and logged its lines.
    static void expect_probe_logged(const sim::vm::VmResult &r, int control_line)
    {
        const std::vector<std::string> lines = probe_lines(r.out);
        // Standard error comes along: busybox's cat on the missing record.
        EXPECT_TRUE(has_line(lines, "cat: can't open '/usr/bin/minerType': No such file or directory")) << r.out;
        EXPECT_TRUE(has_line(lines, "ltc miner")) << r.out;
        EXPECT_TRUE(has_line(lines, "ltc read temp sensor register 0xfe OK")) << r.out;
        EXPECT_EQ(lines.empty() ? "" : lines.back(), "exit status 0") << r.out;
        EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "LTC\n"}, {"tempSensor", "YES\n"}}));
        // miner-gpio's "high", then the probe's one low-high cycle.
        EXPECT_EQ(r.writes_to(control_line), (std::vector<std::string>{"1", "0", "1"}));
        EXPECT_NE(r.out.find("line gpio" + std::to_string(control_line) + " out 1\n"), std::string::npos) << r.out;
        // The I2C lines are found too: nothing acknowledges on the pulled-up bus.
        EXPECT_NE(r.out.find("i2c-bitbang: i2c read failed:1!\n"), std::string::npos) << r.out;
    }

private:
    std::string job_path_;
    std::string logger_path_;
    std::string rc_common_path_;
};

TEST_F(InitScriptsOnTheBoard, ProbeRunsOnceAfterTheGpioScriptAndLogsItsLines)
{
    const sim::vm::VmResult r = run(0);
    EXPECT_NE(r.out.find("chip gpio-mockup-A base 0\n"), std::string::npos) << r.out;
    expect_probe_logged(r, 27);
}

// The kernel puts the controller at base 512, as kernels since 6.2 do for a
// dynamic one; the programs are built with MINER_TOOLS_GPIO_BASE=512. Both
// kinds of script: sysv, and procd through a stand-in rc.common.
TEST_F(InitScriptsOnTheBoard, Base512ControllerWithProgramsBuiltForIt)
{
    const char *given = std::getenv("BOARD_VM_PROGRAMS_512");
    const std::string programs = given != nullptr && *given != '\0' ? given : PROJECT_SOURCE_DIR "/out/board-512";
    if (!fs::exists(programs + "/probe/miner-probe"))
        GTEST_SKIP() << "no board programs built with base 512 under " << programs;
    for (const char *kind : {"sysv", "procd"}) {
        SCOPED_TRACE(kind);
        const sim::vm::VmResult r = run(512, programs, kind);
        EXPECT_NE(r.out.find("chip gpio-mockup-A base 512\n"), std::string::npos) << r.out;
        // The I2C lines, exported by miner-gpio, left driven high by i2c-bitbang.
        for (const char *line : {"line gpio531 out 1\n", "line gpio535 out 1\n"})
            EXPECT_NE(r.out.find(line), std::string::npos) << line << " not exported:\n" << r.out;
        expect_probe_logged(r, 539);
    }
}

TEST_F(InitScriptsOnTheBoard, GpioScriptFailsLoudlyWithoutItsController)
{
    sim::vm::VmJob job;
    job.files = {{(fs::path(PROJECT_SOURCE_DIR) / "packaging/init/miner-gpio.sysv").string(), "/usr/bin/gpio-script"}};
    job.command = {"sh", "/usr/bin/gpio-script", "start"};
    sim::vm::VmResult r;
    ASSERT_EQ(sim::vm::run_on_vm(job, &r), 0) << r.error;
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("miner-gpio: no GPIO controller labelled 'set-me'"), std::string::npos) << r.err;
}

} // namespace
