// SPDX-License-Identifier: MIT
#include "target_command.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "process.h"

namespace sim {

namespace {

constexpr unsigned EM_MIPS_MACHINE = 8; // e_machine of a MIPS ELF file

std::string env(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

// The absolute path of `path` when it is an executable file; empty otherwise.
std::string executable_path(const std::string &path)
{
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr || access(resolved, X_OK) != 0)
        return "";
    return resolved;
}

// The ELF machine and byte order of a file; false when it is no ELF file.
bool elf_machine(const std::string &path, unsigned *machine, bool *big_endian)
{
    unsigned char h[20] = {};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char *>(h), sizeof h) || h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
        return false;
    *big_endian = h[5] == 2;
    *machine = *big_endian ? (h[18] << 8 | h[19]) : (h[19] << 8 | h[18]);
    return true;
}

Target failed(std::string why)
{
    return {.error = std::move(why)};
}

// The board's build of `name` in $BOARD_VM_PROGRAMS or out/board, laid out as
// a plain directory or as a build tree (probe/, i2c/); empty, with `why`.
std::string board_build(const std::string &name, const char *subdir, std::string *why)
{
    std::string dir = env("BOARD_VM_PROGRAMS");
    if (dir.empty())
        dir = MINER_TOOLS_SOURCE_DIR "/out/board";
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
        chosen = !env(variable).empty() ? env(variable) : probe ? MINER_PROBE_PATH : I2C_BITBANG_PATH;
    }
    Target target{.program = executable_path(chosen)};
    if (target.program.empty())
        return failed(chosen + " is not an executable file; build it, or name it with --program PATH or $" + variable);

    unsigned machine = 0, own_machine = 0;
    bool big = false, own_big = false;
    const bool elf = elf_machine(target.program, &machine, &big);
    if (choice.emulated_board) {
        if (!elf || machine != EM_MIPS_MACHINE || !big)
            return failed(chosen + " is not a big-endian MIPS program; the emulated board runs the board preset's " +
                          "build (out/board)");
        return target;
    }
    target.launcher = command_words(!choice.emulator.empty() ? choice.emulator : env("TARGET_EMULATOR"));
    if (target.launcher.empty() && elf && elf_machine("/proc/self/exe", &own_machine, &own_big) &&
        (machine != own_machine || big != own_big)) {
        if (machine != EM_MIPS_MACHINE)
            return failed(target.program + " is built for another machine (ELF machine " + std::to_string(machine) +
                          "); name its emulator with --emulator PATH or $TARGET_EMULATOR");
        target.launcher = {big ? "qemu-mips-static" : "qemu-mipsel-static", "-cpu", "24Kc"};
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

} // namespace sim
