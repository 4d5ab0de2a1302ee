// SPDX-License-Identifier: MIT
#include <algorithm>
#include <optional>
#include <utility>

#include "probe_lines.h"
#include "probe_log.h"
#include "text.h"

namespace board_sim::probe_log {

namespace {

struct Log {
    std::vector<Run> runs;
    std::vector<ShellError> early_errors; // before any run: standard output is buffered, standard error not
    Exchange spare;                       // takes the lines of a read that follows no frame in the log

    Run &run(int line, bool fresh)
    {
        if (fresh || runs.empty()) {
            Run &r = runs.emplace_back();
            r.line = line;
            r.shell_errors = std::exchange(early_errors, {});
        }
        return runs.back();
    }
    Attempt &open(int line)
    {
        const bool finished = !runs.empty() && (runs.back().already_done || ended(runs.back().attempts));
        Attempt &a = run(line, finished).attempts.emplace_back();
        a.line = line;
        return a;
    }
    // The attempt a line belongs to; one is opened when the log starts inside it.
    Attempt &attempt(int line)
    {
        Run &r = run(line, false);
        if (r.attempts.empty()) {
            r.attempts.emplace_back().line = line;
            r.attempts.back().no_open_line = true;
        }
        return r.attempts.back();
    }
    Exchange &exchange(int line)
    {
        Attempt &a = attempt(line);
        spare = {};
        return a.exchanges.empty() ? spare : a.exchanges.back();
    }
    // Whether the attempts so far end the run: a family found, or none in all of them.
    static bool ended(const std::vector<Attempt> &a)
    {
        return !a.empty() && (a.back().family != nullptr || (a.size() >= PROBE_ATTEMPTS && a.back().unknown));
    }
};

// ---- The program's lines -------------------------------------------------

// The text of a printf format up to its first conversion.
std::string_view head_of(std::string_view format)
{
    return format.substr(0, format.find('%'));
}

// Whether `line` (its trailing blanks removed) is what printf prints for
// `format` (its newline removed). %d takes a decimal number, %f a number's
// digits, %s the text up to the literal rest of the format, so that a %s is
// always the format's last conversion.
bool printed_by(std::string_view format, std::string_view line, ProbeLine *t)
{
    int numbers = 0;
    t->text.clear();
    if (format.ends_with('\n'))
        format.remove_suffix(1);
    while (!format.empty()) {
        if (format[0] != '%') {
            if (line.empty() && format == " %s") // a trace of no bytes, its blank trimmed off
                return true;
            if (!line.starts_with(format[0]))
                return false;
            format.remove_prefix(1);
            line.remove_prefix(1);
            continue;
        }
        const char conversion = format.size() > 1 ? format[1] : '%';
        format.remove_prefix(2);
        if (conversion == 's') {
            if (!line.ends_with(format))
                return false;
            t->text = line.substr(0, line.size() - format.size());
            return true;
        }
        size_t n = conversion == 'd' && line.starts_with('-') ? 1 : 0;
        while (n < line.size() && n < 10 &&
               ((line[n] >= '0' && line[n] <= '9') || (conversion == 'f' && line[n] == '.')))
            ++n;
        if (n == 0 || (conversion == 'd' && line[n - 1] == '-'))
            return false;
        if (conversion == 'd')
            *(numbers++ == 0 ? &t->n : &t->m) = std::stol(std::string(line.substr(0, n)));
        line.remove_prefix(n);
    }
    return line.empty();
}

const Family *family_of(std::string_view prefix)
{
    for (const DetectionStage &stage : DETECTION_STAGES)
        for (int i = 0; i < stage.family_count; ++i)
            if (prefix == stage.families[i].prefix)
                return &stage.families[i];
    return nullptr;
}

const Frame *frame_of(const std::string &hex)
{
    for (const Frame *f : ALL_FRAMES)
        if (sim::hex_bytes(f->bytes, static_cast<size_t>(f->len)) == hex)
            return f;
    return nullptr;
}

void take_record(Log &log, const ProbeLine &t, bool already_done)
{
    Run &r = log.run(t.line, !log.runs.empty() && (!log.runs.back().attempts.empty() || log.runs.back().already_done));
    // A record without a newline at its end runs into the next line; a
    // record line longer than the program's buffer comes as several pieces
    // on one line.
    const std::string_view piece = head_of(RECORD_PIECE_FORMAT);
    const std::string_view done = head_of(ALREADY_DONE_FORMAT);
    const size_t done_at = already_done ? 0 : t.text.find(done);
    if (!already_done) {
        std::string record = t.text.substr(0, done_at);
        for (size_t at; (at = record.find(piece)) != std::string::npos;)
            record.erase(at, piece.size());
        r.content.push_back(record);
    }
    if (done_at != std::string::npos) {
        r.already_done = true;
        r.done_text = t.text.substr(already_done ? 0 : done_at + done.size());
    }
}

void take_sensor_line(Log &log, const ProbeLine &t)
{
    Attempt &a = log.attempt(t.line);
    ++a.sensor_lines;
    a.sensor_ok = a.sensor_ok || t.said == Said::SensorOk;
}

// What a line's %s must be: anything, a family's prefix (of one with a
// sensor, for the sensor's lines), or the hex digits of a trace.
enum class Field { Any, Family, SensorFamily, Trace, Reply };

struct Message {
    std::string format;
    Said said;
    void (*take)(Log &, const ProbeLine &);
    Field field = Field::Any;
};

// Every line the program prints, with what it adds to the log as read.
const std::vector<Message> &messages()
{
    using T = const ProbeLine &;
    using enum Said;
    static const std::vector<Message> all = {
        {WRITE_FAILED_TEXT, WriteFailed, [](Log &l, T t) { l.exchange(t.line).write_failed = true; }},
        {SELECT_ERROR_TEXT, SelectError, [](Log &l, T t) { l.exchange(t.line).read = "select error"; }},
        {TIMED_OUT_TEXT, TimedOut, [](Log &l, T t) { l.exchange(t.line).read = "timed out"; }},
        {NOT_READABLE_FORMAT, NotReadable, [](Log &l, T t) { l.exchange(t.line).read = "not readable"; }},
        {READ_ERROR_TEXT, ReadError, [](Log &l, T t) { l.attempt(t.line); }}, // the total says as much
        {READ_FULL_FORMAT, ReadFull, [](Log &l, T t) { l.attempt(t.line); }},
        {BTC_SENSOR_TEXT, BtcSensor, [](Log &l, T t) { l.attempt(t.line).btc_sensor = true; }},
        {UNKNOWN_MINER_TEXT, UnknownMiner, [](Log &l, T t) { l.attempt(t.line).unknown = true; }},
        {RECORD_PIECE_FORMAT, RecordPiece, [](Log &l, T t) { take_record(l, t, false); }},
        {ALREADY_DONE_FORMAT, AlreadyDone, [](Log &l, T t) { take_record(l, t, true); }},
        {OPENED_FORMAT, Opened, [](Log &l, T t) { l.open(t.line).fd = t.n; }},
        {OPEN_FAILED_FORMAT, OpenFailed,
         [](Log &l, T t) { l.open(t.line).open_failed = t.text.empty() ? "?" : t.text; }},
        // Printed by the open, before its own line: a run starts there.
        {BAD_BAUD_FORMAT, BadBaud, [](Log &l, T t) { l.run(t.line, false); }},
        {std::string(SENT_ARROW) + " %s", Sent,
         [](Log &l, T t) {
             Exchange &e = l.attempt(t.line).exchanges.emplace_back();
             e.line = t.line;
             e.sent = t.text;
             e.sent_frame = frame_of(t.text);
             e.frame = e.sent_frame != nullptr ? e.sent_frame->name : "";
         },
         Field::Trace},
        {std::string(RECEIVED_ARROW) + " %s", Received, [](Log &l, T t) { l.exchange(t.line).reply = t.text; },
         Field::Reply},
        {READ_PASS_FORMAT, ReadPass,
         [](Log &l, T t) {
             Exchange &e = l.exchange(t.line);
             e.read = "bytes";
             e.asked = t.n;
             ++e.passes;
         }},
        {READ_BOUND_FORMAT, ReadBound, [](Log &l, T t) { l.exchange(t.line).ran_out = true; }},
        {READ_TOTAL_FORMAT, ReadTotal,
         [](Log &l, T t) {
             Exchange &e = l.exchange(t.line);
             e.read = e.read == "none" ? "bytes" : e.read;
             e.received = t.n;
         }},
        {FAMILY_FORMAT, Family,
         [](Log &l, T t) {
             Attempt &a = l.attempt(t.line);
             a.family = family_of(t.text);
             a.sensor_from = a.exchanges.size();
         },
         Field::Family},
        {SENSOR_QUERY_FORMAT, SensorQuery, take_sensor_line, Field::SensorFamily},
        {SENSOR_OK_FORMAT, SensorOk, take_sensor_line, Field::SensorFamily},
        {std::string("%s") + CONFIGURE_MISC_STEP, ConfigureMisc, take_sensor_line, Field::SensorFamily},
        {std::string("%s") + CONFIGURE_MUX_STEP, ConfigureMux, take_sensor_line, Field::SensorFamily},
        {std::string("%s") + SENSOR_REGISTER_STEP, SensorRegister, take_sensor_line, Field::SensorFamily},
    };
    return all;
}

// The whole of `s` as one of the program's lines.
bool classify(std::string_view s, ProbeLine *t)
{
    for (const Message &m : messages()) {
        if (!printed_by(m.format, s, t))
            continue;
        const Family *f = family_of(t->text);
        const bool hex =
            t->text.size() % 2 == 0 && t->text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        const bool fits = m.field == Field::Family         ? f != nullptr
                          : m.field == Field::SensorFamily ? f != nullptr && f->sensor != nullptr
                          : m.field == Field::Trace        ? hex
                          : m.field == Field::Reply        ? hex && !t->text.empty()
                                                           : true;
        if (fits) {
            t->said = m.said;
            return true;
        }
    }
    t->text.clear();
    return false;
}

// ---- The shell's standard-error lines ----------------------------------

// Files the program's shell commands write; a standard-error line naming one
// of them after the shell's name, with a reason after it, says that the write
// failed ("sh: 1: cannot create /usr/bin/tempSensor: Read-only file system",
// busybox's "sh: can't create ..."). cat's complaint about a missing
// minerType is no failure, but shows that the log holds standard error.
constexpr std::string_view WRITTEN_FILES[] = {"/usr/bin/minerType", "/usr/bin/tempSensor", "/sys/class/gpio/"};

std::optional<ShellError> shell_error(int number, std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    for (std::string_view file : WRITTEN_FILES) {
        const size_t at = line.find(file);
        if (at == std::string_view::npos)
            continue;
        // The shell names itself ("sh: ..."), or says what it could not do.
        const std::string_view before = line.substr(0, at);
        const size_t colon = line.find(": ", at);
        if ((before.find("sh: ") == std::string_view::npos && before.find("create ") == std::string_view::npos) ||
            colon == std::string_view::npos || colon + 2 >= line.size())
            return std::nullopt;
        return ShellError{number, std::string(line.substr(at, colon - at)), std::string(line.substr(colon + 2))};
    }
    return std::nullopt;
}

} // namespace

std::vector<Run> read_log(std::string_view text, LogExplanation *result)
{
    Log log;
    for (const ProbeLine &t : probe_lines(text)) {
        if (t.said != Said::Other) {
            ++result->probe_lines;
            std::ranges::find(messages(), t.said, &Message::said)->take(log, t);
        } else if (!t.whole.empty() && t.whole != "\r") {
            ++result->other_lines;
            const std::optional<ShellError> error = shell_error(t.line, t.whole);
            if (error)
                (log.runs.empty() ? log.early_errors : log.runs.back().shell_errors).push_back(*error);
            result->standard_error = result->standard_error || error.has_value() ||
                                     t.whole.find("cat: /usr/bin/minerType") != std::string_view::npos;
        }
    }
    return log.runs;
}

std::string name_of(const Family &f)
{
    std::string name = f.prefix;
    for (char &c : name)
        c = static_cast<char>(c - 'a' + 'A');
    return name;
}

} // namespace board_sim::probe_log

namespace board_sim {

// The program's lines are found at a line's start or after a prefix that ends
// in a blank, ']' or ':' (a time stamp, a syslog tag).
std::vector<ProbeLine> probe_lines(std::string_view log)
{
    std::vector<ProbeLine> lines;
    for (int number = 1; !log.empty(); ++number) {
        const size_t eol = log.find('\n');
        ProbeLine &t = lines.emplace_back();
        t.line = number;
        t.whole = log.substr(0, eol);
        std::string_view s = t.whole;
        while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
            s.remove_suffix(1);
        for (size_t p = 0; p < s.size(); ++p)
            if ((p == 0 || std::string_view(" \t]:").find(s[p - 1]) != std::string_view::npos) && s[p] != ' ' &&
                s[p] != '\t' && probe_log::classify(s.substr(p), &t))
                break;
        log = eol == std::string_view::npos ? std::string_view() : log.substr(eol + 1);
    }
    return lines;
}

int count(const std::vector<ProbeLine> &lines, Said said)
{
    return static_cast<int>(std::ranges::count(lines, said, &ProbeLine::said));
}

} // namespace board_sim
