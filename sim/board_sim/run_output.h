// SPDX-License-Identifier: MIT
// What the probe and I2C runs of board-sim share: exit codes, the "== ..."
// section lines, the program's output shown unchanged, and the fields every
// --json document starts with.
#pragma once

#include <string>

#include "command_line.h"
#include "probe_run.h"
#include "sandbox.h"
#include "vm_run.h"

namespace board_sim {

inline constexpr int EXIT_SETUP_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_TIMED_OUT = 124;
// The probe's worst path takes about 60 s (docs/timing.md); the default time-out
// is the 90 s the docs recommend, so that no path is cut short by default.
inline constexpr int DEFAULT_TIMEOUT_MS = 90000;

// "0.446 s".
std::string seconds(long us);

// "== text".
void section(const std::string &text);

// The scenario's note, as a section of its own, when it has one (text only).
void show_note(const Command &c);

// What i2c-bitbang is asked to do: "read", "write '200'", or, for other
// arguments, "run with '1' '2'".
std::string i2c_operation(const std::vector<std::string> &args);

// The program's output unchanged (unless quiet), then the section with its
// exit status. Returns board-sim's exit status for the run. `shell` says
// whether the program's standard error includes that of shell commands.
int show_run(const Command &c, const sim::RunResult &run, const char *name, long wall_us, bool shell);

// The fields every run's document starts with: version, subcommand, board,
// program, exit status, time-out, stop, wall time, the program's output, and
// the scenario, which `--scenario` reads back to replay the run.
Json run_document(const Command &c, const std::string &program, const std::vector<std::string> &args,
                  const sim::RunResult &run, long wall_us);

// Prints document_text(doc).
void print_document(const Json &doc);

// board-sim's exit status for a run that was set up.
int run_status(const sim::RunResult &run);

// `launcher`: the words before the program, e.g. an emulator; may be empty.
int run_probe(const Command &c, const std::string &program, const std::vector<std::string> &launcher);
int run_i2c(const Command &c, const std::string &program, const std::vector<std::string> &launcher);

// The same on the emulated board (--vm): `program` is copied into the
// guest's /usr/bin under its own name.
int run_probe_on_vm(const Command &c, const std::string &program);
int run_i2c_on_vm(const Command &c, const std::string &program);

// A probe run, from either board: the section naming the scenario (before
// the run, so that it shows while the run goes on), then the program's output
// and what happened on the board, as text or JSON. `vm` adds what only the
// emulated board shows (its line settings and GPIO files); null otherwise.
void announce_probe(const Command &c);
int show_probe(const Command &c, const std::string &program, const sim::ProbeRunReport &report, long wall_us,
               const sim::vm::VmResult *vm);

// The emulated board's GPIO files (and, with `serial_line`, the hash-board
// UART's settings) after the run, as sections, or as the "emulated_board"
// field of a JSON document (null for a run on the simulated board).
void show_emulated_board(const sim::vm::VmResult &vm, bool serial_line);
Json emulated_board_json(const sim::vm::VmResult *vm);

} // namespace board_sim
