// SPDX-License-Identifier: MIT
// board-sim: runs the real miner-probe or i2c-bitbang against a simulated
// board described on the command line, shows the program's output unchanged
// and then what happened on the board. See `board-sim --help`.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "command_line.h"
#include "i2c_run.h"
#include "probe_run.h"
#include "sigrok_decode.h"
#include "summary.h"

using namespace board_sim;

namespace {

constexpr int EXIT_SETUP_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_TIMED_OUT = 124;
constexpr int DEFAULT_TIMEOUT_MS = 60000;

volatile sig_atomic_t caught_signal = 0;
volatile pid_t running_child = -1;

// Lets the run end and clean up (sandbox directory, FUSE mount) instead of
// dying mid-way; a child we know of is stopped at once.
void on_signal(int sig)
{
    caught_signal = sig;
    if (running_child > 0)
        kill(running_child, SIGKILL);
}

void track_child(pid_t pid)
{
    running_child = pid;
}

void install_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
}

bool executable(const std::string &path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

std::string own_directory()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

// --program, then the environment, then the build tree, then board-sim's own directory.
std::string find_program(const Command &c, std::string *why)
{
    const bool probe = c.tool == Tool::Probe;
    const char *name = probe ? "miner-probe" : "i2c-bitbang";
    const char *variable = probe ? MINER_PROBE_VARIABLE : I2C_BITBANG_VARIABLE;
    std::string chosen = c.program;
    if (chosen.empty()) {
        const char *from_env = getenv(variable);
        if (from_env != nullptr && *from_env != '\0')
            chosen = from_env;
    }
    if (chosen.empty()) {
        for (const std::string &candidate :
             {std::string(probe ? MINER_PROBE_PATH : I2C_BITBANG_PATH), own_directory() + "/" + name})
            if (executable(candidate)) {
                chosen = candidate;
                break;
            }
        if (chosen.empty()) {
            *why = std::string(name) + " not found in the build tree; build it, or name it with --program PATH or $" +
                   variable;
            return "";
        }
    }
    char resolved[PATH_MAX];
    if (realpath(chosen.c_str(), resolved) == nullptr || !executable(resolved)) {
        *why = chosen + " is not an executable file";
        return "";
    }
    return resolved;
}

std::string byte_hex(int byte)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02X", byte & 0xFF);
    return text;
}

std::string plural(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

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

// The program's output unchanged, with a newline added for the summary's sake
// when its last line has none.
void show_output(const sim::RunResult &run, const char *name)
{
    fflush(stdout);
    fwrite(run.out.data(), 1, run.out.size(), stdout);
    if (!run.out.empty() && run.out.back() != '\n')
        printf("\n== (no newline at the end of the output)\n");
    if (!run.err.empty()) {
        printf("== standard error of %s (the shell commands it runs included):\n", name);
        fflush(stdout);
        fwrite(run.err.data(), 1, run.err.size(), stderr);
        fflush(stderr);
    }
    fflush(stdout);
}

int exit_status(const sim::RunResult &run, const char *name, long wall_us)
{
    if (run.timed_out) {
        section(std::string(name) + " killed after the time-out (" + seconds(wall_us) + ")");
        return EXIT_TIMED_OUT;
    }
    section("exit status " + std::to_string(run.exit_status) + " after " + seconds(wall_us));
    return run.exit_status;
}

std::string describe_hash_board(const ProbeCommand &p)
{
    const sim::HashBoardScenario &b = p.board;
    std::string text;
    if (b.family == sim::ChipFamily::None) {
        text = "no chips answer";
    } else {
        text = std::string(chip_family_name(b.family)) + " chips answering ";
        text += b.answers_after_cycles == 0
                    ? "whatever the control line does"
                    : "after " + plural(b.answers_after_cycles, "low-high cycle", "low-high cycles");
        if (b.family != sim::ChipFamily::BTC)
            text += b.sensor_answers_at_query == 0
                        ? ", sensor never answers"
                        : ", sensor answers from query " + std::to_string(b.sensor_answers_at_query);
        if (b.sensor_status != 0x00 || b.sensor_id != 0x55)
            text += ", sensor status " + byte_hex(b.sensor_status) + " id " + byte_hex(b.sensor_id);
    }
    if (b.detection_reply)
        text += ", detection reply replaced (" + std::to_string(b.detection_reply->size()) + " bytes)";
    if (b.reply_limit)
        text += ", replies cut to " + plural(static_cast<long>(*b.reply_limit), "byte", "bytes");
    if (!p.uart_present)
        text += "; no serial device";
    if (!p.gpio_files)
        text += "; no control-line files";
    if (p.records_read_only)
        text += "; /usr/bin read-only";
    return text;
}

int run_probe(const Command &c, const std::string &program)
{
    const ProbeCommand &p = c.probe;
    const bool alt_board = !p.args.empty();
    const std::string gpio = sim::control_line_gpio(alt_board);
    const std::string uart = "/dev/" + sim::uart_device_name(alt_board);
    section(std::string("miner-probe on the ") + (alt_board ? "alternate" : "default") + " board (" + gpio + ", " +
            uart + "): " + describe_hash_board(p));
    fflush(stdout);

    sim::ProbeRunConfig config;
    config.binary = program;
    config.args = p.args;
    config.board = p.board;
    config.uart_present = p.uart_present;
    config.miner_type = p.miner_type;
    config.temp_sensor = p.temp_sensor;
    config.gpio_files = p.gpio_files;
    config.usr_bin_read_only = p.records_read_only;
    config.timeout_ms = c.timeout_ms > 0 ? c.timeout_ms : DEFAULT_TIMEOUT_MS;

    const auto start = std::chrono::steady_clock::now();
    const sim::ProbeRunReport report = sim::run_miner_probe(config);
    const long wall_us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    if (!report.setup_error.empty()) {
        fprintf(stderr, "board-sim: %s\n", report.setup_error.c_str());
        return EXIT_SETUP_FAILED;
    }

    show_output(report.run, "miner-probe");
    const int status = exit_status(report.run, "miner-probe", wall_us);
    if (report.frames.empty()) {
        section("frames received by the hash board: none");
    } else {
        section("frames received by the hash board:");
        for (const std::string &line : fold_frames(report.frames))
            printf("   %s\n", line.c_str());
    }
    section("control line " + describe_control_line(gpio, report.control_line));
    if (!report.other_control_line.empty())
        section("other control line " +
                describe_control_line(sim::control_line_gpio(!alt_board), report.other_control_line));
    section("record files:");
    for (const auto &[path, before, after] : {std::tuple{"/usr/bin/minerType", p.miner_type, report.miner_type},
                                              std::tuple{"/usr/bin/tempSensor", p.temp_sensor, report.temp_sensor}})
        for (const std::string &line : describe_record_file(path, before, after))
            printf("   %s\n", line.c_str());
    return status;
}

std::string describe_i2c_board(const I2cCommand &i)
{
    const sim::GpioBoardOptions &b = i.board;
    std::string text;
    if (!b.device.present)
        text = "no device on the bus";
    else
        text = "device at " + byte_hex(b.device.address) + " holding " + byte_hex(b.device.byte) +
               (b.device.ack_data ? "" : ", refusing written bytes");
    if (b.sda_fault != sim::SdaFault::None)
        text += std::string(", SDA stuck ") + (b.sda_fault == sim::SdaFault::StuckHigh ? "high" : "low");
    for (sim::GpioFile f : b.missing_files)
        text += std::string(", ") + gpio_file_name(f) + " missing";
    for (sim::GpioFile f : b.failing_writes)
        text += std::string(", writes to ") + gpio_file_name(f) + " fail";
    for (const sim::OpenFailure &f : b.open_failures)
        text += std::string(", open #") + std::to_string(f.nth) + " of " + gpio_file_name(f.file) + " fails";
    if (b.lines_start_as_outputs)
        text += ", lines start as outputs";
    return text;
}

// A fresh file for the waveform under $TMPDIR.
std::string new_vcd_path(std::string *why)
{
    const char *tmp = getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/board-sim-i2c-XXXXXX.vcd";
    const int fd = mkstemps(path.data(), 4);
    if (fd < 0) {
        *why = "cannot create " + path;
        return "";
    }
    close(fd);
    return path;
}

void show_bus(const sim::GpioBoard &board, const I2cCommand &i, const std::string &vcd_path)
{
    const sim::I2cEvents seen = board.transcript();
    section("bus, as the device saw it: " + join_events(seen));
    if (!vcd_path.empty() && i.decode) {
        std::string why;
        if (!sim::sigrok_available(&why)) {
            section("waveform not decoded: " + why);
        } else {
            const sim::I2cDecode decode = sim::decode_i2c_vcd(vcd_path);
            if (!decode.ok)
                section("waveform not decoded: " + decode.error);
            else if (decode.events == seen)
                section("bus, decoded from the waveform by sigrok-cli: the same");
            else
                section("bus, decoded from the waveform by sigrok-cli: " + join_events(decode.events));
        }
    }

    const std::vector<uint8_t> written = board.bytes_written();
    std::string device = "device holds " + byte_hex(board.device_byte());
    if (!written.empty()) {
        device += ", received";
        for (uint8_t b : written)
            device += " " + byte_hex(b);
    }
    section(device);

    sim::GpioFileCounts total;
    for (sim::GpioFile f : sim::kGpioFiles) {
        const sim::GpioFileCounts n = board.counts(f);
        total.opens += n.opens;
        total.failed_opens += n.failed_opens;
        total.closes += n.closes;
        total.reads += n.reads;
        total.writes += n.writes;
        total.failed_writes += n.failed_writes;
    }
    std::string files = "GPIO files: " + plural(total.opens, "open", "opens") + ", " +
                        plural(total.writes, "write", "writes") + ", " + plural(total.reads, "read", "reads") + ", " +
                        plural(total.closes, "close", "closes");
    if (total.failed_opens + total.failed_writes > 0)
        files += " (" + plural(total.failed_opens, "failed open", "failed opens") + ", " +
                 plural(total.failed_writes, "failed write", "failed writes") + ")";
    section(files);
}

int run_i2c(const Command &c, const std::string &program)
{
    const I2cCommand &i = c.i2c;
    const std::string what = i.args.empty() ? "read" : "write '" + i.args[0] + "'";
    section("i2c-bitbang " + what + " on gpio19 (SCL) and gpio23 (SDA): " + describe_i2c_board(i));
    fflush(stdout);

    std::string why;
    const std::string vcd_path = i.vcd_path.empty() ? new_vcd_path(&why) : i.vcd_path;
    if (vcd_path.empty()) {
        fprintf(stderr, "board-sim: %s\n", why.c_str());
        return EXIT_SETUP_FAILED;
    }

    sim::GpioBoard board(i.board);
    const sim::I2cRunReport report =
        sim::run_i2c_bitbang(board, program, i.args, c.timeout_ms > 0 ? c.timeout_ms : DEFAULT_TIMEOUT_MS, track_child);
    if (!report.setup_error.empty()) {
        if (i.vcd_path.empty())
            unlink(vcd_path.c_str());
        fprintf(stderr, "board-sim: %s\n", report.setup_error.c_str());
        return EXIT_SETUP_FAILED;
    }

    show_output(report.run, "i2c-bitbang");
    const int status = exit_status(report.run, "i2c-bitbang", report.wall_us);
    const bool kept = board.write_vcd(vcd_path);
    show_bus(board, i, kept ? vcd_path : "");
    if (kept)
        section("waveform: " + vcd_path + " (scl, sda, sda_dir, sda_dev; 1 us per GPIO write)");
    else
        section("waveform could not be written to " + vcd_path);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = parse_command_line(args);
    const Command &c = parsed.command;
    const std::optional<Tool> tool = c.tool_given ? std::optional<Tool>(c.tool) : std::nullopt;
    if (!parsed.ok) {
        fprintf(stderr, "board-sim: %s\n%s", parsed.error.c_str(), usage_text(tool).c_str());
        return EXIT_USAGE;
    }
    if (c.help) {
        fputs(help_text(tool).c_str(), stdout);
        return 0;
    }

    std::string why;
    if (!sim::Sandbox::supported(&why)) {
        fprintf(stderr,
                "board-sim: cannot set up the simulated board: it %s\n"
                "board-sim: run it as root, e.g. sudo %s ...\n",
                why.c_str(), argv[0]);
        return EXIT_SETUP_FAILED;
    }
    const std::string program = find_program(c, &why);
    if (program.empty()) {
        fprintf(stderr, "board-sim: %s\n", why.c_str());
        return EXIT_SETUP_FAILED;
    }
    if (!sim::isolate_mounts(&why)) {
        fprintf(stderr, "board-sim: %s\n", why.c_str());
        return EXIT_SETUP_FAILED;
    }

    install_signal_handlers();
    const int status = c.tool == Tool::Probe ? run_probe(c, program) : run_i2c(c, program);
    if (caught_signal != 0) {
        fprintf(stderr, "board-sim: stopped by signal %d\n", static_cast<int>(caught_signal));
        return 128 + caught_signal;
    }
    return status;
}
