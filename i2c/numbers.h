// SPDX-License-Identifier: MIT
// Decimal text as the tool reads it: the command-line value to write and the
// level text read back from a sysfs value file.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Only the low 7 bits of the argument reach the device.
inline constexpr uint8_t WRITE_VALUE_MASK = 0x7F;

// Parses at most `len` bytes of `text` the way atoi() parses a string: leading
// white space, an optional sign, then digits up to the first byte that is not
// one; anything else gives 0. A NUL ends the text early.
// Unlike atoi() it is defined for every input: the digits are accumulated in
// 64-bit unsigned arithmetic that wraps around, the sign negates modulo 2^64,
// and the result is the low 32 bits as a two's-complement int, i.e. the signed
// value modulo 2^32. Every value that fits an int comes out as atoi() gives it;
// beyond that the result is the same on every platform ("4294967296" gives 0,
// "-2147483649" gives INT_MAX), so the masked byte to write is still defined.
int decimal_value(const char *text, size_t len);

// The byte that a write of the command-line argument `arg` sends:
// decimal_value(arg) AND WRITE_VALUE_MASK, so "200" gives 72 and "-1" 127.
uint8_t write_value_from_argument(const char *arg);
