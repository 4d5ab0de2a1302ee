// SPDX-License-Identifier: MIT
// Runs the real miner-probe binary against a simulated hash board and
// collects everything it did, on one of two boards: this machine, in a private
// mount namespace with a pseudo-terminal for the UART, or the emulated control
// board (sim/vm: the real kernel under qemu, the UART's far end a socket).
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

enum class Backend {
    Namespace, // this machine: a private mount namespace, a pseudo-terminal for the UART
    // The board's own kernel, serial driver, sysfs GPIO and busybox. Its
    // control line is the kernel's, so the chips answer whatever it does
    // (board.answers_after_cycles is ignored); it always has its UART, GPIO
    // files and a writable /usr/bin, and runs the program without a launcher.
    EmulatedBoard,
};

struct ProbeRunConfig : ProbeBoard {
    Backend backend = Backend::Namespace;
    // Absolute path of miner-probe; on the emulated board it replaces the
    // guest's (empty: the guest's own, from $BOARD_VM_PROGRAMS or out/board).
    std::string binary;
    std::vector<std::string> launcher; // words before the binary, e.g. an emulator (absolute path)
    int gpio_base = 0;                 // the program's GPIO base: lines gpio<base+27>, gpio<base+16>
    int timeout_ms = 60000;
    // The program waits only 2 ms for a reply's first byte. When the host is
    // too busy to deliver a reply in time (the run's log shows a time-out
    // after a frame the board answered), the run is repeated up to this many
    // times, so that a verdict never rests on the host's scheduling. No rerun
    // starts after a stop signal (stop_on_signals()).
    int reruns_on_late_reply = 3;
};

struct ProbeRunReport {
    RunResult run;
    std::optional<std::string> miner_type; // nullopt when the file does not exist afterwards
    std::optional<std::string> temp_sensor;
    std::string control_line;       // what was written to the board's control line
    std::string other_control_line; // what was written to the other variant's line
    std::vector<ReceivedFrame> frames;
    std::string setup_error; // non-empty when the run could not be set up
    int late_replies = 0;    // answered frames the program had given up on
    int runs = 0;            // 1, or more when late replies forced a rerun
    // What only the emulated board shows; nullopt for the namespace.
    std::optional<vm::EmulatedBoard> emulated;
};

// Counts the frames the board answered but after which the program's log
// shows "usb uart read timedout": replies the host delivered too late.
int count_late_replies(const std::string &out, const std::vector<ReceivedFrame> &frames);

// The serial device and control line each board variant uses; the line is
// "gpio27" or "gpio16" for a program built with GPIO base 0, "gpio539" or
// "gpio528" for one built with base 512.
std::string uart_device_name(bool alt_board);
std::string control_line_gpio(bool alt_board, int gpio_base = 0);

// The late-reply rule (ProbeRunConfig::reruns_on_late_reply): calls `run`,
// which says whether its run had late replies, until one has none, after
// `reruns` reruns, or once a stop signal came. Returns how many runs it made.
// For jobs on the emulated board that run the probe among other commands.
int rerun_while_late(int reruns, const std::function<bool()> &run);

// Runs the program on config.backend, again while late replies call for it.
ProbeRunReport run_miner_probe(const ProbeRunConfig &config);

} // namespace sim
