// SPDX-License-Identifier: MIT
// miner-bench: runs the real programs on the simulated board and prints, as
// Markdown tables, miner-probe's wall time per scenario against the floor its
// fixed waits set, its system calls against what its UART link needs, its
// records and wall time on a paced wire (family x chips x latency), and
// i2c-bitbang's system calls and wall time per transaction against what its
// bus sequence needs, with each program's peak memory. Figures are printed,
// never judged.
//
//   miner-bench [--runs N] [--no-board-runs N] [--i2c-runs N] [--wire-runs N] [--wire-only]
//   miner-bench --memory-row LABEL   one table row: peak memory of the programs
//                                    named by MINER_PROBE_BIN / I2C_BITBANG_BIN
//   miner-bench --help | --version
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "bus_floor.h"
#include "gpio_board.h"
#include "gpio_fs.h"
#include "measure.h"
#include "probe_lines.h"
#include "probe_run.h"
#include "scenario.h"
#include "target_command.h"
#include "text.h"
#include "wire_table.h"

namespace {

constexpr int TIMEOUT_MS = 60000;

// A committed scenario (scenarios/NAME), as the simulation takes it; the
// benchmark stops when it cannot be read.
template <class S>
S scenario_file(const char *name)
{
    const std::string path = std::string(SCENARIOS_DIR) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    S scenario;
    std::string why;
    if (!in || !board_sim::read_scenario(text.str(), &scenario, nullptr, &why)) {
        fprintf(stderr, "miner-bench: %s: %s\n", path.c_str(), why.empty() ? "cannot read it" : why.c_str());
        exit(1);
    }
    return scenario;
}

struct ProbeScenario {
    const char *name;
    long floor_us;
    const char *floor_note;
    sim::ProbeRunConfig config;
};

// The committed scenarios the floors are worked out for.
std::vector<ProbeScenario> probe_scenarios()
{
    const struct {
        const char *name, *file;
        long floor_us;
        const char *floor_note;
    } rows[] = {
        {"recorded already", "recorded-ltc.json", 0, "no wait"},
        {"BTC at the first attempt", "btc.json", 400000, "200 + 200 ms around the control-line cycle"},
        {"LTC, sensor at the first query", "ltc-with-sensor.json", 432000,
         "400 ms + 2 ms BTC reply wait + 5 + 20 + 5 ms sensor sleeps"},
        {"no board", "no-board.json", 6060000, "10 x 600 ms of sleeps + 30 first-byte waits of 2 ms"},
    };
    std::vector<ProbeScenario> list;
    for (const auto &row : rows) {
        list.push_back(
            {row.name, row.floor_us, row.floor_note, scenario_file<board_sim::ProbeScenario>(row.file).run_config()});
    }
    return list;
}

Series run_probe(const ProbeScenario &s, const std::string &helper, int runs)
{
    Series series;
    for (int i = 0; i < runs; ++i) {
        sim::ProbeRunConfig config = s.config;
        config.binary = helper;
        config.timeout_ms = TIMEOUT_MS;
        const sim::ProbeRunReport r = sim::run_miner_probe(config);
        series.add(r.setup_error.empty() && !r.run.timed_out ? parse_peak_rss(r.run.err) : std::nullopt);
    }
    return series;
}

void probe_table(const std::string &helper, const std::string &program, int runs, int no_board_runs)
{
    setenv("PEAK_RSS_PROGRAM", program.c_str(), 1);
    printf("### miner-probe: wall time against its fixed waits\n\n");
    printf("The committed scenarios recorded-ltc, btc, ltc-with-sensor and no-board (scenarios/);\n"
           "default board; wall time from fork to exit of the program (median and fastest of\n"
           "the runs); peak memory: the program's own VmHWM, and ru_maxrss of the run with\n"
           "the shell commands it starts.\n\n");
    printf("| scenario | runs | median | fastest | floor | median / floor | peak RSS | with shell |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<std::string> notes;
    for (const ProbeScenario &s : probe_scenarios()) {
        const int n = s.floor_us > 1000000 ? no_board_runs : runs;
        const Series series = run_probe(s, helper, n);
        printf("| %s | %zu | %s | %s | %s | %s | %s | %s |\n", s.name, series.wall_us.size(),
               ms(series.median()).c_str(), ms(series.min()).c_str(), s.floor_us > 0 ? ms(s.floor_us).c_str() : "~0",
               ratio(series.median(), s.floor_us).c_str(), kib(series.hwm_kb).c_str(), kib(series.maxrss_kb).c_str());
        fflush(stdout);
        notes.push_back(std::string(s.name) + ": " + s.floor_note +
                        (series.failures ? " (" + std::to_string(series.failures) + " runs failed)" : ""));
    }
    printf("\nFloors:\n");
    for (const std::string &note : notes)
        printf("- %s\n", note.c_str());
    printf("\n");
}

struct I2cTransaction {
    const char *name;
    const char *file; // in scenarios/
    BusOperations floor;
};

long gpio_calls(const sim::GpioBoard &board)
{
    long n = 0;
    for (sim::GpioFile f : sim::GPIO_FILES) {
        const sim::GpioFileCounts c = board.counts(f);
        n += c.opens + c.failed_opens + c.closes + c.reads + c.writes;
    }
    return n;
}

void i2c_table(const std::string &helper, const std::string &program, int runs)
{
    const I2cTransaction transactions[] = {
        {"read", "i2c-read.json", count_read_transaction()},
        {"write", "i2c-write.json", count_write_transaction()},
    };
    setenv("PEAK_RSS_PROGRAM", program.c_str(), 1);
    printf("### i2c-bitbang: system calls and wall time per transaction\n\n");
    printf("The committed scenarios i2c-read and i2c-write (scenarios/). One run of the tool is one\n"
           "transaction. GPIO calls: opens, reads, writes and closes of the four sysfs files,\n"
           "counted by the simulated tree; floor: what the tool's bus sequence needs (below);\n"
           "all calls: strace -c -f of the whole run.\n"
           "Wall time from fork to exit over the FUSE-served tree (median and fastest).\n\n");
    printf("| transaction | GPIO calls | floor | all calls | all / floor | median | fastest | per GPIO call | peak RSS "
           "|\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<std::string> notes;
    for (const I2cTransaction &t : transactions) {
        const auto setup = scenario_file<board_sim::I2cScenario>(t.file);
        Series series;
        long counted = -1;
        for (int i = 0; i < runs; ++i) {
            sim::GpioBoard board(setup);
            const sim::I2cRunReport r = sim::run_i2c_bitbang(board, helper, setup.args, TIMEOUT_MS);
            series.add(r.setup_error.empty() && !r.run.timed_out ? parse_peak_rss(r.run.err) : std::nullopt);
            counted = gpio_calls(board);
        }
        sim::GpioBoard board(setup);
        std::vector<std::string> strace_args{"-f", "-c", program};
        strace_args.insert(strace_args.end(), setup.args.begin(), setup.args.end());
        const sim::I2cRunReport traced = sim::run_i2c_bitbang(board, "/usr/bin/strace", strace_args, TIMEOUT_MS);
        const StraceCount calls = parse_strace_summary(traced.run.err);
        const long floor = t.floor.system_calls();
        const long median = series.median();
        char per_call[32] = "-";
        if (median > 0 && counted > 0)
            snprintf(per_call, sizeof per_call, "%.1f us", static_cast<double>(median) / static_cast<double>(counted));
        printf("| %s | %ld | %ld | %s | %s | %s | %s | %s | %s |\n", t.name, counted, floor,
               calls.total >= 0 ? std::to_string(calls.total).c_str() : "-", ratio(calls.total, floor).c_str(),
               ms(median).c_str(), ms(series.min()).c_str(), per_call, kib(series.hwm_kb).c_str());
        fflush(stdout);

        std::vector<std::pair<std::string, long>> by_call = calls.by_call;
        std::stable_sort(by_call.begin(), by_call.end(),
                         [](const auto &a, const auto &b) { return a.second > b.second; });
        std::string breakdown;
        for (const auto &[name, n] : by_call)
            breakdown += (breakdown.empty() ? "" : ", ") + name + " " + std::to_string(n);
        notes.push_back(std::string(t.name) + ": " + std::to_string(t.floor.line_writes) + " line writes and " +
                        std::to_string(t.floor.samples) + " SDA samples (5 calls each) + 4 opens, 4 set-up writes " +
                        "and 4 closes = " + std::to_string(floor) +
                        " calls; strace: " + (breakdown.empty() ? "not available" : breakdown));
    }
    printf("\nFloors, counted by running the shipped bus master over a counting line layer:\n");
    for (const std::string &note : notes)
        printf("- %s\n", note.c_str());
    printf("\n");
}

// ---- miner-probe on a paced wire ----

// miner-probe's own system calls (strace -c, the shell's children left out)
// against what its UART link needs, read off its log: per opening of the
// line an open, TCGETS, TCSETS and TCFLSH, and a flock and close; per frame a
// TCFLSH and the write (0.2.0 adds the TCFLSH); per read a select, its read
// calls and the 1 ms sleeps between them.
void probe_syscall_table(const std::string &program)
{
    printf("### miner-probe: system calls\n\n");
    printf("One run each, the program's own process under strace -c (the shell commands it starts are\n"
           "not counted). Link floor: what the UART link needs for the frames and reads of the run's log.\n\n");
    printf("| scenario | openings | frames | reads | link floor | ioctl (floor) | all calls | breakdown |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const ProbeScenario &s : probe_scenarios()) {
        if (s.floor_us == 0)
            continue;
        sim::ProbeRunConfig config = s.config;
        config.launcher = {"/usr/bin/strace", "-c"};
        config.binary = program;
        config.timeout_ms = TIMEOUT_MS;
        const sim::ProbeRunReport r = sim::run_miner_probe(config);
        using board_sim::Said;
        const std::vector<board_sim::ProbeLine> out = board_sim::probe_lines(r.run.out);
        const long openings = count(out, Said::Opened);
        const long frames = count(out, Said::Sent);
        const long totals = count(out, Said::ReadTotal);
        const long selects = count(out, Said::TimedOut) + totals;
        const long read_calls = count(out, Said::ReadPass);
        const long sleeps = read_calls - totals;
        const long floor = openings * 6 + frames * 2 + selects + read_calls + sleeps;
        const long ioctl_floor = openings * 3 + frames;
        const StraceCount calls = parse_strace_summary(r.run.err);
        long ioctls = 0;
        std::string breakdown;
        for (const auto &[name, n] : calls.by_call) {
            if (name == "ioctl")
                ioctls = n;
            breakdown += (breakdown.empty() ? "" : ", ") + name + " " + std::to_string(n);
        }
        printf("| %s | %ld | %ld | %ld | %ld | %ld (%ld) | %s | %s |\n", s.name, openings, frames, selects, floor,
               ioctls, ioctl_floor, calls.total >= 0 ? std::to_string(calls.total).c_str() : "-",
               breakdown.empty() ? "strace not available" : breakdown.c_str());
        fflush(stdout);
    }
    printf("\n");
}

// One Markdown row: peak memory of both programs in one typical run each (an
// LTC board with its sensor; an I2C read), for comparing builds.
void memory_row(const std::string &label, const std::string &probe, const std::string &i2c)
{
    setenv("PEAK_RSS_PROGRAM", probe.c_str(), 1);
    const Series probe_run = run_probe(probe_scenarios()[2], PEAK_RSS_PATH, 1);
    setenv("PEAK_RSS_PROGRAM", i2c.c_str(), 1);
    Series i2c_run;
    sim::GpioBoard board;
    const sim::I2cRunReport r = sim::run_i2c_bitbang(board, PEAK_RSS_PATH, {}, TIMEOUT_MS);
    i2c_run.add(r.setup_error.empty() && !r.run.timed_out ? parse_peak_rss(r.run.err) : std::nullopt);
    printf("| %s | %s | %s | %s |\n", label.c_str(), kib(probe_run.hwm_kb).c_str(), kib(probe_run.maxrss_kb).c_str(),
           kib(i2c_run.hwm_kb).c_str());
}

constexpr long MAX_RUNS = 1000;

struct BenchConfig {
    int runs = 5;
    int no_board_runs = 2;
    int i2c_runs = 20;
    int wire_runs = 3;
    bool wire_only = false;
    std::string memory_label;
};

// The help in the layout of the other tools: the command's forms and what it
// does, then each option with the name of its value.
class BenchHelp : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string) const override
    {
        return "usage: miner-bench [--runs N] [--no-board-runs N] [--i2c-runs N] [--wire-runs N] [--wire-only]\n"
               "       miner-bench --memory-row LABEL\n"
               "Runs the real programs on the simulated board and prints Markdown tables of\n"
               "their wall time, system calls and peak memory. Needs root.\n";
    }
    std::string make_option_opts(const CLI::Option *o) const override
    {
        return o->get_type_size() != 0 ? " " + o->get_type_name() : "";
    }
};

// -1 to go on, else the exit status: 0 after --help or --version, 2 for bad
// arguments, with CLI11's message on one line.
int parse_config(int argc, char **argv, BenchConfig *config)
{
    CLI::App app("", "miner-bench");
    app.formatter(std::make_shared<BenchHelp>());
    app.get_formatter()->column_width(22);
    app.set_help_flag("-h,--help", "show this help");
    app.set_version_flag("-V,--version", "miner-bench (miner-tools) " MINER_TOOLS_VERSION, "show the version");
    const auto count = [&](const char *name, int *n, const char *what) {
        return app
            .add_option(name, *n,
                        what + (", 1 to " + std::to_string(MAX_RUNS)) + " (default " + std::to_string(*n) + ")")
            ->type_name("N")
            ->check(CLI::Range(1L, MAX_RUNS).description(""));
    };
    CLI::Option *counts[] = {
        count("--runs", &config->runs, "runs of each quick miner-probe scenario"),
        count("--no-board-runs", &config->no_board_runs, "runs of the 6 s no-board scenario"),
        count("--i2c-runs", &config->i2c_runs, "runs of each i2c-bitbang transaction"),
        count("--wire-runs", &config->wire_runs, "runs of each cell of the paced-wire matrix"),
    };
    CLI::Option *wire_only = app.add_flag("--wire-only", config->wire_only,
                                          "only the paced-wire matrix (MINER_PROBE_BIN and TARGET_EMULATOR\n"
                                          "name the program and its emulator, as in the end-to-end tests)");
    CLI::Option *memory_row = app.add_option("--memory-row", config->memory_label,
                                             "only one table row: the peak memory of the programs named\n"
                                             "by MINER_PROBE_BIN and I2C_BITBANG_BIN, each run once (so\n"
                                             "not with the run counts or --wire-only)")
                                  ->type_name("LABEL")
                                  ->excludes(wire_only);
    for (CLI::Option *o : counts)
        memory_row->excludes(o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        fprintf(stderr, "miner-bench: %s\nTry 'miner-bench --help' for more.\n", message.c_str());
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    BenchConfig config;
    const int status = parse_config(argc, argv, &config);
    if (status >= 0)
        return status;

    std::string why;
    if (!sim::Sandbox::supported(&why)) {
        fprintf(stderr, "miner-bench: the simulated board %s; run it as root\n", why.c_str());
        return 1;
    }
    if (!sim::isolate_mounts(&why)) {
        fprintf(stderr, "miner-bench: %s\n", why.c_str());
        return 1;
    }
    const sim::Target probe = sim::find_target({.program = sim::Shipped::Probe});
    const sim::Target i2c = config.wire_only ? sim::Target{} : sim::find_target({.program = sim::Shipped::I2c});
    if (!probe.error.empty() || !i2c.error.empty()) {
        fprintf(stderr, "miner-bench: %s\n", (!probe.error.empty() ? probe : i2c).error.c_str());
        return 1;
    }
    // Only the wire table runs a program under its launcher; the others time
    // the program itself, under peak-rss or strace.
    if (!config.memory_label.empty()) {
        memory_row(config.memory_label, probe.program, i2c.program);
        return 0;
    }
    if (config.wire_only) {
        wire_table(probe, config.wire_runs, TIMEOUT_MS);
        return 0;
    }
    probe_table(PEAK_RSS_PATH, probe.program, config.runs, config.no_board_runs);
    probe_syscall_table(probe.program);
    wire_table(probe, config.wire_runs, TIMEOUT_MS);
    i2c_table(PEAK_RSS_PATH, i2c.program, config.i2c_runs);
    return 0;
}
