// SPDX-License-Identifier: MIT
// Everything miner-probe prints on its standard output, and the fixed counts
// of a run. The program's sources print these texts and no others; the tests'
// transcripts and board-sim's log explanation read them from here, so a text
// or a count changes in one place for all three.
//
// A *_FORMAT is a printf format and ends in its newline; a *_TEXT goes out
// through puts(), which adds the newline.
#pragma once

// Control-line cycles of a run, each followed by one identification attempt.
inline constexpr int PROBE_ATTEMPTS = 10;
// Sensor detection rounds after a family was found, and queries in each round.
inline constexpr int SENSOR_ROUNDS = 10;
inline constexpr int SENSOR_QUERIES_PER_ROUND = 10;

// ---- The record read at the start ----------------------------------------

// One piece of /usr/bin/minerType as read; it carries the record's own newline.
inline constexpr const char *RECORD_PIECE_FORMAT = "content:%s";
inline constexpr const char *ALREADY_DONE_FORMAT = "miner type probe already done, miner type is %s\n";

// ---- The serial link -------------------------------------------------------

inline constexpr const char *OPEN_FAILED_FORMAT = "open %s failed\n";
inline constexpr const char *BAD_BAUD_FORMAT = "invalid uart baud rate:%d, use default 115200\n";
inline constexpr const char *OPENED_FORMAT = "open device success %d set timeout %f\n";
// A trace: the arrow, a blank and the bytes as hex pairs.
inline constexpr const char *TRACE_FORMAT = "%s %s\n";
inline constexpr const char *SENT_ARROW = "------------>";
inline constexpr const char *RECEIVED_ARROW = "<------------";
inline constexpr const char *WRITE_FAILED_TEXT = "usb_uart_write failed";
inline constexpr const char *SELECT_ERROR_TEXT = "select error!";
inline constexpr const char *TIMED_OUT_TEXT = "usb uart read timedout";
inline constexpr const char *NOT_READABLE_FORMAT = "usb_uart_read ret=%d\n";
// One pass of the read loop: bytes asked for, bytes received so far.
inline constexpr const char *READ_PASS_FORMAT = "usb uart read exp_buf_len:%d total_len:%d\n";
// The loop ended at its attempt bound, or with every byte asked for.
inline constexpr const char *READ_BOUND_FORMAT = "usb uart read %d times\n";
inline constexpr const char *READ_FULL_FORMAT = "usb_uart_read break,read:%d\n";
inline constexpr const char *READ_TOTAL_FORMAT = "usb_uart_read total_len:%d\n";
inline constexpr const char *READ_ERROR_TEXT = "usb_uart_read error";

// ---- The identification ------------------------------------------------

// The family's prefix ("btc", "ltc", "sia", "dash") starts these lines.
inline constexpr const char *FAMILY_FORMAT = "%s miner\n";
inline constexpr const char *SETUP_STEP_FORMAT = "%s%s\n"; // the prefix, then one of the three below
inline constexpr const char *CONFIGURE_MISC_STEP = " configure misc";
inline constexpr const char *CONFIGURE_MUX_STEP = " configure mux";
inline constexpr const char *SENSOR_REGISTER_STEP = " read temp sensor register 0xfe";
inline constexpr const char *SENSOR_QUERY_FORMAT = "%s send get temp sensor register\n";
inline constexpr const char *SENSOR_OK_FORMAT = "%s read temp sensor register 0xfe OK\n";
inline constexpr const char *BTC_SENSOR_TEXT = "BTC miner should always have temp sensor";
inline constexpr const char *UNKNOWN_MINER_TEXT = "unknown miner";
