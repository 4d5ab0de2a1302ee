// SPDX-License-Identifier: MIT
#include "identify.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "frames.h"
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

constexpr int SENSOR_ATTEMPTS = 10;
constexpr int SENSOR_QUERIES_PER_ATTEMPT = 10;
constexpr useconds_t CONFIG_PAUSE_US = 5000;
constexpr useconds_t REGISTER_READ_PAUSE_US = 20000;
constexpr useconds_t QUERY_PAUSE_US = 5000;
constexpr useconds_t SENSOR_ATTEMPT_PAUSE_US = 10000;

// A frame that prepares the chips for a sensor query, the text printed after
// the family prefix when it went out, and the pause that follows it.
struct SetupStep {
    const Frame *frame;
    const char *done;
    useconds_t pause_us;
};

struct SensorProcedure {
    int step_count;
    SetupStep steps[3];
    const Frame *query;
    int reply_len;
    const ReplyPattern *reply;
};

constexpr SensorProcedure LTC_SENSOR{
    2,
    {{&LTC_MISC_CONFIG_FRAME, " configure misc", CONFIG_PAUSE_US},
     {&LTC_SENSOR_REGISTER_FRAME, " read temp sensor register 0xfe", REGISTER_READ_PAUSE_US}},
    &LTC_SENSOR_QUERY_FRAME,
    LTC_SENSOR_REPLY_LEN,
    &LTC_SENSOR_REPLY,
};

constexpr SensorProcedure SIA_DASH_SENSOR{
    3,
    {{&SIA_DASH_MISC_CONFIG_FRAME, " configure misc", CONFIG_PAUSE_US},
     {&SIA_DASH_MUX_CONFIG_FRAME, " configure mux", CONFIG_PAUSE_US},
     {&SIA_DASH_SENSOR_REGISTER_FRAME, " read temp sensor register 0xfe", REGISTER_READ_PAUSE_US}},
    &SIA_DASH_SENSOR_QUERY_FRAME,
    SIA_DASH_SENSOR_REPLY_LEN,
    &SIA_DASH_SENSOR_REPLY,
};

// A family recognised by a reply pattern. Its prefix starts every message
// about it; a family without a sensor procedure always carries a sensor.
struct Family {
    const ReplyPattern *reply;
    int result;
    const char *prefix;
    const SensorProcedure *sensor;
};

struct DetectionStage {
    const Frame *frame;
    int reply_len;
    int family_count;
    Family families[2];
};

constexpr DetectionStage DETECTION_STAGES[] = {
    {&BTC_DETECT_FRAME, BTC_REPLY_LEN, 1, {{&BTC_REPLY, MINER_BTC, "btc", nullptr}}},
    {&LTC_DETECT_FRAME, LTC_REPLY_LEN, 1, {{&LTC_REPLY, MINER_LTC, "ltc", &LTC_SENSOR}}},
    {&SIA_DASH_DETECT_FRAME,
     SIA_DASH_REPLY_LEN,
     2,
     {{&SIA_REPLY, MINER_SIA, "sia", &SIA_DASH_SENSOR}, {&DASH_REPLY, MINER_DASH, "dash", &SIA_DASH_SENSOR}}},
};

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
        printf("%s%s\n", prefix, step.done);
        usleep(step.pause_us);
    }
    return true;
}

bool query_sensor(const SensorProcedure &proc, const char *prefix)
{
    uint8_t reply[REPLY_BUF_LEN];
    for (int query = 0; query < SENSOR_QUERIES_PER_ATTEMPT; ++query) {
        if (!send(*proc.query))
            continue;
        printf("%s send get temp sensor register\n", prefix);
        usleep(QUERY_PAUSE_US);
        read_reply(reply, proc.reply_len);
        if (reply_matches(*proc.reply, reply, static_cast<size_t>(proc.reply_len))) {
            printf("%s read temp sensor register 0xfe OK\n", prefix);
            return true;
        }
        usleep(QUERY_PAUSE_US);
    }
    return false;
}

// Up to 10 attempts of up to 10 queries; appends exactly one line to the
// sensor record: "YES" at the first matching reply, else "NO".
void detect_sensor(const SensorProcedure &proc, const char *prefix)
{
    for (int attempt = 0; attempt < SENSOR_ATTEMPTS; ++attempt) {
        if (prepare_sensor_query(proc, prefix) && query_sensor(proc, prefix)) {
            shell_run(SENSOR_YES_COMMAND);
            return;
        }
        usleep(SENSOR_ATTEMPT_PAUSE_US);
    }
    shell_run(SENSOR_NO_COMMAND);
}

void settle_sensor(const Family &family)
{
    if (family.sensor == nullptr) {
        puts("BTC miner should always have temp sensor");
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
            printf("%s miner\n", family.prefix);
            if (!alt_board)
                settle_sensor(family);
            usb_uart_close();
            return family.result;
        }
    }

    puts("unknown miner");
    usb_uart_close();
    return MINER_UNKNOWN;
}
