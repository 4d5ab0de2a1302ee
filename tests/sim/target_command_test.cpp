// SPDX-License-Identifier: MIT
// The one lookup of a shipped program and its emulator: the order of the
// choices, the emulator picked by a program's ELF header, the emulated
// board's own build, and errors that say what to do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "target_command.h"

namespace {

namespace fs = std::filesystem;
using sim::Shipped;
using sim::TargetChoice;
using Words = std::vector<std::string>;

constexpr unsigned MIPS = 8, ARM = 40;

// The first 20 bytes of a 32-bit ELF executable for `machine`.
std::string elf_header(bool big_endian, unsigned machine)
{
    std::string h("\x7f"
                  "ELF\x01\x01\x01",
                  7);
    h[5] = big_endian ? 2 : 1;
    h.resize(20, '\0');
    h[big_endian ? 17 : 16] = 2; // ET_EXEC
    h[big_endian ? 19 : 18] = static_cast<char>(machine);
    return h;
}

const char *const VARIABLES[] = {"MINER_PROBE_BIN", "I2C_BITBANG_BIN", "TARGET_EMULATOR", "BOARD_VM_PROGRAMS", "PATH"};

// A scratch directory whose bin/ is the whole $PATH, with the variables the
// lookup reads unset; all put back afterwards.
class TargetLookup : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char *name : VARIABLES) {
            const char *value = getenv(name);
            saved_.emplace_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        fs::remove_all(dir_);
        fs::create_directories(dir_ + "/bin");
        setenv("PATH", (dir_ + "/bin").c_str(), 1);
    }
    void TearDown() override
    {
        for (size_t i = 0; i < saved_.size(); ++i)
            saved_[i] ? setenv(VARIABLES[i], saved_[i]->c_str(), 1) : unsetenv(VARIABLES[i]);
        fs::remove_all(dir_);
    }

    // A file under the scratch directory; its canonical path.
    std::string file(const std::string &name, const std::string &bytes = "#!/bin/sh\n", mode_t mode = 0755)
    {
        const std::string path = dir_ + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        chmod(path.c_str(), mode);
        return fs::canonical(path).string();
    }

    const std::string dir_ = testing::TempDir() + "target-command-" + std::to_string(getpid());
    std::vector<std::optional<std::string>> saved_;
};

TEST_F(TargetLookup, ProgramIsTheGivenPathThenItsVariableThenThisBuilds)
{
    const std::string given = file("given"), probe_env = file("probe-env"), i2c_env = file("i2c-env");
    EXPECT_EQ(sim::find_target({.program = Shipped::Probe}).program, fs::canonical(MINER_PROBE_PATH));
    setenv("MINER_PROBE_BIN", "", 1); // empty counts as unset
    EXPECT_EQ(sim::find_target({.program = Shipped::Probe}).program, fs::canonical(MINER_PROBE_PATH));

    setenv("MINER_PROBE_BIN", probe_env.c_str(), 1);
    EXPECT_EQ(sim::find_target({.program = Shipped::Probe}).program, probe_env);
    EXPECT_EQ(sim::find_target({.program = Shipped::I2c}).program, fs::canonical(I2C_BITBANG_PATH));
    setenv("I2C_BITBANG_BIN", i2c_env.c_str(), 1);
    EXPECT_EQ(sim::find_target({.program = Shipped::I2c}).program, i2c_env);

    const sim::Target chosen = sim::find_target({.program = Shipped::Probe, .path = given});
    EXPECT_EQ(chosen.program, given);
    EXPECT_EQ(chosen.launcher, Words{});
    EXPECT_EQ(chosen.error, "");
}

TEST_F(TargetLookup, EmulatorIsTheGivenOneThenTheVariableThenTheBoardsCpuForMips)
{
    const std::string qemu = file("bin/qemu-mips-static"), qemu_el = file("bin/qemu-mipsel-static");
    const std::string emu = file("bin/emu"), other = file("bin/other");
    const std::string mips = file("mips", elf_header(true, MIPS)), mipsel = file("mipsel", elf_header(false, MIPS));
    const auto launcher = [](const TargetChoice &c) {
        const sim::Target t = sim::find_target(c);
        EXPECT_EQ(t.error, "");
        return t.launcher;
    };
    // The board's CPU has no FPU: a 24Kc, whatever the byte order.
    EXPECT_EQ(launcher({.path = mips}), (Words{qemu, "-cpu", "24Kc"}));
    EXPECT_EQ(launcher({.path = mipsel}), (Words{qemu_el, "-cpu", "24Kc"}));
    // A program of this machine runs as it is.
    EXPECT_EQ(launcher({.path = "/proc/self/exe"}), Words{});

    setenv("TARGET_EMULATOR", " emu  -L /lib ", 1);
    EXPECT_EQ(launcher({.path = mips}), (Words{emu, "-L", "/lib"}));
    EXPECT_EQ(launcher({.path = file("script")}), (Words{emu, "-L", "/lib"}));
    EXPECT_EQ(launcher({.path = mips, .emulator = "other -cpu 24Kf"}), (Words{other, "-cpu", "24Kf"}));
}

TEST_F(TargetLookup, ErrorsNameTheFileAndWhatToDo)
{
    const auto error = [](const TargetChoice &c) {
        const sim::Target t = sim::find_target(c);
        EXPECT_EQ(t.program, "");
        EXPECT_EQ(t.launcher, Words{});
        return t.error;
    };
    EXPECT_EQ(error({.path = "/nonexistent/miner-probe"}),
              "/nonexistent/miner-probe is not an executable file; build it, or name it with --program PATH or "
              "$MINER_PROBE_BIN");
    const std::string plain = file("plain", "#!/bin/sh\n", 0644);
    EXPECT_EQ(error({.program = Shipped::I2c, .path = plain}),
              plain + " is not an executable file; build it, or name it with --program PATH or $I2C_BITBANG_BIN");

    const std::string arm = file("arm", elf_header(false, ARM));
    EXPECT_EQ(error({.path = arm}), arm + " is built for another machine (ELF machine 40); name its emulator with "
                                          "--emulator PATH or $TARGET_EMULATOR");
    const std::string mips = file("mips", elf_header(true, MIPS));
    EXPECT_EQ(error({.path = mips}), "emulator qemu-mips-static for " + mips +
                                         " not found; install Debian's qemu-user-static, or name one with "
                                         "--emulator PATH");
    setenv("TARGET_EMULATOR", "/nonexistent/qemu -cpu 24Kc", 1);
    EXPECT_EQ(error({.path = mips}).rfind("emulator /nonexistent/qemu for " + mips + " not found", 0), 0u);
}

TEST_F(TargetLookup, EmulatedBoardRunsTheBoardBuildAsItIs)
{
    const std::string probe = file("board/probe/miner-probe", elf_header(true, MIPS));
    const std::string i2c = file("board/i2c-bitbang", elf_header(true, MIPS));
    // Neither the host programs' variables nor an emulator play a part.
    setenv("MINER_PROBE_BIN", file("script").c_str(), 1);
    setenv("TARGET_EMULATOR", file("bin/emu").c_str(), 1);
    setenv("BOARD_VM_PROGRAMS", (dir_ + "/board").c_str(), 1);
    const sim::Target found = sim::find_target({.program = Shipped::Probe, .emulated_board = true});
    EXPECT_EQ(found.program, probe);
    EXPECT_EQ(found.launcher, Words{});
    EXPECT_EQ(sim::find_target({.program = Shipped::I2c, .emulated_board = true}).program, i2c);
    EXPECT_EQ(sim::find_target({.program = Shipped::I2c, .path = probe, .emulated_board = true}).program, probe);

    for (const std::string &wrong : {file("mipsel", elf_header(false, MIPS)), file("script")})
        EXPECT_EQ(sim::find_target({.path = wrong, .emulated_board = true}).error,
                  wrong + " is not a big-endian MIPS program; the emulated board runs the board preset's build "
                          "(out/board)");
    setenv("BOARD_VM_PROGRAMS", (dir_ + "/bin").c_str(), 1);
    EXPECT_EQ(sim::find_target({.emulated_board = true}).error,
              "no miner-probe under " + dir_ +
                  "/bin; build the board's programs (cmake --workflow --preset board), "
                  "or name one with --program PATH or $BOARD_VM_PROGRAMS");
    // By default the board preset's build tree in this source tree.
    unsetenv("BOARD_VM_PROGRAMS");
    const sim::Target usual = sim::find_target({.emulated_board = true});
    EXPECT_NE((usual.program + usual.error).find("/out/board"), std::string::npos) << usual.error;
}

} // namespace
