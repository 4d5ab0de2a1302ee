// SPDX-License-Identifier: MIT
// Command frames of the hash board's chip chain and the reply patterns they
// are matched against. Frames are stored complete; their CRC-5 is checked here
// at compile time so that a mistyped byte fails the build.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr int FRAME_MAX_LEN = 11;

struct Frame {
    const char *name;
    uint8_t len;
    uint8_t bytes[FRAME_MAX_LEN];
};

// CRC-5 with generator x^5 + x^2 + 1, initial value 0x1F, most significant bit
// first, no reflection and no final XOR.
constexpr uint8_t crc5(const uint8_t *data, size_t len)
{
    uint8_t crc = 0x1F;
    for (size_t i = 0; i < len; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((data[i] >> bit) & 1) != 0;
            const bool top = (crc & 0x10) != 0;
            crc = static_cast<uint8_t>((crc << 1) & 0x1F);
            if (in != top)
                crc ^= 0x05;
        }
    }
    return crc;
}

// Frames for the SIA and DASH chips begin with this preamble, which the CRC
// does not cover.
inline constexpr uint8_t PREAMBLE_0 = 0x55;
inline constexpr uint8_t PREAMBLE_1 = 0xAA;

constexpr bool frame_crc_ok(const Frame &f)
{
    if (f.len < 2 || f.len > FRAME_MAX_LEN)
        return false;
    const size_t skip = (f.bytes[0] == PREAMBLE_0 && f.bytes[1] == PREAMBLE_1) ? 2 : 0;
    return crc5(f.bytes + skip, f.len - 1 - skip) == f.bytes[f.len - 1];
}

inline constexpr Frame BTC_DETECT_FRAME{"BTC detection", 5, {0x54, 0x05, 0x00, 0x00, 0x19}};
inline constexpr Frame LTC_DETECT_FRAME{"LTC detection", 5, {0x52, 0x04, 0x00, 0x00, 0x12}};
inline constexpr Frame SIA_DASH_DETECT_FRAME{"SIA/DASH detection", 7, {0x55, 0xAA, 0x52, 0x05, 0x00, 0x00, 0x0A}};

inline constexpr Frame LTC_MISC_CONFIG_FRAME{
    "LTC misc configuration", 9, {0x41, 0x08, 0x00, 0x18, 0x41, 0x40, 0x7A, 0x70, 0x18}};
inline constexpr Frame LTC_SENSOR_REGISTER_FRAME{
    "LTC sensor register read", 9, {0x51, 0x08, 0x00, 0x1C, 0x01, 0x98, 0xFE, 0x00, 0x08}};
inline constexpr Frame LTC_SENSOR_QUERY_FRAME{"LTC sensor query", 5, {0x42, 0x04, 0x00, 0x1C, 0x15}};

inline constexpr Frame SIA_DASH_MISC_CONFIG_FRAME{
    "SIA/DASH misc configuration", 11, {0x55, 0xAA, 0x41, 0x09, 0x00, 0x1C, 0x07, 0x00, 0x7A, 0x61, 0x17}};
inline constexpr Frame SIA_DASH_MUX_CONFIG_FRAME{
    "SIA/DASH mux configuration", 11, {0x55, 0xAA, 0x41, 0x09, 0x00, 0x40, 0x00, 0x04, 0x00, 0x00, 0x09}};
inline constexpr Frame SIA_DASH_SENSOR_REGISTER_FRAME{
    "SIA/DASH sensor register read", 11, {0x55, 0xAA, 0x41, 0x09, 0x00, 0x20, 0x01, 0x98, 0xFE, 0x00, 0x14}};
inline constexpr Frame SIA_DASH_SENSOR_QUERY_FRAME{
    "SIA/DASH sensor query", 7, {0x55, 0xAA, 0x42, 0x05, 0x00, 0x20, 0x1F}};

inline constexpr const Frame *ALL_FRAMES[] = {
    &BTC_DETECT_FRAME,
    &LTC_DETECT_FRAME,
    &SIA_DASH_DETECT_FRAME,
    &LTC_MISC_CONFIG_FRAME,
    &LTC_SENSOR_REGISTER_FRAME,
    &LTC_SENSOR_QUERY_FRAME,
    &SIA_DASH_MISC_CONFIG_FRAME,
    &SIA_DASH_MUX_CONFIG_FRAME,
    &SIA_DASH_SENSOR_REGISTER_FRAME,
    &SIA_DASH_SENSOR_QUERY_FRAME,
};

constexpr bool all_frame_crcs_ok()
{
    for (const Frame *f : ALL_FRAMES)
        if (!frame_crc_ok(*f))
            return false;
    return true;
}
static_assert(all_frame_crcs_ok(), "a stored frame's CRC-5 byte disagrees with its contents");

// One byte test of a reply: (reply[pos] & mask) must equal `value` or `alt`.
struct ByteTest {
    uint8_t pos;
    uint8_t mask;
    uint8_t value;
    uint8_t alt;
};

inline constexpr int PATTERN_MAX_TESTS = 6;

struct ReplyPattern {
    uint8_t count;
    ByteTest tests[PATTERN_MAX_TESTS];
};

// True when every byte test of `p` holds for `reply` (`len` bytes); a reply too
// short for a tested position does not match.
constexpr bool reply_matches(const ReplyPattern &p, const uint8_t *reply, size_t len)
{
    for (int i = 0; i < p.count; ++i) {
        const ByteTest &t = p.tests[i];
        if (t.pos >= len)
            return false;
        const auto b = static_cast<uint8_t>(reply[t.pos] & t.mask);
        if (b != t.value && b != t.alt)
            return false;
    }
    return true;
}

constexpr ByteTest is(uint8_t pos, uint8_t value)
{
    return {pos, 0xFF, value, value};
}

inline constexpr ReplyPattern BTC_REPLY{2, {is(0, 0x13), is(1, 0x87)}};
inline constexpr ReplyPattern LTC_REPLY{2, {is(0, 0x14), is(1, 0x85)}};
inline constexpr ReplyPattern SIA_REPLY{4, {is(0, 0xAA), is(1, 0x55), is(2, 0x17), is(3, 0x20)}};
inline constexpr ReplyPattern DASH_REPLY{4, {is(0, 0xAA), is(1, 0x55), is(2, 0x17), is(3, 0x60)}};
// The sensor answers through the chips with register 0x98FE; its identity
// byte is 0x55 or 0x1A, and the top two status bits of the first byte are clear.
inline constexpr ReplyPattern LTC_SENSOR_REPLY{
    4, {{0, 0xC0, 0x00, 0x00}, is(1, 0x98), is(2, 0xFE), {3, 0xFF, 0x55, 0x1A}}};
inline constexpr ReplyPattern SIA_DASH_SENSOR_REPLY{
    6, {is(0, 0xAA), is(1, 0x55), {2, 0xC0, 0x00, 0x00}, is(3, 0x98), is(4, 0xFE), {5, 0xFF, 0x55, 0x1A}}};

// Lengths asked of each reply.
inline constexpr int BTC_REPLY_LEN = 42;
inline constexpr int LTC_REPLY_LEN = 42;
inline constexpr int SIA_DASH_REPLY_LEN = 54;
inline constexpr int LTC_SENSOR_REPLY_LEN = 7;
inline constexpr int SIA_DASH_SENSOR_REPLY_LEN = 9;

// Both reply buffers are this long and zeroed before every read.
inline constexpr int REPLY_BUF_LEN = 60;

constexpr bool pattern_fits(const ReplyPattern &p, int read_len)
{
    for (int i = 0; i < p.count; ++i)
        if (p.tests[i].pos >= read_len)
            return false;
    return read_len <= REPLY_BUF_LEN;
}
static_assert(pattern_fits(BTC_REPLY, BTC_REPLY_LEN));
static_assert(pattern_fits(LTC_REPLY, LTC_REPLY_LEN));
static_assert(pattern_fits(SIA_REPLY, SIA_DASH_REPLY_LEN));
static_assert(pattern_fits(DASH_REPLY, SIA_DASH_REPLY_LEN));
static_assert(pattern_fits(LTC_SENSOR_REPLY, LTC_SENSOR_REPLY_LEN));
static_assert(pattern_fits(SIA_DASH_SENSOR_REPLY, SIA_DASH_SENSOR_REPLY_LEN));
