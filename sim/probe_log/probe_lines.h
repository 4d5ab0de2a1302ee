// SPDX-License-Identifier: MIT
// A miner-probe log line by line: which of the program's messages
// (probe/messages.h) each line is, and the values printed in it. The one
// reader of the program's lines: board-sim's explain, the late-reply count,
// the tests and the benchmarks all read the log through it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace board_sim {

// One kind per message the program prints, in the order of messages.h.
// clang-format off
enum class Said {
    Other, // not one of the program's lines
    RecordPiece, AlreadyDone,
    OpenFailed, BadBaud, Opened, Sent, Received, WriteFailed, SelectError, TimedOut, NotReadable,
    ReadPass, ReadBound, ReadFull, ReadTotal, ReadError,
    Family, ConfigureMisc, ConfigureMux, SensorRegister, SensorQuery, SensorOk, BtcSensor, UnknownMiner,
};
// clang-format on

struct ProbeLine {
    int line = 0; // from 1
    Said said = Said::Other;
    std::string_view whole; // the line in the log, without its newline
    std::string text;       // the %s: a record, a path, a trace's hex digits, a family's prefix
    long n = 0;             // the first %d
    long m = 0;             // the second
};

// Every line of `log` (each `whole` points into it); the program's are found
// at a line's start or after a prefix (a time stamp, a syslog tag).
std::vector<ProbeLine> probe_lines(std::string_view log);

int count(const std::vector<ProbeLine> &lines, Said said);

} // namespace board_sim
