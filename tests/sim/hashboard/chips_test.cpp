// SPDX-License-Identifier: MIT
// The simulated hash board's chip rules without a line: which frame gets which
// reply from each family, the sensor answering or staying silent, and a frame
// the chips do not know. Then the line's byte stream, however it is chunked,
// taken apart into frames.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hash_board.h"
#include "sandbox.h"
#include "text.h"

namespace {

using sim::ChipFamily;
using sim::FrameId;
using Bytes = std::vector<uint8_t>;

TEST(FrameCatalogue, IdsNamesAndBytesAgree)
{
    ASSERT_EQ(sim::known_frames().back().id, FrameId::SiaDashSensorQuery);
    for (size_t i = 0; i < sim::known_frames().size(); ++i) {
        const sim::KnownFrame &known = sim::known_frames()[i];
        EXPECT_EQ(static_cast<size_t>(known.id), i) << known.name << " is out of FrameId order";
        EXPECT_EQ(sim::frame_named(known.name), known.id);
        EXPECT_TRUE(sim::frame_crc_ok(known.bytes)) << known.name;
    }
    EXPECT_EQ(sim::frame_named("ltc detection"), std::nullopt) << "names are matched as spelled";
}

// One chip's answers: the detection record and the sensor reply (empty: none).
struct FamilyCase {
    ChipFamily family;
    FrameId detection;
    const char *record;
    FrameId sensor_query;
    const char *sensor;
};

void PrintTo(const FamilyCase &c, std::ostream *os)
{
    *os << sim::chip_family_name(c.family);
}

class FrameToReply : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(FrameToReply, OnlyTheFamilysDetectionAndSensorQueryAreAnswered)
{
    const FamilyCase c = GetParam();
    sim::HashBoardScenario s;
    s.family = c.family;
    s.wire = sim::WireModel{};
    s.wire->chips = 1;
    for (const sim::KnownFrame &known : sim::known_frames()) {
        const std::string reply = sim::hex_bytes(sim::reply_for(s, known.id));
        const char *expected = known.id == c.detection ? c.record : known.id == c.sensor_query ? c.sensor : "";
        EXPECT_EQ(reply, expected) << known.name;
    }
    // Every chip of a longer chain adds its record; the sensor answers once.
    s.wire->chips = 3;
    EXPECT_EQ(sim::hex_bytes(sim::reply_for(s, c.detection)), std::string(c.record) + c.record + c.record);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FrameToReply,
    ::testing::Values(FamilyCase{ChipFamily::None, FrameId::BtcDetection, "", FrameId::LtcSensorQuery, ""},
                      FamilyCase{ChipFamily::BTC, FrameId::BtcDetection, "1387900000000d", FrameId::LtcSensorQuery, ""},
                      FamilyCase{ChipFamily::LTC, FrameId::LtcDetection, "14850000000001", FrameId::LtcSensorQuery,
                                 "0098fe55000018"},
                      FamilyCase{ChipFamily::SIA, FrameId::SiaDashDetection, "aa551720000000001b",
                                 FrameId::SiaDashSensorQuery, "aa550098fe5500001c"},
                      FamilyCase{ChipFamily::DASH, FrameId::SiaDashDetection, "aa5517600000000015",
                                 FrameId::SiaDashSensorQuery, "aa550098fe5500001c"}));

// A run of frames to an LTC chain, and which of them the chips answer.
struct Step {
    FrameId frame;
    int cycles; // low-high cycles of the control line so far, which leave it high
    bool answered;
};
struct ChainCase {
    const char *name;
    int answers_after_cycles;
    int sensor_answers_at_query;
    std::vector<Step> steps;
};

void PrintTo(const ChainCase &c, std::ostream *os)
{
    *os << c.name;
}

class ChainOverARun : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainOverARun, AnswersFollowPowerRegisterReadAndQueryCount)
{
    const ChainCase &c = GetParam();
    sim::HashBoardScenario s;
    s.family = ChipFamily::LTC;
    s.answers_after_cycles = c.answers_after_cycles;
    s.sensor_answers_at_query = c.sensor_answers_at_query;
    s.control_line_path = testing::TempDir() + "control-line-" + std::to_string(getpid());
    sim::HashBoard board(-1, s);
    for (size_t i = 0; i < c.steps.size(); ++i) {
        std::string written;
        for (int cycle = 0; cycle < c.steps[i].cycles; ++cycle)
            written += "0\n1\n";
        ASSERT_TRUE(sim::Sandbox::write_file(s.control_line_path, written));
        EXPECT_EQ(!board.receive(sim::frame_bytes(c.steps[i].frame)).empty(), c.steps[i].answered)
            << c.name << ", step " << i;
    }
    unlink(s.control_line_path.c_str());
}

constexpr FrameId DETECT = FrameId::LtcDetection;
constexpr FrameId SELECT = FrameId::LtcSensorRegisterRead;
constexpr FrameId QUERY = FrameId::LtcSensorQuery;

INSTANTIATE_TEST_SUITE_P(
    Sensor, ChainOverARun,
    ::testing::Values(
        ChainCase{"unpowered until the second cycle", 2, 1, {{DETECT, 1, false}, {DETECT, 2, true}}},
        ChainCase{"a query before the register read is silent",
                  1,
                  1,
                  {{QUERY, 1, false}, {SELECT, 1, false}, {QUERY, 1, true}}},
        ChainCase{"a reset forgets the register read",
                  1,
                  1,
                  {{SELECT, 1, false}, {QUERY, 2, false}, {SELECT, 2, false}, {QUERY, 2, true}}},
        ChainCase{"answers from the third query on",
                  1,
                  3,
                  {{SELECT, 1, false}, {QUERY, 1, false}, {QUERY, 1, false}, {QUERY, 1, true}, {QUERY, 1, true}}},
        ChainCase{"a sensor that never answers", 0, 0, {{SELECT, 0, false}, {QUERY, 0, false}, {QUERY, 0, false}}}));

// A reply to the nth frame of a name is given whatever the control line and
// the sensor would do, and the chips still count the query it answers.
TEST(NthReply, ReplacesOnlyThatFrameAndTheQueryStillCounts)
{
    sim::HashBoardScenario s;
    s.family = ChipFamily::LTC;
    s.answers_after_cycles = 2;
    s.sensor_answers_at_query = 3;
    s.frame_replies = {{"LTC detection", {0x14, 0x85}, 1}, {"LTC sensor query", {0x01}, 2}};
    sim::ChipState chips;
    sim::ControlLineState line;
    line.high = true;
    line.cycles = 1;
    EXPECT_EQ(sim::chips_answer(s, chips, DETECT, line), (Bytes{0x14, 0x85})) << "unpowered, yet answered";
    EXPECT_TRUE(sim::chips_answer(s, chips, DETECT, line).empty()) << "the second detection: unpowered";
    line.cycles = 2;
    EXPECT_EQ(sim::chips_answer(s, chips, DETECT, line).size(), 42u) << "the third: the chain's own reply";
    sim::chips_answer(s, chips, SELECT, line);
    EXPECT_TRUE(sim::chips_answer(s, chips, QUERY, line).empty()) << "query 1: before the sensor answers";
    EXPECT_EQ(sim::chips_answer(s, chips, QUERY, line), Bytes{0x01}) << "query 2: its own reply";
    EXPECT_EQ(sim::chips_answer(s, chips, QUERY, line).size(), 7u) << "query 3: the pinned one was counted";
}

sim::HashBoardScenario btc_board()
{
    sim::HashBoardScenario s;
    s.family = ChipFamily::BTC;
    s.answers_after_cycles = 0;
    return s;
}

std::vector<std::string> frame_names(const sim::HashBoard &board)
{
    std::vector<std::string> names;
    for (const sim::ReceivedFrame &f : board.frames())
        names.emplace_back(f.name());
    return names;
}

TEST(UnknownFrame, IsRecordedUnansweredUnderItsBytes)
{
    sim::HashBoard board(-1, btc_board());
    std::vector<uint8_t> bad_crc = sim::frame_bytes(FrameId::BtcDetection);
    bad_crc.back() ^= 0x01;
    EXPECT_TRUE(board.receive(bad_crc).empty());
    EXPECT_FALSE(board.receive(sim::frame_bytes(FrameId::BtcDetection)).empty());
    ASSERT_EQ(frame_names(board), (std::vector<std::string>{"unknown", "BTC detection"}));
    const std::vector<sim::ReceivedFrame> frames = board.frames();
    EXPECT_FALSE(frames[0].crc_ok);
    EXPECT_FALSE(frames[0].answered);
    EXPECT_TRUE(frames[1].answered);
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Reads split a frame anywhere: it is answered when its last byte comes (one
// byte a read: see the noise below).
TEST(LineStream, FrameIsAnsweredWhenItsLastByteComesHoweverItIsChunked)
{
    const Bytes frame = sim::frame_bytes(FrameId::BtcDetection);
    const Bytes reply = sim::reply_for(btc_board(), FrameId::BtcDetection);
    for (size_t cut = 1; cut < frame.size(); ++cut) {
        sim::HashBoard board(-1, btc_board());
        EXPECT_TRUE(board.receive(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut))).empty()) << cut;
        EXPECT_EQ(board.receive(Bytes(frame.begin() + static_cast<long>(cut), frame.end())), reply) << cut;
        EXPECT_EQ(frame_names(board), std::vector<std::string>{"BTC detection"}) << cut;
    }
}

TEST(LineStream, EveryFrameOfAReadIsTakenAPartialOneKeptAndCutShortAtStop)
{
    sim::HashBoard board(-1, btc_board());
    const Bytes btc = sim::frame_bytes(FrameId::BtcDetection);
    const Bytes sia = sim::frame_bytes(FrameId::SiaDashDetection);
    const Bytes reply = sim::reply_for(btc_board(), FrameId::BtcDetection);
    // BTC, SIA (unanswered) and the first two bytes of BTC, then the rest.
    EXPECT_EQ(board.receive(joined({btc, sia, Bytes(btc.begin(), btc.begin() + 2)})), reply);
    EXPECT_EQ(board.receive(Bytes(btc.begin() + 2, btc.end())), reply);
    EXPECT_EQ(frame_names(board), (std::vector<std::string>{"BTC detection", "SIA/DASH detection", "BTC detection"}));
    const Bytes cut(btc.begin(), btc.begin() + 3);
    EXPECT_TRUE(board.receive(cut).empty());
    EXPECT_EQ(board.frames().size(), 3U) << "taken before the frame could complete";
    board.stop();
    ASSERT_EQ(board.frames().size(), 4U);
    EXPECT_EQ(board.frames()[3].bytes, cut);
    EXPECT_STREQ(board.frames()[3].name(), "unknown");
}

// Bytes that make no catalogued frame are one unknown frame up to the next
// whole frame, whether they came in one read or one at a time.
TEST(LineStream, NoiseBeforeAFrameIsOneUnknownFrame)
{
    const Bytes noise = {0x00, 0x54, 0x05, 0xFF}; // the middle of it looks like a frame's start
    const Bytes btc = sim::frame_bytes(FrameId::BtcDetection);
    for (const bool bytewise : {false, true}) {
        sim::HashBoard board(-1, btc_board());
        const Bytes all = joined({noise, btc});
        Bytes got;
        if (bytewise)
            for (uint8_t b : all)
                got = board.receive({b});
        else
            got = board.receive(all);
        EXPECT_EQ(got, sim::reply_for(btc_board(), FrameId::BtcDetection)) << bytewise;
        const std::vector<sim::ReceivedFrame> frames = board.frames();
        ASSERT_EQ(frames.size(), 2U) << bytewise;
        EXPECT_EQ(frames[0].bytes, noise);
        EXPECT_FALSE(frames[0].id.has_value());
        EXPECT_STREQ(frames[1].name(), "BTC detection");
    }
}

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The board serving a socket, as it serves an emulator's UART.
class SocketLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override
    {
        board_.reset();
        close(fds_[0]);
        close(fds_[1]);
    }
    void start(const sim::HashBoardScenario &s)
    {
        board_ = std::make_unique<sim::HashBoard>(fds_[1], s);
        board_->start();
    }
    void send(const Bytes &bytes)
    {
        ASSERT_EQ(write(fds_[0], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The first reply byte and when it came; nullopt after a second.
    std::optional<uint8_t> first_reply_byte(int64_t *at)
    {
        struct pollfd p = {fds_[0], POLLIN, 0};
        uint8_t b = 0;
        if (poll(&p, 1, 1000) != 1 || read(fds_[0], &b, 1) != 1)
            return std::nullopt;
        *at = now_ns();
        return b;
    }

    int fds_[2] = {-1, -1};
    std::unique_ptr<sim::HashBoard> board_;
};

TEST_F(SocketLine, AFrameCutShortIsUnknownOnceTheLineIsQuiet)
{
    start(btc_board());
    const Bytes btc = sim::frame_bytes(FrameId::BtcDetection);
    send(Bytes(btc.begin(), btc.begin() + 3));
    usleep(sim::HashBoard::QUIET_MS * 1000 / 2);
    EXPECT_TRUE(board_->frames().empty()) << "taken before the line was quiet";
    usleep(sim::HashBoard::QUIET_MS * 1000 * 2);
    ASSERT_EQ(frame_names(*board_), std::vector<std::string>{"unknown"});
    EXPECT_EQ(board_->frames()[0].bytes, Bytes(btc.begin(), btc.begin() + 3));
    // A whole frame after it is recognised and answered.
    send(btc);
    int64_t at = 0;
    EXPECT_EQ(first_reply_byte(&at), sim::reply_for(btc_board(), FrameId::BtcDetection).front());
}

// On the paced wire a frame ends when its last byte was read, not its first:
// counted from the first, the reply would be due before the last was sent.
TEST_F(SocketLine, PacedReplyCountsFromTheFramesLastByte)
{
    sim::HashBoardScenario s = btc_board();
    s.wire = sim::WireModel{1, 20'000, 0.0, 1};
    start(s);
    const Bytes btc = sim::frame_bytes(FrameId::BtcDetection);
    send(Bytes(btc.begin(), btc.begin() + 2));
    usleep(30'000);
    const int64_t last_sent = now_ns();
    send(Bytes(btc.begin() + 2, btc.end()));
    int64_t at = 0;
    ASSERT_TRUE(first_reply_byte(&at).has_value());
    EXPECT_GE(at, last_sent + 20'000'000);
}

} // namespace
