// SPDX-License-Identifier: MIT
// Reference checks of decimal_value() (i2c/numbers.h), shared by the sampled
// value and argument targets.
#pragma once

#include <errno.h>
#include <limits.h>
#include <string.h>

#include "fuzz_check.h"
#include "numbers.h"

// `text` is NUL-terminated. Compares decimal_value(text, strlen(text)) with
// the C library's strtol, which parses the same syntax (C locale white space,
// optional sign, decimal digits) independently, wherever the value fits an int;
// beyond that, with the value taken modulo 2^32 as documented.
inline int check_decimal_value(const char *text)
{
    const size_t len = strlen(text);
    const int value = decimal_value(text, len);

    errno = 0;
    char *end = nullptr;
    const long long reference = strtoll(text, &end, 10);
    if (errno != ERANGE && reference >= INT_MIN && reference <= INT_MAX) {
        FUZZ_CHECK(value == static_cast<int>(reference));
        return value;
    }

    // Too large for strtoll or an int: the digits' value modulo 2^32, with the
    // sign applied modulo 2^32, computed here from the digits strtoll accepted.
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    FUZZ_CHECK(end > p); // strtoll saw digits, or it would have returned 0
    uint32_t modular = 0;
    for (; p < end; ++p)
        modular = modular * 10U + static_cast<uint32_t>(*p - '0');
    if (negative)
        modular = 0U - modular;
    FUZZ_CHECK(static_cast<uint32_t>(value) == modular);
    return value;
}
