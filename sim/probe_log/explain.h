// SPDX-License-Identifier: MIT
// `board-sim explain`: explains a miner-probe log (its standard output, from a
// real board or a simulation, possibly inside a boot log) run by run and
// attempt by attempt (docs/board-sim.md). It reads outside input: any text,
// however long, cut or garbled, gives an explanation and nothing else (the
// fuzz target fuzz/explain_log.cpp holds it to that).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace board_sim {

struct LogExplanation {
    bool probe_log = false; // at least one line of a probe run was found
    bool cut_off = false;   // the last run ends before the program would have
    int runs = 0;
    int attempts = 0;
    int probe_lines = 0;               // lines recognised as the program's
    int other_lines = 0;               // lines passed over
    bool standard_error = false;       // the shell's standard-error lines are in the log
    std::vector<std::string> families; // per run: "LTC", ... or "" when none was found
    std::vector<std::string> text;     // the explanation, one line each, indented by level
};

struct ExplainOptions {
    int run = 0; // explain only this run, counted from 1 in the log; 0: every run
    // Without positions the explanation leaves out line numbers, the
    // descriptor and the line counts, and does not number the run: two logs of
    // the same exchanges then read alike, however their reads were chunked.
    bool positions = true;
};

LogExplanation explain_log(std::string_view log, ExplainOptions options = {});

// One frame the log shows sent and the read after it, as board-sim's --json
// documents list them.
struct LoggedExchange {
    int run = 0;       // from 1, as explain_log numbers them
    int line = 0;      // of the "------------>" line, from 1
    std::string frame; // its name, "" when it is not one of the ten
    std::string sent;  // hex, as traced (at most 100 bytes)
    bool write_failed = false;
    std::string read = "none"; // "none", "timed out", "select error", "not readable" or "bytes"
    long asked = -1;           // bytes asked for, when the log shows it
    long received = -1;        // bytes received, when the log shows it
    std::string reply;         // hex, as traced
    std::string verdict;       // what the reply matched, or why it did not; "" for frames without a reply
};

std::vector<LoggedExchange> logged_exchanges(std::string_view log);

// Whether run `run_a` of log `a` and run `run_b` of log `b` show the same
// run: the same record read, frames in the same order, reply bytes, verdicts,
// attempts, sensor queries and lines appended. Only line numbers, the
// descriptor number and how the reads were chunked may differ. "" when they
// agree, else the first two lines that differ.
std::string run_difference(std::string_view a, int run_a, std::string_view b, int run_b);

} // namespace board_sim
