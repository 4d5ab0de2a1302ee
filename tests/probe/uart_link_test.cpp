// SPDX-License-Identifier: MIT
// The UART link against a real pseudo-terminal: what it configures, what it
// prints and returns for whole, partial, flooding, failing and silent replies.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"
#include "text.h"
#include "uart_link.h"

namespace {

// tcflush is wrapped (-Wl,--wrap=tcflush): a test can watch each call, fail
// it, or put bytes on the line right after it.
struct FlushWatch {
    bool armed = false;
    int fail_errno = 0;                // non-zero: fail the call with this error
    std::vector<uint8_t> arrive_after; // written by the far end right after the call
    int master = -1;
    int calls = 0;
    int queue = -1;         // the queue selector of the last call
    bool frame_out = false; // the far end already had bytes to read at the last call
};
FlushWatch flush_watch;

} // namespace

extern "C" int __real_tcflush(int fd, int queue);
extern "C" int __wrap_tcflush(int fd, int queue)
{
    FlushWatch &w = flush_watch;
    if (!w.armed)
        return __real_tcflush(fd, queue);
    ++w.calls;
    w.queue = queue;
    struct pollfd far_end = {w.master, POLLIN, 0};
    w.frame_out = poll(&far_end, 1, 0) == 1;
    if (w.fail_errno != 0) {
        errno = w.fail_errno;
        return -1;
    }
    const int rc = __real_tcflush(fd, queue);
    if (!w.arrive_after.empty() &&
        write(w.master, w.arrive_after.data(), w.arrive_after.size()) != static_cast<ssize_t>(w.arrive_after.size()))
        return -1;
    return rc;
}

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class UartLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The test's own slave descriptor keeps the line up and reads its settings.
        ASSERT_TRUE(pty_.ok());
    }
    void TearDown() override
    {
        usb_uart_close();
        flush_watch = FlushWatch{};
    }

    void open_link()
    {
        CaptureStdout();
        usb_uart_open(pty_.slave_path().c_str(), 115200, 2.0F);
        GetCapturedStdout();
        ASSERT_GE(uart_fd, 0);
    }
    void board_sends(const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(write(pty_.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // Let the line discipline take the bytes before the link looks.
        usleep(20000);
    }

    sim::PseudoTerminal pty_;
};

// The log of a read of `len` bytes whose three calls found the `got` bytes
// `hex` and nothing more.
std::string short_read_log(int len, int got, const std::string &hex)
{
    const std::string call = "usb uart read exp_buf_len:" + std::to_string(len) + " total_len:";
    return call + "0\n" + call + std::to_string(got) + "\n" + call + std::to_string(got) +
           "\nusb uart read 3 times\nusb_uart_read total_len:" + std::to_string(got) + "\n" +
           (got > 0 ? "<------------ " + hex + "\n" : "") + "usb_uart_read error\n";
}

// Another rate asked for is reported and replaced by 115200.
TEST_F(UartLink, OpenMakesARaw115200LineWhateverTheRateAsked)
{
    struct termios cooked {};
    tcgetattr(pty_.slave(), &cooked);
    cooked.c_cflag |= PARENB;
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_oflag |= OPOST;
    cfsetispeed(&cooked, B9600);
    cfsetospeed(&cooked, B9600);
    tcsetattr(pty_.slave(), TCSANOW, &cooked);

    CaptureStdout();
    usb_uart_open(pty_.slave_path().c_str(), 9600, 2.0F);
    EXPECT_EQ(GetCapturedStdout(), "invalid uart baud rate:9600, use default 115200\nopen device success " +
                                       std::to_string(uart_fd) + " set timeout 2.000000\n");

    struct termios tio {};
    ASSERT_EQ(tcgetattr(pty_.slave(), &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), 0U);
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    EXPECT_EQ(tio.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0U);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 2);
}

TEST_F(UartLink, FailedOpenLeavesTheLinkClosed)
{
    CaptureStdout();
    usb_uart_open("/nonexistent/ttyATH9", 115200, 2.0F);
    usb_uart_open(nullptr, 115200, 2.0F);
    EXPECT_EQ(GetCapturedStdout(), "open /nonexistent/ttyATH9 failed\n");
    EXPECT_EQ(uart_fd, -1);

    uint8_t buf[4] = {1, 2, 3, 4};
    int total = 77;
    CaptureStdout();
    EXPECT_EQ(usb_uart_write(buf, 4), -2);
    EXPECT_EQ(usb_uart_read(buf, 4, &total, 2), -2);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(total, 77);

    // Closing a closed link, twice, is harmless.
    usb_uart_close();
    usb_uart_close();
    EXPECT_EQ(uart_fd, -1);
}

TEST_F(UartLink, WriteTracesAtMostTheFirstHundredBytes)
{
    open_link();
    std::vector<uint8_t> frame(150);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i);
    CaptureStdout();
    EXPECT_EQ(usb_uart_write(frame.data(), 150), 0);
    const std::string out = GetCapturedStdout();

    EXPECT_EQ(out, "------------> " + sim::hex_bytes(frame.data(), 100) + "\n");

    uint8_t got[200];
    EXPECT_EQ(read(pty_.master(), got, sizeof got), 150);
}

// A chain answers with more bytes than a read takes. What is left must not be
// read as the reply to the next frame: it is discarded just before the frame
// goes out, and nothing that comes after that point is discarded.
TEST_F(UartLink, PendingInputIsDiscardedBeforeAWriteAndNeverAfterIt)
{
    open_link();
    board_sends({0x14, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01}); // the rest of an earlier reply
    flush_watch = FlushWatch{true, 0, {0x00, 0x98, 0xFE, 0x55}, pty_.master()};
    const uint8_t frame[] = {0x42, 0x04, 0x00, 0x1C, 0x15};
    CaptureStdout();
    EXPECT_EQ(usb_uart_write(frame, 5), 0);
    EXPECT_EQ(GetCapturedStdout(), "------------> 4204001c15\n");
    EXPECT_EQ(flush_watch.calls, 1);
    EXPECT_EQ(flush_watch.queue, TCIFLUSH) << "only input is discarded";
    EXPECT_FALSE(flush_watch.frame_out) << "the discard came after the frame went out";
    uint8_t got[8];
    usleep(20000);
    EXPECT_EQ(read(pty_.master(), got, sizeof got), 5) << "the frame did not go out whole";

    // Bytes that came after the discard (here, before the write even) stay.
    uint8_t buf[4] = {};
    int total = -1;
    CaptureStdout();
    EXPECT_EQ(usb_uart_read(buf, 4, &total, 2), 0);
    GetCapturedStdout();
    EXPECT_EQ(sim::hex_bytes(buf, 4), "0098fe55");
    EXPECT_EQ(flush_watch.calls, 1) << "input discarded after the write";
}

TEST_F(UartLink, FailedDiscardIsIgnoredAndTheFrameStillGoesOut)
{
    open_link();
    board_sends({0xAA, 0x55});
    flush_watch = FlushWatch{true, EIO, {}, pty_.master()};
    const uint8_t frame[] = {0x54, 0x05, 0x00, 0x00, 0x19};
    CaptureStdout();
    EXPECT_EQ(usb_uart_write(frame, 5), 0);
    EXPECT_EQ(GetCapturedStdout(), "------------> 5405000019\n");
    EXPECT_EQ(flush_watch.calls, 1);
    uint8_t got[8];
    usleep(20000);
    EXPECT_EQ(read(pty_.master(), got, sizeof got), 5);

    // A closed link discards nothing and writes nothing.
    usb_uart_close();
    EXPECT_EQ(usb_uart_write(frame, 5), -2);
    EXPECT_EQ(flush_watch.calls, 1);
}

TEST_F(UartLink, WholeReplyAtTheFirstRead)
{
    open_link();
    board_sends({0x13, 0x87, 0x00, 0x01});
    uint8_t buf[4] = {};
    int total = -1;
    CaptureStdout();
    EXPECT_EQ(usb_uart_read(buf, 4, &total, 2), 0);
    EXPECT_EQ(GetCapturedStdout(), "usb uart read exp_buf_len:4 total_len:0\n"
                                   "usb_uart_read break,read:4\n"
                                   "usb_uart_read total_len:4\n"
                                   "<------------ 13870001\n");
    EXPECT_EQ(total, 4);

    // A flood is read only up to the length asked.
    board_sends(std::vector<uint8_t>(100, 0xEE));
    uint8_t big[60];
    memset(big, 0x11, sizeof big);
    CaptureStdout();
    EXPECT_EQ(usb_uart_read(big, 42, &total, 2), 0);
    GetCapturedStdout();
    EXPECT_EQ(total, 42);
    EXPECT_EQ(big[41], 0xEE);
    EXPECT_EQ(big[42], 0x11) << "wrote past the length asked";

    // Closing releases the descriptor.
    const int fd = uart_fd;
    usb_uart_close();
    EXPECT_EQ(uart_fd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor left open";
}

TEST_F(UartLink, ShortReplyThenSilenceMakesThreeReadCalls)
{
    open_link();
    board_sends({0xAA, 0x55, 0x17});
    uint8_t buf[42] = {};
    int total = -1;
    CaptureStdout();
    EXPECT_EQ(usb_uart_read(buf, 42, &total, 2), -3);
    EXPECT_EQ(GetCapturedStdout(), short_read_log(42, 3, "aa5517"));
    EXPECT_EQ(total, 3);
    EXPECT_EQ(buf[2], 0x17);
}

TEST_F(UartLink, FarEndGoneMidReplyNeverMovesTheFillPositionBack)
{
    open_link();
    board_sends({0x14, 0x85, 0x01});
    // The board goes away while the link waits for the rest of the reply: its
    // next reads fail with EIO, which must count as nothing received.
    std::thread hang_up([this] {
        usleep(50000);
        pty_.close_master();
    });
    uint8_t buf[60];
    memset(buf, 0x22, sizeof buf);
    int total = -1;
    CaptureStdout();
    const int rc = usb_uart_read(buf, 42, &total, 2);
    const std::string out = GetCapturedStdout();
    hang_up.join();
    EXPECT_EQ(rc, -3);
    EXPECT_EQ(total, 3);
    EXPECT_EQ(out, short_read_log(42, 3, "148501"));
    EXPECT_EQ(buf[3], 0x22);
}

TEST_F(UartLink, EveryReadFailingCountsAsNothingReceived)
{
    // A descriptor that select() reports readable but read() always refuses.
    uart_fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(uart_fd, 0);
    uint8_t buf[8];
    memset(buf, 0x44, sizeof buf);
    int total = -1;
    CaptureStdout();
    EXPECT_EQ(usb_uart_read(buf, 8, &total, 2), -3);
    EXPECT_EQ(GetCapturedStdout(), short_read_log(8, 0, ""));
    EXPECT_EQ(total, 0);
    EXPECT_EQ(buf[0], 0x44);
}

TEST_F(UartLink, SilenceTimesOutWithoutTouchingTheResult)
{
    open_link();
    uint8_t buf[8];
    memset(buf, 0x33, sizeof buf);
    int total = 12345;
    CaptureStdout();
    EXPECT_EQ(usb_uart_read(buf, 8, &total, 2), -5);
    EXPECT_EQ(GetCapturedStdout(), "usb uart read timedout\n");
    EXPECT_EQ(total, 12345);
    for (uint8_t b : buf)
        EXPECT_EQ(b, 0x33);
}

} // namespace
