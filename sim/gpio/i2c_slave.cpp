// SPDX-License-Identifier: MIT
#include "i2c_slave.h"

namespace sim {

I2cSlave::I2cSlave(I2cSlaveOptions options) : options_(options), present_(options.present), byte_(options.byte) {}

void I2cSlave::on_lines(int scl, int sda)
{
    scl = scl ? 1 : 0;
    sda = sda ? 1 : 0;
    const int old_scl = scl_, old_sda = sda_;
    scl_ = scl;
    sda_ = sda;
    if (scl != old_scl) {
        if (scl)
            on_scl_rise(sda);
        else
            on_scl_fall();
    } else if (sda != old_sda && scl) {
        // SDA moving while SCL is high is a bus condition, never data.
        if (sda)
            on_stop();
        else
            on_start();
    }
}

void I2cSlave::on_start()
{
    transcript_.push_back(in_transaction_ ? I2cEvent::repeat_start() : I2cEvent::start());
    in_transaction_ = true;
    // assert: scl is high; a real device lets go of SDA on any START.
    begin_byte(State::Address);
}

// Address and Receive shift a byte in with SDA let go; Transmit puts the
// register's first bit on SDA at once.
void I2cSlave::begin_byte(State state)
{
    state_ = state;
    bit_count_ = 0;
    shift_ = 0;
    bit_ = 7;
    if (state == State::Transmit)
        drive_bit((byte_ >> bit_) & 1);
    else
        pull_low_ = false;
}

void I2cSlave::on_stop()
{
    transcript_.push_back(I2cEvent::stop());
    in_transaction_ = false;
    state_ = State::Idle;
    pull_low_ = false;
}

void I2cSlave::on_scl_rise(int sda)
{
    switch (state_) {
    case State::Address:
    case State::Receive:
        shift_ = static_cast<std::uint8_t>((shift_ << 1) | sda);
        if (++bit_count_ < 8)
            return;
        if (state_ == State::Address) {
            const int address = shift_ >> 1;
            reading_ = shift_ & 1;
            transcript_.push_back(reading_ ? I2cEvent::address_read(address) : I2cEvent::address_write(address));
            selected_ = present_ && address == options_.address;
            acked_ = selected_;
        } else {
            transcript_.push_back(I2cEvent::data_write(shift_));
            acked_ = selected_ && options_.ack_data;
            if (acked_) {
                byte_ = shift_;
                written_.push_back(shift_);
            }
        }
        break;
    case State::AddressAck:
    case State::ReceiveAck:
        transcript_.push_back(sda ? I2cEvent::nack() : I2cEvent::ack());
        break;
    case State::TransmitAck:
        master_acked_ = sda == 0;
        transcript_.push_back(master_acked_ ? I2cEvent::ack() : I2cEvent::nack());
        break;
    case State::Transmit:
        // The master samples now; the next bit goes out on the falling edge.
        shift_ = static_cast<std::uint8_t>((shift_ << 1) | sda);
        ++bit_count_;
        break;
    case State::Idle:
        break;
    }
}

// assert: scl is low here, so every change of this device's drive happens now.
void I2cSlave::on_scl_fall()
{
    switch (state_) {
    case State::Address:
    case State::Receive:
        if (bit_count_ < 8)
            return;
        if (state_ == State::Address && !selected_) {
            // Not ours (or absent): the master sees a NACK from the pull-up.
            state_ = State::AddressAck;
            return;
        }
        state_ = state_ == State::Address ? State::AddressAck : State::ReceiveAck;
        pull_low_ = acked_;
        return;
    case State::AddressAck:
        if (selected_)
            begin_byte(reading_ ? State::Transmit : State::Receive);
        else
            state_ = State::Idle; // wait for the next START
        return;
    case State::ReceiveAck:
        pull_low_ = false;
        if (acked_)
            begin_byte(State::Receive);
        else
            state_ = State::Idle;
        return;
    case State::Transmit:
        if (bit_count_ == 0)
            return; // a falling edge before the first bit was clocked
        if (--bit_ >= 0) {
            drive_bit((byte_ >> bit_) & 1);
            return;
        }
        transcript_.push_back(I2cEvent::data_read(shift_));
        pull_low_ = false; // the master owns the ninth clock
        state_ = State::TransmitAck;
        return;
    case State::TransmitAck:
        // Another byte wanted: a one-register device sends it again.
        if (master_acked_)
            begin_byte(State::Transmit);
        else
            state_ = State::Idle;
        return;
    case State::Idle:
        return;
    }
}

} // namespace sim
