// SPDX-License-Identifier: MIT
// Small text helpers shared by the simulated board, board-sim, the benchmarks
// and the tests: one hex formatter, one plural, one number parser.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace sim {

// Bytes as lower-case hexadecimal digits without separators, as the probe
// traces them: {0x14, 0x85} gives "1485".
inline std::string hex_bytes(const std::uint8_t *data, std::size_t n)
{
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += "0123456789abcdef"[data[i] >> 4];
        out += "0123456789abcdef"[data[i] & 0x0F];
    }
    return out;
}

inline std::string hex_bytes(const std::vector<std::uint8_t> &bytes)
{
    return hex_bytes(bytes.data(), bytes.size());
}

// One byte as "0x2F".
inline std::string hex_byte(int byte)
{
    const unsigned b = static_cast<unsigned>(byte) & 0xFFU;
    return std::string("0x") + "0123456789ABCDEF"[b >> 4] + "0123456789ABCDEF"[b & 0x0F];
}

// "1 write", "3 writes".
inline std::string plural(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A whole number in decimal, or hexadecimal after "0x"/"0X", within
// [min, max]; nullopt for anything else (signs, spaces, trailing text).
inline std::optional<long> parse_number(std::string_view text, long min, long max)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return std::nullopt;
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

// Hexadecimal bytes, two digits each, optionally separated by spaces, colons
// or commas: "aa551799", "AA 55 17 99". nullopt for anything else or nothing.
inline std::optional<std::vector<std::uint8_t>> parse_hex_bytes(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = text.find_first_not_of(" :,"); at != std::string_view::npos;
         at = text.find_first_not_of(" :,", at + 2)) {
        const char *first = text.data() + at;
        std::uint8_t value = 0;
        const auto [end, ec] = std::from_chars(first, first + std::min<std::size_t>(2, text.size() - at), value, 16);
        if (ec != std::errc() || end != first + 2)
            return std::nullopt;
        bytes.push_back(value);
    }
    return bytes.empty() ? std::nullopt : std::optional(bytes);
}

} // namespace sim
