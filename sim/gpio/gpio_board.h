// SPDX-License-Identifier: MIT
// The two GPIO lines of the bit-banged I2C bus (gpio19 = SCL, gpio23 = SDA)
// with the device on them, answering file operations the way the kernel's
// sysfs GPIO attributes do. GpioFs serves this over FUSE; tests may also call
// it directly. Every write is one time step of the recorded waveform.
//
// Line model: SCL is whatever the master drives when it is an output, else
// pulled up. SDA is open drain: low when the master drives 0 as an output or
// the device pulls it low, else high; a stuck fault overrides both.
//
// Thread-safe: the FUSE thread and the test share it under one lock.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "i2c_slave.h"

namespace sim {

enum class GpioFile { SclDirection, SclValue, SdaDirection, SdaValue };
inline constexpr GpioFile GPIO_FILES[] = {GpioFile::SclDirection, GpioFile::SclValue, GpioFile::SdaDirection,
                                          GpioFile::SdaValue};

// "gpio19/direction", ...: the path below the gpio class directory, for a
// program built with GPIO base `gpio_base` ("gpio531/direction" for 512).
std::string gpio_file_path(GpioFile file, int gpio_base = 0);
// "gpio19" or "gpio23": the directory of the file's line.
std::string gpio_line_name(GpioFile file, int gpio_base = 0);

enum class SdaFault { None, StuckHigh, StuckLow };

// The `nth` open (counting from 1, failed attempts included) of `file` fails with `error`.
struct OpenFailure {
    GpioFile file;
    int nth;
    int error = EIO;
};

struct GpioBoardOptions {
    I2cSlaveOptions device;
    SdaFault sda_fault = SdaFault::None;
    std::vector<GpioFile> missing_files;  // lookups fail with ENOENT
    std::vector<GpioFile> failing_writes; // every write fails with EIO
    std::vector<OpenFailure> open_failures;
    // Lines as the platform leaves them: exported inputs (idle bus, pulled up),
    // or, when true, outputs already driving 1.
    bool lines_start_as_outputs = false;
    // Base of the GPIO controller: the lines are gpio<base+19> and gpio<base+23>.
    int gpio_base = 0;
};

struct GpioFileCounts {
    int opens = 0; // successful
    int failed_opens = 0;
    int closes = 0;
    int reads = 0;
    int writes = 0; // all attempts, failed ones included
    int failed_writes = 0;
};

class GpioBoard {
public:
    explicit GpioBoard(GpioBoardOptions options = {});

    // File operations. Errors are positive errno values.
    bool exists(GpioFile file) const;
    int open(GpioFile file); // 0 or errno
    void close(GpioFile file);
    // The attribute's whole text: "in\n" or "out\n", "0\n" or "1\n".
    std::string read(GpioFile file);
    // Applies the text whatever the offset; returns 0 or errno.
    int write(GpioFile file, std::string_view data);

    int gpio_base() const { return options_.gpio_base; }
    // Resolved levels.
    int scl() const;
    int sda() const;
    // The device as it stands: its byte, the bytes written to it, what it saw.
    I2cSlave device() const;
    GpioFileCounts counts(GpioFile file) const;

    // Waveform of scl, sda, sda_dir (1 = master drives SDA) and sda_dev
    // (1 = the device pulls SDA low), one time unit (1 us) per write.
    std::string vcd() const;

private:
    struct Line {
        bool output = false;
        int level = 1; // the output latch
    };
    // The levels of scl, sda, sda_dir and sda_dev ('0' or '1') from `time` on.
    struct Step {
        std::uint64_t time;
        std::array<char, 4> wires;
    };

    int apply(GpioFile file, std::string_view data);
    int resolve_scl() const;
    int resolve_sda() const;
    void settle();

    mutable std::mutex mutex_;
    GpioBoardOptions options_;
    I2cSlave device_;
    Line scl_;
    Line sda_;
    GpioFileCounts counts_[4];
    std::uint64_t time_ = 0;
    std::vector<Step> steps_; // the first at time 0, then one for each change
};

} // namespace sim
