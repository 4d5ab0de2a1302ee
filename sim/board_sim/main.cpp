// SPDX-License-Identifier: MIT
// board-sim: runs the real miner-probe or i2c-bitbang against a simulated
// board described on the command line, shows the program's output unchanged
// and then what happened on the board; or explains a miner-probe log. See
// `board-sim --help`.
#include <stdio.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "explain.h"
#include "run_output.h"
#include "target_command.h"

using namespace board_sim;

namespace board_sim {

std::string seconds(long us)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

void section(const std::string &text)
{
    printf("== %s\n", text.c_str());
}

void show_note(const Command &c)
{
    const std::string &note = c.tool == Tool::Probe ? c.probe.note : c.i2c.note;
    if (c.output == Output::Text && !note.empty())
        section("note: " + note);
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

int run_status(const sim::RunResult &run)
{
    if (sim::stop_signal() != 0)
        return 128 + sim::stop_signal();
    return run.timed_out ? EXIT_TIMED_OUT : run.exit_status;
}

int show_run(const Command &c, const sim::RunResult &run, const char *name, long wall_us, bool shell)
{
    if (c.output == Output::Text) {
        fflush(stdout);
        fwrite(run.out.data(), 1, run.out.size(), stdout);
        if (!run.out.empty() && run.out.back() != '\n')
            printf("\n== (no newline at the end of the output)\n");
        if (!run.err.empty()) {
            printf("== standard error of %s%s:\n", name, shell ? " (the shell commands it runs included)" : "");
            fflush(stdout);
            fwrite(run.err.data(), 1, run.err.size(), stderr);
            fflush(stderr);
        }
    }
    if (run.stopped)
        section(std::string(name) + " stopped by signal " + std::to_string(sim::stop_signal()) + " after " +
                seconds(wall_us) + ", exit status " + std::to_string(run.exit_status));
    else if (run.timed_out)
        section(std::string(name) + " killed after the time-out (" + seconds(wall_us) + ")");
    else
        section("exit status " + std::to_string(run.exit_status) + " after " + seconds(wall_us));
    fflush(stdout);
    return run_status(run);
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

void print_document(const Json &doc)
{
    fputs(document_text(doc).c_str(), stdout);
}

} // namespace board_sim

namespace {

int explain(const Command &c)
{
    std::string text;
    if (c.explain_path.empty()) {
        std::ostringstream in;
        in << std::cin.rdbuf();
        text = in.str();
    } else {
        std::ifstream file(c.explain_path, std::ios::binary);
        if (!file) {
            fprintf(stderr, "board-sim: cannot read %s\n", c.explain_path.c_str());
            return EXIT_SETUP_FAILED;
        }
        std::ostringstream in;
        in << file.rdbuf();
        text = in.str();
    }
    const LogExplanation e = explain_log(text);
    for (const std::string &line : e.text)
        printf("%s\n", line.c_str());
    return e.probe_log ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = parse_command_line(args);
    const Command &c = parsed.command;
    const std::optional<Tool> tool = c.tool_given ? std::optional<Tool>(c.tool) : std::nullopt;
    if (!parsed.ok) {
        // One line naming the problem; then, for the command line's form, where to look.
        fprintf(stderr, "board-sim: %s\n", parsed.error.c_str());
        if (parsed.usage)
            fputs(try_help_text(tool).c_str(), stderr);
        return EXIT_USAGE;
    }
    if (c.help) {
        fputs(help_text(tool).c_str(), stdout);
        return 0;
    }
    if (c.version) {
        fputs(version_text().c_str(), stdout);
        return 0;
    }
    if (c.tool == Tool::Explain)
        return explain(c);

    std::string why;
    const sim::Target target =
        sim::find_target({.program = c.tool == Tool::Probe ? sim::Shipped::Probe : sim::Shipped::I2c,
                          .path = c.program,
                          .emulator = c.emulator,
                          .emulated_board = c.vm});
    if (!target.error.empty()) {
        fprintf(stderr, "board-sim: %s\n", target.error.c_str());
        return EXIT_SETUP_FAILED;
    }
    if (c.vm) {
        // qemu needs no privileges and the host's paths are never involved.
        if (!sim::stop_on_signals(&why)) {
            fprintf(stderr, "board-sim: %s\n", why.c_str());
            return EXIT_SETUP_FAILED;
        }
        const int status =
            c.tool == Tool::Probe ? run_probe_on_vm(c, target.program) : run_i2c_on_vm(c, target.program);
        if (sim::stop_signal() != 0) {
            fprintf(stderr, "board-sim: stopped by signal %d\n", sim::stop_signal());
            return 128 + sim::stop_signal();
        }
        return status;
    }
    if (!sim::Sandbox::supported(&why)) {
        fprintf(stderr,
                "board-sim: cannot set up the simulated board: it %s\n"
                "board-sim: run it as root\n",
                why.c_str());
        return EXIT_SETUP_FAILED;
    }
    if (!sim::isolate_mounts(&why) || !sim::stop_on_signals(&why)) {
        fprintf(stderr, "board-sim: %s\n", why.c_str());
        return EXIT_SETUP_FAILED;
    }
    const int status = c.tool == Tool::Probe ? run_probe(c, target.program, target.launcher)
                                             : run_i2c(c, target.program, target.launcher);
    if (sim::stop_signal() != 0) {
        fprintf(stderr, "board-sim: stopped by signal %d\n", sim::stop_signal());
        return 128 + sim::stop_signal();
    }
    return status;
}
