// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace board_sim {

namespace {

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

bool same_ignoring_case(const std::string &a, const char *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

std::optional<long> parse_integer(const std::string &text, long min, long max)
{
    if (text.empty())
        return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *start = text.c_str() + (hex ? 2 : 0);
    if (!std::isxdigit(static_cast<unsigned char>(*start)) && *start != '-')
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, hex ? 16 : 10);
    if (errno != 0 || end == start || *end != '\0' || value < min || value > max)
        return std::nullopt;
    return value;
}

// Walks the arguments, splitting "--name=value" and fetching separate values.
class Cursor {
public:
    explicit Cursor(const std::vector<std::string> &args) : args_(args) {}

    bool done() const { return at_ >= args_.size(); }
    // Takes the next argument; for "--name=value" only the name part.
    std::string next()
    {
        std::string arg = args_[at_++];
        inline_value_.reset();
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inline_value_ = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        return arg;
    }
    // The value of the option just taken; false when there is none.
    bool value(std::string *out)
    {
        if (inline_value_) {
            *out = *inline_value_;
            inline_value_.reset();
            return true;
        }
        if (done())
            return false;
        *out = args_[at_++];
        return true;
    }
    const std::string &peek() const { return args_[at_]; }
    // Takes the next argument as it is, even when it looks like an option.
    std::string next_raw()
    {
        inline_value_.reset();
        return args_[at_++];
    }
    bool has_inline_value() const { return inline_value_.has_value(); }
    std::vector<std::string> rest()
    {
        std::vector<std::string> out(args_.begin() + static_cast<long>(at_), args_.end());
        at_ = args_.size();
        return out;
    }

private:
    const std::vector<std::string> &args_;
    size_t at_ = 0;
    std::optional<std::string> inline_value_;
};

// The grammar: a subcommand, then its options, operands and "--" arguments in
// any order. Every check returns false with `error` set.
class Parser {
public:
    explicit Parser(const std::vector<std::string> &args) : cursor_(args) {}

    ParseResult run()
    {
        ParseResult result;
        Command &c = result.command;
        if (cursor_.done()) {
            result.error = "no program chosen: give 'probe' or 'i2c'";
            return result;
        }
        const std::string first = cursor_.next();
        if (first == "-h" || first == "--help") {
            c.help = true;
            result.ok = true;
            return result;
        }
        if (first == "probe")
            c.tool = Tool::Probe;
        else if (first == "i2c")
            c.tool = Tool::I2c;
        else {
            result.error = "unknown program '" + first + "': give 'probe' or 'i2c'";
            return result;
        }
        c.tool_given = true;

        std::vector<std::string> positional;
        while (!cursor_.done()) {
            const std::string arg = cursor_.next();
            if (arg == "--") {
                const std::vector<std::string> rest = cursor_.rest();
                std::vector<std::string> &args = c.tool == Tool::Probe ? c.probe.args : c.i2c.args;
                args.insert(args.end(), rest.begin(), rest.end());
                break;
            }
            if (c.tool == Tool::I2c && arg == "write" && !cursor_.done() && cursor_.peek().rfind("--", 0) != 0) {
                // The value goes to the program as it is, "-1" included.
                positional.push_back(arg);
                positional.push_back(cursor_.next_raw());
                continue;
            }
            if (arg.size() > 1 && arg[0] == '-') {
                if (!option(arg, c, &result.error))
                    return result;
                continue;
            }
            positional.push_back(arg);
        }
        if (c.help) {
            result.ok = true;
            return result;
        }
        if (!operands(positional, c, &result.error))
            return result;
        result.ok = true;
        return result;
    }

private:
    bool fail(std::string *error, const std::string &text)
    {
        *error = text;
        return false;
    }

    bool take(const std::string &name, std::string *value, std::string *error)
    {
        if (cursor_.value(value))
            return true;
        return fail(error, "option '" + name + "' needs a value");
    }

    bool flag(const std::string &name, std::string *error)
    {
        if (cursor_.has_inline_value())
            return fail(error, "option '" + name + "' takes no value");
        return true;
    }

    bool option(const std::string &name, Command &c, std::string *error)
    {
        std::string v;
        if (name == "-h" || name == "--help") {
            c.help = true;
            return flag(name, error);
        }
        if (name == "--program") {
            if (!take(name, &v, error))
                return false;
            if (v.empty())
                return fail(error, "option '--program' needs a path");
            c.program = v;
            return true;
        }
        if (name == "--timeout") {
            if (!take(name, &v, error))
                return false;
            const std::optional<long> s = parse_integer(v, 1, 3600);
            if (!s)
                return fail(error, "--timeout wants whole seconds from 1 to 3600, not '" + v + "'");
            c.timeout_ms = static_cast<int>(*s) * 1000;
            return true;
        }
        if (c.tool == Tool::Probe)
            return probe_option(name, c.probe, error);
        return i2c_option(name, c.i2c, error);
    }

    bool probe_option(const std::string &name, ProbeCommand &p, std::string *error)
    {
        std::string v;
        sim::HashBoardScenario &b = p.board;
        if (name == "--family") {
            if (!take(name, &v, error))
                return false;
            const std::optional<sim::ChipFamily> f = chip_family_from_name(v);
            if (!f)
                return fail(error, "--family wants btc, ltc, sia, dash or none, not '" + v + "'");
            b.family = *f;
            return true;
        }
        if (name == "--answers-after") {
            if (!take(name, &v, error))
                return false;
            const std::optional<long> n = parse_integer(v, 0, 1000);
            if (!n)
                return fail(error, "--answers-after wants a number of cycles, not '" + v + "'");
            b.answers_after_cycles = static_cast<int>(*n);
            return true;
        }
        if (name == "--sensor") {
            if (!take(name, &v, error))
                return false;
            const std::optional<long> at = v == "answers"           ? 1L
                                           : v == "never"           ? 0L
                                           : v.rfind("at=", 0) == 0 ? parse_integer(v.substr(3), 1, 1000000)
                                                                    : std::nullopt;
            if (!at)
                return fail(error, "--sensor wants answers, never or at=K (K from 1), not '" + v + "'");
            b.sensor_answers_at_query = static_cast<int>(*at);
            return true;
        }
        if (name == "--sensor-status" || name == "--sensor-id") {
            if (!take(name, &v, error))
                return false;
            const std::optional<int> byte = parse_byte(v);
            if (!byte)
                return fail(error, name + " wants a byte (decimal or 0x..), not '" + v + "'");
            (name == "--sensor-status" ? b.sensor_status : b.sensor_id) = static_cast<uint8_t>(*byte);
            return true;
        }
        if (name == "--detection-reply") {
            if (!take(name, &v, error))
                return false;
            const std::optional<std::vector<uint8_t>> bytes = parse_hex_bytes(v);
            if (!bytes)
                return fail(error, "--detection-reply wants hexadecimal bytes such as 'aa551799', not '" + v + "'");
            b.detection_reply = *bytes;
            return true;
        }
        if (name == "--reply-limit") {
            if (!take(name, &v, error))
                return false;
            const std::optional<long> n = parse_integer(v, 0, 4096);
            if (!n)
                return fail(error, "--reply-limit wants a number of bytes, not '" + v + "'");
            b.reply_limit = static_cast<size_t>(*n);
            return true;
        }
        if (name == "--record" || name == "--sensor-record") {
            if (!take(name, &v, error))
                return false;
            std::optional<std::string> &file = name == "--record" ? p.miner_type : p.temp_sensor;
            file = file.value_or("") + v + "\n";
            return true;
        }
        if (name == "--alt") {
            p.args.push_back(ALT_BOARD_ARGUMENT);
            return flag(name, error);
        }
        if (name == "--no-uart") {
            p.uart_present = false;
            return flag(name, error);
        }
        if (name == "--no-gpio") {
            p.gpio_files = false;
            return flag(name, error);
        }
        if (name == "--read-only-records") {
            p.records_read_only = true;
            return flag(name, error);
        }
        return fail(error, "unknown option '" + name + "' for probe");
    }

    bool gpio_file_value(const std::string &name, const std::string &v, sim::GpioFile *file, std::string *error)
    {
        const std::optional<sim::GpioFile> f = gpio_file_from_name(v);
        if (!f)
            return fail(error, name + " wants scl-direction, scl-value, sda-direction or sda-value, not '" + v + "'");
        *file = *f;
        return true;
    }

    bool i2c_option(const std::string &name, I2cCommand &i, std::string *error)
    {
        std::string v;
        sim::GpioBoardOptions &b = i.board;
        if (name == "--device-byte") {
            if (!take(name, &v, error))
                return false;
            const std::optional<int> byte = parse_byte(v);
            if (!byte)
                return fail(error, "--device-byte wants a byte (decimal or 0x..), not '" + v + "'");
            b.device.byte = static_cast<uint8_t>(*byte);
            return true;
        }
        if (name == "--address") {
            if (!take(name, &v, error))
                return false;
            const std::optional<int> byte = parse_byte(v);
            if (!byte || *byte > 0x7F)
                return fail(error, "--address wants a 7-bit address (0 to 0x7f), not '" + v + "'");
            b.device.address = static_cast<uint8_t>(*byte);
            return true;
        }
        if (name == "--absent") {
            b.device.present = false;
            return flag(name, error);
        }
        if (name == "--data-nack") {
            b.device.ack_data = false;
            return flag(name, error);
        }
        if (name == "--sda-stuck") {
            if (!take(name, &v, error))
                return false;
            if (v == "high")
                b.sda_fault = sim::SdaFault::StuckHigh;
            else if (v == "low")
                b.sda_fault = sim::SdaFault::StuckLow;
            else
                return fail(error, "--sda-stuck wants high or low, not '" + v + "'");
            return true;
        }
        if (name == "--missing" || name == "--write-fails") {
            sim::GpioFile file{};
            if (!take(name, &v, error) || !gpio_file_value(name, v, &file, error))
                return false;
            (name == "--missing" ? b.missing_files : b.failing_writes).push_back(file);
            return true;
        }
        if (name == "--open-fails") {
            if (!take(name, &v, error))
                return false;
            const size_t colon = v.find(':');
            sim::OpenFailure failure{};
            if (!gpio_file_value(name, v.substr(0, colon), &failure.file, error))
                return false;
            failure.nth = 1;
            if (colon != std::string::npos) {
                const std::optional<long> n = parse_integer(v.substr(colon + 1), 1, 1000000);
                if (!n)
                    return fail(error, "--open-fails wants FILE or FILE:N with N from 1, not '" + v + "'");
                failure.nth = static_cast<int>(*n);
            }
            b.open_failures.push_back(failure);
            return true;
        }
        if (name == "--lines-output") {
            b.lines_start_as_outputs = true;
            return flag(name, error);
        }
        if (name == "--vcd") {
            if (!take(name, &v, error))
                return false;
            if (v.empty())
                return fail(error, "option '--vcd' needs a path");
            i.vcd_path = v;
            return true;
        }
        if (name == "--no-decode") {
            i.decode = false;
            return flag(name, error);
        }
        return fail(error, "unknown option '" + name + "' for i2c");
    }

    // probe takes no operands; i2c takes "read" or "write VALUE".
    bool operands(const std::vector<std::string> &words, Command &c, std::string *error)
    {
        if (c.tool == Tool::Probe) {
            if (!words.empty())
                return fail(error, "unexpected '" + words[0] + "': pass program arguments after '--'");
            return true;
        }
        if (words.empty())
            return true;
        if (!c.i2c.args.empty())
            return fail(error, "give either 'read'/'write VALUE' or arguments after '--', not both");
        if (words[0] == "read" && words.size() == 1)
            return true;
        if (words[0] == "write" && words.size() == 2) {
            c.i2c.args.push_back(words[1]);
            return true;
        }
        if (words[0] == "write" && words.size() == 1)
            return fail(error, "'write' needs a VALUE");
        if (words[0] != "read" && words[0] != "write")
            return fail(error, "unknown operation '" + words[0] + "': give 'read' or 'write VALUE'");
        return fail(error, "unexpected '" + words.back() + "' after '" + words[0] + "'");
    }

    Cursor cursor_;
};

} // namespace

ParseResult parse_command_line(const std::vector<std::string> &args)
{
    return Parser(args).run();
}

std::string usage_text(std::optional<Tool> tool)
{
    if (tool == Tool::Probe)
        return "usage: board-sim probe [OPTION]... [-- ARG...]\n"
               "Try 'board-sim probe --help' for the options.\n";
    if (tool == Tool::I2c)
        return "usage: board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n"
               "Try 'board-sim i2c --help' for the options.\n";
    return "usage: board-sim probe [OPTION]... [-- ARG...]\n"
           "       board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n"
           "Try 'board-sim --help' for more.\n";
}

std::string help_text(std::optional<Tool> tool)
{
    const std::string program_variable = tool == Tool::I2c ? I2C_BITBANG_VARIABLE : MINER_PROBE_VARIABLE;
    const std::string common = "Run:\n"
                               "  --program PATH         the program to run (default: $" +
                               program_variable +
                               ", then\n"
                               "                         the one built with board-sim)\n"
                               "  --timeout SECONDS      kill the program after this long (default 60)\n"
                               "  -h, --help             show this help\n";
    const std::string probe = "usage: board-sim probe [OPTION]... [-- ARG...]\n"
                              "Runs miner-probe against a simulated hash board on its serial line.\n"
                              "\n"
                              "Hash board:\n"
                              "  --family NAME          chips on the board: btc, ltc, sia, dash or none\n"
                              "                         (default none: nothing answers)\n"
                              "  --answers-after N      the chips answer once the control line has made N\n"
                              "                         low-high cycles (default 1; 0: whatever the line does)\n"
                              "  --sensor WHEN          temperature sensor: answers (default), never, or at=K\n"
                              "                         (answers from the K-th query of the run on)\n"
                              "  --sensor-status BYTE   status byte of sensor replies (default 0x00)\n"
                              "  --sensor-id BYTE       identity byte of sensor replies (default 0x55)\n"
                              "  --detection-reply HEX  answer the family's detection frame with these bytes\n"
                              "  --reply-limit N        cut every reply to N bytes\n"
                              "Control board:\n"
                              "  --alt                  the alternate board (gpio16, /dev/ttyS0): passes one\n"
                              "                         argument to miner-probe\n"
                              "  --record LINE          a line of /usr/bin/minerType before the run (repeatable)\n"
                              "  --sensor-record LINE   a line of /usr/bin/tempSensor before the run (repeatable)\n"
                              "  --no-uart              no serial device at all\n"
                              "  --no-gpio              no control-line value files\n"
                              "  --read-only-records    /usr/bin cannot be written\n"
                              "Arguments after '--' go to miner-probe unchanged.\n";
    const std::string i2c = "usage: board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n"
                            "Runs i2c-bitbang against simulated gpio19 (SCL) and gpio23 (SDA) with an I2C\n"
                            "device on them; 'read' (the default) runs it without an argument, 'write VALUE'\n"
                            "passes VALUE unchanged.\n"
                            "\n"
                            "Device:\n"
                            "  --device-byte BYTE     the byte the device holds (default 0x00)\n"
                            "  --address ADDR         its 7-bit address (default 0x2f, address bytes 0x5e/0x5f)\n"
                            "  --absent               no device on the bus\n"
                            "  --data-nack            the device refuses written bytes\n"
                            "  --sda-stuck LEVEL      SDA stuck high or low\n"
                            "GPIO files (FILE: scl-direction, scl-value, sda-direction, sda-value):\n"
                            "  --missing FILE         the file does not exist (repeatable)\n"
                            "  --write-fails FILE     every write to it fails with EIO (repeatable)\n"
                            "  --open-fails FILE[:N]  its N-th open (default the first) fails with EIO\n"
                            "  --lines-output         the lines start as outputs driving 1 (default: inputs)\n"
                            "Waveform:\n"
                            "  --vcd PATH             keep the waveform here (default: a new file in $TMPDIR)\n"
                            "  --no-decode            do not run sigrok-cli on it\n";
    const std::string tail = "\n"
                             "The program runs in a private mount namespace (root is needed) where the\n"
                             "simulated board stands behind its compiled-in paths; nothing on the host\n"
                             "changes. Its output is shown unchanged, then what happened on the board.\n"
                             "Exit status: the program's own; 1 when the run could not be set up; 2 for\n"
                             "bad arguments; 124 when the program was killed after the time-out.\n";
    if (tool == Tool::Probe)
        return probe + common + tail;
    if (tool == Tool::I2c)
        return i2c + common + tail;
    return "usage: board-sim probe [OPTION]... [-- ARG...]\n"
           "       board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]\n"
           "Runs miner-probe or i2c-bitbang against a simulated board and shows what\n"
           "they did to it. 'board-sim probe --help' and 'board-sim i2c --help' list\n"
           "the options.\n"
           "\n"
           "Examples:\n"
           "  board-sim probe --family ltc\n"
           "  board-sim probe --family sia --sensor never\n"
           "  board-sim probe --family btc --record LTC\n"
           "  board-sim i2c --device-byte 0xa5 read\n"
           "  board-sim i2c write 200\n"
           "  board-sim i2c --absent read\n" +
           tail;
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
        if (same_ignoring_case(name, f.name))
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

std::optional<int> parse_byte(const std::string &text)
{
    const std::optional<long> v = parse_integer(text, 0, 255);
    if (!v)
        return std::nullopt;
    return static_cast<int>(*v);
}

std::optional<std::vector<uint8_t>> parse_hex_bytes(const std::string &text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char ch : text) {
        if (ch == ' ' || ch == ':' || ch == ',') {
            if (high >= 0)
                return std::nullopt; // a lone digit before a separator
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(ch)))
            return std::nullopt;
        const int digit = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : std::tolower(ch) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty())
        return std::nullopt;
    return bytes;
}

} // namespace board_sim
