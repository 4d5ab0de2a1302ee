// SPDX-License-Identifier: MIT
// One step of an I2C transaction as seen on the wires: the vocabulary shared
// by the simulated device's own transcript and the logic-analyser decode of a
// recorded waveform, so a test can compare the two with what it asked for.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct I2cEvent {
    enum class Kind { Start, RepeatStart, Stop, AddressRead, AddressWrite, DataRead, DataWrite, Ack, Nack };
    Kind kind;
    int value = -1; // 7-bit address or data byte; -1 for the others

    bool operator==(const I2cEvent &) const = default;
};

using I2cEvents = std::vector<I2cEvent>;

// Builders that make expected sequences read like the bus.
inline I2cEvent i2c_start()
{
    return {I2cEvent::Kind::Start};
}
inline I2cEvent i2c_repeat_start()
{
    return {I2cEvent::Kind::RepeatStart};
}
inline I2cEvent i2c_stop()
{
    return {I2cEvent::Kind::Stop};
}
inline I2cEvent i2c_ack()
{
    return {I2cEvent::Kind::Ack};
}
inline I2cEvent i2c_nack()
{
    return {I2cEvent::Kind::Nack};
}
inline I2cEvent i2c_address_read(int address7)
{
    return {I2cEvent::Kind::AddressRead, address7};
}
inline I2cEvent i2c_address_write(int address7)
{
    return {I2cEvent::Kind::AddressWrite, address7};
}
inline I2cEvent i2c_data_read(int byte)
{
    return {I2cEvent::Kind::DataRead, byte};
}
inline I2cEvent i2c_data_write(int byte)
{
    return {I2cEvent::Kind::DataWrite, byte};
}

// "Start", "Address write 0x2F", "ACK", ...
std::string to_string(const I2cEvent &event);
std::string to_string(const I2cEvents &events); // one event a line
std::ostream &operator<<(std::ostream &os, const I2cEvent &event);

} // namespace sim
