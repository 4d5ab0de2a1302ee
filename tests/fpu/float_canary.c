/* SPDX-License-Identifier: MIT */
/* A floating-point program for telling a CPU with an FPU from one without:
 * prints 2.5 times the number on its command line, with two decimals ("3.75"
 * for 1.5; the number keeps the compiler from working it out beforehand).
 * Built by the board's soft-float toolchain it must print that on the board's
 * FPU-less CPU; built by Debian's hard-float toolchain it must die there with
 * SIGILL, which is what shows that a CPU model lacks an FPU. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    const double x = argc > 1 ? strtod(argv[1], NULL) : 1.0;
    printf("%.2f\n", x * 2.5);
    return 0;
}
