// SPDX-License-Identifier: MIT
// The FUSE model of sysfs GPIO against the kernel's own files: one script of
// opens, reads, writes and closes run on both, compared result by result.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "gpio_fs.h"
#include "vm_run.h"

namespace {

// Both start from the platform's state: gpio19 and gpio23 exported, inputs,
// the idle bus pulled up; nothing on the bus answers.
// The script keeps one step of the check to a line.
// clang-format off
const std::vector<std::string> kScript = {
    // What a value file reads, again at its end, after a seek and at an offset.
    "o:gpio23/value:r", "r:64", "r:64", "s:0", "r:64", "p:1:64", "p:2:64", "c",
    "o:gpio23/direction:r", "r:64", "c",
    // "out" drives the line low.
    "o:gpio23/direction:w", "w:out", "c", "o:gpio23/value:r", "r:64", "c",
    // Level writes: without a newline, with one, empty, out of range, malformed.
    "o:gpio23/value:w", "w:1", "w:1\\n", "w:0", "w:", "w:2", "c", "o:gpio23/value:r", "r:64", "c",
    "o:gpio23/value:w", "w: 1", "w:1 ", "w:abc", "w:1\\n\\n", "c",
    // Reopening reads the level afresh.
    "o:gpio23/value:w", "w:0", "c", "o:gpio23/value:r", "r:64", "c",
    // "in": the line takes its pull's level; a level write is refused.
    "o:gpio23/direction:w", "w:in", "c", "o:gpio23/value:rw", "r:64", "w:1", "w:0", "c",
    "o:gpio23/direction:r", "r:64", "c",
    // Other direction words.
    "o:gpio23/direction:w", "w:Out", "w:out ", "w:bogus", "w:high", "c", "o:gpio23/value:r", "r:64", "c",
    "o:gpio23/direction:w", "w:low", "c", "o:gpio23/value:r", "r:64", "c",
    "o:gpio23/direction:w", "w:in\\n", "c",
    // The clock line, and a line that is not exported.
    "o:gpio19/value:r", "r:64", "c", "o:gpio19/direction:w", "w:out", "c", "o:gpio19/value:r", "r:64", "c",
    "o:gpio18/value:r",
};
// clang-format on

// Results where the model differs from the kernel on purpose, by the
// operation's index in kScript, with the reason.
const std::map<size_t, std::string> kDeliberate = {};

// The results of the script's operations, one a line: "open gpio23/value r -> 0".
std::vector<std::string> results(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(" -> ") + 4));
    return lines;
}

TEST(SysfsModelAgainstKernel, SameScriptSameResults)
{
    std::string why;
    ASSERT_TRUE(sim::Sandbox::supported(&why)) << why;
    ASSERT_TRUE(sim::isolate_mounts(&why)) << why;

    sim::GpioBoardOptions options;
    options.device.present = false;
    sim::GpioBoard model(options);
    const sim::I2cRunReport host = sim::run_i2c_bitbang(
        model, SYSFS_SCRIPT_HOST,
        [] {
            std::vector<std::string> args = {"/sys/class/gpio"};
            args.insert(args.end(), kScript.begin(), kScript.end());
            return args;
        }(),
        20000);
    ASSERT_EQ(host.setup_error, "");
    ASSERT_EQ(host.run.exit_status, 0) << host.run.err;

    sim::vm::VmJob job;
    job.command = {"sysfs-script", "/sys/class/gpio"};
    job.command.insert(job.command.end(), kScript.begin(), kScript.end());
    job.files = {{SYSFS_SCRIPT_BOARD, "/usr/bin/sysfs-script"}};
    sim::vm::VmResult board;
    ASSERT_EQ(sim::vm::run_on_vm(job, &board), 0) << board.error;
    ASSERT_EQ(board.status, 0) << board.err;

    const std::vector<std::string> kernel = results(board.out);
    const std::vector<std::string> fuse = results(host.run.out);
    ASSERT_EQ(kernel.size(), kScript.size()) << board.out;
    ASSERT_EQ(fuse.size(), kScript.size()) << host.run.out;

    // The table, for the record.
    printf("| # | operation | kernel | FUSE model |\n|---|---|---|---|\n");
    for (size_t i = 0; i < kScript.size(); ++i)
        printf("| %zu | `%s` | %s | %s%s |\n", i, kScript[i].c_str(), kernel[i].c_str(), fuse[i].c_str(),
               kernel[i] == fuse[i] ? "" : " (differs)");
    for (size_t i = 0; i < kScript.size(); ++i) {
        const auto deliberate = kDeliberate.find(i);
        if (deliberate == kDeliberate.end())
            EXPECT_EQ(fuse[i], kernel[i]) << "operation " << i << ": " << kScript[i];
        else
            EXPECT_NE(fuse[i], kernel[i])
                << "operation " << i << " no longer differs (" << deliberate->second << "); drop it from kDeliberate";
    }
}

} // namespace
