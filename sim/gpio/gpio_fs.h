// SPDX-License-Identifier: MIT
// Serves a GpioBoard as the sysfs GPIO class directory over FUSE, from a
// thread of the calling process:
//   <mountpoint>/gpio19/{direction,value}, <mountpoint>/gpio23/{direction,value}
// (the numbers plus the board's GPIO base)
// Files are regular, mode 0644, opened for direct I/O (no page cache), so every
// read and write reaches the board. Mount it at the sandbox's gpio_dir() for
// a program in the sandbox to see /sys/class/gpio/...
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "gpio_board.h"
#include "sandbox.h"

struct fuse_session;

namespace sim {

class GpioFs {
public:
    // Mounts on an existing directory and serves until destroyed. Needs root
    // (or a usable fusermount3) and /dev/fuse; error() says what failed.
    GpioFs(GpioBoard &board, const std::string &dir);
    // Stops serving, detaches the mount and cuts the connection, so copies of
    // the mount left in other namespaces fail instead of hanging.
    ~GpioFs();
    GpioFs(const GpioFs &) = delete;
    GpioFs &operator=(const GpioFs &) = delete;

    [[nodiscard]] const std::string &error() const { return error_; }

private:
    void serve();

    std::string error_;
    fuse_session *session_ = nullptr;
    int wake_fd_ = -1; // written to stop the serving thread
    std::thread thread_;
};

struct I2cRunReport {
    RunResult run;
    std::string setup_error; // non-empty when the run could not be set up
    long wall_us = 0;        // from spawn to exit
};

// Runs the real i2c-bitbang `binary` with `args` in a private mount namespace
// whose /sys/class/gpio is `board` served over FUSE; the board holds the
// waveform, the device's transcript and the file counts afterwards.
// `launcher` holds the words before the binary, e.g. an emulator.
I2cRunReport run_i2c_bitbang(GpioBoard &board, const std::string &binary, const std::vector<std::string> &args,
                             int timeout_ms, const std::vector<std::string> &launcher = {});

} // namespace sim
