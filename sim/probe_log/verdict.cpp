// SPDX-License-Identifier: MIT
// What a reply's bytes mean against the patterns the probe's detection table
// (probe/detection.h) expects after the frame it answers.
#include <algorithm>
#include <cstdint>
#include <map>
#include <tuple>

#include "probe_log.h"
#include "text.h"

namespace board_sim::probe_log {

namespace {

constexpr size_t SHOWN_BYTES = 24; // reply bytes quoted in a line
constexpr std::string_view OUT_OF_STEP = "a reply read out of step with its frame: ";

bool holds(const ByteTest &t, uint8_t byte)
{
    const auto b = static_cast<uint8_t>(byte & t.mask);
    return b == t.value || b == t.alt;
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
        const std::string at = "byte " + std::to_string(t.pos);
        if (holds(t, buffer[t.pos]))
            continue;
        if (arrived >= 0 && t.pos >= arrived)
            return at + " never arrived (the buffer holds 0x00 there)";
        return at + " is " + sim::hex_byte(buffer[t.pos]) +
               (t.mask == 0xC0 ? ": a top status bit is set" : ", not " + wanted(t));
    }
    return "no match";
}

} // namespace

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

Verdict describe_reply(const Exchange &e)
{
    Verdict v;
    int read_len = -1;
    // Each pattern the read is held against, its name, and its family (none for the sensor's).
    std::vector<std::tuple<const ReplyPattern *, std::string, const Family *>> patterns;
    for (const DetectionStage &stage : DETECTION_STAGES)
        for (int i = 0; i < stage.family_count; ++i) {
            const Family &f = stage.families[i];
            if (stage.frame == e.sent_frame) {
                read_len = stage.reply_len;
                patterns.emplace_back(f.reply, name_of(f), &f);
            } else if (f.sensor != nullptr && f.sensor->query == e.sent_frame && patterns.empty()) {
                read_len = f.sensor->reply_len;
                patterns.emplace_back(f.sensor->reply, "sensor", nullptr);
            }
        }
    static const std::map<std::string, const char *> NO_BYTES = {
        {"none", "no read follows in the log"},
        {"timed out", "no reply: nothing arrived within the first-byte wait (time-out)"},
        {"select error", "waiting for the reply failed (select error): nothing read"},
        {"not readable", "select returned without the line being readable: nothing read"}};
    if (e.read != "bytes") {
        if (e.read != "none" || (!patterns.empty() && !e.write_failed))
            v.lines.emplace_back(NO_BYTES.at(e.read));
        return v;
    }
    const long asked = e.asked >= 0 ? e.asked : read_len;
    std::string head = "short read: " + std::to_string(e.received) + " of " + std::to_string(asked) + " bytes" +
                       (e.ran_out ? " in " + sim::plural(e.passes, "read", "reads") + ", the read loop's bound" : "");
    if (e.received < 0)
        head = "reply of unknown length (the log is cut inside the read)";
    else if (asked >= 0 && e.received >= asked)
        head = "reply: all " + std::to_string(e.received) + " bytes asked for";
    v.lines.push_back(head + (e.reply.empty() ? "" : ": " + quoted(e.reply)));
    std::string names;
    for (const auto &[pattern, name, family] : patterns) {
        const std::string reason = mismatch(*pattern, bytes_of(e.reply), e.received);
        if (reason.empty()) {
            v.matched = true;
            v.family = family;
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
        v.lines.push_back("does not match the " + names + " pattern (" + pattern_text(*std::get<0>(patterns[0])) +
                          "): " + v.why);
    return v;
}

std::string out_of_step(const Exchange &e, const SensorProcedure &proc, const std::string &detection)
{
    const std::vector<uint8_t> bytes = bytes_of(e.reply);
    // Zeros alone (a short or empty reply's) say nothing of where they came from.
    if (e.read != "bytes" || std::ranges::all_of(bytes, [](uint8_t b) { return b == 0; }))
        return "";
    // The chain's records: the first of the detection reply.
    std::vector<uint8_t> record = bytes_of(detection);
    record.resize(std::min(record.size(), static_cast<size_t>(proc.reply_len)));
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
            if (split + t.pos < bytes.size()) {
                fits = holds(t, bytes[split + t.pos]);
                ++tested;
            }
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

} // namespace board_sim::probe_log
