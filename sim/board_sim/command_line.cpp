// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <CLI/CLI.hpp>

#include "gpio_numbers.h"

namespace board_sim {

namespace {

constexpr Tool TOOLS[] = {Tool::Probe, Tool::I2c, Tool::Explain};

const char *const USAGE[] = {"board-sim probe [OPTION]... [-- ARG...]",
                             "board-sim i2c [OPTION]... [read | write VALUE | -- ARG...]",
                             "board-sim explain [OPTION]... [FILE]"};

// What each help says between its usage line and its options.
std::string about(Tool tool)
{
    const std::string texts[] = {"Runs miner-probe against a simulated hash board on its serial line.\n\n",
                                 "Runs i2c-bitbang against simulated gpio" + std::to_string(GPIO_SCL_OFFSET) +
                                     " (SCL) and gpio" + std::to_string(GPIO_SDA_OFFSET) +
                                     " (SDA) with an I2C\ndevice on them; 'read' (the default) runs it without an "
                                     "argument, 'write\nVALUE' passes "
                                     "VALUE unchanged.\n\n",
                                 "Explains a miner-probe log (its standard output, from a real board or a\n"
                                 "simulation, possibly inside a boot log) attempt by attempt: the frames sent,\n"
                                 "what each reply matched or why not, time-outs and short reads, the sensor\n"
                                 "queries, the family found and the lines the run appended to the record files.\n"
                                 "Runs are numbered from 1 in the log. With --as-scenario it prints instead the\n"
                                 "scenario that replays one run: 'board-sim probe --scenario' reads it, and\n"
                                 "its note lists what the scenario cannot reproduce. Reads standard input\n"
                                 "without FILE or with '-'. Exit status: 0 when the log holds a probe run, 1\n"
                                 "when it does not or cannot be read, 2 for bad arguments or a run the log\n"
                                 "does not hold.\n\n"};
    return texts[static_cast<int>(tool)];
}

constexpr const char *EXAMPLES = "Runs miner-probe or i2c-bitbang against a simulated board and shows what\n"
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
                                 "  board-sim explain boot.log\n"
                                 "  board-sim explain --as-scenario --run 2 boot.log > run2.json\n";

constexpr const char *TAIL = "\nThe program runs in a private mount namespace (root is needed) where the\n"
                             "simulated board stands behind its compiled-in paths; nothing on the host\n"
                             "changes (with --vm it runs on the emulated board, and no root is needed).\n"
                             "Its output is shown unchanged, then what happened on the board. A key or\n"
                             "option that has no effect on the chosen scenario is refused.\n"
                             "Exit status: the program's own; 1 when the run could not be set up; 2 for\n"
                             "bad arguments or a bad scenario; 124 when the program was killed after the\n"
                             "time-out; 128 + N when stopped by signal N (passed on to the program).\n";

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

template <class S>
std::string key_lines()
{
    std::string text = "Scenario keys (--set KEY=VALUE; [default]; a list takes one item a --set, or\n"
                       "a JSON array; 'null' clears what may be null):\n";
    for (const Key<S> &k : scenario_keys<S>())
        text += help_line(k.name, std::string(k.help) + " [" + shown(k.write(S{}), k.hex) + "]");
    return text;
}

class Parser {
public:
    Parser() { build(); }

    ParseResult parse(std::vector<std::string> args)
    {
        ParseResult r;
        const std::string first = args.empty() ? "" : args[0];
        // Arguments after the first "--" are the program's, whatever they look like.
        const auto dashes = std::find(args.begin(), args.end(), "--");
        if (dashes != args.end())
            passed_ = std::vector<std::string>(dashes + 1, args.end());
        args.erase(dashes, args.end());
        std::reverse(args.begin(), args.end()); // as CLI11 takes them
        bool usage = false, wants_help = false;
        try {
            expand_abbreviations(args);
            app_.parse(args);
        } catch (const CLI::CallForHelp &) {
            wants_help = true;
        } catch (const CLI::CallForVersion &) {
            r.text = "board-sim (miner-tools) " MINER_TOOLS_VERSION "\n";
        } catch (const CLI::ParseError &e) {
            error_ = e.what();
            // A word left over on the probe's command line was most likely meant for the program.
            if (first == "probe" && dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr &&
                error_.find(": -") == std::string::npos)
                error_ += "; pass program arguments after '--'";
            usage = true;
        }
        const Tool *tool = nullptr;
        for (const Tool &t : TOOLS)
            if (sub(t)->parsed() || (usage && first == tool_name(t)))
                tool = &t;
        if (!usage && !wants_help && r.text.empty() && tool == nullptr) {
            error_ = "no subcommand: give 'probe', 'i2c' or 'explain'";
            usage = true;
        }
        c_.tool = tool != nullptr ? *tool : Tool::Probe;
        if (wants_help)
            r.text = tool != nullptr ? help(*tool)
                                     : "usage: " + std::string(USAGE[0]) + "\n       " + USAGE[1] + "\n       " +
                                           USAGE[2] + "\n" + EXAMPLES + TAIL;
        r.ok = !usage &&
               (!r.text.empty() ||
                (operands() && (c_.tool != Tool::Probe || make_scenario(c_.probe, file_, settings_, c_.vm, &error_)) &&
                 (c_.tool != Tool::I2c || make_scenario(c_.i2c, file_, settings_, c_.vm, &error_))));
        r.command = c_;
        if (!r.ok)
            r.error = "board-sim: " + error_ + "\n" +
                      (usage ? std::string("Try 'board-sim ") + (tool ? tool_name(*tool) + std::string(" ") : "") +
                                   "--help' for more.\n"
                             : "");
        return r;
    }

private:
    CLI::App *sub(Tool tool) { return app_.get_subcommand(tool_name(tool)); }

    // A long option may be shortened while that is unambiguous: "--fam ltc".
    // `args` are reversed, the subcommand last.
    void expand_abbreviations(std::vector<std::string> &args)
    {
        const CLI::App *app = &app_;
        for (Tool tool : TOOLS)
            if (!args.empty() && args.back() == tool_name(tool))
                app = sub(tool);
        for (std::string &arg : args) {
            const std::string name = arg.substr(0, arg.find('='));
            std::vector<std::string> found;
            for (const CLI::Option *o : app->get_options())
                for (const std::string &l : o->get_lnames())
                    if (("--" + l).starts_with(name) && name.starts_with("--") && name.size() > 2)
                        found.push_back(l == name.substr(2) ? "" : "--" + l);
            if (found.size() > 1 && std::find(found.begin(), found.end(), "") == found.end()) {
                std::string all;
                for (const std::string &f : found)
                    all += " '" + f + "'";
                throw CLI::ParseError("option '" + name + "' is ambiguous; possibilities:" + all,
                                      CLI::ExitCodes::ExtrasError);
            }
            if (found.size() == 1 && !found[0].empty())
                arg = found[0] + arg.substr(name.size());
        }
    }

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
            if (tool == Tool::Explain) {
                s->option_defaults()->group("Run");
                s->add_option("FILE", c_.explain_path);
                s->add_flag("--as-scenario", c_.as_scenario,
                            "print the probe scenario that replays one run, as JSON, instead of the "
                            "explanation");
                s->add_option("--run", c_.explain_run,
                              "only run N, from 1 (default: every run; the last one "
                              "with --as-scenario)")
                    ->type_name("N");
            } else {
                run_options(s, tool);
            }
            s->option_defaults()->group("Run");
            s->set_help_flag("-h,--help", "show this help");
        }
        app_.set_help_flag("-h,--help");
        for (CLI::App *a : {&app_, sub(Tool::Probe), sub(Tool::I2c), sub(Tool::Explain)})
            a->add_flag_callback(
                 "-V,--version", [] { throw CLI::CallForVersion(); }, "show the version")
                ->trigger_on_parse();
    }

    // A setting of the scenario, kept in command-line order.
    void setting(CLI::App *s, const char *name, const char *arg, const char *key, const char *value, std::string help)
    {
        const std::string who = name;
        (arg == nullptr
             ? s->add_flag_callback(
                   name,
                   [=, this] {
                       settings_.push_back({key, value, who, true, false});
                   },
                   help)
             : s->add_option_function<std::string>(
                    name,
                    [=, this](const std::string &v) {
                        const size_t eq = key != nullptr ? 0 : v.find('=');
                        if (eq == std::string::npos)
                            throw CLI::ValidationError(who, "wants KEY=VALUE, not '" + v + "'");
                        if (key != nullptr)
                            settings_.push_back({key, v, who, true});
                        else
                            settings_.push_back({v.substr(0, eq), v.substr(eq + 1), "--set " + v.substr(0, eq)});
                    },
                    help)
                   ->type_name(arg))
            ->trigger_on_parse();
    }

    CLI::Option *path(CLI::App *s, const char *name, std::string &into, const char *arg, const std::string &help)
    {
        static const CLI::Validator needs_value(
            [](const std::string &v) { return v.empty() ? std::string("needs a value") : std::string(); }, "");
        return s->add_option(name, into, help)->type_name(arg)->check(needs_value);
    }

    void run_options(CLI::App *s, Tool tool)
    {
        const bool i2c = tool == Tool::I2c;
        s->option_defaults()->group("Scenario");
        s->add_option("-f,--scenario", file_, "the scenario, as a JSON file (also a --json document)")
            ->type_name("FILE");
        setting(s, "-s,--set", "KEY=VALUE", nullptr, nullptr,
                "set one key of the scenario, over the file (repeatable)");
        s->option_defaults()->group("Shorthands");
        for (const Shorthand &sh : SHORTHANDS)
            if (sh.tool == tool)
                setting(s, sh.option, sh.arg, sh.key, sh.value,
                        std::string("--set ") + sh.key + "=" + (sh.arg != nullptr ? sh.arg : sh.value));
        s->option_defaults()->group("Run");
        path(s, "--program", c_.program, "PATH",
             std::string("the program to run (default: $") + (i2c ? "I2C_BITBANG_BIN" : "MINER_PROBE_BIN") +
                 ", then the one built with board-sim)");
        CLI::Option *emulator = path(s, "--emulator", c_.emulator, "COMMAND",
                                     "run it under this emulator and its options (default: $TARGET_EMULATOR; for a "
                                     "MIPS program, 'qemu-mips-static -cpu 24Kc', the board's FPU-less CPU)");
        CLI::Option *vm = s->add_flag("--vm", c_.vm,
                                      "run it on the emulated board: the real kernel under qemu-system-mips "
                                      "(vm/board-vm), with the board preset's program, $BOARD_VM_PROGRAMS or "
                                      "--program; not with --emulator" +
                                          std::string(i2c ? ", --vcd, --svg or --no-decode" : ""));
        vm->excludes(emulator);
        s->add_option_function<int>(
             "--timeout", [this](int seconds) { c_.timeout_ms = seconds * 1000; },
             "kill the program after this long, 1 to 3600 (default 90)")
            ->type_name("SECONDS")
            ->check(CLI::Range(1, 3600).description(""));
        if (i2c) {
            CLI::Option *vcd = path(s, "--vcd", c_.vcd_path, "PATH", "keep the waveform here (default: not kept)");
            CLI::Option *svg = path(s, "--svg", c_.svg_path, "PATH",
                                    "draw the waveform, labelled from the decode (so not with --no-decode), as an "
                                    "SVG picture");
            CLI::Option *no_decode = s->add_flag_callback(
                "--no-decode", [this] { c_.decode = false; }, "do not decode the waveform with sigrok-cli");
            vm->excludes(vcd)->excludes(svg)->excludes(no_decode);
            svg->excludes(no_decode);
        }
        s->add_flag_callback(
             "--json", [this] { c_.output = Output::Json; },
             "print one JSON document instead of text; it holds the scenario")
            ->excludes(s->add_flag_callback(
                "-q,--quiet", [this] { c_.output = Output::Quiet; },
                "print only the summary, not the program's output"));
    }

    // The help of a subcommand: its options by group, then its scenario keys.
    std::string help(Tool tool)
    {
        std::string text = "usage: " + std::string(USAGE[static_cast<int>(tool)]) + "\n" + about(tool);
        for (const char *group : {"Scenario", "Shorthands", "Run"}) {
            std::string lines;
            for (const CLI::Option *o : sub(tool)->get_options()) {
                std::string names;
                for (const std::string &name : o->get_snames())
                    names += "-" + name + ", ";
                for (const std::string &name : o->get_lnames())
                    names += "--" + name;
                if (o->get_group() == group && o->nonpositional())
                    lines += help_line(o->get_type_size() == 0 ? names : names + " " + o->get_type_name(),
                                       o->get_description());
            }
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
        if (c_.tool == Tool::I2c) {
            CLI::App *read = sub(Tool::I2c)->get_subcommand("read"), *write = sub(Tool::I2c)->get_subcommand("write");
            if ((read->parsed() || write->parsed()) && passed_)
                return fail("give either 'read'/'write VALUE' or arguments after '--', not both");
            if (read->parsed() || write->parsed())
                passed_ = write->parsed() ? std::vector<std::string>{write_value_} : std::vector<std::string>{};
        }
        if (passed_)
            settings_.push_back({"args", "", "the arguments after '--'", false, false, Json(*passed_)});
        return true;
    }

    CLI::App app_{"", "board-sim"};
    Command c_;
    std::string file_;
    std::vector<Setting> settings_;
    std::optional<std::vector<std::string>> passed_;
    std::string write_value_;
    std::string error_;
};

} // namespace

ParseResult parse_command_line(const std::vector<std::string> &args)
{
    return Parser().parse(args);
}

} // namespace board_sim
