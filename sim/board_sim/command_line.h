// SPDX-License-Identifier: MIT
// The command line of board-sim (CLI11): which program to run and the
// scenario to run it against, or the log to explain. --help is written from
// the same options and from the scenario's key table (scenario.h). Parsing is
// kept apart from running so that it can be tested without privileges.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace board_sim {

// What a run prints: the program's output and the summary, the summary only,
// or one JSON document.
enum class Output { Text, Quiet, Json };

struct Command {
    Tool tool = Tool::Probe;
    bool tool_given = false;
    bool help = false;    // print the help of `tool` (or the general help when !tool_given)
    bool version = false; // print the version
    std::string program;  // --program; empty: environment, then the build tree
    std::string emulator; // --emulator; empty: $TARGET_EMULATOR, then one chosen for a foreign program
    bool vm = false;      // --vm: on the emulated board (vm/board-vm), the real kernel under qemu
    int timeout_ms = 0;   // 0: the default
    Output output = Output::Text;
    ProbeScenario probe;      // probe: every key, checked
    I2cScenario i2c;          // i2c: every key, checked
    std::string vcd_path;     // i2c: empty: a temporary file, removed after the run
    std::string svg_path;     // i2c: empty: no picture
    bool decode = true;       // i2c: run the logic-analyser decoder on the waveform
    std::string explain_path; // explain: empty: standard input
};

struct ParseResult {
    bool ok = false;
    Command command;
    std::string error;  // one line, without the program name, when !ok
    bool usage = false; // the error is about the command line's form: point at --help
};

// `args` are the arguments after the program name.
ParseResult parse_command_line(const std::vector<std::string> &args);

// Environment variables naming the programs, overridden by --program.
extern const char *const MINER_PROBE_VARIABLE; // MINER_PROBE_BIN, as in the end-to-end tests
extern const char *const I2C_BITBANG_VARIABLE; // I2C_BITBANG_BIN

// A subcommand's options of one group ("Scenario", "Shorthands", "Run"), for
// --help: "-f, --scenario FILE" and what it does.
struct OptionRow {
    std::string names, help;
};
std::vector<OptionRow> option_rows(Tool tool, const std::string &group);

// "Try 'board-sim probe --help'..." after an error; the full help; and
// "board-sim (miner-tools) 0.2.0".
std::string try_help_text(std::optional<Tool> tool);
std::string help_text(std::optional<Tool> tool);
std::string version_text();
// The project's version, "0.2.0".
const char *tool_version();

} // namespace board_sim
