// SPDX-License-Identifier: MIT
// `board-sim i2c`: i2c-bitbang against the simulated GPIO lines and device,
// shown as text or as one JSON document, with the waveform kept, drawn or
// removed as asked.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "i2c_run.h"
#include "process.h"
#include "run_output.h"
#include "sigrok_decode.h"
#include "summary.h"
#include "target_command.h"
#include "text.h"

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

struct BusView {
    sim::I2cEvents seen;
    bool decoded = false;
    sim::I2cEvents decode;
    std::string decode_error;
};

BusView look_at_bus(const sim::GpioBoard &board, const Command &c, const std::string &vcd)
{
    BusView v;
    v.seen = board.transcript();
    if (vcd.empty() || !c.decode)
        return v;
    std::string why;
    if (!sim::sigrok_available(&why)) {
        v.decode_error = why;
        return v;
    }
    const sim::I2cDecode d = sim::decode_i2c_vcd(vcd);
    v.decoded = d.ok;
    v.decode = d.events;
    v.decode_error = d.ok ? "" : d.error;
    return v;
}

sim::GpioFileCounts total_counts(const sim::GpioBoard &board)
{
    sim::GpioFileCounts total;
    for (sim::GpioFile f : sim::GPIO_FILES) {
        const sim::GpioFileCounts n = board.counts(f);
        total.opens += n.opens;
        total.failed_opens += n.failed_opens;
        total.closes += n.closes;
        total.reads += n.reads;
        total.writes += n.writes;
        total.failed_writes += n.failed_writes;
    }
    return total;
}

void show_bus(const sim::GpioBoard &board, const BusView &v)
{
    section("bus, as the device saw it: " + join_events(v.seen));
    if (!v.decode_error.empty())
        section("waveform not decoded: " + v.decode_error);
    else if (v.decoded)
        section("bus, decoded from the waveform by sigrok-cli: " +
                (v.decode == v.seen ? std::string("the same") : join_events(v.decode)));

    // Appended piece by piece: GCC 12 reports a false -Wrestrict on
    // "literal" + std::string once inlined at -O2.
    std::string device = "device holds ";
    device += sim::hex_byte(board.device_byte());
    const std::vector<uint8_t> written = board.bytes_written();
    if (!written.empty()) {
        device += ", received";
        for (uint8_t b : written) {
            device += ' ';
            device += sim::hex_byte(b);
        }
    }
    section(device);

    const sim::GpioFileCounts total = total_counts(board);
    std::string files = "GPIO files: " + sim::plural(total.opens, "open", "opens") + ", " +
                        sim::plural(total.writes, "write", "writes") + ", " +
                        sim::plural(total.reads, "read", "reads") + ", " + sim::plural(total.closes, "close", "closes");
    if (total.failed_opens + total.failed_writes > 0)
        files += " (" + sim::plural(total.failed_opens, "failed open", "failed opens") + ", " +
                 sim::plural(total.failed_writes, "failed write", "failed writes") + ")";
    section(files);
}

std::vector<std::string> event_texts(const sim::I2cEvents &events)
{
    std::vector<std::string> out;
    for (const sim::I2cEvent &e : events)
        out.push_back(sim::to_string(e));
    return out;
}

void print_json(const Command &c, const std::string &program, const sim::I2cRunReport &report,
                const sim::GpioBoard &board, const BusView &v, const std::string &kept_vcd)
{
    Json doc = run_document(c, program, c.i2c.args, report.run, report.wall_us);
    doc["description"] = describe_scenario(c.i2c);
    doc["operation"] = c.i2c.args.empty() ? "read" : "write";
    doc["transaction"] = {{"device_saw", event_texts(v.seen)},
                          {"decoded", v.decoded ? Json(event_texts(v.decode)) : Json()},
                          {"decode_error", v.decode_error.empty() ? Json() : Json(v.decode_error)}};
    doc["device"] = {{"holds", board.device_byte()}, {"received", board.bytes_written()}};
    const sim::GpioFileCounts n = total_counts(board);
    doc["gpio_files"] = {{"opens", n.opens},   {"failed_opens", n.failed_opens},
                         {"writes", n.writes}, {"failed_writes", n.failed_writes},
                         {"reads", n.reads},   {"closes", n.closes}};
    doc["waveform"] = kept_vcd.empty() ? Json() : Json(kept_vcd);
    doc["svg"] = c.svg_path.empty() ? Json() : Json(c.svg_path);
    print_document(doc);
}

} // namespace

int run_i2c(const Command &c, const std::string &program, const std::vector<std::string> &launcher)
{
    const std::string what = i2c_operation(c.i2c.args);
    const std::string scenario = describe_scenario(c.i2c);
    std::string why;
    const std::string vcd = waveform_path(c, &why);
    if (vcd.empty()) {
        fprintf(stderr, "board-sim: %s\n", why.c_str());
        return EXIT_SETUP_FAILED;
    }
    sim::GpioBoardOptions options = c.i2c;
    options.gpio_base = sim::target_gpio_base();
    if (c.output == Output::Text)
        section("i2c-bitbang " + what + " on " + sim::gpio_line_name(sim::GpioFile::SclValue, options.gpio_base) +
                " (SCL) and " + sim::gpio_line_name(sim::GpioFile::SdaValue, options.gpio_base) +
                " (SDA): " + scenario);
    show_note(c);
    fflush(stdout);
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

    const int status = c.output == Output::Json ? run_status(report.run)
                                                : show_run(c, report.run, "i2c-bitbang", report.wall_us, false);
    std::string waveform_error;
    const bool written = board.write_vcd(vcd);
    if (!written)
        waveform_error = "the waveform could not be written to " + vcd + ": " + std::strerror(errno);
    const BusView bus = look_at_bus(board, c, written ? vcd : "");
    std::string svg_error;
    if (written && !c.svg_path.empty() &&
        !draw_svg(vcd, c.svg_path, "i2c-bitbang " + what + ": " + scenario, &svg_error))
        svg_error = "no picture drawn: " + svg_error;
    if (temporary)
        unlink(vcd.c_str());
    const std::string kept = written && !temporary ? vcd : "";

    if (c.output == Output::Json)
        print_json(c, program, report, board, bus, kept);
    else
        show_bus(board, bus);
    if (!waveform_error.empty() || !svg_error.empty()) {
        fprintf(stderr, "board-sim: %s\n", (waveform_error.empty() ? svg_error : waveform_error).c_str());
        return status == 0 ? EXIT_SETUP_FAILED : status;
    }
    if (c.output != Output::Json) {
        if (!kept.empty())
            section("waveform: " + kept + " (scl, sda, sda_dir, sda_dev; 1 us per GPIO write)");
        if (!c.svg_path.empty())
            section("picture: " + c.svg_path);
    }
    return status;
}

} // namespace board_sim
