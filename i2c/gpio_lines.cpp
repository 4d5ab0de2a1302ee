// SPDX-License-Identifier: MIT
#include "gpio_lines.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "gpio_numbers.h"
#include "numbers.h"

int gpio_scl_direction_fd = -1;
int gpio_sda_direction_fd = -1;
int gpio_sda_value_fd = -1;
int gpio_scl_value_fd = -1;

namespace {

// Built at compile time from the line numbers of gpio_numbers.h.
constexpr auto SCL_DIRECTION_FILE = gpio_text<GPIO_SCL>("/sys/class/gpio/gpio", "/direction");
constexpr auto SDA_DIRECTION_FILE = gpio_text<GPIO_SDA>("/sys/class/gpio/gpio", "/direction");
constexpr auto SDA_VALUE_FILE = gpio_text<GPIO_SDA>("/sys/class/gpio/gpio", "/value");
constexpr auto SCL_VALUE_FILE = gpio_text<GPIO_SCL>("/sys/class/gpio/gpio", "/value");
static_assert(GPIO_BASE != 0 || (same_text(SCL_DIRECTION_FILE.text, "/sys/class/gpio/gpio19/direction") &&
                                 same_text(SDA_VALUE_FILE.text, "/sys/class/gpio/gpio23/value")));
constexpr const char *SCL_DIRECTION_PATH = SCL_DIRECTION_FILE.text;
constexpr const char *SDA_DIRECTION_PATH = SDA_DIRECTION_FILE.text;
constexpr const char *SDA_VALUE_PATH = SDA_VALUE_FILE.text;
constexpr const char *SCL_VALUE_PATH = SCL_VALUE_FILE.text;

// The opening order is part of the tool's contract: a missing SCL direction
// file must stop it before any other file is touched.
struct LineFile {
    const char *path;
    int *fd;
};

constexpr LineFile LINE_FILES[] = {
    {SCL_DIRECTION_PATH, &gpio_scl_direction_fd},
    {SDA_DIRECTION_PATH, &gpio_sda_direction_fd},
    {SDA_VALUE_PATH, &gpio_sda_value_fd},
    {SCL_VALUE_PATH, &gpio_scl_value_fd},
};

// A sysfs value file holds "0\n" or "1\n"; anything longer is cut here.
constexpr size_t SAMPLE_READ_MAX = 10;

// Texts are written without their terminator and without a newline; sysfs
// takes either, and the files are never rewound, so each write is one call.
template <size_t N>
bool write_text(int fd, const char (&text)[N])
{
    return write(fd, text, N - 1) >= 0;
}

void set_level(int fd, int level)
{
    if (level) {
        if (!write_text(fd, "1"))
            puts("Failed to write value 1!");
    } else {
        if (!write_text(fd, "0"))
            puts("Failed to write value 0!");
    }
}

void set_input(int fd)
{
    if (!write_text(fd, "in"))
        puts("Failed to set direction to in!");
}

void set_output(int fd)
{
    if (!write_text(fd, "out"))
        puts("Failed to set direction to out!");
}

void close_line(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

int gpio_open_lines()
{
    for (const LineFile &file : LINE_FILES) {
        *file.fd = open(file.path, O_WRONLY);
        if (*file.fd < 0) {
            puts("Failed to open file!");
            return GPIO_OPEN_FAILED;
        }
    }
    return GPIO_OK;
}

void gpio_close_lines()
{
    for (const LineFile &file : LINE_FILES)
        close_line(*file.fd);
}

void gpio_set_sda(int level)
{
    set_level(gpio_sda_value_fd, level);
}

void gpio_set_scl(int level)
{
    set_level(gpio_scl_value_fd, level);
}

void gpio_sda_input()
{
    set_input(gpio_sda_direction_fd);
}

void gpio_sda_output()
{
    set_output(gpio_sda_direction_fd);
}

void gpio_scl_output()
{
    set_output(gpio_scl_direction_fd);
}

int gpio_sample_sda()
{
    // The write-only descriptor cannot be read, and sysfs only reports the
    // current level from the start of a fresh open.
    close_line(gpio_sda_value_fd);
    gpio_sda_value_fd = open(SDA_VALUE_PATH, O_RDONLY);
    if (gpio_sda_value_fd < 0) {
        puts("Failed to open file!");
        return GPIO_SAMPLE_FAILED;
    }

    char text[SAMPLE_READ_MAX] = {};
    const ssize_t n = read(gpio_sda_value_fd, text, sizeof text);
    if (n < 0)
        puts("Failed to read value!");

    close_line(gpio_sda_value_fd);
    gpio_sda_value_fd = open(SDA_VALUE_PATH, O_WRONLY);
    if (gpio_sda_value_fd < 0) {
        puts("Failed to open file!");
        return GPIO_SAMPLE_FAILED;
    }

    return decimal_value(text, n > 0 ? static_cast<size_t>(n) : 0);
}
