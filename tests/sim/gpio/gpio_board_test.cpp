// SPDX-License-Identifier: MIT
// The simulated I2C bus without FUSE: line model, device, sysfs file semantics,
// waveform and its decode. Needs no privileges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "gpio_board.h"
#include "sandbox.h"
#include "sigrok_decode.h"
#include "test_master.h"

namespace {

using namespace sim;
using i2c_board_test::BoardFileOps;
using i2c_board_test::TestMaster;

constexpr std::uint8_t WRITE_ADDRESS = 0x5E;
constexpr std::uint8_t READ_ADDRESS = 0x5F;

GpioBoardOptions with_byte(std::uint8_t byte)
{
    GpioBoardOptions o;
    o.device.byte = byte;
    return o;
}

// A board with a master already on it, the bus idle.
struct Bus {
    explicit Bus(GpioBoardOptions options = {}) : board(std::move(options)), ops(board), master(ops) { master.begin(); }
    GpioBoard board;
    BoardFileOps ops;
    TestMaster master;
};

const I2cEvents READ_0XA5 = {I2cEvent::start(), I2cEvent::address_read(0x2F),
                             I2cEvent::ack(),   I2cEvent::data_read(0xA5),
                             I2cEvent::nack(),  I2cEvent::stop()};

TEST(I2cDevice, AnswersReadsMostSignificantBitFirstAndStoresAcknowledgedWrites)
{
    Bus bus(with_byte(0xA5));
    std::uint8_t byte = 0;
    ASSERT_EQ(bus.master.read_data(WRITE_ADDRESS, &byte), 0);
    EXPECT_EQ(byte, 0xA5);
    EXPECT_EQ(bus.board.device().transcript(), READ_0XA5);
    // Idle afterwards, the device's drive released after the master's NACK.
    EXPECT_EQ(bus.board.scl(), 1);
    EXPECT_EQ(bus.board.sda(), 1);

    EXPECT_EQ(bus.master.write_data(WRITE_ADDRESS, 72), 0);
    EXPECT_EQ(bus.board.device().byte(), 72);
    EXPECT_EQ(bus.board.device().bytes_written(), std::vector<std::uint8_t>{72});
    I2cEvents expected = READ_0XA5;
    expected.insert(expected.end(), {I2cEvent::start(), I2cEvent::address_write(0x2F), I2cEvent::ack(),
                                     I2cEvent::data_write(72), I2cEvent::ack(), I2cEvent::stop()});
    EXPECT_EQ(bus.board.device().transcript(), expected);
    // The written byte is what a following read returns.
    ASSERT_EQ(bus.master.read_data(WRITE_ADDRESS, &byte), 0);
    EXPECT_EQ(byte, 72);
}

// Straight onto the board, noting the SDA level at every rising edge of SCL:
// the bits as the device samples them.
class SamplingOps : public BoardFileOps {
public:
    explicit SamplingOps(GpioBoard &board) : BoardFileOps(board), board_(board) {}
    long write(int fd, const char *data, std::size_t size) override
    {
        const int scl_before = board_.scl();
        const long n = BoardFileOps::write(fd, data, size);
        if (scl_before == 0 && board_.scl() == 1)
            sda_at_scl_rise.push_back(board_.sda());
        return n;
    }
    std::vector<int> sda_at_scl_rise;

private:
    GpioBoard &board_;
};

TEST(I2cDevice, AddressByteOnTheWire)
{
    GpioBoard board;
    SamplingOps ops(board);
    TestMaster master(ops);
    ASSERT_TRUE(master.begin());
    master.start();
    master.write_byte(WRITE_ADDRESS);
    // The idle bus's first rise, eight clocks with 0x5E's bits, then the ninth
    // with the device's ACK.
    EXPECT_EQ(ops.sda_at_scl_rise, (std::vector<int>{1, 0, 1, 0, 1, 1, 1, 1, 0, 0}));
}

TEST(I2cDevice, FaultsSeenByTheMaster)
{
    struct Case {
        const char *name;
        GpioBoardOptions options;
        int write_rc;
        int read_rc;
        int byte_read; // when read_rc is 0
    };
    GpioBoardOptions absent = with_byte(0xA5), data_nack = with_byte(0xA5), high = with_byte(0xA5),
                     low = with_byte(0xA5), other = with_byte(0xA5);
    absent.device.present = false;
    data_nack.device.ack_data = false;
    high.sda_fault = SdaFault::StuckHigh;
    low.sda_fault = SdaFault::StuckLow;
    other.device.address = 0x50;
    const Case cases[] = {
        {"absent", absent, 1, 1, 0},
        {"data not acknowledged", data_nack, 2, 0, 0xA5},
        {"SDA stuck high", high, 1, 1, 0},
        {"SDA stuck low", low, 0, 0, 0x00}, // every sample reads 0, an ACK included
        {"another address", other, 1, 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bus bus(c.options);
        EXPECT_EQ(bus.master.write_data(WRITE_ADDRESS, 72), c.write_rc);
        EXPECT_EQ(bus.board.device().byte(), 0xA5) << "a refused or unseen byte must not be stored";
        std::uint8_t byte = 0;
        EXPECT_EQ(bus.master.read_data(WRITE_ADDRESS, &byte), c.read_rc);
        if (c.read_rc == 0) {
            EXPECT_EQ(byte, c.byte_read);
        }
        if (c.options.sda_fault != SdaFault::None) {
            // SDA never moves, so no START or STOP ever reaches the device.
            EXPECT_EQ(bus.board.device().transcript(), I2cEvents{});
        }
    }
}

TEST(I2cDevice, RepeatsItsByteWhileTheMasterAcknowledges)
{
    Bus bus(with_byte(0x3C));
    bus.master.start();
    ASSERT_EQ(bus.master.write_byte(READ_ADDRESS), 0);
    EXPECT_EQ(bus.master.read_byte(/*ack=*/true), 0x3C);
    EXPECT_EQ(bus.master.read_byte(/*ack=*/false), 0x3C);
    bus.master.start(); // repeated START after the NACK
    bus.master.stop();
    EXPECT_EQ(bus.board.device().transcript(),
              (I2cEvents{I2cEvent::start(), I2cEvent::address_read(0x2F), I2cEvent::ack(), I2cEvent::data_read(0x3C),
                         I2cEvent::ack(), I2cEvent::data_read(0x3C), I2cEvent::nack(), I2cEvent::repeat_start(),
                         I2cEvent::stop()}));
}

// Levels of each wire at every time stamp of a dump.
struct Waveform {
    std::vector<std::string> names;
    std::vector<std::map<std::string, int>> steps; // one entry per time stamp
    std::vector<long> times;
};

Waveform parse_vcd(const std::string &text)
{
    Waveform w;
    std::map<std::string, std::string> name_of;
    std::map<std::string, int> levels;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("$var", 0) == 0) {
            std::istringstream v(line);
            std::string var, type, width, code, name;
            v >> var >> type >> width >> code >> name;
            name_of[code] = name;
            w.names.push_back(name);
        } else if (!line.empty() && line[0] == '#') {
            if (!w.times.empty())
                w.steps.push_back(levels);
            w.times.push_back(std::stol(line.substr(1)));
        } else if (line.size() >= 2 && (line[0] == '0' || line[0] == '1')) {
            levels[name_of[line.substr(1)]] = line[0] - '0';
        }
    }
    w.steps.push_back(levels);
    return w;
}

TEST(Waveform, OneStepPerWriteAndDeviceMovesOnlyWithClockLow)
{
    Bus bus(with_byte(0xA5));
    std::uint8_t byte = 0;
    bus.master.read_data(WRITE_ADDRESS, &byte);
    bus.master.write_data(WRITE_ADDRESS, 0x55);

    const Waveform w = parse_vcd(bus.board.vcd());
    EXPECT_EQ(w.names, (std::vector<std::string>{"scl", "sda", "sda_dir", "sda_dev"}));
    long writes = 0;
    for (GpioFile f : GPIO_FILES)
        writes += bus.board.counts(f).writes;
    ASSERT_GT(w.times.size(), 2u);
    // The last stamp is a tail after the final write's step; all stamps lie within.
    EXPECT_GT(w.times.back(), writes);
    EXPECT_LE(w.times[w.times.size() - 2], writes);
    for (std::size_t i = 1; i < w.steps.size(); ++i) {
        const auto &before = w.steps[i - 1], &now = w.steps[i];
        if (before.at("sda_dev") != now.at("sda_dev")) {
            EXPECT_EQ(now.at("scl"), 0) << "device changed SDA with SCL high at #" << w.times[i];
        }
        // Open drain: the device's pull wins; with nobody driving, the pull-up.
        if (now.at("sda_dev")) {
            EXPECT_EQ(now.at("sda"), 0) << "#" << w.times[i];
        } else if (!now.at("sda_dir")) {
            EXPECT_EQ(now.at("sda"), 1) << "#" << w.times[i];
        }
    }
}

TEST(SysfsSemantics, AttributeTextAndErrors)
{
    GpioBoard board;
    // Exported lines start as inputs: pulled up, values read "1\n".
    EXPECT_EQ(board.read(GpioFile::SdaDirection), "in\n");
    EXPECT_EQ(board.read(GpioFile::SdaValue), "1\n");
    const struct {
        GpioFile file;
        const char *text;
        int error;
        int sda; // afterwards
    } writes[] = {
        {GpioFile::SdaValue, "0", EPERM, 1},     // value of an input
        {GpioFile::SdaDirection, "out\n", 0, 0}, // "out" drives low, like the kernel
        {GpioFile::SdaValue, "1\n", 0, 1},
        {GpioFile::SdaValue, "0", 0, 0},
        {GpioFile::SdaValue, "x", EINVAL, 0},
        {GpioFile::SdaValue, "", EINVAL, 0},
        {GpioFile::SdaValue, " 1", EINVAL, 0}, // the kernel's kstrtol takes no leading blank
        {GpioFile::SdaDirection, "sideways", EINVAL, 0},
        {GpioFile::SdaDirection, "high", 0, 1},
    };
    for (const auto &w : writes) {
        SCOPED_TRACE(w.text);
        EXPECT_EQ(board.write(w.file, w.text), w.error);
        EXPECT_EQ(board.sda(), w.sda);
    }
    EXPECT_EQ(board.read(GpioFile::SdaDirection), "out\n");
    EXPECT_EQ(board.counts(GpioFile::SdaValue).failed_writes, 4);
}

TEST(Decode, ParsesAnnotationsAndSkipsTheRest)
{
    const char *text = "i2c-1: Start\n"
                       "i2c-1: 1\n"
                       "i2c-1: Read\n"
                       "i2c-1: Address read: 2F\n"
                       "i2c-1: ACK\n"
                       "i2c-1: Data read: A5\n"
                       "i2c-1: NACK\n"
                       "i2c-1: Start repeat\n"
                       "i2c-1: Write\n"
                       "i2c-1: Address write: 2F\n"
                       "i2c-1: Data write: 48\r\n"
                       "srd: some warning\n"
                       "i2c-1: Data write: zz\n"
                       "i2c-1: Stop";
    EXPECT_EQ(parse_i2c_annotations(text),
              (I2cEvents{I2cEvent::start(), I2cEvent::address_read(0x2F), I2cEvent::ack(), I2cEvent::data_read(0xA5),
                         I2cEvent::nack(), I2cEvent::repeat_start(), I2cEvent::address_write(0x2F),
                         I2cEvent::data_write(0x48), I2cEvent::stop()}));
}

TEST(Decode, RecordedTransactionsDecodeAsTheDeviceSawThem)
{
    std::string why;
    if (!sigrok_available(&why))
        GTEST_SKIP() << why;
    Bus bus(with_byte(0xA5));
    std::uint8_t byte = 0;
    bus.master.read_data(WRITE_ADDRESS, &byte);
    bus.master.write_data(WRITE_ADDRESS, 72);

    const std::string path = testing::TempDir() + "i2c_board_model-" + std::to_string(getpid()) + ".vcd";
    ASSERT_TRUE(Sandbox::write_file(path, bus.board.vcd()));
    const I2cDecode decode = decode_i2c_vcd(path);
    std::remove(path.c_str());
    ASSERT_TRUE(decode.ok) << decode.error;
    EXPECT_EQ(decode.events, bus.board.device().transcript()) << decode.output;
    EXPECT_EQ(decode.events.size(), 12u) << decode.output;
}

} // namespace
