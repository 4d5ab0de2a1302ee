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
    explicit I2cSlave(I2cSlaveOptions options) : options_(options) {}

    // Feeds the levels of both lines before and after any change (either may
    // be unchanged); the device holds no copy of its own.
    void on_lines(int scl_before, int sda_before, int scl, int sda)
    {
        if (scl && !scl_before)
            on_scl_rise(sda);
        else if (!scl && scl_before)
            on_scl_fall();
        else if (scl && sda != sda_before) // SDA moving while SCL is high is a bus condition, never data
            sda ? on_stop() : on_start();
    }

    // True while the device pulls SDA low (acknowledge or a 0 data bit).
    [[nodiscard]] bool pulls_sda_low() const { return pull_low_; }
    [[nodiscard]] std::uint8_t byte() const { return options_.byte; }
    [[nodiscard]] std::vector<std::uint8_t> bytes_written() const { return written_; }
    [[nodiscard]] I2cEvents transcript() const { return transcript_; }

private:
    // What the current byte of a transaction is: eight clocks of data, then
    // the ninth, the acknowledge.
    enum class Mode {
        Idle,     // waiting for START
        Address,  // the address byte, shifted in
        Receive,  // a data byte from the master, shifted in
        Transmit, // the register, shifted out
    };

    void on_start()
    {
        transcript_.push_back(in_transaction_ ? I2cEvent::repeat_start() : I2cEvent::start());
        in_transaction_ = true;
        begin_byte(Mode::Address); // a real device lets go of SDA on any START
    }

    void on_stop()
    {
        transcript_.push_back(I2cEvent::stop());
        in_transaction_ = false;
        mode_ = Mode::Idle;
        pull_low_ = false;
    }

    // A byte shifted in starts with SDA let go; one shifted out puts the
    // register's first bit on SDA at once.
    void begin_byte(Mode mode)
    {
        mode_ = mode;
        clocks_ = 0;
        shift_ = 0;
        drive_bit(7);
    }

    void drive_bit(int bit) { pull_low_ = mode_ == Mode::Transmit && ((options_.byte >> bit) & 1) == 0; }

    void on_scl_rise(int sda)
    {
        if (mode_ == Mode::Idle)
            return;
        if (++clocks_ == 9) {
            acked_ = sda == 0;
            transcript_.push_back(acked_ ? I2cEvent::ack() : I2cEvent::nack());
            return;
        }
        // When transmitting, the master samples now; the next bit goes out on the falling edge.
        shift_ = static_cast<std::uint8_t>((shift_ << 1) | sda);
        if (clocks_ < 8 || mode_ == Mode::Transmit)
            return;
        if (mode_ == Mode::Address) {
            const int address = shift_ >> 1;
            reading_ = shift_ & 1;
            transcript_.push_back(reading_ ? I2cEvent::address_read(address) : I2cEvent::address_write(address));
            selected_ = options_.present && address == options_.address;
            taken_ = selected_;
        } else {
            transcript_.push_back(I2cEvent::data_write(shift_));
            taken_ = selected_ && options_.ack_data;
            if (taken_) {
                options_.byte = shift_;
                written_.push_back(shift_);
            }
        }
    }

    // SCL is low here, so every change of this device's drive happens now.
    void on_scl_fall()
    {
        if (mode_ == Mode::Idle || clocks_ == 0) // no bit clocked yet
            return;
        if (clocks_ < 8) {
            if (mode_ == Mode::Transmit)
                drive_bit(7 - clocks_);
        } else if (clocks_ == 8 && mode_ == Mode::Transmit) {
            transcript_.push_back(I2cEvent::data_read(shift_));
            pull_low_ = false; // the master owns the ninth clock
        } else if (clocks_ == 8) {
            pull_low_ = taken_; // acknowledge; an address not ours gets a NACK from the pull-up
        } else if (mode_ == Mode::Address ? selected_ : mode_ == Mode::Receive ? taken_ : acked_) {
            // After the ninth clock, the transaction goes on when the address
            // was ours, the written byte taken or the read byte acknowledged by
            // the master; a one-register device then sends its byte again.
            begin_byte(mode_ == Mode::Receive || (mode_ == Mode::Address && !reading_) ? Mode::Receive
                                                                                       : Mode::Transmit);
        } else {
            mode_ = Mode::Idle; // wait for the next START
            pull_low_ = false;
        }
    }

    I2cSlaveOptions options_; // its byte is the register
    std::vector<std::uint8_t> written_;
    I2cEvents transcript_;

    Mode mode_ = Mode::Idle;
    int clocks_ = 0; // rising edges of SCL in the current byte
    std::uint8_t shift_ = 0;
    bool pull_low_ = false;
    bool in_transaction_ = false; // between START and STOP, to tell a repeated START
    bool selected_ = false;       // the last address byte was ours
    bool reading_ = false;        // and asked for a read
    bool taken_ = false;          // this device acknowledges the byte it just got
    bool acked_ = false;          // the ninth clock read an acknowledge
};

} // namespace sim
