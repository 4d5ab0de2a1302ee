// SPDX-License-Identifier: MIT
#include "gpio_board.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "gpio_numbers.h"

namespace sim {

namespace {

// The head of a value change dump, the format that waveform viewers and
// logic-analyser software open: the wires of GpioBoard::Step, in its order,
// with the identifier codes '!', '"', '#' and '$'.
constexpr const char *VCD_HEAD = "$timescale 1 us $end\n$scope module i2c $end\n"
                                 "$var wire 1 ! scl $end\n$var wire 1 \" sda $end\n"
                                 "$var wire 1 # sda_dir $end\n$var wire 1 $ sda_dev $end\n"
                                 "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";

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

bool listed(const std::vector<GpioFile> &files, GpioFile file)
{
    return std::find(files.begin(), files.end(), file) != files.end();
}

// Kernel sysfs compares attribute text ignoring one trailing newline.
std::string_view strip_newline(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    return text;
}

// The value attribute takes any integer the kernel's kstrtol accepts (base
// prefix allowed); non-zero means high. Returns -1 on bad text.
int parse_level(std::string_view text)
{
    const std::string s(strip_newline(text));
    // strtol skips leading blanks; kstrtol refuses them.
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0])))
        return -1;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || end == s.c_str())
        return -1;
    return v != 0;
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
      device_(options_.device), scl_{options_.lines_start_as_outputs}, sda_{options_.lines_start_as_outputs}
{
    // The device comes up on the lines as they stand (SDA stuck low, say):
    // that is no START. The levels then are the waveform's at time 0.
    steps_.push_back({0, {char('0' + resolve_scl()), char('0' + resolve_sda())}});
    settle();
    steps_ = {steps_.back()};
}

bool GpioBoard::exists(GpioFile file) const
{
    return !listed(options_.missing_files, file);
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

std::string GpioBoard::read(GpioFile file)
{
    std::lock_guard lock(mutex_);
    counts_[index_of(file)].reads++;
    if (is_direction(file))
        return (is_scl(file) ? scl_ : sda_).output ? "out\n" : "in\n";
    return (is_scl(file) ? resolve_scl() : resolve_sda()) ? "1\n" : "0\n";
}

int GpioBoard::write(GpioFile file, std::string_view data)
{
    std::lock_guard lock(mutex_);
    ++time_; // one waveform step per write, failed or not
    const int error = apply(file, data);
    GpioFileCounts &c = counts_[index_of(file)];
    c.writes++;
    if (error)
        c.failed_writes++;
    settle();
    return error;
}

int GpioBoard::apply(GpioFile file, std::string_view data)
{
    if (listed(options_.failing_writes, file))
        return EIO;
    Line &line = is_scl(file) ? scl_ : sda_;
    if (is_direction(file)) {
        // As the kernel: "out" and "low" drive 0, "high" drives 1, "in" releases.
        const std::string_view d = strip_newline(data);
        if (d != "in" && d != "out" && d != "low" && d != "high")
            return EINVAL;
        line.output = d != "in";
        if (line.output)
            line.level = d == "high";
        return 0;
    }
    if (!line.output)
        return EPERM; // the kernel refuses to set the value of an input
    const int level = parse_level(data);
    if (level < 0)
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
    if (options_.sda_fault != SdaFault::None)
        return options_.sda_fault == SdaFault::StuckHigh;
    const bool master_low = sda_.output && sda_.level == 0;
    return master_low || device_.pulls_sda_low() ? 0 : 1;
}

// Lets the device see the new levels, then applies its reaction (a change of
// its drive, made only while SCL is low) and records each round's result.
void GpioBoard::settle()
{
    for (int round = 0; round < 3; ++round) {
        const int scl = resolve_scl();
        const int sda = resolve_sda();
        const std::array<char, 4> &before = steps_.back().wires; // the levels the device saw last
        device_.on_lines(before[0] == '1', before[1] == '1', scl, sda);
        const Step step = {
            time_, {char('0' + scl), char('0' + sda), sda_.output ? '1' : '0', device_.pulls_sda_low() ? '1' : '0'}};
        if (step.wires != steps_.back().wires)
            steps_.push_back(step);
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

I2cSlave GpioBoard::device() const
{
    std::lock_guard lock(mutex_);
    return device_;
}

GpioFileCounts GpioBoard::counts(GpioFile file) const
{
    std::lock_guard lock(mutex_);
    return counts_[index_of(file)];
}

std::string GpioBoard::vcd() const
{
    std::lock_guard lock(mutex_);
    // Appended piece by piece: GCC 12 reports a false -Wrestrict on
    // "literal" + std::string chains once they are inlined at -O2.
    std::string out = VCD_HEAD;
    const auto stamp = [&out](std::uint64_t time) {
        out += '#';
        out += std::to_string(time);
        out += '\n';
    };
    const Step *before = nullptr;
    for (const Step &step : steps_) {
        if (before && step.time != before->time)
            stamp(step.time);
        for (std::size_t wire = 0; wire < step.wires.size(); ++wire) {
            if (before && step.wires[wire] == before->wires[wire])
                continue;
            out += step.wires[wire];
            out += static_cast<char>('!' + wire);
            out += '\n';
        }
        if (!before)
            out += "$end\n";
        before = &step;
    }
    // A last stamp a little after the final write, so viewers show the final levels for a while.
    stamp(time_ + 4);
    return out;
}

} // namespace sim
