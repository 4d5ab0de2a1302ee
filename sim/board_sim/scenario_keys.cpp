// SPDX-License-Identifier: MIT
// The two scenarios' keys, probe and I2C, each declared once from its member
// and a codec (scenario_codecs.h), and the rules of what has no effect, as
// predicates on the scenario.
#include <stdio.h>
#include <strings.h>

#include "gpio_numbers.h"
#include "record.h"
#include "scenario_codecs.h"

namespace board_sim {

namespace {

using namespace codecs;
using P = ProbeScenario;
using I = I2cScenario;

bool frame_reply(const std::string &text, sim::FrameReply &v, std::string *why)
{
    const size_t eq = text.find('=');
    const std::string hex = eq == std::string::npos ? "" : text.substr(eq + 1);
    for (const sim::KnownFrame &f : sim::known_frames())
        if (eq != std::string::npos && strcasecmp(f.name, text.substr(0, eq).c_str()) == 0 &&
            (hex.empty() || sim::parse_hex_bytes(hex)))
            return v = {f.name, sim::parse_hex_bytes(hex).value_or(std::vector<uint8_t>{})}, true;
    return *why = "wants NAME=HEX with NAME a frame such as 'LTC sensor query'", false;
}

std::string frame_reply_text(const sim::FrameReply &r)
{
    return r.frame_name + "=" + sim::hex_bytes(r.bytes);
}

constexpr std::pair<sim::GpioFile, const char *> GPIO_FILE_NAMES[] = {{sim::GpioFile::SclDirection, "scl-direction"},
                                                                      {sim::GpioFile::SclValue, "scl-value"},
                                                                      {sim::GpioFile::SdaDirection, "sda-direction"},
                                                                      {sim::GpioFile::SdaValue, "sda-value"}};
constexpr Choice<sim::GpioFile> GPIO_FILE{GPIO_FILE_NAMES};

bool gpio_file(const std::string &text, sim::GpioFile &v, std::string *why)
{
    return GPIO_FILE.read(text, v, why) || (*why = "wants " + GPIO_FILE.wants(), false);
}

std::string gpio_file_text(const sim::GpioFile &f)
{
    return GPIO_FILE.write(f);
}

// FILE or FILE:N, the N-th open (from 1) of FILE failing; written FILE:N.
bool open_failure(const std::string &text, sim::OpenFailure &v, std::string *why)
{
    const size_t colon = text.find(':');
    const std::optional<long> nth =
        colon == std::string::npos ? 1 : sim::parse_number(text.substr(colon + 1), 1, 1000000);
    if (nth && GPIO_FILE.read(text.substr(0, colon), v.file, why))
        return v.nth = static_cast<int>(*nth), true;
    return *why = "wants FILE or FILE:N with N from 1 to 1000000", false;
}

std::string open_failure_text(const sim::OpenFailure &f)
{
    return gpio_file_text(f.file) + ":" + std::to_string(f.nth);
}

bool any_text(const std::string &text, std::string &v, std::string *)
{
    return v = text, true;
}

constexpr Number<uint8_t> BYTE{0, 255, true};
constexpr List<std::string> ARGS{any_text, same};
// The alternate board's control line, as the programs number it at base 0.
constexpr auto ARGS_HELP = gpio_text<GPIO_ALT_CONTROL_OFFSET>(
    "miner-probe's arguments; any one selects the alternate board (gpio", ", /dev/ttyS0)");

constexpr std::pair<sim::SdaFault, const char *> SDA_LEVELS[] = {
    {sim::SdaFault::None, "none"}, {sim::SdaFault::StuckHigh, "high"}, {sim::SdaFault::StuckLow, "low"}};
constexpr List<sim::GpioFile> GPIO_FILES{gpio_file, gpio_file_text};

// True when miner-probe finds its work done in the record: its own check
// (probe/record.h), on the piece its reading loop keeps, the last fgets()
// of at most RECORD_BUF_LEN - 1 characters.
bool record_names_a_family(const std::optional<std::string> &record)
{
    char piece[RECORD_BUF_LEN] = {};
    FILE *in = record && !record->empty() ? fmemopen(const_cast<char *>(record->data()), record->size(), "r") : nullptr;
    while (in != nullptr && fgets(piece, RECORD_BUF_LEN, in) != nullptr) {
    }
    if (in != nullptr)
        fclose(in);
    return record_names_family(piece);
}

bool nothing_answers(const P &s)
{
    return s.board.family == sim::ChipFamily::None && s.board.frame_replies.empty();
}

std::vector<std::ptrdiff_t> operator+(std::vector<std::ptrdiff_t> a, const std::vector<std::ptrdiff_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The keys of the hash board itself, which nothing reaches in some scenarios.

} // namespace

template <>
std::span<const Key<P>> scenario_keys<P>()
{
    static const Key<P> KEYS[] = {
        key<P>("note", Text{}, AT(note), "free TEXT: what the scenario shows, for whoever reads it"),
        key<P>("family", Choice<sim::ChipFamily>{sim::CHIP_FAMILY_NAMES}, AT(board.family),
               "chips on the board: BTC, LTC, SIA, DASH, or none (nothing answers)"),
        key<P>("answers_after_cycles", Number<int>{0, 1000}, AT(board.answers_after_cycles),
               "the chips answer once the control line has made N low-high cycles (0: always)"),
        key<P>("sensor", Sensor{0, 1000000}, AT(board.sensor_answers_at_query),
               "the temperature sensor: answers, never, or at=K (from the run's K-th query)"),
        key<P>("sensor_status", BYTE, AT(board.sensor_status), "status BYTE of the sensor's replies"),
        key<P>("sensor_id", BYTE, AT(board.sensor_id), "identity BYTE of the sensor's replies"),
        key<P>("sensor_reply", Maybe<Hex>{}, AT(board.sensor_reply),
               "the sensor's whole reply as HEX, e.g. 0098fe54000018"),
        key<P>("detection_reply", Maybe<Hex>{}, AT(board.detection_reply),
               "the family's detection frame answered with HEX"),
        key<P>("replies", List<sim::FrameReply>{frame_reply, frame_reply_text}, AT(board.frame_replies),
               "NAME=HEX: the named frame answered with HEX (NAME= leaves it unanswered)"),
        key<P>("reply_limit", Maybe<Number<size_t>>{{0, 4096}}, AT(board.reply_limit), "every reply cut to N bytes"),
        key<P>("babble", Maybe<Number<uint8_t>>{BYTE}, AT(board.babble),
               "the line also carries this noise BYTE, 16 a millisecond or back to back on the wire"),
        key<P>("wire", Flag{}, AT(wire),
               "bytes paced at the line's configured speed and framing (else: replies arrive whole)"),
        key<P>("chips", Number<int>{0, 256}, AT(wire_model.chips),
               "chips in the chain on the wire (0: as many as the program's read implies)"),
        key<P>("latency_us", Number<int>{0, 1000000}, AT(wire_model.latency_us),
               "the chips' latency after a frame on the wire, in microseconds"),
        key<P>("corrupt_rate", Rate{}, AT(wire_model.corrupt_rate),
               "on the wire, a bit of a reply byte flipped with this probability, 0 to 1"),
        key<P>("corrupt_seed", Number<uint32_t>{0, 4294967295L}, AT(wire_model.corrupt_seed),
               "seed of the corruption's generator"),
        key<P>("args", ARGS, AT(args), ARGS_HELP.text),
        key<P>("miner_type", Maybe<Lines>{}, AT(miner_type),
               "the LINEs of /usr/bin/minerType before the run (null: no file)"),
        key<P>("temp_sensor", Maybe<Lines>{}, AT(temp_sensor),
               "the LINEs of /usr/bin/tempSensor before the run (null: no file)"),
        key<P>("uart", Flag{}, AT(uart_present), "the serial device exists"),
        key<P>("gpio_files", Flag{}, AT(gpio_files), "the control lines' value files exist"),
        key<P>("records_read_only", Flag{}, AT(usr_bin_read_only), "/usr/bin cannot be written"),
    };
    return KEYS;
}

template <>
std::span<const Key<I>> scenario_keys<I>()
{
    static const Key<I> KEYS[] = {
        key<I>("note", Text{}, AT(note), "free TEXT: what the scenario shows, for whoever reads it"),
        key<I>("device_byte", BYTE, AT(device.byte), "the BYTE the device holds"),
        key<I>("address", Number<uint8_t>{0, 0x7F, true}, AT(device.address), "the device's 7-bit address"),
        key<I>("absent", Flag{true}, AT(device.present), "no device on the bus"),
        key<I>("data_nack", Flag{true}, AT(device.ack_data), "the device refuses written bytes"),
        key<I>("sda_stuck", Choice<sim::SdaFault>{SDA_LEVELS}, AT(sda_fault), "SDA stuck high or low"),
        key<I>("missing", GPIO_FILES, AT(missing_files),
               "GPIO FILEs that do not exist: scl-direction, scl-value, sda-direction, sda-value"),
        key<I>("write_fails", GPIO_FILES, AT(failing_writes), "GPIO FILEs whose every write fails with EIO"),
        key<I>("open_fails", List<sim::OpenFailure>{open_failure, open_failure_text}, AT(open_failures),
               "FILE:N: the N-th open of FILE fails with EIO"),
        key<I>("lines_output", Flag{}, AT(lines_start_as_outputs),
               "the lines start as outputs driving 1 (else: inputs, pulled up)"),
        key<I>("args", ARGS, AT(args), "i2c-bitbang's arguments: none reads, one VALUE writes"),
    };
    return KEYS;
}

template <>
std::span<const NoEffect<P>> no_effect_rules<P>()
{
    static const std::vector<std::ptrdiff_t> SENSOR = members<P>(
        AT(board.sensor_answers_at_query), AT(board.sensor_status), AT(board.sensor_id), AT(board.sensor_reply));
    static const std::vector<std::ptrdiff_t> WIRE = members<P>(
        AT(wire_model.chips), AT(wire_model.latency_us), AT(wire_model.corrupt_rate), AT(wire_model.corrupt_seed));
    // The keys of the hash board itself, which nothing reaches in some scenarios.
    static const std::vector<std::ptrdiff_t> HASH_BOARD =
        members<P>(AT(board.family), AT(board.answers_after_cycles)) + SENSOR +
        members<P>(AT(board.detection_reply), AT(board.frame_replies), AT(board.reply_limit), AT(board.babble),
                   AT(wire)) +
        WIRE;
    static const std::vector<std::ptrdiff_t> CONTROL_BOARD =
        members<P>(AT(uart_present), AT(gpio_files), AT(usr_bin_read_only));
    static const NoEffect<P> RULES[] = {
        {[](const P &, bool vm) { return vm; }, members<P>(AT(board.answers_after_cycles)),
         "with --vm: the control line is the emulated board's own, which the simulated chips cannot watch"},
        {[](const P &, bool vm) { return vm; }, CONTROL_BOARD,
         "with --vm: the emulated board always has its UART, GPIO lines and a writable /usr/bin"},
        {[](const P &s, bool) { return record_names_a_family(s.miner_type); }, HASH_BOARD + CONTROL_BOARD,
         "when miner_type names a family: the probe finds it there and stops"},
        {[](const P &s, bool) { return !s.uart_present; }, HASH_BOARD,
         "without the uart: nothing reaches the hash board"},
        {[](const P &s, bool) { return !s.wire; }, WIRE, "without wire"},
        {[](const P &s, bool) { return s.board.family == sim::ChipFamily::None; },
         members<P>(AT(board.detection_reply)) + SENSOR, "when family is none: no chips answer"},
        {[](const P &s, bool) { return s.board.family == sim::ChipFamily::BTC; }, SENSOR,
         "on a BTC board: its sensor is taken as present, never queried"},
        {[](const P &s, bool) { return !s.args.empty(); }, SENSOR,
         "on the alternate board (args): it runs no sensor detection"},
        {[](const P &s, bool) { return nothing_answers(s); }, members<P>(AT(board.answers_after_cycles)),
         "when no chips answer: give family or replies"},
        {[](const P &s, bool) { return nothing_answers(s) && !s.board.babble; },
         members<P>(AT(board.reply_limit), AT(wire)), "when nothing answers: give family, replies or babble"},
        {[](const P &s, bool) { return s.board.sensor_reply.has_value(); },
         members<P>(AT(board.sensor_status), AT(board.sensor_id)), "with sensor_reply, which gives the whole reply"},
    };
    return RULES;
}

template <>
std::span<const NoEffect<I>> no_effect_rules<I>()
{
    static const NoEffect<I> RULES[] = {
        {[](const I &, bool vm) { return vm; },
         members<I>(AT(device.byte), AT(device.address), AT(device.present), AT(device.ack_data), AT(sda_fault),
                    AT(missing_files), AT(failing_writes), AT(open_failures), AT(lines_start_as_outputs)),
         "with --vm: the emulated board's bus is the kernel's GPIO lines, with no device"},
        {[](const I &s, bool) { return !s.device.present; },
         members<I>(AT(device.byte), AT(device.address), AT(device.ack_data)), "when absent: no device on the bus"},
        {[](const I &s, bool) { return s.args.empty(); }, members<I>(AT(device.ack_data)),
         "on a read: only written bytes are refused"},
        {[](const I &s, bool) { return !s.args.empty(); }, members<I>(AT(device.byte)),
         "on a write: the byte the device holds is only ever read"},
    };
    return RULES;
}

sim::ProbeRunConfig ProbeScenario::run_config() const
{
    sim::ProbeRunConfig config;
    static_cast<sim::ProbeBoard &>(config) = *this;
    if (wire)
        config.board.wire = wire_model;
    return config;
}

#undef AT

} // namespace board_sim
