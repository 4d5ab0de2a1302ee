// SPDX-License-Identifier: MIT
// The serial link to the hash board's chip chain. This file and uart_link.cpp
// are the only place that touches the UART descriptor or its termios settings.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Descriptor of the open serial device; -1 while the link is closed.
extern int uart_fd;

// Traces cover at most this many bytes of a frame or reply.
inline constexpr int TRACE_MAX_BYTES = 100;
inline constexpr int TRACE_BUF_LEN = 2 * TRACE_MAX_BYTES + 1;

// Opens `path` as a raw 115200 8N1 line with VMIN 0 and VTIME `timeout`
// tenths of a second. Success or failure shows in uart_fd.
void usb_uart_open(const char *path, int baud, float timeout);

// Writes `len` bytes in one call.
// Returns 0 when all went out, -2 when the link is closed, -3 on a short write.
int usb_uart_write(const uint8_t *data, int len);

// Reads up to `len` bytes, waiting at most `timeout_ms` ms for the first one
// and making at most timeout_ms + 1 read calls (timeout_ms is clamped to 255).
// Returns 0 when `len` bytes arrived, -2 when the link is closed, -3 when fewer
// arrived, -4 when waiting failed, -5 when nothing arrived in time.
// *out_total is written on the 0 and -3 results only.
int usb_uart_read(uint8_t *buf, int len, int *out_total, int timeout_ms);

// Releases the link; harmless when it is already closed.
void usb_uart_close();

// Formats the first min(n, TRACE_MAX_BYTES) bytes as lower-case hex pairs with
// no separators into `out` (always terminated); n <= 0 gives an empty text.
void format_trace(char (&out)[TRACE_BUF_LEN], const uint8_t *data, long n);
