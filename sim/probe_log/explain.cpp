// SPDX-License-Identifier: MIT
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

// ---- The program's lines -------------------------------------------------

enum class Kind {
    Content,
    AlreadyDone,
    Opened,
    OpenFailed,
    BadBaud,
    Sent,
    Received,
    WriteFailed,
    SelectError,
    TimedOut,
    NotReadable,
    ReadPass,
    ReadBound,
    ReadTotal,
    Ignored, // a line of the program's that adds nothing to what the others say
    Family,
    BtcSensor,
    UnknownMiner,
    SensorStep,
    SensorOk,
};

struct Token {
    Kind kind = Kind::Content;
    int line = 0;
    std::string text; // what the format's %s stood for: a record, a path, hex digits, a family prefix
    long n = 0;       // its first %d
    long m = 0;       // its second %d
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

struct Message {
    std::string format;
    Kind kind;
};

// Every line the program prints, from its own texts; the sensor's setup
// steps are one format each, the family prefix standing for the first %s.
const std::vector<Message> &messages()
{
    static const std::vector<Message> all = [] {
        std::vector<Message> m = {
            {WRITE_FAILED_TEXT, Kind::WriteFailed},
            {SELECT_ERROR_TEXT, Kind::SelectError},
            {TIMED_OUT_TEXT, Kind::TimedOut},
            {READ_ERROR_TEXT, Kind::Ignored},
            {BTC_SENSOR_TEXT, Kind::BtcSensor},
            {UNKNOWN_MINER_TEXT, Kind::UnknownMiner},
            {RECORD_PIECE_FORMAT, Kind::Content},
            {ALREADY_DONE_FORMAT, Kind::AlreadyDone},
            {OPENED_FORMAT, Kind::Opened},
            {OPEN_FAILED_FORMAT, Kind::OpenFailed},
            {BAD_BAUD_FORMAT, Kind::BadBaud},
            {std::string(SENT_ARROW) + " %s", Kind::Sent},
            {std::string(RECEIVED_ARROW) + " %s", Kind::Received},
            {NOT_READABLE_FORMAT, Kind::NotReadable},
            {READ_PASS_FORMAT, Kind::ReadPass},
            {READ_BOUND_FORMAT, Kind::ReadBound},
            {READ_FULL_FORMAT, Kind::Ignored},
            {READ_TOTAL_FORMAT, Kind::ReadTotal},
            {FAMILY_FORMAT, Kind::Family},
            {SENSOR_QUERY_FORMAT, Kind::SensorStep},
            {SENSOR_OK_FORMAT, Kind::SensorOk},
        };
        for (const SetupStep &step : SIA_DASH_SENSOR.steps)
            m.push_back({std::string("%s") + step.done, Kind::SensorStep});
        return m;
    }();
    return all;
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

bool is_hex_text(std::string_view s)
{
    return s.size() % 2 == 0 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// The whole of `s` as one of the program's lines; the %s of a line about a
// family must be a family's prefix (of one with a sensor, for the sensor's
// lines), that of a trace hex digits.
bool classify(std::string_view s, Token *t)
{
    for (const Message &m : messages()) {
        if (!printed_by(m.format, s, t))
            continue;
        t->kind = m.kind;
        const Family *f = family_of(t->text);
        if (m.kind == Kind::Family)
            return f != nullptr;
        if (m.kind == Kind::SensorStep || m.kind == Kind::SensorOk)
            return f != nullptr && f->sensor != nullptr;
        if (m.kind == Kind::Sent || m.kind == Kind::Received)
            return is_hex_text(t->text) && (m.kind == Kind::Sent || !t->text.empty());
        return true;
    }
    return false;
}

// A line of the program's, found at its start or after a prefix that ends in
// a blank, ']' or ':' (a time stamp, a syslog tag).
bool find_token(std::string_view line, Token *t)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    for (size_t p = 0; p < line.size(); ++p) {
        const bool after_prefix =
            p == 0 || line[p - 1] == ' ' || line[p - 1] == '\t' || line[p - 1] == ']' || line[p - 1] == ':';
        if (after_prefix && line[p] != ' ' && line[p] != '\t' && classify(line.substr(p), t))
            return true;
    }
    return false;
}

// ---- The shell's standard-error lines ----------------------------------

// Files the program's shell commands write; a standard-error line naming one
// of them after the shell's name, with a reason after it, says that the write
// failed ("sh: 1: cannot create /usr/bin/tempSensor: Read-only file system",
// busybox's "sh: can't create ..."). cat's complaint about a missing
// minerType is no failure.
struct ShellError {
    int line = 0;
    std::string path;
    std::string reason;
};

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

// ---- Runs and attempts ---------------------------------------------------

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
    int sensor_steps = 0;
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
        if (already_done)
            return true;
        return !attempts.empty() &&
               (attempts.back().family != nullptr || (attempts.size() >= PROBE_ATTEMPTS && attempts.back().unknown));
    }
};

const Frame *frame_of(const std::string &hex)
{
    for (const Frame *f : ALL_FRAMES)
        if (sim::hex_bytes(f->bytes, static_cast<size_t>(f->len)) == hex)
            return f;
    return nullptr;
}

std::vector<uint8_t> bytes_of(const std::string &hex)
{
    return sim::parse_hex_bytes(hex).value_or(std::vector<uint8_t>{});
}

class Reader {
public:
    void take(const Token &t)
    {
        if (t.kind == Kind::Content || t.kind == Kind::AlreadyDone)
            return take_record(t);
        if (t.kind == Kind::Opened || t.kind == Kind::OpenFailed) {
            if (runs_.empty() || runs_.back().finished())
                new_run(t.line);
            runs_.back().attempts.emplace_back();
            attempt().line = t.line;
            attempt().fd = t.kind == Kind::Opened ? t.n : -1;
            if (t.kind == Kind::OpenFailed)
                attempt().open_failed = t.text.empty() ? "?" : t.text;
            return;
        }
        if (t.kind == Kind::BadBaud) {
            // The baud rate is printed by the open, before its own line: the run starts there.
            if (runs_.empty())
                new_run(t.line);
            return;
        }
        Attempt &a = attempt_for(t.line);
        if (t.kind == Kind::Sent) {
            a.exchanges.push_back({t.line, t.text, frame_of(t.text), false, {}});
            return;
        }
        if (t.kind == Kind::Family) {
            a.family = family_of(t.text);
            a.sensor_from = a.exchanges.size();
        }
        a.btc_sensor = a.btc_sensor || t.kind == Kind::BtcSensor;
        a.unknown = a.unknown || t.kind == Kind::UnknownMiner;
        if (t.kind == Kind::SensorStep || t.kind == Kind::SensorOk) {
            ++a.sensor_steps;
            a.sensor_ok = a.sensor_ok || t.kind == Kind::SensorOk;
        }
        if (a.exchanges.empty())
            return;
        Exchange &e = a.exchanges.back();
        e.write_failed = e.write_failed || t.kind == Kind::WriteFailed;
        e.read.ran_out = e.read.ran_out || t.kind == Kind::ReadBound;
        if (t.kind == Kind::SelectError || t.kind == Kind::TimedOut || t.kind == Kind::NotReadable)
            e.read.how = t.kind == Kind::SelectError ? Read::How::SelectError
                         : t.kind == Kind::TimedOut  ? Read::How::TimedOut
                                                     : Read::How::NotReadable;
        if (t.kind == Kind::ReadPass || (t.kind == Kind::ReadTotal && e.read.how == Read::How::None))
            e.read.how = Read::How::Bytes;
        if (t.kind == Kind::ReadPass) {
            e.read.expected = t.n;
            ++e.read.passes;
        }
        if (t.kind == Kind::ReadTotal)
            e.read.total = t.n;
        if (t.kind == Kind::Received)
            e.read.hex = t.text;
    }

    // A standard-error line belongs to the run it stands in; one before any
    // run (standard output buffered, standard error not) to the first.
    void take_shell_error(const ShellError &e)
    {
        if (runs_.empty())
            early_errors_.push_back(e);
        else
            runs_.back().shell_errors.push_back(e);
    }
    void finish()
    {
        if (!runs_.empty())
            runs_.front().shell_errors.insert(runs_.front().shell_errors.begin(), early_errors_.begin(),
                                              early_errors_.end());
        early_errors_.clear();
    }

    std::vector<Run> &runs() { return runs_; }

private:
    void take_record(const Token &t)
    {
        if (runs_.empty() || !runs_.back().attempts.empty() || runs_.back().already_done)
            new_run(t.line);
        Run &r = runs_.back();
        if (t.kind == Kind::AlreadyDone) {
            r.already_done = true;
            r.done_text = t.text;
            return;
        }
        // A record without a newline at its end runs into the next line; a
        // record line longer than the program's buffer comes as several
        // pieces on one line.
        const std::string_view piece = head_of(RECORD_PIECE_FORMAT), done = head_of(ALREADY_DONE_FORMAT);
        const size_t done_at = t.text.find(done);
        std::string record = t.text.substr(0, done_at);
        for (size_t at; (at = record.find(piece)) != std::string::npos;)
            record.erase(at, piece.size());
        r.content.push_back(record);
        if (done_at != std::string::npos) {
            r.already_done = true;
            r.done_text = t.text.substr(done_at + done.size());
        }
    }
    void new_run(int line)
    {
        runs_.emplace_back();
        runs_.back().line = line;
    }
    Attempt &attempt() { return runs_.back().attempts.back(); }
    // The attempt a line belongs to; one is opened when the log starts inside it.
    Attempt &attempt_for(int line)
    {
        if (runs_.empty())
            new_run(line);
        if (runs_.back().attempts.empty()) {
            runs_.back().attempts.emplace_back();
            attempt().line = line;
            attempt().no_open_line = true;
        }
        return attempt();
    }

    std::vector<Run> runs_;
    std::vector<ShellError> early_errors_;
};

// ---- Telling what the bytes mean ----------------------------------------

std::string quoted(const std::string &hex)
{
    if (hex.size() <= 2 * SHOWN_BYTES)
        return hex;
    return hex.substr(0, 2 * SHOWN_BYTES) + "... (" + std::to_string(hex.size() / 2) + " bytes traced)";
}

std::string test_text(const ByteTest &t)
{
    const std::string at = "byte " + std::to_string(t.pos);
    if (t.mask == 0xC0)
        return at + " with its top two bits clear";
    if (t.value != t.alt)
        return at + " = " + sim::hex_byte(t.value) + " or " + sim::hex_byte(t.alt);
    return at + " = " + sim::hex_byte(t.value);
}

std::string pattern_text(const ReplyPattern &p)
{
    std::string out;
    for (int i = 0; i < p.count; ++i)
        out += (i ? ", " : "") + test_text(p.tests[i]);
    return out;
}

constexpr std::string_view OUT_OF_STEP = "a reply read out of step with its frame";

// Why `reply` (what arrived, of which the program sees `arrived` bytes, the
// rest of its buffer zero) fails `p`; empty when it matches.
std::string mismatch(const ReplyPattern &p, const std::vector<uint8_t> &reply, long arrived)
{
    uint8_t buffer[REPLY_BUF_LEN] = {};
    for (size_t i = 0; i < reply.size() && i < sizeof buffer; ++i)
        buffer[i] = reply[i];
    if (reply_matches(p, buffer, sizeof buffer))
        return "";
    // A reply that matches a few bytes later: bytes left over from an earlier
    // reply (a longer chain, a late answer) came first.
    const long seen = arrived >= 0 ? std::min<long>(arrived, static_cast<long>(sizeof buffer)) : 0;
    for (long shift = 1; shift < seen; ++shift)
        if (reply_matches(p, buffer + shift, static_cast<size_t>(seen - shift)))
            return std::string(OUT_OF_STEP) + ": the pattern stands at byte " + std::to_string(shift) +
                   ", after bytes of an earlier reply";
    for (int i = 0; i < p.count; ++i) {
        const ByteTest &t = p.tests[i];
        const auto b = static_cast<uint8_t>(buffer[t.pos] & t.mask);
        if (b == t.value || b == t.alt)
            continue;
        const std::string at = "byte " + std::to_string(t.pos);
        if (arrived >= 0 && t.pos >= arrived)
            return at + " never arrived (the buffer holds 0x00 there)";
        if (t.mask == 0xC0)
            return at + " is " + sim::hex_byte(buffer[t.pos]) + ": a top status bit is set";
        return at + " is " + sim::hex_byte(buffer[t.pos]) + ", not " +
               (t.value != t.alt ? sim::hex_byte(t.value) + " or " + sim::hex_byte(t.alt) : sim::hex_byte(t.value));
    }
    return "no match";
}

// What the program expects after a frame, from its detection table: the
// read's length and the patterns a reply is tried against, with their names.
struct Expectation {
    int read_len = -1;
    std::vector<std::pair<const ReplyPattern *, std::string>> patterns;
};

Expectation expectation_of(const Frame *f)
{
    Expectation x;
    for (const DetectionStage &stage : DETECTION_STAGES)
        for (int i = 0; i < stage.family_count; ++i) {
            const Family &family = stage.families[i];
            if (stage.frame == f) {
                x.read_len = stage.reply_len;
                x.patterns.emplace_back(family.reply, name_of(family));
            } else if (family.sensor != nullptr && family.sensor->query == f && x.patterns.empty()) {
                x.read_len = family.sensor->reply_len;
                x.patterns.emplace_back(family.sensor->reply, "sensor");
            }
        }
    return x;
}

std::string frame_label(const Exchange &e)
{
    if (e.frame != nullptr)
        return std::string(e.frame->name) + " (" + e.hex + ")";
    if (e.hex.empty())
        return "a frame (the write failed; nothing traced)";
    return "an unknown frame " + quoted(e.hex);
}

// What the read after a frame gave, and what the reply matched.
std::vector<std::string> describe_reply(const Exchange &e, bool *matched)
{
    std::vector<std::string> out;
    *matched = false;
    const Expectation x = expectation_of(e.frame);
    const Read &r = e.read;
    switch (r.how) {
    case Read::How::None:
        if (!x.patterns.empty() && !e.write_failed)
            out.emplace_back("no read follows in the log");
        return out;
    case Read::How::TimedOut:
        out.emplace_back("no reply: nothing arrived within the first-byte wait (time-out)");
        return out;
    case Read::How::SelectError:
        out.emplace_back("waiting for the reply failed (select error): nothing read");
        return out;
    case Read::How::NotReadable:
        out.emplace_back("select returned without the line being readable: nothing read");
        return out;
    case Read::How::Bytes:
        break;
    }
    const long asked = r.expected >= 0 ? r.expected : x.read_len;
    std::string head;
    if (r.total < 0)
        head = "reply of unknown length (the log is cut inside the read)";
    else if (asked >= 0 && r.total >= asked)
        head = "reply: all " + std::to_string(r.total) + " bytes asked for";
    else
        head = "short read: " + std::to_string(r.total) + " of " + std::to_string(asked) + " bytes" +
               (r.ran_out ? " in " + sim::plural(r.passes, "read", "reads") + ", the read loop's bound" : "");
    if (!r.hex.empty())
        head += ": " + quoted(r.hex);
    out.push_back(head);
    if (x.patterns.empty())
        return out;
    const std::vector<uint8_t> bytes = bytes_of(r.hex);
    std::string names;
    std::string why;
    for (const auto &[pattern, name] : x.patterns) {
        const std::string reason = mismatch(*pattern, bytes, r.total);
        if (reason.empty()) {
            *matched = true;
            out.push_back("matches the " + name + " pattern (" + pattern_text(*pattern) + ")");
            return out;
        }
        names += (names.empty() ? "" : " nor ") + name;
        if (why.find(reason) == std::string::npos)
            why += (why.empty() ? "" : "; ") + reason;
    }
    if (x.patterns.size() > 1)
        out.push_back("matches neither " + names + ": " + why);
    else
        out.push_back("does not match the " + names + " pattern (" + pattern_text(*x.patterns[0].first) + "): " + why);
    return out;
}

// Why the read after a sensor query took bytes of an earlier reply, or ""
// when nothing shows that it did. `record` is the first record of the
// chain's detection reply, as the detection read traced it.
std::string out_of_step(const Exchange &e, const SensorProcedure &proc, const std::vector<uint8_t> &record)
{
    const std::vector<uint8_t> bytes = bytes_of(e.read.hex);
    if (e.read.how != Read::How::Bytes || bytes.empty())
        return "";
    const std::string head = std::string(OUT_OF_STEP) + ": ";
    // How many bytes from the start are records of the detection reply,
    // from any byte of one on.
    size_t of_records = 0;
    for (size_t from = 0; from < record.size(); ++from) {
        size_t i = 0;
        while (i < bytes.size() && bytes[i] == record[(from + i) % record.size()])
            ++i;
        of_records = std::max(of_records, i);
    }
    // Zeros alone (a short or empty reply's) say nothing of where they came from.
    const bool telling = std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; });
    if (!telling)
        return "";
    if (of_records == bytes.size())
        return head + "the rest of the chain's detection reply (" + std::to_string(record.size()) +
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
            return head + "the end of the chain's detection reply, then from byte " + std::to_string(split) +
                   " the start of a sensor reply";
    }
    // The end of one sensor reply, then the start of the next: turned back,
    // the bytes make a reply that matches.
    const size_t n = bytes.size();
    if (n != static_cast<size_t>(proc.reply_len) || n > REPLY_BUF_LEN)
        return "";
    for (size_t from = 1; from < n; ++from) {
        uint8_t turned[REPLY_BUF_LEN] = {};
        for (size_t i = 0; i < n; ++i)
            turned[i] = bytes[(i + n - from) % n];
        if (reply_matches(*proc.reply, turned, n))
            return head + "it starts " + sim::plural(static_cast<long>(from), "byte", "bytes") +
                   " into a sensor reply and ends with the start of the next";
    }
    return "";
}

std::string write_text(const Exchange &e)
{
    if (!e.write_failed)
        return "";
    if (e.hex.empty())
        return "the write failed: nothing went out, the reply is not read";
    const size_t want = e.frame != nullptr ? static_cast<size_t>(e.frame->len) : 0;
    return "short write: " + std::to_string(e.hex.size() / 2) + (want ? " of " + std::to_string(want) : std::string()) +
           " bytes went out, the reply is not read";
}

// ---- The explanation -----------------------------------------------------

class Writer {
public:
    explicit Writer(LogExplanation *out) : out_(out) {}

    void line(int level, const std::string &text)
    {
        out_->text.push_back(std::string(static_cast<size_t>(2 * level), ' ') + text);
    }

    void exchange(int level, const Exchange &e)
    {
        line(level, "line " + std::to_string(e.line) + ": sent " + frame_label(e));
        const std::string w = write_text(e);
        if (!w.empty())
            line(level + 1, w);
        bool matched = false;
        for (const std::string &r : describe_reply(e, &matched))
            line(level + 1, r);
    }

    // The sensor detection, folded into rounds: "YES", "NO", or "" when the
    // log ends before the detection does.
    std::string sensor(int level, const Attempt &a)
    {
        int rounds = 0;
        int queries = 0;
        int query_in_round = 0;
        int round_start_query = 0;
        int timeouts = 0;
        int mismatches = 0;
        int failed_writes = 0;
        std::string last_reason;
        std::vector<std::string> reasons; // distinct, of the current round
        bool ok = false;
        int out_of_step_reads = 0;
        int last_in_step = 0; // the last query whose read took no earlier reply
        // Only a family with a sensor procedure gets here.
        const SensorProcedure &proc = *a.family->sensor;
        std::vector<uint8_t> record;
        if (a.sensor_from > 0)
            record = bytes_of(a.exchanges[a.sensor_from - 1].read.hex);
        if (record.size() > static_cast<size_t>(proc.reply_len))
            record.resize(static_cast<size_t>(proc.reply_len));
        std::vector<std::string> round_texts;
        auto close_round = [&]() {
            if (rounds == 0)
                return;
            std::string text = sim::plural(queries - round_start_query, "query", "queries");
            if (timeouts)
                text += ", " + std::to_string(timeouts) + " unanswered";
            if (mismatches) {
                text += ", " + std::to_string(mismatches) + " not matching (";
                for (size_t r = 0; r < reasons.size(); ++r)
                    text += (r ? "; " : "") + reasons[r];
                text += ")";
            }
            if (failed_writes)
                text += ", " + sim::plural(failed_writes, "failed write", "failed writes");
            round_texts.push_back(text);
            timeouts = mismatches = failed_writes = 0;
            reasons.clear();
        };
        // Rounds alike in a row are one line: "rounds 1 to 10, each: 10 queries, 10 unanswered".
        auto flush_rounds = [&]() {
            size_t at = 0;
            while (at < round_texts.size()) {
                size_t end = at + 1;
                while (end < round_texts.size() && round_texts[end] == round_texts[at])
                    ++end;
                line(level + 1, end - at == 1 ? "round " + std::to_string(at + 1) + ": " + round_texts[at]
                                              : "rounds " + std::to_string(at + 1) + " to " + std::to_string(end) +
                                                    ", each: " + round_texts[at]);
                at = end;
            }
            round_texts.clear();
        };
        for (size_t i = a.sensor_from; i < a.exchanges.size(); ++i) {
            const Exchange &e = a.exchanges[i];
            if (e.frame == proc.steps[0].frame) {
                close_round();
                ++rounds;
                round_start_query = queries;
                query_in_round = 0;
                if (e.write_failed)
                    ++failed_writes;
                continue;
            }
            if (e.frame != proc.query) {
                if (e.write_failed)
                    ++failed_writes;
                if (e.frame == nullptr)
                    line(level + 1, "line " + std::to_string(e.line) + ": sent " + frame_label(e));
                continue;
            }
            if (rounds == 0)
                rounds = 1; // the log starts inside the detection
            ++queries;
            ++query_in_round;
            if (e.write_failed) {
                ++failed_writes;
                continue;
            }
            bool matched = false;
            const std::vector<std::string> said = describe_reply(e, &matched);
            if (matched) {
                close_round();
                flush_rounds();
                line(level + 1, "line " + std::to_string(e.line) + ": query " + std::to_string(queries) +
                                    " answered: " + (said.empty() ? "" : said[0]));
                if (said.size() > 1)
                    line(level + 2, said[1]);
                ok = true;
                break;
            }
            const std::string stale = out_of_step(e, proc, record);
            if (stale.empty())
                last_in_step = queries;
            else
                ++out_of_step_reads;
            if (e.read.how == Read::How::Bytes) {
                ++mismatches;
                last_reason = said.size() > 1 ? said[1] : said.empty() ? "" : said[0];
                const size_t colon = last_reason.find("): ");
                if (colon != std::string::npos)
                    last_reason = last_reason.substr(colon + 3);
                if (!stale.empty())
                    last_reason = stale;
                if (std::find(reasons.begin(), reasons.end(), last_reason) == reasons.end()) {
                    if (reasons.size() < MAX_REASONS)
                        reasons.push_back(last_reason);
                    else if (reasons.size() == MAX_REASONS)
                        reasons.emplace_back("...");
                }
            } else {
                ++timeouts;
            }
        }
        if (!ok) {
            close_round();
            flush_rounds();
        }
        line(level, "sensor queries: " + std::to_string(queries) + " in " + sim::plural(rounds, "round", "rounds"));
        const bool all_done = rounds == SENSOR_ROUNDS && query_in_round == SENSOR_QUERIES_PER_ROUND;
        if (out_of_step_reads > 0 && ok)
            line(level, sim::plural(out_of_step_reads, "read", "reads") +
                            " before the match took earlier replies "
                            "(out of step with their frames): a chain longer than the detection read was still "
                            "sending, and the sensor's replies waited behind its records. From 0.2.0 on the program "
                            "discards what is pending before each frame, so this lasts only while a long chain "
                            "sends; a program before 0.2.0 keeps reading what waits, and its YES may come from the "
                            "reply to an earlier query");
        if (out_of_step_reads > 0 && !ok && last_in_step < queries && all_done)
            line(level, "every read from query " + std::to_string(last_in_step + 1) +
                            " on was a reply read out of step with its frame: the bytes an earlier, longer reply "
                            "left on the line shift each read alike, so a sensor that answers never lines up. "
                            "This is a program before 0.2.0 on a chain longer than its detection read (0.2.0 "
                            "discards pending input before each frame): the NO is not to be trusted; update "
                            "the program and probe again");
        if (ok || a.sensor_ok) {
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
        bool temp_appended = false;
        std::string temp_line;
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
            const size_t detection_end = a.family == nullptr ? a.exchanges.size() : a.sensor_from;
            for (size_t k = 0; k < detection_end; ++k)
                exchange(2, a.exchanges[k]);
            if (a.unknown) {
                line(2, "no family recognised (\"unknown miner\")");
                continue;
            }
            if (a.family == nullptr) {
                line(2, "the log ends inside this attempt");
                break;
            }
            family = name_of(*a.family);
            line(2, "family found: " + family);
            if (a.family->sensor == nullptr) {
                if (a.btc_sensor) {
                    line(2, "a BTC board is taken to have its sensor: no query sent");
                    temp_appended = true;
                    temp_line = "YES";
                } else {
                    alt_board = true;
                }
                finished = true;
            } else if (a.exchanges.size() > a.sensor_from || a.sensor_steps > 0) {
                line(2, std::string("sensor detection (") + a.family->prefix + "):");
                temp_line = sensor(2, a);
                finished = !temp_line.empty();
                temp_appended = finished;
            } else {
                alt_board = true;
                finished = true;
            }
            break;
        }
        out_->families.push_back(family);
        const auto attempts = static_cast<int>(r.attempts.size());
        const ShellError *control_line = error_about(r, "/sys/class/gpio/");
        if (control_line != nullptr)
            line(1, "the control line was not written (line " + std::to_string(control_line->line) + ": " +
                        control_line->path + ": " + control_line->reason +
                        "): the chips were neither reset nor powered through it");
        if (family.empty()) {
            if (attempts >= PROBE_ATTEMPTS && !r.attempts.empty() && r.attempts.back().unknown) {
                line(1, "no family after " + std::to_string(PROBE_ATTEMPTS) +
                            " attempts: nothing appended to either "
                            "record file; the next run probes again");
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
        if (temp_appended)
            appended(r, "/usr/bin/tempSensor", temp_line);
        else
            line(2, "/usr/bin/tempSensor: nothing");
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
        if (e == nullptr || e->path != path) {
            line(2, std::string(path) + ": " + record);
            return;
        }
        line(2, std::string(path) + ": nothing: the shell could not write " + record + " there (line " +
                    std::to_string(e->line) + ": " + e->reason + ")");
    }

    LogExplanation *out_;
};

// Feeds the program's lines of `log` to `reader`; counts all lines in `result`.
void read_log(std::string_view log, Reader *reader, LogExplanation *result)
{
    int number = 0;
    ShellError shell;
    while (!log.empty()) {
        const size_t eol = log.find('\n');
        const std::string_view line = log.substr(0, eol);
        log = eol == std::string_view::npos ? std::string_view() : log.substr(eol + 1);
        ++number;
        Token t;
        if (find_token(line, &t)) {
            t.line = number;
            ++result->probe_lines;
            reader->take(t);
        } else if (!line.empty() && line != "\r") {
            ++result->other_lines;
            // cat's complaint about a missing record is the shell's standard error too.
            result->standard_error = result->standard_error || find_shell_error(line, &shell) ||
                                     line.find("cat: /usr/bin/minerType") != std::string_view::npos;
            if (find_shell_error(line, &shell)) {
                shell.line = number;
                reader->take_shell_error(shell);
            }
        }
    }
    reader->finish();
}

} // namespace

std::vector<LoggedExchange> logged_exchanges(std::string_view log)
{
    LogExplanation counts;
    Reader reader;
    read_log(log, &reader, &counts);
    std::vector<LoggedExchange> out;
    for (const Run &r : reader.runs())
        for (const Attempt &a : r.attempts)
            for (const Exchange &e : a.exchanges) {
                LoggedExchange x;
                x.line = e.line;
                x.frame = e.frame != nullptr ? e.frame->name : "";
                x.sent = e.hex;
                x.write_failed = e.write_failed;
                x.read = READ_NAMES[static_cast<int>(e.read.how)];
                x.asked = e.read.expected;
                x.received = e.read.total;
                x.reply = e.read.hex;
                bool matched = false;
                const std::vector<std::string> said = describe_reply(e, &matched);
                if (e.read.how == Read::How::Bytes && said.size() > 1)
                    x.verdict = said[1];
                else if (e.read.how != Read::How::None && !said.empty())
                    x.verdict = said[0];
                out.push_back(x);
            }
    return out;
}

LogExplanation explain_log(std::string_view log)
{
    LogExplanation result;
    Reader reader;
    read_log(log, &reader, &result);

    Writer writer(&result);
    std::vector<Run> &runs = reader.runs();
    result.runs = static_cast<int>(runs.size());
    result.probe_log = !runs.empty();
    if (!result.probe_log) {
        writer.line(0, "this does not look like a miner-probe run: none of its " +
                           sim::plural(result.other_lines, "line is", "lines are") + " the program's");
        return result;
    }
    for (size_t i = 0; i < runs.size(); ++i)
        if (!writer.run(static_cast<int>(i + 1), runs[i]) && i + 1 == runs.size())
            result.cut_off = true;
    writer.line(0, sim::plural(result.probe_lines, "line", "lines") + " of miner-probe output, " +
                       sim::plural(result.other_lines, "other line", "other lines") + " passed over" +
                       (result.cut_off ? "; the log is cut off" : ""));
    return result;
}

} // namespace board_sim
