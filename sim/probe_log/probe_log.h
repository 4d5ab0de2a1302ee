// SPDX-License-Identifier: MIT
// Internal to sim/probe_log. A miner-probe log as read, line by line
// (log_reader.cpp): runs, their identification attempts and, in each, the
// frames sent and the reads after them; and what a read's bytes mean
// (verdict.cpp). explain.cpp writes the explanation from both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "detection.h"
#include "explain.h"

namespace board_sim::probe_log {

// The shell's complaint that it could not write one of the program's files.
struct ShellError {
    int line = 0;
    std::string path;
    std::string reason;
};

// A frame sent and the read after it, as logged_exchanges() lists it (without
// its verdict), with what only the explanation needs.
struct Exchange : LoggedExchange {
    const Frame *sent_frame = nullptr; // nullptr: not one of the ten
    long passes = 0;
    bool ran_out = false; // the read loop's attempt bound ended it
};

struct Attempt {
    int line = 0;
    long fd = -1;
    std::string open_failed; // the path, when the device did not open
    bool no_open_line = false;
    std::vector<Exchange> exchanges;
    const Family *family = nullptr; // from "ltc miner" and the like
    bool unknown = false;
    bool btc_sensor = false;
    size_t sensor_from = 0; // first exchange of the sensor detection
    bool sensor_ok = false;
    int sensor_lines = 0;
};

struct Run {
    int line = 0;
    std::vector<ShellError> shell_errors; // standard-error lines that stand in the run
    std::vector<std::string> content;
    bool already_done = false;
    std::string done_text;
    std::vector<Attempt> attempts;
};

// Reads the program's lines and the shell's standard-error lines of `text`;
// counts its lines in `counts` (probe_lines, other_lines, standard_error).
std::vector<Run> read_log(std::string_view text, LogExplanation *counts);

// "LTC" for the family whose lines start with "ltc".
std::string name_of(const Family &f);

// The bytes of a trace's hex; none for hex that is not a trace's.
std::vector<uint8_t> bytes_of(const std::string &hex);

// The hex of a trace, cut after its first 24 bytes.
std::string quoted(const std::string &hex);

// What the read after a frame gave, in a line or two, and how the reply
// fared against what the program's table expects after that frame.
struct Verdict {
    std::vector<std::string> lines;
    bool matched = false;
    const Family *family = nullptr; // the family whose detection pattern matched
    std::string why;                // why it did not match
};

Verdict describe_reply(const Exchange &e);

// Why the read after a sensor query took bytes of an earlier reply, or ""
// when nothing shows that it did. `detection` is the trace of the read that
// found the family: its first record is one of the chain's.
std::string out_of_step(const Exchange &e, const SensorProcedure &proc, const std::string &detection);

} // namespace board_sim::probe_log
