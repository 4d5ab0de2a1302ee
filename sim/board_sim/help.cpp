// SPDX-License-Identifier: MIT
// board-sim's --help: the general help, and each subcommand's options (from
// the command line itself) and scenario keys (from their table).
#include "command_line.h"
#include "gpio_numbers.h"

namespace board_sim {

namespace {

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

template <class S>
std::string key_lines()
{
    std::string text = "Scenario keys (--set KEY=VALUE; [default]; a list takes one item a --set, or\n"
                       "a JSON array; 'null' clears what may be null):\n";
    for (const Key<S> &k : scenario_keys<S>())
        text += help_line(k.name, std::string(k.help) + " [" + shown(k.write(S{}), k.hex) + "]");
    return text;
}

constexpr const char *TAIL = "\nThe program runs in a private mount namespace (root is needed) where the\n"
                             "simulated board stands behind its compiled-in paths; nothing on the host\n"
                             "changes (with --vm it runs on the emulated board, and no root is needed).\n"
                             "Its output is shown unchanged, then what happened on the board. A key or\n"
                             "option that has no effect on the chosen scenario is refused.\n"
                             "Exit status: the program's own; 1 when the run could not be set up; 2 for\n"
                             "bad arguments or a bad scenario; 124 when the program was killed after the\n"
                             "time-out; 128 + N when stopped by signal N (passed on to the program).\n";

} // namespace

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
                                     : "Runs i2c-bitbang against simulated gpio" + std::to_string(GPIO_SCL_OFFSET) +
                                           " (SCL) and gpio" + std::to_string(GPIO_SDA_OFFSET) +
                                           " (SDA) with an I2C\ndevice on them; 'read' (the default) runs it "
                                           "without an argument, 'write\nVALUE' passes VALUE unchanged.\n\n";
    for (const char *group : {"Scenario", "Shorthands", "Run"}) {
        std::string lines;
        for (const OptionRow &row : option_rows(*tool, group))
            lines += help_line(row.names, row.help);
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

} // namespace board_sim
