// SPDX-License-Identifier: MIT
// Expected standard output of a miner-probe run, built step by step in the
// words a person reading the run's log would use.
#pragma once

#include <regex>
#include <string>

namespace probe_test {

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
    Transcript &opened() { return line("open device success <fd> set timeout 2.000000"); }
    Transcript &open_failed(const std::string &device) { return line("open " + device + " failed"); }
    Transcript &sent(const std::string &hex) { return line("------------> " + hex); }
    Transcript &silence() { return line("usb uart read timedout"); }
    // A reply that arrived whole at the first read.
    Transcript &received(int len, const std::string &hex)
    {
        return read_attempt(len, 0)
            .line("usb_uart_read break,read:" + std::to_string(len))
            .line("usb_uart_read total_len:" + std::to_string(len))
            .line("<------------ " + hex);
    }
    // A reply of `got` bytes (fewer than `len`) followed by silence: three read
    // calls with a read timeout of 2 ms.
    Transcript &received_part(int len, int got, const std::string &hex)
    {
        read_attempt(len, 0).read_attempt(len, got).read_attempt(len, got);
        line("usb uart read 3 times").line("usb_uart_read total_len:" + std::to_string(got));
        if (got > 0)
            line("<------------ " + hex);
        return line("usb_uart_read error");
    }
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
        return line("usb uart read exp_buf_len:" + std::to_string(len) + " total_len:" + std::to_string(total));
    }
    std::string text_;
};

// Replaces the descriptor number of "open device success" lines with <fd>.
inline std::string normalized(const std::string &out)
{
    static const std::regex fd_number("open device success -?[0-9]+ set");
    return std::regex_replace(out, fd_number, "open device success <fd> set");
}

// Frames as they appear in the write trace.
inline constexpr const char *BTC_DETECT = "5405000019";
inline constexpr const char *LTC_DETECT = "5204000012";
inline constexpr const char *SIA_DASH_DETECT = "55aa520500000a";
inline constexpr const char *LTC_MISC = "4108001841407a7018";
inline constexpr const char *LTC_REGISTER = "5108001c0198fe0008";
inline constexpr const char *LTC_QUERY = "4204001c15";
inline constexpr const char *SIA_DASH_MISC = "55aa4109001c07007a6117";
inline constexpr const char *SIA_DASH_MUX = "55aa410900400004000009";
inline constexpr const char *SIA_DASH_REGISTER = "55aa410900200198fe0014";
inline constexpr const char *SIA_DASH_QUERY = "55aa420500201f";

} // namespace probe_test
