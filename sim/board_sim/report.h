// SPDX-License-Identifier: MIT
// What board-sim does with a command line that asks for a run, and what it
// prints about it. Each run builds one report, the JSON document that --json
// prints and `--scenario` replays; the text summary is written from that
// document alone, so that the two never disagree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "probe_run.h"

namespace board_sim {

inline constexpr int EXIT_SETUP_FAILED = 1;

// The runs, on the simulated board (`launcher`: the words before the
// program, e.g. an emulator; may be empty) or on the emulated one (--vm:
// `program` is copied into the guest's /usr/bin). Each prints its report, or
// board-sim's error, and returns board-sim's exit status.
int run_probe(const Command &c, const std::string &program, const std::vector<std::string> &launcher);
int run_i2c(const Command &c, const std::string &program, const std::vector<std::string> &launcher);

// Parts of a probe report: a frame the hash board received; a control line
// (its writes, low-high cycles and the level left); a record file (before
// and after the run, null when missing, and the lines the run appended).
Json frame_json(const sim::ReceivedFrame &f);
Json control_line_json(const std::string &gpio, const std::string &written);
Json record_json(const char *path, const std::optional<std::string> &before, const std::optional<std::string> &after);

// The first line of `text`, "?" when there is none.
std::string first_line(const std::string &text);

// The summary after the program's output: how the run ended and what
// happened on the board, as "== " sections and "   " detail lines.
std::vector<std::string> summary_lines(const Json &report);
// Its parts. Frames fold into one line per run of identical frames ("LTC
// sensor query x10"), or per repeated run of up to four of those ("(BTC
// detection, LTC detection, SIA/DASH detection) x10"). A control line reads
// "gpio27: 0 1 (1 low-high cycle), left high", a long history only counts.
// A record file gives its lines, those the run appended marked "+".
std::vector<std::string> fold_frames(const Json &frames);
std::string describe_control_line(const Json &line);
std::vector<std::string> describe_record_file(const Json &record);

// The report as JSON, or as text: the program's output unchanged (unless
// quiet), then summary_lines(). Returns board-sim's exit status for the run.
int print_report(const Command &c, const Json &report);

} // namespace board_sim
