// SPDX-License-Identifier: MIT
// The hex trace of frames and replies (format_trace in probe/uart_link.h).
//
// Properties: for any byte count, including negative and over-long ones, the
// text is exactly 2 * min(max(n, 0), 100) lower-case hex digits that decode
// back to the first bytes, it is terminated, and nothing after the terminator
// is written.
// Input: the first byte chooses the count: with bit 7 set, minus its low seven
// bits; otherwise the number of bytes that follow it, which are the bytes traced.
#include <string.h>

#include "fuzz_check.h"
#include "uart_link.h"

namespace {

constexpr char CANARY = '#';

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t *bytes = data + 1;
    const long available = static_cast<long>(size - 1);

    // The trace reads only the first 100 bytes when it is given more.
    const long n = (mode & 0x80) != 0 ? -static_cast<long>(mode & 0x7F) : available;

    char out[TRACE_BUF_LEN];
    memset(out, CANARY, sizeof out);
    format_trace(out, bytes, n);

    const long expected = n <= 0 ? 0 : (n > TRACE_MAX_BYTES ? TRACE_MAX_BYTES : n);
    FUZZ_CHECK(out[2 * expected] == '\0');
    for (long i = 0; i < expected; ++i) {
        const int high = hex_digit(out[2 * i]);
        const int low = hex_digit(out[2 * i + 1]);
        FUZZ_CHECK(high >= 0 && low >= 0);
        FUZZ_CHECK((high << 4 | low) == bytes[i]);
    }
    for (long i = 2 * expected + 1; i < TRACE_BUF_LEN; ++i)
        FUZZ_CHECK(out[i] == CANARY);
    return 0;
}
