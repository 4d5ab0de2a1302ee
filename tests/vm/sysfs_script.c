// SPDX-License-Identifier: MIT
// Runs a script of file operations on sysfs GPIO files and prints one line per
// operation with its result, so that the same script can be run on the
// kernel's files (on the emulated board) and on the FUSE model, and the two
// outputs compared line by line.
//
//   sysfs-script BASE OP...
//     o:FILE:MODE   open BASE/FILE, MODE r, w or rw (closes the file open before)
//     r:N           read N bytes at the file position
//     p:OFF:N       pread N bytes at OFF
//     w:TEXT        one write of TEXT (\n stands for a newline)
//     s:OFF         lseek to OFF from the start
//     c             close
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const struct {
    int code;
    const char *name;
} errno_names[] = {
    {EPERM, "EPERM"}, {ENOENT, "ENOENT"},   {EIO, "EIO"},       {EBADF, "EBADF"},   {EACCES, "EACCES"},
    {EBUSY, "EBUSY"}, {EINVAL, "EINVAL"},   {ESPIPE, "ESPIPE"}, {ENXIO, "ENXIO"},   {EISDIR, "EISDIR"},
    {EROFS, "EROFS"}, {ENOTSUP, "ENOTSUP"}, {EFAULT, "EFAULT"}, {EAGAIN, "EAGAIN"},
};

static const char *errno_name(int code)
{
    static char other[16];
    for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
        if (errno_names[i].code == code)
            return errno_names[i].name;
    snprintf(other, sizeof other, "errno %d", code);
    return other;
}

// Prints `len` bytes quoted, a newline as \n and other control bytes in hex.
static void print_quoted(const char *data, size_t len)
{
    putchar('"');
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = (unsigned char)data[i];
        if (c == '\n')
            fputs("\\n", stdout);
        else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\')
            printf("\\x%02x", c);
        else
            putchar(c);
    }
    putchar('"');
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: sysfs-script BASE OP...\n", stderr);
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0); // each result as soon as it is known
    int fd = -1;
    char buf[256];
    for (int i = 2; i < argc; ++i) {
        const char *op = argv[i];
        char file[200], mode[4] = "";
        long off = 0, len = 0;
        ssize_t n;
        int error;
        if (sscanf(op, "o:%199[^:]:%3s", file, mode) == 2) {
            if (fd >= 0)
                close(fd);
            char path[512];
            snprintf(path, sizeof path, "%s/%s", argv[1], file);
            fd = open(path, strcmp(mode, "r") == 0 ? O_RDONLY : strcmp(mode, "w") == 0 ? O_WRONLY : O_RDWR);
            n = fd < 0 ? -1 : 0;
            error = errno;
            printf("open %s %s", file, mode);
        } else if (sscanf(op, "r:%ld", &len) == 1 || sscanf(op, "p:%ld:%ld", &off, &len) == 2) {
            if (len > (long)sizeof buf)
                len = sizeof buf;
            n = op[0] == 'r' ? read(fd, buf, (size_t)len) : pread(fd, buf, (size_t)len, off);
            error = errno;
            if (op[0] == 'r')
                printf("read %ld", len);
            else
                printf("pread %ld at %ld", len, off);
            if (n >= 0) {
                fputs(" -> ", stdout);
                print_quoted(buf, (size_t)n);
                putchar('\n');
                continue;
            }
        } else if (strncmp(op, "w:", 2) == 0) {
            size_t size = 0;
            for (const char *s = op + 2; *s != '\0' && size < sizeof buf; ++s)
                buf[size++] = s[0] == '\\' && s[1] == 'n' ? (++s, '\n') : *s;
            n = write(fd, buf, size);
            error = errno;
            fputs("write ", stdout);
            print_quoted(buf, size);
        } else if (strncmp(op, "s:", 2) == 0) {
            n = (ssize_t)lseek(fd, (off_t)atol(op + 2), SEEK_SET);
            error = errno;
            printf("seek %s", op + 2);
        } else if (strcmp(op, "c") == 0) {
            n = close(fd);
            error = errno;
            fd = -1;
            printf("close");
        } else {
            fprintf(stderr, "bad op %s\n", op);
            return 2;
        }
        if (n < 0)
            printf(" -> %s\n", errno_name(error));
        else
            printf(" -> %ld\n", (long)n);
    }
    return 0;
}
