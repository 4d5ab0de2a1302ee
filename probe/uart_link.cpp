// SPDX-License-Identifier: MIT
#include "uart_link.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "messages.h"

int uart_fd = -1;

namespace {

constexpr int UART_BAUD = 115200;
// The read loop's attempt bound is capped at 255, so that no caller can make it
// loop forever, whatever time-out it passes.
constexpr int MAX_READ_ATTEMPT_BOUND = 255;
constexpr useconds_t READ_RETRY_PAUSE_US = 1000;

void print_trace(const char *arrow, const uint8_t *data, long n)
{
    char trace[TRACE_BUF_LEN];
    format_trace(trace, data, n);
    printf(TRACE_FORMAT, arrow, trace);
}

} // namespace

void format_trace(char (&out)[TRACE_BUF_LEN], const uint8_t *data, long n)
{
    static constexpr char HEX[] = "0123456789abcdef";
    const long count = n < 0 ? 0 : (n > TRACE_MAX_BYTES ? TRACE_MAX_BYTES : n);
    for (long i = 0; i < count; ++i) {
        out[2 * i] = HEX[data[i] >> 4];
        out[2 * i + 1] = HEX[data[i] & 0x0F];
    }
    out[2 * count] = '\0';
}

void usb_uart_open(const char *path, int baud, float timeout)
{
    if (path == nullptr)
        return;

    const int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        printf(OPEN_FAILED_FORMAT, path);
        return;
    }

    // Configuration failures are ignored: a line that half-configures still
    // carries frames on most boards, and the reply patterns catch the rest.
    struct termios tio = {};
    tcgetattr(fd, &tio);

    if (baud != UART_BAUD)
        printf(BAD_BAUD_FORMAT, baud);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

    // VMIN 0 with VTIME set: each read returns after VTIME tenths of a second
    // at most when no byte comes.
    tio.c_cc[VMIN] = 0;
    // Truncated to an unsigned integer, low 8 bits; a negative or non-finite
    // time-out (which cannot be converted) means no wait.
    const bool convertible = timeout >= 0.0F && timeout < 4294967296.0F;
    const unsigned tenths = convertible ? static_cast<unsigned>(timeout) : 0U;
    tio.c_cc[VTIME] = static_cast<cc_t>(tenths & 0xFFU);

    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);

    uart_fd = fd;
    printf(OPENED_FORMAT, fd, static_cast<double>(timeout));
}

int usb_uart_write(const uint8_t *data, int len)
{
    if (uart_fd < 0)
        return UART_NOT_OPEN;
    if (len < 0)
        len = 0;

    // A chain's reply is longer than its read: drop the rest so the next read takes this frame's reply.
    tcflush(uart_fd, TCIFLUSH);
    const ssize_t n = write(uart_fd, data, static_cast<size_t>(len));
    if (n != 0)
        print_trace(SENT_ARROW, data, n);

    if (n == len)
        return UART_OK;
    puts(WRITE_FAILED_TEXT);
    return UART_INCOMPLETE;
}

int usb_uart_read(uint8_t *buf, int len, int *out_total, int timeout_ms)
{
    if (uart_fd < 0)
        return UART_NOT_OPEN;
    if (len < 0)
        len = 0;

    // select() cannot watch a descriptor beyond FD_SETSIZE; treat it as a
    // failed wait rather than writing past the set.
    if (uart_fd >= FD_SETSIZE) {
        puts(SELECT_ERROR_TEXT);
        return UART_WAIT_FAILED;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(uart_fd, &readable);
    struct timeval wait = {0, static_cast<suseconds_t>(timeout_ms) * 1000};

    const int ready = select(uart_fd + 1, &readable, nullptr, nullptr, &wait);
    if (ready < 0) {
        puts(SELECT_ERROR_TEXT);
        return UART_WAIT_FAILED;
    }
    if (ready == 0) {
        puts(TIMED_OUT_TEXT);
        return UART_TIMED_OUT;
    }

    int total = 0;
    if (!FD_ISSET(uart_fd, &readable)) {
        printf(NOT_READABLE_FORMAT, 0);
    } else {
        const int attempt_bound = timeout_ms < 0                        ? 0
                                  : timeout_ms > MAX_READ_ATTEMPT_BOUND ? MAX_READ_ATTEMPT_BOUND
                                                                        : timeout_ms;
        // The attempt bound is tested before completeness, so when the last
        // allowed read fills the buffer the "times" line is the one printed.
        for (int attempt = 0;; ++attempt) {
            printf(READ_PASS_FORMAT, len, total);
            const ssize_t n = read(uart_fd, buf + total, static_cast<size_t>(len - total));
            // A failed read (EIO when the far end is gone) counts as nothing
            // received; it never moves the fill position backwards.
            if (n > 0)
                total += static_cast<int>(n);
            if (attempt == attempt_bound) {
                printf(READ_BOUND_FORMAT, attempt + 1);
                break;
            }
            if (total == len) {
                printf(READ_FULL_FORMAT, total);
                break;
            }
            usleep(READ_RETRY_PAUSE_US);
        }
    }

    *out_total = total;
    printf(READ_TOTAL_FORMAT, total);
    if (total > 0)
        print_trace(RECEIVED_ARROW, buf, total);

    if (total == len)
        return UART_OK;
    puts(READ_ERROR_TEXT);
    return UART_INCOMPLETE;
}

void usb_uart_close()
{
    // Nothing in the program locks the device, so on the descriptor the link
    // opened itself this releases nothing; it stays part of the close sequence
    // and fails harmlessly (EBADF) when the link is already closed.
    flock(uart_fd, LOCK_UN);
    if (uart_fd > 0)
        close(uart_fd);
    uart_fd = -1;
}
