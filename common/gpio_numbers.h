// SPDX-License-Identifier: MIT
// The global sysfs GPIO numbers the two programs use, and the texts built from
// them at compile time.
//
// A global number is the GPIO controller's base plus the line's offset on it.
// The build option MINER_TOOLS_GPIO_BASE (default 0) is that base: kernels
// that give the controller a dynamic base (512 and up since Linux 6.2) put
// pin 27 at gpio539, say. The numbers stay compile-time constants, and with
// base 0 every text is exactly the one the programs have always used.
#pragma once

#include <stddef.h>

#ifndef MINER_TOOLS_GPIO_BASE
#define MINER_TOOLS_GPIO_BASE 0
#endif

inline constexpr int GPIO_BASE = MINER_TOOLS_GPIO_BASE;
static_assert(GPIO_BASE >= 0 && GPIO_BASE <= 1000000, "MINER_TOOLS_GPIO_BASE must be a sysfs GPIO number");

// Offsets on the controller of the lines' pins.
inline constexpr int GPIO_ALT_CONTROL_OFFSET = 16;     // alternate board's hash-board control line
inline constexpr int GPIO_SCL_OFFSET = 19;             // I2C clock
inline constexpr int GPIO_SDA_OFFSET = 23;             // I2C data
inline constexpr int GPIO_DEFAULT_CONTROL_OFFSET = 27; // default board's hash-board control line

inline constexpr int GPIO_ALT_CONTROL = GPIO_BASE + GPIO_ALT_CONTROL_OFFSET;
inline constexpr int GPIO_SCL = GPIO_BASE + GPIO_SCL_OFFSET;
inline constexpr int GPIO_SDA = GPIO_BASE + GPIO_SDA_OFFSET;
inline constexpr int GPIO_DEFAULT_CONTROL = GPIO_BASE + GPIO_DEFAULT_CONTROL_OFFSET;

constexpr size_t decimal_digits(int number)
{
    size_t digits = 1;
    for (; number >= 10; number /= 10)
        ++digits;
    return digits;
}

// A terminated text of N characters, terminator included, held by value so
// that a constexpr object of it lands in read-only data.
template <size_t N>
struct FixedText {
    char text[N];
};

// `prefix`, the decimal `Number`, then `suffix`: gpio_text<27>("gpio", "/value")
// is "gpio27/value".
template <int Number, size_t P, size_t S>
constexpr FixedText<P - 1 + decimal_digits(Number) + S> gpio_text(const char (&prefix)[P], const char (&suffix)[S])
{
    static_assert(Number >= 0);
    FixedText<P - 1 + decimal_digits(Number) + S> out{};
    size_t at = 0;
    for (size_t i = 0; i + 1 < P; ++i)
        out.text[at++] = prefix[i];
    int rest = Number;
    for (size_t i = decimal_digits(Number); i-- > 0; rest /= 10)
        out.text[at + i] = static_cast<char>('0' + rest % 10);
    at += decimal_digits(Number);
    for (size_t i = 0; i < S; ++i)
        out.text[at++] = suffix[i];
    return out;
}

// True when the two terminated texts are equal; for compile-time checks.
constexpr bool same_text(const char *a, const char *b)
{
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}
