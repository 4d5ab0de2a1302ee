// SPDX-License-Identifier: MIT
// A bit-banged I2C master over the GPIO line layer, with no delays and no
// time-outs: each half clock period lasts as long as one sysfs write.
// Between operations SDA is an output; after i2c_start() both lines are low,
// after i2c_stop() both are high (bus idle).
#pragma once

#include <stdint.h>

#include "gpio_lines.h"

// Address bytes are the 7-bit device address shifted left by one, with the
// read/write bit in bit 0.
inline constexpr uint8_t I2C_READ_BIT = 0x01;
inline constexpr uint8_t I2C_DEVICE_ADDR = 0x5E;
static_assert((I2C_DEVICE_ADDR & I2C_READ_BIT) == 0, "address bytes are kept in write form");
static_assert(I2C_DEVICE_ADDR >> 1 == 0x2F);

// Results of i2c_write_data() and i2c_read_data().
inline constexpr int I2C_OK = 0;
inline constexpr int I2C_ADDR_NACK = 1;
inline constexpr int I2C_DATA_NACK = 2;

void i2c_start();
void i2c_stop();
void i2c_send_nack();

// The acknowledge bit as sampled on SDA: the device pulls it low to acknowledge.
inline constexpr uint8_t I2C_ACK = 0;
inline constexpr uint8_t I2C_NACK = 1;

// Clocks in the acknowledge bit.
// Returns the sampled bit: I2C_ACK, I2C_NACK, or GPIO_SAMPLE_FAILED as an
// unsigned byte (0xFF) when the sample failed.
uint8_t i2c_read_ack();

// Sends `b` most significant bit first and clocks in the acknowledge.
// Returns I2C_ACK when acknowledged, non-zero otherwise: I2C_NACK, or
// GPIO_SAMPLE_FAILED (-1) when the sample failed.
int8_t i2c_write_byte(uint8_t b);

// Clocks in one byte, most significant bit first, and ends with a
// not-acknowledge. A failed sample sets its bit and every bit above it.
uint8_t i2c_read_byte();

// START, address byte `addr` (write form), the one byte at `data`, STOP.
// Returns I2C_OK, I2C_ADDR_NACK when the address byte was not acknowledged or
// I2C_DATA_NACK when the data byte was not; the bus is idle on every return.
int i2c_write_data(uint8_t addr, const uint8_t *data);

// START, address byte `addr` in read form, one byte read into *out, STOP.
// Returns I2C_OK, or I2C_ADDR_NACK when the address byte was not acknowledged
// (*out is then left as it was); the bus is idle on every return.
int i2c_read_data(uint8_t addr, uint8_t *out);
