// SPDX-License-Identifier: MIT
// Which build of a shipped program the support code runs, and under which
// emulator: the one lookup of board-sim, the end-to-end tests and
// miner-bench, so that the same tests can run another build of it (a static
// musl binary, or a MIPS one under the board's CPU).
#pragma once

#include <string>
#include <vector>

namespace sim {

enum class Shipped { Probe, I2c };

struct TargetChoice {
    Shipped program = Shipped::Probe;
    // The program: this path when not empty (board-sim's --program), else
    // $MINER_PROBE_BIN or $I2C_BITBANG_BIN when set and not empty, else the
    // one built in this tree.
    std::string path{};
    // Its emulator with options (board-sim's --emulator) when not empty, else
    // $TARGET_EMULATOR when set and not empty, else, for a program built for
    // another machine, the user-mode qemu for it: for MIPS a 24Kc, the board's
    // CPU, which has no FPU (qemu's default MIPS CPU has one, and would run a
    // hard-float program that dies on the board).
    std::string emulator{};
    // For the emulated board instead: the program is `path`, else the one in
    // $BOARD_VM_PROGRAMS (a directory or a build tree), else in the board
    // preset's out/board; it must be big-endian MIPS; no emulator.
    bool emulated_board = false;
};

struct Target {
    std::string program{};               // absolute path of an executable file
    std::vector<std::string> launcher{}; // the emulator (absolute) and its options; empty: run it as it is
    std::string error{};                 // one line saying why there is none; then the rest is empty
};

// The program and launcher of `choice`, or why there are none.
Target find_target(const TargetChoice &choice);

// The words of `text`, split at white space: an emulator command such as
// "/usr/bin/qemu-mips-static -cpu 24Kc".
std::vector<std::string> command_words(const std::string &text);

// The GPIO base the programs under test were built with (the build option
// MINER_TOOLS_GPIO_BASE): the environment variable of that name when set and
// non-empty, for another build's programs as with MINER_PROBE_BIN, else this
// build's. The simulated board names its lines with it. A value that is not a
// whole number stops the process with status 2.
int target_gpio_base();

} // namespace sim
