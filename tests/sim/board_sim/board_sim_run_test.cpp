// SPDX-License-Identifier: MIT
// The board-sim binary running the programs: its JSON document, the waveform
// files it leaves (none unless asked), and a stop signal in the middle of a
// probe. Needs root for the simulated board; skips otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_board_sim.h"
#include "sandbox.h"
#include "scenario.h"

namespace {

using board_sim::Json;
using board_sim_test::Ran;
using board_sim_test::run_board_sim;

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class BoardSimRun : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for the simulated board";
    }
};

TEST_F(BoardSimRun, JsonDocumentOfABtcRun)
{
    const Ran r = run_board_sim({"probe", "--family", "btc", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
    for (const char *field :
         {"\"subcommand\": \"probe\"", "\"family\": \"BTC\"", "\"exit_status\": 0", "\"name\": \"BTC detection\"",
          "\"verdict\": \"matches the BTC pattern", "\"cycles\": 1", "\"path\": \"/usr/bin/tempSensor\"",
          "\"appended\": [\n        \"YES\"\n      ]", "\"stdout\": \"open device success"})
        EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
    EXPECT_EQ(r.out.find("== "), std::string::npos) << "no text summary in the document";
}

TEST_F(BoardSimRun, WaveformIsKeptOnlyWhereAsked)
{
    char dir[] = "/tmp/board-sim-run-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const char *old = getenv("TMPDIR");
    const std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", dir, 1);
    const Ran plain = run_board_sim({"i2c", "--device-byte", "0xa5", "read"});
    const std::string kept = std::string(dir) + "/kept.vcd";
    const Ran asked = run_board_sim({"i2c", "--vcd", kept, "--quiet", "read"});
    if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");

    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.out.find("i2c read data=165!"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find("== waveform:"), std::string::npos) << plain.out;
    EXPECT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(asked.out.find("i2c read data"), std::string::npos) << "--quiet: only the summary";
    EXPECT_NE(asked.out.find("== waveform: " + kept), std::string::npos) << asked.out;

    std::vector<std::string> left;
    if (DIR *d = opendir(dir)) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                left.emplace_back(e->d_name);
        closedir(d);
    }
    EXPECT_EQ(left, std::vector<std::string>{"kept.vcd"}) << "nothing but the waveform asked for";
    unlink(kept.c_str());
    rmdir(dir);
}

TEST_F(BoardSimRun, StopSignalEndsTheRunWithoutReruns)
{
    // No board: ten attempts over six seconds, stopped in the second.
    const Ran r = run_board_sim({"probe"}, 1200);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.out.find("== miner-probe stopped by signal 15"), std::string::npos) << r.out;
    EXPECT_LT(count(r.out, "open device success"), 10u) << "the program was stopped, not run out";
    EXPECT_EQ(count(r.out, "== miner-probe on the default board"), 1u) << "no rerun";
    EXPECT_NE(r.err.find("board-sim: stopped by signal 15"), std::string::npos) << r.err;
}

} // namespace

namespace {

// A file the kernel cannot execute, or an ELF file of another machine, is
// board-sim's own error (status 1 with the reason), never the program's status.
std::string write_program(const char *name, const std::string &bytes)
{
    const std::string path = testing::TempDir() + name + "-" + std::to_string(getpid());
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    chmod(path.c_str(), 0755);
    return path;
}

// Unsets TARGET_EMULATOR, which a cross build's end-to-end run sets, for the
// life of the object, so that board-sim chooses the emulator itself.
class NoTargetEmulator {
public:
    NoTargetEmulator() : had_(getenv("TARGET_EMULATOR") != nullptr), saved_(had_ ? getenv("TARGET_EMULATOR") : "")
    {
        unsetenv("TARGET_EMULATOR");
    }
    ~NoTargetEmulator()
    {
        if (had_)
            setenv("TARGET_EMULATOR", saved_.c_str(), 1);
    }
    NoTargetEmulator(const NoTargetEmulator &) = delete;
    NoTargetEmulator &operator=(const NoTargetEmulator &) = delete;

private:
    bool had_;
    std::string saved_;
};

TEST_F(BoardSimRun, ProgramsThatCannotStartAreBoardSimsOwnError)
{
    // These files are judged on their own, not under the emulator that a
    // cross build's end-to-end run names.
    const NoTargetEmulator own_choice;
    const std::string junk = write_program("board-sim-junk", std::string("garbage\0\0\0", 10));
    const Ran not_elf = run_board_sim({"probe", "--family", "btc", "--program", junk});
    EXPECT_EQ(not_elf.status, 1);
    EXPECT_NE(not_elf.err.find("cannot run " + junk + ": " + junk + ": Exec format error"), std::string::npos)
        << not_elf.err;
    EXPECT_EQ(not_elf.out.find("exit status"), std::string::npos) << not_elf.out;

    // 32-bit little-endian ELF header of an ARM executable (machine 40).
    const std::string arm = write_program("board-sim-arm", std::string("\x7f"
                                                                       "ELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x28\0",
                                                                       20));
    const Ran foreign = run_board_sim({"i2c", "--program", arm, "read"});
    EXPECT_EQ(foreign.status, 1);
    EXPECT_NE(foreign.err.find("built for another machine (ELF machine 40)"), std::string::npos) << foreign.err;

    const Ran no_emulator = run_board_sim({"probe", "--program", junk, "--emulator", "/nonexistent/qemu-mips-static"});
    EXPECT_EQ(no_emulator.status, 1);
    EXPECT_NE(no_emulator.err.find("emulator /nonexistent/qemu-mips-static for " + junk + " not found"),
              std::string::npos)
        << no_emulator.err;
}

#ifdef FLOAT_CANARY_BOARD
// board-sim's own emulator for a MIPS program is the board's CPU, a 24Kc with
// no FPU: the board's soft-float build of a float program runs, the same
// program built hard-float dies with SIGILL (128 + 4), as on the board.
TEST_F(BoardSimRun, MipsProgramsRunOnTheBoardsCpuWithoutAnFpu)
{
    const NoTargetEmulator own_choice;
    const Ran soft = run_board_sim({"i2c", "--program", FLOAT_CANARY_BOARD, "read", "--json"});
    EXPECT_NE(soft.out.find("\"exit_status\": 0"), std::string::npos) << soft.out << soft.err;
    EXPECT_NE(soft.out.find("2.50"), std::string::npos) << soft.out;

    const Ran hard = run_board_sim({"i2c", "--program", FLOAT_CANARY_HARD_FLOAT, "read", "--json"});
    EXPECT_NE(hard.out.find("\"exit_status\": 132"), std::string::npos) << hard.out << hard.err;
}
#endif

// The committed scenarios run as they are, and each run's document holds
// the scenario it ran.
TEST_F(BoardSimRun, EveryCommittedScenarioRuns)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(SCENARIOS_DIR)) {
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        const Json file = Json::parse(sim::Sandbox::read_file(path), nullptr, false);
        ASSERT_TRUE(file.is_object());
        const std::string tool = file.value("tool", "");
        const Ran r = run_board_sim({tool, "--scenario", path, "--json"});
        const Json doc = Json::parse(r.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << r.out << r.err;
        EXPECT_EQ(r.status, doc["exit_status"]) << r.err;
        board_sim::ProbeScenario probe;
        board_sim::I2cScenario i2c;
        std::string why;
        ASSERT_TRUE(tool == "i2c" ? board_sim::read_scenario(sim::Sandbox::read_file(path), &i2c, nullptr, &why)
                                  : board_sim::read_scenario(sim::Sandbox::read_file(path), &probe, nullptr, &why))
            << why;
        EXPECT_EQ(doc["scenario"], tool == "i2c" ? Json(i2c) : Json(probe));
        ++files;
    }
    EXPECT_GE(files, 3);
}

// A run's --json document is a scenario: given back to --scenario, it runs
// the same board again.
TEST_F(BoardSimRun, JsonDocumentReplaysItsRun)
{
    const Ran first = run_board_sim({"probe", "--scenario", SCENARIOS_DIR "/ltc-with-sensor.json", "--set",
                                     "sensor=at=3", "--set", "temp_sensor=OLD", "--json"});
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string saved = ::testing::TempDir() + "board-sim-replay.json";
    std::ofstream(saved) << first.out;
    const Ran again = run_board_sim({"probe", "--scenario", saved, "--json"});
    ASSERT_EQ(again.status, 0) << again.err;
    const Json a = Json::parse(first.out), b = Json::parse(again.out);
    EXPECT_EQ(a["scenario"], b["scenario"]);
    EXPECT_EQ(a["scenario"]["sensor"], 3);
    for (const char *part : {"frames", "record_files", "control_line"})
        EXPECT_EQ(a[part], b[part]) << part;
    EXPECT_EQ(b["record_files"][0]["appended"], Json({"LTC"}));
    std::remove(saved.c_str());
}

} // namespace
