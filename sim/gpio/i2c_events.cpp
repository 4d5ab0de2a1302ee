// SPDX-License-Identifier: MIT
#include "i2c_events.h"

#include <cstdio>

namespace sim {

namespace {

const char *kind_name(I2cEvent::Kind kind)
{
    switch (kind) {
    case I2cEvent::Kind::Start:
        return "Start";
    case I2cEvent::Kind::RepeatStart:
        return "Repeat start";
    case I2cEvent::Kind::Stop:
        return "Stop";
    case I2cEvent::Kind::AddressRead:
        return "Address read";
    case I2cEvent::Kind::AddressWrite:
        return "Address write";
    case I2cEvent::Kind::DataRead:
        return "Data read";
    case I2cEvent::Kind::DataWrite:
        return "Data write";
    case I2cEvent::Kind::Ack:
        return "ACK";
    case I2cEvent::Kind::Nack:
        return "NACK";
    }
    return "?";
}

} // namespace

std::string to_string(const I2cEvent &event)
{
    std::string out = kind_name(event.kind);
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
