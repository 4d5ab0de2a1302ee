// SPDX-License-Identifier: MIT
// The probe's only way to the shell: the record files and the hash-board
// control line are reached through these two calls.
#pragma once

#include <stdio.h>

// Runs `command` through /bin/sh and waits for it.
// Returns system()'s status; every caller ignores it, as a failed record or
// control-line write must not stop the probe.
int shell_run(const char *command);

// Starts `command` with its standard output readable from the returned stream,
// or returns nullptr when the pipe cannot be set up. Close with shell_read_close.
FILE *shell_read_open(const char *command);

// Closes a stream from shell_read_open and waits for the command.
void shell_read_close(FILE *stream);
