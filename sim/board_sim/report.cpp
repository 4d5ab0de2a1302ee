// SPDX-License-Identifier: MIT
// The parts of a report, built from what a run left behind.
#include "report.h"

#include <stdio.h>

#include "text.h"

namespace board_sim {

void announce(const Command &c, const std::string &text)
{
    if (c.output != Output::Text)
        return;
    printf("== %s\n", text.c_str());
    if (const std::string &note = c.tool == Tool::Probe ? c.probe.note : c.i2c.note; !note.empty())
        printf("== note: %s\n", note.c_str());
    fflush(stdout);
}

std::string i2c_operation(const std::vector<std::string> &args)
{
    if (args.empty())
        return "read";
    std::string quoted;
    for (const std::string &a : args)
        quoted += " '" + a + "'";
    return (args.size() == 1 ? "write" : "run with") + quoted;
}

Json run_document(const Command &c, const std::string &program, const std::vector<std::string> &args,
                  const sim::RunResult &run, long wall_us)
{
    const Json scenario = c.tool == Tool::Probe ? Json(c.probe) : Json(c.i2c);
    return {{"board_sim", tool_version()},
            {"subcommand", tool_name(c.tool)},
            {"board", c.vm ? "emulated" : "simulated"},
            {"program", {{"path", program}, {"args", args}}},
            {"exit_status", run.exit_status},
            {"timed_out", run.timed_out},
            {"stopped_by_signal", run.stopped ? sim::stop_signal() : 0},
            {"wall_time_s", static_cast<double>(wall_us) / 1e6},
            {"stdout", run.out},
            {"stderr", run.err},
            {"scenario", scenario}};
}

Json frame_json(const sim::ReceivedFrame &f)
{
    return {{"name", f.name()},       {"bytes", sim::hex_bytes(f.bytes)}, {"crc_ok", f.crc_ok},
            {"answered", f.answered}, {"reply", sim::hex_bytes(f.reply)}, {"overrun", f.overrun.size()}};
}

Json control_line_json(const std::string &gpio, const std::string &written)
{
    // As the simulated board counts them: a cycle is a rise after a fall.
    const sim::ControlLineState state = sim::parse_control_line(written);
    return {{"gpio", gpio},
            {"writes", state.writes},
            {"cycles", state.cycles},
            {"left", state.writes.empty()         ? "unwritten"
                     : state.writes.back() == "1" ? "high"
                                                  : "low"}};
}

Json record_json(const char *path, const std::optional<std::string> &before, const std::optional<std::string> &after)
{
    std::vector<std::string> appended;
    const std::string old_text = before.value_or("");
    if (after && after->compare(0, old_text.size(), old_text) == 0)
        appended = lines_of(after->substr(old_text.size()), "");
    return {{"path", path},
            {"before", before ? Json(*before) : Json()},
            {"after", after ? Json(*after) : Json()},
            {"appended", appended}};
}

std::string first_line(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "?" : line;
}

std::vector<std::string> lines_of(const std::string &text, const char *unterminated)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t eol = text.find('\n', at);
        if (eol == std::string::npos) {
            lines.push_back(text.substr(at) + unterminated);
            break;
        }
        lines.push_back(text.substr(at, eol - at));
        at = eol + 1;
    }
    return lines;
}

} // namespace board_sim
