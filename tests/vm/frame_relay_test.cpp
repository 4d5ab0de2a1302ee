// SPDX-License-Identifier: MIT
// The relay between the emulated UART's socket and the simulated hash board:
// bytes trickling in become whole frames, one write each.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame_relay.h"
#include "hash_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Relay : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, guest_), 0);
        // Message boundaries show how the relay wrote to the board.
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, board_), 0);
        relay_ = std::make_unique<sim::vm::FrameRelay>(guest_[1], board_[0]);
    }
    void TearDown() override
    {
        relay_.reset();
        for (int fd : {guest_[0], guest_[1], board_[0], board_[1]})
            close(fd);
    }
    void send_bytewise(const Bytes &bytes, int gap_us)
    {
        for (uint8_t b : bytes) {
            ASSERT_EQ(write(guest_[0], &b, 1), 1);
            usleep(static_cast<useconds_t>(gap_us));
        }
    }
    // The next write the board received, or empty after `timeout_ms`.
    Bytes board_reads(int timeout_ms = 1000)
    {
        struct pollfd p = {board_[1], POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return {};
        Bytes buf(512);
        const ssize_t n = read(board_[1], buf.data(), buf.size());
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }

    int guest_[2] = {-1, -1};
    int board_[2] = {-1, -1};
    std::unique_ptr<sim::vm::FrameRelay> relay_;
};

TEST_F(Relay, BytesOfAFrameReachTheBoardAsOneWrite)
{
    const Bytes ltc = sim::frame_bytes(sim::FrameId::LtcDetection);
    send_bytewise(ltc, 300);
    EXPECT_EQ(board_reads(), ltc);

    // Two frames in one chunk are two writes.
    const Bytes sia = sim::frame_bytes(sim::FrameId::SiaDashDetection);
    Bytes both = sim::frame_bytes(sim::FrameId::BtcDetection);
    both.insert(both.end(), sia.begin(), sia.end());
    ASSERT_EQ(write(guest_[0], both.data(), both.size()), static_cast<ssize_t>(both.size()));
    EXPECT_EQ(board_reads(), sim::frame_bytes(sim::FrameId::BtcDetection));
    EXPECT_EQ(board_reads(), sia);
}

TEST_F(Relay, StrayBytesAndCutFramesStillReachTheBoard)
{
    Bytes noisy = {0x00};
    const Bytes btc = sim::frame_bytes(sim::FrameId::BtcDetection);
    noisy.insert(noisy.end(), btc.begin(), btc.end());
    send_bytewise(noisy, 0);
    EXPECT_EQ(board_reads(), Bytes{0x00});
    EXPECT_EQ(board_reads(), btc) << "the frame after a stray byte is recognised";

    // A frame cut short goes on once the line has been quiet.
    const Bytes cut(btc.begin(), btc.begin() + 3);
    send_bytewise(cut, 0);
    EXPECT_EQ(board_reads(sim::vm::FrameRelay::QUIET_MS / 2), Bytes{}) << "passed on before the line went quiet";
    EXPECT_EQ(board_reads(), cut);
}

TEST_F(Relay, RepliesGoBackUnchanged)
{
    const Bytes reply = {0x13, 0x37, 0x00, 0x55};
    ASSERT_EQ(write(board_[1], reply.data(), reply.size()), 4);
    struct pollfd p = {guest_[0], POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 1000), 0);
    Bytes got(16);
    got.resize(static_cast<size_t>(read(guest_[0], got.data(), got.size())));
    EXPECT_EQ(got, reply);
}

} // namespace
