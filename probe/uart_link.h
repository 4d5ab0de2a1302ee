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

// Results of usb_uart_write() and usb_uart_read().
inline constexpr int UART_OK = 0;
inline constexpr int UART_NOT_OPEN = -2;    // the link is closed; nothing was touched
inline constexpr int UART_INCOMPLETE = -3;  // fewer bytes than asked went out or came in
inline constexpr int UART_WAIT_FAILED = -4; // select() failed
inline constexpr int UART_TIMED_OUT = -5;   // no first byte within the wait

// Opens `path` as a raw 115200-baud line, 8 data bits, no parity, with VMIN 0
// and VTIME `timeout` tenths of a second. Stop bits, hang-up on close and
// hardware flow control are left as the device had them.
// Success or failure shows in uart_fd.
void usb_uart_open(const char *path, int baud, float timeout);

// Discards the input still pending on the line (a failed discard is ignored),
// then writes `len` bytes in one call, without retrying.
// Returns UART_OK when all went out, UART_NOT_OPEN when the link is closed,
// UART_INCOMPLETE when the call wrote fewer bytes or failed.
int usb_uart_write(const uint8_t *data, int len);

// Reads up to `len` bytes, waiting at most `timeout_ms` ms for the first one
// and making at most timeout_ms + 1 read calls (timeout_ms is clamped to 255).
// Returns UART_OK when `len` bytes arrived, UART_NOT_OPEN when the link is
// closed, UART_INCOMPLETE when fewer arrived, UART_WAIT_FAILED when waiting
// failed, UART_TIMED_OUT when nothing arrived in time.
// *out_total is written on the UART_OK and UART_INCOMPLETE results only.
int usb_uart_read(uint8_t *buf, int len, int *out_total, int timeout_ms);

// Releases the link; harmless when it is already closed.
void usb_uart_close();

// Formats the first min(n, TRACE_MAX_BYTES) bytes as lower-case hex pairs with
// no separators into `out` (always terminated); n <= 0 gives an empty text.
void format_trace(char (&out)[TRACE_BUF_LEN], const uint8_t *data, long n);
