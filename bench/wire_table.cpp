// SPDX-License-Identifier: MIT
// miner-probe on the paced wire, family x chips x latency: what the runs
// recorded and how long they took (miner-bench's wire table).
#include "wire_table.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "explain.h"
#include "probe_lines.h"
#include "probe_run.h"
#include "target_command.h"

namespace {

std::string range_text(std::vector<long> v)
{
    if (v.empty())
        return "-";
    std::sort(v.begin(), v.end());
    return v.front() == v.back() ? std::to_string(v.front())
                                 : std::to_string(v.front()) + "-" + std::to_string(v.back());
}

// Family x chips x latency on the paced wire with the sensor answering: how
// many runs recorded the family and YES, what the program did, and its wall
// time (the whole run, sandbox included).
} // namespace

void wire_table(const sim::Target &probe, int runs, int timeout_ms)
{
    printf("### miner-probe on a paced wire\n\n");
    printf("The simulated board paced at 115200 8N1 (`board-sim probe --wire`), default board, sensor\n"
           "answering from the first query; %d runs a cell. Correct: the run recorded the family and\n"
           "YES. Wall time: median (range) of the whole run, sandbox included. Detection read: bytes the\n"
           "read after the family's detection frame took, of the chain's reply.\n\n",
           runs);
    printf("| family | chips | latency (ms) | correct | found | sensor | attempts | queries | wall time (s) | "
           "detection read |\n");
    printf("|---|---:|---:|---:|---|---|---:|---:|---|---|\n");
    for (sim::ChipFamily family :
         {sim::ChipFamily::BTC, sim::ChipFamily::LTC, sim::ChipFamily::SIA, sim::ChipFamily::DASH})
        for (int chips : {1, 6, 12, 60, 256})
            for (int latency_us : {100, 1000, 3000}) {
                int correct = 0, found = 0, yes = 0, no = 0;
                std::vector<long> attempts, queries, read, wall_ms;
                long reply = -1;
                for (int i = 0; i < runs; ++i) {
                    sim::ProbeRunConfig config;
                    config.binary = probe.program;
                    config.launcher = probe.launcher;
                    config.board.family = family;
                    config.board.wire = sim::WireModel{chips, latency_us, 0.0, 1};
                    config.timeout_ms = timeout_ms;
                    // A late reply is the subject here, not the host's load.
                    config.reruns_on_late_reply = latency_us > 1000 ? 0 : 3;
                    const auto started = std::chrono::steady_clock::now();
                    const sim::ProbeRunReport r = sim::run_miner_probe(config);
                    wall_ms.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - started)
                                          .count() /
                                      r.runs);
                    const std::string name = sim::chip_family_name(family);
                    const bool right = r.miner_type == name + "\n";
                    found += right ? 1 : 0;
                    yes += r.temp_sensor == "YES\n" ? 1 : 0;
                    no += r.temp_sensor == "NO\n" ? 1 : 0;
                    correct += right && r.temp_sensor == "YES\n" ? 1 : 0;
                    const std::vector<board_sim::ProbeLine> out = board_sim::probe_lines(r.run.out);
                    const std::vector<board_sim::LoggedExchange> exchanges = board_sim::logged_exchanges(r.run.out);
                    attempts.push_back(count(out, board_sim::Said::Opened));
                    queries.push_back(count(out, board_sim::Said::SensorQuery));
                    for (size_t f = 0; right && f < r.frames.size(); ++f)
                        if (sim::is_detection(r.frames[f].id) && r.frames[f].answered) {
                            reply = static_cast<long>(r.frames[f].reply.size());
                            // The last detection frame answered is the one that found the family.
                            const long got = f < exchanges.size() ? exchanges[f].received : -1;
                            if (f + 1 == r.frames.size() || !sim::is_detection(r.frames[f + 1].id))
                                read.push_back(got);
                        }
                }
                std::vector<long> sorted = wall_ms;
                std::sort(sorted.begin(), sorted.end());
                char wall[64];
                snprintf(wall, sizeof wall, "%.2f (%.2f-%.2f)", static_cast<double>(sorted[sorted.size() / 2]) / 1000,
                         static_cast<double>(sorted.front()) / 1000, static_cast<double>(sorted.back()) / 1000);
                std::string sensor = "-";
                if (found > 0)
                    sensor = family == sim::ChipFamily::BTC
                                 ? "YES (no query) " + std::to_string(yes) + "/" + std::to_string(found)
                             : no == 0 ? "YES " + std::to_string(yes) + "/" + std::to_string(found)
                                       : "YES " + std::to_string(yes) + ", NO " + std::to_string(no) + " of " +
                                             std::to_string(found);
                const std::string detection = read.empty() ? "-" : range_text(read) + " of " + std::to_string(reply);
                printf("| %s | %d | %g | %d/%d | %s %d/%d | %s | %s | %s | %s | %s |\n", sim::chip_family_name(family),
                       chips, latency_us / 1000.0, correct, runs, found ? sim::chip_family_name(family) : "none", found,
                       runs, sensor.c_str(), range_text(attempts).c_str(), range_text(queries).c_str(), wall,
                       detection.c_str());
                fflush(stdout);
            }
    printf("\n");
}
