// SPDX-License-Identifier: MIT
// The two scenario schemas, probe and I2C: their keys, the checks of list
// items, the rules of what has no effect, and what a checked scenario gives
// the simulation.
#include <strings.h>

#include "scenario.h"
#include "text.h"

namespace board_sim {

namespace {

constexpr const char *FAMILIES[] = {"none", "BTC", "LTC", "SIA", "DASH", nullptr};
constexpr sim::ChipFamily FAMILY_VALUES[] = {sim::ChipFamily::None, sim::ChipFamily::BTC, sim::ChipFamily::LTC,
                                             sim::ChipFamily::SIA, sim::ChipFamily::DASH};
constexpr const char *SDA_LEVELS[] = {"none", "high", "low", nullptr};
constexpr const char *GPIO_FILE_NAMES[] = {"scl-direction", "scl-value", "sda-direction", "sda-value", nullptr};

bool gpio_file_item(const std::string &text, std::string *canonical, std::string *why)
{
    const int i = choice_index(GPIO_FILE_NAMES, text);
    if (i < 0)
        *why = "wants scl-direction, scl-value, sda-direction or sda-value, not '" + text + "'";
    else
        *canonical = GPIO_FILE_NAMES[i];
    return i >= 0;
}

// FILE or FILE:N, the N-th open (from 1) of FILE failing; written FILE:N.
bool open_failure_item(const std::string &text, std::string *canonical, std::string *why)
{
    const size_t colon = text.find(':');
    const std::optional<long> nth =
        colon == std::string::npos ? 1 : sim::parse_number(text.substr(colon + 1), 1, 1000000);
    std::string file;
    if (!nth || !gpio_file_item(text.substr(0, colon), &file, why)) {
        *why = "wants FILE or FILE:N with N from 1 to 1000000, not '" + text + "'";
        return false;
    }
    *canonical = file + ":" + std::to_string(*nth);
    return true;
}

// NAME=HEX: the frame of that name (any case) answered with those bytes, or
// with nothing when HEX is empty.
bool reply_item(const std::string &text, std::string *canonical, std::string *why)
{
    const size_t eq = text.find('=');
    const sim::KnownFrame *frame = nullptr;
    for (const sim::KnownFrame &f : sim::known_frames())
        if (eq != std::string::npos && strcasecmp(f.name, text.substr(0, eq).c_str()) == 0)
            frame = &f;
    const std::string hex = eq == std::string::npos ? "" : text.substr(eq + 1);
    if (frame == nullptr || (!hex.empty() && !sim::parse_hex_bytes(hex))) {
        *why = "wants NAME=HEX with NAME a frame such as 'LTC sensor query', not '" + text + "'";
        return false;
    }
    *canonical = std::string(frame->name) + "=" + (hex.empty() ? "" : sim::hex_bytes(*sim::parse_hex_bytes(hex)));
    return true;
}

// A line of a record file.
bool line_item(const std::string &text, std::string *canonical, std::string *why)
{
    if (text.find('\n') != std::string::npos) {
        *why = "wants lines without a newline in them";
        return false;
    }
    *canonical = text;
    return true;
}

using T = FieldType;

// What a scenario shows, for the people who read it: a bug report's words.
#define NOTE_FIELD                                                                           \
    {                                                                                        \
        "note", T::Text, R"("")", "free TEXT: what the scenario shows, for whoever reads it" \
    }

const Field PROBE_FIELDS[] = {
    NOTE_FIELD,
    {"family", T::Choice, R"("none")", "chips on the board: BTC, LTC, SIA, DASH, or none (nothing answers)", 0, 0,
     false, FAMILIES},
    {"answers_after_cycles", T::Count, "1",
     "the chips answer once the control line has made N low-high cycles (0: always)", 0, 1000},
    {"sensor", T::Query, R"("answers")", "the temperature sensor: answers, never, or at=K (from the run's K-th query)",
     1, 1000000},
    {"sensor_status", T::Count, "0", "status BYTE of the sensor's replies", 0, 255},
    {"sensor_id", T::Count, "85", "identity BYTE of the sensor's replies", 0, 255},
    {"sensor_reply", T::Hex, "null", "the sensor's whole reply as HEX, e.g. 0098fe54000018", 0, 0, true},
    {"detection_reply", T::Hex, "null", "the family's detection frame answered with HEX", 0, 0, true},
    {"replies", T::List, "[]", "NAME=HEX: the named frame answered with HEX (NAME= leaves it unanswered)", 0, 0, false,
     nullptr, reply_item},
    {"reply_limit", T::Count, "null", "every reply cut to N bytes", 0, 4096, true},
    {"babble", T::Count, "null", "the line also carries this noise BYTE, 16 a millisecond or back to back on the wire",
     0, 255, true},
    {"wire", T::Flag, "false", "bytes paced at the line's configured speed and framing (else: replies arrive whole)"},
    {"chips", T::Count, "0", "chips in the chain on the wire (0: as many as the program's read implies)", 0, 256},
    {"latency_us", T::Count, "100", "the chips' latency after a frame on the wire, in microseconds", 0, 1000000},
    {"corrupt_rate", T::Rate, "0", "on the wire, a bit of a reply byte flipped with this probability, 0 to 1"},
    {"corrupt_seed", T::Count, "1", "seed of the corruption's generator", 0, 4294967295L},
    {"args", T::List, "[]", "miner-probe's arguments; any one selects the alternate board (gpio16, /dev/ttyS0)"},
    {"miner_type", T::List, "null", "the LINEs of /usr/bin/minerType before the run (null: no file)", 0, 0, true,
     nullptr, line_item},
    {"temp_sensor", T::List, "null", "the LINEs of /usr/bin/tempSensor before the run (null: no file)", 0, 0, true,
     nullptr, line_item},
    {"uart", T::Flag, "true", "the serial device exists"},
    {"gpio_files", T::Flag, "true", "the control lines' value files exist"},
    {"records_read_only", T::Flag, "false", "/usr/bin cannot be written"},
};

const Field I2C_FIELDS[] = {
    NOTE_FIELD,
    {"device_byte", T::Count, "0", "the BYTE the device holds", 0, 255},
    {"address", T::Count, "47", "the device's 7-bit address", 0, 0x7F},
    {"absent", T::Flag, "false", "no device on the bus"},
    {"data_nack", T::Flag, "false", "the device refuses written bytes"},
    {"sda_stuck", T::Choice, R"("none")", "SDA stuck high or low", 0, 0, false, SDA_LEVELS},
    {"missing", T::List, "[]", "GPIO FILEs that do not exist: scl-direction, scl-value, sda-direction, sda-value", 0, 0,
     false, nullptr, gpio_file_item},
    {"write_fails", T::List, "[]", "GPIO FILEs whose every write fails with EIO", 0, 0, false, nullptr, gpio_file_item},
    {"open_fails", T::List, "[]", "FILE:N: the N-th open of FILE fails with EIO", 0, 0, false, nullptr,
     open_failure_item},
    {"lines_output", T::Flag, "false", "the lines start as outputs driving 1 (else: inputs, pulled up)"},
    {"args", T::List, "[]", "i2c-bitbang's arguments: none reads, one VALUE writes"},
};

// Keys of the hash board itself, which nothing reaches in some scenarios.
#define HASH_BOARD_KEYS                                                                                          \
    "family", "answers_after_cycles", "sensor", "sensor_status", "sensor_id", "sensor_reply", "detection_reply", \
        "replies", "reply_limit", "babble", "wire", "chips", "latency_us", "corrupt_rate", "corrupt_seed"
#define SENSOR_KEYS "sensor", "sensor_status", "sensor_id", "sensor_reply"

// True when miner-probe finds its work done in the record: it reads
// /usr/bin/minerType in pieces of at most 19 characters (up to and including
// a newline) and looks at the start of the last one.
bool record_names_family(const Json &s)
{
    if (s["miner_type"].is_null())
        return false;
    std::string record;
    for (const Json &line : s["miner_type"])
        record += line.get<std::string>() + "\n";
    std::string last;
    for (size_t at = 0; at < record.size();) {
        const size_t line_end = record.find('\n', at);
        const size_t end = std::min(line_end == std::string::npos ? record.size() : line_end + 1, at + 19);
        last = record.substr(at, end - at);
        at = end;
    }
    for (const char *family : {"LTC", "BTC", "SIA", "DASH"})
        if (last.starts_with(family))
            return true;
    return false;
}

const NoEffect RULES[] = {
    {Tool::Probe,
     When::OnTheEmulatedBoard,
     {"answers_after_cycles"},
     "with --vm: the control line is the emulated board's own, which the simulated chips cannot watch"},
    {Tool::Probe,
     When::OnTheEmulatedBoard,
     {"uart", "gpio_files", "records_read_only"},
     "with --vm: the emulated board always has its UART, GPIO lines and a writable /usr/bin"},
    {Tool::Probe,
     When::RecordNamesAFamily,
     {HASH_BOARD_KEYS, "uart", "gpio_files", "records_read_only"},
     "when miner_type names a family: the probe finds it there and stops"},
    {Tool::Probe, When::NoUart, {HASH_BOARD_KEYS}, "without the uart: nothing reaches the hash board"},
    {Tool::Probe, When::NoWire, {"chips", "latency_us", "corrupt_rate", "corrupt_seed"}, "without wire"},
    {Tool::Probe, When::NoChips, {"detection_reply", SENSOR_KEYS}, "when family is none: no chips answer"},
    {Tool::Probe, When::BtcChips, {SENSOR_KEYS}, "on a BTC board: its sensor is taken as present, never queried"},
    {Tool::Probe, When::ProgramArguments, {SENSOR_KEYS}, "on the alternate board (args): it runs no sensor detection"},
    {Tool::Probe, When::NothingAnswers, {"answers_after_cycles"}, "when no chips answer: give family or replies"},
    {Tool::Probe, When::SilentLine, {"reply_limit", "wire"}, "when nothing answers: give family, replies or babble"},
    {Tool::Probe,
     When::WholeSensorReply,
     {"sensor_status", "sensor_id"},
     "with sensor_reply, which gives the whole reply"},
    {Tool::I2c,
     When::OnTheEmulatedBoard,
     {"device_byte", "address", "absent", "data_nack", "sda_stuck", "missing", "write_fails", "open_fails",
      "lines_output"},
     "with --vm: the emulated board's bus is the kernel's GPIO lines, with no device"},
    {Tool::I2c, When::NoDevice, {"device_byte", "address", "data_nack"}, "when absent: no device on the bus"},
    {Tool::I2c, When::NoProgramArguments, {"data_nack"}, "on a read: only written bytes are refused"},
    {Tool::I2c, When::ProgramArguments, {"device_byte"}, "on a write: the byte the device holds is only ever read"},
};

bool applies(When when, const Json &s, bool vm)
{
    const bool nothing_answers = s.contains("family") && s["family"] == "none" && s["replies"].empty();
    switch (when) {
    case When::OnTheEmulatedBoard:
        return vm;
    case When::RecordNamesAFamily:
        return record_names_family(s);
    case When::NoUart:
        return !s["uart"].get<bool>();
    case When::NoWire:
        return !s["wire"].get<bool>();
    case When::NoChips:
        return s["family"] == "none";
    case When::BtcChips:
        return s["family"] == "BTC";
    case When::ProgramArguments:
        return !s["args"].empty();
    case When::NoProgramArguments:
        return s["args"].empty();
    case When::NothingAnswers:
        return nothing_answers;
    case When::SilentLine:
        return nothing_answers && s["babble"].is_null();
    case When::WholeSensorReply:
        return !s["sensor_reply"].is_null();
    case When::NoDevice:
        return s["absent"].get<bool>();
    }
    return false;
}

#undef NOTE_FIELD
#undef HASH_BOARD_KEYS
#undef SENSOR_KEYS

} // namespace

int choice_index(const char *const *names, const std::string &text)
{
    for (int i = 0; names[i] != nullptr; ++i)
        if (strcasecmp(names[i], text.c_str()) == 0)
            return i;
    return -1;
}

std::span<const Field> scenario_fields(Tool tool)
{
    if (tool == Tool::Probe)
        return PROBE_FIELDS;
    if (tool == Tool::I2c)
        return I2C_FIELDS;
    return {};
}

const Field *find_field(Tool tool, std::string_view key)
{
    for (const Field &f : scenario_fields(tool))
        if (key == f.key)
            return &f;
    return nullptr;
}

std::span<const NoEffect> no_effect_rules()
{
    return RULES;
}

const NoEffect *refused_key(Tool tool, const Json &scenario, bool vm, const std::vector<std::string> &given,
                            std::string *key)
{
    for (const NoEffect &rule : RULES) {
        if (rule.tool != tool || !applies(rule.when, scenario, vm))
            continue;
        for (const char *k : rule.keys)
            for (const std::string &g : given)
                if (k != nullptr && g == k) {
                    *key = g;
                    return &rule;
                }
    }
    return nullptr;
}

namespace {

std::optional<std::string> record_text(const Json &lines)
{
    if (lines.is_null())
        return std::nullopt;
    std::string text;
    for (const Json &line : lines)
        text += line.get<std::string>() + "\n";
    return text;
}

std::optional<std::vector<uint8_t>> bytes_of(const Json &hex)
{
    return hex.is_null() ? std::nullopt : sim::parse_hex_bytes(hex.get<std::string>());
}

sim::GpioFile gpio_file_of(const std::string &name)
{
    return sim::GPIO_FILES[choice_index(GPIO_FILE_NAMES, name)];
}

} // namespace

const char *sensor_query_name(sim::ChipFamily family)
{
    if (family == sim::ChipFamily::None || family == sim::ChipFamily::BTC)
        return nullptr;
    return family == sim::ChipFamily::LTC ? "LTC sensor query" : "SIA/DASH sensor query";
}

sim::ProbeRunConfig probe_setup(const Json &s, bool vm)
{
    sim::ProbeRunConfig p;
    sim::HashBoardScenario &b = p.board;
    b.family = FAMILY_VALUES[choice_index(FAMILIES, s["family"].get<std::string>())];
    // On the emulated board the chips cannot watch the control line.
    b.answers_after_cycles = vm ? 0 : s["answers_after_cycles"].get<int>();
    const Json &sensor = s["sensor"];
    b.sensor_answers_at_query = sensor == "answers" ? 1 : sensor == "never" ? 0 : sensor.get<int>();
    b.sensor_status = s["sensor_status"].get<uint8_t>();
    b.sensor_id = s["sensor_id"].get<uint8_t>();
    b.detection_reply = bytes_of(s["detection_reply"]);
    for (const Json &item : s["replies"]) {
        const std::string text = item.get<std::string>();
        const size_t eq = text.find('=');
        b.frame_replies.push_back(
            {text.substr(0, eq), bytes_of(Json(text.substr(eq + 1))).value_or(std::vector<uint8_t>{})});
    }
    if (!s["sensor_reply"].is_null() && b.family != sim::ChipFamily::None && b.family != sim::ChipFamily::BTC)
        b.frame_replies.push_back({sensor_query_name(b.family), *bytes_of(s["sensor_reply"])});
    if (!s["reply_limit"].is_null())
        b.reply_limit = s["reply_limit"].get<size_t>();
    if (!s["babble"].is_null())
        b.babble = s["babble"].get<uint8_t>();
    if (s["wire"].get<bool>())
        b.wire = sim::WireModel{s["chips"].get<int>(), s["latency_us"].get<int>(), s["corrupt_rate"].get<double>(),
                                s["corrupt_seed"].get<uint32_t>()};
    p.args = s["args"].get<std::vector<std::string>>();
    p.miner_type = record_text(s["miner_type"]);
    p.temp_sensor = record_text(s["temp_sensor"]);
    p.uart_present = s["uart"].get<bool>();
    p.gpio_files = s["gpio_files"].get<bool>();
    p.usr_bin_read_only = s["records_read_only"].get<bool>();
    return p;
}

I2cSetup i2c_setup(const Json &s)
{
    I2cSetup i;
    sim::GpioBoardOptions &b = i.board;
    b.device.byte = s["device_byte"].get<uint8_t>();
    b.device.address = s["address"].get<uint8_t>();
    b.device.present = !s["absent"].get<bool>();
    b.device.ack_data = !s["data_nack"].get<bool>();
    const std::string stuck = s["sda_stuck"].get<std::string>();
    b.sda_fault = stuck == "high"  ? sim::SdaFault::StuckHigh
                  : stuck == "low" ? sim::SdaFault::StuckLow
                                   : sim::SdaFault::None;
    for (const Json &name : s["missing"])
        b.missing_files.push_back(gpio_file_of(name.get<std::string>()));
    for (const Json &name : s["write_fails"])
        b.failing_writes.push_back(gpio_file_of(name.get<std::string>()));
    for (const Json &item : s["open_fails"]) {
        const std::string text = item.get<std::string>();
        const size_t colon = text.find(':');
        b.open_failures.push_back({gpio_file_of(text.substr(0, colon)), std::stoi(text.substr(colon + 1))});
    }
    b.lines_start_as_outputs = s["lines_output"].get<bool>();
    i.args = s["args"].get<std::vector<std::string>>();
    return i;
}

const char *gpio_file_name(sim::GpioFile file)
{
    return GPIO_FILE_NAMES[static_cast<int>(file)];
}

const char *chip_family_name(sim::ChipFamily family)
{
    for (size_t i = 0; i < std::size(FAMILY_VALUES); ++i)
        if (FAMILY_VALUES[i] == family)
            return FAMILIES[i];
    return "?";
}

} // namespace board_sim
