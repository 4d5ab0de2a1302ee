// SPDX-License-Identifier: MIT
// What board-sim prints about a run. Each run builds one report, the JSON
// document that --json prints and `--scenario` replays; the text summary is
// written from that document alone, so that the two never disagree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "probe_run.h"

namespace sim::vm {
struct VmResult;
}

namespace board_sim {

inline constexpr int EXIT_SETUP_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_TIMED_OUT = 124;
// The probe's worst path takes about 60 s (docs/timing.md); the default time-out
// is the 90 s the docs recommend, so that no path is cut short by default.
inline constexpr int DEFAULT_TIMEOUT_MS = 90000;

// "== text" and the scenario's note, in text only: what shows before the
// run, while it goes on.
void announce(const Command &c, const std::string &text);

// What i2c-bitbang is asked to do: "read", "write '200'", or, for other
// arguments, "run with '1' '2'".
std::string i2c_operation(const std::vector<std::string> &args);

// The fields every report starts with: version, subcommand, board, program,
// exit status, time-out, stop, wall time, the program's output, and the
// scenario.
Json run_document(const Command &c, const std::string &program, const std::vector<std::string> &args,
                  const sim::RunResult &run, long wall_us);

// Parts of a probe report: a frame the hash board received; a control line
// (its writes, low-high cycles and the level left); a record file (before
// and after the run, null when missing, and the lines the run appended).
Json frame_json(const sim::ReceivedFrame &f);
Json control_line_json(const std::string &gpio, const std::string &written);
Json record_json(const char *path, const std::optional<std::string> &before, const std::optional<std::string> &after);

// Their text. Frames fold into one line per run of identical frames ("LTC
// sensor query x10"), or per repeated run of up to four of those ("(BTC
// detection, LTC detection, SIA/DASH detection) x10"); a frame the board
// answered reads "LTC detection, answered". A control line reads "gpio27: 0 1
// (1 low-high cycle), left high", a long history only counts. A record file
// gives its lines, those the run appended marked "+":
//   /usr/bin/minerType:
//       BTC
//     + LTC
std::vector<std::string> fold_frames(const Json &frames);
std::string describe_control_line(const Json &line);
std::vector<std::string> describe_record_file(const Json &record);
// "Start, Address read 0x2F, ACK, Data read 0xA5, NACK, Stop".
std::string join_events(const Json &events);

// The lines of `text`, without their newlines; a last line without one ends
// in `unterminated`. The first line, "?" when there is none.
std::vector<std::string> lines_of(const std::string &text, const char *unterminated = "  (no newline at the end)");
std::string first_line(const std::string &text);

// The summary after the program's output: how the run ended and what
// happened on the board, as "== " sections and "   " detail lines.
std::vector<std::string> summary_lines(const Json &report);

// The report as JSON, or as text: the program's output unchanged (unless
// quiet), then summary_lines(). Returns board-sim's exit status for the run.
int print_report(const Command &c, const Json &report);

// The runs, on the simulated board (`launcher`: the words before the
// program, e.g. an emulator; may be empty) or on the emulated one (--vm:
// `program` is copied into the guest's /usr/bin).
int run_probe(const Command &c, const std::string &program, const std::vector<std::string> &launcher);
int run_i2c(const Command &c, const std::string &program, const std::vector<std::string> &launcher);
int run_probe_on_vm(const Command &c, const std::string &program);
int run_i2c_on_vm(const Command &c, const std::string &program);

// The section naming the probe's scenario, printed before the run so that
// it shows while the run goes on.
void announce_probe(const Command &c);

// The report's "emulated_board": the hash-board UART's settings before and
// after the run, the GPIO files after it, the boots behind the result, the
// guest's console (null for the simulated board).
Json emulated_board_json(const sim::vm::EmulatedBoard &board, int runs);

} // namespace board_sim
