// SPDX-License-Identifier: MIT
// `board-sim probe`: miner-probe against the simulated hash board, shown as
// text or as one JSON document.
#include <stdio.h>

#include <chrono>
#include <tuple>

#include "explain.h"
#include "run_output.h"
#include "summary.h"
#include "target_command.h"
#include "text.h"

namespace board_sim {

namespace {

// The control lines' names: the emulated board's GPIO chip has base 0; the
// simulated board takes the programs' base (target_gpio_base()).
std::string control_line_of(const Command &c, bool alt_board)
{
    return sim::control_line_gpio(alt_board, c.vm ? 0 : sim::target_gpio_base());
}

Json control_line_json(const std::string &gpio, const std::string &written)
{
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

void print_json(const Command &c, const std::string &program, const sim::ProbeRunReport &report, long wall_us,
                const sim::vm::VmResult *vm)
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
        doc["frames"].push_back({{"name", f.name()},
                                 {"bytes", sim::hex_bytes(f.bytes)},
                                 {"crc_ok", f.crc_ok},
                                 {"answered", f.answered},
                                 {"reply", sim::hex_bytes(f.reply)},
                                 {"overrun", f.overrun.size()}});
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
    doc["emulated_board"] = emulated_board_json(vm);
    print_document(doc);
}

} // namespace

void announce_probe(const Command &c)
{
    const bool alt_board = !c.probe.args.empty();
    if (c.output == Output::Text)
        section(std::string("miner-probe on the ") + (c.vm ? "emulated " : "") + (alt_board ? "alternate" : "default") +
                " board (" + control_line_of(c, alt_board) + ", /dev/" + sim::uart_device_name(alt_board) +
                "): " + describe_scenario(c.probe));
    show_note(c);
    fflush(stdout);
}

int show_probe(const Command &c, const std::string &program, const sim::ProbeRunReport &report, long wall_us,
               const sim::vm::VmResult *vm)
{
    const ProbeScenario &p = c.probe;
    const bool alt_board = !p.args.empty();
    if (c.output == Output::Json) {
        print_json(c, program, report, wall_us, vm);
        return run_status(report.run);
    }

    const int status = show_run(c, report.run, "miner-probe", wall_us, true);
    if (report.runs > 1)
        section("run " + std::to_string(report.runs) + " shown: the host delivered replies too late in the " +
                "earlier ones");
    if (report.frames.empty()) {
        section("frames received by the hash board: none");
    } else {
        section("frames received by the hash board:");
        for (const std::string &line : fold_frames(report.frames))
            printf("   %s\n", line.c_str());
    }
    section("control line " + describe_control_line(control_line_of(c, alt_board), report.control_line));
    if (!report.other_control_line.empty())
        section("other control line " +
                describe_control_line(control_line_of(c, !alt_board), report.other_control_line));
    section("record files:");
    for (const auto &[path, before, after] : {std::tuple{"/usr/bin/minerType", p.miner_type, report.miner_type},
                                              std::tuple{"/usr/bin/tempSensor", p.temp_sensor, report.temp_sensor}})
        for (const std::string &line : describe_record_file(path, before, after))
            printf("   %s\n", line.c_str());
    if (vm != nullptr)
        show_emulated_board(*vm, true);
    return status;
}

int run_probe(const Command &c, const std::string &program, const std::vector<std::string> &launcher)
{
    announce_probe(c);
    sim::ProbeRunConfig config = c.probe.run_config();
    config.backend = c.vm ? sim::Backend::EmulatedBoard : sim::Backend::Namespace;
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
    if (!report.emulated)
        return show_probe(c, program, report, wall_us, nullptr);
    // The emulated board's part, shown as the result of its last boot.
    sim::vm::VmResult vm;
    static_cast<sim::vm::EmulatedBoard &>(vm) = *report.emulated;
    vm.runs = report.runs;
    return show_probe(c, program, report, vm.elapsed_ms * 1000, &vm);
}

} // namespace board_sim
