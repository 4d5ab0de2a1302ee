// SPDX-License-Identifier: MIT
#include "shell.h"

#include <stdlib.h>

int shell_run(const char *command)
{
    // Pending output goes out first so that it stays in order with anything
    // the command itself reports.
    fflush(stdout);
    // The shell is the point: the commands are fixed strings of the program.
    return system(command); // NOLINT(cert-env33-c)
}

FILE *shell_read_open(const char *command)
{
    fflush(stdout);
    return popen(command, "r"); // NOLINT(cert-env33-c): fixed commands, as above
}

void shell_read_close(FILE *stream)
{
    pclose(stream);
}
