// SPDX-License-Identifier: MIT
#include "sigrok_decode.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
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

// Runs the tool with standard output and error captured together; returns the
// exit status (or -1 when it could not start or was killed) and fills `output`.
int run_tool(std::vector<std::string> args, std::string *output, std::string *error)
{
    args.insert(args.begin(), TOOL);
    const RunResult run = run_process(
        {.argv = args, .stdin_path = "/dev/null", .out = Sink::Capture, .err = Sink::Stdout}, DECODE_TIME_MS);
    *output = run.out;
    if (run.exec_errno != 0)
        *error = run.exec_error;
    else if (run.timed_out)
        *error = std::string(TOOL) + " did not finish within " + std::to_string(DECODE_TIME_MS / 1000) + " s";
    else if (run.signal != 0)
        *error = std::string(TOOL) + " was killed by signal " + std::to_string(run.signal);
    return error->empty() ? run.exit_status : -1;
}

} // namespace

bool sigrok_available(std::string *why)
{
    std::string output, error;
    if (run_tool({"--version"}, &output, &error) == 0)
        return true;
    *why = error.empty() ? std::string(TOOL) + " --version failed: " + output : error;
    return false;
}

I2cDecode decode_i2c_vcd(const std::string &vcd_path)
{
    I2cDecode result;
    const int status = run_tool({"-I", "vcd", "-i", vcd_path, "-P", "i2c:scl=scl:sda=sda", "-A", ANNOTATIONS},
                                &result.output, &result.error);
    if (status != 0 && result.error.empty())
        result.error = std::string(TOOL) + " exited with " + std::to_string(status) + ": " + result.output;
    result.ok = status == 0;
    if (result.ok)
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
        std::string_view name = line.substr(0, colon);
        if (name == "Start repeat") // the decoder's one name that differs from ours
            name = "Repeat start";
        const auto *found = std::find(std::begin(I2C_EVENT_NAMES), std::end(I2C_EVENT_NAMES), name);
        if (found == std::end(I2C_EVENT_NAMES))
            continue;
        I2cEvent event{static_cast<I2cEvent::Kind>(found - std::begin(I2C_EVENT_NAMES))};
        const bool has_value = event.kind >= I2cEvent::Kind::AddressRead && event.kind <= I2cEvent::Kind::DataWrite;
        if (has_value != (colon != std::string_view::npos))
            continue;
        if (has_value) {
            const std::string hex(line.substr(colon + 2));
            char *end = nullptr;
            event.value = static_cast<int>(std::strtol(hex.c_str(), &end, 16));
            if (end == hex.c_str() || *end != '\0')
                continue; // not a value: not an annotation we know
        }
        events.push_back(event);
    }
    return events;
}

} // namespace sim
