// SPDX-License-Identifier: MIT
// The two scenarios' keys, probe and I2C, each declared once from its member
// and a codec. A codec is how a kind of member reads and writes its JSON value
// and what it wants in words (whole numbers in a range, choices by name,
// hexadecimal bytes, lists of items, ...); key() makes a key of a member and
// a codec given as a template argument, so that each key's functions are
// plain functions.
#include <strings.h>

#include "gpio_numbers.h"
#include "scenario.h"
#include "text.h"

namespace board_sim {

namespace {

// Each codec says whether its values show in hexadecimal (`hex`) and whether
// it is a list, whose --set adds an item (`list`).
struct Text {
    bool hex = false, list = false;
    std::string wants() const { return "text"; }
    bool read(const Json &j, std::string &v, std::string *) const
    {
        return j.is_string() && (v = j.get<std::string>(), true);
    }
    Json write(const std::string &v) const { return v; }
};

// true or false; `negated` for a member that means the opposite of its key.
struct Flag {
    bool negated = false;
    bool hex = false, list = false;
    std::string wants() const { return "true or false"; }
    bool read(const Json &j, bool &v, std::string *) const
    {
        return j.is_boolean() && (v = j.get<bool>() != negated, true);
    }
    Json write(bool v) const { return v != negated; }
};

bool in_range(const Json &j, long min, long max)
{
    return j.is_number_integer() && j.get<long long>() >= min && j.get<long long>() <= max;
}

// A number from `min` to `max`, a whole one unless T is floating-point.
template <class T>
struct Number {
    long min, max;
    bool hex = false;
    bool list = false, whole = std::is_integral_v<T>;
    std::string wants() const
    {
        return (whole ? "a whole number from " : "a number from ") + std::to_string(min) + " to " + std::to_string(max);
    }
    bool read(const Json &j, T &v, std::string *) const
    {
        return (whole ? in_range(j, min, max) : j.is_number() && j >= min && j <= max) && (v = j.get<T>(), true);
    }
    Json write(T v) const { return v; }
};

// One of the names of NAMES, pairs of a value and its name; any case on input.
template <const auto &NAMES>
struct Choice {
    bool hex = false, list = false;
    using E = std::remove_cvref_t<decltype(NAMES[0].first)>;
    std::string wants() const
    {
        std::string what;
        for (const auto &[value, name] : NAMES)
            what += std::string(what.empty() ? "" : &value == &std::end(NAMES)[-1].first ? " or " : ", ") + name;
        return what;
    }
    bool read(const Json &j, E &v, std::string *) const
    {
        for (const auto &[value, name] : NAMES)
            if (j.is_string() && strcasecmp(name, j.get<std::string>().c_str()) == 0)
                return v = value, true;
        return false;
    }
    Json write(E v) const
    {
        return std::find_if(std::begin(NAMES), std::end(NAMES), [v](auto &n) { return n.first == v; })->second;
    }
};

// When the sensor answers: from query 1 ("answers"), never (0), or from the K-th.
struct Sensor {
    long max;
    bool hex = false, list = false;
    std::string wants() const { return "\"answers\", \"never\" or at=K with K from 1 to " + std::to_string(max); }
    bool read(const Json &j, int &v, std::string *) const
    {
        const std::string text = j.is_string() ? j.get<std::string>() : "";
        const std::optional<long> k = in_range(j, 0, max)       ? j.get<long>()
                                      : text == "answers"       ? 1
                                      : text == "never"         ? 0
                                      : text.starts_with("at=") ? sim::parse_number(text.substr(3), 1, max)
                                                                : std::nullopt;
        return k && (v = static_cast<int>(*k), true);
    }
    Json write(int v) const { return v == 1 ? Json("answers") : v == 0 ? Json("never") : Json(v); }
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
};

// The items of lists: each kind read from its text (false, maybe with
// `why`) and written back as text.
bool item(const std::string &text, std::string &v, std::string *)
{
    return v = text, true;
}

std::string item_text(const std::string &v)
{
    return v;
}

// NAME=HEX, or NAME#K=HEX for the K-th frame of that name only.
bool item(const std::string &text, sim::FrameReply &v, std::string *why)
{
    const size_t eq = std::min(text.find('='), text.size());
    const size_t hash = std::min(text.find('#'), eq);
    const std::string hex = text.substr(std::min(eq + 1, text.size()));
    const std::optional<long> nth =
        hash == eq ? 0 : sim::parse_number(text.substr(hash + 1, eq - hash - 1), 1, 1000000);
    const auto bytes = hex.empty() ? std::vector<uint8_t>{} : sim::parse_hex_bytes(hex);
    for (const sim::KnownFrame &f : sim::known_frames())
        if (eq < text.size() && strcasecmp(f.name, text.substr(0, hash).c_str()) == 0 && nth && bytes)
            return v = {f.name, *bytes, static_cast<int>(*nth)}, true;
    return *why = "wants NAME=HEX or NAME#K=HEX with NAME a frame such as 'LTC sensor query' and K from 1 to 1000000",
           false;
}

std::string item_text(const sim::FrameReply &r)
{
    return r.frame_name + (r.nth > 0 ? "#" + std::to_string(r.nth) : "") + "=" + sim::hex_bytes(r.bytes);
}

constexpr std::pair<sim::GpioFile, const char *> GPIO_FILE_NAMES[] = {{sim::GpioFile::SclDirection, "scl-direction"},
                                                                      {sim::GpioFile::SclValue, "scl-value"},
                                                                      {sim::GpioFile::SdaDirection, "sda-direction"},
                                                                      {sim::GpioFile::SdaValue, "sda-value"}};
constexpr Choice<GPIO_FILE_NAMES> GPIO_FILE;

bool item(const std::string &text, sim::GpioFile &v, std::string *why)
{
    return GPIO_FILE.read(text, v, why) || (*why = "wants " + GPIO_FILE.wants(), false);
}

std::string item_text(const sim::GpioFile &f)
{
    return GPIO_FILE.write(f);
}

// FILE or FILE:N, the N-th open (from 1) of FILE failing; written FILE:N.
bool item(const std::string &text, sim::OpenFailure &v, std::string *why)
{
    const size_t colon = text.find(':');
    const std::optional<long> nth =
        colon == std::string::npos ? 1 : sim::parse_number(text.substr(colon + 1), 1, 1000000);
    if (nth && GPIO_FILE.read(text.substr(0, colon), v.file, why))
        return v.nth = static_cast<int>(*nth), true;
    return *why = "wants FILE or FILE:N with N from 1 to 1000000", false;
}

std::string item_text(const sim::OpenFailure &f)
{
    return item_text(f.file) + ":" + std::to_string(f.nth);
}

// A list of strings, each an item; on the command line, one item adds, a
// JSON array replaces.
struct List {
    bool hex = false, list = true;
    std::string wants() const { return "a list of strings"; }
    template <class T>
    bool read(const Json &j, std::vector<T> &v, std::string *why) const
    {
        std::vector<T> items(j.is_array() ? j.size() : 0);
        for (size_t i = 0; i < items.size(); ++i)
            if (!j[i].is_string() || !item(j[i].get<std::string>(), items[i], why))
                return false;
        return j.is_array() && (v = std::move(items), true);
    }
    template <class T>
    Json write(const std::vector<T> &v) const
    {
        Json out = Json::array();
        for (const T &x : v)
            out.push_back(item_text(x));
        return out;
    }
};

// A record file's text as its lines.
struct Lines {
    bool hex = false, list = true;
    std::string wants() const { return "a list of strings"; }
    bool read(const Json &j, std::string &text, std::string *why) const
    {
        std::vector<std::string> lines;
        if (!List{}.read(j, lines, why))
            return false;
        text.clear();
        for (const std::string &l : lines) {
            if (l.find('\n') != std::string::npos)
                return *why = "wants lines without a newline in them", false;
            text += l + "\n";
        }
        return true;
    }
    Json write(const std::string &text) const { return lines_of(text); }
};
// C's value, or null for none.
template <class C>
struct Maybe {
    C inner{};
    bool hex = inner.hex, list = inner.list;
    std::string wants() const { return inner.wants() + " or null"; }
    template <class T>
    bool read(const Json &j, std::optional<T> &v, std::string *why) const
    {
        T x{};
        return j.is_null() ? (v.reset(), true) : inner.read(j, x, why) && (v = std::move(x), true);
    }
    template <class T>
    Json write(const std::optional<T> &v) const
    {
        return v ? inner.write(*v) : Json();
    }
};

// The key `name` of the member that `at` (see AT) gives, read and written by codec C.
template <class S, auto C, class A>
Key<S> key(const char *name, A, const char *help)
{
    return {name,
            help,
            C.wants(),
            C.hex,
            C.list,
            [](S &s, const Json &j, std::string *why) { return C.read(j, A{}(s), why); },
            [](const S &s) { return C.write(A{}(s)); }};
}

#define AT(member) ([](auto &s) -> auto & { return s.member; })

using P = ProbeScenario;
using I = I2cScenario;

constexpr Number<uint8_t> BYTE{0, 255, true};
// The alternate board's control line, as the programs number it at base 0.
constexpr auto ARGS_HELP = gpio_text<GPIO_ALT_CONTROL_OFFSET>(
    "miner-probe's arguments; any one selects the alternate board (gpio", ", /dev/ttyS0)");
constexpr std::pair<sim::SdaFault, const char *> SDA_LEVELS[] = {
    {sim::SdaFault::None, "none"}, {sim::SdaFault::StuckHigh, "high"}, {sim::SdaFault::StuckLow, "low"}};

} // namespace

template <>
std::span<const Key<P>> scenario_keys<P>()
{
    static const Key<P> KEYS[] = {
        key<P, Text{}>("note", AT(note), "free TEXT: what the scenario shows, for whoever reads it"),
        key<P, Choice<sim::CHIP_FAMILY_NAMES>{}>("family", AT(board.family),
                                                 "chips on the board: BTC, LTC, SIA, DASH, or none (nothing answers)"),
        key<P, Number<int>{0, 1000}>("answers_after_cycles", AT(board.answers_after_cycles),
                                     "the chips answer once the control line has made N low-high cycles (0: always)"),
        key<P, Sensor{1000000}>("sensor", AT(board.sensor_answers_at_query),
                                "the temperature sensor: answers, never, or at=K (from the run's K-th query)"),
        key<P, BYTE>("sensor_status", AT(board.sensor_status), "status BYTE of the sensor's replies"),
        key<P, BYTE>("sensor_id", AT(board.sensor_id), "identity BYTE of the sensor's replies"),
        key<P, Maybe<Hex>{}>("sensor_reply", AT(board.sensor_reply),
                             "the sensor's whole reply as HEX, e.g. 0098fe54000018"),
        key<P, Maybe<Hex>{}>("detection_reply", AT(board.detection_reply),
                             "the family's detection frame answered with HEX"),
        key<P, List{}>("replies", AT(board.frame_replies),
                       "NAME=HEX: the named frame answered with HEX (NAME= leaves it unanswered); "
                       "NAME#K=HEX: only its K-th time in the run, with exactly HEX"),
        key<P, Maybe<Number<size_t>>{{0, 4096}}>("reply_limit", AT(board.reply_limit), "every reply cut to N bytes"),
        key<P, Maybe<Number<uint8_t>>{BYTE}>(
            "babble", AT(board.babble),
            "the line also carries this noise BYTE, 16 a millisecond or back to back on the wire"),
        key<P, Flag{}>("wire", AT(wire),
                       "bytes paced at the line's configured speed and framing (else: replies arrive whole)"),
        key<P, Number<int>{0, 256}>("chips", AT(wire_model.chips),
                                    "chips in the chain on the wire (0: as many as the program's read implies)"),
        key<P, Number<int>{0, 1000000}>("latency_us", AT(wire_model.latency_us),
                                        "the chips' latency after a frame on the wire, in microseconds"),
        key<P, Number<double>{0, 1}>("corrupt_rate", AT(wire_model.corrupt_rate),
                                     "on the wire, a bit of a reply byte flipped with this probability, 0 to 1"),
        key<P, Number<uint32_t>{0, 4294967295L}>("corrupt_seed", AT(wire_model.corrupt_seed),
                                                 "seed of the corruption's generator"),
        key<P, List{}>("args", AT(args), ARGS_HELP.text),
        key<P, Maybe<Lines>{}>("miner_type", AT(miner_type),
                               "the LINEs of /usr/bin/minerType before the run (null: no file)"),
        key<P, Maybe<Lines>{}>("temp_sensor", AT(temp_sensor),
                               "the LINEs of /usr/bin/tempSensor before the run (null: no file)"),
        key<P, Flag{}>("uart", AT(uart_present), "the serial device exists"),
        key<P, Flag{}>("gpio_files", AT(gpio_files), "the control lines' value files exist"),
        key<P, Flag{}>("records_read_only", AT(usr_bin_read_only), "/usr/bin cannot be written"),
    };
    return KEYS;
}

template <>
std::span<const Key<I>> scenario_keys<I>()
{
    static const Key<I> KEYS[] = {
        key<I, Text{}>("note", AT(note), "free TEXT: what the scenario shows, for whoever reads it"),
        key<I, BYTE>("device_byte", AT(device.byte), "the BYTE the device holds"),
        key<I, Number<uint8_t>{0, 0x7F, true}>("address", AT(device.address), "the device's 7-bit address"),
        key<I, Flag{true}>("absent", AT(device.present), "no device on the bus"),
        key<I, Flag{true}>("data_nack", AT(device.ack_data), "the device refuses written bytes"),
        key<I, Choice<SDA_LEVELS>{}>("sda_stuck", AT(sda_fault), "SDA stuck high or low"),
        key<I, List{}>("missing", AT(missing_files),
                       "GPIO FILEs that do not exist: scl-direction, scl-value, sda-direction, sda-value"),
        key<I, List{}>("write_fails", AT(failing_writes), "GPIO FILEs whose every write fails with EIO"),
        key<I, List{}>("open_fails", AT(open_failures), "FILE:N: the N-th open of FILE fails with EIO"),
        key<I, Flag{}>("lines_output", AT(lines_start_as_outputs),
                       "the lines start as outputs driving 1 (else: inputs, pulled up)"),
        key<I, List{}>("args", AT(args), "i2c-bitbang's arguments: none reads, one VALUE writes"),
    };
    return KEYS;
}

#undef AT

} // namespace board_sim
