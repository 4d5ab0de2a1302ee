// SPDX-License-Identifier: MIT
// The command line that starts one of the shipped programs in an end-to-end
// test or in board-sim, so that the same tests can run another build of it:
// a static musl binary, or a MIPS one under an emulator.
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

// The absolute path of `path` when it is an executable file; empty otherwise.
std::string executable_path(const std::string &path);

inline constexpr unsigned EM_MIPS_MACHINE = 8; // e_machine of a MIPS ELF file

// The ELF machine and byte order of a file; false when it is no ELF file.
bool elf_machine(const std::string &path, unsigned *machine, bool *big_endian);

// The words that start `program`: `emulator`, then $TARGET_EMULATOR (each an
// emulator with its options), then, for a program built for another machine,
// the user-mode qemu for it: for MIPS, a 24Kc, the board's CPU, which has no
// FPU (qemu's default MIPS CPU has one, and would run a hard-float program
// that dies on the board). Empty for a program of this machine; false, with
// `why`, when none can run it. The emulator comes back as an absolute path.
bool find_launcher(const std::string &emulator, const std::string &program, std::vector<std::string> *launcher,
                   std::string *why);

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
