// SPDX-License-Identifier: MIT
// Runs the real i2c-bitbang binary in a private mount namespace whose
// /sys/class/gpio is a simulated GPIO tree (served over FUSE by this process)
// with an I2C device on gpio19/gpio23 (plus the board's GPIO base).
#pragma once

#include <string>
#include <vector>

#include "gpio_board.h"
#include "sandbox.h"

namespace sim {

struct I2cRunReport {
    RunResult run;
    std::string setup_error; // non-empty when the run could not be set up
    long wall_us = 0;        // from spawn to exit
};

// Runs `binary` with `args` against `board`, which holds the waveform, the
// device's transcript and the file counts afterwards.
// `launcher` holds the words before the binary, e.g. an emulator.
I2cRunReport run_i2c_bitbang(GpioBoard &board, const std::string &binary, const std::vector<std::string> &args,
                             int timeout_ms, const std::vector<std::string> &launcher = {});

} // namespace sim
