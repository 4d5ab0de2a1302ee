// SPDX-License-Identifier: MIT
// The probe's protocol data and pure helpers: stored frames and their CRC-5 check,
// reply patterns, the record check and the trace format; and the compile-time
// texts of common/gpio_numbers.h, a line's number between a prefix and a
// suffix, for any base a build may be given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frames.h"
#include "gpio_numbers.h"
#include "miner_result.h"
#include "record.h"
#include "text.h"
#include "uart_link.h"

namespace {

// The bytes as the protocol documents them; the simulated board checks their
// CRC-5 with its own implementation and ignores a frame whose CRC is wrong.
TEST(Frames, StoredBytesAndCrcByteOfEveryFrame)
{
    const std::pair<const Frame *, const char *> expected[] = {
        {&BTC_DETECT_FRAME, "5405000019"},
        {&LTC_DETECT_FRAME, "5204000012"},
        {&SIA_DASH_DETECT_FRAME, "55aa520500000a"},
        {&LTC_MISC_CONFIG_FRAME, "4108001841407a7018"},
        {&LTC_SENSOR_REGISTER_FRAME, "5108001c0198fe0008"},
        {&LTC_SENSOR_QUERY_FRAME, "4204001c15"},
        {&SIA_DASH_MISC_CONFIG_FRAME, "55aa4109001c07007a6117"},
        {&SIA_DASH_MUX_CONFIG_FRAME, "55aa410900400004000009"},
        {&SIA_DASH_SENSOR_REGISTER_FRAME, "55aa410900200198fe0014"},
        {&SIA_DASH_SENSOR_QUERY_FRAME, "55aa420500201f"},
    };
    ASSERT_EQ(std::size(ALL_FRAMES), std::size(expected));
    for (const auto &[frame, bytes] : expected) {
        EXPECT_EQ(sim::hex_bytes(frame->bytes, frame->len), bytes) << frame->name;
        EXPECT_TRUE(frame_crc_ok(*frame)) << frame->name;
    }
    // The check catches a single flipped bit.
    Frame broken = BTC_DETECT_FRAME;
    broken.bytes[2] ^= 0x01;
    EXPECT_FALSE(frame_crc_ok(broken));
}

bool matches(const ReplyPattern &p, std::vector<uint8_t> reply)
{
    reply.resize(REPLY_BUF_LEN, 0);
    return reply_matches(p, reply.data(), reply.size());
}

TEST(ReplyPatterns, DetectionReplies)
{
    EXPECT_TRUE(matches(BTC_REPLY, {0x13, 0x87}));
    EXPECT_FALSE(matches(BTC_REPLY, {0x13, 0x86}));
    EXPECT_TRUE(matches(LTC_REPLY, {0x14, 0x85, 0xFF}));
    EXPECT_FALSE(matches(LTC_REPLY, {0x13, 0x87}));
    EXPECT_TRUE(matches(SIA_REPLY, {0xAA, 0x55, 0x17, 0x20}));
    EXPECT_FALSE(matches(DASH_REPLY, {0xAA, 0x55, 0x17, 0x20}));
    EXPECT_TRUE(matches(DASH_REPLY, {0xAA, 0x55, 0x17, 0x60}));
    EXPECT_FALSE(matches(SIA_REPLY, {0xAA, 0x55, 0x17, 0x99}));
    EXPECT_FALSE(matches(DASH_REPLY, {0xAA, 0x55, 0x17, 0x99}));
    // A zeroed buffer (nothing received) matches nothing.
    for (const ReplyPattern *p : {&BTC_REPLY, &LTC_REPLY, &SIA_REPLY, &DASH_REPLY})
        EXPECT_FALSE(matches(*p, {}));
    // Positions beyond the bytes given never match.
    const uint8_t two[] = {0xAA, 0x55};
    EXPECT_FALSE(reply_matches(SIA_REPLY, two, 2));
}

TEST(ReplyPatterns, SensorReplies)
{
    EXPECT_TRUE(matches(LTC_SENSOR_REPLY, {0x00, 0x98, 0xFE, 0x55}));
    EXPECT_TRUE(matches(LTC_SENSOR_REPLY, {0x3F, 0x98, 0xFE, 0x1A}));
    EXPECT_FALSE(matches(LTC_SENSOR_REPLY, {0x40, 0x98, 0xFE, 0x55}));
    EXPECT_FALSE(matches(LTC_SENSOR_REPLY, {0x80, 0x98, 0xFE, 0x55}));
    EXPECT_FALSE(matches(LTC_SENSOR_REPLY, {0x00, 0x98, 0xFE, 0x56}));
    EXPECT_FALSE(matches(LTC_SENSOR_REPLY, {}));
    EXPECT_TRUE(matches(SIA_DASH_SENSOR_REPLY, {0xAA, 0x55, 0x00, 0x98, 0xFE, 0x55}));
    EXPECT_TRUE(matches(SIA_DASH_SENSOR_REPLY, {0xAA, 0x55, 0x21, 0x98, 0xFE, 0x1A}));
    EXPECT_FALSE(matches(SIA_DASH_SENSOR_REPLY, {0xAA, 0x55, 0xC0, 0x98, 0xFE, 0x55}));
    EXPECT_FALSE(matches(SIA_DASH_SENSOR_REPLY, {0x00, 0x98, 0xFE, 0x55}));
}

bool names_family(const char *text, size_t len)
{
    char buf[RECORD_BUF_LEN] = {};
    memcpy(buf, text, len);
    return record_names_family(buf);
}

TEST(RecordCheck, FirstBytesOfTheLastPieceDecide)
{
    EXPECT_TRUE(names_family("SIA\n", 4));
    EXPECT_TRUE(names_family("BTC", 3));
    EXPECT_TRUE(names_family("LTC and more", 12));
    EXPECT_TRUE(names_family("DASH\n", 5));
    EXPECT_FALSE(names_family("DAS\n", 4));
    EXPECT_FALSE(names_family("DAS", 3));
    EXPECT_FALSE(names_family("btc\n", 4));
    EXPECT_FALSE(names_family(" BTC\n", 5));
    EXPECT_FALSE(names_family("", 0));
}

TEST(RecordCheck, OneCommandPerFamilyAndNoneForUnknown)
{
    EXPECT_STREQ(record_command(MINER_BTC), "echo \"BTC\" >> /usr/bin/minerType");
    EXPECT_STREQ(record_command(MINER_LTC), "echo \"LTC\" >> /usr/bin/minerType");
    EXPECT_STREQ(record_command(MINER_DASH), "echo \"DASH\" >> /usr/bin/minerType");
    EXPECT_STREQ(record_command(MINER_SIA), "echo \"SIA\" >> /usr/bin/minerType");
    EXPECT_EQ(record_command(MINER_UNKNOWN), nullptr);
    EXPECT_EQ(record_command(0), nullptr);
}

TEST(Trace, HexPairsOfAtMostAHundredBytes)
{
    char out[TRACE_BUF_LEN];
    const uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
    format_trace(out, bytes, 4);
    EXPECT_STREQ(out, "000fa0ff");
    format_trace(out, bytes, -1);
    EXPECT_STREQ(out, "");
    std::vector<uint8_t> many(300, 0xAB);
    format_trace(out, many.data(), 300);
    EXPECT_EQ(std::strlen(out), 200U);
}

// Each case is built at compile time; the test compares the result with the
// text a person would write.
TEST(GpioText, NumbersOfEveryWidthBetweenPrefixAndSuffix)
{
    constexpr auto zero = gpio_text<0>("gpio", "/value");
    constexpr auto nine = gpio_text<9>("gpio", "/value");
    constexpr auto ten = gpio_text<10>("gpio", "/value");
    constexpr auto control = gpio_text<512 + GPIO_DEFAULT_CONTROL_OFFSET>("echo 0 >> /sys/class/gpio/gpio", "/value");
    constexpr auto large = gpio_text<1000000>("/sys/class/gpio/gpio", "/direction");
    EXPECT_STREQ(zero.text, "gpio0/value");
    EXPECT_STREQ(nine.text, "gpio9/value");
    EXPECT_STREQ(ten.text, "gpio10/value");
    EXPECT_STREQ(control.text, "echo 0 >> /sys/class/gpio/gpio539/value");
    EXPECT_STREQ(large.text, "/sys/class/gpio/gpio1000000/direction");
    // Exactly the text and its terminator: nothing padded after it.
    EXPECT_EQ(sizeof control.text, std::string("echo 0 >> /sys/class/gpio/gpio539/value").size() + 1);
}

// Checked as the program is compiled: whole texts compared, and this build's
// lines its base plus the documented offsets.
static_assert(same_text("gpio27", "gpio27"));
static_assert(!same_text("gpio27", "gpio2"));
static_assert(!same_text("gpio2", "gpio27"));
static_assert(same_text("", ""));
static_assert(GPIO_DEFAULT_CONTROL == MINER_TOOLS_GPIO_BASE + 27);
static_assert(GPIO_ALT_CONTROL == MINER_TOOLS_GPIO_BASE + 16);
static_assert(GPIO_SCL == MINER_TOOLS_GPIO_BASE + 19);
static_assert(GPIO_SDA == MINER_TOOLS_GPIO_BASE + 23);

} // namespace
