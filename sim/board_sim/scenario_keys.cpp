// SPDX-License-Identifier: MIT
// The two scenarios' keys, probe and I2C: each declared once, from its member
// and a codec (how the member's type reads, writes and comes from command-line
// text), and the rules of what has no effect, as predicates on the scenario.
#include <stdio.h>
#include <strings.h>

#include "record.h"
#include "scenario.h"
#include "text.h"

namespace board_sim {

namespace {

Json null_or_text(const std::string &text)
{
    return text == "null" ? Json() : Json(text);
}

struct Text {
    bool hex = false, list = false;
    std::string wants() const { return "text"; }
    bool read(const Json &j, std::string &v, std::string *) const { return j.is_string() && (v = j.get<std::string>(), true); }
    Json write(const std::string &v) const { return v; }
    Json parse(const std::string &text, const Json &) const { return null_or_text(text); }
};

// true or false; `negated` for a member that means the opposite of its key.
struct Flag {
    bool negated = false;
    bool hex = false, list = false;
    std::string wants() const { return "true or false"; }
    bool read(const Json &j, bool &v, std::string *) const { return j.is_boolean() && (v = j.get<bool>() != negated, true); }
    Json write(bool v) const { return v != negated; }
    Json parse(const std::string &text, const Json &) const { return Json::parse(text, nullptr, false); }
};

// A whole number in [min, max]; "0x.." on the command line too.
template <class T> struct Number {
    long min, max;
    bool hex = false, list = false;
    std::string wants() const
    {
        return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    }
    bool read(const Json &j, T &v, std::string *) const
    {
        const bool ok = j.is_number_integer() && j.get<long long>() >= min && j.get<long long>() <= max;
        return ok && (v = static_cast<T>(j.get<long long>()), true);
    }
    Json write(T v) const { return v; }
    Json parse(const std::string &text, const Json &) const
    {
        const std::optional<long> n = sim::parse_number(text, min, max);
        return n ? Json(*n) : Json(text);
    }
};

// A probability.
struct Rate {
    bool hex = false, list = false;
    std::string wants() const { return "a number from 0 to 1"; }
    bool read(const Json &j, double &v, std::string *) const
    {
        return j.is_number() && j.get<double>() >= 0 && j.get<double>() <= 1 && (v = j.get<double>(), true);
    }
    Json write(double v) const { return v; }
    Json parse(const std::string &text, const Json &) const { return Json::parse(text, nullptr, false); }
};

// One of `names`, any case on input.
template <class E> struct Choice {
    std::span<const std::pair<E, const char *>> names;
    bool hex = false, list = false;
    std::string wants() const
    {
        std::string what;
        for (size_t i = 0; i < names.size(); ++i)
            what += std::string(i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i].second;
        return what;
    }
    bool read(const Json &j, E &v, std::string *) const
    {
        for (const auto &[value, name] : names)
            if (j.is_string() && strcasecmp(name, j.get<std::string>().c_str()) == 0)
                return v = value, true;
        return false;
    }
    Json write(E v) const
    {
        for (const auto &[value, name] : names)
            if (value == v)
                return name;
        return nullptr;
    }
    Json parse(const std::string &text, const Json &) const { return null_or_text(text); }
};

// When the sensor answers: from query 1 ("answers"), never (0), or from the K-th.
struct Sensor {
    long max;
    bool hex = false, list = false;
    std::string wants() const
    {
        return "\"answers\", \"never\" or at=K with K from 1 to " + std::to_string(max);
    }
    bool read(const Json &j, int &v, std::string *) const
    {
        std::optional<long> k;
        if (j.is_number_integer() && j.get<long long>() >= 0 && j.get<long long>() <= max)
            k = static_cast<long>(j.get<long long>());
        else if (j.is_string())
            k = j == "answers" ? 1
                : j == "never" ? 0
                               : (j.get<std::string>().starts_with("at=")
                                      ? sim::parse_number(j.get<std::string>().substr(3), 1, max)
                                      : std::nullopt);
        return k && (v = static_cast<int>(*k), true);
    }
    Json write(int v) const { return v == 1 ? Json("answers") : v == 0 ? Json("never") : Json(v); }
    Json parse(const std::string &text, const Json &) const
    {
        const std::optional<long> n = sim::parse_number(text, 0, max);
        return n ? Json(*n) : Json(text);
    }
};

// Bytes as hexadecimal text, "aa5517".
struct Hex {
    bool hex = false, list = false;
    std::string wants() const { return "hexadecimal bytes such as \"aa551799\""; }
    bool read(const Json &j, std::vector<uint8_t> &v, std::string *) const
    {
        const auto bytes = j.is_string() ? sim::parse_hex_bytes(j.get<std::string>()) : std::nullopt;
        return bytes && (v = *bytes, true);
    }
    Json write(const std::vector<uint8_t> &v) const { return sim::hex_bytes(v); }
    Json parse(const std::string &text, const Json &) const { return null_or_text(text); }
};

// A list of strings, each read by `item` (which may say why not) and written
// by `show`; on the command line, one item adds, a JSON array replaces.
template <class T> struct List {
    bool (*item)(const std::string &text, T &v, std::string *why);
    std::string (*show)(const T &v);
    bool hex = false, list = true;
    std::string wants() const { return "a list of strings"; }
    bool read(const Json &j, std::vector<T> &v, std::string *why) const
    {
        std::vector<T> items(j.is_array() ? j.size() : 0);
        for (size_t i = 0; i < items.size(); ++i)
            if (!j[i].is_string() || !item(j[i].get<std::string>(), items[i], why))
                return false;
        return j.is_array() && (v = std::move(items), true);
    }
    Json write(const std::vector<T> &v) const
    {
        Json out = Json::array();
        for (const T &x : v)
            out.push_back(show(x));
        return out;
    }
    Json parse(const std::string &text, const Json &current) const
    {
        if (text.starts_with("["))
            return Json::parse(text, nullptr, false);
        Json out = current.is_array() ? current : Json::array();
        out.push_back(text);
        return out;
    }
};

bool line_item(const std::string &text, std::string &v, std::string *why)
{
    if (text.find('\n') != std::string::npos)
        return *why = "wants lines without a newline in them", false;
    return v = text, true;
}

std::string same(const std::string &text)
{
    return text;
}

// A record file's text as its lines.
struct Lines {
    bool hex = false, list = true;
    List<std::string> lines{line_item, same};
    std::string wants() const { return lines.wants(); }
    bool read(const Json &j, std::string &text, std::string *why) const
    {
        std::vector<std::string> v;
        if (!lines.read(j, v, why))
            return false;
        text.clear();
        for (const std::string &line : v)
            text += line + "\n";
        return true;
    }
    Json write(const std::string &text) const
    {
        Json out = Json::array();
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = std::min(text.find('\n', at), text.size());
            out.push_back(text.substr(at, end - at));
        }
        return out;
    }
    Json parse(const std::string &text, const Json &current) const { return lines.parse(text, current); }
};

// C's value, or null for none.
template <class C> struct Maybe {
    C inner{};
    bool hex = inner.hex, list = inner.list;
    std::string wants() const { return inner.wants() + " or null"; }
    template <class T> bool read(const Json &j, std::optional<T> &v, std::string *why) const
    {
        T x{};
        if (j.is_null())
            return v.reset(), true;
        return inner.read(j, x, why) && (v = std::move(x), true);
    }
    template <class T> Json write(const std::optional<T> &v) const { return v ? inner.write(*v) : Json(); }
    Json parse(const std::string &text, const Json &current) const
    {
        return text == "null" ? Json() : inner.parse(text, current);
    }
};

template <class S, class M> std::ptrdiff_t offset_in(const S &s, const M &member)
{
    return reinterpret_cast<const char *>(&member) - reinterpret_cast<const char *>(&s);
}

// The key `name` of the member `at` gives (see AT), read and written by codec `c`.
template <class S, class C, class A> Key<S> key(const char *name, C c, A at, const char *help)
{
    static const S proto{};
    return {name,
            help,
            c.wants(),
            c.hex,
            c.list,
            offset_in(proto, at(proto)),
            [c, at](S &s, const Json &j, std::string *why) { return c.read(j, at(s), why); },
            [c, at](const S &s) { return c.write(at(s)); },
            [c](const std::string &text, const Json &current) { return c.parse(text, current); }};
}

// Where the members `at...` lie, for a rule.
template <class S, class... A> std::vector<std::ptrdiff_t> members(A... at)
{
    static const S proto{};
    return {offset_in(proto, at(proto))...};
}

#define AT(member) [](auto &s) -> auto & { return s.member; }

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

const Key<P> PROBE_KEYS[] = {
    key<P>("note", Text{}, AT(note), "free TEXT: what the scenario shows, for whoever reads it"),
    key<P>("family", Choice<sim::ChipFamily>{sim::CHIP_FAMILY_NAMES}, AT(board.family),
           "chips on the board: BTC, LTC, SIA, DASH, or none (nothing answers)"),
    key<P>("answers_after_cycles", Number<int>{0, 1000}, AT(board.answers_after_cycles),
           "the chips answer once the control line has made N low-high cycles (0: always)"),
    key<P>("sensor", Sensor{1000000}, AT(board.sensor_answers_at_query),
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
    key<P>("args", ARGS, AT(args), "miner-probe's arguments; any one selects the alternate board (gpio16, /dev/ttyS0)"),
    key<P>("miner_type", Maybe<Lines>{}, AT(miner_type),
           "the LINEs of /usr/bin/minerType before the run (null: no file)"),
    key<P>("temp_sensor", Maybe<Lines>{}, AT(temp_sensor),
           "the LINEs of /usr/bin/tempSensor before the run (null: no file)"),
    key<P>("uart", Flag{}, AT(uart_present), "the serial device exists"),
    key<P>("gpio_files", Flag{}, AT(gpio_files), "the control lines' value files exist"),
    key<P>("records_read_only", Flag{}, AT(usr_bin_read_only), "/usr/bin cannot be written"),
};

constexpr std::pair<sim::SdaFault, const char *> SDA_LEVELS[] = {
    {sim::SdaFault::None, "none"}, {sim::SdaFault::StuckHigh, "high"}, {sim::SdaFault::StuckLow, "low"}};
constexpr List<sim::GpioFile> GPIO_FILES{gpio_file, gpio_file_text};

const Key<I> I2C_KEYS[] = {
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

const std::vector<std::ptrdiff_t> SENSOR = members<P>(AT(board.sensor_answers_at_query), AT(board.sensor_status),
                                                      AT(board.sensor_id), AT(board.sensor_reply));
const std::vector<std::ptrdiff_t> WIRE =
    members<P>(AT(wire_model.chips), AT(wire_model.latency_us), AT(wire_model.corrupt_rate),
               AT(wire_model.corrupt_seed));

std::vector<std::ptrdiff_t> operator+(std::vector<std::ptrdiff_t> a, const std::vector<std::ptrdiff_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The keys of the hash board itself, which nothing reaches in some scenarios.
const std::vector<std::ptrdiff_t> HASH_BOARD =
    members<P>(AT(board.family), AT(board.answers_after_cycles)) + SENSOR +
    members<P>(AT(board.detection_reply), AT(board.frame_replies), AT(board.reply_limit), AT(board.babble),
               AT(wire)) +
    WIRE;
const std::vector<std::ptrdiff_t> CONTROL_BOARD = members<P>(AT(uart_present), AT(gpio_files), AT(usr_bin_read_only));

const NoEffect<P> PROBE_RULES[] = {
    {[](const P &, bool vm) { return vm; },
     members<P>(AT(board.answers_after_cycles)),
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

const NoEffect<I> I2C_RULES[] = {
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

#undef AT

} // namespace

template <> std::span<const Key<P>> scenario_keys<P>()
{
    return PROBE_KEYS;
}

template <> std::span<const Key<I>> scenario_keys<I>()
{
    return I2C_KEYS;
}

template <> std::span<const NoEffect<P>> no_effect_rules<P>()
{
    return PROBE_RULES;
}

template <> std::span<const NoEffect<I>> no_effect_rules<I>()
{
    return I2C_RULES;
}

sim::ProbeRunConfig ProbeScenario::run_config() const
{
    sim::ProbeRunConfig config;
    static_cast<sim::ProbeBoard &>(config) = *this;
    if (wire)
        config.board.wire = wire_model;
    return config;
}

} // namespace board_sim
