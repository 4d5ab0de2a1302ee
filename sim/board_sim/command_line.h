// SPDX-License-Identifier: MIT
// The command line of board-sim: which program to run and the simulated board
// to run it against, or the log to explain. Each subcommand has one getopt_long
// option table; parsing is kept apart from running so that it can be tested
// without privileges.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "hash_board.h"

namespace board_sim {

enum class Tool { Probe, I2c, Explain };

// What a run prints: the program's output and the summary, the summary only,
// or one JSON document.
enum class Output { Text, Quiet, Json };

struct ProbeCommand {
    sim::HashBoardScenario board;  // its control_line_path is filled in by the run
    std::vector<std::string> args; // passed to miner-probe; any selects the alternate board
    bool uart_present = true;
    bool gpio_files = true;
    bool records_read_only = false;
    std::optional<std::string> miner_type;  // /usr/bin/minerType before the run
    std::optional<std::string> temp_sensor; // /usr/bin/tempSensor before the run
};

struct I2cCommand {
    sim::GpioBoardOptions board;
    std::vector<std::string> args; // passed to i2c-bitbang: none reads, one writes
    std::string vcd_path;          // empty: a temporary file, removed after the run
    std::string svg_path;          // empty: no picture
    bool decode = true;            // run the logic-analyser decoder on the waveform
};

struct ExplainCommand {
    std::string path; // empty: standard input
};

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
    ProbeCommand probe;
    I2cCommand i2c;
    ExplainCommand explain;
};

struct ParseResult {
    bool ok = false;
    Command command;
    std::string error; // one line, without the program name, when !ok
};

// `args` are the arguments after the program name.
ParseResult parse_command_line(const std::vector<std::string> &args);

// Environment variables naming the programs, overridden by --program.
extern const char *const MINER_PROBE_VARIABLE; // MINER_PROBE_BIN, as in the end-to-end tests
extern const char *const I2C_BITBANG_VARIABLE; // I2C_BITBANG_BIN

// Usage lines for errors (the subcommand's when one was given), full help, and
// "board-sim (miner-tools) 0.2.0".
std::string usage_text(std::optional<Tool> tool);
std::string help_text(std::optional<Tool> tool);
std::string version_text();
// The project's version, "0.2.0".
const char *tool_version();

// Names used on the command line for the simulated GPIO files, e.g.
// "scl-direction"; nullopt for an unknown name.
std::optional<sim::GpioFile> gpio_file_from_name(const std::string &name);
const char *gpio_file_name(sim::GpioFile file);

// "BTC", ..., "none" (any case); nullopt for anything else.
std::optional<sim::ChipFamily> chip_family_from_name(const std::string &name);
const char *chip_family_name(sim::ChipFamily family);

// The frame that asks for the family's sensor reply ("LTC sensor query"), or
// nullptr for a family without a sensor query.
const char *sensor_query_name(sim::ChipFamily family);

} // namespace board_sim
