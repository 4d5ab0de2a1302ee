// SPDX-License-Identifier: MIT
#include "chips.h"

#include <algorithm>
#include <sstream>

namespace sim {

namespace {

// Each chip of the chain answers a detection frame with one record (7 bytes
// for BTC and LTC chips, 9 for SIA and DASH ones); a chain of six chips fills
// the 42 or 54 bytes the program reads.
constexpr int DEFAULT_CHAIN_CHIPS = 6;

// What the chips of a family answer: the detection frame they know, one chip's
// record without its CRC, and the sensor query they answer, if any.
struct FamilyAnswers {
    ChipFamily family;
    FrameId detection;
    std::vector<uint8_t> record;
    std::optional<FrameId> sensor_query;
};

const FamilyAnswers *answers_of(ChipFamily family)
{
    using enum FrameId;
    using enum ChipFamily;
    static const FamilyAnswers families[] = {
        {BTC, BtcDetection, {0x13, 0x87, 0x90, 0x00, 0x00, 0x00}, std::nullopt},
        {LTC, LtcDetection, {0x14, 0x85, 0x00, 0x00, 0x00, 0x00}, LtcSensorQuery},
        {SIA, SiaDashDetection, {0xAA, 0x55, 0x17, 0x20, 0x00, 0x00, 0x00, 0x00}, SiaDashSensorQuery},
        {DASH, SiaDashDetection, {0xAA, 0x55, 0x17, 0x60, 0x00, 0x00, 0x00, 0x00}, SiaDashSensorQuery},
    };
    const auto *found = std::ranges::find(families, family, &FamilyAnswers::family);
    return found == std::end(families) ? nullptr : found;
}

// Bytes of a frame's 55 AA preamble, which its CRC leaves out.
size_t preamble_len(const std::vector<uint8_t> &f)
{
    return f.size() >= 2 && f[0] == 0x55 && f[1] == 0xAA ? 2 : 0;
}

// CRC-5 (x^5 + x^2 + 1, initial 0x1F, MSB first) of the first `len` bytes of
// `frame`, its preamble left out.
uint8_t chip_crc5(const std::vector<uint8_t> &frame, size_t len)
{
    unsigned crc = 0x1F;
    for (size_t i = preamble_len(frame); i < len; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            const unsigned in = (frame[i] >> bit) & 1U;
            const unsigned top = (crc >> 4) & 1U;
            crc = (crc << 1) & 0x1FU;
            if ((in ^ top) != 0)
                crc ^= 0x05U;
        }
    return static_cast<uint8_t>(crc);
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> body)
{
    body.push_back(chip_crc5(body, body.size()));
    return body;
}

} // namespace

// The board keeps its own copy of the frame bytes and of the CRC-5, written
// from the chips' protocol rather than taken from probe/frames.h on purpose:
// it is an independent check of the program's, so a wrong byte or CRC there
// shows as a frame the board does not know or refuses.
const std::vector<KnownFrame> &known_frames()
{
    using enum FrameId;
    static const std::vector<KnownFrame> frames = {
        {BtcDetection, "BTC detection", {0x54, 0x05, 0x00, 0x00, 0x19}},
        {LtcDetection, "LTC detection", {0x52, 0x04, 0x00, 0x00, 0x12}},
        {SiaDashDetection, "SIA/DASH detection", {0x55, 0xAA, 0x52, 0x05, 0x00, 0x00, 0x0A}},
        {LtcMiscConfiguration, "LTC misc configuration", {0x41, 0x08, 0x00, 0x18, 0x41, 0x40, 0x7A, 0x70, 0x18}},
        {LtcSensorRegisterRead, "LTC sensor register read", {0x51, 0x08, 0x00, 0x1C, 0x01, 0x98, 0xFE, 0x00, 0x08}},
        {LtcSensorQuery, "LTC sensor query", {0x42, 0x04, 0x00, 0x1C, 0x15}},
        {SiaDashMiscConfiguration,
         "SIA/DASH misc configuration",
         {0x55, 0xAA, 0x41, 0x09, 0x00, 0x1C, 0x07, 0x00, 0x7A, 0x61, 0x17}},
        {SiaDashMuxConfiguration,
         "SIA/DASH mux configuration",
         {0x55, 0xAA, 0x41, 0x09, 0x00, 0x40, 0x00, 0x04, 0x00, 0x00, 0x09}},
        {SiaDashSensorRegisterRead,
         "SIA/DASH sensor register read",
         {0x55, 0xAA, 0x41, 0x09, 0x00, 0x20, 0x01, 0x98, 0xFE, 0x00, 0x14}},
        {SiaDashSensorQuery, "SIA/DASH sensor query", {0x55, 0xAA, 0x42, 0x05, 0x00, 0x20, 0x1F}},
    };
    return frames;
}

const char *frame_name(FrameId frame)
{
    return known_frames()[static_cast<size_t>(frame)].name;
}

const std::vector<uint8_t> &frame_bytes(FrameId frame)
{
    return known_frames()[static_cast<size_t>(frame)].bytes;
}

std::optional<FrameId> frame_named(const std::string &name)
{
    const auto found = std::ranges::find_if(known_frames(), [&name](const KnownFrame &f) { return name == f.name; });
    return found == known_frames().end() ? std::nullopt : std::optional(found->id);
}

bool is_detection(std::optional<FrameId> frame)
{
    return frame == FrameId::BtcDetection || frame == FrameId::LtcDetection || frame == FrameId::SiaDashDetection;
}

bool is_sensor_query(std::optional<FrameId> frame)
{
    return frame == FrameId::LtcSensorQuery || frame == FrameId::SiaDashSensorQuery;
}

std::optional<FrameId> sensor_query_of(ChipFamily family)
{
    const FamilyAnswers *f = answers_of(family);
    return f == nullptr ? std::nullopt : f->sensor_query;
}

const char *chip_family_name(ChipFamily family)
{
    const auto *found = std::ranges::find(CHIP_FAMILY_NAMES, family, &std::pair<ChipFamily, const char *>::first);
    return found == std::end(CHIP_FAMILY_NAMES) ? "?" : found->second;
}

bool frame_crc_ok(const std::vector<uint8_t> &frame)
{
    return frame.size() >= preamble_len(frame) + 2 && chip_crc5(frame, frame.size() - 1) == frame.back();
}

std::vector<uint8_t> reply_for(const HashBoardScenario &s, FrameId frame)
{
    for (const FrameReply &r : s.frame_replies)
        if (r.nth == 0 && frame_named(r.frame_name) == frame)
            return r.bytes;
    const FamilyAnswers *family = answers_of(s.family);
    if (family != nullptr && frame == family->detection) {
        if (s.detection_reply)
            return *s.detection_reply;
        const std::vector<uint8_t> record = with_crc(family->record);
        std::vector<uint8_t> reply;
        for (int chip = 0; chip < (s.wire && s.wire->chips > 0 ? s.wire->chips : DEFAULT_CHAIN_CHIPS); ++chip)
            reply.insert(reply.end(), record.begin(), record.end());
        return reply;
    }
    if (family == nullptr || frame != family->sensor_query)
        return {};
    if (s.sensor_reply)
        return *s.sensor_reply;
    std::vector<uint8_t> sensor = {s.sensor_status, 0x98, 0xFE, s.sensor_id, 0x00, 0x00};
    if (family->record.front() == 0xAA) // SIA and DASH replies start AA 55, as their records do
        sensor.insert(sensor.begin(), {0xAA, 0x55});
    return with_crc(sensor);
}

namespace {

// chips_answer() without the replies to the nth frame.
std::vector<uint8_t> ruled_answer(const HashBoardScenario &s, ChipState &state, FrameId frame,
                                  const ControlLineState &line)
{
    const int after = s.answers_after_cycles;
    if (after > 0 && !(line.high && line.cycles >= after))
        return {};
    // A reset of the chips forgets which register the sensor query reads.
    if (line.cycles != state.cycles_at_last_setup) {
        state.cycles_at_last_setup = line.cycles;
        state.sensor_selected = false;
    }
    std::vector<uint8_t> reply = reply_for(s, frame);
    // A register read is silent, unless a named reply says otherwise.
    if (frame == FrameId::LtcSensorRegisterRead || frame == FrameId::SiaDashSensorRegisterRead)
        state.sensor_selected = true;
    if (is_sensor_query(frame)) {
        if (!state.sensor_selected || reply.empty())
            return {};
        ++state.sensor_queries;
        const int k = s.sensor_answers_at_query;
        if (k <= 0 || state.sensor_queries < k)
            return {};
    }
    if (s.reply_limit && reply.size() > *s.reply_limit)
        reply.resize(*s.reply_limit);
    return reply;
}

} // namespace

// A reply to the nth frame replaces the chips' answer, but the chips still
// take the frame: a sensor query counts, a register read selects the sensor.
std::vector<uint8_t> chips_answer(const HashBoardScenario &s, ChipState &state, FrameId frame,
                                  const ControlLineState &line)
{
    const int nth = ++state.received.at(static_cast<size_t>(frame));
    std::vector<uint8_t> reply = ruled_answer(s, state, frame, line);
    const auto scripted = std::ranges::find_if(s.frame_replies, [frame, nth](const FrameReply &r) {
        return r.nth == nth && frame_named(r.frame_name) == frame;
    });
    return scripted == s.frame_replies.end() ? reply : scripted->bytes;
}

ControlLineState parse_control_line(const std::string &written)
{
    ControlLineState state;
    std::istringstream in(written);
    std::string line;
    bool seen_low = false;
    while (std::getline(in, line)) {
        state.writes.push_back(line);
        if (line == "0") {
            seen_low = true;
            state.high = false;
        } else if (line == "1") {
            // A cycle is a rise after a fall; a first "1" only confirms the level.
            if (seen_low && !state.high)
                ++state.cycles;
            state.high = true;
        }
    }
    return state;
}

} // namespace sim
