// SPDX-License-Identifier: MIT
// Runs the real miner-probe binary against a simulated hash board, in a private
// mount namespace with a pseudo-terminal for the UART or on the emulated control
// board (sim/vm: the real kernel under qemu), and collects everything it did.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hash_board.h"
#include "sandbox.h"
#include "vm_run.h"

namespace sim {

// What a run of miner-probe meets: its arguments, the hash board and the
// control board's files (board-sim's probe scenario is one of these).
struct ProbeBoard {
    std::vector<std::string> args;          // arguments after the program name; any selects the alternate board
    HashBoardScenario board;                // its control_line_path is filled in by the run
    bool uart_present = true;               // false: no serial device node at all
    std::optional<std::string> miner_type;  // contents of /usr/bin/minerType before the run
    std::optional<std::string> temp_sensor; // contents of /usr/bin/tempSensor before the run
    bool gpio_files = true;                 // false: /sys/class/gpio holds no value files
    bool usr_bin_read_only = false;         // record files cannot be written
};

struct ProbeRunConfig : ProbeBoard {
    // The board's own kernel instead of the namespace: the chips answer whatever
    // its control line does (board.answers_after_cycles is ignored); it always has
    // its UART, GPIO files and a writable /usr/bin, and takes no launcher.
    bool emulated_board = false;
    // Absolute path of miner-probe; on the emulated board it replaces the
    // guest's (empty: the guest's own, from $BOARD_VM_PROGRAMS or out/board).
    std::string binary;
    std::vector<std::string> launcher; // words before the binary, e.g. an emulator (absolute path)
    int gpio_base = 0;                 // the program's GPIO base: lines gpio<base+27>, gpio<base+16>
    int timeout_ms = 60000;
    // The program waits only 2 ms for a reply's first byte: a run whose log shows
    // a time-out after a frame the board answered (a host too busy to deliver it)
    // is repeated up to this many times, but not after a stop signal.
    int reruns_on_late_reply = 3;
};

struct ProbeRunReport {
    RunResult run;
    std::optional<std::string> miner_type; // nullopt when the file does not exist afterwards
    std::optional<std::string> temp_sensor;
    std::string control_line;       // what was written to the board's control line
    std::string other_control_line; // what was written to the other variant's line
    std::vector<ReceivedFrame> frames;
    std::string setup_error;                   // non-empty when the run could not be set up
    int late_replies = 0;                      // answered frames the program had given up on
    int runs = 0;                              // 1, or more when late replies forced a rerun
    std::optional<vm::EmulatedBoard> emulated; // what only the emulated board shows
};

// The frames the board answered but after which the program's log shows
// "usb uart read timedout": replies the host delivered too late.
int count_late_replies(const std::string &out, const std::vector<ReceivedFrame> &frames);

// The serial device ("ttyATH0", "ttyS0") and control line ("gpio27",
// "gpio16" with GPIO base 0; "gpio539", "gpio528" with 512) of each board.
std::string uart_device_name(bool alt_board);
std::string control_line_gpio(bool alt_board, int gpio_base = 0);

// The late-reply rule (ProbeRunConfig::reruns_on_late_reply) for jobs that run
// the probe among other commands: calls `run`, which says whether its run had
// late replies, until one has none, after `reruns` reruns or a stop signal;
// returns how many runs it made.
int rerun_while_late(int reruns, const std::function<bool()> &run);

// Runs the program on its board, again while late replies call for it.
ProbeRunReport run_miner_probe(const ProbeRunConfig &config);

} // namespace sim
