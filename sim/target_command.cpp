// SPDX-License-Identifier: MIT
#include "target_command.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "gpio_numbers.h"
#include "process.h"
#include "text.h"

namespace sim {

namespace {

constexpr unsigned EM_MIPS_MACHINE = 8; // e_machine of a MIPS ELF file

// The absolute path of `path` when it is an executable file; empty otherwise.
std::string executable_path(const std::string &path)
{
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr || access(resolved, X_OK) != 0)
        return "";
    return resolved;
}

// The ELF machine of a file and whether it is big-endian; nullopt for no ELF file.
std::optional<std::pair<unsigned, bool>> elf_machine(const std::string &path)
{
    unsigned char h[20] = {};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char *>(h), sizeof h) || h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
        return std::nullopt;
    const bool big = h[5] == 2;
    return std::pair(big ? (h[18] << 8U | h[19]) : (h[19] << 8U | h[18]), big);
}

Target failed(std::string why)
{
    return {.error = std::move(why)};
}

// The board's build of `name` in $BOARD_VM_PROGRAMS or out/board, laid out as
// a plain directory or as a build tree (probe/, i2c/); empty, with `why`.
std::string board_build(const std::string &name, const char *subdir, std::string *why)
{
    const std::string dir = env_or("BOARD_VM_PROGRAMS", MINER_TOOLS_SOURCE_DIR "/out/board");
    for (const std::string &candidate : {dir + "/" + name, dir + "/" + subdir + "/" + name})
        if (access(candidate.c_str(), F_OK) == 0)
            return candidate;
    *why = "no " + name + " under " + dir +
           "; build the board's programs (cmake --workflow --preset board), or name one with --program PATH or "
           "$BOARD_VM_PROGRAMS";
    return "";
}

} // namespace

Target find_target(const TargetChoice &choice)
{
    const bool probe = choice.program == Shipped::Probe;
    const std::string name = probe ? "miner-probe" : "i2c-bitbang";
    const char *variable = choice.emulated_board ? "BOARD_VM_PROGRAMS" : probe ? "MINER_PROBE_BIN" : "I2C_BITBANG_BIN";
    std::string chosen = choice.path;
    if (chosen.empty() && choice.emulated_board) {
        std::string why;
        chosen = board_build(name, probe ? "probe" : "i2c", &why);
        if (chosen.empty())
            return failed(why);
    } else if (chosen.empty()) {
        chosen = env_or(variable, probe ? MINER_PROBE_PATH : I2C_BITBANG_PATH);
    }
    Target target{.program = executable_path(chosen)};
    if (target.program.empty())
        return failed(chosen + " is not an executable file; build it, or name it with --program PATH or $" + variable);

    const auto elf = elf_machine(target.program);
    if (choice.emulated_board)
        return elf == std::pair(EM_MIPS_MACHINE, true)
                   ? target
                   : failed(chosen + " is not a big-endian MIPS program; the emulated board runs the board preset's " +
                            "build (out/board)");
    target.launcher = command_words(!choice.emulator.empty() ? choice.emulator : env_or("TARGET_EMULATOR", ""));
    if (target.launcher.empty() && elf && elf != elf_machine("/proc/self/exe")) {
        if (elf->first != EM_MIPS_MACHINE)
            return failed(target.program + " is built for another machine (ELF machine " + std::to_string(elf->first) +
                          "); name its emulator with --emulator PATH or $TARGET_EMULATOR");
        target.launcher = {elf->second ? "qemu-mips-static" : "qemu-mipsel-static", "-cpu", "24Kc"};
    }
    if (target.launcher.empty())
        return target;
    const std::string emulator = executable_path(find_on_path(target.launcher[0]));
    if (emulator.empty())
        return failed("emulator " + target.launcher[0] + " for " + target.program +
                      " not found; install Debian's qemu-user-static, or name one with --emulator PATH");
    target.launcher[0] = emulator;
    return target;
}

std::vector<std::string> command_words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

int target_gpio_base()
{
    const std::string text = env_or("MINER_TOOLS_GPIO_BASE", std::to_string(GPIO_BASE));
    const std::optional<long> base = parse_number(text, 0, 1000000);
    if (!base) {
        std::fprintf(stderr, "MINER_TOOLS_GPIO_BASE=%s is not a GPIO base (a whole number from 0 to 1000000)\n",
                     text.c_str());
        std::exit(2);
    }
    return static_cast<int>(*base);
}

} // namespace sim
