// SPDX-License-Identifier: MIT
// A one-byte I2C device (a single register, no register address) reacting to
// the resolved levels of SCL and SDA. Like a real device it samples SDA on the
// rising edge of SCL and changes its own drive of SDA only while SCL is low, so
// it never fakes a START or STOP. It also keeps a transcript, in the form a
// logic-analyser decode gives, of every START, STOP and address byte (absent or
// not addressed, it still listens) and of the bytes of its own transactions.
#pragma once

#include <cstdint>
#include <vector>

#include "i2c_events.h"

namespace sim {

struct I2cSlaveOptions {
    std::uint8_t address = 0x2F; // 7-bit address: address bytes 0x5E (write), 0x5F (read)
    bool present = true;         // false: never acknowledges, never drives SDA
    bool ack_data = true;        // false: written data bytes are not acknowledged (nor stored)
    std::uint8_t byte = 0x00;    // the register: answered to reads, replaced by writes
};

class I2cSlave {
public:
    explicit I2cSlave(I2cSlaveOptions options = {});

    // The levels the device finds when it comes up; no bus condition.
    void power_up(int scl, int sda)
    {
        scl_ = scl ? 1 : 0;
        sda_ = sda ? 1 : 0;
    }
    // Feeds the levels of both lines after any change (either may be unchanged).
    void on_lines(int scl, int sda);
    // True while the device pulls SDA low (acknowledge or a 0 data bit).
    [[nodiscard]] bool pulls_sda_low() const { return pull_low_; }

    [[nodiscard]] std::uint8_t byte() const { return byte_; }
    [[nodiscard]] const std::vector<std::uint8_t> &bytes_written() const { return written_; }
    [[nodiscard]] const I2cEvents &transcript() const { return transcript_; }

private:
    enum class State {
        Idle,        // waiting for START
        Address,     // shifting in the address byte
        AddressAck,  // ninth clock of the address byte
        Receive,     // shifting in a data byte from the master
        ReceiveAck,  // ninth clock of a written byte
        Transmit,    // shifting out the register, bit_ is the bit on SDA
        TransmitAck, // ninth clock of a read byte: the master's ACK/NACK
    };

    void on_start();
    void begin_byte(State state);
    void on_stop();
    void on_scl_rise(int sda);
    void on_scl_fall();
    void drive_bit(int level) { pull_low_ = present_ && level == 0; }

    I2cSlaveOptions options_;
    bool present_;
    std::uint8_t byte_;
    std::vector<std::uint8_t> written_;
    I2cEvents transcript_;

    State state_ = State::Idle;
    int scl_ = 1;
    int sda_ = 1;
    bool pull_low_ = false;
    bool in_transaction_ = false; // between START and STOP, to tell a repeated START
    bool selected_ = false;       // the last address byte was ours
    bool reading_ = false;        // and asked for a read
    bool acked_ = false;          // what this device answers on the current ninth clock
    bool master_acked_ = false;
    int bit_count_ = 0;
    int bit_ = 7;
    std::uint8_t shift_ = 0;
};

} // namespace sim
