// SPDX-License-Identifier: MIT
// Shared by the fuzz targets: the entry point libFuzzer calls, and the check
// that stops a run on a broken property. The targets use only the C library,
// so that their replay drivers build wherever the programs do (musl, MIPS).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Prints which property failed and aborts, which both libFuzzer and the replay
// driver report as a failing input.
#define FUZZ_CHECK(cond)                                                                \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                    \
        }                                                                               \
    } while (0)
