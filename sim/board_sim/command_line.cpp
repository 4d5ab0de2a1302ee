// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <getopt.h>
#include <stdio.h>

#include <fstream>
#include <map>
#include <sstream>

#include "text.h"

namespace board_sim {

namespace {

enum ToolMask : unsigned { PROBE = 1, I2C = 2, EXPLAIN = 4, RUNS = PROBE | I2C, ALL = RUNS | EXPLAIN };

enum class Does {
    Scenario,
    Set,
    Shorthand,
    Program,
    Emulator,
    Vm,
    Timeout,
    Json,
    Quiet,
    Vcd,
    Svg,
    NoDecode,
    Help,
    Version
};

// One option. A shorthand sets the scenario key `key`: to its argument, or,
// without one, to `value`.
struct Option {
    const char *name;
    char short_name; // 0: none
    const char *arg; // its argument in the help; nullptr: takes none
    unsigned tools;
    Does does;
    const char *help;
    const char *key = nullptr;
    const char *value = nullptr;
};

const Option OPTIONS[] = {
    {"scenario", 'f', "FILE", RUNS, Does::Scenario, "the scenario, as a JSON file (also a --json document)"},
    {"set", 's', "KEY=VALUE", RUNS, Does::Set, "set one key of the scenario, over the file (repeatable)"},
    {"family", 0, "NAME", PROBE, Does::Shorthand, "", "family"},
    {"sensor", 0, "WHEN", PROBE, Does::Shorthand, "", "sensor"},
    {"wire", 0, nullptr, PROBE, Does::Shorthand, "", "wire", "true"},
    {"chips", 0, "N", PROBE, Does::Shorthand, "", "chips"},
    {"alt", 0, nullptr, PROBE, Does::Shorthand, "", "args", "alt"},
    {"record", 0, "LINE", PROBE, Does::Shorthand, "", "miner_type"},
    {"device-byte", 0, "BYTE", I2C, Does::Shorthand, "", "device_byte"},
    {"absent", 0, nullptr, I2C, Does::Shorthand, "", "absent", "true"},
    {"program", 0, "PATH", RUNS, Does::Program,
     "the program to run (default: $VARIABLE, then the one built with board-sim)"},
    {"emulator", 0, "COMMAND", RUNS, Does::Emulator,
     "run it under this emulator and its options (default: $TARGET_EMULATOR; for a MIPS program, "
     "'qemu-mips-static -cpu 24Kc', the board's FPU-less CPU)"},
    {"vm", 0, nullptr, RUNS, Does::Vm,
     "run it on the emulated board: the real kernel under qemu-system-mips (vm/board-vm), with the board "
     "preset's program, $BOARD_VM_PROGRAMS or --program"},
    {"timeout", 0, "SECONDS", RUNS, Does::Timeout, "kill the program after this long, 1 to 3600 (default 90)"},
    {"vcd", 0, "PATH", I2C, Does::Vcd, "keep the waveform here (default: not kept)"},
    {"svg", 0, "PATH", I2C, Does::Svg, "draw the waveform, labelled from the decode, as an SVG picture"},
    {"no-decode", 0, nullptr, I2C, Does::NoDecode, "do not decode the waveform with sigrok-cli"},
    {"json", 0, nullptr, RUNS, Does::Json, "print one JSON document instead of text; it holds the scenario"},
    {"quiet", 'q', nullptr, RUNS, Does::Quiet, "print only the summary, not the program's output"},
    {"help", 'h', nullptr, ALL, Does::Help, "show this help"},
    {"version", 'V', nullptr, ALL, Does::Version, "show the version"},
};

unsigned mask_of(Tool tool)
{
    return tool == Tool::Probe ? PROBE : tool == Tool::I2c ? I2C : EXPLAIN;
}

// "--family", "-f, --scenario FILE".
std::string option_text(const Option &o, bool with_arg)
{
    std::string text = o.short_name != 0 ? std::string("-") + o.short_name + ", --" : "--";
    text += o.name;
    if (with_arg && o.arg != nullptr)
        text += std::string(" ") + o.arg;
    return text;
}

// "  NAME   text", the text wrapped at 79 columns in a column of its own.
std::string help_line(const std::string &name, std::string text)
{
    constexpr size_t COLUMN = 25, WIDTH = 79;
    std::string out = "  " + name;
    out += out.size() + 1 > COLUMN ? "\n" + std::string(COLUMN, ' ') : std::string(COLUMN - out.size(), ' ');
    while (text.size() > WIDTH - COLUMN) {
        const size_t cut = text.rfind(' ', WIDTH - COLUMN);
        out += text.substr(0, cut) + "\n" + std::string(COLUMN, ' ');
        text = text.substr(cut + 1);
    }
    return out + text + "\n";
}

// What the command line sets, and who said so, for the messages.
struct Setting {
    std::string key;
    std::string text;
    std::string who; // "--family", "--set family"
    bool shorthand;
    std::optional<Json> value = std::nullopt; // given whole, not as text
    bool has_arg = true;                      // a shorthand without one sets a fixed value
};

class Parser {
public:
    Parser(const std::vector<std::string> &args, ParseResult *result) : args_(args), result_(result) {}

    void run()
    {
        Command &c = result_->command;
        if (args_.empty())
            return (void)fail("no subcommand: give 'probe', 'i2c' or 'explain'");
        const std::string &first = args_[0];
        if (first == "-h" || first == "--help" || first == "-V" || first == "--version") {
            (first == "-h" || first == "--help" ? c.help : c.version) = true;
            result_->ok = true;
            return;
        }
        if (first != "probe" && first != "i2c" && first != "explain")
            return (void)fail("unknown subcommand '" + first + "': give 'probe', 'i2c' or 'explain'");
        c.tool = first == "probe" ? Tool::Probe : first == "i2c" ? Tool::I2c : Tool::Explain;
        c.tool_given = true;
        if (!options())
            return;
        result_->ok = c.help || c.version || (operands() && scenario() && effects());
    }

private:
    bool fail(const std::string &text)
    {
        result_->error = text;
        return false;
    }

    bool options()
    {
        Command &c = result_->command;
        std::vector<struct option> table;
        std::string short_options = "-"; // operands come back in order, as code 1
        for (const Option &o : OPTIONS) {
            if ((o.tools & mask_of(c.tool)) == 0)
                continue;
            const int code = 256 + static_cast<int>(&o - OPTIONS);
            table.push_back({o.name, o.arg != nullptr ? required_argument : no_argument, nullptr, code});
            if (o.short_name != 0)
                short_options += std::string(1, o.short_name) + (o.arg != nullptr ? ":" : "");
        }
        table.push_back({nullptr, 0, nullptr, 0});
        std::vector<std::string> words = args_;
        words[0] = "board-sim"; // getopt's messages start with it
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        optind = 0; // a fresh scan, also when called again in one process
        opterr = 1; // getopt's own complaints, as they are
        const int argc = static_cast<int>(words.size());
        for (int code; (code = getopt_long(argc, argv.data(), short_options.c_str(), table.data(), nullptr)) != -1;) {
            const std::string value = optarg != nullptr ? optarg : "";
            if (code == '?' || code == ':')
                return false;
            if (code == 1) {
                operands_.push_back(value);
                // The value of "write" goes to the program as it is, "-1" included.
                if (value == "write" && c.tool == Tool::I2c && operands_.size() == 1 && optind < argc &&
                    std::string(argv[optind]).rfind("--", 0) != 0)
                    operands_.emplace_back(argv[optind++]);
                continue;
            }
            const Option *o = nullptr;
            for (const Option &row : OPTIONS)
                if (code == (row.short_name != 0 ? row.short_name : -1) || code == 256 + (&row - OPTIONS))
                    o = &row;
            given_.push_back(o->name);
            if (!option(*o, value))
                return false;
        }
        for (int i = optind; i < argc; ++i)
            passed_.emplace_back(argv[i]);
        dashes_ = optind > 1 && words[optind - 1] == "--";
        return true;
    }

    bool option(const Option &o, const std::string &value)
    {
        Command &c = result_->command;
        switch (o.does) {
        case Does::Scenario:
            file_ = value;
            return true;
        case Does::Set: {
            const size_t eq = value.find('=');
            if (eq == std::string::npos)
                return fail("--set wants KEY=VALUE, not '" + value + "'");
            settings_.push_back({value.substr(0, eq), value.substr(eq + 1), "--set " + value.substr(0, eq), false});
            return true;
        }
        case Does::Shorthand:
            settings_.push_back(
                {o.key, o.arg != nullptr ? value : o.value, std::string("--") + o.name, true, {}, o.arg != nullptr});
            return true;
        case Does::Program:
        case Does::Emulator:
        case Does::Vcd:
        case Does::Svg:
            if (value.empty())
                return fail(std::string("--") + o.name + " needs a value");
            (o.does == Does::Program    ? c.program
             : o.does == Does::Emulator ? c.emulator
             : o.does == Does::Vcd      ? c.vcd_path
                                        : c.svg_path) = value;
            return true;
        case Does::Timeout: {
            const std::optional<long> s = sim::parse_number(value, 1, 3600);
            if (!s)
                return fail("--timeout wants whole seconds from 1 to 3600, not '" + value + "'");
            c.timeout_ms = static_cast<int>(*s) * 1000;
            return true;
        }
        case Does::Vm:
            return c.vm = true;
        case Does::Json:
            c.output = Output::Json;
            return true;
        case Does::Quiet:
            c.output = Output::Quiet;
            return true;
        case Does::NoDecode:
            c.decode = false;
            return true;
        case Does::Help:
            return c.help = true;
        case Does::Version:
            return c.version = true;
        }
        return false;
    }

    // probe takes no operands; i2c takes "read" or "write VALUE"; explain
    // takes at most a file. Arguments after "--" are the program's.
    bool operands()
    {
        Command &c = result_->command;
        const std::vector<std::string> &words = operands_;
        if (c.tool == Tool::Explain) {
            if (!passed_.empty() || words.size() > 1)
                return fail("explain reads one log: give at most one FILE");
            c.explain_path = words.empty() || words[0] == "-" ? "" : words[0];
            return true;
        }
        if (dashes_ || !passed_.empty())
            args_given_ = passed_;
        if (c.tool == Tool::Probe) {
            if (!words.empty())
                return fail("unexpected '" + words[0] + "': pass program arguments after '--'");
            return true;
        }
        if (words.empty())
            return true;
        if (args_given_)
            return fail("give either 'read'/'write VALUE' or arguments after '--', not both");
        if (words[0] == "read" && words.size() == 1)
            return (args_given_ = std::vector<std::string>{}, true);
        if (words[0] == "write" && words.size() == 2)
            return (args_given_ = std::vector<std::string>{words[1]}, true);
        if (words[0] == "write" && words.size() == 1)
            return fail("'write' needs a VALUE");
        if (words[0] != "read" && words[0] != "write")
            return fail("unknown operation '" + words[0] + "': give 'read' or 'write VALUE'");
        return fail("unexpected '" + words.back() + "' after '" + words[0] + "'");
    }

    // The file, then each setting in order, then the program's arguments.
    bool scenario()
    {
        Command &c = result_->command;
        c.scenario = default_scenario(c.tool);
        std::vector<std::string> in_file;
        if (!file_.empty()) {
            std::ifstream in(file_, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            std::string why;
            if (!in)
                return fail("cannot read the scenario file " + file_);
            if (!read_scenario(c.tool, text.str(), &c.scenario, &in_file, &why))
                return fail(file_ + ": " + why);
        }
        const Json from_file = c.scenario;
        const Json defaults = default_scenario(c.tool);
        for (const std::string &key : in_file)
            if (c.scenario[key] != defaults.at(key))
                who_[key] = key + " in " + file_;
        if (args_given_)
            settings_.push_back({"args", "", "the arguments after '--'", false, Json(*args_given_)});
        for (const Setting &s : settings_) {
            const Field *f = find_field(c.tool, s.key);
            if (f == nullptr)
                return fail("--set: no key '" + s.key + "' in a " + tool_name(c.tool) + " scenario; 'board-sim " +
                            tool_name(c.tool) + " --help' lists them");
            std::string why;
            Json value;
            if (s.value ? !field_value(*f, *s.value, &value, &why)
                        : !field_value_from_text(*f, s.text, c.scenario[s.key], &value, &why))
                return fail(s.who + " " + why);
            if (s.shorthand && std::find(in_file.begin(), in_file.end(), s.key) != in_file.end() &&
                value != from_file[s.key])
                return fail(s.who + (s.has_arg ? " " + s.text : "") + " contradicts " + s.key + " " +
                            from_file[s.key].dump(-1, ' ', false, Json::error_handler_t::replace) + " in " + file_);
            c.scenario[s.key] = value;
            who_[s.key] = s.who;
        }
        return true;
    }

    bool given(const char *option) const
    {
        return std::find(given_.begin(), given_.end(), std::string(option)) != given_.end();
    }

    // Whatever would change nothing in the chosen scenario is refused, so
    // that a run never silently differs from what was asked.
    bool effects()
    {
        const Command &c = result_->command;
        if (c.tool == Tool::Explain)
            return true;
        if (given("json") && given("quiet"))
            return fail("--quiet has no effect with --json");
        if (c.vm && given("emulator"))
            return fail("--emulator has no effect with --vm: the emulated board runs the program itself");
        for (const char *o : {"vcd", "svg", "no-decode"})
            if (c.vm && given(o))
                return fail(std::string("--") + o +
                            " has no effect with --vm: the emulated board's bus has no "
                            "waveform");
        if (!c.decode && given("svg"))
            return fail("--svg has no effect with --no-decode: the picture is labelled from the decode");
        std::vector<std::string> keys;
        for (const auto &[key, who] : who_)
            keys.push_back(key);
        std::string key;
        if (const NoEffect *rule = refused_key(c.tool, c.scenario, c.vm, keys, &key))
            return fail(who_[key] + " has no effect " + rule->why);
        return true;
    }

    const std::vector<std::string> &args_;
    ParseResult *result_;
    std::vector<std::string> given_; // option names, in order
    std::vector<std::string> operands_;
    std::vector<std::string> passed_;
    bool dashes_ = false;
    std::optional<std::vector<std::string>> args_given_;
    std::string file_;
    std::vector<Setting> settings_;
    std::map<std::string, std::string> who_; // key: who set it
};

std::string usage_line(Tool tool)
{
    return tool == Tool::Probe ? "board-sim probe [OPTION]... [-- ARG...]"
           : tool == Tool::I2c ? "board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]"
                               : "board-sim explain [FILE]";
}

// A key's value in the help: "none", "1", "0x55".
std::string default_text(const Field &f)
{
    const Json value = Json::parse(f.fallback);
    if (shown_in_hex(f) && !value.is_null())
        return sim::hex_byte(value.get<int>());
    return value.is_string() ? value.get<std::string>() : value.dump();
}

} // namespace

ParseResult parse_command_line(const std::vector<std::string> &args)
{
    ParseResult result;
    Parser(args, &result).run();
    return result;
}

std::string try_help_text(std::optional<Tool> tool)
{
    return std::string("Try 'board-sim ") + (tool ? std::string(tool_name(*tool)) + " " : "") + "--help' for more.\n";
}

std::string help_text(std::optional<Tool> tool)
{
    const std::string tail = "\nThe program runs in a private mount namespace (root is needed) where the\n"
                             "simulated board stands behind its compiled-in paths; nothing on the host\n"
                             "changes (with --vm it runs on the emulated board, and no root is needed).\n"
                             "Its output is shown unchanged, then what happened on the board. A key or\n"
                             "option that has no effect on the chosen scenario is refused.\n"
                             "Exit status: the program's own; 1 when the run could not be set up; 2 for\n"
                             "bad arguments or a bad scenario; 124 when the program was killed after the\n"
                             "time-out; 128 + N when stopped by signal N (passed on to the program).\n";
    if (!tool)
        return "usage: " + usage_line(Tool::Probe) + "\n       " + usage_line(Tool::I2c) + "\n       " +
               usage_line(Tool::Explain) +
               "\nRuns miner-probe or i2c-bitbang against a simulated board and shows what\n"
               "they did to it, or explains a miner-probe log. 'board-sim probe --help',\n"
               "'board-sim i2c --help' and 'board-sim explain --help' list the options.\n"
               "\nExamples:\n"
               "  board-sim probe --family ltc\n"
               "  board-sim probe --scenario scenarios/ltc-60-chips.json\n"
               "  board-sim probe --family sia --set sensor=never --json > run.json\n"
               "  board-sim probe --scenario run.json\n"
               "  board-sim probe --vm --family ltc\n"
               "  board-sim i2c --device-byte 0xa5 read\n"
               "  board-sim i2c write 200 --svg write.svg\n"
               "  board-sim explain boot.log\n" +
               tail;
    std::string text = "usage: " + usage_line(*tool) + "\n";
    if (tool == Tool::Explain)
        text += "Explains a miner-probe log (its standard output, from a real board or a\n"
                "simulation, possibly inside a boot log) attempt by attempt: the frames sent,\n"
                "what each reply matched or why not, time-outs and short reads, the sensor\n"
                "queries, the family found and the lines the run appended to the record files.\n"
                "Reads standard input without FILE or with '-'. Exit status: 0 when the log\n"
                "holds a probe run, 1 when it does not or cannot be read, 2 for bad arguments.\n\n";
    else
        text += *tool == Tool::Probe ? "Runs miner-probe against a simulated hash board on its serial line.\n\n"
                                     : "Runs i2c-bitbang against simulated gpio19 (SCL) and gpio23 (SDA) with an "
                                       "I2C\ndevice on them; 'read' (the default) runs it without an argument, "
                                       "'write\nVALUE' passes VALUE unchanged.\n\n";
    const char *variable = tool == Tool::I2c ? I2C_BITBANG_VARIABLE : MINER_PROBE_VARIABLE;
    // Sections in the table's order: the scenario, its shorthands, the run.
    std::string sections[3];
    for (const Option &o : OPTIONS) {
        if ((o.tools & mask_of(*tool)) == 0)
            continue;
        std::string help =
            o.does == Does::Shorthand ? std::string("--set ") + o.key + "=" + (o.arg ? o.arg : o.value) : o.help;
        if (const size_t at = help.find("$VARIABLE"); at != std::string::npos)
            help.replace(at + 1, 8, variable);
        const int section = o.does == Does::Scenario || o.does == Does::Set ? 0 : o.does == Does::Shorthand ? 1 : 2;
        sections[section] += help_line(option_text(o, true), help);
    }
    const char *titles[] = {"Scenario:\n", "Shorthands:\n", "Run:\n"};
    for (int i = 0; i < 3; ++i)
        if (!sections[i].empty())
            text += (tool == Tool::Explain ? "" : titles[i]) + sections[i];
    if (tool != Tool::Explain) {
        text += std::string("Scenario keys (--set KEY=VALUE; [default]; a list takes one item a --set, or\n") +
                "a JSON array; 'null' clears what may be null):\n";
        for (const Field &f : scenario_fields(*tool))
            text += help_line(f.key, std::string(f.help) + " [" + default_text(f) + "]");
        if (tool == Tool::Probe) {
            std::string frames;
            for (const sim::KnownFrame &f : sim::known_frames())
                frames += std::string(frames.empty() ? "" : ", ") + f.name;
            text += help_line("frame NAMEs", frames + " (any case)");
        }
        text += std::string("Arguments after '--' go to the program unchanged (they set args).\n") + tail;
    }
    return text;
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

} // namespace board_sim
