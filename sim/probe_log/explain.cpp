// SPDX-License-Identifier: MIT
// The explanation, written from the log as read (log_reader.cpp) and the
// verdicts on its replies (verdict.cpp); the program's counts come from
// probe/messages.h.
#include "explain.h"

#include <algorithm>
#include <span>

#include "probe_log.h"
#include "text.h"

namespace board_sim {

using namespace probe_log;

namespace {

constexpr size_t MAX_REASONS = 2; // distinct mismatch reasons named per sensor round

// The counts of one round of the sensor detection.
struct Round {
    int queries = 0;
    int unanswered = 0;
    int mismatches = 0;
    int failed_writes = 0;
    std::vector<std::string> reasons; // distinct, at most MAX_REASONS, then "..."

    std::string text() const
    {
        std::string text = sim::plural(queries, "query", "queries");
        if (unanswered)
            text += ", " + std::to_string(unanswered) + " unanswered";
        if (mismatches) {
            text += ", " + std::to_string(mismatches) + " not matching (";
            for (size_t r = 0; r < reasons.size(); ++r)
                text += (r ? "; " : "") + reasons[r];
            text += ")";
        }
        if (failed_writes)
            text += ", " + sim::plural(failed_writes, "failed write", "failed writes");
        return text;
    }
};

struct Writer {
    LogExplanation *out;
    bool positions = true;

    // "line 12: ", or nothing without positions.
    std::string at(int number) const { return positions ? "line " + std::to_string(number) + ": " : ""; }

    void line(int level, const std::string &text)
    {
        out->text.push_back(std::string(static_cast<size_t>(2 * level), ' ') + text);
    }

    void sent(int level, const Exchange &e)
    {
        const std::string label = e.sent_frame != nullptr ? e.frame + " (" + e.sent + ")"
                                  : e.sent.empty()        ? "a frame (the write failed; nothing traced)"
                                                          : "an unknown frame " + quoted(e.sent);
        line(level, at(e.line) + "sent " + label);
    }

    void exchange(int level, const Exchange &e)
    {
        sent(level, e);
        const std::string went_out = std::to_string(e.sent.size() / 2) +
                                     (e.sent_frame != nullptr ? " of " + std::to_string(e.sent_frame->len) : "");
        if (e.write_failed)
            line(level + 1, e.sent.empty() ? "the write failed: nothing went out, the reply is not read"
                                           : "short write: " + went_out + " bytes went out, the reply is not read");
        for (const std::string &r : describe_reply(e).lines)
            line(level + 1, r);
    }

    // The sensor detection, folded into rounds: "YES", "NO", or "" when the
    // log ends before the detection does. Only a family with a sensor gets here.
    std::string sensor(int level, const Attempt &a)
    {
        const SensorProcedure &proc = *a.family->sensor;
        const std::string detection = a.sensor_from > 0 ? a.exchanges[a.sensor_from - 1].reply : "";
        std::vector<std::string> rounds;
        Round round;
        bool started = false; // the log may start inside the detection
        int queries = 0;
        int out_of_step_reads = 0;
        int last_in_step = 0; // the last query whose read took no earlier reply
        const Exchange *answer = nullptr;
        Verdict answered;
        for (const Exchange &e : std::span(a.exchanges).subspan(a.sensor_from)) {
            if (e.sent_frame == proc.steps[0].frame && started) {
                rounds.push_back(round.text());
                round = {};
            }
            started = started || e.sent_frame == proc.steps[0].frame || e.sent_frame == proc.query;
            round.failed_writes += e.write_failed ? 1 : 0;
            if (e.sent_frame == nullptr)
                sent(level + 1, e);
            if (e.sent_frame != proc.query)
                continue;
            ++queries;
            ++round.queries;
            if (e.write_failed)
                continue;
            const Verdict v = describe_reply(e);
            if (v.matched) {
                answer = &e;
                answered = v;
                break;
            }
            const std::string stale = out_of_step(e, proc, detection);
            if (stale.empty())
                last_in_step = queries;
            else
                ++out_of_step_reads;
            if (e.read != "bytes") {
                ++round.unanswered;
                continue;
            }
            ++round.mismatches;
            const std::string reason = stale.empty() ? v.why : stale;
            if (std::find(round.reasons.begin(), round.reasons.end(), reason) == round.reasons.end() &&
                round.reasons.size() <= MAX_REASONS)
                round.reasons.push_back(round.reasons.size() < MAX_REASONS ? reason : "...");
        }
        if (started)
            rounds.push_back(round.text());
        // Rounds alike in a row are one line: "rounds 1 to 10, each: 10 queries, 10 unanswered".
        for (size_t at = 0, end = 1; at < rounds.size(); at = end++) {
            while (end < rounds.size() && rounds[end] == rounds[at])
                ++end;
            line(level + 1, end - at == 1 ? "round " + std::to_string(at + 1) + ": " + rounds[at]
                                          : "rounds " + std::to_string(at + 1) + " to " + std::to_string(end) +
                                                ", each: " + rounds[at]);
        }
        if (answer != nullptr) {
            line(level + 1, at(answer->line) + "query " + std::to_string(queries) + " answered: " + answered.lines[0]);
            line(level + 2, answered.lines[1]);
        }
        line(level, "sensor queries: " + std::to_string(queries) + " in " +
                        sim::plural(static_cast<long>(rounds.size()), "round", "rounds"));
        const bool all_done = rounds.size() == SENSOR_ROUNDS && round.queries == SENSOR_QUERIES_PER_ROUND;
        if (out_of_step_reads > 0 && answer != nullptr)
            line(level, sim::plural(out_of_step_reads, "read", "reads") +
                            " before the match took earlier replies "
                            "(out of step with their frames): a chain longer than the detection read was still "
                            "sending, and the sensor's replies waited behind its records. From 0.2.0 on the program "
                            "discards what is pending before each frame, so this lasts only while a long chain "
                            "sends; a program before 0.2.0 keeps reading what waits, and its YES may come from the "
                            "reply to an earlier query");
        if (out_of_step_reads > 0 && answer == nullptr && last_in_step < queries && all_done)
            line(level, "every read from query " + std::to_string(last_in_step + 1) +
                            " on was a reply read out of step with its frame: the bytes an earlier, longer reply "
                            "left on the line shift each read alike, so a sensor that answers never lines up. "
                            "This is a program before 0.2.0 on a chain longer than its detection read (0.2.0 "
                            "discards pending input before each frame): the NO is not to be trusted; update "
                            "the program and probe again");
        if (answer != nullptr || a.sensor_ok) {
            line(level, "temperature sensor: YES");
            return "YES";
        }
        if (all_done) {
            line(level, "temperature sensor: NO (" + std::to_string(SENSOR_ROUNDS * SENSOR_QUERIES_PER_ROUND) +
                            " queries, none matched)");
            return "NO";
        }
        return "";
    }

    // One run; returns false when it is cut off.
    bool run(int number, const Run &r)
    {
        line(0, positions ? "run " + std::to_string(number) + " (from line " + std::to_string(r.line) + "):" : "run:");
        if (r.content.empty() && !r.already_done)
            line(1, "no record read before: /usr/bin/minerType missing or empty");
        for (const std::string &c : r.content)
            line(1, "recorded before: '" + c + "'");
        if (r.already_done) {
            line(1, "the record names a family already ('" + r.done_text + "'): nothing sent, nothing appended");
            out->families.emplace_back("");
            return true;
        }
        std::string family;
        bool finished = false;
        bool alt_board = false;
        std::string temp_line; // what the run appended to /usr/bin/tempSensor
        for (size_t i = 0; i < r.attempts.size(); ++i) {
            const Attempt &a = r.attempts[i];
            ++out->attempts;
            line(1, "attempt " + std::to_string(i + 1) + (positions ? " (line " + std::to_string(a.line) + ")" : "") +
                        ": " +
                        (a.no_open_line ? std::string("the log starts inside it")
                         : a.open_failed.empty()
                             ? "serial device opened" + (positions ? " (descriptor " + std::to_string(a.fd) + ")" : "")
                             : "the serial device " + a.open_failed + " did not open; every write fails"));
            for (size_t k = 0; k < (a.family == nullptr ? a.exchanges.size() : a.sensor_from); ++k)
                exchange(2, a.exchanges[k]);
            if (a.unknown) {
                line(2, "no family recognised (\"" + std::string(UNKNOWN_MINER_TEXT) + "\")");
                continue;
            }
            if (a.family == nullptr) {
                line(2, "the log ends inside this attempt");
                break;
            }
            family = name_of(*a.family);
            line(2, "family found: " + family);
            // Without sensor lines or frames after the family line, the
            // program ran on the alternate board, which asks no sensor.
            const bool asked = a.exchanges.size() > a.sensor_from || a.sensor_lines > 0;
            alt_board = a.family->sensor == nullptr ? !a.btc_sensor : !asked;
            if (a.family->sensor == nullptr && a.btc_sensor) {
                line(2, "a BTC board is taken to have its sensor: no query sent");
                temp_line = "YES";
            } else if (!alt_board) {
                line(2, std::string("sensor detection (") + a.family->prefix + "):");
                temp_line = sensor(2, a);
            }
            finished = alt_board || !temp_line.empty();
            break;
        }
        out->families.push_back(family);
        const auto attempts = static_cast<int>(r.attempts.size());
        const ShellError *control_line = error_about(r, "/sys/class/gpio/");
        if (control_line != nullptr)
            line(1, "the control line was not written (" + at(control_line->line) + control_line->path + ": " +
                        control_line->reason + "): the chips were neither reset nor powered through it");
        if (family.empty() && attempts >= PROBE_ATTEMPTS && r.attempts.back().unknown) {
            line(1, "no family after " + std::to_string(PROBE_ATTEMPTS) +
                        " attempts: nothing appended to either record file; the next run probes again");
            if (control_line != nullptr)
                line(1, "the silence is that of chips the control line never reached, not of the UART: "
                        "export and wire the control line (docs/bring-up.md)");
            else if (out->standard_error)
                line(1, "the control line was written (standard error shows no failure): the chips or the "
                        "UART are silent (wiring, power, the serial device)");
            else
                line(1, "the log holds no standard-error lines, so a control line that could not be written "
                        "cannot be told from a silent UART: explain the output of 'miner-probe 2>&1'");
            return true;
        }
        if (family.empty()) {
            line(1, "cut off: the log ends after " + sim::plural(attempts, "attempt", "attempts") + " of " +
                        std::to_string(PROBE_ATTEMPTS) + " without a family");
            return false;
        }
        if (!finished) {
            line(1, "cut off: the log ends inside the sensor detection; by then nothing was appended to "
                    "/usr/bin/tempSensor or /usr/bin/minerType");
            return false;
        }
        line(1, "result: " + family + " at attempt " + std::to_string(attempts));
        if (alt_board)
            line(1, "no sensor detection follows: the alternate board (or a log cut right after the family "
                    "line)");
        line(1, "appended by the run:");
        appended(r, "/usr/bin/tempSensor", temp_line);
        appended(r, "/usr/bin/minerType", family);
        return true;
    }

    // The first standard-error line of the run about `path` (a prefix).
    static const ShellError *error_about(const Run &r, std::string_view path)
    {
        const auto e =
            std::ranges::find_if(r.shell_errors, [path](const ShellError &s) { return s.path.starts_with(path); });
        return e == r.shell_errors.end() ? nullptr : &*e;
    }

    void appended(const Run &r, const char *path, const std::string &record)
    {
        const ShellError *e = error_about(r, path);
        if (record.empty())
            line(2, std::string(path) + ": nothing");
        else if (e == nullptr || e->path != path)
            line(2, std::string(path) + ": " + record);
        else
            line(2, std::string(path) + ": nothing: the shell could not write " + record + " there (" + at(e->line) +
                        e->reason + ")");
    }
};

} // namespace

std::vector<LoggedExchange> logged_exchanges(std::string_view text)
{
    LogExplanation counts;
    std::vector<LoggedExchange> out;
    int number = 0;
    for (const Run &r : read_log(text, &counts)) {
        ++number;
        for (const Attempt &a : r.attempts)
            for (const Exchange &e : a.exchanges) {
                const Verdict v = describe_reply(e);
                const size_t said = e.read == "bytes" && v.lines.size() > 1 ? 1 : 0;
                out.push_back(e);
                out.back().run = number;
                out.back().verdict = e.read != "none" && said < v.lines.size() ? v.lines[said] : "";
            }
    }
    return out;
}

LogExplanation explain_log(std::string_view text, ExplainOptions options)
{
    LogExplanation result;
    const std::vector<Run> runs = read_log(text, &result);
    Writer writer{&result, options.positions};
    result.runs = static_cast<int>(runs.size());
    result.probe_log = !runs.empty();
    if (!result.probe_log) {
        writer.line(0, "this does not look like a miner-probe run: none of its " +
                           sim::plural(result.other_lines, "line is", "lines are") + " the program's");
        return result;
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        const int number = static_cast<int>(i + 1);
        if ((options.run == 0 || options.run == number) && !writer.run(number, runs[i]) &&
            (options.run != 0 || i + 1 == runs.size()))
            result.cut_off = true;
    }
    if (options.positions)
        writer.line(0, sim::plural(result.probe_lines, "line", "lines") + " of miner-probe output, " +
                           sim::plural(result.other_lines, "other line", "other lines") + " passed over" +
                           (result.cut_off ? "; the log is cut off" : ""));
    return result;
}

std::string run_difference(std::string_view a, int run_a, std::string_view b, int run_b)
{
    // The explanation without positions, then every exchange whole.
    const auto outline = [](std::string_view log, int run) {
        std::vector<std::string> lines = explain_log(log, {.run = run, .positions = false}).text;
        for (const LoggedExchange &x : logged_exchanges(log))
            if (x.run == run)
                lines.push_back(
                    "sent " + x.sent + (x.write_failed ? " (write failed)" : "") + ", read " + x.read +
                    (x.read == "bytes" ? std::string(" ") + std::to_string(x.received) + ": " + x.reply : "") +
                    (x.verdict.empty() ? "" : ": " + x.verdict));
        return lines;
    };
    const std::vector<std::string> first = outline(a, run_a);
    const std::vector<std::string> second = outline(b, run_b);
    const auto [one, two] = std::ranges::mismatch(first, second);
    if (one == first.end() && two == second.end())
        return "";
    return "'" + (one == first.end() ? std::string("(nothing more)") : *one) + "' against '" +
           (two == second.end() ? std::string("(nothing more)") : *two) + "'";
}

} // namespace board_sim
