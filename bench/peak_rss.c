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
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000L + ts.tv_nsec / 1000L;
}

/* VmHWM of a stopped process, in kB; -1 when it cannot be read. */
static long vm_hwm_kb(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != NULL)
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

int main(int argc, char **argv)
{
    (void)argc;
    const char *program = getenv("PEAK_RSS_PROGRAM");
    if (program == NULL || *program == '\0') {
        fprintf(stderr, "peak-rss: set PEAK_RSS_PROGRAM to the program to run\n");
        return 127;
    }
    argv[0] = (char *)program;

    const long start = now_us();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("peak-rss: fork");
        return 127;
    }
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
        raise(SIGSTOP); /* lets the parent set its options before the exec */
        execv(program, argv);
        fprintf(stderr, "peak-rss: %s: %s\n", program, strerror(errno));
        _exit(127);
    }

    int status = 0;
    long hwm = -1;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
        fprintf(stderr, "peak-rss: the program did not start\n");
        return 127;
    }
    ptrace(PTRACE_SETOPTIONS, pid, NULL,
           (void *)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
    ptrace(PTRACE_CONT, pid, NULL, NULL);

    struct rusage usage;
    memset(&usage, 0, sizeof usage);
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
            deliver = WSTOPSIG(status); /* an ordinary signal: pass it on */
        ptrace(PTRACE_CONT, pid, NULL, (void *)(long)deliver);
    }
    const long wall = now_us() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(stderr, "peak-rss: wall_us=%ld hwm_kb=%ld maxrss_kb=%ld status=%d\n", wall, hwm, usage.ru_maxrss,
            code);
    return code;
}
