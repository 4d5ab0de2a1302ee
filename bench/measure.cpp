// SPDX-License-Identifier: MIT
#include "measure.h"

#include <stdio.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <sstream>

#include "text.h"

std::optional<Measure> parse_peak_rss(const std::string &err)
{
    const size_t at = err.rfind("peak-rss: wall_us=");
    if (at == std::string::npos)
        return std::nullopt;
    Measure m;
    if (sscanf(err.c_str() + at, "peak-rss: wall_us=%ld hwm_kb=%ld maxrss_kb=%ld", &m.wall_us, &m.hwm_kb,
               &m.maxrss_kb) != 3)
        return std::nullopt;
    return m;
}

StraceCount parse_strace_summary(const std::string &text)
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

void Series::add(const std::optional<Measure> &m)
{
    if (!m) {
        ++failures;
        return;
    }
    wall_us.push_back(m->wall_us);
    hwm_kb = std::max(hwm_kb, m->hwm_kb);
    maxrss_kb = std::max(maxrss_kb, m->maxrss_kb);
}

long Series::median() const
{
    std::vector<long> v = wall_us;
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

long Series::min() const
{
    return wall_us.empty() ? -1 : *std::min_element(wall_us.begin(), wall_us.end());
}

std::string ms(long us)
{
    if (us < 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, us < 100000 ? "%.1f ms" : "%.0f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string kib(long kb)
{
    return kb <= 0 ? "-" : std::to_string(kb) + " KiB";
}

std::string ratio(long measured, long floor)
{
    if (measured < 0 || floor <= 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.3f", static_cast<double>(measured) / static_cast<double>(floor));
    return text;
}
