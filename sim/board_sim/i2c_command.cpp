// SPDX-License-Identifier: MIT
// `board-sim i2c`: i2c-bitbang against the simulated GPIO lines and device,
// reported as text or as one JSON document, with the waveform kept, drawn or
// removed as asked.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gpio_fs.h"
#include "process.h"
#include "report.h"
#include "sigrok_decode.h"
#include "target_command.h"

namespace board_sim {

namespace {

// The drawing takes about a second; the limit only keeps a hung one from
// holding board-sim up.
constexpr int DRAWING_TIME_MS = 300000;

// Where the waveform goes: the path asked for, created now so that a path
// that cannot be written is refused before the run; or a temporary file.
std::string waveform_path(const Command &c, std::string *why)
{
    if (!c.vcd_path.empty()) {
        const int fd = open(c.vcd_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            *why = "cannot write the waveform to " + c.vcd_path + ": " + std::strerror(errno);
            return "";
        }
        close(fd);
        return c.vcd_path;
    }
    std::string path = sim::temp_directory() + "/board-sim-i2c-XXXXXX.vcd";
    const int fd = mkstemps(path.data(), 4);
    if (fd < 0) {
        *why = "cannot create " + path + ": " + std::strerror(errno);
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
    if (!sim::sigrok_available(&why)) {
        t["decode_error"] = text_or_null(why);
        return t;
    }
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

int run_i2c(const Command &c, const std::string &program, const std::vector<std::string> &launcher)
{
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
    const sim::I2cRunReport report = sim::run_i2c_bitbang(
        board, program, c.i2c.args, c.timeout_ms > 0 ? c.timeout_ms : DEFAULT_TIMEOUT_MS, launcher);
    if (const std::string start_error = report.setup_error.empty() ? report.run.exec_error : report.setup_error;
        !start_error.empty()) {
        unlink(vcd.c_str());
        fprintf(stderr, "board-sim: cannot run %s: %s\n", program.c_str(), start_error.c_str());
        return EXIT_SETUP_FAILED;
    }

    const bool written = sim::Sandbox::write_file(vcd, board.vcd());
    if (!written)
        error = "the waveform could not be written to " + vcd + ": " + std::strerror(errno);
    Json doc = run_document(c, program, c.i2c.args, report.run, report.wall_us);
    doc["description"] = scenario;
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
