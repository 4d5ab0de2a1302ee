// SPDX-License-Identifier: MIT
#include "i2c_master.h"

#include "gpio_lines.h"

void i2c_start()
{
    gpio_set_sda(1);
    gpio_set_scl(1);
    gpio_set_sda(0); // falling SDA while SCL is high
    gpio_set_scl(0);
    /* assert: scl and sda are low */
}

void i2c_stop()
{
    gpio_set_sda(0);
    gpio_set_scl(1);
    gpio_set_sda(1); // rising SDA while SCL is high
    /* assert: bus idle, scl and sda are high */
}

void i2c_send_nack()
{
    gpio_set_sda(1);
    gpio_set_scl(1);
    gpio_set_scl(0);
    /* assert: scl is low, sda is high */
}

uint8_t i2c_read_ack()
{
    /* assert: scl is low */
    gpio_sda_input();
    gpio_set_scl(1);
    const int sample = gpio_sample_sda();
    gpio_set_scl(0);
    gpio_sda_output();
    // GPIO_SAMPLE_FAILED keeps its value modulo 256: 0xFF, never I2C_ACK.
    return static_cast<uint8_t>(sample);
}

int8_t i2c_write_byte(uint8_t b)
{
    /* assert: scl is low */
    for (int bit = 7; bit >= 0; --bit) {
        gpio_set_sda((b >> bit) & 1);
        gpio_set_scl(1);
        gpio_set_scl(0);
    }
    return static_cast<int8_t>(i2c_read_ack());
}

uint8_t i2c_read_byte()
{
    /* assert: scl is low */
    gpio_sda_input();
    unsigned result = 0;
    for (int bit = 7; bit >= 0; --bit) {
        gpio_set_scl(1);
        // Unsigned, so that GPIO_SAMPLE_FAILED (-1) shifts without undefined
        // behaviour and sets this bit and every bit above it.
        result |= (static_cast<unsigned>(gpio_sample_sda()) << bit) & 0xFF;
        gpio_set_scl(0);
    }
    gpio_sda_output();
    i2c_send_nack();
    return static_cast<uint8_t>(result);
}

int i2c_write_data(uint8_t addr, const uint8_t *data)
{
    i2c_start();
    if (i2c_write_byte(addr) != I2C_ACK) {
        i2c_stop();
        return I2C_ADDR_NACK;
    }
    if (i2c_write_byte(*data) != I2C_ACK) {
        i2c_stop();
        return I2C_DATA_NACK;
    }
    i2c_stop();
    return I2C_OK;
}

int i2c_read_data(uint8_t addr, uint8_t *out)
{
    i2c_start();
    if (i2c_write_byte(static_cast<uint8_t>(addr | I2C_READ_BIT)) != I2C_ACK) {
        i2c_stop();
        return I2C_ADDR_NACK;
    }
    *out = i2c_read_byte();
    i2c_stop();
    return I2C_OK;
}
