// SPDX-License-Identifier: MIT
// Runs the board-sim binary of this build and collects its exit status and
// both output streams; optionally sends it SIGTERM after a while.
#pragma once

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace board_sim_test {

struct Ran {
    int status = -1;
    std::string out, err;
};

// Runs board-sim with `args`; with `stop_after_ms`, sends it SIGTERM then.
inline Ran run_board_sim(std::vector<std::string> args, int stop_after_ms = 0)
{
    args.insert(args.begin(), BOARD_SIM_PATH);
    sim::Process board_sim({.argv = args, .out = sim::Sink::Capture, .err = sim::Sink::Capture});
    if (stop_after_ms > 0 && board_sim.pid() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(stop_after_ms));
        kill(board_sim.pid(), SIGTERM);
    }
    const sim::RunResult run = board_sim.wait(sim::NO_TIME_LIMIT);
    return {run.signal == 0 ? run.exit_status : -1, run.out, run.err};
}

} // namespace board_sim_test
