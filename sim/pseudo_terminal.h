// SPDX-License-Identifier: MIT
// A pseudo-terminal pair from openpty(3), closed on destruction: the master
// end is the far side of a serial line (a simulated hash board, a test), the
// slave's path is what a program opens as its serial device. Holding the
// slave open keeps the line up across the program's own opens and closes.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <utility>

namespace sim {

class PseudoTerminal {
public:
    PseudoTerminal()
    {
        char name[PATH_MAX] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            master_ = slave_ = -1;
        slave_path_ = name;
        for (const int fd : {master_, slave_})
            fcntl(fd, F_SETFD, FD_CLOEXEC); // fails harmlessly on -1
    }
    ~PseudoTerminal()
    {
        close_master();
        close(slave_);
    }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool ok() const { return master_ >= 0; }
    // Hangs up the far end, as a board that goes away.
    void close_master() { close(std::exchange(master_, -1)); }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string &slave_path() const { return slave_path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

} // namespace sim
