// SPDX-License-Identifier: MIT
// What board-sim prints after a program's own output: the frames the hash
// board received, the control line, the record files and the I2C bus, each in
// a few lines a person can read at a glance.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hash_board.h"
#include "i2c_events.h"

namespace board_sim {

// One line per frame, or per run of identical frames ("LTC sensor query x10"),
// or per repeated run of up to four of those
// ("(BTC detection, LTC detection, SIA/DASH detection) x10"). A frame the board
// answered reads "LTC detection, answered".
std::vector<std::string> fold_frames(const std::vector<sim::ReceivedFrame> &frames);

// The lines of `text`, without their newlines; a last line without one ends
// in `unterminated`.
std::vector<std::string> lines_of(const std::string &text, const char *unterminated = "  (no newline at the end)");

// "gpio27: 0 1 (1 low-high cycle), left high"; long histories give only counts.
std::string describe_control_line(const std::string &gpio, const std::string &written);

// The file's lines after the run, those appended by the run marked "+":
//   /usr/bin/minerType:
//       BTC
//     + LTC
// `before` is nullopt when the file did not exist before the run, `after` when
// it does not exist after it.
std::vector<std::string> describe_record_file(const std::string &path, const std::optional<std::string> &before,
                                              const std::optional<std::string> &after);

// "Start, Address read 0x2F, ACK, Data read 0xA5, NACK, Stop".
std::string join_events(const sim::I2cEvents &events);

} // namespace board_sim
