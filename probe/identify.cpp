// SPDX-License-Identifier: MIT
#include "identify.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "detection.h"
#include "messages.h"
#include "miner_result.h"
#include "shell.h"
#include "uart_link.h"

namespace {

constexpr const char *DEFAULT_BOARD_UART = "/dev/ttyATH0";
constexpr const char *ALT_BOARD_UART = "/dev/ttyS0";
constexpr int UART_BAUD = 115200;
constexpr float UART_VTIME_TENTHS = 2.0F;
constexpr int READ_TIMEOUT_MS = 2;

constexpr const char *SENSOR_YES_COMMAND = "echo \"YES\" >> /usr/bin/tempSensor";
constexpr const char *SENSOR_NO_COMMAND = "echo \"NO\" >> /usr/bin/tempSensor";

constexpr useconds_t QUERY_PAUSE_US = 5000;
constexpr useconds_t SENSOR_ROUND_PAUSE_US = 10000;

bool send(const Frame &frame)
{
    return usb_uart_write(frame.bytes, frame.len) == UART_OK;
}

// Only the bytes decide: the buffer is zeroed first, so a short or failed read
// leaves zeros that match no pattern, and the read's code is not needed.
void read_reply(uint8_t (&reply)[REPLY_BUF_LEN], int len)
{
    memset(reply, 0, sizeof reply);
    int total = 0;
    usb_uart_read(reply, len, &total, READ_TIMEOUT_MS);
}

// Sends the setup frames in order; a failed write skips the rest of them.
bool prepare_sensor_query(const SensorProcedure &proc, const char *prefix)
{
    for (int i = 0; i < proc.step_count; ++i) {
        const SetupStep &step = proc.steps[i];
        if (!send(*step.frame))
            return false;
        printf(SETUP_STEP_FORMAT, prefix, step.done);
        usleep(step.pause_us);
    }
    return true;
}

bool query_sensor(const SensorProcedure &proc, const char *prefix)
{
    uint8_t reply[REPLY_BUF_LEN];
    for (int query = 0; query < SENSOR_QUERIES_PER_ROUND; ++query) {
        if (!send(*proc.query))
            continue;
        printf(SENSOR_QUERY_FORMAT, prefix);
        usleep(QUERY_PAUSE_US);
        read_reply(reply, proc.reply_len);
        if (reply_matches(*proc.reply, reply, static_cast<size_t>(proc.reply_len))) {
            printf(SENSOR_OK_FORMAT, prefix);
            return true;
        }
        usleep(QUERY_PAUSE_US);
    }
    return false;
}

// Up to SENSOR_ROUNDS rounds of up to SENSOR_QUERIES_PER_ROUND queries;
// appends exactly one line to the sensor record: "YES" at the first matching
// reply, else "NO".
void detect_sensor(const SensorProcedure &proc, const char *prefix)
{
    for (int round = 0; round < SENSOR_ROUNDS; ++round) {
        if (prepare_sensor_query(proc, prefix) && query_sensor(proc, prefix)) {
            shell_run(SENSOR_YES_COMMAND);
            return;
        }
        usleep(SENSOR_ROUND_PAUSE_US);
    }
    shell_run(SENSOR_NO_COMMAND);
}

void settle_sensor(const Family &family)
{
    if (family.sensor == nullptr) {
        puts(BTC_SENSOR_TEXT);
        shell_run(SENSOR_YES_COMMAND);
        return;
    }
    detect_sensor(*family.sensor, family.prefix);
}

} // namespace

int probe_miner_type(bool alt_board)
{
    usb_uart_open(alt_board ? ALT_BOARD_UART : DEFAULT_BOARD_UART, UART_BAUD, UART_VTIME_TENTHS);

    uint8_t reply[REPLY_BUF_LEN];
    for (const DetectionStage &stage : DETECTION_STAGES) {
        // A failed write skips only this stage; the next family is still tried.
        if (!send(*stage.frame))
            continue;
        read_reply(reply, stage.reply_len);
        for (int i = 0; i < stage.family_count; ++i) {
            const Family &family = stage.families[i];
            if (!reply_matches(*family.reply, reply, static_cast<size_t>(stage.reply_len)))
                continue;
            printf(FAMILY_FORMAT, family.prefix);
            if (!alt_board)
                settle_sensor(family);
            usb_uart_close();
            return family.result;
        }
    }

    puts(UNKNOWN_MINER_TEXT);
    usb_uart_close();
    return MINER_UNKNOWN;
}
