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

// The words of `text`, split at spaces and tabs: an emulator command such as
// "/usr/bin/qemu-mips-static -cpu 24Kc".
inline std::vector<std::string> command_words(const std::string &text)
{
    std::vector<std::string> words;
    std::string::size_type end = 0;
    for (;;) {
        const std::string::size_type begin = text.find_first_not_of(" \t", end);
        if (begin == std::string::npos)
            return words;
        end = text.find_first_of(" \t", begin);
        words.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    }
}

// The first words of the command: those of TARGET_EMULATOR when set (e.g.
// "/usr/bin/qemu-mips-static -cpu 24Kc", the emulator first and absolute),
// then target_program(). The program's own arguments follow these.
inline std::vector<std::string> target_command(const char *override_var, const char *built_path)
{
    const char *emulator = std::getenv("TARGET_EMULATOR");
    std::vector<std::string> argv = command_words(emulator != nullptr ? emulator : "");
    argv.push_back(target_program(override_var, built_path));
    return argv;
}

} // namespace sim
