// SPDX-License-Identifier: MIT
// What the benchmarks read off the programs' output: miner-probe's log lines,
// by the texts of the probe's own message header, and strace's summary.
#pragma once

#include <climits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "messages.h"
#include "text.h"

// The fixed start of one of the probe's printf formats, up to its first value:
// "open device success " of "open device success %d set timeout %f\n".
inline std::string text_before_value(const char *format)
{
    const std::string text = format;
    return text.substr(0, text.find('%'));
}

inline int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct StraceCount {
    long total = -1;
    std::vector<std::pair<std::string, long>> by_call;
};

// The summary strace -c prints: "% time seconds usecs/call calls [errors] syscall".
inline StraceCount parse_strace_summary(const std::string &text)
{
    StraceCount count;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.size() < 5 || w[0].find('.') == std::string::npos || !isdigit(static_cast<unsigned char>(w[0][0])))
            continue;
        const long calls = sim::parse_number(w[3], 0, LONG_MAX).value_or(0);
        if (w.back() == "total")
            count.total = calls;
        else
            count.by_call.emplace_back(w.back(), calls);
    }
    return count;
}
