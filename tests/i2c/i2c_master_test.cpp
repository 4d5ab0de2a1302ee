// SPDX-License-Identifier: MIT
// The bus master over a fake line layer that records every line operation and
// serves SDA samples from a script; each test compares the recorded operations
// with the expected ones.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "gpio_lines.h"
#include "i2c_master.h"

namespace {

// SDA/SCL levels, SDA direction (1 = in) and SDA samples as served.
enum Line { SDA, SCL, SDA_DIR, SAMPLE };
struct Event {
    Line line;
    int value;
    bool operator==(const Event &) const = default;
    friend std::ostream &operator<<(std::ostream &os, const Event &e)
    {
        static const char *const names[] = {"sda", "scl", "sda_dir", "sample"};
        return os << names[e.line] << ' ' << e.value;
    }
};
using Events = std::vector<Event>;

Events recorded;
std::deque<int> samples;

} // namespace

void gpio_set_sda(int level)
{
    recorded.push_back({SDA, level ? 1 : 0});
}
void gpio_set_scl(int level)
{
    recorded.push_back({SCL, level ? 1 : 0});
}
void gpio_sda_input()
{
    recorded.push_back({SDA_DIR, 1});
}
void gpio_sda_output()
{
    recorded.push_back({SDA_DIR, 0});
}
int gpio_sample_sda()
{
    EXPECT_FALSE(samples.empty()) << "SDA sampled more often than scripted";
    const int s = samples.empty() ? 0 : samples.front();
    if (!samples.empty())
        samples.pop_front();
    recorded.push_back({SAMPLE, s});
    return s;
}

namespace {

template <typename... Lists>
Events seq(const Lists &...lists)
{
    Events all;
    (all.insert(all.end(), lists.begin(), lists.end()), ...);
    return all;
}

const Events START = {{SDA, 1}, {SCL, 1}, {SDA, 0}, {SCL, 0}};
const Events STOP = {{SDA, 0}, {SCL, 1}, {SDA, 1}};
const Events NACK = {{SDA, 1}, {SCL, 1}, {SCL, 0}};
const std::vector<int> ADDR_5E = {0, 1, 0, 1, 1, 1, 1, 0};
const std::vector<int> ADDR_5F = {0, 1, 0, 1, 1, 1, 1, 1};
const std::vector<int> DATA_48 = {0, 1, 0, 0, 1, 0, 0, 0};

// Eight clocks with SDA set to `levels`, then the acknowledge clock.
Events sent(const std::vector<int> &levels, int ack)
{
    Events e;
    for (int level : levels)
        e.insert(e.end(), {{SDA, level}, {SCL, 1}, {SCL, 0}});
    return seq(e, Events{{SDA_DIR, 1}, {SCL, 1}, {SAMPLE, ack}, {SCL, 0}, {SDA_DIR, 0}});
}

// Eight clocks sampling SDA, then the master's not-acknowledge.
Events received(const std::vector<int> &bits)
{
    Events e = {{SDA_DIR, 1}};
    for (int bit : bits)
        e.insert(e.end(), {{SCL, 1}, {SAMPLE, bit}, {SCL, 0}});
    return seq(e, Events{{SDA_DIR, 0}}, NACK);
}

class I2cMaster : public ::testing::Test {
protected:
    void SetUp() override { recorded.clear(), samples.clear(); }
    void TearDown() override { EXPECT_TRUE(samples.empty()) << "scripted samples unused"; }
};

TEST_F(I2cMaster, BusConditions)
{
    i2c_start();
    i2c_stop();
    i2c_send_nack();
    EXPECT_EQ(recorded, seq(START, STOP, NACK));
}

// The printed codes and the values scripts have seen stay as they are.
static_assert(GPIO_SAMPLE_FAILED == -1 && I2C_ACK == 0 && I2C_NACK == 1);
static_assert(I2C_OK == 0 && I2C_ADDR_NACK == 1 && I2C_DATA_NACK == 2);

constexpr int FAILED = GPIO_SAMPLE_FAILED;

TEST_F(I2cMaster, WriteByteSendsMsbFirstThenClocksTheAck)
{
    samples = {0, 1, FAILED};
    EXPECT_EQ(i2c_write_byte(0x5E), I2C_ACK);
    EXPECT_EQ(i2c_write_byte(0x5E), I2C_NACK);
    EXPECT_EQ(i2c_write_byte(0x5E), FAILED);
    EXPECT_EQ(recorded, seq(sent(ADDR_5E, 0), sent(ADDR_5E, 1), sent(ADDR_5E, FAILED)));

    samples = {FAILED};
    EXPECT_EQ(i2c_read_ack(), 0xFF);
}

TEST_F(I2cMaster, ReadByteSamplesMsbFirstAndEndsWithNack)
{
    samples = {1, 0, 1, 0, 0, 1, 0, 1};
    EXPECT_EQ(i2c_read_byte(), 0xA5);
    EXPECT_EQ(recorded, received({1, 0, 1, 0, 0, 1, 0, 1}));

    samples = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(i2c_read_byte(), 0xFF);
    samples = {0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(i2c_read_byte(), 0x00);
}

TEST_F(I2cMaster, FailedSampleSetsItsBitAndEveryBitAbove)
{
    samples = {0, 0, 0, FAILED, 0, 0, 0, 1}; // bit 4 fails
    EXPECT_EQ(i2c_read_byte(), 0xF1);
    samples = {FAILED, 0, 0, 0, 0, 0, 0, 0}; // bit 7 fails
    EXPECT_EQ(i2c_read_byte(), 0x80);
}

TEST_F(I2cMaster, FailedAcknowledgeSampleCountsAsRefused)
{
    const uint8_t data = 0x48;
    uint8_t out = 0xA7;
    samples = {FAILED};
    EXPECT_EQ(i2c_write_data(I2C_DEVICE_ADDR, &data), I2C_ADDR_NACK);
    samples = {0, FAILED};
    EXPECT_EQ(i2c_write_data(I2C_DEVICE_ADDR, &data), I2C_DATA_NACK);
    samples = {FAILED};
    EXPECT_EQ(i2c_read_data(I2C_DEVICE_ADDR, &out), I2C_ADDR_NACK);
    EXPECT_EQ(out, 0xA7);
}

TEST_F(I2cMaster, WriteDataReportsWhichByteWasNotAcknowledged)
{
    const uint8_t data = 0x48;
    samples = {0, 0};
    EXPECT_EQ(i2c_write_data(I2C_DEVICE_ADDR, &data), 0);
    EXPECT_EQ(recorded, seq(START, sent(ADDR_5E, 0), sent(DATA_48, 0), STOP));

    recorded.clear(), samples = {1};
    EXPECT_EQ(i2c_write_data(I2C_DEVICE_ADDR, &data), 1);
    EXPECT_EQ(recorded, seq(START, sent(ADDR_5E, 1), STOP));

    recorded.clear(), samples = {0, 1};
    EXPECT_EQ(i2c_write_data(I2C_DEVICE_ADDR, &data), 2);
    EXPECT_EQ(recorded, seq(START, sent(ADDR_5E, 0), sent(DATA_48, 1), STOP));
}

TEST_F(I2cMaster, ReadDataUsesTheReadFormOfTheAddress)
{
    uint8_t out = 0xA7;
    samples = {1}; // SDA held high already fails the address acknowledge
    EXPECT_EQ(i2c_read_data(I2C_DEVICE_ADDR, &out), 1);
    EXPECT_EQ(out, 0xA7);
    EXPECT_EQ(recorded, seq(START, sent(ADDR_5F, 1), STOP));

    recorded.clear(), samples = {0, 0, 0, 1, 1, 0, 0, 1, 0};
    EXPECT_EQ(i2c_read_data(I2C_DEVICE_ADDR, &out), 0);
    EXPECT_EQ(out, 0x32);
    EXPECT_EQ(recorded, seq(START, sent(ADDR_5F, 0), received({0, 0, 1, 1, 0, 0, 1, 0}), STOP));
}

} // namespace
