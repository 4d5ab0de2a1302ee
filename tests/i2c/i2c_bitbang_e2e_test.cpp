// SPDX-License-Identifier: MIT
// The shipped i2c-bitbang run unmodified in a private mount namespace whose
// /sys/class/gpio is the simulated tree. Each run's waveform is also decoded by
// the logic-analyser tool and compared with the transaction asked for.
// Needs root, /dev/fuse and sigrok-cli; skips otherwise.
#include <gtest/gtest.h>

#include "bitbang_fixture.h"

namespace {

using namespace sim;
using i2c_board_test::BitbangRun;

constexpr int DEVICE = 0x2F;

const I2cEvents NOTHING_ON_THE_BUS = {};

I2cEvents read_transaction(int byte)
{
    return {I2cEvent::start(), I2cEvent::address_read(DEVICE),
            I2cEvent::ack(),   I2cEvent::data_read(byte),
            I2cEvent::nack(),  I2cEvent::stop()};
}

I2cEvents write_transaction(int byte)
{
    return {I2cEvent::start(), I2cEvent::address_write(DEVICE),
            I2cEvent::ack(),   I2cEvent::data_write(byte),
            I2cEvent::ack(),   I2cEvent::stop()};
}

GpioBoardOptions holding(std::uint8_t byte)
{
    GpioBoardOptions o;
    o.device.byte = byte;
    return o;
}

TEST_F(BitbangRun, ReadsTheDeviceByte)
{
    const RunResult r = run(holding(0xA5));
    EXPECT_EQ(r.out, "i2c read data=165!\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(decoded(), read_transaction(0xA5)) << last_decode_output_;
    EXPECT_EQ(board_->device().transcript(), read_transaction(0xA5));
    EXPECT_TRUE(board_->device().bytes_written().empty());
    expect_clean_finish();
}

TEST_F(BitbangRun, WritesTheLowSevenBitsOfItsArgument)
{
    const struct {
        const char *arg;
        int written;
    } cases[] = {{"200", 72}, {"128", 0}, {"-1", 127}, {"abc", 0}, {"5", 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        const RunResult r = run(holding(0xA5), {c.arg, "ignored"});
        EXPECT_EQ(r.out, "i2c write OK!written data is " + std::to_string(c.written) + "\n");
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(board_->device().byte(), c.written);
        EXPECT_EQ(board_->device().bytes_written(), std::vector<std::uint8_t>{static_cast<std::uint8_t>(c.written)});
        EXPECT_EQ(decoded(), write_transaction(c.written)) << last_decode_output_;
        expect_clean_finish();
    }
}

TEST_F(BitbangRun, BusFaultsAreReportedWithTheirCode)
{
    GpioBoardOptions absent = holding(0xA5), refusing = holding(0xA5), high = holding(0xA5), low = holding(0xA5);
    absent.device.present = false;
    refusing.device.ack_data = false;
    high.sda_fault = SdaFault::StuckHigh;
    low.sda_fault = SdaFault::StuckLow;
    const struct {
        const char *name;
        GpioBoardOptions options;
        std::vector<std::string> args;
        std::string out;
        I2cEvents decoded;
    } cases[] = {
        {"absent, read",
         absent,
         {},
         "i2c read failed:1!\n",
         {I2cEvent::start(), I2cEvent::address_read(DEVICE), I2cEvent::nack(), I2cEvent::stop()}},
        {"absent, write",
         absent,
         {"7"},
         "i2c write failed:1!",
         {I2cEvent::start(), I2cEvent::address_write(DEVICE), I2cEvent::nack(), I2cEvent::stop()}},
        {"data byte refused",
         refusing,
         {"200"},
         "i2c write failed:2!",
         {I2cEvent::start(), I2cEvent::address_write(DEVICE), I2cEvent::ack(), I2cEvent::data_write(72),
          I2cEvent::nack(), I2cEvent::stop()}},
        {"SDA stuck high: no START can be made", high, {}, "i2c read failed:1!\n", NOTHING_ON_THE_BUS},
        // Every sample reads 0: the address looks acknowledged and the byte is 0.
        {"SDA stuck low", low, {}, "i2c read data=0!\n", NOTHING_ON_THE_BUS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = run(c.options, c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(board_->device().byte(), 0xA5) << "a refused byte is not stored";
        EXPECT_EQ(decoded(), c.decoded) << last_decode_output_;
        if (c.options.sda_fault == SdaFault::None)
            expect_clean_finish();
    }
}

TEST_F(BitbangRun, MissingGpioFileStopsBeforeTheBus)
{
    for (GpioFile missing : GPIO_FILES) {
        SCOPED_TRACE(gpio_file_path(missing));
        GpioBoardOptions o = holding(0xA5);
        o.missing_files = {missing};
        for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"200"}}) {
            const RunResult r = run(o, args);
            EXPECT_EQ(r.out, "Failed to open file!\n");
            EXPECT_EQ(r.exit_status, 255);
            for (GpioFile f : GPIO_FILES)
                EXPECT_EQ(board_->counts(f).writes, 0) << "nothing may be written once an open failed";
            EXPECT_EQ(decoded(), NOTHING_ON_THE_BUS) << last_decode_output_;
        }
    }
}

TEST_F(BitbangRun, FailedSampleReopenRecoversAtTheNextSample)
{
    // Opens of gpio23/value: 1 at start, then two per sample (read-only, then
    // write-only again). The 7th is the write-only reopen after sampling data
    // bit 6, so that sample counts as -1, setting bits 7 and 6 of the result;
    // the bit 5 sample opens the file again and the rest reads true.
    GpioBoardOptions o = holding(0xA5);
    o.open_failures = {{GpioFile::SdaValue, 7, EIO}};
    const RunResult r = run(o);
    EXPECT_EQ(r.out, "Failed to open file!\ni2c read data=229!\n"); // 0xA5 | 0xC0
    EXPECT_EQ(r.exit_status, 0);
    const GpioFileCounts c = board_->counts(GpioFile::SdaValue);
    EXPECT_EQ(c.failed_opens, 1);
    EXPECT_EQ(c.opens, 1 + 2 * 9 - 1) << "every later sample reopened the file";
    // The wires carried the device's true byte; only the tool's view was hurt.
    EXPECT_EQ(decoded(), read_transaction(0xA5)) << last_decode_output_;
    expect_clean_finish();
}

TEST_F(BitbangRun, FailingClockWritesAreReportedAndTheToolCarriesOn)
{
    // Every write to gpio19/value fails with EIO: SCL never leaves the low
    // level "out" gave it, so the device never sees a clock and the address
    // goes unacknowledged. Each failed write is reported, none stops the tool.
    GpioBoardOptions o = holding(0xA5);
    o.failing_writes = {GpioFile::SclValue};
    const RunResult r = run(o);
    std::string expected = "Failed to write value 1!\n"; // idle bus
    // START, eight address bits and the acknowledge clock: a high and a low each.
    for (int clock = 0; clock < 1 + 8 + 1; ++clock)
        expected += "Failed to write value 1!\nFailed to write value 0!\n";
    expected += "Failed to write value 1!\n"; // STOP
    EXPECT_EQ(r.out, expected + "i2c read failed:1!\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(decoded(), NOTHING_ON_THE_BUS) << last_decode_output_;
    EXPECT_EQ(board_->counts(GpioFile::SclValue).failed_writes, 1 + 2 * 10 + 1);
}

} // namespace
