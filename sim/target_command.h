// SPDX-License-Identifier: MIT
// The command line that starts one of the shipped programs in an end-to-end
// test, so that the same tests can run another build of it: a static musl
// binary, or a MIPS one under an emulator.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace sim {

// The program to run: `given` (a command-line choice) when non-empty, else
// the environment variable `override_var` (e.g. MINER_PROBE_BIN) when set and
// non-empty, else `built_path`, the binary built with the tests. The one way
// the tests, board-sim and miner-bench find the shipped programs.
inline std::string target_program(const char *override_var, const char *built_path, const std::string &given = "")
{
    if (!given.empty())
        return given;
    const char *path = std::getenv(override_var);
    return path != nullptr && *path != '\0' ? path : built_path;
}

// The first words of the command: TARGET_EMULATOR when set and non-empty (e.g.
// /usr/bin/qemu-mips-static, absolute), then target_program(). The program's own
// arguments follow these.
inline std::vector<std::string> target_command(const char *override_var, const char *built_path)
{
    std::vector<std::string> argv;
    const char *emulator = std::getenv("TARGET_EMULATOR");
    if (emulator != nullptr && *emulator != '\0')
        argv.emplace_back(emulator);
    argv.push_back(target_program(override_var, built_path));
    return argv;
}

} // namespace sim
