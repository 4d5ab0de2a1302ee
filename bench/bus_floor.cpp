// SPDX-License-Identifier: MIT
// The shipped bus master over a line layer that only counts: how many level
// and direction writes and SDA samples one transaction takes. The tool's
// files are reached through gpio_lines.h alone, so these counts, with the
// driver's fixed set-up, give the least number of GPIO system calls the
// tool's sequence can make.
#include "bus_floor.h"

#include "gpio_lines.h"
#include "i2c_master.h"

namespace {

BusOperations counted;

} // namespace

void gpio_set_sda(int)
{
    ++counted.line_writes;
}
void gpio_set_scl(int)
{
    ++counted.line_writes;
}
void gpio_sda_input()
{
    ++counted.line_writes;
}
void gpio_sda_output()
{
    ++counted.line_writes;
}
void gpio_scl_output()
{
    ++counted.line_writes;
}
int gpio_sample_sda()
{
    ++counted.samples;
    return 0; // every acknowledge given: the longest successful transaction
}

BusOperations count_read_transaction()
{
    counted = {};
    uint8_t byte = 0;
    i2c_read_data(I2C_DEVICE_ADDR, &byte);
    return counted;
}

BusOperations count_write_transaction()
{
    counted = {};
    const uint8_t value = 72;
    i2c_write_data(I2C_DEVICE_ADDR, &value);
    return counted;
}

long BusOperations::system_calls() const
{
    // The driver opens the four files, makes both lines outputs and sets them
    // to 1 (four writes), and closes the four files at the end. Each sample
    // closes SDA's value file, opens it read-only, reads it, closes it and
    // opens it write-only again.
    constexpr long DRIVER_OPENS = 4, DRIVER_WRITES = 4, DRIVER_CLOSES = 4;
    constexpr long CALLS_PER_SAMPLE = 5;
    return DRIVER_OPENS + DRIVER_WRITES + line_writes + CALLS_PER_SAMPLE * samples + DRIVER_CLOSES;
}
