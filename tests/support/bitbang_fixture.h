// SPDX-License-Identifier: MIT
// The run of the shipped i2c-bitbang on the simulated GPIO lines: a fresh
// board and mount namespace for each run, the waveform decoded by the
// logic-analyser tool. Needs root, /dev/fuse and sigrok-cli; skips otherwise.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gpio_fs.h"
#include "sigrok_decode.h"
#include "target_command.h"

namespace i2c_board_test {

using namespace sim;

class BitbangRun : public testing::Test {
protected:
    static constexpr int TIMEOUT_MS = 20000;

    void SetUp() override
    {
        std::string why;
        if (!Sandbox::supported(&why))
            GTEST_SKIP() << "no mount namespaces: " << why;
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no usable /dev/fuse";
        if (!sigrok_available(&why))
            GTEST_SKIP() << why;
        ASSERT_EQ(target_.error, "");
    }

    void TearDown() override { board_.reset(); }

    // A fresh board and namespace, then one run of the tool with `args`.
    RunResult run(GpioBoardOptions options, std::vector<std::string> args = {})
    {
        options.gpio_base = target_gpio_base();
        board_ = std::make_unique<GpioBoard>(std::move(options));
        const I2cRunReport report = run_i2c_bitbang(*board_, target_.program, args, TIMEOUT_MS, target_.launcher);
        EXPECT_EQ(report.setup_error, "");
        EXPECT_FALSE(report.run.timed_out);
        EXPECT_EQ(report.run.err, "") << "the tool prints only on standard output";
        return report.run;
    }

    // The run's waveform as the decoder reads it. Set I2C_BOARD_KEEP_VCD to a
    // directory to keep each run's dump there for a waveform viewer.
    I2cEvents decoded()
    {
        // Per process: test runs of other builds may run side by side.
        const std::string path = testing::TempDir() + "i2c-bitbang-bus-" + std::to_string(getpid()) + ".vcd";
        EXPECT_TRUE(Sandbox::write_file(path, board_->vcd()));
        if (const char *keep = std::getenv("I2C_BOARD_KEEP_VCD")) {
            const auto *info = testing::UnitTest::GetInstance()->current_test_info();
            std::filesystem::copy_file(path,
                                       std::string(keep) + "/" + info->name() + "-" + std::to_string(++kept_) + ".vcd",
                                       std::filesystem::copy_options::overwrite_existing);
        }
        const I2cDecode decode = decode_i2c_vcd(path);
        EXPECT_TRUE(decode.ok) << decode.error;
        last_decode_output_ = decode.output;
        return decode.events;
    }

    // The tool closed every descriptor it opened and left the bus idle.
    void expect_clean_finish()
    {
        for (GpioFile f : GPIO_FILES) {
            const GpioFileCounts c = board_->counts(f);
            EXPECT_EQ(c.closes, c.opens) << gpio_file_path(f);
        }
        EXPECT_EQ(board_->scl(), 1);
        EXPECT_EQ(board_->sda(), 1);
    }

    // The binary under test: this build's, or the one I2C_BITBANG_BIN names.
    const Target target_ = find_target({.program = Shipped::I2c});
    std::unique_ptr<GpioBoard> board_;
    std::string last_decode_output_;
    int kept_ = 0;
};

} // namespace i2c_board_test
