// SPDX-License-Identifier: MIT
#include "i2c_run.h"

#include <chrono>

#include "gpio_fs.h"

namespace sim {

I2cRunReport run_i2c_bitbang(GpioBoard &board, const std::string &binary, const std::vector<std::string> &args,
                             int timeout_ms, const std::vector<std::string> &launcher)
{
    I2cRunReport report;
    Sandbox sandbox;
    if (sandbox.dir().empty()) {
        report.setup_error = "cannot create a directory for the sandbox";
        return report;
    }

    // Declared after the sandbox: unmounted before its directory is removed.
    GpioFs fs(board);
    std::string why;
    if (!fs.mount(sandbox.gpio_dir(), &why)) {
        report.setup_error = "cannot mount the simulated GPIO tree: " + why;
        return report;
    }

    std::vector<std::string> argv = launcher;
    argv.push_back(binary);
    argv.insert(argv.end(), args.begin(), args.end());
    const auto start = std::chrono::steady_clock::now();
    report.run = sandbox.run(argv, timeout_ms);
    report.wall_us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    fs.unmount();
    return report;
}

} // namespace sim
