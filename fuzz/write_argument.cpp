// SPDX-License-Identifier: MIT
// The command-line value to write (write_value_from_argument() in
// i2c/numbers.h): any NUL-terminated argument.
//
// Properties: the byte sent is the argument's value, as strtol reads it where
// it fits an int (modulo 2^32 beyond), masked to its low 7 bits, so it never
// exceeds 0x7F.
#include <string.h>

#include "numbers_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *arg = static_cast<char *>(malloc(size + 1));
    if (arg == nullptr)
        return 0;
    memcpy(arg, data, size);
    arg[size] = '\0';

    const uint8_t byte = write_value_from_argument(arg);
    FUZZ_CHECK(byte <= WRITE_VALUE_MASK);
    FUZZ_CHECK(byte == (static_cast<unsigned>(check_decimal_value(arg)) & WRITE_VALUE_MASK));
    free(arg);
    return 0;
}
