// SPDX-License-Identifier: MIT
#include "gpio_board.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "gpio_numbers.h"
#include "sandbox.h"

namespace sim {

namespace {

enum Wire : std::size_t { WIRE_SCL, WIRE_SDA, WIRE_SDA_DIR, WIRE_SDA_DEV };

int index_of(GpioFile file)
{
    return static_cast<int>(file);
}

bool is_scl(GpioFile file)
{
    return file == GpioFile::SclDirection || file == GpioFile::SclValue;
}
bool is_direction(GpioFile file)
{
    return file == GpioFile::SclDirection || file == GpioFile::SdaDirection;
}

// Kernel sysfs compares attribute text ignoring one trailing newline.
std::string_view strip_newline(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    return text;
}

// The value attribute takes any integer the kernel's kstrtol accepts (base
// prefix allowed); non-zero means high. Returns false on bad text.
bool parse_level(std::string_view text, int *level)
{
    const std::string s(strip_newline(text));
    // strtol skips leading blanks; kstrtol refuses them.
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || end == s.c_str())
        return false;
    *level = v != 0;
    return true;
}

} // namespace

std::string gpio_line_name(GpioFile file, int gpio_base)
{
    return "gpio" + std::to_string(gpio_base + (is_scl(file) ? GPIO_SCL_OFFSET : GPIO_SDA_OFFSET));
}

std::string gpio_file_path(GpioFile file, int gpio_base)
{
    return gpio_line_name(file, gpio_base) + (is_direction(file) ? "/direction" : "/value");
}

GpioBoard::GpioBoard(GpioBoardOptions options)
    : options_(std::move(options)),
      device_(options_.device), scl_{options_.lines_start_as_outputs, 1}, sda_{options_.lines_start_as_outputs, 1},
      trace_({"scl", "sda", "sda_dir", "sda_dev"}, {1, 1, options_.lines_start_as_outputs ? 1 : 0, 0})
{
    // The device comes up on the lines as they stand (SDA stuck low, say):
    // that is no START.
    device_.power_up(resolve_scl(), resolve_sda());
    settle();
}

bool GpioBoard::exists(GpioFile file) const
{
    const auto &missing = options_.missing_files;
    return std::find(missing.begin(), missing.end(), file) == missing.end();
}

bool GpioBoard::fails_writes(GpioFile file) const
{
    const auto &failing = options_.failing_writes;
    return std::find(failing.begin(), failing.end(), file) != failing.end();
}

int GpioBoard::open(GpioFile file)
{
    std::lock_guard lock(mutex_);
    GpioFileCounts &c = counts_[index_of(file)];
    const int nth = c.opens + c.failed_opens + 1;
    int error = exists(file) ? 0 : ENOENT;
    for (const OpenFailure &f : options_.open_failures)
        if (f.file == file && f.nth == nth)
            error = f.error;
    (error ? c.failed_opens : c.opens)++;
    return error;
}

void GpioBoard::close(GpioFile file)
{
    std::lock_guard lock(mutex_);
    counts_[index_of(file)].closes++;
}

int GpioBoard::read(GpioFile file, off_t offset, std::size_t size, std::string *out)
{
    std::lock_guard lock(mutex_);
    counts_[index_of(file)].reads++;
    std::string text;
    if (is_direction(file))
        text = (is_scl(file) ? scl_ : sda_).output ? "out\n" : "in\n";
    else
        text = (is_scl(file) ? resolve_scl() : resolve_sda()) ? "1\n" : "0\n";
    out->clear();
    if (offset >= 0 && static_cast<std::size_t>(offset) < text.size())
        *out = text.substr(static_cast<std::size_t>(offset), size);
    return 0;
}

int GpioBoard::write(GpioFile file, std::string_view data)
{
    std::lock_guard lock(mutex_);
    ++time_; // one waveform step per write, failed or not
    const int error = write_locked(file, data);
    GpioFileCounts &c = counts_[index_of(file)];
    c.writes++;
    if (error)
        c.failed_writes++;
    writes_.push_back({file, std::string(data), error});
    settle();
    return error;
}

int GpioBoard::write_locked(GpioFile file, std::string_view data)
{
    if (fails_writes(file))
        return EIO;
    Line &line = is_scl(file) ? scl_ : sda_;
    if (is_direction(file)) {
        // As the kernel: "out" and "low" drive 0, "high" drives 1, "in" releases.
        const std::string_view d = strip_newline(data);
        if (d == "in") {
            line.output = false;
        } else if (d == "out" || d == "low") {
            line.output = true;
            line.level = 0;
        } else if (d == "high") {
            line.output = true;
            line.level = 1;
        } else {
            return EINVAL;
        }
        return 0;
    }
    if (!line.output)
        return EPERM; // the kernel refuses to set the value of an input
    int level = 0;
    if (!parse_level(data, &level))
        return EINVAL;
    line.level = level;
    return 0;
}

int GpioBoard::resolve_scl() const
{
    return scl_.output ? scl_.level : 1;
}

int GpioBoard::resolve_sda() const
{
    switch (options_.sda_fault) {
    case SdaFault::StuckHigh:
        return 1;
    case SdaFault::StuckLow:
        return 0;
    case SdaFault::None:
        break;
    }
    const bool master_low = sda_.output && sda_.level == 0;
    return master_low || device_.pulls_sda_low() ? 0 : 1;
}

// Lets the device see the new levels, then applies its reaction (a change of
// its drive, made only while SCL is low) and records the result.
void GpioBoard::settle()
{
    for (int round = 0; round < 3; ++round) {
        const int scl = resolve_scl();
        const int sda = resolve_sda();
        device_.on_lines(scl, sda);
        trace_.set(time_, WIRE_SCL, scl);
        trace_.set(time_, WIRE_SDA, sda);
        trace_.set(time_, WIRE_SDA_DIR, sda_.output);
        trace_.set(time_, WIRE_SDA_DEV, device_.pulls_sda_low());
        if (resolve_sda() == sda)
            return;
    }
}

int GpioBoard::scl() const
{
    std::lock_guard lock(mutex_);
    return resolve_scl();
}

int GpioBoard::sda() const
{
    std::lock_guard lock(mutex_);
    return resolve_sda();
}

std::uint8_t GpioBoard::device_byte() const
{
    std::lock_guard lock(mutex_);
    return device_.byte();
}

std::vector<std::uint8_t> GpioBoard::bytes_written() const
{
    std::lock_guard lock(mutex_);
    return device_.bytes_written();
}

I2cEvents GpioBoard::transcript() const
{
    std::lock_guard lock(mutex_);
    return device_.transcript();
}

GpioFileCounts GpioBoard::counts(GpioFile file) const
{
    std::lock_guard lock(mutex_);
    return counts_[index_of(file)];
}

std::vector<GpioWrite> GpioBoard::writes() const
{
    std::lock_guard lock(mutex_);
    return writes_;
}

std::string GpioBoard::vcd() const
{
    std::lock_guard lock(mutex_);
    return trace_.text(time_);
}

bool GpioBoard::write_vcd(const std::string &path) const
{
    return Sandbox::write_file(path, vcd());
}

} // namespace sim
