// SPDX-License-Identifier: MIT
// What miner-bench reads off a run (the peak-rss helper's line, strace -c's
// summary) and the figures of its tables.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct Measure {
    long wall_us = -1;
    long hwm_kb = -1;
    long maxrss_kb = -1;
};

// The helper's line on standard error; nullopt when it is missing.
std::optional<Measure> parse_peak_rss(const std::string &err);

struct StraceCount {
    long total = -1;
    std::vector<std::pair<std::string, long>> by_call;
};

// The summary strace -c prints: "% time seconds usecs/call calls [errors] syscall".
StraceCount parse_strace_summary(const std::string &text);

// The runs of one row: their wall times, the largest peak memory, failures.
struct Series {
    std::vector<long> wall_us;
    long hwm_kb = 0;
    long maxrss_kb = 0;
    int failures = 0;

    void add(const std::optional<Measure> &m);
    [[nodiscard]] long median() const;
    [[nodiscard]] long min() const;
};

// "12.3 ms", "446 ms"; "1234 KiB"; measured / floor to three places. "-"
// for a figure that is missing.
std::string ms(long us);
std::string kib(long kb);
std::string ratio(long measured, long floor);
