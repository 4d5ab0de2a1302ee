// SPDX-License-Identifier: MIT
// A simulated hash board: the far end of a pseudo-terminal that stands in for
// the board's UART. It answers command frames the way the chip chain of the
// chosen family does, ignores frames whose CRC-5 is wrong, and records every
// frame it received, in order.
#pragma once

#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sim {

enum class ChipFamily { None, BTC, LTC, SIA, DASH };

// How replies travel on the line. Without a wire model the board answers a
// frame the instant it arrives, with the whole reply in one write (the exact
// transcripts of the tests rely on that). With one, every byte in both
// directions takes a character time at the speed and framing the program set
// on the line (see line_framing), and each reply byte is written on its own
// when its stop bit would have ended.
struct WireModel {
    // Chips in the chain; each answers a detection frame with one record, in
    // chain order. 0 means as many as the program's read length implies for
    // the family (6 for every family: 42 bytes of 7-byte records, 54 of 9).
    int chips = 0;
    // Time from the end of a frame's last byte to the start of its reply.
    int latency_us = 100;
    // Probability that a reply byte is corrupted (one bit flipped), from a
    // generator seeded with `corrupt_seed` so that a run can be repeated.
    double corrupt_rate = 0.0;
    uint32_t corrupt_seed = 1;
};

// A reply to a frame by its catalogue name (e.g. "LTC sensor query"), sent
// instead of what the family would answer: the whole reply, as given, whatever
// the chain length (empty bytes make the frame go unanswered). The chips still
// answer only when powered, and a sensor query only after the register read
// and from `sensor_answers_at_query` on.
struct FrameReply {
    std::string frame_name;
    std::vector<uint8_t> bytes;
};

struct HashBoardScenario {
    // Bytes paced at the speed and framing the program set on the line, with
    // chip latency, chain length and corruption; nullopt: instant replies.
    std::optional<WireModel> wire;
    // Replies that override the family's answer to named frames.
    std::vector<FrameReply> frame_replies;
    ChipFamily family = ChipFamily::None;
    // The chips answer only once the control line has made at least this many
    // low-high cycles and stands high; 0 means they answer whatever the line does.
    int answers_after_cycles = 1;
    // The temperature sensor answers from this query on (counted over the whole
    // run, from 1); 0 means it never answers.
    int sensor_answers_at_query = 1;
    // Status byte (its top two bits must be clear) and identity byte of a
    // sensor reply.
    uint8_t sensor_status = 0x00;
    uint8_t sensor_id = 0x55;
    // Replaces the family's answer to its detection frame, e.g. AA 55 17 99:
    // the whole reply, whatever the chain length. A named frame reply for the
    // same frame takes precedence.
    std::optional<std::vector<uint8_t>> detection_reply;
    // When set, every reply is cut to this many bytes.
    std::optional<size_t> reply_limit;
    // A babbling line: besides its answers, the board sends this noise byte
    // unasked. Without a wire model it writes 16 of them after every
    // millisecond in which nothing arrived (about 16 bytes a millisecond, more
    // than a 115200-baud line carries); with one, it sends them back to back
    // at the line's speed whenever no reply is on the way.
    std::optional<uint8_t> babble;
    // Host path of the control line's value file (written by the program as
    // "0\n" / "1\n" lines); empty means no line is watched.
    std::string control_line_path;
};

struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    std::string name;           // e.g. "BTC detection"; "unknown" when not in the catalogue
    bool crc_ok = false;        // a frame with a bad CRC-5 is recorded and ignored
    bool answered = false;      // the board sent a reply to it
    std::vector<uint8_t> reply; // the reply as it went on the line, corruption included
    // Offsets in `reply` of the bytes the line could not take because the
    // program's input buffer was full: lost, as a real receiver overruns.
    std::vector<size_t> overrun;
};

// Names of the frames the chip chains understand, with their bytes.
struct KnownFrame {
    const char *name;
    std::vector<uint8_t> bytes;
};
const std::vector<KnownFrame> &known_frames();

// CRC-5 (x^5 + x^2 + 1, initial 0x1F, MSB first) over a frame without its
// 55 AA preamble and without the CRC byte itself.
uint8_t chip_crc5(const uint8_t *data, size_t len);
bool frame_crc_ok(const std::vector<uint8_t> &frame);

// What a board of `scenario` would answer to `frame_name` (a named frame reply,
// else the family's answer to a detection or sensor query), with the chain
// length of its wire model, ignoring power, sensor counting and corruption;
// empty when it stays silent.
std::vector<uint8_t> reply_for(const HashBoardScenario &scenario, const std::string &frame_name);

// Chips in the chain of `scenario`: its wire model's count, or the default.
int chain_chips(const HashBoardScenario &scenario);

// The speed and character framing of a line, as its terminal settings give
// them: a start bit, 8 data bits, a parity bit when PARENB is set, and 1 stop
// bit, or 2 with CSTOPB.
struct LineFraming {
    int baud = 115200;
    int bits = 10;
    // Time one character takes on the line, in nanoseconds.
    int64_t char_ns() const { return bits * 1000000000LL / baud; }
};
// Bits of one character under the control flags `cflag`.
int character_bits(tcflag_t cflag);
// The framing of what the program receives on `fd` (its input speed, or the
// output speed when the input speed is 0). A pseudo-terminal's master reports
// the settings its slave was given. A descriptor that is not a terminal (a
// socket to an emulator's UART), or a hung-up line (B0), gives 115200 8N1.
LineFraming line_framing(int fd);
// The same for what the program sends (the output speed).
LineFraming line_framing_out(int fd);

// Counts low-high cycles in the text of a control line's value file.
struct ControlLineState {
    int cycles = 0;
    bool high = false;
    std::vector<std::string> writes; // every line written, in order
};
ControlLineState read_control_line(const std::string &path);
// The same for the text itself.
ControlLineState parse_control_line(const std::string &written);

// Gives `thread` the real-time priority (SCHED_FIFO) of the board's own
// threads, when the process may have it, so that replies meet the program's
// 2 ms wait on a busy host; otherwise the thread keeps its priority.
void raise_to_board_priority(std::thread &thread);

class HashBoard {
public:
    // `master_fd` is the pseudo-terminal's master end; the board does not own it.
    HashBoard(int master_fd, HashBoardScenario scenario);
    ~HashBoard();
    HashBoard(const HashBoard &) = delete;
    HashBoard &operator=(const HashBoard &) = delete;

    // Serves the line from a thread of its own (real-time priority when the
    // process may have it, so that replies meet the program's 2 ms wait).
    // With a wire model a second thread paces the reply bytes, sleeping to
    // each byte's absolute deadline.
    void start();
    void stop();

    std::vector<ReceivedFrame> frames() const;

    // Handles one chunk read from the line and returns the bytes to send back.
    // Public so that unit tests can drive the board without a pseudo-terminal.
    // With a wire model the bytes come corrupted as they would go on the line.
    std::vector<uint8_t> receive(const std::vector<uint8_t> &chunk);

private:
    // The frames found in one chunk, each with its length and its reply.
    struct Answer {
        size_t frame_len;
        std::vector<uint8_t> reply;
        size_t frame; // its index in frames_
    };
    std::vector<Answer> take_frames(const std::vector<uint8_t> &chunk);
    void serve();
    void transmit();
    void schedule(const std::vector<Answer> &answers, int64_t arrived_ns);
    std::vector<uint8_t> answer(const std::string &name);
    void corrupt(std::vector<uint8_t> &reply);
    bool chips_powered() const;

    int master_fd_;
    HashBoardScenario scenario_;
    int stop_fd_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<ReceivedFrame> frames_;
    int sensor_queries_ = 0;
    bool sensor_selected_ = false;
    int cycles_at_last_setup_ = -1;

    // The wire: reply bytes waiting for their deadlines (CLOCK_MONOTONIC ns),
    // in order, and when each direction of the line falls idle.
    struct Timed {
        int64_t due_ns;
        uint8_t byte;
        size_t frame = NO_FRAME; // where it came from; babble comes from no frame
        size_t offset = 0;       // in that frame's reply
    };
    static constexpr size_t NO_FRAME = static_cast<size_t>(-1);
    std::thread transmitter_;
    std::atomic<bool> stopping_{false};
    std::condition_variable pending_changed_;
    std::deque<Timed> pending_;    // guarded by mutex_
    int64_t line_in_idle_ns_ = 0;  // frames from the program end by then
    int64_t line_out_idle_ns_ = 0; // guarded by mutex_
    std::mt19937 corruption_rng_;
};

} // namespace sim
