// SPDX-License-Identifier: MIT
// miner-probe: finds which chip family sits on the hash board and whether its
// temperature sensor answers, and appends the findings to /usr/bin/minerType
// and /usr/bin/tempSensor. Any argument selects the alternate board.
#include <stdio.h>
#include <unistd.h>

#include "gpio_numbers.h"
#include "identify.h"
#include "messages.h"
#include "miner_result.h"
#include "record.h"
#include "shell.h"

namespace {

constexpr useconds_t CONTROL_LINE_PAUSE_US = 200000;

// The hash-board control line: driving it low then high resets the chips.
// Only its level is written; the platform exports it and sets its direction.
struct ControlLine {
    const char *low;
    const char *high;
};

// The commands, built at compile time from the line numbers of gpio_numbers.h.
constexpr auto DEFAULT_BOARD_LOW = gpio_text<GPIO_DEFAULT_CONTROL>("echo 0 >> /sys/class/gpio/gpio", "/value");
constexpr auto DEFAULT_BOARD_HIGH = gpio_text<GPIO_DEFAULT_CONTROL>("echo 1 >> /sys/class/gpio/gpio", "/value");
constexpr auto ALT_BOARD_LOW = gpio_text<GPIO_ALT_CONTROL>("echo 0 >> /sys/class/gpio/gpio", "/value");
constexpr auto ALT_BOARD_HIGH = gpio_text<GPIO_ALT_CONTROL>("echo 1 >> /sys/class/gpio/gpio", "/value");
static_assert(GPIO_BASE != 0 || (same_text(DEFAULT_BOARD_LOW.text, "echo 0 >> /sys/class/gpio/gpio27/value") &&
                                 same_text(ALT_BOARD_HIGH.text, "echo 1 >> /sys/class/gpio/gpio16/value")));

constexpr ControlLine DEFAULT_BOARD_LINE{DEFAULT_BOARD_LOW.text, DEFAULT_BOARD_HIGH.text};
constexpr ControlLine ALT_BOARD_LINE{ALT_BOARD_LOW.text, ALT_BOARD_HIGH.text};

// Line-buffered even into a pipe or a file, so that every progress line reaches
// a log when it happens and none is lost when the probe is stopped mid-run.
char stdout_buffer[BUFSIZ];

} // namespace

int main(int argc, char **argv)
{
    (void)argv;
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);

    // The arguments' contents are never looked at: any argument, even an empty
    // one, means the alternate board.
    const bool alt_board = argc >= 2;

    char recorded[RECORD_BUF_LEN];
    read_recorded_type(recorded);
    if (record_names_family(recorded)) {
        printf(ALREADY_DONE_FORMAT, recorded);
        return 0;
    }

    const ControlLine &line = alt_board ? ALT_BOARD_LINE : DEFAULT_BOARD_LINE;
    int result = MINER_UNKNOWN;
    for (int attempt = 0; attempt < PROBE_ATTEMPTS; ++attempt) {
        shell_run(line.low);
        usleep(CONTROL_LINE_PAUSE_US);
        shell_run(line.high);
        usleep(CONTROL_LINE_PAUSE_US);
        result = probe_miner_type(alt_board);
        if (result != MINER_UNKNOWN)
            break;
        usleep(CONTROL_LINE_PAUSE_US);
    }

    // Nothing is recorded when no family answered, so the next run probes again.
    if (const char *command = record_command(result))
        shell_run(command);
    return 0;
}
