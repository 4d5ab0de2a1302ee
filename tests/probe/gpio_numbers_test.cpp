// SPDX-License-Identifier: MIT
// The compile-time texts of common/gpio_numbers.h: a line's number between a
// prefix and a suffix, for any base a build may be given.
#include <gtest/gtest.h>

#include <string>

#include "gpio_numbers.h"

namespace {

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

TEST(GpioText, SameTextComparesWholeTexts)
{
    static_assert(same_text("gpio27", "gpio27"));
    static_assert(!same_text("gpio27", "gpio2"));
    static_assert(!same_text("gpio2", "gpio27"));
    static_assert(same_text("", ""));
    SUCCEED();
}

TEST(GpioText, ThisBuildsLinesAreItsBasePlusTheOffsets)
{
    EXPECT_EQ(GPIO_DEFAULT_CONTROL, MINER_TOOLS_GPIO_BASE + 27);
    EXPECT_EQ(GPIO_ALT_CONTROL, MINER_TOOLS_GPIO_BASE + 16);
    EXPECT_EQ(GPIO_SCL, MINER_TOOLS_GPIO_BASE + 19);
    EXPECT_EQ(GPIO_SDA, MINER_TOOLS_GPIO_BASE + 23);
}

} // namespace
