#include "shell.h"

#include <stdlib.h>

int shell_run(const char *command)
{
    // Pending output goes out first so that it stays in order with anything
    // the command itself reports.
    fflush(stdout);
    return system(command);
}

FILE *shell_read_open(const char *command)
{
    fflush(stdout);
    return popen(command, "r");
}

void shell_read_close(FILE *stream)
{
    pclose(stream);
}
