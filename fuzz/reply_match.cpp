// SPDX-License-Identifier: MIT
// Reply patterns (probe/frames.h) against arbitrary replies.
//
// Properties:
//  - a reply is recognised as at most one chip family, so identification never
//    depends on the order the families are tried in;
//  - a pattern never looks at bytes past the reply's length (the sanitizers
//    catch the read) nor past its last tested position: cutting the reply
//    right after that position changes nothing;
//  - the same holds for a pattern made from the input itself, with any
//    positions, masks and values.
// Input: the whole input is a reply for the fixed patterns; its first 25 bytes
// also describe a pattern (count, then pos/mask/value/alt per test) applied to
// the bytes after them.
#include "frames.h"
#include "fuzz_check.h"

namespace {

constexpr const ReplyPattern *FAMILY_PATTERNS[] = {&BTC_REPLY, &LTC_REPLY, &SIA_REPLY, &DASH_REPLY};
constexpr const ReplyPattern *ALL_PATTERNS[] = {&BTC_REPLY,  &LTC_REPLY,        &SIA_REPLY,
                                                &DASH_REPLY, &LTC_SENSOR_REPLY, &SIA_DASH_SENSOR_REPLY};

constexpr size_t PATTERN_HEADER = 1 + 4 * PATTERN_MAX_TESTS;

size_t tested_span(const ReplyPattern &p)
{
    size_t span = 0;
    for (int i = 0; i < p.count; ++i)
        if (static_cast<size_t>(p.tests[i].pos) + 1 > span)
            span = static_cast<size_t>(p.tests[i].pos) + 1;
    return span;
}

// Matching a reply cut after the last tested position gives the same answer.
void check_pattern(const ReplyPattern &p, const uint8_t *reply, size_t len)
{
    const bool match = reply_matches(p, reply, len);
    const size_t span = tested_span(p);
    if (len > span)
        FUZZ_CHECK(reply_matches(p, reply, span) == match);
    // A match needs every tested position present.
    if (match)
        FUZZ_CHECK(len >= span);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int families = 0;
    for (const ReplyPattern *p : FAMILY_PATTERNS)
        if (reply_matches(*p, data, size))
            ++families;
    FUZZ_CHECK(families <= 1);

    for (const ReplyPattern *p : ALL_PATTERNS)
        check_pattern(*p, data, size);

    if (size >= PATTERN_HEADER) {
        ReplyPattern p{};
        p.count = static_cast<uint8_t>(data[0] % (PATTERN_MAX_TESTS + 1));
        for (size_t i = 0; i < PATTERN_MAX_TESTS; ++i) {
            const uint8_t *t = data + 1 + 4 * i;
            p.tests[i] = ByteTest{t[0], t[1], t[2], t[3]};
        }
        check_pattern(p, data + PATTERN_HEADER, size - PATTERN_HEADER);
    }
    return 0;
}
