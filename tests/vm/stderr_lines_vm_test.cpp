// SPDX-License-Identifier: MIT
// The standard-error lines docs/bring-up.md lists, as busybox words them on
// the emulated board: the probe run with its control line not exported, with
// the line an input, and with /usr/bin read-only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "sandbox.h"
#include "vm_run.h"

namespace {

namespace fs = std::filesystem;

// Each case's standard error follows a "== case" line. The probe is run from
// /tmp so that /usr/bin can be covered by a read-only mount.
const char *const JOB = R"JOB(#!/bin/sh
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
    sim::Sandbox::write_file(job_path, JOB);
    sim::vm::VmJob job;
    job.command = {"sh", "/usr/bin/stderr-lines-job"};
    job.files = {{job_path, "/usr/bin/stderr-lines-job"}};
    sim::HashBoardScenario board;
    board.family = sim::ChipFamily::BTC;
    job.board = board;
    job.timeout_s = 120;
    sim::vm::VmResult r;
    const int rc = sim::vm::run_on_vm(job, &r);
    fs::remove(job_path);
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

} // namespace
