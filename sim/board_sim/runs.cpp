// SPDX-License-Identifier: MIT
// board-sim's runs, each ending in its one report (the --json document):
// miner-probe against the simulated hash board, on the simulated board or on
// the emulated one (vm/board-vm: the real kernel under qemu-system-mips,
// whose own serial driver meets the hash board); i2c-bitbang against the
// simulated GPIO lines and device, with the waveform kept, drawn or removed as
// asked, or against the emulated board's sysfs GPIO lines, with nothing on
// the bus. What the emulated board did comes from what the guest reports: the
// kernel's trace of the GPIO lines, the record files, the line settings.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "explain.h"
#include "gpio_fs.h"
#include "gpio_numbers.h"
#include "process.h"
#include "report.h"
#include "sigrok_decode.h"
#include "target_command.h"
#include "text.h"

namespace board_sim {

namespace {

// The drawing takes about a second; the limit only keeps a hung one from
// holding board-sim up.
constexpr int DRAWING_TIME_MS = 300000;

// "== text" and the scenario's note, in text only: what shows before the
// run, while it goes on.
void announce(const Command &c, const std::string &text)
{
    if (c.output != Output::Text)
        return;
    printf("== %s\n", text.c_str());
    if (const std::string &note = c.tool == Tool::Probe ? c.probe.note : c.i2c.note; !note.empty())
        printf("== note: %s\n", note.c_str());
    fflush(stdout);
}

// A program that never started is board-sim's own error, never the
// program's status; after a stop signal main() says what happened.
int cannot_run(const Command &c, const std::string &program, const std::string &why)
{
    if (sim::stop_signal() == 0)
        fprintf(stderr, "board-sim: cannot run %s%s: %s\n", program.c_str(), c.vm ? " on the emulated board" : "",
                why.c_str());
    return EXIT_SETUP_FAILED;
}

// What i2c-bitbang is asked to do: "read", "write '200'", or, for other
// arguments, "run with '1' '2'".
std::string i2c_operation(const std::vector<std::string> &args)
{
    std::string quoted;
    for (const std::string &a : args)
        quoted += " '" + a + "'";
    return args.empty() ? "read" : (args.size() == 1 ? "write" : "run with") + quoted;
}

// The fields every report starts with: version, subcommand, board, program,
// exit status, time-out, stop, wall time, the program's output, the scenario
// and its description.
Json run_document(const Command &c, const std::string &program, const sim::RunResult &run, long wall_us)
{
    const bool probe = c.tool == Tool::Probe;
    return {{"board_sim", MINER_TOOLS_VERSION},
            {"subcommand", tool_name(c.tool)},
            {"board", c.vm ? "emulated" : "simulated"},
            {"program", {{"path", program}, {"args", probe ? c.probe.args : c.i2c.args}}},
            {"exit_status", run.exit_status},
            {"timed_out", run.timed_out},
            {"stopped_by_signal", run.stopped ? sim::stop_signal() : 0},
            {"wall_time_s", static_cast<double>(wall_us) / 1e6},
            {"stdout", run.out},
            {"stderr", run.err},
            {"scenario", probe ? Json(c.probe) : Json(c.i2c)},
            {"description", probe ? describe_scenario(c.probe) : describe_scenario(c.i2c)}};
}

// The report's "emulated_board": the hash-board UART's settings before and
// after the run, the GPIO files after it, the boots behind the result, the
// guest's console.
Json emulated_board_json(const sim::vm::EmulatedBoard &board, int runs)
{
    Json gpio = Json::array();
    for (const auto &[line, direction] : board.gpio_direction) {
        const auto value = board.gpio_value.find(line);
        gpio.push_back({{"line", line},
                        {"role", line == GPIO_ALT_CONTROL_OFFSET       ? "alternate control line"
                                 : line == GPIO_SCL_OFFSET             ? "I2C clock"
                                 : line == GPIO_SDA_OFFSET             ? "I2C data"
                                 : line == GPIO_DEFAULT_CONTROL_OFFSET ? "control line"
                                                                       : "?"},
                        {"direction", first_line(direction)},
                        {"value", value == board.gpio_value.end() ? "?" : first_line(value->second)}});
    }
    return {{"stty_before", board.stty_before},
            {"stty_after", board.stty_after},
            {"gpio", gpio},
            {"runs", runs},
            {"console", board.console}};
}

// "gpio19: 12 level writes, 9 reads, 4 direction changes".
std::string traced_use(const sim::vm::VmResult &r, int line)
{
    const auto count = [&](std::initializer_list<const char *> what) {
        return std::count_if(r.gpio_events.begin(), r.gpio_events.end(), [&](const sim::vm::GpioEvent &e) {
            return e.line == line && std::find(what.begin(), what.end(), e.what) != what.end();
        });
    };
    return "gpio" + std::to_string(line) + ": " + sim::plural(count({"set"}), "level write", "level writes") + ", " +
           sim::plural(count({"get"}), "read", "reads") + ", " +
           sim::plural(count({"in", "out"}), "direction change", "direction changes");
}

// Where the waveform goes: the path asked for, created now so that a path
// that cannot be written is refused before the run; or a temporary file.
std::string waveform_path(const Command &c, std::string *why)
{
    std::string path = c.vcd_path.empty() ? sim::temp_directory() + "/board-sim-i2c-XXXXXX.vcd" : c.vcd_path;
    const int fd = c.vcd_path.empty() ? mkstemps(path.data(), 4)
                                      : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = (c.vcd_path.empty() ? "cannot create " : "cannot write the waveform to ") + path + ": " +
               std::strerror(errno);
        return "";
    }
    close(fd);
    return path;
}

// Draws the waveform with scripts/waveform_svg.py; false with `why` set when
// that fails.
bool draw_svg(const std::string &vcd, const std::string &svg, const std::string &title, std::string *why)
{
    const sim::RunResult run =
        sim::run_process({.argv = {"python3", WAVEFORM_SVG_PATH, "-o", svg, "--panel", title, vcd}}, DRAWING_TIME_MS);
    if (run.exec_errno != 0)
        *why = "cannot run " + run.exec_error;
    else if (run.exit_status != 0)
        *why = std::string(WAVEFORM_SVG_PATH) + " failed";
    return why->empty();
}

Json event_texts(const sim::I2cEvents &events)
{
    Json out = Json::array();
    for (const sim::I2cEvent &e : events)
        out.push_back(sim::to_string(e));
    return out;
}

Json text_or_null(const std::string &text)
{
    return text.empty() ? Json() : Json(text);
}

// The bus as the device saw it and, when the waveform at `vcd` is decoded,
// as sigrok-cli reads it.
Json transaction(const sim::GpioBoard &board, const Command &c, const std::string &vcd)
{
    Json t = {
        {"device_saw", event_texts(board.device().transcript())}, {"decoded", nullptr}, {"decode_error", nullptr}};
    std::string why;
    if (vcd.empty() || !c.decode)
        return t;
    if (!sim::sigrok_available(&why))
        return t["decode_error"] = text_or_null(why), t;
    const sim::I2cDecode d = sim::decode_i2c_vcd(vcd);
    if (d.ok)
        t["decoded"] = event_texts(d.events);
    else
        t["decode_error"] = text_or_null(d.error);
    return t;
}

// The opens, writes, reads and closes of all the GPIO files.
Json gpio_file_counts(const sim::GpioBoard &board)
{
    using Counts = sim::GpioFileCounts;
    static constexpr std::pair<const char *, int Counts::*> FIELDS[] = {
        {"opens", &Counts::opens},   {"failed_opens", &Counts::failed_opens},
        {"writes", &Counts::writes}, {"failed_writes", &Counts::failed_writes},
        {"reads", &Counts::reads},   {"closes", &Counts::closes}};
    Json n;
    for (const auto &[name, count] : FIELDS) {
        int total = 0;
        for (sim::GpioFile f : sim::GPIO_FILES)
            total += board.counts(f).*count;
        n[name] = total;
    }
    return n;
}

} // namespace

int run_probe(const Command &c, const std::string &program, const std::vector<std::string> &launcher)
{
    const ProbeScenario &p = c.probe;
    const bool alt_board = !p.args.empty();
    // The emulated board's GPIO chip has base 0; the simulated board takes the programs' base.
    const int gpio_base = c.vm ? 0 : sim::target_gpio_base();
    const std::string line = sim::control_line_gpio(alt_board, gpio_base);
    const std::string uart = "/dev/" + sim::uart_device_name(alt_board);
    announce(c, std::string("miner-probe on the ") + (c.vm ? "emulated " : "") + (alt_board ? "alternate" : "default") +
                    " board (" + line + ", " + uart + "): " + describe_scenario(p));
    sim::ProbeRunConfig config = p.run_config();
    config.emulated_board = c.vm;
    config.binary = program;
    config.launcher = launcher;
    config.gpio_base = gpio_base;
    config.timeout_ms = c.timeout_ms;

    const auto start = std::chrono::steady_clock::now();
    const sim::ProbeRunReport report = sim::run_miner_probe(config);
    const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (!report.setup_error.empty() || !report.run.exec_error.empty())
        return cannot_run(c, program, report.setup_error.empty() ? report.run.exec_error : report.setup_error);
    // On the emulated board the time is that of its last boot, boot included.
    Json doc = run_document(c, program, report.run,
                            report.emulated ? report.emulated->elapsed_ms * 1000 : static_cast<long>(wall.count()));
    doc["board_variant"] = {{"board", alt_board ? "alternate" : "default"}, {"control_line", line}, {"uart", uart}};
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
    doc["control_line"] = control_line_json(line, report.control_line);
    doc["other_control_line"] =
        control_line_json(sim::control_line_gpio(!alt_board, gpio_base), report.other_control_line);
    doc["record_files"] = {record_json("/usr/bin/minerType", p.miner_type, report.miner_type),
                           record_json("/usr/bin/tempSensor", p.temp_sensor, report.temp_sensor)};
    doc["emulated_board"] = report.emulated ? emulated_board_json(*report.emulated, report.runs) : Json();
    return print_report(c, doc);
}

int run_i2c(const Command &c, const std::string &program, const std::vector<std::string> &launcher)
{
    if (c.vm) {
        // The emulated board's own lines, traced by its kernel.
        const char *scenario = "the kernel's sysfs lines, pulled up, no device on the bus";
        announce(c, "i2c-bitbang " + i2c_operation(c.i2c.args) + " on the emulated board's gpio" +
                        std::to_string(GPIO_SCL_OFFSET) + " (SCL) and gpio" + std::to_string(GPIO_SDA_OFFSET) +
                        " (SDA): " + scenario);
        sim::vm::VmResult r;
        if (sim::vm::run_on_vm(sim::vm::program_job("i2c-bitbang", program, c.i2c.args, c.timeout_ms), &r) != 0)
            return cannot_run(c, program, r.error);
        Json doc = run_document(c, program, sim::vm::as_run_result(r), r.elapsed_ms * 1000);
        doc["description"] = scenario;
        doc["traced"] = {traced_use(r, GPIO_SCL_OFFSET), traced_use(r, GPIO_SDA_OFFSET)};
        doc["emulated_board"] = emulated_board_json(r, 1);
        return print_report(c, doc);
    }
    const std::string what = i2c_operation(c.i2c.args);
    const std::string scenario = describe_scenario(c.i2c);
    std::string error;
    const std::string vcd = waveform_path(c, &error);
    if (vcd.empty()) {
        fprintf(stderr, "board-sim: %s\n", error.c_str());
        return EXIT_SETUP_FAILED;
    }
    sim::GpioBoardOptions options = c.i2c;
    options.gpio_base = sim::target_gpio_base();
    announce(c, "i2c-bitbang " + what + " on " + sim::gpio_line_name(sim::GpioFile::SclValue, options.gpio_base) +
                    " (SCL) and " + sim::gpio_line_name(sim::GpioFile::SdaValue, options.gpio_base) +
                    " (SDA): " + scenario);
    const bool temporary = c.vcd_path.empty();

    sim::GpioBoard board(options);
    const sim::I2cRunReport report = sim::run_i2c_bitbang(board, program, c.i2c.args, c.timeout_ms, launcher);
    if (!report.setup_error.empty() || !report.run.exec_error.empty()) {
        unlink(vcd.c_str());
        return cannot_run(c, program, report.setup_error.empty() ? report.run.exec_error : report.setup_error);
    }
    const bool written = sim::Sandbox::write_file(vcd, board.vcd());
    if (!written)
        error = "the waveform could not be written to " + vcd + ": " + std::strerror(errno);
    Json doc = run_document(c, program, report.run, report.wall_us);
    doc["operation"] = c.i2c.args.empty() ? "read" : "write";
    doc["transaction"] = transaction(board, c, written ? vcd : "");
    const sim::I2cSlave device = board.device();
    doc["device"] = {{"holds", device.byte()}, {"received", device.bytes_written()}};
    doc["gpio_files"] = gpio_file_counts(board);
    if (written && !c.svg_path.empty() && !draw_svg(vcd, c.svg_path, "i2c-bitbang " + what + ": " + scenario, &error))
        error = "no picture drawn: " + error;
    if (temporary)
        unlink(vcd.c_str());
    doc["waveform"] = written && !temporary ? Json(vcd) : Json();
    doc["svg"] = text_or_null(c.svg_path);
    // A waveform that could not be kept or drawn: the summary leaves out its
    // sections, and board-sim says why and fails.
    doc["waveform_error"] = text_or_null(error);

    const int status = print_report(c, doc);
    if (error.empty())
        return status;
    fprintf(stderr, "board-sim: %s\n", error.c_str());
    return status == 0 ? EXIT_SETUP_FAILED : status;
}

} // namespace board_sim
