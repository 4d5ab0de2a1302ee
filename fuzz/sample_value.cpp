// SPDX-License-Identifier: MIT
// The level text read back from the SDA value file (decimal_value() over the
// bytes read, in i2c/gpio_lines.cpp): any bytes a file could return, with no
// terminator.
//
// Properties: no byte past the given length is read (the sanitizers catch
// it); a NUL ends the text early; the value is the one strtol gives whenever
// that fits an int, else the documented value modulo 2^32.
#include <string.h>

#include "numbers_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const int value = decimal_value(text, size);

    // The same text cut at its first NUL, terminated, for the reference.
    const void *nul = memchr(data, 0, size);
    const size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy == nullptr)
        return 0;
    memcpy(copy, data, len);
    copy[len] = '\0';
    FUZZ_CHECK(check_decimal_value(copy) == value);
    free(copy);
    return 0;
}
