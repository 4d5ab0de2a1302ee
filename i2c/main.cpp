// SPDX-License-Identifier: MIT
// i2c-bitbang: reads one byte from, or writes one 7-bit value to, the device at
// address byte 0x5E on the GPIO bit-banged bus. No argument reads; otherwise
// the first argument is the decimal value to write.
#include <stdio.h>

#include "gpio_lines.h"
#include "i2c_master.h"
#include "numbers.h"

namespace {

// Line-buffered even into a pipe, so that each line reaches a log when it
// happens and none is lost if the tool is stopped mid-transaction.
char stdout_buffer[BUFSIZ];

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);

    // Files already open when one fails are left to the process exit, whose
    // status is then 255.
    if (gpio_open_lines() != GPIO_OK)
        return GPIO_OPEN_FAILED;

    // Idle bus: both lines driven high.
    gpio_scl_output();
    gpio_sda_output();
    gpio_set_sda(1);
    gpio_set_scl(1);

    if (argc < 2) {
        uint8_t byte = 0;
        const int rc = i2c_read_data(I2C_DEVICE_ADDR, &byte);
        if (rc == I2C_OK)
            printf("i2c read data=%d!\n", byte);
        else
            printf("i2c read failed:%d!\n", rc);
    } else {
        const uint8_t value = write_value_from_argument(argv[1]);
        const int rc = i2c_write_data(I2C_DEVICE_ADDR, &value);
        if (rc == I2C_OK)
            printf("i2c write OK!written data is %d\n", value);
        else
            printf("i2c write failed:%d!", rc);
    }

    gpio_close_lines();
    return 0;
}
