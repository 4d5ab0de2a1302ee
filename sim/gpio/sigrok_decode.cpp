// SPDX-License-Identifier: MIT
#include "sigrok_decode.h"

#include <cstdlib>
#include <vector>

#include "process.h"

namespace sim {

namespace {

constexpr const char *TOOL = "sigrok-cli";
// A decode takes well under a second; the limit only keeps a hung one from
// holding the caller up.
constexpr int DECODE_TIME_MS = 300000;
// Only the address/data row; the bit row and warnings would only get in the way.
constexpr const char *ANNOTATIONS =
    "i2c=start:repeat-start:stop:ack:nack:address-read:address-write:data-read:data-write";

struct AnnotationForm {
    std::string_view text; // as the decoder prints it, before any ": value"
    I2cEvent::Kind kind;
    bool has_value;
};

constexpr AnnotationForm FORMS[] = {
    {"Start", I2cEvent::Kind::Start, false},
    {"Start repeat", I2cEvent::Kind::RepeatStart, false},
    {"Stop", I2cEvent::Kind::Stop, false},
    {"ACK", I2cEvent::Kind::Ack, false},
    {"NACK", I2cEvent::Kind::Nack, false},
    {"Address read", I2cEvent::Kind::AddressRead, true},
    {"Address write", I2cEvent::Kind::AddressWrite, true},
    {"Data read", I2cEvent::Kind::DataRead, true},
    {"Data write", I2cEvent::Kind::DataWrite, true},
};

// Runs argv with standard output and error captured together; returns the
// exit status (or -1 when it could not start or was killed) and fills `output`.
int run_capture(const std::vector<std::string> &argv, std::string *output, std::string *error)
{
    const RunResult run = run_process(
        {.argv = argv, .stdin_path = "/dev/null", .out = Sink::Capture, .err = Sink::Stdout}, DECODE_TIME_MS);
    *output = run.out;
    if (run.exec_errno != 0)
        *error = run.exec_error;
    else if (run.timed_out)
        *error = argv[0] + " did not finish within " + std::to_string(DECODE_TIME_MS / 1000) + " s";
    else if (run.signal != 0)
        *error = argv[0] + " was killed by signal " + std::to_string(run.signal);
    return error->empty() ? run.exit_status : -1;
}

} // namespace

bool sigrok_available(std::string *why)
{
    std::string output, error;
    const int status = run_capture({TOOL, "--version"}, &output, &error);
    if (status == 0)
        return true;
    if (why)
        *why = error.empty() ? std::string(TOOL) + " --version failed: " + output : error;
    return false;
}

I2cDecode decode_i2c_vcd(const std::string &vcd_path)
{
    I2cDecode result;
    const int status = run_capture({TOOL, "-I", "vcd", "-i", vcd_path, "-P", "i2c:scl=scl:sda=sda", "-A", ANNOTATIONS},
                                   &result.output, &result.error);
    if (status != 0) {
        if (result.error.empty())
            result.error = std::string(TOOL) + " exited with " + std::to_string(status) + ": " + result.output;
        return result;
    }
    result.ok = true;
    result.events = parse_i2c_annotations(result.output);
    return result;
}

I2cEvents parse_i2c_annotations(std::string_view text)
{
    constexpr std::string_view PREFIX = "i2c-1: ";
    I2cEvents events;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.starts_with(PREFIX))
            continue;
        line.remove_prefix(PREFIX.size());
        const std::size_t colon = line.find(": ");
        const std::string_view name = line.substr(0, colon);
        for (const AnnotationForm &form : FORMS) {
            if (name != form.text || form.has_value != (colon != std::string_view::npos))
                continue;
            I2cEvent event{form.kind};
            if (form.has_value) {
                const std::string hex(line.substr(colon + 2));
                char *end = nullptr;
                const long v = std::strtol(hex.c_str(), &end, 16);
                if (end == hex.c_str() || *end != '\0')
                    break; // not a value: not an annotation we know
                event.value = static_cast<int>(v);
            }
            events.push_back(event);
            break;
        }
    }
    return events;
}

} // namespace sim
