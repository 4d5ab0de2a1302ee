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
    bool has_arg = true;            // a shorthand without one sets a fixed value
    std::optional<Json> value = {}; // given whole, not as text
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
        const std::string first = args.empty() ? "" : args[0];
        // Arguments after the first "--" are the program's, whatever they look like.
        const auto dashes = std::find(args.begin(), args.end(), "--");
        if (dashes != args.end())
            passed_ = std::vector<std::string>(dashes + 1, args.end());
        args.erase(dashes, args.end());
        std::reverse(args.begin(), args.end()); // as CLI11 takes them
        try {
            expand_abbreviations(args);
            app_.parse(args);
        } catch (const CLI::Success &e) {
            (dynamic_cast<const CLI::CallForHelp *>(&e) != nullptr ? c_.help : c_.version) = true;
            r.ok = true;
        } catch (const CLI::ParseError &e) {
            r.error = e.what();
            // A word left over on the probe's command line was most likely meant for the program.
            if (first == "probe" && dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr &&
                r.error.find(": -") == std::string::npos)
                r.error += "; pass program arguments after '--'";
            r.usage = true;
        }
        for (Tool tool : TOOLS)
            if (sub(tool)->parsed() || (r.usage && first == tool_name(tool)))
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
        r.ok =
            operands() && (c_.tool != Tool::Probe || scenario(c_.probe)) && (c_.tool != Tool::I2c || scenario(c_.i2c));
        r.error = error_;
        r.command = c_;
        return r;
    }

    CLI::App *sub(Tool tool) { return app_.get_subcommand(tool_name(tool)); }

private:
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
            if (tool == Tool::Explain)
                s->add_option("FILE", c_.explain_path);
            else
                run_options(s, tool);
            s->option_defaults()->group("Run");
            s->set_help_flag("-h,--help", "show this help");
            version(s);
        }
        app_.set_help_flag("-h,--help");
        version(&app_);
    }

    void version(CLI::App *s)
    {
        s->add_flag_callback(
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
             std::string("the program to run (default: $") + (i2c ? I2C_BITBANG_VARIABLE : MINER_PROBE_VARIABLE) +
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
        s->add_option("--timeout", seconds_, "kill the program after this long, 1 to 3600 (default 90)")
            ->type_name("SECONDS")
            ->check(CLI::Range(1, 3600).description(""));
        if (i2c) {
            CLI::Option *vcd = path(s, "--vcd", c_.vcd_path, "PATH", "keep the waveform here (default: not kept)");
            CLI::Option *svg = path(s, "--svg", c_.svg_path, "PATH",
                                    "draw the waveform, labelled from the decode (so not with --no-decode), as an "
                                    "SVG picture");
            CLI::Option *no_decode =
                s->add_flag("--no-decode", no_decode_, "do not decode the waveform with sigrok-cli");
            vm->excludes(vcd)->excludes(svg)->excludes(no_decode);
            svg->excludes(no_decode);
        }
        s->add_flag("--json", json_, "print one JSON document instead of text; it holds the scenario")
            ->excludes(s->add_flag("-q,--quiet", quiet_, "print only the summary, not the program's output"));
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
    template <class S>
    bool scenario(S &s)
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
            if (set.value ? !k->read(s, *set.value, &why) : !read_text(*k, s, set.text, &why))
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

} // namespace

ParseResult parse_command_line(const std::vector<std::string> &args)
{
    return Parser().parse(args);
}

std::vector<OptionRow> option_rows(Tool tool, const std::string &group)
{
    std::vector<OptionRow> rows;
    Parser parser;
    for (const CLI::Option *o : parser.sub(tool)->get_options()) {
        std::string names;
        for (const std::string &name : o->get_snames())
            names += "-" + name + ", ";
        for (const std::string &name : o->get_lnames())
            names += "--" + name;
        if (o->get_group() == group && o->nonpositional())
            rows.push_back({o->get_type_size() == 0 ? names : names + " " + o->get_type_name(), o->get_description()});
    }
    return rows;
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
