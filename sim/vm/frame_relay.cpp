// SPDX-License-Identifier: MIT
#include "frame_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "hash_board.h"

namespace sim::vm {

namespace {

enum class FrameState { Whole, Prefix, Neither };

FrameState frame_state(const std::vector<uint8_t> &bytes)
{
    bool prefix = false;
    for (const KnownFrame &known : known_frames()) {
        const size_t n = std::min(bytes.size(), known.bytes.size());
        if (std::memcmp(bytes.data(), known.bytes.data(), n) != 0)
            continue;
        if (bytes.size() == known.bytes.size())
            return FrameState::Whole;
        if (bytes.size() < known.bytes.size())
            prefix = true;
    }
    return prefix ? FrameState::Prefix : FrameState::Neither;
}

} // namespace

FrameRelay::FrameRelay(int guest_fd, int board_fd) : guest_fd_(guest_fd), board_fd_(board_fd)
{
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return;
    thread_ = std::thread([this] { run(); });
    // The relay is on every reply's way to the program's 2 ms wait.
    raise_to_board_priority(thread_);
}

FrameRelay::~FrameRelay()
{
    if (thread_.joinable()) {
        (void)!write(stop_pipe_[1], "x", 1);
        thread_.join();
    }
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

void FrameRelay::flush()
{
    if (!pending_.empty())
        (void)!write(board_fd_, pending_.data(), pending_.size());
    pending_.clear();
}

void FrameRelay::take(uint8_t byte)
{
    pending_.push_back(byte);
    const FrameState state = frame_state(pending_);
    if (state == FrameState::Whole) {
        flush();
    } else if (state == FrameState::Neither) {
        // Not a known frame: what came before goes on alone, so that a frame
        // starting with this byte is still recognised.
        pending_.pop_back();
        flush();
        pending_.push_back(byte);
        if (frame_state(pending_) != FrameState::Prefix)
            flush();
    }
}

void FrameRelay::run()
{
    struct pollfd fds[3] = {{guest_fd_, POLLIN, 0}, {board_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    uint8_t buf[512];
    for (;;) {
        const int ready = poll(fds, 3, pending_.empty() ? -1 : QUIET_MS);
        if (ready < 0)
            continue;
        if (fds[2].revents != 0)
            return;
        if (ready == 0) {
            flush();
            continue;
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = read(board_fd_, buf, sizeof buf);
            if (n > 0)
                (void)!write(guest_fd_, buf, static_cast<size_t>(n));
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(guest_fd_, buf, sizeof buf);
            if (n <= 0) {
                flush();
                fds[0].fd = -1; // qemu has gone; keep serving the stop pipe
                continue;
            }
            for (ssize_t i = 0; i < n; ++i)
                take(buf[i]);
        }
    }
}

} // namespace sim::vm
