// SPDX-License-Identifier: MIT
#include "numbers.h"

#include <string.h>

static_assert(sizeof(int) == 4, "decimal_value() documents a 32-bit int");

namespace {

// The C locale's white space, as atoi() skips it.
bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

int decimal_value(const char *text, size_t len)
{
    size_t i = 0;
    while (i < len && is_space(text[i]))
        ++i;

    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    uint64_t value = 0;
    for (; i < len && is_digit(text[i]); ++i)
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (negative)
        value = 0 - value;

    // Conversion to a signed type is modular since C++20.
    return static_cast<int>(static_cast<uint32_t>(value));
}

uint8_t write_value_from_argument(const char *arg)
{
    return static_cast<uint8_t>(decimal_value(arg, strlen(arg)) & WRITE_VALUE_MASK);
}
