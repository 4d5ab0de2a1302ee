// SPDX-License-Identifier: MIT
// The one way the probe suites run the shipped miner-probe (sim::run_miner_probe)
// and the expected logs they share. A test program runs on one board: the
// namespace, or the emulated board; each program defines ON_EMULATED_BOARD,
// so that the suite both run (either_board_test.cpp) is compiled once.
// On the emulated board the driver decides how a reply is chunked into reads;
// unchunked() folds that away, so that both boards' logs compare exactly.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "probe_lines.h"
#include "probe_run.h"
#include "target_command.h"
#include "text.h"
#include "transcript.h"

namespace probe_test {

// Defined by each test program: true in the emulated board's.
extern const bool ON_EMULATED_BOARD;

// A whole reply read in several pieces prints one "exp_buf_len" line per read
// before its "break" line; a pseudo-terminal delivers it in one. Keep one.
// Under load a reply can also come in too slowly for the read's three calls:
// the read ends short ("3 times", "error"), and the rest of the reply is
// discarded before the next frame goes out. When the bytes read are the start
// of one of `whole` (the replies the board sends), that read is written as
// the whole reply arriving at once, so that only its read lines differ.
inline std::string unchunked(const std::string &out, const std::vector<std::vector<uint8_t>> &whole)
{
    using board_sim::Said;
    const std::string text = normalized(out);
    const std::vector<board_sim::ProbeLine> lines = board_sim::probe_lines(text);
    std::vector<std::string> folded; // the lines of `text`, each with its newline
    for (const board_sim::ProbeLine &l : lines)
        folded.push_back(std::string(l.whole) + "\n");
    if (!text.empty() && !text.ends_with('\n'))
        folded.back().pop_back();
    // The lines of lines[from] to lines[to] become `with`.
    const auto fold = [&folded](size_t from, size_t to, const std::string &with) {
        for (size_t k = from; k <= to; ++k)
            folded[k] = k == from ? with : "";
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].said != Said::ReadPass)
            continue;
        // A read: its calls, then its end, total, trace and error.
        size_t j = i;
        const auto take = [&lines, &j](Said said) {
            const bool next = j + 1 < lines.size() && lines[j + 1].said == said;
            j += next ? 1 : 0;
            return next;
        };
        while (take(Said::ReadPass)) {
        }
        const size_t last_call = j;
        const long len = lines[j].n;
        const std::string one_call = printed(READ_PASS_FORMAT, {std::to_string(len), "0"});
        if (take(Said::ReadFull)) {
            fold(i, last_call, one_call);
        } else if (take(Said::ReadBound) && take(Said::ReadTotal) && take(Said::Received)) {
            const std::string &got = lines[j].text;
            if (lines[j - 2].n == 3 && lines[j - 1].n == len) // whole, completed by the third read
                fold(i, j, Transcript().received(static_cast<int>(len), got).str());
            else if (take(Said::ReadError))
                for (const std::vector<uint8_t> &reply : whole) {
                    const std::string hex = sim::hex_bytes(reply);
                    if (reply.size() == static_cast<size_t>(len) && got.size() < hex.size() &&
                        hex.compare(0, got.size(), got) == 0)
                        fold(i, j, Transcript().received(static_cast<int>(len), hex).str());
                }
        }
        i = j;
    }
    return std::accumulate(folded.begin(), folded.end(), std::string());
}

inline sim::ProbeRunConfig board(sim::ChipFamily family)
{
    sim::ProbeRunConfig config;
    config.board.family = family;
    return config;
}

inline std::string reply_hex(const sim::ProbeRunConfig &config, sim::FrameId frame)
{
    return sim::hex_bytes(sim::reply_for(config.board, frame));
}

// `n` low-high cycles of a control line, as its value file records them.
inline std::string cycles(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "0\n1\n";
    return text;
}

// The start of an attempt on a board whose chips are not BTC or LTC ones:
// both of those detection frames go unanswered.
inline Transcript up_to_sia_dash_detection()
{
    return Transcript().opened().sent(BTC_DETECT).silence().sent(LTC_DETECT).silence().sent(SIA_DASH_DETECT);
}

// One attempt on a board that answers nothing.
inline Transcript silent_attempt()
{
    return up_to_sia_dash_detection().silence().line("unknown miner");
}

// A board of config's family found at the first attempt (the detection read
// taking `detection_hex`, by default the board's reply). On the default board
// BTC chips are then taken to have a sensor, and the others' sensor procedure
// follows: attempts of set-up frames and ten queries, ten attempts at most,
// until the sensor answers query config.board.sensor_answers_at_query.
inline Transcript found(const sim::ProbeRunConfig &config, std::string detection_hex = "")
{
    const sim::ChipFamily family = config.board.family;
    const bool btc = family == sim::ChipFamily::BTC;
    const bool ltc = family == sim::ChipFamily::LTC;
    const std::string p = btc ? "btc" : ltc ? "ltc" : family == sim::ChipFamily::SIA ? "sia" : "dash";
    if (detection_hex.empty())
        detection_hex = reply_hex(config, btc   ? sim::FrameId::BtcDetection
                                          : ltc ? sim::FrameId::LtcDetection
                                                : sim::FrameId::SiaDashDetection);
    Transcript t = btc   ? Transcript().opened().sent(BTC_DETECT)
                   : ltc ? Transcript().opened().sent(BTC_DETECT).silence().sent(LTC_DETECT)
                         : up_to_sia_dash_detection();
    t.received(btc || ltc ? 42 : 54, detection_hex).line(p + " miner");
    if (!config.args.empty()) // the alternate board
        return t;
    if (btc)
        return t.line("BTC miner should always have temp sensor");
    for (int query = 1; query <= 100; ++query) {
        if (query % 10 == 1 && ltc)
            t.sent(LTC_MISC).line("ltc configure misc").sent(LTC_REGISTER);
        else if (query % 10 == 1)
            t.sent(SIA_DASH_MISC)
                .line(p + " configure misc")
                .sent(SIA_DASH_MUX)
                .line(p + " configure mux")
                .sent(SIA_DASH_REGISTER);
        if (query % 10 == 1)
            t.line(p + " read temp sensor register 0xfe");
        t.sent(ltc ? LTC_QUERY : SIA_DASH_QUERY).line(p + " send get temp sensor register");
        if (query == config.board.sensor_answers_at_query)
            return t
                .received(ltc ? 7 : 9,
                          reply_hex(config, ltc ? sim::FrameId::LtcSensorQuery : sim::FrameId::SiaDashSensorQuery))
                .line(p + " read temp sensor register 0xfe OK");
        t.silence();
    }
    return t;
}

class ProbeRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!ON_EMULATED_BOARD && !sim::Sandbox::supported(&why))
            GTEST_SKIP() << why;
    }

    // Runs the program this build tests (as board-sim finds it) on this
    // program's board; checks that it was set up and ended by itself.
    static sim::ProbeRunReport run_probe(sim::ProbeRunConfig config)
    {
        const sim::Target target =
            sim::find_target({.program = sim::Shipped::Probe, .emulated_board = ON_EMULATED_BOARD});
        EXPECT_EQ(target.error, "");
        config.emulated_board = ON_EMULATED_BOARD;
        config.binary = target.program;
        config.launcher = target.launcher;
        // The emulated board's GPIO chip has base 0, as its programs have.
        config.gpio_base = ON_EMULATED_BOARD ? 0 : sim::target_gpio_base();
        sim::ProbeRunReport report = sim::run_miner_probe(config);
        EXPECT_EQ(report.setup_error, "");
        EXPECT_FALSE(report.run.timed_out);
        EXPECT_EQ(report.run.exit_status, 0) << report.run.err;
        EXPECT_EQ(report.emulated.has_value(), ON_EMULATED_BOARD);
        return report;
    }

    // A run whose log is compared exactly: no late reply may remain, and the
    // log is normalised (and its reads unchunked).
    static sim::ProbeRunReport run(const sim::ProbeRunConfig &config)
    {
        sim::ProbeRunReport report = run_probe(config);
        EXPECT_EQ(report.late_replies, 0) << "the program gave up on answered frames in " << report.runs << " runs";
        if (report.runs > 1)
            printf("note: reran %d times: a reply missed the program's 2 ms wait\n", report.runs - 1);
        std::vector<std::vector<uint8_t>> whole;
        for (const sim::KnownFrame &f : sim::known_frames())
            if (const std::vector<uint8_t> reply = sim::reply_for(config.board, f.id); !reply.empty())
                whole.push_back(reply);
        report.run.out = ON_EMULATED_BOARD ? unchunked(report.run.out, whole) : normalized(report.run.out);
        return report;
    }

    static std::vector<std::string> names(const sim::ProbeRunReport &r)
    {
        std::vector<std::string> out;
        for (const sim::ReceivedFrame &f : r.frames)
            out.push_back(f.name());
        return out;
    }
};

} // namespace probe_test
