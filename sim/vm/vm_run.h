// SPDX-License-Identifier: MIT
// Runs a command on the emulated control board (vm/board-vm: the real kernel
// under qemu) while a simulated hash board serves the guest's hash-board UART
// over a unix socket, and collects what the command did.
//
// The control line is the guest's own sysfs GPIO line, which the simulated
// hash board cannot watch: its chips answer whatever the line does
// (answers_after_cycles is ignored). The guest's kernel traces every level
// change of the line, which comes back in VmResult::gpio_events.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hash_board.h"
#include "sandbox.h"

namespace sim::vm {

struct VmJob {
    std::vector<std::string> command;                       // as the guest's shell runs it, e.g. {"i2c-bitbang", "200"}
    std::optional<HashBoardScenario> board;                 // on the UART; nullopt leaves it unconnected
    std::map<std::string, std::string> records;             // seeded into the guest's /usr/bin, by name
    std::vector<std::pair<std::string, std::string>> files; // extra files: {host path, absolute guest path}
    int timeout_s = 60;
    int boot_timeout_s = 90;  // for everything but the command (boot, results, power-off)
    std::string programs_dir; // empty: BOARD_VM_PROGRAMS, else the board preset's out/board
    // Base of the guest's GPIO chip (board-vm --gpio-base). The guest's init
    // exports gpio16, 19, 23 and 27 only for base 0; with another base the
    // command exports the lines itself.
    int gpio_base = 0;
};

// One change of a GPIO line as the guest's kernel traced it.
struct GpioEvent {
    int line = -1;
    std::string what; // "set", "get", "in" or "out"
    int value = -1;   // the level for set/get; 0 ok or 1 error for in/out
};

// What only the emulated board shows of a run: the lines as the guest left
// them, its kernel's trace and its console. sim::run_miner_probe reports it
// for a probe run on this board.
struct EmulatedBoard {
    std::map<int, std::string> gpio_value;     // "0\n" or "1\n" by line number
    std::map<int, std::string> gpio_direction; // "in\n" or "out\n"
    std::vector<GpioEvent> gpio_events;
    std::string stty_before, stty_after; // `stty -a` of the hash-board UART
    std::string console;                 // the guest's console
    long elapsed_ms = 0;                 // wall time of the launcher, boot included

    // The levels written to `line` ("0", "1"), in order, from the trace.
    [[nodiscard]] std::vector<std::string> writes_to(int line) const;
};

struct VmResult : EmulatedBoard {
    std::string error;      // why the board could not run the command, with the console's last lines
    int status = -1;        // the command's exit status
    bool timed_out = false; // killed at the job's time limit (status 137)
    std::string out, err;
    std::map<std::string, std::string> records; // record files in /usr/bin afterwards
    std::vector<ReceivedFrame> frames;          // what the hash board received
};

// Where vm/board-vm lives in this source tree.
std::string launcher_path();
// The image directory: BOARD_VM_IMAGE, else that of vm/build-image.sh
// --print; empty when no image is built.
std::string find_image();

// A job that runs the program `name` ("miner-probe", "i2c-bitbang") with
// `args`, the guest's copy of it replaced by the host's `program` when given,
// killed after `timeout_ms` (rounded up to whole seconds).
VmJob program_job(const std::string &name, const std::string &program, const std::vector<std::string> &args,
                  int timeout_ms);

// Boots the board and runs `job` on it. Returns 0 when the command ran (its
// own status in result->status, result->timed_out when it was killed at the
// time limit), 1 when the board could not run it (result->error says why,
// without a newline at its end).
int run_on_vm(const VmJob &job, VmResult *result);

// The run as the pseudo-terminal runs report it (sim::RunResult), for code
// that shows either kind, such as board-sim.
RunResult as_run_result(const VmResult &result);

} // namespace sim::vm
