// SPDX-License-Identifier: MIT
// Expected standard output of a miner-probe run, built step by step in the
// words a person reading the run's log would use, from the probe's own texts
// (probe/messages.h) and frames (probe/frames.h).
#pragma once

#include <initializer_list>
#include <regex>
#include <string>
#include <string_view>

// The probe's own headers, from probe/ (test_support's include path).
#include "frames.h"
#include "messages.h"
#include "text.h"

namespace probe_test {

// What printf prints for one of the probe's formats: each conversion is
// replaced, in order, by the next of `fields`.
inline std::string printed(std::string_view format, std::initializer_list<std::string> fields)
{
    std::string out;
    auto field = fields.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && field != fields.end()) {
            out += *field++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

class Transcript {
public:
    Transcript &line(const std::string &text)
    {
        text_ += text + "\n";
        return *this;
    }
    Transcript &text(const std::string &raw)
    {
        text_ += raw;
        return *this;
    }
    // The descriptor number is written as <fd>; see normalized().
    Transcript &opened() { return text(printed(OPENED_FORMAT, {"<fd>", "2.000000"})); }
    Transcript &open_failed(const std::string &device) { return text(printed(OPEN_FAILED_FORMAT, {device})); }
    Transcript &sent(const std::string &hex) { return text(printed(TRACE_FORMAT, {SENT_ARROW, hex})); }
    Transcript &silence() { return line(TIMED_OUT_TEXT); }
    // A reply that arrived whole at the first read.
    Transcript &received(int len, const std::string &hex)
    {
        return read_attempt(len, 0)
            .text(printed(READ_FULL_FORMAT, {std::to_string(len)}))
            .text(printed(READ_TOTAL_FORMAT, {std::to_string(len)}))
            .text(printed(TRACE_FORMAT, {RECEIVED_ARROW, hex}));
    }
    // A reply of `got` bytes (fewer than `len`) followed by silence: three read
    // calls with a read timeout of 2 ms.
    Transcript &received_part(int len, int got, const std::string &hex)
    {
        read_attempt(len, 0).read_attempt(len, got).read_attempt(len, got);
        text(printed(READ_BOUND_FORMAT, {"3"})).text(printed(READ_TOTAL_FORMAT, {std::to_string(got)}));
        if (got > 0)
            text(printed(TRACE_FORMAT, {RECEIVED_ARROW, hex}));
        return line(READ_ERROR_TEXT);
    }
    // The lines about a family, `prefix` being its own ("ltc").
    Transcript &family(const std::string &prefix) { return text(printed(FAMILY_FORMAT, {prefix})); }
    Transcript &setup_step(const std::string &prefix, const char *step)
    {
        return text(printed(SETUP_STEP_FORMAT, {prefix, step}));
    }
    Transcript &sensor_query(const std::string &prefix) { return text(printed(SENSOR_QUERY_FORMAT, {prefix})); }
    Transcript &sensor_ok(const std::string &prefix) { return text(printed(SENSOR_OK_FORMAT, {prefix})); }
    Transcript &repeat(int times, const Transcript &block)
    {
        for (int i = 0; i < times; ++i)
            text_ += block.str();
        return *this;
    }
    Transcript &then(const Transcript &block) { return repeat(1, block); }
    const std::string &str() const { return text_; }

private:
    Transcript &read_attempt(int len, int total)
    {
        return text(printed(READ_PASS_FORMAT, {std::to_string(len), std::to_string(total)}));
    }
    std::string text_;
};

// Replaces the descriptor number of "open device success" lines with <fd>.
inline std::string normalized(const std::string &out)
{
    const std::string head(OPENED_FORMAT, std::string_view(OPENED_FORMAT).find('%'));
    static const std::regex fd_number(head + "-?[0-9]+ ");
    return std::regex_replace(out, fd_number, head + "<fd> ");
}

// Frames as they appear in the write trace.
inline std::string traced(const Frame &f)
{
    return sim::hex_bytes(f.bytes, f.len);
}
inline const std::string BTC_DETECT = traced(BTC_DETECT_FRAME);
inline const std::string LTC_DETECT = traced(LTC_DETECT_FRAME);
inline const std::string SIA_DASH_DETECT = traced(SIA_DASH_DETECT_FRAME);
inline const std::string LTC_MISC = traced(LTC_MISC_CONFIG_FRAME);
inline const std::string LTC_REGISTER = traced(LTC_SENSOR_REGISTER_FRAME);
inline const std::string LTC_QUERY = traced(LTC_SENSOR_QUERY_FRAME);
inline const std::string SIA_DASH_MISC = traced(SIA_DASH_MISC_CONFIG_FRAME);
inline const std::string SIA_DASH_MUX = traced(SIA_DASH_MUX_CONFIG_FRAME);
inline const std::string SIA_DASH_REGISTER = traced(SIA_DASH_SENSOR_REGISTER_FRAME);
inline const std::string SIA_DASH_QUERY = traced(SIA_DASH_SENSOR_QUERY_FRAME);

// Pieces of logs as the program prints them, for the tests that read logs.
// A six-chip LTC chain's reply as the detection read takes it (42 bytes).
inline const std::string LTC_CHAIN_REPLY =
    "148500000000011485000000000114850000000001148500000000011485000000000114850000000001";

// An attempt in which the LTC chips answer.
inline Transcript ltc_detected(const std::string &reply = LTC_CHAIN_REPLY)
{
    return Transcript()
        .opened()
        .sent(BTC_DETECT)
        .silence()
        .sent(LTC_DETECT)
        .received(LTC_REPLY_LEN, reply)
        .family("ltc");
}

// One round of the LTC sensor detection: its set-up, then `queries`.
inline Transcript ltc_round(const Transcript &queries)
{
    return Transcript()
        .sent(LTC_MISC)
        .setup_step("ltc", CONFIGURE_MISC_STEP)
        .sent(LTC_REGISTER)
        .setup_step("ltc", SENSOR_REGISTER_STEP)
        .then(queries);
}

// One LTC sensor query and its reply ("": a time-out).
inline Transcript ltc_query(const std::string &reply)
{
    Transcript t = Transcript().sent(LTC_QUERY).sensor_query("ltc");
    return reply.empty() ? t.silence() : t.received(LTC_SENSOR_REPLY_LEN, reply);
}

// An attempt in which nothing answers.
inline Transcript unanswered_attempt()
{
    return Transcript()
        .opened()
        .sent(BTC_DETECT)
        .silence()
        .sent(LTC_DETECT)
        .silence()
        .sent(SIA_DASH_DETECT)
        .silence()
        .line(UNKNOWN_MINER_TEXT);
}

// A transcript as a real log shows it: the descriptor a number, not <fd>.
inline std::string log_of(const Transcript &t)
{
    return std::regex_replace(t.str(), std::regex("<fd>"), "3");
}

} // namespace probe_test
