// SPDX-License-Identifier: MIT
// The shipped miner-probe on the paced wire (wire_test.cpp): its log read
// call by call, what must hold of it on any wire (the reads follow what the
// board delivered, the run lasts at least its sleeps and ends by itself), and the
// fixture that runs it and checks that.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "probe_fixture.h" // with the simulated board's, the log reader's and the text helpers' headers

namespace probe_wire_test {

using board_sim::Said;
using sim::ChipFamily;

// One call of the program's read loop as its log shows it.
struct ReadBlock {
    int len = 0;
    std::vector<int> pass_totals; // the total before each read call
    int total = 0;
    std::vector<uint8_t> bytes;
    bool timed_out = false;
    int after_write = 0;         // which frame written (or opening of the line) it follows, from 1
    int frame = -1;              // the index of the last frame written before it, -1 for none
    std::vector<size_t> sources; // for each byte read, the frame whose reply it was (see check_reads_follow_the_board)
};

// Parses the read blocks of a log, adding a failure for each malformed one.
// A block is: one "exp_buf_len" line per read call (at most three with the
// program's 2 ms), totals that never fall or pass the length asked, a "times"
// line after the third call or a "break" line once full, the total, the
// trace of exactly the bytes received, and "error" when short.
inline std::vector<ReadBlock> read_blocks(const std::vector<board_sim::ProbeLine> &lines)
{
    std::vector<ReadBlock> blocks;
    int after_write = 0;
    int frame = -1;
    size_t i = 0;
    // The next line, when it is `said`.
    const auto take = [&lines, &i](Said said) {
        return i < lines.size() && lines[i].said == said ? &lines[i++] : nullptr;
    };
    while (i < lines.size()) {
        const board_sim::ProbeLine &first = lines[i++];
        after_write += first.said == Said::Opened || first.said == Said::Sent ? 1 : 0;
        frame += first.said == Said::Sent ? 1 : 0;
        if (first.said != Said::ReadPass && first.said != Said::TimedOut)
            continue;
        ReadBlock b;
        b.len = static_cast<int>(first.n);
        b.timed_out = first.said == Said::TimedOut;
        b.after_write = after_write;
        b.frame = frame;
        if (b.timed_out) {
            blocks.push_back(b);
            continue;
        }
        const std::string where = "read block at line " + std::to_string(first.line);
        EXPECT_EQ(first.m, 0) << where;
        for (const board_sim::ProbeLine *pass = &first; pass != nullptr; pass = take(Said::ReadPass)) {
            EXPECT_EQ(pass->n, b.len) << where;
            const int t = static_cast<int>(pass->m);
            EXPECT_TRUE(b.pass_totals.empty() || t >= b.pass_totals.back()) << where << ": the total fell";
            EXPECT_LT(t, b.len) << where << ": a read call after the buffer was full";
            b.pass_totals.push_back(t);
        }
        EXPECT_LE(b.pass_totals.size(), 3U) << where;
        if (const board_sim::ProbeLine *bound = take(Said::ReadBound)) {
            EXPECT_EQ(static_cast<size_t>(bound->n), b.pass_totals.size()) << where;
            EXPECT_EQ(b.pass_totals.size(), 3U) << where;
        } else if (const board_sim::ProbeLine *full = take(Said::ReadFull)) {
            EXPECT_EQ(full->n, b.len) << where << ": a break before the buffer was full";
        } else {
            ADD_FAILURE() << where << ": no end of the loop";
        }
        const board_sim::ProbeLine *total = take(Said::ReadTotal);
        if (total == nullptr) {
            ADD_FAILURE() << where << ": no total";
            break;
        }
        b.total = static_cast<int>(total->n);
        EXPECT_LE(b.total, b.len) << where << ": read beyond the length asked";
        EXPECT_GE(b.total, b.pass_totals.back()) << where;
        if (b.total > 0) {
            const board_sim::ProbeLine *trace = take(Said::Received);
            EXPECT_NE(trace, nullptr) << where << ": no trace";
            if (trace != nullptr)
                b.bytes = sim::parse_hex_bytes(trace->text).value_or(std::vector<uint8_t>{});
            EXPECT_EQ(b.bytes.size(), static_cast<size_t>(b.total)) << where << ": the trace is not what was read";
        }
        if (b.total < b.len) {
            EXPECT_NE(take(Said::ReadError), nullptr) << where << ": no error line";
        }
        blocks.push_back(b);
    }
    return blocks;
}

// Every byte read was delivered by the board, in the board's order. Input
// still pending is discarded when the line opens and before each frame goes
// out, so the bytes read after one write (or opening), together, are one
// unbroken run of the delivered stream, after those read before. They are
// matched as a whole: a first read alone could also match an earlier,
// identical reply that a discard threw away. Bytes the board could not
// deliver because the program's input buffer was full are not in the stream.
// Notes in each block which frame's reply each byte it read came from.
inline void check_reads_follow_the_board(std::vector<ReadBlock> &blocks, const std::vector<sim::ReceivedFrame> &frames)
{
    std::vector<uint8_t> stream;
    std::vector<size_t> source;
    for (size_t f = 0; f < frames.size(); ++f)
        for (size_t k = 0; k < frames[f].reply.size(); ++k)
            if (std::ranges::find(frames[f].overrun, k) == frames[f].overrun.end()) {
                stream.push_back(frames[f].reply[k]);
                source.push_back(f);
            }
    auto cursor = stream.begin();
    for (size_t i = 0; i < blocks.size();) {
        const size_t first = i;
        std::vector<uint8_t> read;
        for (; i < blocks.size() && blocks[i].after_write == blocks[first].after_write; ++i)
            read.insert(read.end(), blocks[i].bytes.begin(), blocks[i].bytes.end());
        if (read.empty())
            continue;
        cursor = std::search(cursor, stream.end(), read.begin(), read.end());
        if (cursor == stream.end()) {
            ADD_FAILURE() << "the " << read.size() << " bytes read after write " << blocks[first].after_write
                          << " are not one unbroken run of what the board delivered since the reads before";
            return;
        }
        for (size_t b = first; b < i; ++b)
            for (size_t k = 0; k < blocks[b].bytes.size(); ++k)
                blocks[b].sources.push_back(source[static_cast<size_t>(cursor++ - stream.begin())]);
    }
}

// The time the program must sleep or wait, read off its log: the control
// line's 400 ms and 200 ms after each failed attempt, the sensor procedure's
// pauses, 2 ms per time-out, 1 ms between read calls and the line's 0.2 s
// VTIME for each read call that found nothing.
inline double sleeps_floor_s(const std::vector<board_sim::ProbeLine> &lines, const std::vector<ReadBlock> &blocks)
{
    const int attempts = count(lines, Said::Opened);
    const int unknown = count(lines, Said::UnknownMiner);
    const int configs = count(lines, Said::ConfigureMisc) + count(lines, Said::ConfigureMux);
    const int sensor_attempts = count(lines, Said::ConfigureMisc);
    const int register_reads = count(lines, Said::SensorRegister);
    const int queries = count(lines, Said::SensorQuery);
    const int found = count(lines, Said::SensorOk);
    double ms = 400.0 * attempts + 200.0 * unknown + 5.0 * configs + 20.0 * register_reads + 5.0 * queries +
                5.0 * (queries - found) + 10.0 * (sensor_attempts - found);
    for (const ReadBlock &b : blocks) {
        if (b.timed_out) {
            ms += 2.0;
            continue;
        }
        ms += 1.0 * static_cast<double>(b.pass_totals.size() - 1);
        for (size_t k = 0; k < b.pass_totals.size(); ++k) {
            const int after = k + 1 < b.pass_totals.size() ? b.pass_totals[k + 1] : b.total;
            ms += after == b.pass_totals[k] ? 200.0 : 0.0;
        }
    }
    return ms / 1000.0;
}

struct WireRun {
    sim::ProbeRunReport report;
    std::vector<board_sim::ProbeLine> lines; // of the program's standard output
    std::vector<ReadBlock> blocks;
};

class ProbeOnWire : public probe_test::ProbeRun {
protected:
    // Runs the program on a wire and checks what must hold on any wire.
    static WireRun run(ChipFamily family, sim::WireModel wire, bool alt_board = false, int sensor_answers_at_query = 1)
    {
        sim::ProbeRunConfig config = probe_test::board(family);
        config.board.wire = wire;
        config.board.sensor_answers_at_query = sensor_answers_at_query;
        if (alt_board)
            config.args = {"alt"};
        // Past about 1.4 ms a reply misses the 2 ms wait by design, not by the
        // host's load: no reruns then.
        if (wire.latency_us > 1000)
            config.reruns_on_late_reply = 0;
        WireRun r;
        const auto started = std::chrono::steady_clock::now();
        r.report = run_probe(config);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const sim::ProbeRunReport &p = r.report;
        r.lines = board_sim::probe_lines(p.run.out);
        r.blocks = read_blocks(r.lines);
        check_reads_follow_the_board(r.blocks, p.frames);

        // One record line at most for each file, and a sensor line only on
        // the default board and only with a family.
        const long type_lines = p.miner_type ? std::ranges::count(*p.miner_type, '\n') : 0;
        EXPECT_LE(type_lines, 1);
        EXPECT_EQ(p.temp_sensor ? std::ranges::count(*p.temp_sensor, '\n') : 0, alt_board ? 0 : type_lines);

        // The run ends by itself, and takes at least the sleeps and waits
        // its log shows (a busy host only adds to them; miner-bench's wire
        // table prints how long runs take). The time covers every run when a
        // late reply forced a rerun.
        EXPECT_FALSE(p.run.timed_out);
        if (p.runs == 1) {
            EXPECT_GE(seconds, sleeps_floor_s(r.lines, r.blocks)) << "the run was shorter than its own sleeps";
        }
        return r;
    }

    // The reads after the run's sensor queries, in order.
    static std::vector<const ReadBlock *> query_reads(const WireRun &r)
    {
        std::vector<const ReadBlock *> reads;
        for (const ReadBlock &b : r.blocks)
            if (b.frame >= 0 && static_cast<size_t>(b.frame) < r.report.frames.size() &&
                sim::is_sensor_query(r.report.frames[static_cast<size_t>(b.frame)].id))
                reads.push_back(&b);
        return reads;
    }
};

struct ChainCase {
    ChipFamily family;
    int chips;
    int latency_us;
    bool sensor_answers = true;
    uint32_t seed = 1;
};

inline std::string chain_case_name(const ::testing::TestParamInfo<ChainCase> &info)
{
    const ChainCase &c = info.param;
    return std::string(sim::chip_family_name(c.family)) + "_" + std::to_string(c.chips) + "chips_" +
           std::to_string(c.latency_us) + "us" + (c.sensor_answers ? "" : "_silent") +
           (c.seed == 1 ? "" : "_seed" + std::to_string(c.seed));
}

// Chains whose replies start within the program's 2 ms wait.
inline std::vector<ChainCase> chains_within_the_wait()
{
    std::vector<ChainCase> cases;
    for (ChipFamily f : {ChipFamily::LTC, ChipFamily::SIA, ChipFamily::DASH})
        for (int chips : {1, 6, 60, 256})
            for (int latency_us : {100, 1000})
                cases.push_back({f, chips, latency_us});
    return cases;
}

} // namespace probe_wire_test
