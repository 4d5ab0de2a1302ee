// SPDX-License-Identifier: MIT
// The boot scripts of both distributions on the emulated board, each run as
// its init would run it and with a PATH that holds exactly the applets of its
// distribution's default busybox (vm/stock-applets/): Buildroot's
// S15miner-gpio and S20miner-probe through an rcS loop, OpenWrt's procd
// scripts through a stand-in /etc/rc.common. The board's busybox has more
// applets (timeout among them), so a script that calls one the distribution
// lacks fails here as it would there: "timeout: not found".
//
// The lines go through busybox's real logger and syslogd over /dev/log, as on
// Buildroot. OpenWrt's logger writes to ubox's logd the same way; its default
// busybox has no syslogd, so here syslogd stands in for logd.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

#include "probe_run.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;

// gpio-mockup's label for its first chip.
constexpr const char *MOCKUP_LABEL = "gpio-mockup-A";

// The job. Arguments: the kind (buildroot or openwrt), the controller's label,
// its base, then "boot" (one boot as the init runs it) or "faults" (the
// scripts on a board set up wrong, step by step, each step's status printed).
// It prepares the board as at power-on (no line exported), installs the
// kind's scripts, starts syslogd, and prints the log at the end.
const char *const JOB = R"JOB(#!/bin/sh
kind=$1 label=$2 base=$3 what=$4
for n in 16 19 23 27; do echo $((base + n)) >/sys/class/gpio/unexport 2>/dev/null; done
mkdir -p /etc/init.d /etc/default /var /usr/sbin
ln -s /run /var/run
cp /usr/bin/miner-probe /usr/bin/i2c-bitbang /usr/sbin/
mkdir /tmp/stock-bin
lacking=
while read -r applet; do
  case "$applet" in "" | "#"*) continue ;; esac
  if [ -e "/bin/$applet" ]; then ln -s /bin/busybox "/tmp/stock-bin/$applet"; else lacking="$lacking $applet"; fi
done </usr/bin/stock-applets
echo "stock applets this board lacks:$lacking"
syslogd -n -O /tmp/messages &
n=0
until [ -S /dev/log ] || [ $n -ge 10 ]; do sleep 1; n=$((n + 1)); done

if [ "$kind" = buildroot ]; then
  cp /usr/bin/S15miner-gpio /usr/bin/S20miner-probe /etc/init.d/
  gpio_start() { PATH=/tmp/stock-bin /etc/init.d/S15miner-gpio start; echo "miner-gpio status $?"; }
  probe_start() { PATH=/tmp/stock-bin /etc/init.d/S20miner-probe start; echo "miner-probe status $?"; }
  set_gpio() { echo "$1" >>/etc/default/miner-gpio; }
  set_probe() { echo "$1" >>/etc/default/miner-probe; }
else
  cp /usr/bin/rc.common /etc/rc.common
  cp /usr/bin/miner-gpio.init /etc/init.d/miner-gpio
  cp /usr/bin/miner-probe.init /etc/init.d/miner-probe
  gpio_start() { PATH=/tmp/stock-bin /etc/init.d/miner-gpio boot; echo "miner-gpio status $?"; }
  probe_start() { PATH=/tmp/stock-bin /etc/init.d/miner-probe boot; echo "miner-probe status $?"; }
  # A board's edit of the settings at the script's top.
  set_in() { sed -i "s|^${2%%=*}=.*|$2|" "$1"; }
  set_gpio() { set_in /etc/init.d/miner-gpio "$1"; }
  set_probe() { set_in /etc/init.d/miner-probe "$1"; }
fi
chmod 0755 /etc/init.d/* /etc/rc.common 2>/dev/null
# Waits for the Nth "exit status" line of the probe in the log.
await_exit() {
  n=0
  until [ "$(grep -c 'miner-probe: exit status' /tmp/messages)" -ge "$1" ]; do
    [ $n -lt 120 ] || { echo "no exit status logged"; return 1; }
    sleep 1; n=$((n + 1))
  done
}
step() { echo "== $*"; }

if [ "$what" = boot ]; then
  set_gpio "GPIO_CHIP_LABEL=$label"
  set_probe "GPIO_BASE=$base"
  gpio_start
  probe_start
  await_exit 1
  echo "i2c-bitbang: $(i2c-bitbang | tail -n 1)"
else
  step "no label"
  gpio_start
  step "no line exported"
  probe_start
  step "a label no controller has"
  set_gpio "GPIO_CHIP_LABEL=no-such-chip"
  gpio_start
  step "read-only /usr/bin"
  set_gpio "GPIO_CHIP_LABEL=$label"
  gpio_start
  mount -t tmpfs -o ro tmpfs /usr/bin
  probe_start
  umount /usr/bin
  step "a probe past its time limit"
  set_probe "TIME_LIMIT=2"
  probe_start
  await_exit 1
  if [ "$kind" = buildroot ]; then
    step "stop while it runs"
    set_probe "TIME_LIMIT=90"
    probe_start
    sleep 1
    PATH=/tmp/stock-bin /etc/init.d/S20miner-probe stop
    echo "miner-probe stop status $?"
    await_exit 2
  fi
fi
sleep 1
echo "== log"
cat /tmp/messages
for c in /sys/class/gpio/gpiochip*; do echo "chip $(cat $c/label) base $(cat $c/base)"; done
for g in /sys/class/gpio/gpio[0-9]*; do echo "line ${g##*/} $(cat $g/direction) $(cat $g/value)"; done
)JOB";

// OpenWrt's /etc/rc.common, reduced to what a procd script needs here:
// sources the script, runs start_service for "boot" and "start" and any of
// its EXTRA_COMMANDS by name, and starts the command of each instance once in
// the background, as procd would, with nothing on its standard streams.
const char *const RC_COMMON = R"SH(#!/bin/sh
initscript=$1
action=${2:-help}
shift 2
procd_open_instance() { command=; }
procd_set_param() {
  [ "$1" = command ] || return 0
  shift
  for word in "$@"; do
    command="$command '$(printf '%s' "$word" | sed "s/'/'\\\\''/g")'"
  done
}
procd_close_instance() { eval "$command" </dev/null >/dev/null 2>&1 & }
. "$initscript"
case "$action" in
boot | start) start_service ;;
*)
  case " $EXTRA_COMMANDS " in
  *" $action "*) "$action" "$@" ;;
  *) echo "rc.common stand-in: no $action" >&2; exit 3 ;;
  esac
  ;;
esac
)SH";

// The log's lines tagged `tag`, without syslogd's time, host and priority.
std::vector<std::string> tagged_lines(const std::string &log, const std::string &tag)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (const size_t t = line.find(" " + tag + ": "); t != std::string::npos)
            lines.push_back(line.substr(t + tag.size() + 3));
    return lines;
}

// What the job printed after its "== log" line: the system log and the state.
std::string log_of(const sim::vm::VmResult &r)
{
    const size_t at = r.out.find("== log\n");
    return at == std::string::npos ? std::string() : r.out.substr(at);
}

bool has_line(const std::vector<std::string> &lines, const std::string &line)
{
    return std::ranges::find(lines, line) != lines.end();
}

class InitScriptsOnTheBoard : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        if (sim::vm::find_image().empty())
            GTEST_SKIP() << "no board image; run vm/build-image.sh";
        job_path_ = sim::temp_directory() + "/init-scripts-job." + std::to_string(getpid());
        sim::Sandbox::write_file(job_path_, JOB);
        sim::Sandbox::write_file(job_path_ + ".rc.common", RC_COMMON);
    }
    void TearDown() override
    {
        fs::remove(job_path_);
        fs::remove(job_path_ + ".rc.common");
    }

    [[nodiscard]] static std::string kind() { return GetParam(); }

    // Runs the job (`what`: "boot" or "faults") with this kind's scripts on a
    // board whose GPIO chip has base `gpio_base`, with the programs of
    // `programs_dir` (empty: the usual ones), an LTC hash board or none.
    sim::vm::VmResult run(const std::string &what, int gpio_base, bool with_board, const std::string &programs_dir = "")
    {
        sim::vm::VmJob job;
        job.command = {"sh", "/usr/bin/init-scripts-job", kind(), MOCKUP_LABEL, std::to_string(gpio_base), what};
        if (with_board)
            job.board.emplace().family = sim::ChipFamily::LTC;
        job.gpio_base = gpio_base;
        job.programs_dir = programs_dir;
        job.timeout_s = 150;
        job.files = {{job_path_, "/usr/bin/init-scripts-job"},
                     {PROJECT_SOURCE_DIR "/vm/stock-applets/" + kind(), "/usr/bin/stock-applets"}};
        const bool buildroot = kind() == "buildroot";
        for (const std::string &script : buildroot ? std::vector<std::string>{"S15miner-gpio", "S20miner-probe"}
                                                   : std::vector<std::string>{"miner-gpio.init", "miner-probe.init"})
            job.files.emplace_back(std::string(PROJECT_SOURCE_DIR "/packaging/") +
                                       (buildroot ? "buildroot/miner-tools/" : "openwrt/miner-tools/files/") + script,
                                   "/usr/bin/" + script);
        if (!buildroot)
            job.files.emplace_back(job_path_ + ".rc.common", "/usr/bin/rc.common");
        // The probe's late-reply rule, on its log among the job's.
        sim::vm::VmResult r;
        int rc = 1;
        const int runs = sim::rerun_while_late(3, [&] {
            rc = sim::vm::run_on_vm(job, &r);
            return rc == 0 && sim::count_late_replies(r.out, r.frames) > 0;
        });
        EXPECT_EQ(rc, 0) << r.error;
        if (runs > 1)
            printf("note: reran %d times: a reply missed the program's 2 ms wait\n", runs - 1);
        EXPECT_EQ(r.status, 0) << r.err;
        // What a reader of a failure wants to see: the console and the log.
        printf("%s", r.out.c_str());
        if (!r.err.empty())
            printf("standard error:\n%s", r.err.c_str());
        return r;
    }

    // Checks one boot: the probe ran once after miner-gpio, found the LTC
    // board through control line `control_line`, and logged its lines.
    static void expect_probe_logged(const sim::vm::VmResult &r, int control_line)
    {
        const std::string log = log_of(r);
        const std::vector<std::string> lines = tagged_lines(log, "miner-probe");
        EXPECT_NE(r.out.find("miner-gpio status 0\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("miner-probe status 0\n"), std::string::npos) << r.out;
        EXPECT_TRUE(tagged_lines(log, "miner-gpio").empty()) << log;
        // Standard error comes along: busybox's cat on the missing record.
        EXPECT_TRUE(has_line(lines, "cat: can't open '/usr/bin/minerType': No such file or directory")) << log;
        EXPECT_TRUE(has_line(lines, "ltc miner")) << log;
        EXPECT_TRUE(has_line(lines, "ltc read temp sensor register 0xfe OK")) << log;
        EXPECT_EQ(lines.empty() ? "" : lines.back(), "exit status 0") << log;
        EXPECT_EQ(r.records, (std::map<std::string, std::string>{{"minerType", "LTC\n"}, {"tempSensor", "YES\n"}}));
        // miner-gpio's "high", then the probe's one low-high cycle.
        EXPECT_EQ(r.writes_to(control_line), (std::vector<std::string>{"1", "0", "1"}));
        EXPECT_NE(log.find("line gpio" + std::to_string(control_line) + " out 1\n"), std::string::npos) << log;
        // The I2C lines are exported too: nothing acknowledges on the pulled-up bus.
        EXPECT_NE(r.out.find("i2c-bitbang: i2c read failed:1!\n"), std::string::npos) << r.out;
    }

private:
    std::string job_path_; // the job, and beside it the rc.common stand-in
};

TEST_P(InitScriptsOnTheBoard, ProbeRunsOnceAfterTheGpioScriptAndLogsItsLines)
{
    const sim::vm::VmResult r = run("boot", 0, true);
    EXPECT_NE(r.out.find("chip gpio-mockup-A base 0\n"), std::string::npos) << r.out;
    if (kind() == "buildroot") {
        EXPECT_NE(r.out.find("Starting miner-gpio: OK\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Starting miner-probe: OK\n"), std::string::npos) << r.out;
    }
    expect_probe_logged(r, 27);
}

// The kernel puts the controller at base 512, as kernels since 6.2 do for a
// dynamic one; the programs are built with MINER_TOOLS_GPIO_BASE=512.
TEST_P(InitScriptsOnTheBoard, Base512ControllerWithProgramsBuiltForIt)
{
    const char *given = std::getenv("BOARD_VM_PROGRAMS_512");
    const std::string programs = given != nullptr && *given != '\0' ? given : PROJECT_SOURCE_DIR "/out/board-512";
    if (!fs::exists(programs + "/probe/miner-probe"))
        GTEST_SKIP() << "no board programs built with base 512 under " << programs;
    const sim::vm::VmResult r = run("boot", 512, true, programs);
    EXPECT_NE(r.out.find("chip gpio-mockup-A base 512\n"), std::string::npos) << r.out;
    // The I2C lines, exported by miner-gpio, left driven high by i2c-bitbang.
    for (const char *line : {"line gpio531 out 1\n", "line gpio535 out 1\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " not exported:\n" << r.out;
    expect_probe_logged(r, 539);
}

// A board set up wrong, one fault after another in one boot: each script logs
// one line that says what is wrong and what to set, fails, and the boot goes
// on. The probe's watchdog stops a run past its time limit (here a silent
// board, which takes about 6 s, against a limit of 2 s).
TEST_P(InitScriptsOnTheBoard, EachFaultIsOneLoggedLineAndTheBootGoesOn)
{
    const sim::vm::VmResult r = run("faults", 0, false);
    const std::string log = log_of(r);
    const std::vector<std::string> gpio = tagged_lines(log, "miner-gpio");
    const std::vector<std::string> probe = tagged_lines(log, "miner-probe");
    const bool buildroot = kind() == "buildroot";
    const std::string gpio_settings = buildroot ? "/etc/default/miner-gpio" : "/etc/init.d/miner-gpio";
    const std::string probe_settings = buildroot ? "/etc/default/miner-probe" : "/etc/init.d/miner-probe";
    const std::string gpio_script = buildroot ? "S15miner-gpio" : "miner-gpio";

    // Whole lines: syslogd keeps only the first 256 bytes of a message.
    EXPECT_EQ(gpio, (std::vector<std::string>{"GPIO_CHIP_LABEL is not set; set it in " + gpio_settings +
                                                  " to one of: gpio-mockup-A (base 0)",
                                              "no GPIO controller labelled 'no-such-chip'; set GPIO_CHIP_LABEL in " +
                                                  gpio_settings + " to one of: gpio-mockup-A (base 0)"}))
        << log;
    EXPECT_TRUE(has_line(probe, "gpio27 (control line) is not exported: start " + gpio_script +
                                    " first, or set GPIO_BASE in " + probe_settings + "; the probe did not run"))
        << log;
    EXPECT_TRUE(has_line(probe, "/usr/bin/minerType cannot be written (read-only /usr/bin?): make it writable or "
                                "link it to a writable place; the probe did not run"))
        << log;
    EXPECT_EQ(std::count(probe.begin(), probe.end(), "stopped after 2 s"), 1) << log;
    EXPECT_EQ(std::count(probe.begin(), probe.end(), "exit status 143"), buildroot ? 2 : 1) << log;
    // A probe stopped in the middle of a cycle leaves the line high again.
    EXPECT_NE(log.find("line gpio27 out 1\n"), std::string::npos) << log;
    // Every failed start said so; the fixed one and the probe runs did not.
    for (const char *status :
         {"miner-gpio status 1\n== no line exported\n", "miner-probe status 1\n== a label no controller has\n",
          "miner-gpio status 1\n== read-only /usr/bin\n", "miner-gpio status 0\n",
          "miner-probe status 1\n== a probe past its time limit\n", "miner-probe status 0\n"})
        EXPECT_NE(r.out.find(status), std::string::npos) << status << "\n" << r.out;
    if (buildroot) {
        EXPECT_NE(r.out.find("Starting miner-gpio: FAIL\nminer-gpio: GPIO_CHIP_LABEL is not set;"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Stopping miner-probe: OK\nminer-probe stop status 0\n"), std::string::npos) << r.out;
    }
    // Nothing recorded: no board answered, and the failed starts ran nothing.
    EXPECT_TRUE(r.records.empty()) << log;
    EXPECT_EQ(r.err.find("not found"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Distribution, InitScriptsOnTheBoard, ::testing::Values("buildroot", "openwrt"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param) == "buildroot" ? "Buildroot" : "OpenWrt";
                         });

} // namespace
