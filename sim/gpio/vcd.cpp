// SPDX-License-Identifier: MIT
#include "vcd.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {

// Identifier codes are printable characters from '!' on, one per wire.
std::string wire_code(std::size_t wire)
{
    return std::string(1, static_cast<char>('!' + wire));
}

} // namespace

VcdTrace::VcdTrace(std::vector<std::string> wires, std::vector<int> initial)
    : wires_(std::move(wires)), initial_(std::move(initial)), current_(initial_)
{}

void VcdTrace::set(std::uint64_t time, std::size_t wire, int level)
{
    level = level ? 1 : 0;
    if (current_[wire] == level)
        return;
    current_[wire] = level;
    if (time == 0) {
        initial_[wire] = level; // still part of the $dumpvars block
        return;
    }
    // Two changes of one wire at one instant: only the last one is visible.
    for (auto it = changes_.rbegin(); it != changes_.rend() && it->time == time; ++it) {
        if (it->wire == wire) {
            it->level = level;
            return;
        }
    }
    changes_.push_back({time, wire, level});
}

std::string VcdTrace::text(std::uint64_t now, std::uint64_t tail) const
{
    // Appended piece by piece: GCC 12 reports a false -Wrestrict on
    // "literal" + std::string chains once they are inlined at -O2.
    std::string out;
    const auto stamp = [&out](std::uint64_t time) {
        out += '#';
        out += std::to_string(time);
        out += '\n';
    };
    const auto value = [&out](int level, std::size_t wire) {
        out += level ? '1' : '0';
        out += wire_code(wire);
        out += '\n';
    };
    out += "$timescale 1 us $end\n$scope module i2c $end\n";
    for (std::size_t i = 0; i < wires_.size(); ++i)
        out += "$var wire 1 " + wire_code(i) + " " + wires_[i] + " $end\n";
    out += "$upscope $end\n$enddefinitions $end\n";
    out += "#0\n$dumpvars\n";
    for (std::size_t i = 0; i < wires_.size(); ++i)
        value(initial_[i], i);
    out += "$end\n";

    std::uint64_t last = 0;
    for (const Change &c : changes_) {
        if (c.time != last)
            stamp(c.time);
        last = c.time;
        value(c.level, c.wire);
    }
    stamp(std::max(last, now) + tail);
    return out;
}

} // namespace sim
