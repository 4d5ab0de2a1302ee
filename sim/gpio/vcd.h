// SPDX-License-Identifier: MIT
// A value change dump of a few one-bit wires, the format that waveform viewers
// and logic-analyser software open. Changes are kept in memory and rendered on
// demand, so recording costs nothing but a vector push.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class VcdTrace {
public:
    // `initial` gives each wire's level at time 0, one for each wire.
    VcdTrace(std::vector<std::string> wires, std::vector<int> initial);

    // Records a wire's level at `time` (never earlier than the last recorded
    // time); a level equal to the current one records nothing.
    void set(std::uint64_t time, std::size_t wire, int level);

    // The whole dump, ending with a time stamp `tail` units after the later of
    // `now` and the last change, so viewers show the final levels for a while.
    [[nodiscard]] std::string text(std::uint64_t now, std::uint64_t tail = 4) const;

private:
    struct Change {
        std::uint64_t time;
        std::size_t wire;
        int level;
    };

    std::vector<std::string> wires_;
    std::vector<int> initial_;
    std::vector<int> current_;
    std::vector<Change> changes_;
};

} // namespace sim
