// SPDX-License-Identifier: MIT
// `board-sim probe`: miner-probe against the simulated hash board, shown as
// text or as one JSON document.
#include <stdio.h>

#include <chrono>

#include "explain.h"
#include "report.h"
#include "target_command.h"

namespace board_sim {

namespace {

// The control lines' names: the emulated board's GPIO chip has base 0; the
// simulated board takes the programs' base (target_gpio_base()).
std::string control_line_of(const Command &c, bool alt_board)
{
    return sim::control_line_gpio(alt_board, c.vm ? 0 : sim::target_gpio_base());
}

Json probe_report(const Command &c, const std::string &program, const sim::ProbeRunReport &report, long wall_us)
{
    const ProbeScenario &p = c.probe;
    const bool alt_board = !p.args.empty();
    Json doc = run_document(c, program, p.args, report.run, wall_us);
    doc["description"] = describe_scenario(p);
    doc["board_variant"] = {{"board", alt_board ? "alternate" : "default"},
                            {"control_line", control_line_of(c, alt_board)},
                            {"uart", "/dev/" + sim::uart_device_name(alt_board)}};
    doc["runs"] = report.runs;
    doc["late_replies"] = report.late_replies;
    doc["frames"] = Json::array();
    for (const sim::ReceivedFrame &f : report.frames)
        doc["frames"].push_back(frame_json(f));
    // The replies as the program read them, from its own trace lines.
    doc["replies"] = Json::array();
    for (const LoggedExchange &x : logged_exchanges(report.run.out))
        doc["replies"].push_back({{"line", x.line},
                                  {"frame", x.frame},
                                  {"sent", x.sent},
                                  {"write_failed", x.write_failed},
                                  {"read", x.read},
                                  {"asked", x.asked},
                                  {"received", x.received},
                                  {"reply", x.reply},
                                  {"verdict", x.verdict}});
    doc["control_line"] = control_line_json(control_line_of(c, alt_board), report.control_line);
    doc["other_control_line"] = control_line_json(control_line_of(c, !alt_board), report.other_control_line);
    doc["record_files"] = {record_json("/usr/bin/minerType", p.miner_type, report.miner_type),
                           record_json("/usr/bin/tempSensor", p.temp_sensor, report.temp_sensor)};
    doc["emulated_board"] = report.emulated ? emulated_board_json(*report.emulated, report.runs) : Json();
    return doc;
}

} // namespace

void announce_probe(const Command &c)
{
    const bool alt_board = !c.probe.args.empty();
    announce(c, std::string("miner-probe on the ") + (c.vm ? "emulated " : "") + (alt_board ? "alternate" : "default") +
                    " board (" + control_line_of(c, alt_board) + ", /dev/" + sim::uart_device_name(alt_board) +
                    "): " + describe_scenario(c.probe));
}

int run_probe(const Command &c, const std::string &program, const std::vector<std::string> &launcher)
{
    announce_probe(c);
    sim::ProbeRunConfig config = c.probe.run_config();
    config.emulated_board = c.vm;
    config.binary = program;
    config.launcher = launcher;
    config.gpio_base = c.vm ? 0 : sim::target_gpio_base(); // as control_line_of() names the lines
    config.timeout_ms = c.timeout_ms > 0 ? c.timeout_ms : DEFAULT_TIMEOUT_MS;

    const auto start = std::chrono::steady_clock::now();
    const sim::ProbeRunReport report = sim::run_miner_probe(config);
    const long wall_us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    // A program that never started is board-sim's own error, not the program's status.
    const std::string why = report.setup_error.empty() ? report.run.exec_error : report.setup_error;
    if (!why.empty()) {
        if (sim::stop_signal() != 0)
            return EXIT_SETUP_FAILED; // stopped, not failed: main() says so
        fprintf(stderr, "board-sim: cannot run %s%s: %s\n", program.c_str(), c.vm ? " on the emulated board" : "",
                why.c_str());
        return EXIT_SETUP_FAILED;
    }
    // On the emulated board the time is that of its last boot, boot included.
    return print_report(
        c, probe_report(c, program, report, report.emulated ? report.emulated->elapsed_ms * 1000 : wall_us));
}

} // namespace board_sim
