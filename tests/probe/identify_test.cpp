// SPDX-License-Identifier: MIT
// The identification routine over the scripted link layer of fake_link.h: a
// call out of order fails the test, and so does a scripted call left unused;
// the fixed waits of each path are checked too.
#include <gtest/gtest.h>

#include <tuple>

#include "fake_link.h"
#include "frames.h"
#include "identify.h"
#include "miner_result.h"

namespace {

const std::string YES = "echo \"YES\" >> /usr/bin/tempSensor";
const std::string NO = "echo \"NO\" >> /usr/bin/tempSensor";

// A reply of `len` bytes that starts with `head`, the rest filler.
Bytes reply(int len, const Bytes &head)
{
    Bytes out(static_cast<size_t>(len), 0x5A);
    std::copy(head.begin(), head.end(), out.begin());
    return out;
}

const Bytes BTC_ANSWER = reply(BTC_REPLY_LEN, {0x13, 0x87});
const Bytes LTC_ANSWER = reply(LTC_REPLY_LEN, {0x14, 0x85});
const Bytes SIA_ANSWER = reply(SIA_DASH_REPLY_LEN, {0xAA, 0x55, 0x17, 0x20});
const Bytes DASH_ANSWER = reply(SIA_DASH_REPLY_LEN, {0xAA, 0x55, 0x17, 0x60});
const Bytes LTC_SENSOR_ANSWER = reply(LTC_SENSOR_REPLY_LEN, {0x00, 0x98, 0xFE, 0x55});
const Bytes SIA_DASH_SENSOR_ANSWER = reply(SIA_DASH_SENSOR_REPLY_LEN, {0xAA, 0x55, 0x00, 0x98, 0xFE, 0x1A});

// The expected conversation, built in the order it happens.
class Script {
public:
    Script &sends(const Frame &f, bool ok = true) { return add({Kind::Write, Bytes(f.bytes, f.bytes + f.len), 0, ok}); }
    Script &send_fails(const Frame &f) { return sends(f, false); }
    Script &answer(int len, const Bytes &bytes = {}) { return add({Kind::Read, bytes, len}); }
    Script &silence(int len) { return answer(len); }
    Script &runs(const std::string &command) { return add({Kind::Shell, {}, 0, true, command}); }
    Script &repeat(int times, const Script &block)
    {
        for (int i = 0; i < times; ++i)
            calls_.insert(calls_.end(), block.calls_.begin(), block.calls_.end());
        return *this;
    }
    Script &then(const Script &block) { return repeat(1, block); }

    // Detection stages that get no answer.
    Script &btc_silent() { return sends(BTC_DETECT_FRAME).silence(BTC_REPLY_LEN); }
    Script &ltc_silent() { return sends(LTC_DETECT_FRAME).silence(LTC_REPLY_LEN); }
    Script &sia_dash_silent() { return sends(SIA_DASH_DETECT_FRAME).silence(SIA_DASH_REPLY_LEN); }

    // A family recognised at its own stage, the earlier stages silent.
    Script &btc_found() { return sends(BTC_DETECT_FRAME).answer(BTC_REPLY_LEN, BTC_ANSWER); }
    Script &ltc_found() { return btc_silent().sends(LTC_DETECT_FRAME).answer(LTC_REPLY_LEN, LTC_ANSWER); }
    Script &sia_dash_found(const Bytes &reply)
    {
        return btc_silent().ltc_silent().sends(SIA_DASH_DETECT_FRAME).answer(SIA_DASH_REPLY_LEN, reply);
    }

    // One sensor attempt's set-up frames.
    Script &ltc_setup() { return sends(LTC_MISC_CONFIG_FRAME).sends(LTC_SENSOR_REGISTER_FRAME); }
    Script &sia_dash_setup()
    {
        return sends(SIA_DASH_MISC_CONFIG_FRAME).sends(SIA_DASH_MUX_CONFIG_FRAME).sends(SIA_DASH_SENSOR_REGISTER_FRAME);
    }
    Script &ltc_query(const Bytes &answered = {})
    {
        return sends(LTC_SENSOR_QUERY_FRAME).answer(LTC_SENSOR_REPLY_LEN, answered);
    }
    Script &sia_dash_query(const Bytes &answered = {})
    {
        return sends(SIA_DASH_SENSOR_QUERY_FRAME).answer(SIA_DASH_SENSOR_REPLY_LEN, answered);
    }

    const std::vector<Call> &calls() const { return calls_; }

private:
    Script &add(Call c)
    {
        calls_.push_back(std::move(c));
        return *this;
    }
    std::vector<Call> calls_;
};

// Milliseconds of fixed waits: sensor set-up per attempt and per query.
constexpr long LTC_SETUP_MS = 5 + 20;
constexpr long SIA_DASH_SETUP_MS = 5 + 5 + 20;
constexpr long UNANSWERED_QUERY_MS = 5 + 2 + 5; // pause, first-byte wait, pause
constexpr long ATTEMPT_PAUSE_MS = 10;
constexpr long DETECTION_WAIT_MS = 2;

class Identify : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = FakeLink{};
        uart_fd = -1;
    }
    void TearDown() override
    {
        for (size_t i = fake.next; i < fake.script.size() && !fake.derailed; ++i)
            ADD_FAILURE() << "scripted call " << i << " not used: " << describe(fake.script[i]);
    }

    // Runs one attempt against `script`; the fake must be opened once and
    // closed once, whatever the path.
    int probe(bool alt_board, const Script &script)
    {
        fake.script = script.calls();
        testing::internal::CaptureStdout();
        const int result = probe_miner_type(alt_board);
        out_ = testing::internal::GetCapturedStdout();
        EXPECT_EQ(fake.opens, 1);
        EXPECT_EQ(fake.closes, 1);
        EXPECT_EQ(uart_fd, -1);
        EXPECT_EQ(fake.opened_path, alt_board ? "/dev/ttyS0" : "/dev/ttyATH0");
        return result;
    }
    long slept_ms() const { return fake.slept_us / 1000; }
    int times_printed(const std::string &line) const
    {
        int n = 0;
        for (size_t at = out_.find(line + "\n"); at != std::string::npos; at = out_.find(line + "\n", at + 1))
            n += at == 0 || out_[at - 1] == '\n' ? 1 : 0;
        return n;
    }

    std::string out_;
};

// One attempt's detection stages: the family found or none, what the attempt
// printed and how long it waited for replies.
TEST_F(Identify, DetectionStages)
{
    const std::string btc = "btc miner\nBTC miner should always have temp sensor\n";
    const struct {
        bool alt_board;
        bool open_fails;
        Script script;
        int result;
        std::string out;
        long slept_ms;
    } cases[] = {
        // On the default board BTC is taken to have a sensor without a query.
        {false, false, Script().btc_found().runs(YES), MINER_BTC, btc, 0},
        // Each family at its stage on the alternate board, without sensor detection.
        {true, false, Script().btc_found(), MINER_BTC, "btc miner\n", 0},
        {true, false, Script().ltc_found(), MINER_LTC, "ltc miner\n", DETECTION_WAIT_MS},
        {true, false, Script().sia_dash_found(SIA_ANSWER), MINER_SIA, "sia miner\n", 2 * DETECTION_WAIT_MS},
        {true, false, Script().sia_dash_found(DASH_ANSWER), MINER_DASH, "dash miner\n", 2 * DETECTION_WAIT_MS},
        // A short reply counts by its first bytes.
        {false, false, Script().sends(BTC_DETECT_FRAME).answer(BTC_REPLY_LEN, {0x13, 0x87}).runs(YES), MINER_BTC, btc,
         0},
        // Each frame's reply is tested against its own families only, and a
        // SIA/DASH reply with another fourth byte is nobody's.
        {false, false,
         Script()
             .sends(BTC_DETECT_FRAME)
             .answer(BTC_REPLY_LEN, LTC_ANSWER)
             .sends(LTC_DETECT_FRAME)
             .answer(LTC_REPLY_LEN, BTC_ANSWER)
             .sends(SIA_DASH_DETECT_FRAME)
             .answer(SIA_DASH_REPLY_LEN, reply(SIA_DASH_REPLY_LEN, {0xAA, 0x55, 0x17, 0x21})),
         MINER_UNKNOWN, "unknown miner\n", 0},
        // A silent board: only the wait for each stage's first byte.
        {false, false, Script().btc_silent().ltc_silent().sia_dash_silent(), MINER_UNKNOWN, "unknown miner\n",
         3 * DETECTION_WAIT_MS},
        // A link that cannot be opened falls through every stage.
        {false, true, Script(), MINER_UNKNOWN, "unknown miner\n", 0},
    };
    for (const auto &c : cases) {
        SetUp();
        fake.open_fails = c.open_fails;
        EXPECT_EQ(probe(c.alt_board, c.script), c.result) << c.out;
        EXPECT_EQ(out_, c.out);
        EXPECT_EQ(slept_ms(), c.slept_ms) << c.out;
        TearDown();
    }
}

TEST_F(Identify, FailedLtcSetUpWriteSkipsTheRestOfTheAttempt)
{
    const Script answered = Script().ltc_setup().ltc_query(LTC_SENSOR_ANSWER).runs(YES);

    EXPECT_EQ(probe(false, Script().ltc_found().send_fails(LTC_MISC_CONFIG_FRAME).then(answered)), MINER_LTC);
    EXPECT_EQ(times_printed("ltc configure misc"), 1);
    EXPECT_EQ(slept_ms(), DETECTION_WAIT_MS + ATTEMPT_PAUSE_MS + LTC_SETUP_MS + 5);

    SetUp();
    EXPECT_EQ(
        probe(false,
              Script().ltc_found().sends(LTC_MISC_CONFIG_FRAME).send_fails(LTC_SENSOR_REGISTER_FRAME).then(answered)),
        MINER_LTC);
    EXPECT_EQ(times_printed("ltc configure misc"), 2);
    EXPECT_EQ(times_printed("ltc read temp sensor register 0xfe"), 1);
    EXPECT_EQ(slept_ms(), DETECTION_WAIT_MS + 5 + ATTEMPT_PAUSE_MS + LTC_SETUP_MS + 5);
}

TEST_F(Identify, FailedQueryWriteGoesStraightToTheNextQuery)
{
    EXPECT_EQ(
        probe(
            false,
            Script().ltc_found().ltc_setup().send_fails(LTC_SENSOR_QUERY_FRAME).ltc_query(LTC_SENSOR_ANSWER).runs(YES)),
        MINER_LTC);
    // No pause, read or message for the failed query.
    EXPECT_EQ(slept_ms(), DETECTION_WAIT_MS + LTC_SETUP_MS + 5);
    EXPECT_EQ(times_printed("ltc send get temp sensor register"), 1);
}

// Paths through the sensor procedure and failed writes, each checked by its
// script, with the fixed waits where they tell the path (-1: not checked).
// Their printed lines are the end-to-end tests' (tests/probe/*board_test.cpp).
TEST_F(Identify, ScriptedPaths)
{
    const auto ltc_every_query_answered = [](const Bytes &head) {
        const Script attempt = Script().ltc_setup().repeat(10, Script().ltc_query(reply(LTC_SENSOR_REPLY_LEN, head)));
        return Script().ltc_found().repeat(10, attempt).runs(NO);
    };
    const Script sia_answered = Script().sia_dash_setup().sia_dash_query(SIA_DASH_SENSOR_ANSWER).runs(YES);
    const Script sia_found = Script().sia_dash_found(SIA_ANSWER);
    const struct {
        bool alt_board;
        Script script;
        int result;
        long slept_ms;
    } cases[] = {
        // A sensor answering the third query: the two unanswered queries,
        // then the answered one's 5 ms pause.
        {false, Script().ltc_found().ltc_setup().ltc_query().ltc_query().ltc_query(LTC_SENSOR_ANSWER).runs(YES),
         MINER_LTC, DETECTION_WAIT_MS + LTC_SETUP_MS + 2 * UNANSWERED_QUERY_MS + 5},
        // SIA and DASH sensors answering the first query.
        {false, Script(sia_found).then(sia_answered), MINER_SIA, 2 * DETECTION_WAIT_MS + SIA_DASH_SETUP_MS + 5},
        {false, Script().sia_dash_found(DASH_ANSWER).then(sia_answered), MINER_DASH,
         2 * DETECTION_WAIT_MS + SIA_DASH_SETUP_MS + 5},
        // A sensor that never answers gets ten attempts of ten queries, then
        // NO: 10 x (25 + 10 x 12 + 10) ms for LTC.
        {false, Script().ltc_found().repeat(10, Script().ltc_setup().repeat(10, Script().ltc_query())).runs(NO),
         MINER_LTC, DETECTION_WAIT_MS + 10 * (LTC_SETUP_MS + 10 * UNANSWERED_QUERY_MS + ATTEMPT_PAUSE_MS)},
        {false, Script(sia_found).repeat(10, Script().sia_dash_setup().repeat(10, Script().sia_dash_query())).runs(NO),
         MINER_SIA, 2 * DETECTION_WAIT_MS + 10 * (SIA_DASH_SETUP_MS + 10 * UNANSWERED_QUERY_MS + ATTEMPT_PAUSE_MS)},
        // Every query answered in full, but with the identity 0x54, or with a
        // top status bit set: still NO. The other identity with free low
        // status bits is an answer.
        {false, ltc_every_query_answered({0x00, 0x98, 0xFE, 0x54}), MINER_LTC, -1},
        {false, ltc_every_query_answered({0x40, 0x98, 0xFE, 0x55}), MINER_LTC, -1},
        {false, ltc_every_query_answered({0x80, 0x98, 0xFE, 0x1A}), MINER_LTC, -1},
        {false,
         Script().ltc_found().ltc_setup().ltc_query(reply(LTC_SENSOR_REPLY_LEN, {0x3F, 0x98, 0xFE, 0x1A})).runs(YES),
         MINER_LTC, -1},
        // The eleventh query, after a fresh set-up, is answered.
        {false,
         Script()
             .ltc_found()
             .ltc_setup()
             .repeat(10, Script().ltc_query())
             .ltc_setup()
             .ltc_query(LTC_SENSOR_ANSWER)
             .runs(YES),
         MINER_LTC, -1},
        // A short sensor reply is judged on its own bytes: the first reply
        // fails only by its status bit; the second brings three bytes. Were
        // the buffer not cleared, the first reply's tail would complete the
        // second into a match.
        {false,
         Script()
             .sia_dash_found(DASH_ANSWER)
             .sia_dash_setup()
             .sia_dash_query(reply(SIA_DASH_SENSOR_REPLY_LEN, {0xAA, 0x55, 0x40, 0x98, 0xFE, 0x55}))
             .sia_dash_query({0xAA, 0x55, 0x00})
             .sia_dash_query(SIA_DASH_SENSOR_ANSWER)
             .runs(YES),
         MINER_DASH, -1},
        // A failed detection write skips only its stage.
        {true,
         Script()
             .send_fails(BTC_DETECT_FRAME)
             .send_fails(LTC_DETECT_FRAME)
             .sends(SIA_DASH_DETECT_FRAME)
             .answer(SIA_DASH_REPLY_LEN, SIA_ANSWER),
         MINER_SIA, -1},
        {false, Script().send_fails(BTC_DETECT_FRAME).send_fails(LTC_DETECT_FRAME).send_fails(SIA_DASH_DETECT_FRAME),
         MINER_UNKNOWN, 0},
        // A failed SIA/DASH set-up write skips the rest of the attempt.
        {false, Script(sia_found).send_fails(SIA_DASH_MISC_CONFIG_FRAME).then(sia_answered), MINER_SIA, -1},
        {false,
         Script(sia_found).sends(SIA_DASH_MISC_CONFIG_FRAME).send_fails(SIA_DASH_MUX_CONFIG_FRAME).then(sia_answered),
         MINER_SIA, -1},
        {false,
         Script(sia_found)
             .sends(SIA_DASH_MISC_CONFIG_FRAME)
             .sends(SIA_DASH_MUX_CONFIG_FRAME)
             .send_fails(SIA_DASH_SENSOR_REGISTER_FRAME)
             .then(sia_answered),
         MINER_SIA, -1},
        // A set-up that always fails gives NO without a query.
        {false, Script().ltc_found().repeat(10, Script().send_fails(LTC_MISC_CONFIG_FRAME)).runs(NO), MINER_LTC,
         DETECTION_WAIT_MS + 10 * ATTEMPT_PAUSE_MS},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SetUp();
        EXPECT_EQ(probe(cases[i].alt_board, cases[i].script), cases[i].result) << "case " << i;
        if (cases[i].slept_ms >= 0) {
            EXPECT_EQ(slept_ms(), cases[i].slept_ms) << "case " << i;
        }
        TearDown();
    }
}

} // namespace
