// SPDX-License-Identifier: MIT
/*
 * peak-rss: runs the program named by $PEAK_RSS_PROGRAM with this command's
 * own arguments (so that a runner that decides things by the argument count,
 * like the probe's board variant, sees the same count) and reports on
 * standard error, in one line:
 *
 *   peak-rss: wall_us=N hwm_kb=N maxrss_kb=N status=N
 *
 * wall_us   from fork to reaping the program;
 * hwm_kb    the program's own peak resident set (VmHWM), read when it exits,
 *           so neither this helper's image nor the program's children count;
 * maxrss_kb ru_maxrss from wait4(): the largest of the program and the
 *           children it waited for (the shell and its commands, say).
 *
 * Exits with the program's status. Benchmark support; it does not ship.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

long now_us()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000L + ts.tv_nsec / 1000L;
}

// VmHWM of a stopped process, in kB; -1 when it cannot be read.
long vm_hwm_kb(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

} // namespace

int main(int argc, char **argv)
{
    const char *program = getenv("PEAK_RSS_PROGRAM");
    if (program == nullptr || *program == '\0') {
        fprintf(stderr, "peak-rss: set PEAK_RSS_PROGRAM to the program to run\n");
        return 127;
    }
    std::vector<std::string> args(argv, argv + argc);
    args[0] = program;

    const long start = now_us();
    // Traced from the exec on: the program stops with SIGTRAP once it has
    // replaced the child, before its first instruction.
    sim::Process process({.argv = args, .child_setup = [] {
                              return ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? nullptr : "ptrace";
                          }});
    if (process.pid() < 0) {
        fprintf(stderr, "peak-rss: %s\n", process.wait(0).exec_error.c_str());
        return 127;
    }
    const pid_t pid = process.release();
    int status = 0;
    long hwm = -1;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
        fprintf(stderr, "peak-rss: the program did not start\n");
        return 127;
    }
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           reinterpret_cast<void *>(static_cast<long>(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL)));
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);

    struct rusage usage {};
    for (;;) {
        if (wait4(pid, &status, 0, &usage) != pid) {
            if (errno == EINTR)
                continue;
            perror("peak-rss: wait4");
            return 127;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        const int event = status >> 16;
        int deliver = 0;
        if (event == PTRACE_EVENT_EXIT)
            hwm = vm_hwm_kb(pid);
        else if (event == 0 && WSTOPSIG(status) != SIGTRAP)
            deliver = WSTOPSIG(status); // an ordinary signal: pass it on
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(deliver)));
    }
    const long wall = now_us() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(stderr, "peak-rss: wall_us=%ld hwm_kb=%ld maxrss_kb=%ld status=%d\n", wall, hwm, usage.ru_maxrss, code);
    return code;
}
