// SPDX-License-Identifier: MIT
// The command line that starts one of the shipped programs in an end-to-end
// test, so that the same tests can run another build of it: a static musl
// binary, or a MIPS one under an emulator.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "gpio_numbers.h"

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

// The words of `text`, split at white space: an emulator command such as
// "/usr/bin/qemu-mips-static -cpu 24Kc".
inline std::vector<std::string> command_words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
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

// The GPIO base the programs under test were built with (the build option
// MINER_TOOLS_GPIO_BASE): the environment variable of that name when set and
// non-empty, for another build's programs as with MINER_PROBE_BIN, else this
// build's. The simulated board names its lines with it. A value that is not a
// whole number stops the process with status 2.
inline int target_gpio_base()
{
    const char *text = std::getenv("MINER_TOOLS_GPIO_BASE");
    if (text == nullptr || *text == '\0')
        return GPIO_BASE;
    char *end = nullptr;
    const long base = std::strtol(text, &end, 10);
    if (*end != '\0' || base < 0 || base > 1000000) {
        std::fprintf(stderr, "MINER_TOOLS_GPIO_BASE=%s is not a GPIO base (a whole number from 0 to 1000000)\n", text);
        std::exit(2);
    }
    return static_cast<int>(base);
}

} // namespace sim
