// SPDX-License-Identifier: MIT
#include "target_command.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "process.h"

namespace sim {

std::string executable_path(const std::string &path)
{
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr || access(resolved, X_OK) != 0)
        return "";
    return resolved;
}

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

bool find_launcher(const std::string &emulator, const std::string &program, std::vector<std::string> *launcher,
                   std::string *why)
{
    const char *from_env = getenv("TARGET_EMULATOR");
    std::vector<std::string> words = command_words(!emulator.empty() ? emulator : from_env != nullptr ? from_env : "");
    unsigned machine = 0, own_machine = 0;
    bool big = false, own_big = false;
    if (words.empty() && elf_machine(program, &machine, &big) &&
        elf_machine("/proc/self/exe", &own_machine, &own_big) && (machine != own_machine || big != own_big)) {
        if (machine != EM_MIPS_MACHINE) {
            *why = program + " is built for another machine (ELF machine " + std::to_string(machine) +
                   "); name its emulator with --emulator PATH or $TARGET_EMULATOR";
            return false;
        }
        words = {big ? "qemu-mips-static" : "qemu-mipsel-static", "-cpu", "24Kc"};
    }
    if (words.empty())
        return true;
    const std::string resolved = executable_path(find_on_path(words[0]));
    if (resolved.empty()) {
        *why = "emulator " + words[0] + " for " + program +
               " not found; install Debian's qemu-user-static, or name one with --emulator PATH";
        return false;
    }
    words[0] = resolved;
    *launcher = std::move(words);
    return true;
}

} // namespace sim
