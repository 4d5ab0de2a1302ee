// SPDX-License-Identifier: MIT
#include "record.h"

#include <stdio.h>
#include <string.h>

#include "messages.h"
#include "miner_result.h"
#include "shell.h"

namespace {

struct RecordedName {
    const char *text;
    size_t compared;
};

// Checked in this order; "DASH" needs all four bytes so that "DAS" is no record.
constexpr RecordedName RECORDED_NAMES[] = {{"LTC", 3}, {"BTC", 3}, {"SIA", 3}, {"DASH", 4}};

struct RecordCommand {
    int result;
    const char *command;
};

constexpr RecordCommand RECORD_COMMANDS[] = {
    {MINER_BTC, "echo \"BTC\" >> /usr/bin/minerType"},
    {MINER_LTC, "echo \"LTC\" >> /usr/bin/minerType"},
    {MINER_DASH, "echo \"DASH\" >> /usr/bin/minerType"},
    {MINER_SIA, "echo \"SIA\" >> /usr/bin/minerType"},
};

} // namespace

void read_recorded_type(char (&buf)[RECORD_BUF_LEN])
{
    memset(buf, 0, sizeof buf);
    FILE *pipe = shell_read_open("cat /usr/bin/minerType");
    if (pipe == nullptr)
        return;

    // fgets leaves the buffer as it was at end of file, so it keeps the last
    // piece; after a read error its contents are undefined, so nothing counts.
    while (fgets(buf, RECORD_BUF_LEN, pipe) != nullptr)
        printf(RECORD_PIECE_FORMAT, buf);
    if (ferror(pipe))
        memset(buf, 0, sizeof buf);

    shell_read_close(pipe);
}

bool record_names_family(const char (&buf)[RECORD_BUF_LEN])
{
    for (const RecordedName &name : RECORDED_NAMES)
        if (memcmp(buf, name.text, name.compared) == 0)
            return true;
    return false;
}

const char *record_command(int result)
{
    for (const RecordCommand &rc : RECORD_COMMANDS)
        if (rc.result == result)
            return rc.command;
    return nullptr;
}
