// SPDX-License-Identifier: MIT
// A bus master for tests of the simulated board, making the same file
// operations as the tool: four write-only descriptors, one write per level or
// direction, SDA's value file reopened read-only for every sample. It runs over
// either the board's own file operations or real files under a mount.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "gpio_board.h"

namespace i2c_board_test {

using sim::GpioFile;

// File operations by descriptor, like the system calls.
class GpioFileOps {
public:
    virtual ~GpioFileOps() = default;
    virtual int open(GpioFile file, bool for_write) = 0; // descriptor or -1
    virtual void close(int fd) = 0;
    virtual long read(int fd, char *buf, std::size_t size) = 0; // bytes or -1
    virtual long write(int fd, const char *data, std::size_t size) = 0;
};

// Straight onto a GpioBoard: descriptor = file index, offsets ignored.
class BoardFileOps : public GpioFileOps {
public:
    explicit BoardFileOps(sim::GpioBoard &board) : board_(board) {}
    int open(GpioFile file, bool) override { return board_.open(file) ? -1 : static_cast<int>(file); }
    void close(int fd) override
    {
        if (fd >= 0)
            board_.close(static_cast<GpioFile>(fd));
    }
    long read(int fd, char *buf, std::size_t size) override
    {
        if (fd < 0)
            return -1;
        return static_cast<long>(board_.read(static_cast<GpioFile>(fd)).copy(buf, size));
    }
    long write(int fd, const char *data, std::size_t size) override
    {
        if (fd < 0 || board_.write(static_cast<GpioFile>(fd), std::string_view(data, size)))
            return -1;
        return static_cast<long>(size);
    }

private:
    sim::GpioBoard &board_;
};

// Real files below a directory holding gpio19/ and gpio23/.
class PosixFileOps : public GpioFileOps {
public:
    explicit PosixFileOps(std::string dir) : dir_(std::move(dir)) {}
    int open(GpioFile file, bool for_write) override
    {
        return ::open((dir_ + "/" + sim::gpio_file_path(file)).c_str(), for_write ? O_WRONLY : O_RDONLY);
    }
    void close(int fd) override { ::close(fd); }
    long read(int fd, char *buf, std::size_t size) override { return ::read(fd, buf, size); }
    long write(int fd, const char *data, std::size_t size) override { return ::write(fd, data, size); }

private:
    std::string dir_;
};

class TestMaster {
public:
    explicit TestMaster(GpioFileOps &ops) : ops_(ops) {}
    ~TestMaster()
    {
        for (int fd : {scl_dir_, sda_dir_, sda_val_, scl_val_})
            if (fd >= 0)
                ops_.close(fd);
    }

    // Opens the four files and leaves the bus idle; false when an open fails.
    bool begin()
    {
        scl_dir_ = ops_.open(GpioFile::SclDirection, true);
        sda_dir_ = ops_.open(GpioFile::SdaDirection, true);
        sda_val_ = ops_.open(GpioFile::SdaValue, true);
        scl_val_ = ops_.open(GpioFile::SclValue, true);
        if (scl_dir_ < 0 || sda_dir_ < 0 || sda_val_ < 0 || scl_val_ < 0)
            return false;
        put(scl_dir_, "out");
        put(sda_dir_, "out");
        sda(1);
        scl(1);
        return true;
    }

    // 0 when acknowledged, 1 when the address was not, 2 when the data byte was not.
    int write_data(std::uint8_t addr, std::uint8_t data)
    {
        start();
        const int rc = write_byte(addr) != 0 ? 1 : write_byte(data) != 0 ? 2 : 0;
        stop();
        return rc;
    }

    // 0 with *out set, or 1 when the address was not acknowledged.
    int read_data(std::uint8_t addr, std::uint8_t *out)
    {
        start();
        const int rc = write_byte(static_cast<std::uint8_t>(addr | 1)) != 0 ? 1 : 0;
        if (rc == 0)
            *out = read_byte();
        stop();
        return rc;
    }

    void start() { sda(1), scl(1), sda(0), scl(0); }
    void stop() { sda(0), scl(1), sda(1); }
    // Sends a byte; returns the acknowledge bit as sampled (0 = acknowledged).
    int write_byte(std::uint8_t b)
    {
        for (int bit = 7; bit >= 0; --bit) {
            sda((b >> bit) & 1);
            scl(1);
            scl(0);
        }
        put(sda_dir_, "in");
        scl(1);
        const int ack = sample_sda();
        scl(0);
        put(sda_dir_, "out");
        return ack;
    }
    // Reads a byte and answers it with `ack` (false: not acknowledged).
    std::uint8_t read_byte(bool ack = false)
    {
        put(sda_dir_, "in");
        int result = 0;
        for (int bit = 7; bit >= 0; --bit) {
            scl(1);
            result |= (sample_sda() << bit) & 0xFF;
            scl(0);
        }
        put(sda_dir_, "out");
        sda(ack ? 0 : 1);
        scl(1);
        scl(0);
        return static_cast<std::uint8_t>(result);
    }

    void sda(int level) { put(sda_val_, level ? "1" : "0"); }
    void scl(int level) { put(scl_val_, level ? "1" : "0"); }
    // The level read, or -1 when a reopen failed.
    int sample_sda()
    {
        ops_.close(sda_val_);
        sda_val_ = ops_.open(GpioFile::SdaValue, false);
        if (sda_val_ < 0)
            return -1;
        char buf[11] = {};
        ops_.read(sda_val_, buf, 10);
        ops_.close(sda_val_);
        sda_val_ = ops_.open(GpioFile::SdaValue, true);
        if (sda_val_ < 0)
            return -1;
        return std::atoi(buf);
    }

private:
    void put(int fd, const char *text) { ops_.write(fd, text, std::char_traits<char>::length(text)); }

    GpioFileOps &ops_;
    int scl_dir_ = -1, sda_dir_ = -1, sda_val_ = -1, scl_val_ = -1;
};

} // namespace i2c_board_test
