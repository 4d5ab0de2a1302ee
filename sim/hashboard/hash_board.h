// SPDX-License-Identifier: MIT
// The line of a simulated hash board: the far end of a pseudo-terminal (or of
// an emulator's UART socket) that stands in for the board's UART. It takes the
// program's byte stream apart into frames however the reads chunk it, records
// every frame in order, ignores those whose CRC-5 is wrong, and sends what the
// chips (chips.h) answer: at once, or paced at the line's speed with latency
// and corruption.
//
// A catalogued frame (known_frames()) is taken when its last byte comes.
// Bytes that do not make one form an unknown frame, which ends where a whole
// catalogued frame begins, or once the line has been quiet for QUIET_MS (a
// frame cut short, or noise), or at stop().
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chips.h"

namespace sim {

struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    std::optional<FrameId> id;    // nullopt when not in the catalogue
    bool crc_ok = false;          // a frame with a bad CRC-5 is recorded and ignored
    bool answered = false;        // the board sent a reply to it
    std::vector<uint8_t> reply{}; // the reply as it went on the line, corruption included
    // Offsets in `reply` of the bytes lost because the program's input buffer
    // was full, as a real receiver overruns.
    std::vector<size_t> overrun{};
    // As summaries and JSON show it: the catalogue name, or "unknown".
    [[nodiscard]] const char *name() const { return id ? frame_name(*id) : "unknown"; }
};

// The speed and character framing of a line: a start bit, 8 data bits, a
// parity bit with PARENB, and 1 stop bit, or 2 with CSTOPB.
struct LineFraming {
    int baud = 115200;
    int bits = 10;
    [[nodiscard]] int64_t char_ns() const { return bits * 1000000000LL / baud; } // one character's time
};
int character_bits(unsigned cflag);
// The framing the program set on the line behind `fd` (a pseudo-terminal's
// master reports its slave's settings); 115200 8N1 for a descriptor that is
// no terminal (a socket to an emulator's UART) or a hung-up line (B0).
LineFraming line_framing(int fd);

class HashBoard {
public:
    // `master_fd` is the pseudo-terminal's master end; the board does not own it.
    HashBoard(int master_fd, HashBoardScenario scenario);
    ~HashBoard();

    // Serves the line from a thread of its own, at real-time priority when
    // the process may have it, so that replies meet the program's 2 ms wait on
    // a busy host. With a wire model a second thread paces the reply bytes.
    void start();
    void stop();

    std::vector<ReceivedFrame> frames() const;

    // Adds a chunk read from the line to the bytes not yet taken, takes the
    // frames they make and returns the replies (corrupted, with a wire model,
    // as they go on the line, paced when started); an empty chunk says that
    // the line fell quiet: what is left is one unknown frame. Unit tests drive
    // the board with it, without a pseudo-terminal, while it is not started.
    std::vector<uint8_t> receive(const std::vector<uint8_t> &chunk);

    // Only a frame that never completes waits this long; the bytes of one
    // frame can be a few milliseconds apart when the host is busy.
    static constexpr int QUIET_MS = 50;

private:
    void record(size_t len, std::optional<FrameId> id, std::vector<uint8_t> *replies);
    void serve();
    void transmit();

    int master_fd_;
    HashBoardScenario scenario_;
    ChipState chips_;
    int stop_fd_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<ReceivedFrame> frames_;
    // Bytes read but not yet taken as a frame, and when each was read; used
    // by the serving thread only, or by receive() and stop() without it.
    std::vector<uint8_t> incoming_;
    std::vector<int64_t> incoming_ns_;

    // The wire: reply bytes waiting for their deadlines (steady clock ns), in
    // order, and when each direction of the line falls idle.
    struct Timed {
        int64_t due_ns;
        uint8_t byte;
        std::optional<size_t> frame{}; // where it came from; babble comes from no frame
        size_t offset = 0;             // in that frame's reply
    };
    std::thread transmitter_;
    bool stopping_ = false; // guarded by mutex_, as are the two below
    std::condition_variable pending_changed_;
    std::deque<Timed> pending_;
    int64_t line_out_idle_ns_ = 0;
    int64_t line_in_idle_ns_ = 0; // frames from the program end by then
    std::mt19937 corruption_rng_;
};

} // namespace sim
