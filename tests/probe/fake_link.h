// SPDX-License-Identifier: MIT
// The link layer (uart_link.h), the shell seam (shell.h) and usleep as the
// identification test (identify_test.cpp, its one includer) scripts them: an
// ordered list of the frames the routine must write, the reads it must make
// (with the length asked and the reply served) and the shell commands it must
// run; a call out of order fails the test. Sleeps are summed instead of slept
// (usleep is wrapped at link time), together with the 2 ms wait of each read
// that gets no answer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "shell.h"
#include "text.h"
#include "uart_link.h"

using Bytes = std::vector<uint8_t>;

enum class Kind { Write, Read, Shell };

struct Call {
    Kind kind = Kind::Write;
    Bytes bytes{};         // frame written, or reply served
    int len = 0;           // read length asked
    bool write_ok = true;  // what a write returns
    std::string command{}; // shell command
};

inline std::string describe(const Call &c)
{
    if (c.kind == Kind::Shell)
        return "shell: " + c.command;
    const std::string what =
        c.kind == Kind::Write
            ? "write of " + std::to_string(c.bytes.size()) + " bytes" + (c.write_ok ? "" : " (failing)")
            : "read of " + std::to_string(c.len) + " bytes serving " + std::to_string(c.bytes.size());
    return what + ": " + sim::hex_bytes(c.bytes);
}

// State of the fake link layer, reset by each test.
struct FakeLink {
    std::vector<Call> script;
    size_t next = 0;
    bool derailed = false; // after the first mismatch, calls are no longer checked
    bool open_fails = false;
    std::optional<std::string> opened_path;
    int opens = 0;
    int closes = 0;
    long slept_us = 0;

    // The next scripted call, if it is of kind `kind`; reports a mismatch once.
    const Call *take(Kind kind, const std::string &what)
    {
        if (derailed)
            return nullptr;
        if (closes > 0 || opens == 0) {
            ADD_FAILURE() << what << " while the fake is not open";
        } else if (next >= script.size()) {
            ADD_FAILURE() << "unscripted " << what << " after " << next << " scripted calls";
        } else if (script[next].kind != kind) {
            ADD_FAILURE() << "call " << next << ": expected " << describe(script[next]) << ", got " << what;
        } else {
            return &script[next++];
        }
        derailed = true;
        return nullptr;
    }
};

inline FakeLink fake;

// The fake layer's interface, as identify.cpp uses it.
int uart_fd = -1;

void usb_uart_open(const char *path, int baud, float timeout)
{
    ++fake.opens;
    fake.opened_path = path;
    EXPECT_EQ(baud, 115200);
    EXPECT_EQ(timeout, 2.0F);
    uart_fd = fake.open_fails ? -1 : 3;
}

int usb_uart_write(const uint8_t *data, int len)
{
    if (uart_fd < 0)
        return UART_NOT_OPEN;
    const Bytes written(data, data + len);
    const Call *c = fake.take(Kind::Write, describe({Kind::Write, written}));
    if (c == nullptr)
        return UART_INCOMPLETE;
    if (c->bytes != written) {
        ADD_FAILURE() << "call " << fake.next - 1 << ": expected " << describe(*c) << ", got "
                      << describe({Kind::Write, written});
        fake.derailed = true;
    }
    return c->write_ok ? UART_OK : UART_INCOMPLETE;
}

int usb_uart_read(uint8_t *buf, int len, int *out_total, int timeout_ms)
{
    if (uart_fd < 0)
        return UART_NOT_OPEN;
    EXPECT_EQ(timeout_ms, 2);
    const Call *c = fake.take(Kind::Read, describe({Kind::Read, {}, len}));
    if (c == nullptr)
        return UART_TIMED_OUT;
    EXPECT_EQ(c->len, len) << "read length of call " << fake.next - 1;
    if (c->bytes.empty()) {
        fake.slept_us += 1000L * timeout_ms; // the whole wait for a first byte
        return UART_TIMED_OUT;
    }
    const int n = std::min(len, static_cast<int>(c->bytes.size()));
    std::copy_n(c->bytes.begin(), n, buf);
    *out_total = n;
    return n == len ? UART_OK : UART_INCOMPLETE;
}

void usb_uart_close()
{
    ++fake.closes;
    uart_fd = -1;
}

int shell_run(const char *command)
{
    const Call *c = fake.take(Kind::Shell, std::string("shell: ") + command);
    if (c != nullptr) {
        EXPECT_EQ(c->command, command) << "call " << fake.next - 1;
    }
    return 0;
}

extern "C" int __wrap_usleep(useconds_t us)
{
    fake.slept_us += static_cast<long>(us);
    return 0;
}
