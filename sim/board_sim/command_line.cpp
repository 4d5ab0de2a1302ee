// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <map>
#include <sstream>

namespace board_sim {

namespace {

constexpr Tool TOOLS[] = {Tool::Probe, Tool::I2c, Tool::Explain};

// A shorthand sets the scenario key `key`: to its argument `arg`, or, without
// one, to `value`.
struct Shorthand {
    Tool tool;
    const char *option, *arg, *key, *value;
};

const Shorthand SHORTHANDS[] = {
    {Tool::Probe, "--family", "NAME", "family", nullptr},
    {Tool::Probe, "--sensor", "WHEN", "sensor", nullptr},
    {Tool::Probe, "--wire", nullptr, "wire", "true"},
    {Tool::Probe, "--chips", "N", "chips", nullptr},
    {Tool::Probe, "--alt", nullptr, "args", "alt"},
    {Tool::Probe, "--record", "LINE", "miner_type", nullptr},
    {Tool::I2c, "--device-byte", "BYTE", "device_byte", nullptr},
    {Tool::I2c, "--absent", nullptr, "absent", "true"},
};

// What the command line sets, and who said so, for the messages.
struct Setting {
    std::string key;
    std::string text;
    std::string who; // "--family", "--set family"
    bool shorthand = false;
    bool has_arg = true;              // a shorthand without one sets a fixed value
    std::optional<Json> value = {};   // given whole, not as text
};

std::string dumped(const Json &value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

class Parser {
public:
    Parser() { build(); }

    ParseResult parse(std::vector<std::string> args)
    {
        ParseResult r;
        // Arguments after the first "--" are the program's, whatever they look like.
        const auto dashes = std::find(args.begin(), args.end(), "--");
        if (dashes != args.end())
            passed_ = std::vector<std::string>(dashes + 1, args.end());
        args.erase(dashes, args.end());
        std::reverse(args.begin(), args.end()); // as CLI11 takes them
        try {
            app_.parse(args);
        } catch (const CLI::Success &e) {
            (dynamic_cast<const CLI::CallForHelp *>(&e) != nullptr ? c_.help : c_.version) = true;
            r.ok = true;
        } catch (const CLI::ParseError &e) {
            r.error = e.what();
            r.usage = true;
        }
        for (Tool tool : TOOLS)
            if (sub(tool)->parsed())
                c_.tool = tool, c_.tool_given = true;
        if (!r.usage && !r.ok && !c_.tool_given) {
            r.error = "no subcommand: give 'probe', 'i2c' or 'explain'";
            r.usage = true;
        }
        if (r.usage || r.ok) {
            r.command = c_;
            return r;
        }
        c_.timeout_ms = seconds_ * 1000;
        c_.output = json_ ? Output::Json : quiet_ ? Output::Quiet : Output::Text;
        c_.decode = !no_decode_;
        r.ok = operands() && (c_.tool != Tool::Probe || scenario(c_.probe)) &&
               (c_.tool != Tool::I2c || scenario(c_.i2c));
        r.error = error_;
        r.command = c_;
        return r;
    }

    CLI::App *sub(Tool tool) { return app_.get_subcommand(tool_name(tool)); }

private:
    bool fail(const std::string &text)
    {
        error_ = text;
        return false;
    }

    void build()
    {
        app_.require_subcommand(0, 1);
        for (Tool tool : TOOLS) {
            CLI::App *s = app_.add_subcommand(tool_name(tool));
            if (tool == Tool::I2c) {
                s->require_subcommand(0, 1);
                for (CLI::App *op : {s->add_subcommand("read"), s->add_subcommand("write")})
                    op->fallthrough()->set_help_flag();
                s->get_subcommand("write")->add_option("VALUE", write_value_)->required();
            }
            if (tool == Tool::Explain)
                s->add_option("FILE", c_.explain_path);
            else
                run_options(s, tool);
            s->set_help_flag("-h,--help", "show this help")->group("Run");
            version(s);
        }
        app_.set_help_flag("-h,--help");
        version(&app_);
    }

    void version(CLI::App *s)
    {
        s->add_flag_callback("-V,--version", [] { throw CLI::CallForVersion(); }, "show the version")
            ->group("Run")
            ->trigger_on_parse();
    }

    void run_options(CLI::App *s, Tool tool)
    {
        const std::string variable = tool == Tool::Probe ? MINER_PROBE_VARIABLE : I2C_BITBANG_VARIABLE;
        const auto needs_value = CLI::Validator(
            [](const std::string &v) { return v.empty() ? std::string("needs a value") : std::string(); }, "");
        s->add_option("-f,--scenario", file_, "the scenario, as a JSON file (also a --json document)")
            ->type_name("FILE")
            ->group("Scenario");
        s->add_option_function<std::string>(
             "-s,--set",
             [this](const std::string &v) {
                 const size_t eq = v.find('=');
                 if (eq == std::string::npos)
                     throw CLI::ValidationError("--set", "wants KEY=VALUE, not '" + v + "'");
                 settings_.push_back({v.substr(0, eq), v.substr(eq + 1), "--set " + v.substr(0, eq)});
             },
             "set one key of the scenario, over the file (repeatable)")
            ->type_name("KEY=VALUE")
            ->group("Scenario")
            ->trigger_on_parse();
        for (const Shorthand &sh : SHORTHANDS) {
            if (sh.tool != tool)
                continue;
            const std::string help = std::string("--set ") + sh.key + "=" + (sh.arg != nullptr ? sh.arg : sh.value);
            CLI::Option *o =
                sh.arg != nullptr
                    ? s->add_option_function<std::string>(
                           sh.option,
                           [this, &sh](const std::string &v) { settings_.push_back({sh.key, v, sh.option, true}); },
                           help)
                          ->type_name(sh.arg)
                    : s->add_flag_callback(
                          sh.option, [this, &sh] { settings_.push_back({sh.key, sh.value, sh.option, true, false}); },
                          help);
            o->group("Shorthands")->trigger_on_parse();
        }
        s->add_option("--program", c_.program,
                      "the program to run (default: $" + variable + ", then the one built with board-sim)")
            ->type_name("PATH")
            ->check(needs_value)
            ->group("Run");
        CLI::Option *emulator = s->add_option("--emulator", c_.emulator,
                                              "run it under this emulator and its options (default: "
                                              "$TARGET_EMULATOR; for a MIPS program, 'qemu-mips-static -cpu 24Kc', "
                                              "the board's FPU-less CPU)")
                                    ->type_name("COMMAND")
                                    ->check(needs_value)
                                    ->group("Run");
        CLI::Option *vm = s->add_flag("--vm", c_.vm,
                                      "run it on the emulated board: the real kernel under qemu-system-mips "
                                      "(vm/board-vm), with the board preset's program, $BOARD_VM_PROGRAMS or "
                                      "--program; not with --emulator" +
                                          std::string(tool == Tool::I2c ? ", --vcd, --svg or --no-decode" : ""))
                              ->group("Run");
        vm->excludes(emulator);
        s->add_option("--timeout", seconds_, "kill the program after this long, 1 to 3600 (default 90)")
            ->type_name("SECONDS")
            ->check(CLI::Range(1, 3600).description(""))
            ->group("Run");
        if (tool == Tool::I2c) {
            CLI::Option *vcd = s->add_option("--vcd", c_.vcd_path, "keep the waveform here (default: not kept)")
                                   ->type_name("PATH")
                                   ->check(needs_value)
                                   ->group("Run");
            CLI::Option *svg =
                s->add_option("--svg", c_.svg_path,
                              "draw the waveform, labelled from the decode (so not with --no-decode), as an SVG "
                              "picture")
                    ->type_name("PATH")
                    ->check(needs_value)
                    ->group("Run");
            CLI::Option *no_decode =
                s->add_flag("--no-decode", no_decode_, "do not decode the waveform with sigrok-cli")->group("Run");
            vm->excludes(vcd)->excludes(svg)->excludes(no_decode);
            svg->excludes(no_decode);
        }
        CLI::Option *json =
            s->add_flag("--json", json_, "print one JSON document instead of text; it holds the scenario")
                ->group("Run");
        json->excludes(s->add_flag("-q,--quiet", quiet_, "print only the summary, not the program's output")
                           ->group("Run"));
    }

    // i2c takes "read" or "write VALUE", or the program's arguments after
    // "--"; explain takes at most a file; "-" is standard input.
    bool operands()
    {
        if (c_.tool == Tool::Explain) {
            if (passed_ && !passed_->empty())
                return fail("explain reads one log: give at most one FILE");
            if (c_.explain_path == "-")
                c_.explain_path.clear();
            return true;
        }
        const bool dashes = passed_.has_value();
        if (c_.tool == Tool::I2c) {
            CLI::App *read = sub(Tool::I2c)->get_subcommand("read"), *write = sub(Tool::I2c)->get_subcommand("write");
            if ((read->parsed() || write->parsed()) && dashes)
                return fail("give either 'read'/'write VALUE' or arguments after '--', not both");
            if (read->parsed() || write->parsed())
                passed_ = write->parsed() ? std::vector<std::string>{write_value_} : std::vector<std::string>{};
        }
        if (passed_)
            settings_.push_back({"args", "", "the arguments after '--'", false, false, Json(*passed_)});
        return true;
    }

    // The file, then each setting in order; then whatever would change
    // nothing in the chosen scenario is refused, so that a run never
    // silently differs from what was asked.
    template <class S> bool scenario(S &s)
    {
        const std::string tool = tool_name(S::TOOL);
        std::vector<std::string> in_file;
        if (!file_.empty()) {
            std::ifstream in(file_, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            std::string why;
            if (!in)
                return fail("cannot read the scenario file " + file_);
            if (!read_scenario(text.str(), &s, &in_file, &why))
                return fail(file_ + ": " + why);
        }
        const S from_file = s;
        std::map<std::string, std::string> who; // key: who set it
        for (const std::string &key : in_file)
            if (find_key<S>(key)->write(s) != find_key<S>(key)->write(S{}))
                who[key] = key + " in " + file_;
        for (const Setting &set : settings_) {
            const Key<S> *k = find_key<S>(set.key);
            if (k == nullptr)
                return fail("--set: no key '" + set.key + "' in a " + tool + " scenario; 'board-sim " + tool +
                            " --help' lists them");
            std::string why;
            if (!k->read(s, set.value ? *set.value : k->parse(set.text, k->write(s)), &why))
                return fail(set.who + " " + (why.empty() ? "wants " + k->wants : why) +
                            (set.value ? "" : ", not '" + set.text + "'"));
            if (set.shorthand && std::find(in_file.begin(), in_file.end(), set.key) != in_file.end() &&
                k->write(s) != k->write(from_file))
                return fail(set.who + (set.has_arg ? " " + set.text : "") + " contradicts " + set.key + " " +
                            dumped(k->write(from_file)) + " in " + file_);
            who[set.key] = set.who;
        }
        std::vector<std::string> given;
        for (const auto &[key, by] : who)
            given.push_back(key);
        std::string key;
        if (const NoEffect<S> *rule = refused_key(s, c_.vm, given, &key))
            return fail(who[key] + " has no effect " + rule->why);
        return true;
    }

    CLI::App app_{"", "board-sim"};
    Command c_;
    std::string file_;
    std::vector<Setting> settings_;
    std::optional<std::vector<std::string>> passed_;
    std::string write_value_;
    int seconds_ = 0;
    bool json_ = false, quiet_ = false, no_decode_ = false;
    std::string error_;
};

std::string usage_line(Tool tool)
{
    return tool == Tool::Probe ? "board-sim probe [OPTION]... [-- ARG...]"
           : tool == Tool::I2c ? "board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]"
                               : "board-sim explain [FILE]";
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

// "-f, --scenario FILE".
std::string option_text(const CLI::Option &o)
{
    std::string text;
    for (const std::string &name : o.get_snames())
        text += "-" + name + ", ";
    for (const std::string &name : o.get_lnames())
        text += "--" + name;
    return o.get_type_size() == 0 ? text : text + " " + o.get_type_name();
}

template <class S> std::string key_lines()
{
    std::string text = "Scenario keys (--set KEY=VALUE; [default]; a list takes one item a --set, or\n"
                       "a JSON array; 'null' clears what may be null):\n";
    for (const Key<S> &k : scenario_keys<S>())
        text += help_line(k.name, std::string(k.help) + " [" + shown(k.write(S{}), k.hex) + "]");
    return text;
}

constexpr const char *TAIL =
    "\nThe program runs in a private mount namespace (root is needed) where the\n"
    "simulated board stands behind its compiled-in paths; nothing on the host\n"
    "changes (with --vm it runs on the emulated board, and no root is needed).\n"
    "Its output is shown unchanged, then what happened on the board. A key or\n"
    "option that has no effect on the chosen scenario is refused.\n"
    "Exit status: the program's own; 1 when the run could not be set up; 2 for\n"
    "bad arguments or a bad scenario; 124 when the program was killed after the\n"
    "time-out; 128 + N when stopped by signal N (passed on to the program).\n";

} // namespace

ParseResult parse_command_line(const std::vector<std::string> &args)
{
    return Parser().parse(args);
}

std::string try_help_text(std::optional<Tool> tool)
{
    return std::string("Try 'board-sim ") + (tool ? std::string(tool_name(*tool)) + " " : "") + "--help' for more.\n";
}

std::string help_text(std::optional<Tool> tool)
{
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
               TAIL;
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
    Parser parser;
    for (const char *group : {"Scenario", "Shorthands", "Run"}) {
        std::string lines;
        for (const CLI::Option *o : parser.sub(*tool)->get_options())
            if (o->get_group() == group && o->nonpositional())
                lines += help_line(option_text(*o), o->get_description());
        if (!lines.empty())
            text += (tool == Tool::Explain ? "" : group + std::string(":\n")) + lines;
    }
    if (tool == Tool::Explain)
        return text;
    text += tool == Tool::Probe ? key_lines<ProbeScenario>() : key_lines<I2cScenario>();
    if (tool == Tool::Probe) {
        std::string frames;
        for (const sim::KnownFrame &f : sim::known_frames())
            frames += std::string(frames.empty() ? "" : ", ") + f.name;
        text += help_line("frame NAMEs", frames + " (any case)");
    }
    return text + "Arguments after '--' go to the program unchanged (they set args).\n" + TAIL;
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
