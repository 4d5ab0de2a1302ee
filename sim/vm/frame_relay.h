// SPDX-License-Identifier: MIT
// Bytes of a frame arrive from the emulated UART one or a few at a time (qemu
// hands each transmitted byte to the socket). The relay sits between the
// socket and the simulated hash board and collects them into whole frames, so
// the board sees each frame in one read, as it does from a pseudo-terminal.
// It passes the bytes on when they make a whole frame of the catalogue
// (sim::known_frames), when they cannot begin one, or when the line has been
// quiet for a while (a frame cut short). Replies go back unchanged.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

namespace sim::vm {

class FrameRelay {
public:
    // Relays between `guest_fd` (the socket) and `board_fd` (the board's end)
    // from a thread of its own until destroyed; owns neither descriptor.
    FrameRelay(int guest_fd, int board_fd);
    ~FrameRelay();
    FrameRelay(const FrameRelay &) = delete;
    FrameRelay &operator=(const FrameRelay &) = delete;

    // Only a frame that never completes waits this long; the bytes of one
    // frame can be a few milliseconds apart when the host is busy.
    static constexpr int QUIET_MS = 50;

private:
    void run();
    void take(uint8_t byte);
    void flush();

    int guest_fd_;
    int board_fd_;
    int stop_pipe_[2] = {-1, -1};
    std::vector<uint8_t> pending_;
    std::thread thread_;
};

} // namespace sim::vm
