// SPDX-License-Identifier: MIT
// The identification's table: the detection frames in the order they are
// tried, the families their replies name and, per family, how its temperature
// sensor is asked. identify.cpp walks it; board-sim's log explanation reads
// it to tell what each frame in a log expected.
#pragma once

#include <sys/types.h>

#include "frames.h"
#include "messages.h"
#include "miner_result.h"

inline constexpr useconds_t CONFIG_PAUSE_US = 5000;
inline constexpr useconds_t REGISTER_READ_PAUSE_US = 20000;

// A frame that prepares the chips for a sensor query, the text printed after
// the family prefix when it went out, and the pause that follows it.
struct SetupStep {
    const Frame *frame;
    const char *done;
    useconds_t pause_us;
};

// A round sends the steps, then up to SENSOR_QUERIES_PER_ROUND queries; the
// first step starts every round.
struct SensorProcedure {
    int step_count;
    SetupStep steps[3];
    const Frame *query;
    int reply_len;
    const ReplyPattern *reply;
};

inline constexpr SensorProcedure LTC_SENSOR{
    2,
    {{&LTC_MISC_CONFIG_FRAME, CONFIGURE_MISC_STEP, CONFIG_PAUSE_US},
     {&LTC_SENSOR_REGISTER_FRAME, SENSOR_REGISTER_STEP, REGISTER_READ_PAUSE_US}},
    &LTC_SENSOR_QUERY_FRAME,
    LTC_SENSOR_REPLY_LEN,
    &LTC_SENSOR_REPLY,
};

inline constexpr SensorProcedure SIA_DASH_SENSOR{
    3,
    {{&SIA_DASH_MISC_CONFIG_FRAME, CONFIGURE_MISC_STEP, CONFIG_PAUSE_US},
     {&SIA_DASH_MUX_CONFIG_FRAME, CONFIGURE_MUX_STEP, CONFIG_PAUSE_US},
     {&SIA_DASH_SENSOR_REGISTER_FRAME, SENSOR_REGISTER_STEP, REGISTER_READ_PAUSE_US}},
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

inline constexpr DetectionStage DETECTION_STAGES[] = {
    {&BTC_DETECT_FRAME, BTC_REPLY_LEN, 1, {{&BTC_REPLY, MINER_BTC, "btc", nullptr}}},
    {&LTC_DETECT_FRAME, LTC_REPLY_LEN, 1, {{&LTC_REPLY, MINER_LTC, "ltc", &LTC_SENSOR}}},
    {&SIA_DASH_DETECT_FRAME,
     SIA_DASH_REPLY_LEN,
     2,
     {{&SIA_REPLY, MINER_SIA, "sia", &SIA_DASH_SENSOR}, {&DASH_REPLY, MINER_DASH, "dash", &SIA_DASH_SENSOR}}},
};
