// SPDX-License-Identifier: MIT
// The record of the chip family: /usr/bin/minerType, appended to one word and
// a newline at a time and never rewritten.
#pragma once

inline constexpr int RECORD_BUF_LEN = 20;

// Reads the record through "cat /usr/bin/minerType" in pieces of at most 19
// characters, printing each as "content:%s". Afterwards `buf` holds the last
// piece (all zeros when nothing could be read).
void read_recorded_type(char (&buf)[RECORD_BUF_LEN]);

// True when the piece begins with "LTC", "BTC" or "SIA", or with "DASH".
bool record_names_family(const char (&buf)[RECORD_BUF_LEN]);

// The shell command that appends the family's name to the record, or nullptr
// for a result that is not a family.
const char *record_command(int result);
