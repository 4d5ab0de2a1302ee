// SPDX-License-Identifier: MIT
// Serves a GpioBoard as the sysfs GPIO class directory over FUSE, from a
// thread of the calling process:
//   <mountpoint>/gpio19/{direction,value}, <mountpoint>/gpio23/{direction,value}
// (the numbers plus the board's GPIO base)
// Files are regular, mode 0644, opened for direct I/O (no page cache), so every
// read and write reaches the board. Mount it at the sandbox's gpio_dir() for
// a program in the sandbox to see /sys/class/gpio/...
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gpio_board.h"
#include "sandbox.h"

struct fuse_session;

namespace sim {

class GpioFs {
public:
    explicit GpioFs(GpioBoard &board) : board_(board) {}
    ~GpioFs() { unmount(); }
    GpioFs(const GpioFs &) = delete;
    GpioFs &operator=(const GpioFs &) = delete;

    // Mounts on an existing directory and starts serving. Needs root (or a
    // usable fusermount3) and /dev/fuse; on failure `why` says what failed.
    bool mount(const std::string &dir, std::string *why);
    // Stops serving, detaches the mount and cuts the connection, so copies of
    // the mount left in other namespaces fail instead of hanging. Idempotent.
    void unmount();

private:
    void serve();

    GpioBoard &board_;
    fuse_session *session_ = nullptr;
    int wake_fds_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
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
