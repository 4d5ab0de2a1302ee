// SPDX-License-Identifier: MIT
// From a log to a scenario and back, through the board-sim binary of this
// build: S = `board-sim explain --as-scenario L`, L2 = the log of
// `board-sim probe --scenario S`.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "explain.h"
#include "run_board_sim.h"
#include "scenario.h"

namespace board_sim_test {

// A file of the test's own, removed with it.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/round-trip-XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            (void)!write(fd, text.data(), text.size());
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
};

// The log of a board-sim probe run: its standard output, and its standard
// error after it when `with_errors` (as `miner-probe 2>&1` would give them).
inline std::string probe_log(const std::vector<std::string> &args, bool with_errors, int *late_replies = nullptr)
{
    std::vector<std::string> all = {"probe", "--json"};
    all.insert(all.end(), args.begin(), args.end());
    const Ran r = run_board_sim(all);
    const board_sim::Json doc = board_sim::Json::parse(r.out, nullptr, false);
    if (r.status != 0 || doc.is_discarded()) {
        ADD_FAILURE() << "board-sim probe failed: " << r.err;
        return "";
    }
    if (late_replies != nullptr)
        *late_replies = doc["late_replies"].get<int>();
    return doc["stdout"].get<std::string>() + (with_errors ? doc["stderr"].get<std::string>() : "");
}

struct RoundTrip {
    std::string scenario; // S
    std::string replayed; // L2
};

// S and L2 of `log`'s run `run` (0: the last); `board` goes to board-sim
// probe ("--vm" replays on the emulated board).
inline RoundTrip round_trip(const std::string &log, int run = 0, const std::vector<std::string> &board = {})
{
    const TempFile l(log);
    std::vector<std::string> args = {"explain", "--as-scenario", l.path};
    if (run > 0)
        args.insert(args.end(), {"--run", std::to_string(run)});
    const Ran s = run_board_sim(args);
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.err, "");
    const TempFile scenario(s.out);
    std::vector<std::string> replay = {"--scenario", scenario.path};
    replay.insert(replay.end(), board.begin(), board.end());
    int late = 0;
    const std::string replayed = probe_log(replay, board_sim::explain_log(log).standard_error, &late);
    // board-sim runs the program again while the host delivers replies after
    // its 2 ms wait; a replay that still has such late replies shows the
    // host, not the scenario.
    EXPECT_EQ(late, 0) << "late replies in every run of the replay: the host was too busy";
    return {s.out, replayed};
}

} // namespace board_sim_test
