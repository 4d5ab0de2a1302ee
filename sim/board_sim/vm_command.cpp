// SPDX-License-Identifier: MIT
// `board-sim --vm`: the board programs on the emulated board (vm/board-vm:
// the real kernel under qemu-system-mips). The probe meets the simulated hash
// board through the guest's own serial driver; the I2C tool meets the
// kernel's sysfs GPIO lines, with nothing on the bus. What the programs did
// is shown as for the simulated board, from what the guest reports: the
// kernel's trace of the GPIO lines, the record files, the line settings.
#include <stdio.h>

#include "gpio_numbers.h"
#include "report.h"
#include "text.h"
#include "vm_run.h"

namespace board_sim {

namespace {

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

// Boots the board for `job`; false (with board-sim's error printed) when the
// board could not run it.
bool run_job(const sim::vm::VmJob &job, const std::string &program, sim::vm::VmResult *r)
{
    if (sim::vm::run_on_vm(job, r) == 0)
        return true;
    if (sim::stop_signal() != 0)
        return false; // stopped, not failed: main() says so
    fprintf(stderr, "board-sim: cannot run %s on the emulated board: %s\n", program.c_str(), r->error.c_str());
    return false;
}

} // namespace

Json emulated_board_json(const sim::vm::EmulatedBoard &board, int runs)
{
    Json gpio = Json::array();
    for (const auto &[line, direction] : board.gpio_direction) {
        const auto value = board.gpio_value.find(line);
        gpio.push_back({{"line", line},
                        {"role", line_role(line)},
                        {"direction", first_line(direction)},
                        {"value", value == board.gpio_value.end() ? "?" : first_line(value->second)}});
    }
    return {{"stty_before", board.stty_before},
            {"stty_after", board.stty_after},
            {"gpio", gpio},
            {"runs", runs},
            {"console", board.console}};
}

int run_probe_on_vm(const Command &c, const std::string &program)
{
    return run_probe(c, program, {}); // c.vm picks the emulated board
}

int run_i2c_on_vm(const Command &c, const std::string &program)
{
    const std::vector<std::string> &args = c.i2c.args;
    const char *scenario = "the kernel's sysfs lines, pulled up, no device on the bus";
    announce(c, "i2c-bitbang " + i2c_operation(args) + " on the emulated board's gpio" +
                    std::to_string(GPIO_SCL_OFFSET) + " (SCL) and gpio" + std::to_string(GPIO_SDA_OFFSET) +
                    " (SDA): " + scenario);

    sim::vm::VmResult r;
    const sim::vm::VmJob job =
        sim::vm::program_job("i2c-bitbang", program, args, c.timeout_ms > 0 ? c.timeout_ms : DEFAULT_TIMEOUT_MS);
    if (!run_job(job, program, &r))
        return EXIT_SETUP_FAILED;
    Json doc = run_document(c, program, args, sim::vm::as_run_result(r), r.elapsed_ms * 1000);
    doc["description"] = scenario;
    doc["traced"] = {traced_use(r, GPIO_SCL_OFFSET), traced_use(r, GPIO_SDA_OFFSET)};
    doc["emulated_board"] = emulated_board_json(r, 1);
    return print_report(c, doc);
}

} // namespace board_sim
