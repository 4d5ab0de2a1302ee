// SPDX-License-Identifier: MIT
// The chips of a simulated hash board: the command frames they understand, the
// reply each frame gets from a chain of the chosen family, and the sensor. No
// threads and no descriptors: the line that carries the bytes is hash_board.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class ChipFamily { None, BTC, LTC, SIA, DASH };
// The families as the record file and board-sim's scenarios spell them.
inline constexpr std::pair<ChipFamily, const char *> CHIP_FAMILY_NAMES[] = {{ChipFamily::None, "none"},
                                                                            {ChipFamily::BTC, "BTC"},
                                                                            {ChipFamily::LTC, "LTC"},
                                                                            {ChipFamily::SIA, "SIA"},
                                                                            {ChipFamily::DASH, "DASH"}};
const char *chip_family_name(ChipFamily family);

// How replies travel on the line. Without a wire model the board answers a
// frame the instant it arrives, with the whole reply in one write (the exact
// transcripts of the tests rely on that). With one, every byte in both
// directions takes a character time at the speed and framing the program set
// on the line (see line_framing), and each reply byte is written on its own
// when its stop bit would have ended.
struct WireModel {
    // Chips in the chain, each answering a detection frame with one record;
    // 0: as many as fill the program's read (6 for every family).
    int chips = 0;
    int latency_us = 100; // from the end of a frame's last byte to its reply
    // Probability that a reply byte has one bit flipped, from a generator
    // seeded with `corrupt_seed` so that a run can be repeated.
    double corrupt_rate = 0.0;
    uint32_t corrupt_seed = 1;
};

// The whole reply to the frame of that catalogue name (e.g. "LTC sensor
// query"), whatever the family and chain length; empty bytes leave the frame
// unanswered. Power and the sensor's rules still apply; a name not in the
// catalogue matches no frame. With `nth`, only the nth frame of that name in
// the run (from 1) gets exactly these bytes, whatever the control line and
// the sensor: a log's replies, one by one (board-sim explain --as-scenario).
struct FrameReply {
    std::string frame_name;
    std::vector<uint8_t> bytes;
    int nth = 0; // 0: every frame of that name
};

struct HashBoardScenario {
    std::optional<WireModel> wire; // nullopt: instant replies
    // Replies that override the family's answer to named frames.
    std::vector<FrameReply> frame_replies;
    ChipFamily family = ChipFamily::None;
    // The chips answer only once the control line has made at least this many
    // low-high cycles and stands high; 0: whatever the line does.
    int answers_after_cycles = 1;
    // The sensor answers from this query of the run on (from 1); 0: never.
    int sensor_answers_at_query = 1;
    // Status byte (its top two bits must be clear) and identity byte of a
    // sensor reply.
    uint8_t sensor_status = 0x00;
    uint8_t sensor_id = 0x55;
    // The whole answer to the family's detection frame (e.g. AA 55 17 99) or
    // to its sensor query, whatever the chain length; a named frame reply for
    // the same frame takes precedence.
    std::optional<std::vector<uint8_t>> detection_reply;
    std::optional<std::vector<uint8_t>> sensor_reply;
    std::optional<size_t> reply_limit; // every reply cut to this many bytes
    // A babbling line: besides its answers, the board sends this noise byte
    // unasked. Without a wire model it writes 16 of them after every
    // millisecond in which nothing arrived (more than a 115200-baud line
    // carries); with one, back to back at the line's speed whenever no reply
    // is on the way.
    std::optional<uint8_t> babble;
    // Host path of the control line's value file (written by the program as
    // "0\n" / "1\n" lines); empty: no line is watched.
    std::string control_line_path;
};

// The command frames the chips understand, in the order of known_frames().
enum class FrameId {
    BtcDetection,
    LtcDetection,
    SiaDashDetection,
    LtcMiscConfiguration,
    LtcSensorRegisterRead,
    LtcSensorQuery,
    SiaDashMiscConfiguration,
    SiaDashMuxConfiguration,
    SiaDashSensorRegisterRead,
    SiaDashSensorQuery
};

struct KnownFrame {
    FrameId id;
    const char *name; // shown in summaries and JSON, e.g. "BTC detection"
    std::vector<uint8_t> bytes;
};
const std::vector<KnownFrame> &known_frames();
const char *frame_name(FrameId frame);
const std::vector<uint8_t> &frame_bytes(FrameId frame);
// The frame of that catalogue name (exact spelling); nullopt for any other.
std::optional<FrameId> frame_named(const std::string &name);
// Kinds of frame, whatever the family; nullopt (an unknown frame) is neither.
bool is_detection(std::optional<FrameId> frame);
bool is_sensor_query(std::optional<FrameId> frame);
// The sensor query the family's chips answer; nullopt for BTC chips and none.
std::optional<FrameId> sensor_query_of(ChipFamily family);

// The frame's last byte is the CRC-5 (x^5 + x^2 + 1, initial 0x1F, MSB first)
// of the bytes before it, its 55 AA preamble left out.
bool frame_crc_ok(const std::vector<uint8_t> &frame);

// What a board of `scenario` answers to `frame`, with the chain length of its
// wire model, ignoring power, the sensor's rules, replies to the nth frame
// and corruption; empty when it stays silent.
std::vector<uint8_t> reply_for(const HashBoardScenario &scenario, FrameId frame);

// Low-high cycles in the text of a control line's value file.
struct ControlLineState {
    int cycles = 0;
    bool high = false;
    std::vector<std::string> writes; // every line written, in order
};
ControlLineState parse_control_line(const std::string &written);

// What the chips remember between frames of a run.
struct ChipState {
    int sensor_queries = 0;
    bool sensor_selected = false;
    int cycles_at_last_setup = -1;
    std::array<int, static_cast<size_t>(FrameId::SiaDashSensorQuery) + 1> received{}; // frames of each FrameId so far
};

// The chips' reply to a frame received with a good CRC, as the control line
// stands: powered by it, their sensor selected by the register read (a reset
// forgets that) and counting queries; empty when they are silent. The
// simulated board answers with it, and board-sim explain --as-scenario checks
// with it what a scenario would answer to a log's frames.
std::vector<uint8_t> chips_answer(const HashBoardScenario &scenario, ChipState &state, FrameId frame,
                                  const ControlLineState &line);

} // namespace sim
