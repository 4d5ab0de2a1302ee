// SPDX-License-Identifier: MIT
// `board-sim explain --as-scenario`: the probe scenario of one run of a
// miner-probe log, so that the run is replayed on the simulated or emulated
// board. The keys an engineer would set are read off the log first: the
// record read, the board variant, the family, the attempt from which the
// chips answered, the query from which the sensor answered and its bytes.
// Then the chips' own rules (chips_answer) are run over the log's frames, and
// each read that the scenario would not give back as the log shows it is
// pinned with a reply to that frame alone (NAME#K=HEX). What no key can
// reproduce is listed in the note, with its line.
#include <algorithm>
#include <map>

#include "probe_log.h"
#include "scenario.h"
#include "text.h"

namespace board_sim {

using namespace probe_log;

namespace {

constexpr size_t LINES_NAMED = 8; // per reason in the note, then "and N more"

const sim::KnownFrame *board_frame(const std::string &hex)
{
    const auto &frames = sim::known_frames();
    const auto f =
        std::ranges::find_if(frames, [&hex](const sim::KnownFrame &k) { return sim::hex_bytes(k.bytes) == hex; });
    return f == frames.end() ? nullptr : &*f;
}

struct Builder {
    const Run &run;
    ProbeScenario s;
    std::map<std::string, std::vector<int>> unreproduced; // why: the lines
    bool alt_by_silence = false;                          // the alternate board, from the lack of sensor lines alone
    int out_of_step_reads = 0;                            // pinned sensor reads that took bytes of an earlier reply

    void cannot(int line, const std::string &why) { unreproduced[why].push_back(line); }

    // The attempt that found the family, if any.
    const Attempt *found() const
    {
        const auto a = std::ranges::find_if(run.attempts, [](const Attempt &x) { return x.family != nullptr; });
        return a == run.attempts.end() ? nullptr : &*a;
    }

    // For a log cut between a detection reply and the family's line: the
    // family whose pattern the reply matches, as the program would find it.
    const Family *family_of_replies() const
    {
        for (const Attempt &a : run.attempts)
            for (const Exchange &e : a.exchanges)
                if (const Family *f = describe_reply(e).family)
                    return f;
        return nullptr;
    }

    void record()
    {
        std::string text;
        for (const std::string &line : run.content)
            text += line + "\n";
        if (text.empty() && run.already_done)
            text = run.done_text + "\n";
        if (!text.empty())
            s.miner_type = text;
    }

    // The control board: the serial device, the control line, /usr/bin.
    void control_board()
    {
        const auto failed =
            std::ranges::count_if(run.attempts, [](const Attempt &a) { return !a.open_failed.empty(); });
        for (const Attempt &a : run.attempts)
            if (a.open_failed == "/dev/ttyS0")
                s.args = {"alt"};
        s.uart_present = failed == 0 || failed < static_cast<long>(run.attempts.size());
        for (const Attempt &a : run.attempts)
            if (!a.open_failed.empty() && s.uart_present)
                cannot(a.line, "the serial device did not open in some attempts only; a scenario's is there or not "
                               "for the whole run");
        for (const ShellError &e : run.shell_errors) {
            s.gpio_files = s.gpio_files && !e.path.starts_with("/sys/class/gpio/");
            s.usr_bin_read_only = s.usr_bin_read_only || e.path.starts_with("/usr/bin/");
        }
        // Without sensor lines after the family line, the alternate board.
        if (const Attempt *a = found())
            if (a->family->sensor == nullptr ? !a->btc_sensor
                                             : a->exchanges.size() == a->sensor_from && a->sensor_lines == 0) {
                s.args = {"alt"};
                alt_by_silence = true;
            }
    }

    // The family, the attempt from which the chips answered, and what the
    // family's detection frame and sensor got in the attempt that found it.
    void hash_board()
    {
        const Attempt *a = found();
        const Family *chips = a != nullptr ? a->family : family_of_replies();
        for (const auto &[family, name] : sim::CHIP_FAMILY_NAMES)
            if (chips != nullptr && name == name_of(*chips))
                s.board.family = family;
        for (size_t i = 0; i < run.attempts.size(); ++i)
            if (std::ranges::any_of(run.attempts[i].exchanges, [](const Exchange &e) { return e.received > 0; })) {
                s.board.answers_after_cycles = s.gpio_files ? static_cast<int>(i + 1) : 0;
                break;
            }
        if (a == nullptr || a->sensor_from == 0)
            return;
        const Exchange &detection = a->exchanges[a->sensor_from - 1];
        const sim::KnownFrame *f = board_frame(detection.sent);
        if (f != nullptr && detection.received > 0 && !detection.reply.empty()) {
            sim::HashBoardScenario chain;
            chain.family = s.board.family;
            std::vector<uint8_t> usual = sim::reply_for(chain, f->id);
            usual.resize(std::min(usual.size(), static_cast<size_t>(std::max(detection.asked, 0L))));
            if (bytes_of(detection.reply) != usual)
                s.board.detection_reply = bytes_of(detection.reply);
        }
        if (a->family->sensor != nullptr && s.args.empty())
            sensor(*a);
    }

    // The first query whose read took a reply of its own (not bytes an
    // earlier reply left) gives the sensor's start and bytes; none: never.
    void sensor(const Attempt &a)
    {
        const SensorProcedure &proc = *a.family->sensor;
        const std::string &detection = a.exchanges[a.sensor_from - 1].reply;
        int queries = 0;
        for (const Exchange &e : std::span(a.exchanges).subspan(a.sensor_from)) {
            if (e.sent_frame != proc.query || e.write_failed)
                continue;
            ++queries;
            if (e.received <= 0 || e.reply.empty() || !out_of_step(e, proc, detection).empty())
                continue;
            s.board.sensor_answers_at_query = queries;
            const std::vector<uint8_t> reply = bytes_of(e.reply);
            const size_t at = s.board.family == sim::ChipFamily::LTC ? 0 : 2; // SIA and DASH replies start AA 55
            sim::HashBoardScenario as_status = s.board;
            if (reply.size() > at + 3) {
                as_status.sensor_status = reply[at];
                as_status.sensor_id = reply[at + 3];
            }
            const sim::KnownFrame *f = board_frame(e.sent);
            if (f != nullptr && sim::reply_for(as_status, f->id) == reply) {
                s.board.sensor_status = as_status.sensor_status;
                s.board.sensor_id = as_status.sensor_id;
            } else {
                s.board.sensor_reply = reply;
            }
            return;
        }
        if (queries > 0)
            s.board.sensor_answers_at_query = 0;
    }

    // Runs the chips' rules over the log's frames and pins each read they
    // would not give back as logged.
    void pin_replies()
    {
        sim::ChipState chips;
        for (size_t i = 0; i < run.attempts.size(); ++i) {
            sim::ControlLineState line;
            line.cycles = s.gpio_files ? static_cast<int>(i + 1) : 0;
            line.high = s.gpio_files;
            for (const Exchange &e : run.attempts[i].exchanges) {
                const sim::KnownFrame *f = board_frame(e.sent);
                if (e.write_failed) {
                    cannot(e.line, "usb_uart_write failed: the simulated line takes every write");
                    continue;
                }
                if (f == nullptr) {
                    cannot(e.line, "a frame that is none of the program's: the replay sends only the program's");
                    continue;
                }
                const std::vector<uint8_t> answer = sim::chips_answer(s.board, chips, f->id, line);
                if (e.read == "none" || (e.read == "bytes" && e.received < 0))
                    continue; // no read follows (a setup frame), or the log ends inside it
                if (e.read == "select error" || e.read == "not readable" || (e.read == "bytes" && e.received == 0))
                    cannot(e.line, "the wait for the reply failed, or the line was readable with nothing to "
                                   "read: the simulated line gives a reply or a time-out");
                const std::vector<uint8_t> traced = e.received > 0 ? bytes_of(e.reply) : std::vector<uint8_t>{};
                if (e.received > static_cast<long>(traced.size()))
                    cannot(e.line, "more bytes read than traced: only the traced ones are replayed");
                // What the program would read: at most the bytes it asks for.
                std::vector<uint8_t> read = answer;
                read.resize(std::min(read.size(), e.asked >= 0 ? static_cast<size_t>(e.asked) : read.size()));
                if (read == traced)
                    continue;
                s.board.frame_replies.push_back({f->name, traced, chips.received.at(static_cast<size_t>(f->id))});
                const Attempt &a = run.attempts[i];
                if (a.family != nullptr && a.family->sensor != nullptr && a.sensor_from > 0 &&
                    !out_of_step(e, *a.family->sensor, a.exchanges[a.sensor_from - 1].reply).empty())
                    ++out_of_step_reads;
            }
        }
    }

    void note(const std::string &name, int number, int runs, int last_line, bool cut_off)
    {
        s.note = "Run " + std::to_string(number) + " of " + std::to_string(runs) + " (from line " +
                 std::to_string(run.line) + ") of the miner-probe log " + name +
                 ", by board-sim explain --as-scenario.";
        if (cut_off)
            s.note += " The log ends inside the run, at line " + std::to_string(last_line) +
                      ": the replay goes on from there by the board's rules.";
        const auto pinned =
            std::ranges::count_if(s.board.frame_replies, [](const sim::FrameReply &r) { return r.nth > 0; });
        if (pinned > 0)
            s.note += std::string(" ") + sim::plural(pinned, "read takes", "reads take") +
                      " the bytes the log shows (replies NAME#K=HEX), which the chips' rules alone would not "
                      "give: late or out-of-step replies, or a chain longer than the read.";
        if (out_of_step_reads > 0)
            s.note += std::string(" ") + std::to_string(out_of_step_reads) +
                      " of them took bytes of an earlier reply, out of step with their frames: a chain longer "
                      "than the read was still sending, or a program before 0.2.0 kept what was pending. The "
                      "replay gives those bytes as the replies to these frames.";
        if (alt_by_silence)
            s.note += " No sensor detection follows the family's line: taken as the alternate board (a log cut "
                      "right after that line reads the same).";
        const bool device_named =
            std::ranges::any_of(run.attempts, [](const Attempt &a) { return !a.open_failed.empty(); });
        if (!run.already_done && found() == nullptr && !device_named)
            s.note += " The log does not tell the board variant: taken as the default board.";
        // Each reason once, with its lines, in the order of the log.
        std::vector<std::pair<std::vector<int>, std::string>> reasons;
        for (const auto &[why, lines] : unreproduced)
            reasons.emplace_back(lines, why);
        std::ranges::sort(reasons);
        for (size_t r = 0; r < reasons.size(); ++r) {
            const std::vector<int> &lines = reasons[r].first;
            s.note += std::string(r == 0 ? " Not reproduced: " : "; ") + (lines.size() > 1 ? "lines " : "line ");
            for (size_t k = 0; k < std::min(lines.size(), LINES_NAMED); ++k)
                s.note += (k ? ", " : "") + std::to_string(lines[k]);
            if (lines.size() > LINES_NAMED)
                s.note += " and " + std::to_string(lines.size() - LINES_NAMED) + " more";
            s.note += ": " + reasons[r].second + (r + 1 == reasons.size() ? "." : "");
        }
    }
};

} // namespace

ProbeScenario scenario_of_log(std::string_view log, const std::string &name, int run)
{
    LogExplanation counts;
    const std::vector<Run> runs = read_log(log, &counts);
    const auto n = static_cast<int>(runs.size());
    const int number = run == 0 ? n : run;
    if (number < 1 || number > n) {
        ProbeScenario none;
        none.note = name + " holds no miner-probe run " + std::to_string(run);
        return none;
    }
    Builder b{runs[static_cast<size_t>(number - 1)], {}, {}};
    b.record();
    if (!b.run.already_done) {
        b.control_board();
        if (b.s.uart_present) {
            b.hash_board();
            b.pin_replies();
        }
    }
    const auto log_lines = static_cast<int>(std::ranges::count(log, '\n') + (log.ends_with('\n') ? 0 : 1));
    b.note(name, number, n, number < n ? runs[static_cast<size_t>(number)].line - 1 : log_lines,
           explain_log(log, {.run = number}).cut_off);
    // What board-sim probe would refuse as having no effect (a hand-made log
    // may hold a family's record and attempts after it) is left out.
    for (;;) {
        const Json doc = scenario_document(b.s);
        std::vector<std::string> given; // the keys away from their defaults
        for (const auto &item : doc.items())
            given.push_back(item.key());
        std::string key, ignored;
        const char *rule = refused_key(b.s, false, given, &key);
        if (rule == nullptr)
            return b.s;
        const Key<ProbeScenario> &k = *find_key<ProbeScenario>(key);
        k.read(b.s, k.write(ProbeScenario{}), &ignored);
        b.s.note += " Left out: " + key + ", which has no effect " + rule + ".";
    }
}

} // namespace board_sim
