// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "numbers.h"

namespace {

int parse(const char *text)
{
    return decimal_value(text, strlen(text));
}

TEST(DecimalValue, MatchesAtoiWithinAnIntAndWrapsBeyond)
{
    for (const char *text :
         {"0", "-1", "+7", " 42", "\t\n 5", "12abc", "abc", "", "- 5", "--5", "2147483647", "-2147483648"})
        EXPECT_EQ(parse(text), atoi(text)) << '"' << text << '"';

    EXPECT_EQ(parse("2147483648"), INT_MIN);
    EXPECT_EQ(parse("-2147483649"), INT_MAX);
    EXPECT_EQ(parse("4294967297"), 1);
    EXPECT_EQ(parse("99999999999999999999"), 1661992959); // wrapped past 2^64 too
    EXPECT_EQ(parse("-18446744073709551617"), -1);
}

TEST(DecimalValue, StopsAtLenWithoutATerminator)
{
    const char full_read[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '9'};
    EXPECT_EQ(decimal_value(full_read, 10), 1234567890);
    EXPECT_EQ(decimal_value(full_read, 0), 0);
    EXPECT_EQ(decimal_value("1\n", 2), 1);
    EXPECT_EQ(decimal_value("-", 1), 0);
}

TEST(WriteValueFromArgument, KeepsTheLowSevenBits)
{
    const struct {
        const char *arg;
        int value;
    } cases[] = {{"200", 72},
                 {"128", 0},
                 {"-1", 127},
                 {"abc", 0},
                 {" 42", 42},
                 {"12abc", 12},
                 {"99999999999999999999", 127},
                 {"-2147483649", 127},
                 {"4294967296", 0}};
    for (const auto &c : cases)
        EXPECT_EQ(write_value_from_argument(c.arg), c.value) << c.arg;
}

} // namespace
