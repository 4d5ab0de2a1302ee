// SPDX-License-Identifier: MIT
// The one way the support code starts a program: fork, the standard streams
// set up, every other descriptor closed, an optional step of the caller's,
// then exec. A failure of any of these in the child comes back through a
// close-on-exec pipe as its errno and the step's name; an empty pipe means
// that the exec succeeded. So a program that exits 127 is never mistaken for
// one that did not start.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// Where standard output or error goes: inherited, captured, or (standard
// error only) into standard output.
enum class Sink { Inherit, Capture, Stdout };

struct ProcessLaunch {
    std::vector<std::string> argv{}; // argv[0]: a path, or a name looked up on $PATH
    std::string stdin_path{};        // empty: inherited
    Sink out = Sink::Inherit, err = Sink::Inherit;
    // Runs in the child just before the exec, so only async-signal-safe calls
    // (the parent may have threads). Returns nullptr, or the name of the step
    // that failed with errno set.
    std::function<const char *()> child_setup{};
};

struct RunResult {
    bool timed_out = false;   // killed after the deadline
    bool stopped = false;     // ended early by a stop signal (stop_on_signals())
    int exit_status = -1;     // exit status, or 128 + signal number
    int signal = 0;           // the signal that ended it, or 0
    int exec_errno = 0;       // not 0: it never started, and
    std::string exec_error{}; // says why: "step: reason", e.g. "/bin/x: No such file or directory"
    std::string out{};        // captured standard output
    std::string err{};        // and standard error
};

class Process {
public:
    explicit Process(const ProcessLaunch &launch);
    // Kills and reaps a process that is still running.
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // -1 when it did not start (see wait()'s exec_errno) or has been reaped.
    [[nodiscard]] pid_t pid() const { return pid_; }
    // Becomes readable when the process ends; for poll().
    [[nodiscard]] int exit_fd() const { return pidfd_; }
    // Waits for the end and collects the result, killing the process after
    // `timeout_ms` (negative: no limit). After stop_on_signals(), a stop
    // signal is passed on to it, and it is killed if it has not exited a
    // second later. Called again, it returns the same result.
    RunResult wait(int timeout_ms);
    // Hands the running process over to the caller, who reaps it (a tracer, say).
    pid_t release() { return std::exchange(pid_, -1); }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_fd_ = -1, err_fd_ = -1; // captures
    RunResult result_;
};

inline constexpr int NO_TIME_LIMIT = -1;

inline RunResult run_process(const ProcessLaunch &launch, int timeout_ms)
{
    return Process(launch).wait(timeout_ms);
}

// An absolute path for `name`: itself when it holds a slash, else the first
// executable of that name on $PATH; empty when there is none.
std::string find_on_path(const std::string &name);

// The environment variable `name` when it is set and not empty, else `fallback`.
std::string env_or(const char *name, const std::string &fallback);

// Makes SIGINT, SIGTERM and SIGHUP stop the run in progress instead of ending
// this process mid-way (with its sandbox directory and mounts left behind):
// Process::wait() passes the signal on to the program and returns, and
// run_miner_probe() starts no rerun. For the command-line tools; the tests
// leave the signals alone. Returns false with `why` set when it cannot.
bool stop_on_signals(std::string *why);
// The stop signal caught so far, or 0.
int stop_signal();

} // namespace sim
