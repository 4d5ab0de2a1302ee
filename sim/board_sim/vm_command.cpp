// SPDX-License-Identifier: MIT
// `board-sim --vm`: the board programs on the emulated board (vm/board-vm:
// the real kernel under qemu-system-mips). The probe meets the simulated hash
// board through the guest's own serial driver; the I2C tool meets the
// kernel's sysfs GPIO lines, with nothing on the bus. What the programs did
// is shown as for the simulated board, from what the guest reports: the
// kernel's trace of the GPIO lines, the record files, the line settings.
#include <stdio.h>

#include <regex>

#include "gpio_numbers.h"
#include "run_output.h"
#include "summary.h"
#include "text.h"

namespace board_sim {

namespace {

std::string first_line(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "?" : line;
}

const char *line_role(int line)
{
    switch (line) {
    case GPIO_ALT_CONTROL_OFFSET:
        return "alternate control line";
    case GPIO_SCL_OFFSET:
        return "I2C clock";
    case GPIO_SDA_OFFSET:
        return "I2C data";
    case GPIO_DEFAULT_CONTROL_OFFSET:
        return "control line";
    default:
        return "?";
    }
}

// One exported line's files as the guest left them ("?" when unreadable).
struct LineFiles {
    int line;
    std::string direction, value;
};

// The lines the guest reported, in order of their numbers.
std::vector<LineFiles> line_files(const sim::vm::VmResult &vm)
{
    std::vector<LineFiles> lines;
    for (const auto &[line, direction] : vm.gpio_direction) {
        const auto value = vm.gpio_value.find(line);
        lines.push_back({line, first_line(direction), value == vm.gpio_value.end() ? "?" : first_line(value->second)});
    }
    return lines;
}

// What of `stty -a` a probe depends on: "115200 baud, -parenb cs8 -cstopb
// -crtscts -ixon -icanon, min = 0, time = 2"; the whole text is in --json.
// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
// "literal" + std::string at -O2.
std::string line_settings(const std::string &stty)
{
    static const std::regex speed(R"(speed (\d+) baud)");
    static const std::regex wait(R"(min = (\d+); time = (\d+))");
    static const std::regex word(R"((^|\s)(-?(cs[5-8]|parenb|cstopb|crtscts|ixon|icanon))(?=\s|$))");
    std::smatch m;
    if (!std::regex_search(stty, m, speed))
        return first_line(stty);
    std::string text = m[1].str();
    text += " baud,";
    for (auto it = std::sregex_iterator(stty.begin(), stty.end(), word); it != std::sregex_iterator(); ++it) {
        text += ' ';
        text += (*it)[2].str();
    }
    if (std::regex_search(stty, m, wait)) {
        text += ", min = ";
        text += m[1].str();
        text += ", time = ";
        text += m[2].str();
    }
    return text;
}

// "gpio19: 12 level writes, 9 reads, 4 direction changes".
std::string traced_use(const sim::vm::VmResult &r, int line)
{
    int sets = 0;
    int gets = 0;
    int directions = 0;
    for (const sim::vm::GpioEvent &e : r.gpio_events) {
        if (e.line != line)
            continue;
        sets += e.what == "set";
        gets += e.what == "get";
        directions += e.what == "in" || e.what == "out";
    }
    return "gpio" + std::to_string(line) + ": " + sim::plural(sets, "level write", "level writes") + ", " +
           sim::plural(gets, "read", "reads") + ", " + sim::plural(directions, "direction change", "direction changes");
}

sim::vm::VmJob job_for(const Command &c, const std::string &program, const char *name,
                       const std::vector<std::string> &args)
{
    sim::vm::VmJob job;
    job.command = {name};
    job.command.insert(job.command.end(), args.begin(), args.end());
    // The chosen program replaces the one the launcher brings.
    job.files.emplace_back(program, std::string("/usr/bin/") + name);
    job.timeout_s = (c.timeout_ms > 0 ? c.timeout_ms : DEFAULT_TIMEOUT_MS) / 1000;
    return job;
}

// Boots the board for `job`; false (with board-sim's error printed) when the
// board could not run it.
bool run_job(const sim::vm::VmJob &job, const std::string &program, sim::vm::VmResult *r)
{
    if (sim::vm::run_on_vm(job, r) == 0)
        return true;
    if (sim::stop_signal() != 0)
        return false; // stopped, not failed: main() says so
    std::string error = r->error;
    while (!error.empty() && error.back() == '\n')
        error.pop_back();
    fprintf(stderr, "board-sim: cannot run %s on the emulated board: %s\n", program.c_str(), error.c_str());
    return false;
}

} // namespace

void show_emulated_board(const sim::vm::VmResult &vm, bool serial_line)
{
    if (serial_line)
        section("serial line after the run: " + line_settings(vm.stty_after));
    std::string files = "GPIO files after the run:";
    for (const LineFiles &l : line_files(vm))
        files += " gpio" + std::to_string(l.line) + " " + l.direction + " " + l.value + ";";
    files.pop_back();
    section(files);
}

Json emulated_board_json(const sim::vm::VmResult *vm)
{
    if (vm == nullptr)
        return nullptr;
    Json gpio = Json::array();
    for (const LineFiles &l : line_files(*vm))
        gpio.push_back({{"line", l.line}, {"role", line_role(l.line)}, {"direction", l.direction}, {"value", l.value}});
    return {{"stty_before", vm->stty_before},
            {"stty_after", vm->stty_after},
            {"gpio", gpio},
            {"runs", vm->runs},
            {"console", vm->console}};
}

int run_probe_on_vm(const Command &c, const std::string &program)
{
    return run_probe(c, program, {}); // c.vm picks the emulated board
}

int run_i2c_on_vm(const Command &c, const std::string &program)
{
    const std::vector<std::string> &args = c.i2c.args;
    const std::string what = i2c_operation(args);
    const char *scenario = "the kernel's sysfs lines, pulled up, no device on the bus";
    if (c.output == Output::Text)
        section("i2c-bitbang " + what + " on the emulated board's gpio" + std::to_string(GPIO_SCL_OFFSET) +
                " (SCL) and gpio" + std::to_string(GPIO_SDA_OFFSET) + " (SDA): " + scenario);
    show_note(c);
    fflush(stdout);

    sim::vm::VmResult r;
    if (!run_job(job_for(c, program, "i2c-bitbang", args), program, &r))
        return EXIT_SETUP_FAILED;
    const sim::RunResult run = sim::vm::as_run_result(r);
    const long wall_us = r.elapsed_ms * 1000;
    if (c.output == Output::Json) {
        Json doc = run_document(c, program, args, run, wall_us);
        doc["description"] = scenario;
        doc["traced"] = {traced_use(r, GPIO_SCL_OFFSET), traced_use(r, GPIO_SDA_OFFSET)};
        doc["emulated_board"] = emulated_board_json(&r);
        print_document(doc);
        return run_status(run);
    }
    const int status = show_run(c, run, "i2c-bitbang", wall_us, false);
    section("kernel trace: " + traced_use(r, GPIO_SCL_OFFSET) + "; " + traced_use(r, GPIO_SDA_OFFSET));
    show_emulated_board(r, false);
    return status;
}

} // namespace board_sim
