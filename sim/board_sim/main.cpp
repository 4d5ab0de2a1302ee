// SPDX-License-Identifier: MIT
// board-sim: runs the real miner-probe or i2c-bitbang against a simulated
// board described on the command line, shows the program's output unchanged
// and then what happened on the board; or explains a miner-probe log. See
// `board-sim --help`.
#include <stdio.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "explain.h"
#include "report.h"
#include "sandbox.h"
#include "target_command.h"
#include "text.h"

using namespace board_sim;

namespace {

int explain(const Command &c)
{
    std::ifstream file;
    if (!c.explain_path.empty()) {
        file.open(c.explain_path, std::ios::binary);
        if (!file) {
            fprintf(stderr, "board-sim: cannot read %s\n", c.explain_path.c_str());
            return EXIT_SETUP_FAILED;
        }
    }
    std::ostringstream in;
    in << (c.explain_path.empty() ? std::cin.rdbuf() : file.rdbuf());
    const std::string log = in.str();
    const std::string name = c.explain_path.empty() ? "from standard input" : c.explain_path;
    const LogExplanation whole = explain_log(log);
    if (!whole.probe_log && c.as_scenario) {
        fprintf(stderr, "board-sim: %s holds no miner-probe run\n", name.c_str());
        return 1;
    }
    const std::optional<long> run = c.explain_run.empty() ? 0 : sim::parse_number(c.explain_run, 1, whole.runs);
    if (whole.probe_log && !run) {
        fprintf(stderr, "board-sim: --run %s: the log holds %s, counted from 1\n", c.explain_run.c_str(),
                sim::plural(whole.runs, "run", "runs").c_str());
        return 2;
    }
    const int chosen = static_cast<int>(run.value_or(0)); // 0: every run, or the last for a scenario
    if (c.as_scenario) {
        fputs(document_text(scenario_document(scenario_of_log(log, name, chosen))).c_str(), stdout);
        return 0;
    }
    for (const std::string &line : chosen > 0 ? explain_log(log, {.run = chosen}).text : whole.text)
        printf("%s\n", line.c_str());
    return whole.probe_log ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const ParseResult parsed = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    const Command &c = parsed.command;
    if (!parsed.ok) {
        fputs(parsed.error.c_str(), stderr);
        return 2; // bad arguments or a bad scenario
    }
    if (!parsed.text.empty()) {
        fputs(parsed.text.c_str(), stdout);
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
    // On the emulated board qemu needs no privileges and the host's paths are
    // never involved; the simulated board needs a private mount namespace.
    if (!c.vm && !sim::Sandbox::supported(&why)) {
        fprintf(stderr,
                "board-sim: cannot set up the simulated board: it %s\n"
                "board-sim: run it as root\n",
                why.c_str());
        return EXIT_SETUP_FAILED;
    }
    if ((!c.vm && !sim::isolate_mounts(&why)) || !sim::stop_on_signals(&why)) {
        fprintf(stderr, "board-sim: %s\n", why.c_str());
        return EXIT_SETUP_FAILED;
    }
    const int status = (c.tool == Tool::Probe ? run_probe : run_i2c)(c, target.program, target.launcher);
    if (sim::stop_signal() != 0) {
        fprintf(stderr, "board-sim: stopped by signal %d\n", sim::stop_signal());
        return 128 + sim::stop_signal();
    }
    return status;
}
