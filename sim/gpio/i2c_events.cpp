// SPDX-License-Identifier: MIT
#include "i2c_events.h"

#include <cstdio>

namespace sim {

namespace {

// Indexed by I2cEvent::Kind.
constexpr const char *KIND_NAMES[] = {"Start",     "Repeat start", "Stop", "Address read", "Address write",
                                      "Data read", "Data write",   "ACK",  "NACK"};

} // namespace

std::string to_string(const I2cEvent &event)
{
    std::string out = KIND_NAMES[static_cast<int>(event.kind)];
    if (event.value >= 0) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " 0x%02X", event.value & 0xFF);
        out += hex;
    }
    return out;
}

std::string to_string(const I2cEvents &events)
{
    std::string out;
    for (const I2cEvent &e : events)
        out += to_string(e) + "\n";
    return out;
}

std::ostream &operator<<(std::ostream &os, const I2cEvent &event)
{
    return os << to_string(event);
}

} // namespace sim
