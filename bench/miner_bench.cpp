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
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bus_floor.h"
#include "gpio_board.h"
#include "i2c_run.h"
#include "probe_lines.h"
#include "probe_run.h"
#include "scenario.h"
#include "target_command.h"
#include "text.h"
#include "wire_table.h"

namespace {

constexpr int TIMEOUT_MS = 60000;

struct Measure {
    long wall_us = -1;
    long hwm_kb = -1;
    long maxrss_kb = -1;
};

// The helper's line on standard error; nullopt when it is missing.
std::optional<Measure> parse_peak_rss(const std::string &err)
{
    const size_t at = err.rfind("peak-rss: wall_us=");
    if (at == std::string::npos)
        return std::nullopt;
    Measure m;
    if (sscanf(err.c_str() + at, "peak-rss: wall_us=%ld hwm_kb=%ld maxrss_kb=%ld", &m.wall_us, &m.hwm_kb,
               &m.maxrss_kb) != 3)
        return std::nullopt;
    return m;
}

struct StraceCount {
    long total = -1;
    std::vector<std::pair<std::string, long>> by_call;
};

// The summary strace -c prints: "% time seconds usecs/call calls [errors] syscall".
StraceCount parse_strace_summary(const std::string &text)
{
    StraceCount count;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.size() < 5 || w[0].find('.') == std::string::npos || !isdigit(static_cast<unsigned char>(w[0][0])))
            continue;
        const long calls = sim::parse_number(w[3], 0, LONG_MAX).value_or(0);
        if (w.back() == "total")
            count.total = calls;
        else
            count.by_call.emplace_back(w.back(), calls);
    }
    return count;
}

struct Series {
    std::vector<long> wall_us;
    long hwm_kb = 0;
    long maxrss_kb = 0;
    int failures = 0;

    void add(const std::optional<Measure> &m)
    {
        if (!m) {
            ++failures;
            return;
        }
        wall_us.push_back(m->wall_us);
        hwm_kb = std::max(hwm_kb, m->hwm_kb);
        maxrss_kb = std::max(maxrss_kb, m->maxrss_kb);
    }
    long median() const
    {
        std::vector<long> v = wall_us;
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[v.size() / 2];
    }
    long min() const { return wall_us.empty() ? -1 : *std::min_element(wall_us.begin(), wall_us.end()); }
};

std::string ms(long us)
{
    if (us < 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, us < 100000 ? "%.1f ms" : "%.0f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string kib(long kb)
{
    return kb <= 0 ? "-" : std::to_string(kb) + " KiB";
}

std::string ratio(long measured, long floor)
{
    if (measured < 0 || floor <= 0)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.3f", static_cast<double>(measured) / static_cast<double>(floor));
    return text;
}

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

const struct option OPTIONS[] = {
    {"runs", required_argument, nullptr, 'r'},
    {"no-board-runs", required_argument, nullptr, 'n'},
    {"i2c-runs", required_argument, nullptr, 'i'},
    {"wire-runs", required_argument, nullptr, 'w'},
    {"wire-only", no_argument, nullptr, 'W'},
    {"memory-row", required_argument, nullptr, 'm'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

constexpr const char *USAGE =
    "usage: miner-bench [--runs N] [--no-board-runs N] [--i2c-runs N] [--wire-runs N] [--wire-only]\n"
    "       miner-bench --memory-row LABEL\n";

void print_help()
{
    printf("%s"
           "Runs the real programs on the simulated board and prints Markdown tables of\n"
           "their wall time, system calls and peak memory. Needs root.\n"
           "\n"
           "  --runs N            runs of each quick miner-probe scenario, 1 to %ld (default 5)\n"
           "  --no-board-runs N   runs of the 6 s no-board scenario, 1 to %ld (default 2)\n"
           "  --i2c-runs N        runs of each i2c-bitbang transaction, 1 to %ld (default 20)\n"
           "  --wire-runs N       runs of each cell of the paced-wire matrix, 1 to %ld (default 3)\n"
           "  --wire-only         only the paced-wire matrix (MINER_PROBE_BIN and TARGET_EMULATOR\n"
           "                      name the program and its emulator, as in the end-to-end tests)\n"
           "  --memory-row LABEL  only one table row: the peak memory of the programs named\n"
           "                      by MINER_PROBE_BIN and I2C_BITBANG_BIN\n"
           "  -h, --help          show this help\n"
           "  -V, --version       show the version\n",
           USAGE, MAX_RUNS, MAX_RUNS, MAX_RUNS, MAX_RUNS);
}

struct BenchConfig {
    int runs = 5;
    int no_board_runs = 2;
    int i2c_runs = 20;
    int wire_runs = 3;
    bool wire_only = false;
    const char *memory_label = nullptr;
    bool counts_given = false;
};

// 0 to go on, else the exit status: 0 after --help or --version, 2 for bad arguments.
int parse_config(int argc, char **argv, BenchConfig *config, bool *done)
{
    *done = false;
    opterr = 0;
    for (;;) {
        const int code = getopt_long(argc, argv, ":hV", OPTIONS, nullptr);
        if (code == -1)
            break;
        int *count = code == 'r'   ? &config->runs
                     : code == 'n' ? &config->no_board_runs
                     : code == 'i' ? &config->i2c_runs
                     : code == 'w' ? &config->wire_runs
                                   : nullptr;
        if (count != nullptr) {
            const std::optional<long> n = sim::parse_number(optarg, 1, MAX_RUNS);
            if (!n) {
                const struct option *o = OPTIONS;
                while (o->val != code)
                    ++o;
                fprintf(stderr, "miner-bench: --%s wants a number from 1 to %ld, not '%s'\n%s", o->name, MAX_RUNS,
                        optarg, USAGE);
                return 2;
            }
            *count = static_cast<int>(*n);
            config->counts_given = true;
            continue;
        }
        switch (code) {
        case 'W':
            config->wire_only = true;
            continue;
        case 'm':
            config->memory_label = optarg;
            continue;
        case 'h':
            print_help();
            *done = true;
            return 0;
        case 'V':
            printf("miner-bench (miner-tools) %s\n", MINER_TOOLS_VERSION);
            *done = true;
            return 0;
        case ':':
            fprintf(stderr, "miner-bench: option '%s' needs a value\n%s", argv[optind - 1], USAGE);
            return 2;
        default:
            fprintf(stderr, "miner-bench: unknown option '%s'\n%s", argv[optind - 1], USAGE);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "miner-bench: unexpected '%s'\n%s", argv[optind], USAGE);
        return 2;
    }
    if (config->memory_label != nullptr && config->counts_given) {
        fprintf(stderr, "miner-bench: --memory-row runs each program once: the run counts have no effect\n%s", USAGE);
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    BenchConfig config;
    bool done = false;
    const int rc = parse_config(argc, argv, &config, &done);
    if (rc != 0 || done)
        return rc;
    const int runs = config.runs, no_board_runs = config.no_board_runs, i2c_runs = config.i2c_runs;
    const char *memory_label = config.memory_label;

    std::string why;
    if (!sim::Sandbox::supported(&why)) {
        fprintf(stderr, "miner-bench: the simulated board %s; run it as root\n", why.c_str());
        return 1;
    }
    if (!sim::isolate_mounts(&why)) {
        fprintf(stderr, "miner-bench: %s\n", why.c_str());
        return 1;
    }
    const std::string probe = sim::target_program("MINER_PROBE_BIN", MINER_PROBE_PATH);
    const std::string i2c = sim::target_program("I2C_BITBANG_BIN", I2C_BITBANG_PATH);
    if (memory_label != nullptr) {
        memory_row(memory_label, probe, i2c);
        return 0;
    }
    if (config.wire_only) {
        wire_table(config.wire_runs, TIMEOUT_MS);
        return 0;
    }
    probe_table(PEAK_RSS_PATH, probe, runs, no_board_runs);
    probe_syscall_table(probe);
    wire_table(config.wire_runs, TIMEOUT_MS);
    i2c_table(PEAK_RSS_PATH, i2c, i2c_runs);
    return 0;
}
