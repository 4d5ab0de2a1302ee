// SPDX-License-Identifier: MIT
// The support code's shared text helpers: numbers and hex bytes as the
// command lines take them, hex and plurals as the summaries print them.
#include <gtest/gtest.h>

#include "target_command.h"
#include "text.h"

namespace {

TEST(Text, NumbersInRangeOnly)
{
    EXPECT_EQ(sim::parse_number("0xff", 0, 255), 255);
    EXPECT_EQ(sim::parse_number("0XFF", 0, 255), 255);
    EXPECT_EQ(sim::parse_number("010", 0, 255), 10) << "a leading zero is not octal";
    EXPECT_EQ(sim::parse_number("0", 0, 255), 0);
    for (const char *bad : {"", "-1", "+1", "12x", " 1", "1 ", "0x", "0x-1", "256", "99999999999999999999"})
        EXPECT_FALSE(sim::parse_number(bad, 0, 255)) << "'" << bad << "'";
    EXPECT_FALSE(sim::parse_number("4", 5, 9)) << "below the range";
}

TEST(Text, HexBytesWithOrWithoutSeparators)
{
    const std::vector<uint8_t> bytes{0xAA, 0x55, 0x17, 0x99};
    EXPECT_EQ(sim::parse_hex_bytes("aa551799"), bytes);
    EXPECT_EQ(sim::parse_hex_bytes("AA 55:17,99"), bytes);
    for (const char *bad : {"", " ", "a", "a 5", "zz", "aa5", "0x55"})
        EXPECT_FALSE(sim::parse_hex_bytes(bad)) << "'" << bad << "'";
    EXPECT_EQ(sim::hex_bytes(bytes), "aa551799");
    EXPECT_EQ(sim::hex_bytes(std::vector<uint8_t>{}), "");
    EXPECT_EQ(sim::parse_hex_bytes(sim::hex_bytes(bytes)), bytes);
}

TEST(Text, ByteAndPlural)
{
    EXPECT_EQ(sim::hex_byte(0x2F), "0x2F");
    EXPECT_EQ(sim::hex_byte(0), "0x00");
    EXPECT_EQ(sim::hex_byte(0x1A5), "0xA5") << "the low byte";
    EXPECT_EQ(sim::plural(1, "write", "writes"), "1 write");
    EXPECT_EQ(sim::plural(0, "write", "writes"), "0 writes");
    EXPECT_EQ(sim::plural(3, "query", "queries"), "3 queries");
}

TEST(Text, EmulatorCommandSplitsIntoWords)
{
    using Words = std::vector<std::string>;
    EXPECT_EQ(sim::command_words("/usr/bin/qemu-mips-static -cpu 24Kc"),
              (Words{"/usr/bin/qemu-mips-static", "-cpu", "24Kc"}));
    EXPECT_EQ(sim::command_words("  qemu-mips-static\t-cpu  24Kc "), (Words{"qemu-mips-static", "-cpu", "24Kc"}));
    EXPECT_EQ(sim::command_words("/usr/bin/qemu-mips-static"), (Words{"/usr/bin/qemu-mips-static"}));
    EXPECT_EQ(sim::command_words(""), Words{});
    EXPECT_EQ(sim::command_words(" \t "), Words{});
}

} // namespace
