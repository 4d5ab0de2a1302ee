// SPDX-License-Identifier: MIT
#include "probe_run.h"

#include <sys/stat.h>

#include "gpio_numbers.h"
#include "probe_lines.h"
#include "pseudo_terminal.h"

namespace sim {

std::string uart_device_name(bool alt_board)
{
    return alt_board ? "ttyS0" : "ttyATH0";
}

std::string control_line_gpio(bool alt_board, int gpio_base)
{
    return "gpio" + std::to_string(gpio_base + (alt_board ? GPIO_ALT_CONTROL_OFFSET : GPIO_DEFAULT_CONTROL_OFFSET));
}

int count_late_replies(const std::string &out, const std::vector<ReceivedFrame> &frames)
{
    const std::vector<board_sim::ProbeLine> lines = board_sim::probe_lines(out);
    int late = 0;
    size_t frame = 0;
    // The line after a frame's: a time-out means the reply came too late.
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i].said == board_sim::Said::Sent && frame < frames.size() && frames[frame++].answered &&
            lines[i + 1].said == board_sim::Said::TimedOut)
            ++late;
    return late;
}

namespace {

ProbeRunReport run_in_namespace(const ProbeRunConfig &config)
{
    ProbeRunReport report;
    const bool alt_board = !config.args.empty();
    const PseudoTerminal pty;
    if (!pty.ok()) {
        report.setup_error = "cannot open a pseudo-terminal";
        return report;
    }
    SandboxOptions options;
    if (config.uart_present)
        options.devices.emplace_back(uart_device_name(alt_board), pty.slave_path());
    options.usr_bin_read_only = config.usr_bin_read_only;
    Sandbox sandbox(options);
    const auto line_dir = [&](bool alt) { return sandbox.gpio_dir() + "/" + control_line_gpio(alt, config.gpio_base); };
    for (const bool alt : {false, true})
        if (config.gpio_files && mkdir(line_dir(alt).c_str(), 0755) == 0)
            Sandbox::write_file(line_dir(alt) + "/value", "");
    const std::string usr_bin = sandbox.usr_bin_dir();
    if (config.miner_type)
        Sandbox::write_file(usr_bin + "/minerType", *config.miner_type);
    if (config.temp_sensor)
        Sandbox::write_file(usr_bin + "/tempSensor", *config.temp_sensor);

    HashBoardScenario scenario = config.board;
    scenario.control_line_path = line_dir(alt_board) + "/value";
    HashBoard board(pty.master(), scenario);
    board.start();
    std::vector<std::string> argv = config.launcher;
    argv.push_back(config.binary);
    argv.insert(argv.end(), config.args.begin(), config.args.end());
    report.run = sandbox.run(argv, config.timeout_ms);
    board.stop();

    if (Sandbox::file_exists(usr_bin + "/minerType"))
        report.miner_type = Sandbox::read_file(usr_bin + "/minerType");
    if (Sandbox::file_exists(usr_bin + "/tempSensor"))
        report.temp_sensor = Sandbox::read_file(usr_bin + "/tempSensor");
    report.control_line = Sandbox::read_file(scenario.control_line_path);
    report.other_control_line = Sandbox::read_file(line_dir(!alt_board) + "/value");
    report.frames = board.frames();
    return report;
}

ProbeRunReport run_on_emulated_board(const ProbeRunConfig &config)
{
    ProbeRunReport report;
    if (!config.uart_present || !config.gpio_files || config.usr_bin_read_only || !config.launcher.empty()) {
        report.setup_error = "the emulated board always has its UART, GPIO files and a writable /usr/bin, "
                             "and runs the program itself";
        return report;
    }
    vm::VmJob job = vm::program_job("miner-probe", config.binary, config.args, config.timeout_ms);
    job.board = config.board;
    if (config.miner_type)
        job.records["minerType"] = *config.miner_type;
    if (config.temp_sensor)
        job.records["tempSensor"] = *config.temp_sensor;
    job.gpio_base = config.gpio_base;
    vm::VmResult r;
    if (vm::run_on_vm(job, &r) != 0) {
        report.setup_error = r.error;
        return report;
    }
    report.run = vm::as_run_result(r);
    if (r.records.contains("minerType"))
        report.miner_type = r.records.at("minerType");
    if (r.records.contains("tempSensor"))
        report.temp_sensor = r.records.at("tempSensor");
    // The levels the kernel traced, one a line, as the namespace's value files hold them.
    for (const bool alt : {false, true}) {
        std::string &text = alt == !config.args.empty() ? report.control_line : report.other_control_line;
        for (const std::string &level :
             r.writes_to(config.gpio_base + (alt ? GPIO_ALT_CONTROL_OFFSET : GPIO_DEFAULT_CONTROL_OFFSET)))
            text += level + "\n";
    }
    report.frames = std::move(r.frames);
    report.emulated = std::move(static_cast<vm::EmulatedBoard &>(r));
    return report;
}

} // namespace

int rerun_while_late(int reruns, const std::function<bool()> &run)
{
    int runs = 1;
    while (run() && runs <= reruns && stop_signal() == 0)
        ++runs;
    return runs;
}

ProbeRunReport run_miner_probe(const ProbeRunConfig &config)
{
    ProbeRunReport report;
    report.runs = rerun_while_late(config.reruns_on_late_reply, [&config, &report] {
        report = config.emulated_board ? run_on_emulated_board(config) : run_in_namespace(config);
        report.late_replies = count_late_replies(report.run.out, report.frames);
        return report.setup_error.empty() && report.late_replies > 0;
    });
    return report;
}

} // namespace sim
