// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <getopt.h>
#include <strings.h>

#include "text.h"

namespace board_sim {

namespace {

// True when miner-probe finds its work done in `record`, the text of
// /usr/bin/minerType: it reads the file in pieces of at most 19 characters
// (up to and including a newline) and looks at the start of the last one.
bool record_names_family(const std::string &record)
{
    constexpr size_t PIECE = 19;
    std::string last;
    for (size_t at = 0; at < record.size();) {
        const size_t line_end = record.find('\n', at);
        const size_t end = std::min(line_end == std::string::npos ? record.size() : line_end + 1, at + PIECE);
        last = record.substr(at, end - at);
        at = end;
    }
    for (const char *family : {"LTC", "BTC", "SIA", "DASH"})
        if (last.starts_with(family))
            return true;
    return false;
}

struct NamedFile {
    const char *name;
    sim::GpioFile file;
};

constexpr NamedFile GPIO_FILE_NAMES[] = {
    {"scl-direction", sim::GpioFile::SclDirection},
    {"scl-value", sim::GpioFile::SclValue},
    {"sda-direction", sim::GpioFile::SdaDirection},
    {"sda-value", sim::GpioFile::SdaValue},
};

struct NamedFamily {
    const char *name;
    sim::ChipFamily family;
};

constexpr NamedFamily FAMILY_NAMES[] = {
    {"none", sim::ChipFamily::None}, {"BTC", sim::ChipFamily::BTC},   {"LTC", sim::ChipFamily::LTC},
    {"SIA", sim::ChipFamily::SIA},   {"DASH", sim::ChipFamily::DASH},
};

// The argument the alternate board is selected with (its contents do not matter).
constexpr const char *ALT_BOARD_ARGUMENT = "alt";

// Ranges of the numeric options, named in their error messages.
constexpr long MAX_TIMEOUT_S = 3600;
constexpr long MAX_CYCLES = 1000;
constexpr long MAX_QUERY = 1000000;
constexpr long MAX_REPLY_LIMIT = 4096;
constexpr long MAX_CHIPS = 256;
constexpr long MAX_LATENCY_US = 1000000;
constexpr long MAX_OPEN = 1000000;

// Option codes beyond the short ones ('h', 'V', 'q').
enum OptionCode {
    OPT_PROGRAM = 256,
    OPT_EMULATOR,
    OPT_TIMEOUT,
    OPT_JSON,
    OPT_FAMILY,
    OPT_ANSWERS_AFTER,
    OPT_SENSOR,
    OPT_SENSOR_STATUS,
    OPT_SENSOR_ID,
    OPT_SENSOR_REPLY,
    OPT_DETECTION_REPLY,
    OPT_REPLY,
    OPT_REPLY_LIMIT,
    OPT_BABBLE,
    OPT_WIRE,
    OPT_CHIPS,
    OPT_LATENCY_US,
    OPT_CORRUPT,
    OPT_RECORD,
    OPT_SENSOR_RECORD,
    OPT_ALT,
    OPT_NO_UART,
    OPT_NO_GPIO,
    OPT_READ_ONLY_RECORDS,
    OPT_DEVICE_BYTE,
    OPT_ADDRESS,
    OPT_ABSENT,
    OPT_DATA_NACK,
    OPT_SDA_STUCK,
    OPT_MISSING,
    OPT_WRITE_FAILS,
    OPT_OPEN_FAILS,
    OPT_LINES_OUTPUT,
    OPT_VCD,
    OPT_SVG,
    OPT_NO_DECODE,
    OPT_VM,
};

#define COMMON_OPTIONS                                                                                              \
    {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'},                                    \
        {"program", required_argument, nullptr, OPT_PROGRAM}, {"timeout", required_argument, nullptr, OPT_TIMEOUT}, \
        {"emulator", required_argument, nullptr, OPT_EMULATOR}, {"json", no_argument, nullptr, OPT_JSON},           \
        {"vm", no_argument, nullptr, OPT_VM},                                                                       \
    {                                                                                                               \
        "quiet", no_argument, nullptr, 'q'                                                                          \
    }

const struct option PROBE_OPTIONS[] = {
    COMMON_OPTIONS,
    {"family", required_argument, nullptr, OPT_FAMILY},
    {"answers-after", required_argument, nullptr, OPT_ANSWERS_AFTER},
    {"sensor", required_argument, nullptr, OPT_SENSOR},
    {"sensor-status", required_argument, nullptr, OPT_SENSOR_STATUS},
    {"sensor-id", required_argument, nullptr, OPT_SENSOR_ID},
    {"sensor-reply", required_argument, nullptr, OPT_SENSOR_REPLY},
    {"detection-reply", required_argument, nullptr, OPT_DETECTION_REPLY},
    {"reply", required_argument, nullptr, OPT_REPLY},
    {"reply-limit", required_argument, nullptr, OPT_REPLY_LIMIT},
    {"babble", required_argument, nullptr, OPT_BABBLE},
    {"wire", no_argument, nullptr, OPT_WIRE},
    {"chips", required_argument, nullptr, OPT_CHIPS},
    {"latency-us", required_argument, nullptr, OPT_LATENCY_US},
    {"corrupt", required_argument, nullptr, OPT_CORRUPT},
    {"record", required_argument, nullptr, OPT_RECORD},
    {"sensor-record", required_argument, nullptr, OPT_SENSOR_RECORD},
    {"alt", no_argument, nullptr, OPT_ALT},
    {"no-uart", no_argument, nullptr, OPT_NO_UART},
    {"no-gpio", no_argument, nullptr, OPT_NO_GPIO},
    {"read-only-records", no_argument, nullptr, OPT_READ_ONLY_RECORDS},
    {nullptr, 0, nullptr, 0},
};

const struct option I2C_OPTIONS[] = {
    COMMON_OPTIONS,
    {"device-byte", required_argument, nullptr, OPT_DEVICE_BYTE},
    {"address", required_argument, nullptr, OPT_ADDRESS},
    {"absent", no_argument, nullptr, OPT_ABSENT},
    {"data-nack", no_argument, nullptr, OPT_DATA_NACK},
    {"sda-stuck", required_argument, nullptr, OPT_SDA_STUCK},
    {"missing", required_argument, nullptr, OPT_MISSING},
    {"write-fails", required_argument, nullptr, OPT_WRITE_FAILS},
    {"open-fails", required_argument, nullptr, OPT_OPEN_FAILS},
    {"lines-output", no_argument, nullptr, OPT_LINES_OUTPUT},
    {"vcd", required_argument, nullptr, OPT_VCD},
    {"svg", required_argument, nullptr, OPT_SVG},
    {"no-decode", no_argument, nullptr, OPT_NO_DECODE},
    {nullptr, 0, nullptr, 0},
};

const struct option EXPLAIN_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

#undef COMMON_OPTIONS

// '-': operands come back in order as code 1, so that "write -1" keeps its
// value; ':': a missing value comes back as ':'.
constexpr const char *SHORT_OPTIONS = "-:hVq";

const char *tool_name(Tool tool)
{
    switch (tool) {
    case Tool::Probe:
        return "probe";
    case Tool::I2c:
        return "i2c";
    case Tool::Explain:
        return "explain";
    }
    return "?";
}

// The options given, by code, for the checks of what has an effect.
struct Given {
    std::vector<int> codes;
    bool has(int code) const
    {
        for (int c : codes)
            if (c == code)
                return true;
        return false;
    }
};

const char *option_name(const struct option *table, int code)
{
    for (; table->name != nullptr; ++table)
        if (table->val == code)
            return table->name;
    return "?";
}

class Parser {
public:
    Parser(const std::vector<std::string> &args, ParseResult *result) : result_(result)
    {
        words_.emplace_back("board-sim");
        words_.insert(words_.end(), args.begin(), args.end());
        for (std::string &w : words_)
            argv_.push_back(w.data());
        argv_.push_back(nullptr);
    }

    void run()
    {
        Command &c = result_->command;
        if (words_.size() < 2) {
            result_->error = "no subcommand: give 'probe', 'i2c' or 'explain'";
            return;
        }
        const std::string first = words_[1];
        if (first == "-h" || first == "--help" || first == "-V" || first == "--version") {
            (first == "-h" || first == "--help" ? c.help : c.version) = true;
            result_->ok = true;
            return;
        }
        if (first == "probe")
            c.tool = Tool::Probe;
        else if (first == "i2c")
            c.tool = Tool::I2c;
        else if (first == "explain")
            c.tool = Tool::Explain;
        else {
            result_->error = "unknown subcommand '" + first + "': give 'probe', 'i2c' or 'explain'";
            return;
        }
        c.tool_given = true;
        table_ = c.tool == Tool::Probe ? PROBE_OPTIONS : c.tool == Tool::I2c ? I2C_OPTIONS : EXPLAIN_OPTIONS;
        if (!options() || c.help || c.version) {
            result_->ok = result_->error.empty();
            return;
        }
        result_->ok = operands() && effects();
    }

private:
    bool fail(const std::string &text)
    {
        result_->error = text;
        return false;
    }

    bool wants(const std::string &what)
    {
        return fail("--" + std::string(option_name(table_, code_)) + " wants " + what + ", not '" + value_ + "'");
    }

    // A number in [min, max], or an error naming the range.
    bool number(long min, long max, long *out, const char *unit = nullptr)
    {
        const std::optional<long> n = sim::parse_number(value_, min, max);
        if (!n)
            return wants(std::string(unit ? unit : "a number") + " from " + std::to_string(min) + " to " +
                         std::to_string(max));
        *out = *n;
        return true;
    }

    bool byte(uint8_t *out)
    {
        long n = 0;
        if (!number(0, 255, &n, "a byte (decimal or 0x..)"))
            return false;
        *out = static_cast<uint8_t>(n);
        return true;
    }

    bool hex(std::vector<uint8_t> *out)
    {
        const std::optional<std::vector<uint8_t>> bytes = sim::parse_hex_bytes(value_);
        if (!bytes)
            return wants("hexadecimal bytes such as 'aa551799'");
        *out = *bytes;
        return true;
    }

    bool gpio_file(const std::string &name, sim::GpioFile *file)
    {
        const std::optional<sim::GpioFile> f = gpio_file_from_name(name);
        if (!f)
            return wants("scl-direction, scl-value, sda-direction or sda-value");
        *file = *f;
        return true;
    }

    // The option that getopt just refused: argv[optind - 1] of the scan,
    // which starts at the subcommand, so words_[optind].
    bool refused(int code)
    {
        const auto at = static_cast<size_t>(optind);
        const std::string arg = at < words_.size() ? words_[at] : "";
        const std::string name = arg.substr(0, arg.find('='));
        const std::string tool = tool_name(result_->command.tool);
        if (code == ':')
            return fail("option '" + name + "' needs a value");
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos)
            for (const struct option *o = table_; o->name != nullptr; ++o)
                if (name == std::string("--") + o->name)
                    return fail("option '" + name + "' takes no value");
        if (arg.rfind("--", 0) != 0 && optopt != 0)
            return fail(std::string("unknown option '-") + static_cast<char>(optopt) + "' for " + tool);
        return fail("unknown option '" + name + "' for " + tool);
    }

    bool options()
    {
        optind = 0; // a fresh scan (glibc), also when called again in one process
        opterr = 0;
        const int argc = static_cast<int>(words_.size()) - 1;
        char **argv = argv_.data() + 1; // argv[0] is the subcommand
        for (;;) {
            const int code = getopt_long(argc, argv, SHORT_OPTIONS, table_, nullptr);
            if (code == -1)
                break;
            code_ = code;
            value_ = optarg != nullptr ? optarg : "";
            if (code == '?' || code == ':')
                return refused(code);
            if (code == 1) {
                operands_.push_back(value_);
                // The value of "write" goes to the program as it is, "-1" included.
                if (value_ == "write" && result_->command.tool == Tool::I2c && operands_.size() == 1 && optind < argc &&
                    std::string(argv[optind]).rfind("--", 0) != 0)
                    operands_.emplace_back(argv[optind++]);
                continue;
            }
            given_.codes.push_back(code);
            if (!option(code))
                return false;
        }
        // After "--": the program's own arguments.
        for (int i = optind; i < argc; ++i)
            passed_.emplace_back(argv[i]);
        return true;
    }

    bool option(int code)
    {
        Command &c = result_->command;
        sim::HashBoardScenario &b = c.probe.board;
        sim::GpioBoardOptions &bus = c.i2c.board;
        long n = 0;
        switch (code) {
        case 'h':
            c.help = true;
            return true;
        case 'V':
            c.version = true;
            return true;
        case 'q':
            c.output = Output::Quiet;
            return true;
        case OPT_JSON:
            c.output = Output::Json;
            return true;
        case OPT_PROGRAM:
            if (value_.empty())
                return fail("option '--program' needs a path");
            c.program = value_;
            return true;
        case OPT_EMULATOR:
            if (value_.empty())
                return fail("option '--emulator' needs a path");
            c.emulator = value_;
            return true;
        case OPT_VM:
            c.vm = true;
            return true;
        case OPT_TIMEOUT:
            if (!number(1, MAX_TIMEOUT_S, &n, "whole seconds"))
                return false;
            c.timeout_ms = static_cast<int>(n) * 1000;
            return true;

        case OPT_FAMILY: {
            const std::optional<sim::ChipFamily> f = chip_family_from_name(value_);
            if (!f)
                return wants("btc, ltc, sia, dash or none");
            b.family = *f;
            return true;
        }
        case OPT_ANSWERS_AFTER:
            if (!number(0, MAX_CYCLES, &n, "a number of cycles"))
                return false;
            b.answers_after_cycles = static_cast<int>(n);
            return true;
        case OPT_SENSOR:
            if (value_ == "answers")
                n = 1;
            else if (value_ == "never")
                n = 0;
            else if (value_.rfind("at=", 0) != 0 || !sim::parse_number(value_.substr(3), 1, MAX_QUERY))
                return wants("answers, never or at=K (K from 1 to " + std::to_string(MAX_QUERY) + ")");
            else
                n = *sim::parse_number(value_.substr(3), 1, MAX_QUERY);
            b.sensor_answers_at_query = static_cast<int>(n);
            return true;
        case OPT_SENSOR_STATUS:
            return byte(&b.sensor_status);
        case OPT_SENSOR_ID:
            return byte(&b.sensor_id);
        case OPT_SENSOR_REPLY:
            return hex(&sensor_reply_);
        case OPT_DETECTION_REPLY: {
            std::vector<uint8_t> bytes;
            if (!hex(&bytes))
                return false;
            b.detection_reply = bytes;
            return true;
        }
        case OPT_REPLY: {
            const size_t eq = value_.find('=');
            const std::string name = value_.substr(0, eq);
            const sim::KnownFrame *frame = nullptr;
            for (const sim::KnownFrame &f : sim::known_frames())
                if (strcasecmp(f.name, name.c_str()) == 0)
                    frame = &f;
            if (eq == std::string::npos || frame == nullptr)
                return wants("NAME=HEX with NAME a frame such as 'LTC sensor query'");
            const std::string bytes_text = value_.substr(eq + 1);
            std::vector<uint8_t> bytes; // none: the frame goes unanswered
            value_ = bytes_text;
            if (!bytes_text.empty() && !hex(&bytes))
                return false;
            b.frame_replies.push_back({frame->name, bytes});
            return true;
        }
        case OPT_REPLY_LIMIT:
            if (!number(0, MAX_REPLY_LIMIT, &n, "a number of bytes"))
                return false;
            b.reply_limit = static_cast<size_t>(n);
            return true;
        case OPT_BABBLE: {
            uint8_t noise = 0;
            if (!byte(&noise))
                return false;
            b.babble = noise;
            return true;
        }
        case OPT_WIRE:
            if (!b.wire)
                b.wire = sim::WireModel{};
            return true;
        case OPT_CHIPS:
            if (!number(1, MAX_CHIPS, &n, "a number of chips"))
                return false;
            chips_ = static_cast<int>(n);
            return true;
        case OPT_LATENCY_US:
            if (!number(0, MAX_LATENCY_US, &n, "microseconds"))
                return false;
            latency_us_ = static_cast<int>(n);
            return true;
        case OPT_CORRUPT:
            return corrupt();
        case OPT_RECORD:
        case OPT_SENSOR_RECORD: {
            std::optional<std::string> &file = code == OPT_RECORD ? c.probe.miner_type : c.probe.temp_sensor;
            file = file.value_or("") + value_ + "\n";
            return true;
        }
        case OPT_ALT:
            c.probe.args.emplace_back(ALT_BOARD_ARGUMENT);
            return true;
        case OPT_NO_UART:
            c.probe.uart_present = false;
            return true;
        case OPT_NO_GPIO:
            c.probe.gpio_files = false;
            return true;
        case OPT_READ_ONLY_RECORDS:
            c.probe.records_read_only = true;
            return true;

        case OPT_DEVICE_BYTE:
            return byte(&bus.device.byte);
        case OPT_ADDRESS:
            if (!number(0, 0x7F, &n, "a 7-bit address"))
                return false;
            bus.device.address = static_cast<uint8_t>(n);
            return true;
        case OPT_ABSENT:
            bus.device.present = false;
            return true;
        case OPT_DATA_NACK:
            bus.device.ack_data = false;
            return true;
        case OPT_SDA_STUCK:
            if (value_ == "high")
                bus.sda_fault = sim::SdaFault::StuckHigh;
            else if (value_ == "low")
                bus.sda_fault = sim::SdaFault::StuckLow;
            else
                return wants("high or low");
            return true;
        case OPT_MISSING:
        case OPT_WRITE_FAILS: {
            sim::GpioFile file{};
            if (!gpio_file(value_, &file))
                return false;
            (code == OPT_MISSING ? bus.missing_files : bus.failing_writes).push_back(file);
            return true;
        }
        case OPT_OPEN_FAILS: {
            const size_t colon = value_.find(':');
            sim::OpenFailure failure{};
            if (!gpio_file(value_.substr(0, colon), &failure.file))
                return false;
            failure.nth = 1;
            if (colon != std::string::npos) {
                const std::optional<long> nth = sim::parse_number(value_.substr(colon + 1), 1, MAX_OPEN);
                if (!nth)
                    return wants("FILE or FILE:N with N from 1 to " + std::to_string(MAX_OPEN));
                failure.nth = static_cast<int>(*nth);
            }
            bus.open_failures.push_back(failure);
            return true;
        }
        case OPT_LINES_OUTPUT:
            bus.lines_start_as_outputs = true;
            return true;
        case OPT_VCD:
        case OPT_SVG:
            if (value_.empty())
                return fail("option '--" + std::string(option_name(table_, code)) + "' needs a path");
            (code == OPT_VCD ? c.i2c.vcd_path : c.i2c.svg_path) = value_;
            return true;
        case OPT_NO_DECODE:
            c.i2c.decode = false;
            return true;
        default:
            return fail("unhandled option");
        }
    }

    // RATE[:SEED]: a probability from 0 to 1 that a reply byte is corrupted.
    bool corrupt()
    {
        const size_t colon = value_.find(':');
        const std::string rate_text = value_.substr(0, colon);
        double rate = -1;
        const auto [end, ec] = std::from_chars(rate_text.data(), rate_text.data() + rate_text.size(), rate);
        const bool rate_ok = ec == std::errc() && end == rate_text.data() + rate_text.size() && rate >= 0 && rate <= 1;
        std::optional<long> seed = 1;
        if (colon != std::string::npos)
            seed = sim::parse_number(value_.substr(colon + 1), 0, 0xFFFFFFFFL);
        if (!rate_ok || !seed)
            return wants("RATE[:SEED] with RATE from 0 to 1 and SEED from 0 to 4294967295");
        corrupt_rate_ = rate;
        corrupt_seed_ = static_cast<uint32_t>(*seed);
        return true;
    }

    // probe takes no operands; i2c takes "read" or "write VALUE"; explain
    // takes at most a file.
    bool operands()
    {
        Command &c = result_->command;
        const std::vector<std::string> &words = operands_;
        if (c.tool == Tool::Explain) {
            if (!passed_.empty() || words.size() > 1)
                return fail("explain reads one log: give at most one FILE");
            c.explain.path = words.empty() || words[0] == "-" ? "" : words[0];
            return true;
        }
        std::vector<std::string> &args = c.tool == Tool::Probe ? c.probe.args : c.i2c.args;
        args.insert(args.end(), passed_.begin(), passed_.end());
        if (c.tool == Tool::Probe) {
            if (!words.empty())
                return fail("unexpected '" + words[0] + "': pass program arguments after '--'");
            return true;
        }
        if (words.empty())
            return true;
        if (!passed_.empty())
            return fail("give either 'read'/'write VALUE' or arguments after '--', not both");
        if (words[0] == "read" && words.size() == 1)
            return true;
        if (words[0] == "write" && words.size() == 2) {
            c.i2c.args.push_back(words[1]);
            return true;
        }
        if (words[0] == "write" && words.size() == 1)
            return fail("'write' needs a VALUE");
        if (words[0] != "read" && words[0] != "write")
            return fail("unknown operation '" + words[0] + "': give 'read' or 'write VALUE'");
        return fail("unexpected '" + words.back() + "' after '" + words[0] + "'");
    }

    // "--x has no effect ...": the first of `codes` that was given.
    bool no_effect(std::initializer_list<int> codes, const std::string &why)
    {
        for (int code : codes)
            if (given_.has(code))
                return fail("--" + std::string(option_name(table_, code)) + " has no effect " + why);
        return true;
    }

    // Options that would change nothing in the chosen scenario are refused,
    // so that a run never silently differs from what was asked.
    bool effects()
    {
        Command &c = result_->command;
        if (c.tool == Tool::Explain)
            return true;
        if (given_.has(OPT_JSON) && given_.has('q'))
            return fail("--quiet has no effect with --json");
        if (c.vm && !no_effect({OPT_EMULATOR}, "with --vm: the emulated board runs the program itself"))
            return false;
        if (c.tool == Tool::Probe)
            return probe_effects();
        return i2c_effects();
    }

    bool probe_effects()
    {
        Command &c = result_->command;
        sim::HashBoardScenario &b = c.probe.board;
        const std::initializer_list<int> board_options = {
            OPT_FAMILY,          OPT_ANSWERS_AFTER, OPT_SENSOR,      OPT_SENSOR_STATUS, OPT_SENSOR_ID,
            OPT_SENSOR_REPLY,    OPT_REPLY,         OPT_REPLY_LIMIT, OPT_BABBLE,        OPT_WIRE,
            OPT_DETECTION_REPLY, OPT_CHIPS,         OPT_LATENCY_US,  OPT_CORRUPT};
        if (c.vm) {
            if (!no_effect({OPT_ANSWERS_AFTER}, "with --vm: the control line is the emulated board's own, which "
                                                "the simulated chips cannot watch; they answer whatever it does") ||
                !no_effect({OPT_NO_UART, OPT_NO_GPIO, OPT_READ_ONLY_RECORDS},
                           "with --vm: the emulated board always has its UART, GPIO lines and a writable /usr/bin"))
                return false;
            b.answers_after_cycles = 0;
        }
        if (c.probe.miner_type && record_names_family(*c.probe.miner_type) &&
            (!no_effect(board_options, "with a --record that names a family: the probe finds it and never "
                                       "touches the hash board") ||
             !no_effect({OPT_NO_UART, OPT_NO_GPIO, OPT_READ_ONLY_RECORDS},
                        "with a --record that names a family: the probe finds it and stops")))
            return false;
        if (!c.probe.uart_present && !no_effect(board_options, "with --no-uart: nothing reaches the hash board"))
            return false;
        if (!b.wire && !no_effect({OPT_CHIPS, OPT_LATENCY_US, OPT_CORRUPT}, "without --wire"))
            return false;
        if (b.wire) {
            b.wire->chips = chips_;
            b.wire->latency_us = latency_us_.value_or(b.wire->latency_us);
            b.wire->corrupt_rate = corrupt_rate_;
            b.wire->corrupt_seed = corrupt_seed_;
        }
        const std::initializer_list<int> sensor_options = {OPT_SENSOR, OPT_SENSOR_STATUS, OPT_SENSOR_ID,
                                                           OPT_SENSOR_REPLY};
        if (b.family == sim::ChipFamily::None &&
            !no_effect({OPT_DETECTION_REPLY, OPT_SENSOR, OPT_SENSOR_STATUS, OPT_SENSOR_ID, OPT_SENSOR_REPLY},
                       "without --family: no chips answer"))
            return false;
        if (b.family == sim::ChipFamily::BTC &&
            !no_effect(sensor_options, "on a BTC board: its sensor is taken as present, never queried"))
            return false;
        if (!c.probe.args.empty() && !no_effect(sensor_options, "on the alternate board: it runs no sensor detection"))
            return false;
        if (b.family == sim::ChipFamily::None && b.frame_replies.empty() &&
            !no_effect({OPT_ANSWERS_AFTER}, "when no chips answer: give --family or --reply"))
            return false;
        if (b.family == sim::ChipFamily::None && b.frame_replies.empty() && !b.babble &&
            !no_effect({OPT_REPLY_LIMIT, OPT_WIRE}, "when nothing answers: give --family, --reply or --babble"))
            return false;
        if (given_.has(OPT_SENSOR_REPLY)) {
            if (given_.has(OPT_SENSOR_STATUS) || given_.has(OPT_SENSOR_ID))
                return fail("--sensor-reply gives the whole reply: give it or --sensor-status/--sensor-id, not both");
            b.frame_replies.push_back({sensor_query_name(b.family), sensor_reply_});
        }
        return true;
    }

    bool i2c_effects()
    {
        const I2cCommand &i = result_->command.i2c;
        if (result_->command.vm &&
            !no_effect({OPT_DEVICE_BYTE, OPT_ADDRESS, OPT_ABSENT, OPT_DATA_NACK, OPT_SDA_STUCK, OPT_MISSING,
                        OPT_WRITE_FAILS, OPT_OPEN_FAILS, OPT_LINES_OUTPUT, OPT_VCD, OPT_SVG, OPT_NO_DECODE},
                       "with --vm: the emulated board's bus is the kernel's GPIO lines, with no device and no "
                       "waveform"))
            return false;
        if (!i.board.device.present &&
            !no_effect({OPT_DEVICE_BYTE, OPT_ADDRESS, OPT_DATA_NACK}, "with --absent: no device on the bus"))
            return false;
        if (i.args.empty() && !no_effect({OPT_DATA_NACK}, "on a read: only written bytes are refused"))
            return false;
        if (!i.args.empty() && !no_effect({OPT_DEVICE_BYTE}, "on a write: the byte the device holds is only ever read"))
            return false;
        if (!i.decode && !no_effect({OPT_SVG}, "with --no-decode: the picture is labelled from the decode"))
            return false;
        return true;
    }

    ParseResult *result_;
    std::vector<std::string> words_;
    std::vector<char *> argv_;
    const struct option *table_ = nullptr;
    int code_ = 0;
    std::string value_;
    Given given_;
    std::vector<std::string> operands_;
    std::vector<std::string> passed_;
    std::vector<uint8_t> sensor_reply_;
    int chips_ = 0;
    std::optional<int> latency_us_;
    double corrupt_rate_ = 0.0;
    uint32_t corrupt_seed_ = 1;
};

} // namespace

ParseResult parse_command_line(const std::vector<std::string> &args)
{
    ParseResult result;
    Parser(args, &result).run();
    return result;
}

std::string usage_text(std::optional<Tool> tool)
{
    const std::string probe = "usage: board-sim probe [OPTION]... [-- ARG...]\n";
    const std::string i2c = "usage: board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n";
    const std::string explain = "usage: board-sim explain [FILE]\n";
    if (tool)
        return (tool == Tool::Probe ? probe
                : tool == Tool::I2c ? i2c
                                    : explain) +
               "Try 'board-sim " + tool_name(*tool) + " --help' for the options.\n";
    return probe + "       board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n" +
           "       board-sim explain [FILE]\n" + "Try 'board-sim --help' for more.\n";
}

std::string help_text(std::optional<Tool> tool)
{
    const std::string program_variable = tool == Tool::I2c ? I2C_BITBANG_VARIABLE : MINER_PROBE_VARIABLE;
    const std::string common = "Run:\n"
                               "  --program PATH         the program to run (default: $" +
                               program_variable +
                               ", then\n"
                               "                         the one built with board-sim; its GPIO base is\n"
                               "                         $MINER_TOOLS_GPIO_BASE, else board-sim's own)\n"
                               "  --emulator COMMAND     run the program under this emulator, options after it\n"
                               "                         (default: $TARGET_EMULATOR, else for a MIPS program\n"
                               "                         'qemu-mips-static -cpu 24Kc', the board's FPU-less CPU)\n"
                               "  --vm                   run it on the emulated board instead: the real kernel\n"
                               "                         under qemu-system-mips (vm/board-vm; the program is\n"
                               "                         the board preset's, $BOARD_VM_PROGRAMS or --program)\n"
                               "  --timeout SECONDS      kill the program after this long, 1 to 3600 (default 90)\n"
                               "  --json                 print one JSON document instead of text\n"
                               "  -q, --quiet            print only the summary, not the program's output\n"
                               "  -h, --help             show this help\n"
                               "  -V, --version          show the version\n";
    const std::string probe = "usage: board-sim probe [OPTION]... [-- ARG...]\n"
                              "Runs miner-probe against a simulated hash board on its serial line.\n"
                              "\n"
                              "Hash board:\n"
                              "  --family NAME          chips on the board: btc, ltc, sia, dash or none\n"
                              "                         (default none: nothing answers)\n"
                              "  --answers-after N      the chips answer once the control line has made N\n"
                              "                         low-high cycles, 0 to 1000 (default 1; 0: always)\n"
                              "  --sensor WHEN          temperature sensor: answers (default), never, or at=K\n"
                              "                         (answers from the K-th query of the run on)\n"
                              "  --sensor-status BYTE   status byte of sensor replies (default 0x00)\n"
                              "  --sensor-id BYTE       identity byte of sensor replies (default 0x55)\n"
                              "  --sensor-reply HEX     the whole sensor reply, e.g. 0098fe54000018\n"
                              "  --detection-reply HEX  answer the family's detection frame with these bytes\n"
                              "  --reply NAME=HEX       answer the named frame with these bytes (repeatable;\n"
                              "                         NAME= alone leaves it unanswered),\n"
                              "                         e.g. --reply 'LTC sensor query=0098fe55000018'\n"
                              "  --reply-limit N        cut every reply to N bytes, 0 to 4096\n"
                              "  --babble BYTE          the line also carries this noise byte: 16 bytes a\n"
                              "                         millisecond, or back to back with --wire\n"
                              "Wire (default: every reply arrives at once, whole):\n"
                              "  --wire                 bytes paced at the line's configured speed and framing\n"
                              "  --chips N              chips in the chain, 1 to 256 (default: as many as the\n"
                              "                         program's read length implies)\n"
                              "  --latency-us N         chip latency after a frame, 0 to 1000000 (default 100)\n"
                              "  --corrupt RATE[:SEED]  flip a bit in a reply byte with probability RATE (0 to\n"
                              "                         1), from a generator seeded with SEED (default 1)\n"
                              "Control board:\n"
                              "  --alt                  the alternate board (gpio16, /dev/ttyS0): passes one\n"
                              "                         argument to miner-probe\n"
                              "  --record LINE          a line of /usr/bin/minerType before the run (repeatable)\n"
                              "  --sensor-record LINE   a line of /usr/bin/tempSensor before the run (repeatable)\n"
                              "  --no-uart              no serial device at all\n"
                              "  --no-gpio              no control-line value files\n"
                              "  --read-only-records    /usr/bin cannot be written\n"
                              "Arguments after '--' go to miner-probe unchanged. Frame names: BTC detection,\n"
                              "LTC detection, SIA/DASH detection, LTC misc configuration, LTC sensor register\n"
                              "read, LTC sensor query, SIA/DASH misc configuration, SIA/DASH mux configuration,\n"
                              "SIA/DASH sensor register read, SIA/DASH sensor query (any case).\n";
    const std::string i2c = "usage: board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n"
                            "Runs i2c-bitbang against simulated gpio19 (SCL) and gpio23 (SDA) with an I2C\n"
                            "device on them; 'read' (the default) runs it without an argument, 'write VALUE'\n"
                            "passes VALUE unchanged.\n"
                            "\n"
                            "Device:\n"
                            "  --device-byte BYTE     the byte the device holds, 0 to 255 (default 0x00)\n"
                            "  --address ADDR         its 7-bit address, 0 to 0x7f (default 0x2f)\n"
                            "  --absent               no device on the bus\n"
                            "  --data-nack            the device refuses written bytes\n"
                            "  --sda-stuck LEVEL      SDA stuck high or low\n"
                            "GPIO files (FILE: scl-direction, scl-value, sda-direction, sda-value):\n"
                            "  --missing FILE         the file does not exist (repeatable)\n"
                            "  --write-fails FILE     every write to it fails with EIO (repeatable)\n"
                            "  --open-fails FILE[:N]  its N-th open (default the first) fails with EIO\n"
                            "  --lines-output         the lines start as outputs driving 1 (default: inputs)\n"
                            "Waveform:\n"
                            "  --vcd PATH             keep the waveform here (default: not kept)\n"
                            "  --svg PATH             draw it, labelled from the decode, as an SVG picture\n"
                            "  --no-decode            do not run sigrok-cli on it\n";
    const std::string explain = "usage: board-sim explain [FILE]\n"
                                "Explains a miner-probe log (its standard output, from a real board or a\n"
                                "simulation, possibly inside a boot log) attempt by attempt: the frames sent,\n"
                                "what each reply matched or why not, time-outs and short reads, the sensor\n"
                                "queries, the family found and the lines the run appended to the record files.\n"
                                "Reads standard input without FILE or with '-'.\n"
                                "\n"
                                "  -h, --help             show this help\n"
                                "  -V, --version          show the version\n"
                                "\n"
                                "Exit status: 0 when the log holds a probe run, 1 when it does not or cannot\n"
                                "be read, 2 for bad arguments.\n";
    const std::string tail = "\n"
                             "The program runs in a private mount namespace (root is needed) where the\n"
                             "simulated board stands behind its compiled-in paths; nothing on the host\n"
                             "changes (with --vm it runs on the emulated board, and no root is needed).\n"
                             "Its output is shown unchanged, then what happened on the board.\n"
                             "An option that has no effect on the chosen scenario is refused.\n"
                             "Exit status: the program's own; 1 when the run could not be set up; 2 for\n"
                             "bad arguments; 124 when the program was killed after the time-out; 128 + N\n"
                             "when stopped by signal N (passed on to the program; no rerun follows).\n";
    if (tool == Tool::Probe)
        return probe + common + tail;
    if (tool == Tool::I2c)
        return i2c + common + tail;
    if (tool == Tool::Explain)
        return explain;
    return "usage: board-sim probe [OPTION]... [-- ARG...]\n"
           "       board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n"
           "       board-sim explain [FILE]\n"
           "Runs miner-probe or i2c-bitbang against a simulated board and shows what\n"
           "they did to it, or explains a miner-probe log. 'board-sim probe --help',\n"
           "'board-sim i2c --help' and 'board-sim explain --help' list the options.\n"
           "\n"
           "Examples:\n"
           "  board-sim probe --family ltc\n"
           "  board-sim probe --family ltc --wire --chips 12\n"
           "  board-sim probe --family sia --sensor never --json\n"
           "  board-sim probe --record LTC\n"
           "  board-sim probe --vm --family ltc\n"
           "  board-sim i2c --device-byte 0xa5 read\n"
           "  board-sim i2c write 200 --svg write.svg\n"
           "  board-sim explain boot.log\n" +
           tail;
}

std::string version_text()
{
    return std::string("board-sim (miner-tools) ") + tool_version() + "\n";
}

const char *tool_version()
{
    return MINER_TOOLS_VERSION;
}

const char *const MINER_PROBE_VARIABLE = "MINER_PROBE_BIN";
const char *const I2C_BITBANG_VARIABLE = "I2C_BITBANG_BIN";

std::optional<sim::GpioFile> gpio_file_from_name(const std::string &name)
{
    for (const NamedFile &f : GPIO_FILE_NAMES)
        if (name == f.name)
            return f.file;
    return std::nullopt;
}

const char *gpio_file_name(sim::GpioFile file)
{
    for (const NamedFile &f : GPIO_FILE_NAMES)
        if (f.file == file)
            return f.name;
    return "?";
}

std::optional<sim::ChipFamily> chip_family_from_name(const std::string &name)
{
    for (const NamedFamily &f : FAMILY_NAMES)
        if (strcasecmp(name.c_str(), f.name) == 0)
            return f.family;
    return std::nullopt;
}

const char *chip_family_name(sim::ChipFamily family)
{
    for (const NamedFamily &f : FAMILY_NAMES)
        if (f.family == family)
            return f.name;
    return "?";
}

const char *sensor_query_name(sim::ChipFamily family)
{
    switch (family) {
    case sim::ChipFamily::LTC:
        return "LTC sensor query";
    case sim::ChipFamily::SIA:
    case sim::ChipFamily::DASH:
        return "SIA/DASH sensor query";
    case sim::ChipFamily::None:
    case sim::ChipFamily::BTC:
        break;
    }
    return nullptr;
}

} // namespace board_sim
