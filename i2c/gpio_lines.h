// SPDX-License-Identifier: MIT
// The two GPIO lines of the bit-banged bus, driven through the sysfs files of
// gpio19 (SCL) and gpio23 (SDA), each plus the build's GPIO base
// (gpio_numbers.h). This file and gpio_lines.cpp are the only place that
// touches those files; the bus master works through these calls
// alone, so a test can link a fake line layer in place of gpio_lines.cpp.
#pragma once

// Descriptors of the four files, all opened write-only; -1 means closed.
// gpio_sample_sda() replaces gpio_sda_value_fd each time it samples.
extern int gpio_scl_direction_fd;
extern int gpio_sda_direction_fd;
extern int gpio_sda_value_fd;
extern int gpio_scl_value_fd;

// Results of gpio_open_lines().
inline constexpr int GPIO_OK = 0;
inline constexpr int GPIO_OPEN_FAILED = -1;

// What gpio_sample_sda() returns when it cannot reopen the SDA value file. The
// bus master passes it on unchanged in value: i2c_read_ack() gives it as an
// unsigned byte (0xFF), i2c_write_byte() as a signed one (-1), and in a byte
// read it sets its bit and every bit above it.
inline constexpr int GPIO_SAMPLE_FAILED = -1;

// Opens the SCL direction, SDA direction, SDA value and SCL value files in that
// order. At the first failure prints "Failed to open file!" and stops; the
// files already open stay open.
// Returns GPIO_OK when all four are open, GPIO_OPEN_FAILED otherwise.
int gpio_open_lines();

// Closes the SCL direction, SDA direction, SDA value and SCL value files in
// that order and marks them closed.
void gpio_close_lines();

// Level writes: "1" for a non-zero level, else "0", in one write() each.
// A failed write prints "Failed to write value 1!" or "... 0!" and is ignored.
void gpio_set_sda(int level);
void gpio_set_scl(int level);

// Direction writes: "in" or "out" in one write() each. A failed write prints
// "Failed to set direction to in!" or "... out!" and is ignored.
void gpio_sda_input();
void gpio_sda_output();
void gpio_scl_output();

// Reads SDA by reopening its value file read-only, reading it once and
// reopening it write-only for the level writes that follow.
// Returns the decimal value of the text read (0 or 1 from sysfs; 0 when the
// read fails or is empty), or GPIO_SAMPLE_FAILED when either reopen fails,
// which leaves the SDA value descriptor at -1 until a later sample succeeds.
int gpio_sample_sda();
