// SPDX-License-Identifier: MIT
// What one i2c-bitbang transaction needs at the least, counted by running the
// shipped bus master over a line layer that only counts.
#pragma once

struct BusOperations {
    long line_writes = 0; // level and direction writes, one write() each
    long samples = 0;     // SDA samples

    // GPIO system calls of a whole run of the tool: the driver's opens, set-up
    // writes and closes, plus these operations.
    long system_calls() const;
};

BusOperations count_read_transaction();
BusOperations count_write_transaction();
