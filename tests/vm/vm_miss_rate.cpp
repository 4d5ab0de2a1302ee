// SPDX-License-Identifier: MIT
// Measures how often a reply of the simulated hash board misses miner-probe's
// 2 ms wait on the emulated board: one boot runs the probe RUNS times against
// an LTC board with a sensor (two answered frames a run), and counts the
// answered frames after which the probe reported a time-out.
//
//   vm-miss-rate [RUNS] [--busy]      (RUNS default 100; --busy keeps two
//                                      host threads spinning meanwhile)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "probe_lines.h"
#include "probe_run.h"

int main(int argc, char **argv)
{
    int runs = 100;
    bool busy = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--busy") == 0)
            busy = true;
        else if ((runs = std::atoi(argv[i])) <= 0) {
            std::fprintf(stderr, "usage: vm-miss-rate [RUNS] [--busy]\n");
            return 2;
        }
    }

    std::atomic<bool> stop{false};
    std::vector<std::thread> spinners;
    for (int i = 0; busy && i < 2; ++i)
        spinners.emplace_back([&stop] {
            volatile unsigned long n = 0;
            while (!stop)
                n = n + 1;
        });

    sim::vm::VmJob job;
    // The probe's log is what the count reads.
    job.command = {
        "sh", "-c",
        "i=0; while [ $i -lt " + std::to_string(runs) +
            " ]; do rm -f /usr/bin/minerType /usr/bin/tempSensor; miner-probe 2>/dev/null; i=$((i+1)); done"};
    job.board.emplace().family = sim::ChipFamily::LTC;
    job.timeout_s = 30 + runs;
    sim::vm::VmResult r;
    const int rc = sim::vm::run_on_vm(job, &r);
    stop = true;
    for (std::thread &t : spinners)
        t.join();
    if (rc != 0) {
        std::fprintf(stderr, "vm-miss-rate: %s\n", r.error.c_str());
        return 1;
    }

    const int late = sim::count_late_replies(r.out, r.frames);
    const auto answered = std::ranges::count_if(r.frames, [](const sim::ReceivedFrame &f) { return f.answered; });
    const int recorded = board_sim::count(board_sim::probe_lines(r.out), board_sim::Said::SensorOk);
    std::printf("emulated board, LTC board with a sensor, %d probe runs in one boot%s\n", runs,
                busy ? ", two host threads spinning" : "");
    std::printf("  frames received         %zu\n", r.frames.size());
    std::printf("  replies sent            %td\n", answered);
    std::printf("  replies that missed     %d (%.2f %%)\n", late,
                answered > 0 ? 100.0 * late / static_cast<double>(answered) : 0.0);
    std::printf("  runs that found a sensor at the first query %d of %d\n", recorded, runs);
    std::printf("  wall time               %.1f s\n", static_cast<double>(r.elapsed_ms) / 1000.0);
    return 0;
}
