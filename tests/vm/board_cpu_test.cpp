// SPDX-License-Identifier: MIT
// The emulated board's CPU is the board's: a 24Kc without an FPU, under a
// kernel that does not emulate one. A soft-float program runs there; a
// hard-float one dies with SIGILL, as it would on the board, so the other
// emulated-board tests cannot pass a program that the board would kill.
#include <gtest/gtest.h>

#include <regex>

#include "vm_run.h"

namespace {

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

} // namespace
