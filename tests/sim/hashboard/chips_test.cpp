// SPDX-License-Identifier: MIT
// The simulated hash board's chip rules without a line: which frame gets which
// reply from each family, the sensor answering or staying silent, and a frame
// the chips do not know.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash_board.h"
#include "text.h"

namespace {

using sim::ChipFamily;
using sim::FrameId;

TEST(FrameCatalogue, IdsNamesAndBytesAgree)
{
    ASSERT_EQ(sim::known_frames().size(), sim::FRAME_COUNT);
    for (size_t i = 0; i < sim::FRAME_COUNT; ++i) {
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
    const char *const names[] = {"no chips", "BTC", "LTC", "SIA", "DASH"};
    *os << names[static_cast<int>(c.family)];
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
    int cycles; // low-high cycles of the control line so far; it stands high
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
    sim::ChipChain chips(s);
    for (size_t i = 0; i < c.steps.size(); ++i) {
        sim::ControlLineState line;
        line.cycles = c.steps[i].cycles;
        line.high = true;
        EXPECT_EQ(!chips.answer(c.steps[i].frame, line).empty(), c.steps[i].answered) << c.name << ", step " << i;
    }
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

TEST(UnknownFrame, IsRecordedUnansweredUnderItsBytes)
{
    sim::HashBoardScenario s;
    s.family = ChipFamily::BTC;
    s.answers_after_cycles = 0;
    sim::HashBoard board(-1, s);
    std::vector<uint8_t> bad_crc = sim::frame_bytes(FrameId::BtcDetection);
    bad_crc.back() ^= 0x01;
    EXPECT_TRUE(board.receive(bad_crc).empty());
    EXPECT_FALSE(board.receive(sim::frame_bytes(FrameId::BtcDetection)).empty());
    const std::vector<sim::ReceivedFrame> frames = board.frames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].id, std::nullopt);
    EXPECT_STREQ(frames[0].name(), "unknown");
    EXPECT_FALSE(frames[0].crc_ok);
    EXPECT_FALSE(frames[0].answered);
    EXPECT_STREQ(frames[1].name(), "BTC detection");
    EXPECT_TRUE(frames[1].answered);
}

} // namespace
