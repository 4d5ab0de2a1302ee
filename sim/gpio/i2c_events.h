// SPDX-License-Identifier: MIT
// One step of an I2C transaction as seen on the wires: the vocabulary shared
// by the simulated device's own transcript and the logic-analyser decode of a
// recorded waveform, so a test can compare the two with what it asked for.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct I2cEvent {
    // The kinds from AddressRead to DataWrite carry a value.
    enum class Kind { Start, RepeatStart, Stop, AddressRead, AddressWrite, DataRead, DataWrite, Ack, Nack };
    Kind kind;
    int value = -1; // 7-bit address or data byte; -1 for the others

    bool operator==(const I2cEvent &) const = default;

    // Builders that make expected sequences read like the bus.
    static I2cEvent start() { return {Kind::Start}; }
    static I2cEvent repeat_start() { return {Kind::RepeatStart}; }
    static I2cEvent stop() { return {Kind::Stop}; }
    static I2cEvent ack() { return {Kind::Ack}; }
    static I2cEvent nack() { return {Kind::Nack}; }
    static I2cEvent address_read(int address7) { return {Kind::AddressRead, address7}; }
    static I2cEvent address_write(int address7) { return {Kind::AddressWrite, address7}; }
    static I2cEvent data_read(int byte) { return {Kind::DataRead, byte}; }
    static I2cEvent data_write(int byte) { return {Kind::DataWrite, byte}; }
};

using I2cEvents = std::vector<I2cEvent>;

// The kinds' names, indexed by I2cEvent::Kind.
inline constexpr const char *I2C_EVENT_NAMES[] = {"Start",     "Repeat start", "Stop", "Address read", "Address write",
                                                  "Data read", "Data write",   "ACK",  "NACK"};

// "Start", "Address write 0x2F", "ACK", ...
inline std::string to_string(const I2cEvent &event)
{
    std::string out = I2C_EVENT_NAMES[static_cast<int>(event.kind)];
    if (event.value >= 0) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " 0x%02X", event.value & 0xFF);
        out += hex;
    }
    return out;
}

inline std::ostream &operator<<(std::ostream &os, const I2cEvent &event)
{
    return os << to_string(event);
}

} // namespace sim
