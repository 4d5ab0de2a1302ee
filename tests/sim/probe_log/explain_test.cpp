// SPDX-License-Identifier: MIT
// `board-sim explain` on logs built line by line as the program prints them:
// what it concludes (family, sensor, appended lines, cut-off logs, logs that
// are no probe run) and that the lines of a boot log around the run change
// nothing.
#include <gtest/gtest.h>

#include <regex>

#include "explain.h"
#include "transcript.h"

namespace {

using namespace board_sim;
using probe_test::printed;
using probe_test::Transcript;
using namespace probe_test;

std::string joined(const LogExplanation &e)
{
    std::string out;
    for (const std::string &line : e.text)
        out += line + "\n";
    return out;
}

bool says(const LogExplanation &e, const std::string &text)
{
    return joined(e).find(text) != std::string::npos;
}

// Every one of `texts` is in the explanation.
void expect_says(const LogExplanation &e, std::initializer_list<std::string> texts)
{
    for (const std::string &text : texts)
        EXPECT_TRUE(says(e, text)) << "'" << text << "' not in:\n" << joined(e);
}

TEST(Explain, LtcWithItsSensorAnsweringAtTheSecondAttempt)
{
    const Transcript log = Transcript()
                               .then(unanswered_attempt())
                               .then(ltc_detected())
                               .then(ltc_round(Transcript().then(ltc_query("")).then(ltc_query("0098fe55000018"))))
                               .sensor_ok("ltc");
    const LogExplanation e = explain_log(log_of(log));
    ASSERT_TRUE(e.probe_log);
    EXPECT_FALSE(e.cut_off) << joined(e);
    EXPECT_EQ(e.runs, 1);
    EXPECT_EQ(e.attempts, 2);
    EXPECT_EQ(e.families, std::vector<std::string>{"LTC"});
    EXPECT_EQ(e.other_lines, 0);
    expect_says(e, {"sent BTC detection (5405000019)", "no reply: nothing arrived",
                    "matches the LTC pattern (byte 0 = 0x14, byte 1 = 0x85)", "query 2 answered",
                    "sensor queries: 2 in 1 round", "/usr/bin/tempSensor: YES\n", "/usr/bin/minerType: LTC\n"});
}

TEST(Explain, SensorWithTheWrongIdentityGivesNoAfterAHundredQueries)
{
    Transcript ten;
    for (int q = 0; q < SENSOR_QUERIES_PER_ROUND; ++q)
        ten.then(ltc_query("0098fe54000018"));
    const LogExplanation e =
        explain_log(log_of(Transcript().then(ltc_detected()).repeat(SENSOR_ROUNDS, ltc_round(ten))));
    EXPECT_FALSE(e.cut_off) << joined(e);
    expect_says(e, {"rounds 1 to 10, each: 10 queries, 10 not matching (byte 3 is 0x54, not 0x55 or 0x1A)",
                    "temperature sensor: NO (100 queries, none matched)", "/usr/bin/tempSensor: NO\n"});
}

// A program before 0.2.0 on a chain longer than its detection read: the
// queries first read the rest of the detection reply, then the sensor's
// replies, each read straddling two of them, and it records NO.
TEST(Explain, OldProgramOnALongChainReadsRepliesOutOfStep)
{
    Transcript first;
    for (int q = 0; q < SENSOR_QUERIES_PER_ROUND; ++q)
        first.then(ltc_query(q < 9 ? "01148500000000" : "010098fe550000"));
    Transcript later;
    for (int q = 0; q < SENSOR_QUERIES_PER_ROUND; ++q)
        later.then(ltc_query("180098fe550000"));
    const LogExplanation e = explain_log(
        log_of(Transcript().then(ltc_detected()).then(ltc_round(first)).repeat(SENSOR_ROUNDS - 1, ltc_round(later))));
    expect_says(e, {"round 1: 10 queries, 10 not matching (a reply read out of step with its frame: the rest of "
                    "the chain's detection reply (7-byte records), not the answer to this query; a reply read "
                    "out of step with its frame: the end of the chain's detection reply, then from byte 1 the "
                    "start of a sensor reply)",
                    "rounds 2 to 10, each: 10 queries, 10 not matching (a reply read out of step with its "
                    "frame: it starts 6 bytes into a sensor reply and ends with the start of the next)",
                    "every read from query 1 on was a reply read out of step with its frame",
                    "This is a program before 0.2.0", "/usr/bin/tempSensor: NO\n"});
}

// The program from 0.2.0 on the same chain: the first query reads the tail of
// the detection reply still arriving, the second the sensor's own reply.
TEST(Explain, ProgramOnALongChainReadsTheDetectionTailThenTheSensor)
{
    const LogExplanation e = explain_log(
        log_of(Transcript()
                   .then(ltc_detected())
                   .then(ltc_round(Transcript().then(ltc_query("00000001148500")).then(ltc_query("0098fe55000018"))))));
    expect_says(e,
                {"round 1: 2 queries, 1 not matching (a reply read out of step with its frame: the rest of the "
                 "chain's detection reply (7-byte records), not the answer to this query)",
                 "query 2 answered", "1 read before the match took earlier replies (out of step with their frames)"});
    EXPECT_FALSE(says(e, "before 0.2.0 on a chain")) << joined(e);
    expect_says(e, {"/usr/bin/tempSensor: YES\n"});
}

// A detection reply that stands a byte into the read, after a stray byte.
TEST(Explain, ReplyShiftedByAStrayByteIsNamed)
{
    const LogExplanation e =
        explain_log(log_of(Transcript()
                               .opened()
                               .sent(probe_test::BTC_DETECT)
                               .silence()
                               .sent(probe_test::LTC_DETECT)
                               .received(LTC_REPLY_LEN, "77" + probe_test::LTC_CHAIN_REPLY.substr(0, 82))));
    expect_says(e, {"a reply read out of step with its frame: the pattern stands at byte 1, after bytes of an "
                    "earlier reply"});
}

// The shell's standard-error lines, where the log holds them, say what the
// program's own lines cannot: a record the shell could not write, a control
// line that was never driven.
TEST(Explain, StandardErrorLinesCorrectWhatWasAppended)
{
    const Transcript sensor = Transcript().then(ltc_detected()).then(ltc_round(ltc_query("0098fe55000018")));
    const std::string read_only = log_of(sensor) + "cat: /usr/bin/minerType: No such file or directory\n"
                                                   "sh: 1: cannot create /usr/bin/tempSensor: Read-only file system\n"
                                                   "sh: can't create /usr/bin/minerType: Read-only file system\n";
    LogExplanation e = explain_log(read_only);
    EXPECT_TRUE(e.standard_error);
    expect_says(e, {"/usr/bin/tempSensor: nothing: the shell could not write YES there (line ",
                    ": Read-only file system)", "/usr/bin/minerType: nothing: the shell could not write LTC there"});

    // Written: the records stand as the program's lines say.
    e = explain_log(log_of(sensor) + "cat: /usr/bin/minerType: No such file or directory\n");
    expect_says(e, {"/usr/bin/tempSensor: YES\n"});

    const std::string silent = log_of(Transcript().repeat(PROBE_ATTEMPTS, unanswered_attempt()));
    e = explain_log("sh: 1: cannot create /sys/class/gpio/gpio27/value: Directory nonexistent\n" + silent);
    expect_says(e, {"the control line was not written (line 1: /sys/class/gpio/gpio27/value: Directory "
                    "nonexistent)",
                    "not of the UART"});

    e = explain_log(silent + "cat: /usr/bin/minerType: No such file or directory\n");
    expect_says(e, {"the control line was written (standard error shows no failure)"});

    e = explain_log(silent);
    EXPECT_FALSE(e.standard_error);
    expect_says(e, {"the log holds no standard-error lines"});
}

TEST(Explain, ABootLogAroundTheRunChangesNothing)
{
    const Transcript run = Transcript()
                               .opened()
                               .sent(probe_test::BTC_DETECT)
                               .received(BTC_REPLY_LEN, "1387" + std::string(80, '0'))
                               .family("btc")
                               .line(BTC_SENSOR_TEXT);
    const LogExplanation clean = explain_log(log_of(run));
    std::string boot = "[    0.000000] Linux version 4.14\r\n[    1.2] serial8250: ttyS0 at MMIO\n";
    std::string text = log_of(run);
    size_t at = 0;
    for (size_t eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1)
        boot += "[   12.5] miner-probe: " + text.substr(at, eol - at) + "\r\n" + "random kernel noise\n";
    const LogExplanation noisy = explain_log(boot);
    EXPECT_EQ(noisy.families, std::vector<std::string>{"BTC"});
    EXPECT_EQ(noisy.probe_lines, clean.probe_lines);
    EXPECT_GT(noisy.other_lines, 0);
    expect_says(noisy, {"a BTC board is taken to have its sensor", "/usr/bin/tempSensor: YES\n"});
}

TEST(Explain, CutOffLogsAreSaidToBe)
{
    const LogExplanation mid_attempts = explain_log(log_of(Transcript().repeat(3, unanswered_attempt())));
    EXPECT_TRUE(mid_attempts.cut_off);
    expect_says(mid_attempts, {"cut off: the log ends after 3 attempts of 10"});

    const LogExplanation mid_sensor =
        explain_log(log_of(Transcript().then(ltc_detected()).then(ltc_round(ltc_query("")))));
    EXPECT_TRUE(mid_sensor.cut_off);
    expect_says(mid_sensor, {"ends inside the sensor detection"});

    const LogExplanation all_ten = explain_log(log_of(Transcript().repeat(PROBE_ATTEMPTS, unanswered_attempt())));
    EXPECT_FALSE(all_ten.cut_off);
    expect_says(all_ten, {"no family after 10 attempts: nothing appended"});
}

TEST(Explain, TextThatIsNoProbeRunSaysSo)
{
    for (const std::string &text : {std::string(), std::string("hello\nworld\n"), std::string(5000, 'x'),
                                    std::string("usb uart read exp_buf_len:x total_len:\n")}) {
        const LogExplanation e = explain_log(text);
        EXPECT_FALSE(e.probe_log);
        ASSERT_EQ(e.text.size(), 1u);
        EXPECT_NE(e.text[0].find("does not look like a miner-probe run"), std::string::npos);
    }
}

TEST(Explain, ShortReadsFailedWritesAndSeveralRuns)
{
    // A kernel serial driver that delivers the reply in pieces, too slowly for the read loop.
    const Transcript slow = Transcript()
                                .opened()
                                .sent(probe_test::BTC_DETECT)
                                .text(printed(READ_PASS_FORMAT, {"42", "0"}))
                                .text(printed(READ_PASS_FORMAT, {"42", "16"}))
                                .text(printed(READ_PASS_FORMAT, {"42", "32"}))
                                .text(printed(READ_BOUND_FORMAT, {"3"}))
                                .text(printed(READ_TOTAL_FORMAT, {"40"}))
                                .text(printed(TRACE_FORMAT, {RECEIVED_ARROW, "1487" + std::string(76, '0')}))
                                .line(READ_ERROR_TEXT)
                                .sent("")
                                .line(WRITE_FAILED_TEXT)
                                .sent(probe_test::SIA_DASH_DETECT)
                                .received(SIA_DASH_REPLY_LEN, "aa551799" + std::string(100, '0'))
                                .line(UNKNOWN_MINER_TEXT);
    const Transcript done =
        Transcript().text(printed(RECORD_PIECE_FORMAT, {"SIA\n"})).text(printed(ALREADY_DONE_FORMAT, {"SIA"}));
    const LogExplanation e = explain_log(log_of(Transcript().then(slow).then(done)));
    EXPECT_EQ(e.runs, 2) << joined(e);
    expect_says(e, {"short read: 40 of 42 bytes in 3 reads",
                    "does not match the BTC pattern (byte 0 = 0x13, byte 1 = 0x87): byte 0 is 0x14, not 0x13",
                    "the write failed: nothing went out",
                    "matches neither SIA nor DASH: byte 3 is 0x99, not 0x20; byte 3 is 0x99, not 0x60",
                    "the record names a family already"});

    // A record file without its last newline: the program's next line follows on the same line.
    const LogExplanation glued =
        explain_log(printed(RECORD_PIECE_FORMAT, {"DASH"}) + printed(ALREADY_DONE_FORMAT, {"DASH"}));
    EXPECT_FALSE(glued.cut_off) << joined(glued);
    expect_says(glued, {"recorded before: 'DASH'", "the record names a family already ('DASH')"});

    // A record line longer than the program's 19-character pieces.
    const LogExplanation pieces =
        explain_log(printed(RECORD_PIECE_FORMAT, {"0123456789012345678"}) + printed(RECORD_PIECE_FORMAT, {"9BTC\n"}) +
                    printed(ALREADY_DONE_FORMAT, {"9BTC"}));
    expect_says(pieces, {"recorded before: '01234567890123456789BTC'"});
}

// Every line the program can print is taken for its own, wherever its
// formats put a number, a path or hex digits; a line that only starts like
// one of them is not.
TEST(Explain, EveryLineOfTheProgramIsRecognised)
{
    const std::string log = printed(BAD_BAUD_FORMAT, {"9600"}) + Transcript().open_failed("/dev/ttyS0").str() +
                            std::string(UNKNOWN_MINER_TEXT) + "\n" + printed(OPENED_FORMAT, {"3", "2.000000"}) +
                            Transcript().sent(probe_test::BTC_DETECT).str() + std::string(SELECT_ERROR_TEXT) + "\n" +
                            Transcript().sent(probe_test::LTC_DETECT).str() + printed(NOT_READABLE_FORMAT, {"0"}) +
                            printed(READ_TOTAL_FORMAT, {"0"}) + std::string(READ_ERROR_TEXT) + "\n" +
                            printed(FAMILY_FORMAT, {"sia"}) + printed(SETUP_STEP_FORMAT, {"sia", CONFIGURE_MUX_STEP}) +
                            printed(READ_PASS_FORMAT, {"x", "0"}) + printed(FAMILY_FORMAT, {"xyz"}) +
                            printed(SENSOR_QUERY_FORMAT, {"btc"}) + printed(OPENED_FORMAT, {"3", "fast"});
    const LogExplanation e = explain_log(log);
    EXPECT_EQ(e.probe_lines, 12) << joined(e);
    EXPECT_EQ(e.other_lines, 4) << joined(e);
    expect_says(e, {"the serial device /dev/ttyS0 did not open", "waiting for the reply failed (select error)",
                    "select returned without the line being readable", "family found: SIA"});
}

TEST(Explain, LoggedExchangesNameFramesAndReads)
{
    const std::vector<LoggedExchange> x = logged_exchanges(log_of(ltc_detected()));
    ASSERT_EQ(x.size(), 2u);
    EXPECT_EQ(x[0].frame, "BTC detection");
    EXPECT_EQ(x[0].read, "timed out");
    EXPECT_EQ(x[1].frame, "LTC detection");
    EXPECT_EQ(x[1].read, "bytes");
    EXPECT_EQ(x[1].asked, 42);
    EXPECT_EQ(x[1].received, 42);
    EXPECT_EQ(x[1].reply.substr(0, 4), "1485");
    EXPECT_NE(x[1].verdict.find("matches the LTC pattern"), std::string::npos) << x[1].verdict;
}

// The one comparison of two logs' runs: the descriptor, line numbers and how
// a reply was chunked into reads do not count; a reply's byte does, even one
// no pattern tests.
TEST(Explain, RunDifferenceSeesBytesNotPositionsOrChunking)
{
    const std::string a =
        log_of(Transcript().then(ltc_detected()).then(ltc_round(ltc_query("0098fe55000018"))).sensor_ok("ltc"));
    const std::string one_read = "usb uart read exp_buf_len:7 total_len:0\nusb_uart_read break";
    const std::string two_reads =
        "usb uart read exp_buf_len:7 total_len:0\nusb uart read exp_buf_len:7 total_len:3\nusb_uart_read break";
    std::string b = "[    3.2] boot\n" + std::regex_replace(a, std::regex("success 3 "), "success 7 ");
    b.replace(b.find(one_read), one_read.size(), two_reads);
    EXPECT_EQ(run_difference(a, 1, b, 1), "");
    EXPECT_EQ(run_difference(a, 1, a + a, 2), "") << "the second run of a log of two";
    std::string c = a;
    c.replace(c.find("0098fe55000018"), 14, "0098fe55000019");
    EXPECT_NE(run_difference(a, 1, c, 1).find("0098fe55000019"), std::string::npos);
    EXPECT_NE(run_difference(a, 1, log_of(Transcript().then(ltc_detected())), 1), "");
}

} // namespace
