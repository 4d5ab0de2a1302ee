// SPDX-License-Identifier: MIT
// The record file check (probe/record.h): read_recorded_type()'s piece-reading
// loop over any file contents, delivered in reads of any size and possibly
// ending in a read error, then record_names_family() on what it kept.
//
// The probe reaches the file only through shell_read_open(); this target
// defines that seam (instead of linking shell.cpp) and serves the fuzz input
// as the command's output.
//
// Properties: the buffer kept is the last piece fgets() returned (at most 19
// bytes, up to and including a newline), terminated; after a read error it is
// all zeros; the family check is true exactly when that piece begins with LTC,
// BTC, SIA or DASH. No read goes past the buffer or the input (sanitizers).
// Input: byte 0 bit 0 set: the pipe cannot be opened. Byte 1: 0xFF for no read
// error, else the read error comes after min(byte 1 * 4, contents) bytes.
// Byte 2: the size of each read, 1 to 256. Bytes from 3 on: the file contents.
#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include "fuzz_check.h"
#include "record.h"
#include "shell.h"

namespace {

struct Source {
    const uint8_t *data;
    size_t size;
    size_t pos;
    size_t error_at; // SIZE_MAX: no error
    size_t chunk;
};

Source source;
bool open_fails;

ssize_t read_source(void *cookie, char *buf, size_t len)
{
    Source &s = *static_cast<Source *>(cookie);
    if (s.pos >= s.error_at)
        return -1;
    size_t n = len < s.chunk ? len : s.chunk;
    const size_t limit = s.error_at < s.size ? s.error_at : s.size;
    if (n > limit - s.pos)
        n = limit - s.pos;
    memcpy(buf, s.data + s.pos, n);
    s.pos += n;
    return static_cast<ssize_t>(n);
}

// The last piece fgets() hands out, reading the contents before any error
// point in pieces of at most RECORD_BUF_LEN - 1 bytes that end after a newline.
size_t last_piece(const uint8_t *contents, size_t size, size_t *start)
{
    size_t pos = 0;
    size_t len = 0;
    *start = 0;
    while (pos < size) {
        size_t n = 0;
        while (pos + n < size && n < RECORD_BUF_LEN - 1) {
            ++n;
            if (contents[pos + n - 1] == '\n')
                break;
        }
        *start = pos;
        len = n;
        pos += n;
    }
    return len;
}

bool begins_with_family(const char *piece, size_t len)
{
    static const char *const names[] = {"LTC", "BTC", "SIA", "DASH"};
    for (const char *name : names) {
        const size_t n = strlen(name);
        if (len >= n && memcmp(piece, name, n) == 0)
            return true;
    }
    return false;
}

} // namespace

FILE *shell_read_open(const char *command)
{
    FUZZ_CHECK(strcmp(command, "cat /usr/bin/minerType") == 0);
    if (open_fails)
        return nullptr;
    static const cookie_io_functions_t io{read_source, nullptr, nullptr, nullptr};
    return fopencookie(&source, "r", io);
}

void shell_read_close(FILE *stream)
{
    fclose(stream);
}

int shell_run(const char *command)
{
    (void)command;
    FUZZ_CHECK(false); // reading the record runs no other command
    return -1;
}

namespace {

// What read_recorded_type() kept when every read succeeded.
void check_kept_piece(const char (&buf)[RECORD_BUF_LEN], const uint8_t *contents, size_t size)
{
    size_t start = 0;
    const size_t len = last_piece(contents, size, &start);
    if (len == 0) {
        // Nothing was read: the zeroed buffer stays as it was.
        for (const char c : buf)
            FUZZ_CHECK(c == '\0');
    } else {
        FUZZ_CHECK(memcmp(buf, contents + start, len) == 0);
        FUZZ_CHECK(buf[len] == '\0');
    }
    FUZZ_CHECK(record_names_family(buf) == begins_with_family(buf, len));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    open_fails = (data[0] & 1) != 0;
    const uint8_t *contents = data + 3;
    const size_t contents_size = size - 3;
    source = Source{contents, contents_size, 0, data[1] == 0xFF ? SIZE_MAX : static_cast<size_t>(data[1]) * 4,
                    static_cast<size_t>(data[2]) + 1};

    char buf[RECORD_BUF_LEN];
    memset(buf, 0x5A, sizeof buf);
    read_recorded_type(buf);

    if (open_fails || source.error_at <= contents_size) {
        // No pipe, or a read error: nothing counts.
        for (const char c : buf)
            FUZZ_CHECK(c == '\0');
        FUZZ_CHECK(!record_names_family(buf));
        return 0;
    }
    check_kept_piece(buf, contents, contents_size);
    return 0;
}
