// SPDX-License-Identifier: MIT
// Runs the board-sim binary of this build and collects its exit status and
// both output streams; optionally sends it SIGTERM after a while.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace board_sim_test {

struct Ran {
    int status = -1;
    std::string out, err;
};

inline std::string slurp(const std::string &path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY);
    char buf[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
    return text;
}

// Runs board-sim with `args`; with `stop_after_ms`, sends it SIGTERM then.
inline Ran run_board_sim(std::vector<std::string> args, int stop_after_ms = 0)
{
    args.insert(args.begin(), BOARD_SIM_PATH);
    // Per process: the test binaries may run side by side.
    const std::string stem = testing::TempDir() + "board_sim_" + std::to_string(getpid());
    const std::string out = stem + "_out", err = stem + "_err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Ran ran;
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        if (stop_after_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stop_after_ms));
            kill(pid, SIGTERM);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ran.out = slurp(out);
    ran.err = slurp(err);
    return ran;
}

} // namespace board_sim_test
