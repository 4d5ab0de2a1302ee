// SPDX-License-Identifier: MIT
// The command line of board-sim (CLI11): which program to run and the
// scenario to run it against, or the log to explain; and its --help, written
// from the same options and from the scenario's key table (scenario.h).
// Parsing is kept apart from running so that it can be tested without
// privileges.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace board_sim {

// What a run prints: the program's output and the summary, the summary only,
// or one JSON document.
enum class Output { Text, Quiet, Json };

struct Command {
    Tool tool = Tool::Probe;
    std::string program;  // --program; empty: environment, then the build tree
    std::string emulator; // --emulator; empty: $TARGET_EMULATOR, then one chosen for a foreign program
    bool vm = false;      // --vm: on the emulated board (vm/board-vm), the real kernel under qemu
    // The probe's worst path takes about 60 s (docs/timing.md); the default is
    // the 90 s the docs recommend, so that no path is cut short by default.
    int timeout_ms = 90000;
    Output output = Output::Text;
    ProbeScenario probe;      // probe: every key, checked
    I2cScenario i2c;          // i2c: every key, checked
    std::string vcd_path;     // i2c: empty: a temporary file, removed after the run
    std::string svg_path;     // i2c: empty: no picture
    bool decode = true;       // i2c: run the logic-analyser decoder on the waveform
    std::string explain_path; // explain: empty: standard input
    bool as_scenario = false; // explain: print the scenario of a run instead
    std::string explain_run;  // explain: --run as given; checked against the log's runs
};

struct ParseResult {
    bool ok = false;
    Command command;
    std::string error; // for standard error when !ok: "board-sim: ..." and, for the form, where to look
    std::string text;  // for standard output when ok: --help or --version, and nothing to run
};

// `args` are the arguments after the program name.
ParseResult parse_command_line(const std::vector<std::string> &args);

} // namespace board_sim
