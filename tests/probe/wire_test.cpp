// SPDX-License-Identifier: MIT
// The simulated hash board on a paced wire: the board's own timing, chain and
// corruption over a pseudo-terminal, then the shipped miner-probe against it.
// The host decides how the bytes are chunked, so the runs assert outcomes and
// invariants of the program's log, never its exact text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "chips.h"
#include "probe_fixture.h"
#include "probe_lines.h"
#include "pseudo_terminal.h"
#include "text.h"

using board_sim::Said;
using sim::ChipFamily;

namespace {

int64_t now_ns()
{
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A pseudo-terminal whose slave end plays the program: raw, at a chosen speed.
class Line {
public:
    explicit Line(speed_t speed = B115200, tcflag_t extra_cflag = 0)
    {
        struct termios tio {};
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tio.c_cflag |= CREAD | CLOCAL | extra_cflag;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 1;
        EXPECT_TRUE(pty_.ok());
        EXPECT_EQ(tcsetattr(pty_.slave(), TCSANOW, &tio), 0);
    }

    int master() const { return pty_.master(); }
    int slave() const { return pty_.slave(); }

    // Reads until `count` bytes came or `limit_ms` passed; notes when each came.
    std::vector<uint8_t> receive(size_t count, int limit_ms, std::vector<int64_t> *arrivals = nullptr) const
    {
        std::vector<uint8_t> got;
        const int64_t end = now_ns() + static_cast<int64_t>(limit_ms) * 1'000'000;
        uint8_t buf[64];
        while (got.size() < count && now_ns() < end) {
            const ssize_t n = read(slave(), buf, std::min(sizeof buf, count - got.size()));
            const int64_t at = now_ns();
            for (ssize_t i = 0; i < n; ++i) {
                got.push_back(buf[i]);
                if (arrivals != nullptr)
                    arrivals->push_back(at);
            }
        }
        return got;
    }

private:
    sim::PseudoTerminal pty_;
};

sim::HashBoardScenario wire_board(ChipFamily family, int chips, int latency_us)
{
    sim::HashBoardScenario s;
    s.family = family;
    s.answers_after_cycles = 0;
    s.wire = sim::WireModel{chips, latency_us, 0.0, 1};
    return s;
}

TEST(WireFraming, CharacterBitsFollowParityAndStopBits)
{
    EXPECT_EQ(sim::character_bits(CS8), 10);
    EXPECT_EQ(sim::character_bits(CS8 | PARENB), 11);
    EXPECT_EQ(sim::character_bits(CS8 | CSTOPB), 11);
    EXPECT_EQ(sim::character_bits(CS8 | PARENB | PARODD | CSTOPB), 12);
    EXPECT_EQ((sim::LineFraming{115200, 10}.char_ns()), 86805);
}

TEST(WireFraming, MasterReportsTheSlavesSettingsAndOtherDescriptorsFallBackTo115200)
{
    Line line(B9600, CSTOPB);
    const sim::LineFraming f = sim::line_framing(line.master());
    EXPECT_EQ(f.baud, 9600);
    EXPECT_EQ(f.bits, 11);

    // A socket to an emulator's UART has no terminal settings.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const sim::LineFraming s = sim::line_framing(pair[0]);
    EXPECT_EQ(s.baud, 115200);
    EXPECT_EQ(s.bits, 10);
    close(pair[0]);
    close(pair[1]);
}

TEST(WireChain, EachChipAddsOneRecordInChainOrder)
{
    // The default chain fills what the program reads for each family.
    const std::pair<ChipFamily, sim::FrameId> families[] = {{ChipFamily::BTC, sim::FrameId::BtcDetection},
                                                            {ChipFamily::LTC, sim::FrameId::LtcDetection},
                                                            {ChipFamily::SIA, sim::FrameId::SiaDashDetection}};
    const size_t read_len[] = {42, 42, 54};
    for (size_t i = 0; i < 3; ++i) {
        sim::HashBoardScenario s = wire_board(families[i].first, 0, 100);
        const std::vector<uint8_t> six = sim::reply_for(s, families[i].second);
        EXPECT_EQ(six.size(), read_len[i]) << sim::frame_name(families[i].second);
        s.wire->chips = 60;
        const std::vector<uint8_t> sixty = sim::reply_for(s, families[i].second);
        ASSERT_EQ(sixty.size(), read_len[i] * 10) << sim::frame_name(families[i].second);
        const size_t record = read_len[i] / 6;
        for (size_t at = 0; at < sixty.size(); at += record)
            EXPECT_TRUE(std::equal(six.begin(), six.begin() + record, sixty.begin() + at));
        // The sensor answers once, whatever the chain length.
        EXPECT_EQ(sim::reply_for(s, sim::FrameId::LtcSensorQuery).size(), s.family == ChipFamily::LTC ? 7U : 0U);
    }
}

TEST(WireChain, NamedRepliesReplaceTheFamilysAnswer)
{
    sim::HashBoardScenario s = wire_board(ChipFamily::LTC, 12, 100);
    s.frame_replies = {{"LTC detection", {}},
                       {"LTC sensor register read", {0x01, 0x02}},
                       {"LTC sensor query", {0x00, 0x98, 0xFE, 0x1A, 0x00, 0x00, 0x11}}};
    sim::HashBoard board(-1, s);
    EXPECT_TRUE(board.receive(sim::frame_bytes(sim::FrameId::LtcDetection)).empty())
        << "an empty reply silences the frame";
    // The query stays silent until the register read selected the sensor.
    EXPECT_TRUE(board.receive(sim::frame_bytes(sim::FrameId::LtcSensorQuery)).empty());
    EXPECT_EQ(board.receive(sim::frame_bytes(sim::FrameId::LtcSensorRegisterRead)), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(board.receive(sim::frame_bytes(sim::FrameId::LtcSensorQuery)),
              (std::vector<uint8_t>{0x00, 0x98, 0xFE, 0x1A, 0x00, 0x00, 0x11}));
    const std::vector<sim::ReceivedFrame> frames = board.frames();
    ASSERT_EQ(frames.size(), 4U);
    EXPECT_FALSE(frames[0].answered);
    EXPECT_EQ(frames[3].reply.size(), 7U);
}

TEST(WireCorruption, FlipsOneBitPerChosenByteAndRepeatsWithItsSeed)
{
    sim::HashBoardScenario s = wire_board(ChipFamily::SIA, 60, 100);
    const std::vector<uint8_t> clean = sim::reply_for(s, sim::FrameId::SiaDashDetection);
    const std::vector<uint8_t> frame = sim::frame_bytes(sim::FrameId::SiaDashDetection);
    auto corrupted = [&](double rate, uint32_t seed) {
        sim::HashBoardScenario c = s;
        c.wire->corrupt_rate = rate;
        c.wire->corrupt_seed = seed;
        sim::HashBoard board(-1, c);
        return board.receive(frame);
    };
    const std::vector<uint8_t> a = corrupted(0.1, 7);
    EXPECT_EQ(a, corrupted(0.1, 7));
    EXPECT_NE(a, corrupted(0.1, 8));
    ASSERT_EQ(a.size(), clean.size());
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned diff = static_cast<unsigned>(a[i] ^ clean[i]);
        EXPECT_TRUE(diff == 0 || (diff & (diff - 1)) == 0) << "byte " << i << " has more than one bit flipped";
        changed += diff != 0 ? 1 : 0;
    }
    // 540 bytes at 10 %: far outside 20..110 only when the rate is not applied.
    EXPECT_GT(changed, 20U);
    EXPECT_LT(changed, 110U);
    EXPECT_EQ(corrupted(0.0, 7), clean);
    const std::vector<uint8_t> all = corrupted(1.0, 7);
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_NE(all[i], clean[i]);
}

// The reply begins only after the frame and the latency, and its bytes come no
// faster than the line's speed and framing allow.
TEST(WirePacing, ReplyWaitsForTheFrameAndTheLatencyAndKeepsTheLinesPace)
{
    struct Case {
        speed_t speed;
        tcflag_t cflag;
        int64_t char_ns;
    };
    for (const Case c : {Case{B9600, CSTOPB, 11 * 1'000'000'000LL / 9600}, Case{B115200, 0, 86805}}) {
        Line line(c.speed, c.cflag);
        sim::HashBoard board(line.master(), wire_board(ChipFamily::BTC, 3, 2000));
        board.start();
        const std::vector<uint8_t> frame = sim::frame_bytes(sim::FrameId::BtcDetection);
        const int64_t sent = now_ns();
        ASSERT_EQ(write(line.slave(), frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        std::vector<int64_t> at;
        const std::vector<uint8_t> got = line.receive(21, 500, &at);
        board.stop();
        ASSERT_EQ(got, sim::reply_for(wire_board(ChipFamily::BTC, 3, 2000), sim::FrameId::BtcDetection));
        const int64_t first_due = sent + 5 * c.char_ns + 2'000'000 + c.char_ns;
        EXPECT_GE(at.front(), first_due) << "the reply began before the frame and the latency were over";
        EXPECT_LT(at.front(), first_due + 200'000'000);
        // Byte i cannot come before the frame, the latency and i + 1 characters.
        for (size_t i = 0; i < at.size(); ++i)
            EXPECT_GE(at[i], first_due + static_cast<int64_t>(i) * c.char_ns) << "byte " << i << " came too early";
    }
}

TEST(WirePacing, BabbleFillsTheLineAtItsSpeedAndNoFaster)
{
    Line line(B57600);
    sim::HashBoardScenario s = wire_board(ChipFamily::None, 0, 100);
    s.babble = 0xEE;
    sim::HashBoard board(line.master(), s);
    const int64_t started = now_ns();
    board.start();
    std::vector<uint8_t> got = line.receive(100000, 100);
    const int64_t elapsed = now_ns() - started;
    board.stop();
    const int64_t char_ns = 10 * 1'000'000'000LL / 57600;
    EXPECT_LE(static_cast<int64_t>(got.size()), elapsed / char_ns + 1);
    EXPECT_GT(got.size(), 100U) << "the line hardly babbled";
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST(WirePacing, StopDoesNotWaitForRepliesStillToCome)
{
    Line line;
    sim::HashBoard board(line.master(), wire_board(ChipFamily::BTC, 60, 5'000'000));
    board.start();
    const std::vector<uint8_t> frame = sim::frame_bytes(sim::FrameId::BtcDetection);
    ASSERT_EQ(write(line.slave(), frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    usleep(20000);
    const auto before = std::chrono::steady_clock::now();
    board.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(board.frames().size(), 1U);
}

// ---- miner-probe on the paced wire ----

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
std::vector<ReadBlock> read_blocks(const std::vector<board_sim::ProbeLine> &lines)
{
    std::vector<ReadBlock> blocks;
    int after_write = 0;
    int frame = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto next_is = [&lines, &i](Said said) { return i < lines.size() && lines[i].said == said; };
        after_write += lines[i].said == Said::Opened || lines[i].said == Said::Sent ? 1 : 0;
        frame += lines[i].said == Said::Sent ? 1 : 0;
        if (lines[i].said != Said::ReadPass && lines[i].said != Said::TimedOut)
            continue;
        ReadBlock b;
        b.after_write = after_write;
        b.frame = frame;
        if (lines[i].said == Said::TimedOut) {
            b.timed_out = true;
            blocks.push_back(b);
            continue;
        }
        b.len = static_cast<int>(lines[i].n);
        const std::string where = "read block at line " + std::to_string(lines[i].line);
        EXPECT_EQ(lines[i].m, 0) << where;
        do {
            EXPECT_EQ(lines[i].n, b.len) << where;
            const int t = static_cast<int>(lines[i].m);
            EXPECT_TRUE(b.pass_totals.empty() || t >= b.pass_totals.back()) << where << ": the total fell";
            EXPECT_LT(t, b.len) << where << ": a read call after the buffer was full";
            b.pass_totals.push_back(t);
            ++i;
        } while (next_is(Said::ReadPass));
        EXPECT_LE(b.pass_totals.size(), 3U) << where;
        if (i + 1 >= lines.size()) {
            ADD_FAILURE() << where << ": the log ends inside it";
            break;
        }
        if (next_is(Said::ReadBound)) {
            EXPECT_EQ(static_cast<size_t>(lines[i].n), b.pass_totals.size()) << where;
            EXPECT_EQ(b.pass_totals.size(), 3U) << where;
        } else if (next_is(Said::ReadFull)) {
            EXPECT_EQ(lines[i].n, b.len) << where << ": a break before the buffer was full";
        } else {
            ADD_FAILURE() << where << ": no end of the loop, but '" << lines[i].whole << "'";
        }
        ++i;
        EXPECT_TRUE(next_is(Said::ReadTotal)) << where << ": '" << lines[i].whole << "'";
        b.total = static_cast<int>(lines[i].n);
        EXPECT_LE(b.total, b.len) << where << ": read beyond the length asked";
        EXPECT_GE(b.total, b.pass_totals.back()) << where;
        if (b.total > 0) {
            ++i;
            EXPECT_TRUE(next_is(Said::Received)) << where << ": no trace";
            if (i < lines.size())
                b.bytes = sim::parse_hex_bytes(lines[i].text).value_or(std::vector<uint8_t>{});
            EXPECT_EQ(b.bytes.size(), static_cast<size_t>(b.total)) << where << ": the trace is not what was read";
        }
        if (b.total < b.len) {
            ++i;
            EXPECT_TRUE(next_is(Said::ReadError)) << where;
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
void check_reads_follow_the_board(std::vector<ReadBlock> &blocks, const std::vector<sim::ReceivedFrame> &frames)
{
    std::vector<uint8_t> stream;
    std::vector<size_t> source;
    for (size_t f = 0; f < frames.size(); ++f)
        for (size_t k = 0; k < frames[f].reply.size(); ++k)
            if (std::find(frames[f].overrun.begin(), frames[f].overrun.end(), k) == frames[f].overrun.end()) {
                stream.push_back(frames[f].reply[k]);
                source.push_back(f);
            }
    size_t cursor = 0;
    for (size_t i = 0; i < blocks.size();) {
        const size_t first = i;
        const int after_write = blocks[i].after_write;
        std::vector<uint8_t> read;
        for (; i < blocks.size() && blocks[i].after_write == after_write; ++i)
            read.insert(read.end(), blocks[i].bytes.begin(), blocks[i].bytes.end());
        if (read.empty())
            continue;
        const auto found =
            std::search(stream.begin() + static_cast<long>(cursor), stream.end(), read.begin(), read.end());
        if (found == stream.end()) {
            ADD_FAILURE() << "the " << read.size() << " bytes read after write " << after_write
                          << " are not one unbroken run of what the board delivered since the reads before";
            return;
        }
        size_t at = static_cast<size_t>(found - stream.begin());
        for (size_t b = first; b < i; ++b)
            for (size_t k = 0; k < blocks[b].bytes.size(); ++k)
                blocks[b].sources.push_back(source[at++]);
        cursor = at;
    }
}

// The time the program must sleep or wait, read off its log: the control
// line's 400 ms and 200 ms after each failed attempt, the sensor procedure's
// pauses, 2 ms per time-out, 1 ms between read calls and the line's 0.2 s
// VTIME for each read call that found nothing.
double sleeps_floor_s(const std::vector<board_sim::ProbeLine> &lines, const std::vector<ReadBlock> &blocks)
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
        std::vector<int> after = b.pass_totals;
        after.erase(after.begin());
        after.push_back(b.total);
        ms += 1.0 * static_cast<double>(b.pass_totals.size() - 1);
        for (size_t k = 0; k < after.size(); ++k)
            if (after[k] == b.pass_totals[k])
                ms += 200.0;
    }
    return ms / 1000.0;
}

// The most the wire can add: every frame and reply byte and every latency.
double wire_time_s(const sim::WireModel &w, const std::vector<sim::ReceivedFrame> &frames)
{
    const double char_s = sim::LineFraming{}.char_ns() / 1e9;
    double s = 0;
    for (const sim::ReceivedFrame &f : frames)
        s += static_cast<double>(f.bytes.size() + f.reply.size()) * char_s + (f.answered ? w.latency_us / 1e6 : 0);
    return s;
}

struct WireRun {
    sim::ProbeRunReport report;
    std::vector<board_sim::ProbeLine> lines; // of the program's standard output
    std::vector<ReadBlock> blocks;
    double seconds = 0;
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
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const sim::ProbeRunReport &p = r.report;
        r.lines = board_sim::probe_lines(p.run.out);
        r.blocks = read_blocks(r.lines);
        check_reads_follow_the_board(r.blocks, p.frames);

        // One record line at most for each file, and a sensor line only on
        // the default board and only with a family.
        const long type_lines = p.miner_type ? std::ranges::count(*p.miner_type, '\n') : 0;
        const long sensor_lines = p.temp_sensor ? std::ranges::count(*p.temp_sensor, '\n') : 0;
        EXPECT_LE(type_lines, 1);
        EXPECT_EQ(sensor_lines, alt_board ? 0 : type_lines);

        // The time covers every run when a late reply forced a rerun.
        if (p.runs == 1) {
            const double floor = sleeps_floor_s(r.lines, r.blocks);
            EXPECT_GE(r.seconds, floor) << "the run was shorter than its own sleeps";
            // The shell commands and the host's scheduling get a generous share.
            const double ceiling = floor + wire_time_s(wire, p.frames) + 1.0 + 0.25 * floor;
            EXPECT_LE(r.seconds, ceiling) << "floor " << floor << " s";
        }
        return r;
    }
};

// The sensor queries of a run as the reads after them show them.
struct SensorReads {
    int queries = 0;                            // query frames written
    int matched_at = 0;                         // the query (from 1) whose read matched; 0 for none
    size_t detection = static_cast<size_t>(-1); // the frame that found the family
    std::vector<const ReadBlock *> reads;       // the read after each query, in order
};

SensorReads sensor_reads(const WireRun &r)
{
    SensorReads q;
    const std::vector<sim::ReceivedFrame> &frames = r.report.frames;
    for (size_t f = 0; f < frames.size(); ++f) {
        if (sim::is_detection(frames[f].id) && frames[f].answered)
            q.detection = f;
        if (sim::is_sensor_query(frames[f].id))
            ++q.queries;
    }
    for (const ReadBlock &b : r.blocks)
        if (b.frame >= 0 && static_cast<size_t>(b.frame) < frames.size() &&
            sim::is_sensor_query(frames[static_cast<size_t>(b.frame)].id))
            q.reads.push_back(&b);
    if (count(r.lines, Said::SensorOk) > 0)
        q.matched_at = static_cast<int>(q.reads.size());
    return q;
}

// Each read after a query takes the reply to that query, whole (a silent
// sensor: nothing).
void expect_each_query_reads_its_own_reply(const SensorReads &q)
{
    for (size_t i = 0; i < q.reads.size(); ++i)
        for (size_t from : q.reads[i]->sources)
            EXPECT_EQ(from, static_cast<size_t>(q.reads[i]->frame))
                << "the read after query " << i + 1 << " took bytes of the reply to frame " << from;
}

// Time the chain takes to send its detection reply, in ms.
double detection_reply_ms(const WireRun &r, const SensorReads &q)
{
    return static_cast<double>(r.report.frames.at(q.detection).reply.size()) * sim::LineFraming{}.char_ns() / 1e6;
}

struct ChainCase {
    ChipFamily family;
    int chips;
    int latency_us;
};

std::string chain_case_name(const ::testing::TestParamInfo<ChainCase> &info)
{
    return std::string(sim::chip_family_name(info.param.family)) + "_" + std::to_string(info.param.chips) + "chips_" +
           std::to_string(info.param.latency_us) + "us";
}

// Chains whose replies start within the program's 2 ms wait.
std::vector<ChainCase> chains_within_the_wait()
{
    std::vector<ChainCase> cases;
    for (ChipFamily f : {ChipFamily::LTC, ChipFamily::SIA, ChipFamily::DASH})
        for (int chips : {1, 6, 60, 256})
            for (int latency_us : {100, 1000})
                cases.push_back({f, chips, latency_us});
    return cases;
}

class SensorOnChain : public ProbeOnWire, public ::testing::WithParamInterface<ChainCase> {};

// The sensor answers every query: YES, read whole and in step. A chain whose
// detection reply has ended by the first query (up to about 40 chips) answers
// that query, and each read takes the reply to its own query. A longer chain
// is still sending its detection records when the first queries go out; the
// sensor's replies wait behind them on the wire, and a read may take them or
// the records' tail. Once the records are over, the next query's read is the
// sensor's whole reply: the queries before the match never outlast the
// detection reply by more than two (a query takes at least 10 ms).
TEST_P(SensorOnChain, AnsweringSensorIsRecordedYesFromItsOwnReply)
{
    const ChainCase c = GetParam();
    const WireRun r = run(c.family, sim::WireModel{c.chips, c.latency_us, 0.0, 1});
    EXPECT_EQ(r.report.miner_type, std::string(sim::chip_family_name(c.family)) + "\n");
    EXPECT_EQ(r.report.temp_sensor, "YES\n");
    const SensorReads q = sensor_reads(r);
    ASSERT_GE(q.matched_at, 1);
    const ReadBlock &match = *q.reads.back();
    sim::HashBoardScenario board;
    board.family = c.family;
    EXPECT_EQ(match.bytes, sim::reply_for(board, *sim::sensor_query_of(c.family)))
        << "the matching read is not the sensor's reply";
    ASSERT_FALSE(match.sources.empty());
    for (const size_t from : match.sources)
        EXPECT_EQ(from, match.sources.front()) << "the matching read straddles two replies";
    const double chain_ms = detection_reply_ms(r, q);
    EXPECT_LE(q.matched_at, 2 + static_cast<int>(chain_ms / 10.0)) << "detection reply of " << chain_ms << " ms";
    if (c.chips <= 6) {
        EXPECT_EQ(q.matched_at, 1);
        expect_each_query_reads_its_own_reply(q);
    }
    printf("note: YES at query %d (detection reply %.1f ms)\n", q.matched_at, chain_ms);
}

INSTANTIATE_TEST_SUITE_P(ChainsWithinTheWait, SensorOnChain, ::testing::ValuesIn(chains_within_the_wait()),
                         chain_case_name);

class SilentSensorOnChain : public ProbeOnWire, public ::testing::WithParamInterface<ChainCase> {};

// The sensor never answers: 10 rounds of 10 queries, then NO. Each run takes
// about 2 s, so a few chains stand for all.
TEST_P(SilentSensorOnChain, SilentSensorIsRecordedNoAfterAHundredQueries)
{
    const ChainCase c = GetParam();
    const WireRun r = run(c.family, sim::WireModel{c.chips, c.latency_us, 0.0, 1}, false, 0);
    EXPECT_EQ(r.report.miner_type, std::string(sim::chip_family_name(c.family)) + "\n");
    EXPECT_EQ(r.report.temp_sensor, "NO\n");
    const SensorReads q = sensor_reads(r);
    EXPECT_EQ(q.queries, 100);
    EXPECT_EQ(q.matched_at, 0);
    // Once the detection reply is over, the reads find nothing at all.
    const ReadBlock *last = q.reads.back();
    EXPECT_TRUE(last->timed_out) << "a read after the 100th query took " << last->total << " bytes";
}

INSTANTIATE_TEST_SUITE_P(ChainsWithinTheWait, SilentSensorOnChain,
                         ::testing::Values(ChainCase{ChipFamily::LTC, 6, 100}, ChainCase{ChipFamily::SIA, 60, 1000},
                                           ChainCase{ChipFamily::DASH, 256, 100}),
                         chain_case_name);

TEST_F(ProbeOnWire, BtcChainOfSixtyThreeChipsIsRecordedWithItsSensorWithoutAQuery)
{
    const WireRun r = run(ChipFamily::BTC, sim::WireModel{63, 100, 0.0, 1});
    EXPECT_EQ(r.report.miner_type, "BTC\n");
    EXPECT_EQ(r.report.temp_sensor, "YES\n");
    std::vector<std::string> sent;
    for (const sim::ReceivedFrame &f : r.report.frames)
        sent.push_back(f.name());
    EXPECT_EQ(sent, std::vector<std::string>{"BTC detection"});
}

struct CorruptCase {
    ChipFamily family;
    int chips;
    bool sensor_answers;
    uint32_t seed;
};

class CorruptedChain : public ProbeOnWire, public ::testing::WithParamInterface<CorruptCase> {};

// Corrupted reply bytes (5 % of them, one bit each) may cost an attempt or a
// query, but never record another family, nor YES for a silent sensor. The
// generator is seeded, so each case is the same corruption every time. One
// bit apart, though, are the SIA and DASH patterns (byte 3: 0x20, 0x60): that
// flip in the first record reads as the other family, which the program has
// no way to tell (10 of 2000 seeds at 5 % on a 6-chip SIA chain, seed 35 the
// first); the cases here do not flip it.
TEST_P(CorruptedChain, CorruptionNeverMakesAWrongRecord)
{
    const CorruptCase c = GetParam();
    const WireRun r = run(c.family, sim::WireModel{c.chips, 100, 0.05, c.seed}, false, c.sensor_answers ? 1 : 0);
    if (r.report.miner_type) {
        EXPECT_EQ(*r.report.miner_type, std::string(sim::chip_family_name(c.family)) + "\n");
    }
    if (!c.sensor_answers && r.report.temp_sensor) {
        EXPECT_EQ(*r.report.temp_sensor, "NO\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Seeded, CorruptedChain,
                         ::testing::Values(CorruptCase{ChipFamily::LTC, 60, false, 3},
                                           CorruptCase{ChipFamily::SIA, 60, true, 5},
                                           CorruptCase{ChipFamily::DASH, 256, false, 7},
                                           CorruptCase{ChipFamily::LTC, 6, true, 3}),
                         [](const ::testing::TestParamInfo<CorruptCase> &info) {
                             return std::string(sim::chip_family_name(info.param.family)) + "_" +
                                    std::to_string(info.param.chips) + "chips_" +
                                    (info.param.sensor_answers ? "answering" : "silent") + "_seed" +
                                    std::to_string(info.param.seed);
                         });

TEST_F(ProbeOnWire, AlternateBoardRecordsNoSensorLine)
{
    const WireRun r = run(ChipFamily::LTC, sim::WireModel{12, 100, 0.0, 1}, true);
    EXPECT_EQ(r.report.miner_type, "LTC\n");
    EXPECT_EQ(r.report.temp_sensor, std::nullopt);
}

TEST_F(ProbeOnWire, LongChainWithSlowChipsStillEndsInBoundedTime)
{
    // Replies start after the 2 ms wait: whatever the program concludes, its
    // log stays well formed, its reads stay within their lengths and the run
    // within its sleeps plus the wire.
    const WireRun r = run(ChipFamily::SIA, sim::WireModel{60, 3000, 0.0, 1});
    EXPECT_GE(count(r.lines, Said::TimedOut), 1);
}

} // namespace
