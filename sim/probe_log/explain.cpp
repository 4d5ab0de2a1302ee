// SPDX-License-Identifier: MIT
// The program's lines are recognised by its own printf formats
// (probe/messages.h); what each frame expected comes from its detection table
// (probe/detection.h).
#include "explain.h"

#include <algorithm>
#include <cstdint>

#include "detection.h"
#include "messages.h"
#include "text.h"

namespace board_sim {

namespace {

constexpr size_t SHOWN_BYTES = 24; // reply bytes quoted in a line
constexpr size_t MAX_REASONS = 2;  // distinct mismatch reasons named per sensor round

// ---- What the log holds --------------------------------------------------

// The shell's complaint that it could not write one of the program's files.
struct ShellError {
    int line = 0;
    std::string path;
    std::string reason;
};

struct Read {
    enum class How { None, TimedOut, SelectError, NotReadable, Bytes } how = How::None;
    long expected = -1;
    long total = -1;
    long passes = 0;
    bool ran_out = false; // the read loop's attempt bound ended it
    std::string hex;      // the trace: the first 100 bytes received
};

constexpr const char *READ_NAMES[] = {"none", "timed out", "select error", "not readable", "bytes"};

struct Exchange {
    int line = 0;
    std::string hex; // as traced: the first 100 bytes written
    const Frame *frame = nullptr;
    bool write_failed = false;
    Read read;
};

struct Attempt {
    int line = 0;
    long fd = -1;
    std::string open_failed; // the path, when the device did not open
    bool no_open_line = false;
    std::vector<Exchange> exchanges;
    const Family *family = nullptr; // from "ltc miner" and the like
    bool unknown = false;
    bool btc_sensor = false;
    size_t sensor_from = 0; // first exchange of the sensor detection
    bool sensor_ok = false;
    int sensor_lines = 0;
};

struct Run {
    int line = 0;
    std::vector<ShellError> shell_errors; // standard-error lines that stand in the run
    std::vector<std::string> content;
    bool already_done = false;
    std::string done_text;
    std::vector<Attempt> attempts;

    bool finished() const
    {
        return already_done || (!attempts.empty() && (attempts.back().family != nullptr ||
                                                      (attempts.size() >= PROBE_ATTEMPTS && attempts.back().unknown)));
    }
};

struct Log {
    std::vector<Run> runs;
    std::vector<ShellError> early_errors; // before any run: standard output is buffered, standard error not
    Exchange spare;                       // takes the lines of a read that follows no frame in the log

    Run &run(int line, bool fresh)
    {
        if (fresh || runs.empty()) {
            runs.emplace_back();
            runs.back().line = line;
        }
        return runs.back();
    }
    Attempt &open(int line)
    {
        Attempt &a = run(line, runs.empty() || runs.back().finished()).attempts.emplace_back();
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
};

// ---- The program's lines -------------------------------------------------

// A line's fields: what the format's %s and %d stood for.
struct Token {
    int line = 0;
    std::string text; // a record, a path, hex digits, a family's prefix
    long n = 0;
    long m = 0;
};

// The text of a printf format up to its first conversion.
std::string_view head_of(std::string_view format)
{
    return format.substr(0, format.find('%'));
}

// Whether `line` (its trailing blanks removed) is what printf prints for
// `format` (its newline removed). %d takes a decimal number, %f a number's
// digits, %s the text up to the literal rest of the format, so that a %s is
// always the format's last conversion.
bool printed_by(std::string_view format, std::string_view line, Token *t)
{
    int numbers = 0;
    if (format.ends_with('\n'))
        format.remove_suffix(1);
    while (!format.empty()) {
        if (format[0] != '%') {
            if (line.empty() && format == " %s") // a trace of no bytes, its blank trimmed off
                return true;
            if (line.empty() || line[0] != format[0])
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

// "LTC" for the family whose lines start with "ltc".
std::string name_of(const Family &f)
{
    std::string name = f.prefix;
    for (char &c : name)
        c = static_cast<char>(c - 'a' + 'A');
    return name;
}

const Frame *frame_of(const std::string &hex)
{
    for (const Frame *f : ALL_FRAMES)
        if (sim::hex_bytes(f->bytes, static_cast<size_t>(f->len)) == hex)
            return f;
    return nullptr;
}

void take_record(Log &log, const Token &t, bool already_done)
{
    Run &r = log.run(t.line, log.runs.empty() || !log.runs.back().attempts.empty() || log.runs.back().already_done);
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

void take_family(Log &log, const Token &t)
{
    Attempt &a = log.attempt(t.line);
    a.family = family_of(t.text);
    a.sensor_from = a.exchanges.size();
}

void take_sensor_line(Log &log, const Token &t, bool ok)
{
    Attempt &a = log.attempt(t.line);
    ++a.sensor_lines;
    a.sensor_ok = a.sensor_ok || ok;
}

void take_read_pass(Log &log, const Token &t)
{
    Read &r = log.exchange(t.line).read;
    r.how = Read::How::Bytes;
    r.expected = t.n;
    ++r.passes;
}

void take_read_total(Log &log, const Token &t)
{
    Read &r = log.exchange(t.line).read;
    if (r.how == Read::How::None)
        r.how = Read::How::Bytes;
    r.total = t.n;
}

// What a line's %s must be: anything, a family's prefix (of one with a
// sensor, for the sensor's lines), or the hex digits of a trace.
enum class Field { Any, Family, SensorFamily, Trace, Reply };

struct Message {
    std::string format;
    void (*take)(Log &, const Token &);
    Field field = Field::Any;
};

// Every line the program prints, with what it adds to the log as read.
const std::vector<Message> &messages()
{
    using T = const Token &;
    static const std::vector<Message> all = [] {
        std::vector<Message> m = {
            {WRITE_FAILED_TEXT, [](Log &l, T t) { l.exchange(t.line).write_failed = true; }},
            {SELECT_ERROR_TEXT, [](Log &l, T t) { l.exchange(t.line).read.how = Read::How::SelectError; }},
            {TIMED_OUT_TEXT, [](Log &l, T t) { l.exchange(t.line).read.how = Read::How::TimedOut; }},
            {NOT_READABLE_FORMAT, [](Log &l, T t) { l.exchange(t.line).read.how = Read::How::NotReadable; }},
            {READ_ERROR_TEXT, [](Log &l, T t) { l.attempt(t.line); }}, // the total says as much
            {READ_FULL_FORMAT, [](Log &l, T t) { l.attempt(t.line); }},
            {BTC_SENSOR_TEXT, [](Log &l, T t) { l.attempt(t.line).btc_sensor = true; }},
            {UNKNOWN_MINER_TEXT, [](Log &l, T t) { l.attempt(t.line).unknown = true; }},
            {RECORD_PIECE_FORMAT, [](Log &l, T t) { take_record(l, t, false); }},
            {ALREADY_DONE_FORMAT, [](Log &l, T t) { take_record(l, t, true); }},
            {OPENED_FORMAT, [](Log &l, T t) { l.open(t.line).fd = t.n; }},
            {OPEN_FAILED_FORMAT, [](Log &l, T t) { l.open(t.line).open_failed = t.text.empty() ? "?" : t.text; }},
            // Printed by the open, before its own line: a run starts there.
            {BAD_BAUD_FORMAT, [](Log &l, T t) { l.run(t.line, false); }},
            {std::string(SENT_ARROW) + " %s",
             [](Log &l, T t) {
                 l.attempt(t.line).exchanges.push_back({t.line, t.text, frame_of(t.text), false, {}});
             },
             Field::Trace},
            {std::string(RECEIVED_ARROW) + " %s", [](Log &l, T t) { l.exchange(t.line).read.hex = t.text; },
             Field::Reply},
            {READ_PASS_FORMAT, take_read_pass},
            {READ_BOUND_FORMAT, [](Log &l, T t) { l.exchange(t.line).read.ran_out = true; }},
            {READ_TOTAL_FORMAT, take_read_total},
            {FAMILY_FORMAT, take_family, Field::Family},
            {SENSOR_QUERY_FORMAT, [](Log &l, T t) { take_sensor_line(l, t, false); }, Field::SensorFamily},
            {SENSOR_OK_FORMAT, [](Log &l, T t) { take_sensor_line(l, t, true); }, Field::SensorFamily},
        };
        // One format per setup step, the family prefix standing for the first %s.
        for (const SetupStep &step : SIA_DASH_SENSOR.steps)
            m.push_back({std::string("%s") + step.done, [](Log &l, T t) { take_sensor_line(l, t, false); },
                         Field::SensorFamily});
        return m;
    }();
    return all;
}

// The whole of `s` as one of the program's lines.
const Message *classify(std::string_view s, Token *t)
{
    for (const Message &m : messages()) {
        if (!printed_by(m.format, s, t))
            continue;
        const Family *f = family_of(t->text);
        const bool hex =
            t->text.size() % 2 == 0 && t->text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        switch (m.field) {
        case Field::Any:
            return &m;
        case Field::Family:
            return f != nullptr ? &m : nullptr;
        case Field::SensorFamily:
            return f != nullptr && f->sensor != nullptr ? &m : nullptr;
        case Field::Trace:
        case Field::Reply:
            return hex && (m.field == Field::Trace || !t->text.empty()) ? &m : nullptr;
        }
    }
    return nullptr;
}

// A line of the program's, found at its start or after a prefix that ends in
// a blank, ']' or ':' (a time stamp, a syslog tag).
const Message *find_message(std::string_view line, Token *t)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    for (size_t p = 0; p < line.size(); ++p) {
        const char before = p == 0 ? ' ' : line[p - 1];
        if (before != ' ' && before != '\t' && before != ']' && before != ':')
            continue;
        if (line[p] != ' ' && line[p] != '\t')
            if (const Message *m = classify(line.substr(p), t))
                return m;
    }
    return nullptr;
}

// ---- The shell's standard-error lines ----------------------------------

// Files the program's shell commands write; a standard-error line naming one
// of them after the shell's name, with a reason after it, says that the write
// failed ("sh: 1: cannot create /usr/bin/tempSensor: Read-only file system",
// busybox's "sh: can't create ..."). cat's complaint about a missing
// minerType is no failure, but shows that the log holds standard error.
constexpr std::string_view WRITTEN_FILES[] = {"/usr/bin/minerType", "/usr/bin/tempSensor", "/sys/class/gpio/"};

bool find_shell_error(std::string_view line, ShellError *e)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    for (std::string_view file : WRITTEN_FILES) {
        const size_t at = line.find(file);
        if (at == std::string_view::npos)
            continue;
        // The shell names itself ("sh: ..."), or says what it could not do.
        const std::string_view before = line.substr(0, at);
        if (before.find("sh: ") == std::string_view::npos && before.find("create ") == std::string_view::npos)
            return false;
        const size_t colon = line.find(": ", at);
        if (colon == std::string_view::npos || colon + 2 >= line.size())
            return false;
        e->path = line.substr(at, colon - at);
        e->reason = line.substr(colon + 2);
        return true;
    }
    return false;
}

// Reads the program's lines of `log`; counts all lines in `result`.
Log read_log(std::string_view text, LogExplanation *result)
{
    Log log;
    int number = 0;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++number;
        Token t;
        t.line = number;
        ShellError shell;
        shell.line = number;
        if (const Message *m = find_message(line, &t)) {
            ++result->probe_lines;
            m->take(log, t);
        } else if (!line.empty() && line != "\r") {
            ++result->other_lines;
            const bool error = find_shell_error(line, &shell);
            if (error)
                (log.runs.empty() ? log.early_errors : log.runs.back().shell_errors).push_back(shell);
            result->standard_error =
                result->standard_error || error || line.find("cat: /usr/bin/minerType") != std::string_view::npos;
        }
    }
    if (!log.runs.empty())
        log.runs.front().shell_errors.insert(log.runs.front().shell_errors.begin(), log.early_errors.begin(),
                                             log.early_errors.end());
    return log;
}

// ---- Telling what the bytes mean ----------------------------------------

std::vector<uint8_t> bytes_of(const std::string &hex)
{
    return sim::parse_hex_bytes(hex).value_or(std::vector<uint8_t>{});
}

std::string quoted(const std::string &hex)
{
    if (hex.size() <= 2 * SHOWN_BYTES)
        return hex;
    return hex.substr(0, 2 * SHOWN_BYTES) + "... (" + std::to_string(hex.size() / 2) + " bytes traced)";
}

// The values a byte test takes: "0x13", "0x55 or 0x1A".
std::string wanted(const ByteTest &t)
{
    return sim::hex_byte(t.value) + (t.value != t.alt ? " or " + sim::hex_byte(t.alt) : "");
}

std::string pattern_text(const ReplyPattern &p)
{
    std::string out;
    for (int i = 0; i < p.count; ++i) {
        const ByteTest &t = p.tests[i];
        out += (i ? ", byte " : "byte ") + std::to_string(t.pos) +
               (t.mask == 0xC0 ? " with its top two bits clear" : " = " + wanted(t));
    }
    return out;
}

constexpr std::string_view OUT_OF_STEP = "a reply read out of step with its frame: ";

// Why `reply` (what arrived, of which the program sees `arrived` bytes, the
// rest of its buffer zero) fails `p`; empty when it matches.
std::string mismatch(const ReplyPattern &p, const std::vector<uint8_t> &reply, long arrived)
{
    uint8_t buffer[REPLY_BUF_LEN] = {};
    std::copy_n(reply.begin(), std::min(reply.size(), sizeof buffer), buffer);
    if (reply_matches(p, buffer, sizeof buffer))
        return "";
    // A reply that matches a few bytes later: bytes left over from an earlier
    // reply (a longer chain, a late answer) came first.
    const long seen = arrived >= 0 ? std::min<long>(arrived, static_cast<long>(sizeof buffer)) : 0;
    for (long shift = 1; shift < seen; ++shift)
        if (reply_matches(p, buffer + shift, static_cast<size_t>(seen - shift)))
            return std::string(OUT_OF_STEP) + "the pattern stands at byte " + std::to_string(shift) +
                   ", after bytes of an earlier reply";
    for (int i = 0; i < p.count; ++i) {
        const ByteTest &t = p.tests[i];
        const auto b = static_cast<uint8_t>(buffer[t.pos] & t.mask);
        const std::string at = "byte " + std::to_string(t.pos);
        if (b == t.value || b == t.alt)
            continue;
        if (arrived >= 0 && t.pos >= arrived)
            return at + " never arrived (the buffer holds 0x00 there)";
        return at + " is " + sim::hex_byte(buffer[t.pos]) +
               (t.mask == 0xC0 ? ": a top status bit is set" : ", not " + wanted(t));
    }
    return "no match";
}

// What the read after a frame gave, in a line or two, and how the reply
// fared against what the program's table expects after that frame.
struct Verdict {
    std::vector<std::string> lines;
    bool matched = false;
    std::string why; // why it did not match
};

Verdict describe_reply(const Exchange &e)
{
    Verdict v;
    int read_len = -1;
    std::vector<std::pair<const ReplyPattern *, std::string>> patterns;
    for (const DetectionStage &stage : DETECTION_STAGES)
        for (int i = 0; i < stage.family_count; ++i) {
            const Family &f = stage.families[i];
            if (stage.frame == e.frame) {
                read_len = stage.reply_len;
                patterns.emplace_back(f.reply, name_of(f));
            } else if (f.sensor != nullptr && f.sensor->query == e.frame && patterns.empty()) {
                read_len = f.sensor->reply_len;
                patterns.emplace_back(f.sensor->reply, "sensor");
            }
        }
    const Read &r = e.read;
    static constexpr const char *NO_BYTES[] = {"no read follows in the log",
                                               "no reply: nothing arrived within the first-byte wait (time-out)",
                                               "waiting for the reply failed (select error): nothing read",
                                               "select returned without the line being readable: nothing read"};
    if (r.how != Read::How::Bytes) {
        if (r.how != Read::How::None || (!patterns.empty() && !e.write_failed))
            v.lines.emplace_back(NO_BYTES[static_cast<int>(r.how)]);
        return v;
    }
    const long asked = r.expected >= 0 ? r.expected : read_len;
    std::string head = "short read: " + std::to_string(r.total) + " of " + std::to_string(asked) + " bytes" +
                       (r.ran_out ? " in " + sim::plural(r.passes, "read", "reads") + ", the read loop's bound" : "");
    if (r.total < 0)
        head = "reply of unknown length (the log is cut inside the read)";
    else if (asked >= 0 && r.total >= asked)
        head = "reply: all " + std::to_string(r.total) + " bytes asked for";
    v.lines.push_back(head + (r.hex.empty() ? "" : ": " + quoted(r.hex)));
    std::string names;
    for (const auto &[pattern, name] : patterns) {
        const std::string reason = mismatch(*pattern, bytes_of(r.hex), r.total);
        if (reason.empty()) {
            v.matched = true;
            v.lines.push_back("matches the " + name + " pattern (" + pattern_text(*pattern) + ")");
            return v;
        }
        names += (names.empty() ? "" : " nor ") + name;
        if (v.why.find(reason) == std::string::npos)
            v.why += (v.why.empty() ? "" : "; ") + reason;
    }
    if (patterns.size() > 1)
        v.lines.push_back("matches neither " + names + ": " + v.why);
    else if (!patterns.empty())
        v.lines.push_back("does not match the " + names + " pattern (" + pattern_text(*patterns[0].first) +
                          "): " + v.why);
    return v;
}

// Why the read after a sensor query took bytes of an earlier reply, or ""
// when nothing shows that it did. `record` is the first record of the
// chain's detection reply, as the detection read traced it.
std::string out_of_step(const Exchange &e, const SensorProcedure &proc, const std::vector<uint8_t> &record)
{
    const std::vector<uint8_t> bytes = bytes_of(e.read.hex);
    // Zeros alone (a short or empty reply's) say nothing of where they came from.
    if (e.read.how != Read::How::Bytes || std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }))
        return "";
    // How many bytes from the start are records of the detection reply,
    // from any byte of one on.
    size_t of_records = 0;
    for (size_t from = 0; from < record.size(); ++from) {
        size_t i = 0;
        while (i < bytes.size() && bytes[i] == record[(from + i) % record.size()])
            ++i;
        of_records = std::max(of_records, i);
    }
    if (of_records == bytes.size())
        return std::string(OUT_OF_STEP) + "the rest of the chain's detection reply (" + std::to_string(record.size()) +
               "-byte records), not the answer to this query";
    // The last records, then the start of a reply that matches as far as it goes.
    for (size_t split = 1; split <= of_records; ++split) {
        int tested = 0;
        bool fits = true;
        for (int k = 0; k < proc.reply->count && fits; ++k) {
            const ByteTest &t = proc.reply->tests[k];
            if (split + t.pos >= bytes.size())
                continue;
            const auto b = static_cast<uint8_t>(bytes[split + t.pos] & t.mask);
            fits = b == t.value || b == t.alt;
            ++tested;
        }
        if (fits && tested >= 2)
            return std::string(OUT_OF_STEP) + "the end of the chain's detection reply, then from byte " +
                   std::to_string(split) + " the start of a sensor reply";
    }
    // The end of one sensor reply, then the start of the next: turned back,
    // the bytes make a reply that matches.
    const size_t n = bytes.size();
    for (size_t from = 1; n == static_cast<size_t>(proc.reply_len) && n <= REPLY_BUF_LEN && from < n; ++from) {
        uint8_t turned[REPLY_BUF_LEN] = {};
        for (size_t i = 0; i < n; ++i)
            turned[i] = bytes[(i + n - from) % n];
        if (reply_matches(*proc.reply, turned, n))
            return std::string(OUT_OF_STEP) + "it starts " + sim::plural(static_cast<long>(from), "byte", "bytes") +
                   " into a sensor reply and ends with the start of the next";
    }
    return "";
}

// ---- The explanation -----------------------------------------------------

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

class Writer {
public:
    explicit Writer(LogExplanation *out) : out_(out) {}

    void line(int level, const std::string &text)
    {
        out_->text.push_back(std::string(static_cast<size_t>(2 * level), ' ') + text);
    }

    void sent(int level, const Exchange &e)
    {
        std::string label = std::string(e.frame != nullptr ? e.frame->name : "") + " (" + e.hex + ")";
        if (e.frame == nullptr)
            label = e.hex.empty() ? "a frame (the write failed; nothing traced)" : "an unknown frame " + quoted(e.hex);
        line(level, "line " + std::to_string(e.line) + ": sent " + label);
    }

    void exchange(int level, const Exchange &e)
    {
        sent(level, e);
        const std::string went_out =
            std::to_string(e.hex.size() / 2) + (e.frame != nullptr ? " of " + std::to_string(e.frame->len) : "");
        if (e.write_failed)
            line(level + 1, e.hex.empty() ? "the write failed: nothing went out, the reply is not read"
                                          : "short write: " + went_out + " bytes went out, the reply is not read");
        for (const std::string &r : describe_reply(e).lines)
            line(level + 1, r);
    }

    // The sensor detection, folded into rounds: "YES", "NO", or "" when the
    // log ends before the detection does. Only a family with a sensor gets here.
    std::string sensor(int level, const Attempt &a)
    {
        const SensorProcedure &proc = *a.family->sensor;
        std::vector<uint8_t> record;
        if (a.sensor_from > 0)
            record = bytes_of(a.exchanges[a.sensor_from - 1].read.hex);
        record.resize(std::min(record.size(), static_cast<size_t>(proc.reply_len)));
        std::vector<std::string> rounds;
        Round round;
        bool started = false; // the log may start inside the detection
        int queries = 0;
        int out_of_step_reads = 0;
        int last_in_step = 0; // the last query whose read took no earlier reply
        const Exchange *answer = nullptr;
        for (size_t i = a.sensor_from; i < a.exchanges.size() && answer == nullptr; ++i) {
            const Exchange &e = a.exchanges[i];
            if (e.frame == proc.steps[0].frame && started) {
                rounds.push_back(round.text());
                round = {};
            }
            started = started || e.frame == proc.steps[0].frame || e.frame == proc.query;
            round.failed_writes += e.write_failed ? 1 : 0;
            if (e.frame == nullptr)
                sent(level + 1, e);
            if (e.frame != proc.query)
                continue;
            ++queries;
            ++round.queries;
            if (e.write_failed)
                continue;
            const Verdict v = describe_reply(e);
            if (v.matched) {
                answer = &e;
                break;
            }
            const std::string stale = out_of_step(e, proc, record);
            if (stale.empty())
                last_in_step = queries;
            else
                ++out_of_step_reads;
            if (e.read.how != Read::How::Bytes) {
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
            const Verdict v = describe_reply(*answer);
            line(level + 1, "line " + std::to_string(answer->line) + ": query " + std::to_string(queries) +
                                " answered: " + v.lines[0]);
            line(level + 2, v.lines[1]);
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
        line(0, "run " + std::to_string(number) + " (from line " + std::to_string(r.line) + "):");
        if (r.content.empty() && !r.already_done)
            line(1, "no record read before: /usr/bin/minerType missing or empty");
        for (const std::string &c : r.content)
            line(1, "recorded before: '" + c + "'");
        if (r.already_done) {
            line(1, "the record names a family already ('" + r.done_text + "'): nothing sent, nothing appended");
            out_->families.emplace_back("");
            return true;
        }
        std::string family;
        bool finished = false;
        bool alt_board = false;
        std::string temp_line; // what the run appended to /usr/bin/tempSensor
        for (size_t i = 0; i < r.attempts.size(); ++i) {
            const Attempt &a = r.attempts[i];
            ++out_->attempts;
            std::string head = "attempt " + std::to_string(i + 1) + " (line " + std::to_string(a.line) + "): ";
            if (a.no_open_line)
                head += "the log starts inside it";
            else if (!a.open_failed.empty())
                head += "the serial device " + a.open_failed + " did not open; every write fails";
            else
                head += "serial device opened (descriptor " + std::to_string(a.fd) + ")";
            line(1, head);
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
        out_->families.push_back(family);
        const auto attempts = static_cast<int>(r.attempts.size());
        const ShellError *control_line = error_about(r, "/sys/class/gpio/");
        if (control_line != nullptr)
            line(1, "the control line was not written (line " + std::to_string(control_line->line) + ": " +
                        control_line->path + ": " + control_line->reason +
                        "): the chips were neither reset nor powered through it");
        if (family.empty() && attempts >= PROBE_ATTEMPTS && r.attempts.back().unknown) {
            line(1, "no family after " + std::to_string(PROBE_ATTEMPTS) +
                        " attempts: nothing appended to either record file; the next run probes again");
            if (control_line != nullptr)
                line(1, "the silence is that of chips the control line never reached, not of the UART: "
                        "export and wire the control line (docs/bring-up.md)");
            else if (out_->standard_error)
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

private:
    // The first standard-error line of the run about `path` (a prefix).
    static const ShellError *error_about(const Run &r, std::string_view path)
    {
        for (const ShellError &e : r.shell_errors)
            if (e.path.starts_with(path))
                return &e;
        return nullptr;
    }

    void appended(const Run &r, const char *path, const std::string &record)
    {
        const ShellError *e = error_about(r, path);
        if (record.empty())
            line(2, std::string(path) + ": nothing");
        else if (e == nullptr || e->path != path)
            line(2, std::string(path) + ": " + record);
        else
            line(2, std::string(path) + ": nothing: the shell could not write " + record + " there (line " +
                        std::to_string(e->line) + ": " + e->reason + ")");
    }

    LogExplanation *out_;
};

} // namespace

std::vector<LoggedExchange> logged_exchanges(std::string_view text)
{
    LogExplanation counts;
    std::vector<LoggedExchange> out;
    for (const Run &r : read_log(text, &counts).runs)
        for (const Attempt &a : r.attempts)
            for (const Exchange &e : a.exchanges) {
                const Verdict v = describe_reply(e);
                const size_t said = e.read.how == Read::How::Bytes && v.lines.size() > 1 ? 1 : 0;
                out.push_back({e.line, e.frame != nullptr ? e.frame->name : "", e.hex, e.write_failed,
                               READ_NAMES[static_cast<int>(e.read.how)], e.read.expected, e.read.total, e.read.hex,
                               e.read.how != Read::How::None && said < v.lines.size() ? v.lines[said] : ""});
            }
    return out;
}

LogExplanation explain_log(std::string_view text)
{
    LogExplanation result;
    const Log log = read_log(text, &result);
    Writer writer(&result);
    result.runs = static_cast<int>(log.runs.size());
    result.probe_log = !log.runs.empty();
    if (!result.probe_log) {
        writer.line(0, "this does not look like a miner-probe run: none of its " +
                           sim::plural(result.other_lines, "line is", "lines are") + " the program's");
        return result;
    }
    for (size_t i = 0; i < log.runs.size(); ++i)
        if (!writer.run(static_cast<int>(i + 1), log.runs[i]) && i + 1 == log.runs.size())
            result.cut_off = true;
    writer.line(0, sim::plural(result.probe_lines, "line", "lines") + " of miner-probe output, " +
                       sim::plural(result.other_lines, "other line", "other lines") + " passed over" +
                       (result.cut_off ? "; the log is cut off" : ""));
    return result;
}

} // namespace board_sim
