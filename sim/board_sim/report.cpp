// SPDX-License-Identifier: MIT
// The text of a report: what board-sim prints after the program's output,
// written from the report alone.
#include "report.h"

#include <stdio.h>

#include <regex>

#include "text.h"

namespace board_sim {

namespace {

// Longest sequence of runs that is folded as a repeated group.
constexpr size_t MAX_GROUP_RUNS = 4;
// Control-line histories up to this many writes are shown write by write.
constexpr size_t MAX_LISTED_WRITES = 8;

// A frame's label and how many times it came in a row.
using Run = std::pair<std::string, int>;

std::string run_text(const Run &r)
{
    return r.second > 1 ? r.first + " x" + std::to_string(r.second) : r.first;
}

// What of `stty -a` a probe depends on: "115200 baud, -parenb cs8 -cstopb
// -crtscts -ixon -icanon, min = 0, time = 2"; the whole text is in the report.
// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
// "literal" + std::string at -O2.
std::string line_settings(const std::string &stty)
{
    static const std::regex speed(R"(speed (\d+) baud)");
    static const std::regex wait(R"(min = (\d+); time = (\d+))");
    static const std::regex word(R"((^|\s)(-?(cs[5-8]|parenb|cstopb|crtscts|ixon|icanon))(?=\s|$))");
    std::smatch m;
    if (!std::regex_search(stty, m, speed))
        return first_line(stty);
    std::string text = m[1].str();
    text += " baud,";
    for (auto it = std::sregex_iterator(stty.begin(), stty.end(), word); it != std::sregex_iterator(); ++it) {
        text += ' ';
        text += (*it)[2].str();
    }
    if (std::regex_search(stty, m, wait)) {
        text += ", min = ";
        text += m[1].str();
        text += ", time = ";
        text += m[2].str();
    }
    return text;
}

std::string program_name(const Json &report)
{
    return report["subcommand"] == "probe" ? "miner-probe" : "i2c-bitbang";
}

// How the run ended: "exit status 0 after 0.446 s".
std::string ending(const Json &r)
{
    char after[32];
    snprintf(after, sizeof after, "%.3f s", r["wall_time_s"].get<double>());
    const std::string status = std::to_string(r["exit_status"].get<int>());
    if (const int signal = r["stopped_by_signal"]; signal != 0)
        return program_name(r) + " stopped by signal " + std::to_string(signal) + " after " + after + ", exit status " +
               status;
    if (r["timed_out"])
        return program_name(r) + " killed after the time-out (" + after + ")";
    return "exit status " + status + " after " + after;
}

// "Start, Address read 0x2F, ACK, Data read 0xA5, NACK, Stop".
std::string join_events(const Json &events)
{
    std::string out;
    for (const Json &e : events)
        out += (out.empty() ? "" : ", ") + e.get<std::string>();
    return out.empty() ? "(nothing)" : out;
}

} // namespace

std::vector<std::string> fold_frames(const Json &frames)
{
    std::vector<Run> runs;
    for (const Json &f : frames) {
        std::string label = f["name"];
        if (label == "unknown") // not in the catalogue: its bytes say more
            label += " frame " + f["bytes"].get<std::string>();
        label += std::string(f["crc_ok"] ? "" : ", bad CRC") + (f["answered"] ? ", answered" : "");
        if (!runs.empty() && runs.back().first == label)
            ++runs.back().second;
        else
            runs.emplace_back(label, 1);
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < runs.size();) {
        // The group of runs whose repeats cover the most runs; a single run needs no repeat.
        size_t best_size = 1, best_repeats = 1;
        for (size_t size = 2; size <= MAX_GROUP_RUNS; ++size) {
            size_t n = 1;
            const auto group = runs.begin() + static_cast<long>(at);
            while (at + (n + 1) * size <= runs.size() &&
                   std::equal(group, group + static_cast<long>(size), group + static_cast<long>(n * size)))
                ++n;
            if (n >= 2 && size * n > best_size * best_repeats) {
                best_size = size;
                best_repeats = n;
            }
        }
        std::string text;
        for (size_t i = 0; i < best_size; ++i)
            text += (i ? ", " : "") + run_text(runs[at + i]);
        lines.push_back(best_size == 1 ? text : "(" + text + ") x" + std::to_string(best_repeats));
        at += best_size * best_repeats;
    }
    return lines;
}

std::string describe_control_line(const Json &line)
{
    const std::string gpio = line["gpio"];
    const std::vector<std::string> writes = line["writes"];
    if (writes.empty())
        return gpio + ": not written";
    std::string text = gpio + ": ";
    if (writes.size() <= MAX_LISTED_WRITES) {
        for (size_t i = 0; i < writes.size(); ++i)
            text += (i ? " " : "") + writes[i];
    } else {
        text += sim::plural(static_cast<long>(writes.size()), "write", "writes");
    }
    text += " (" + sim::plural(line["cycles"].get<int>(), "low-high cycle", "low-high cycles") + "), left ";
    const std::string &last = writes.back();
    text += last == "1" ? "high" : last == "0" ? "low" : "at '" + last + "'";
    return text;
}

std::vector<std::string> describe_record_file(const Json &record)
{
    constexpr const char *UNTERMINATED = "  (no newline at the end)";
    const std::string path = record["path"];
    const Json &before = record["before"], &after = record["after"];
    if (after.is_null())
        return {path + ": " + (before.is_null() ? "does not exist" : "removed by the run")};
    const std::string old_text = before.is_null() ? "" : before.get<std::string>();
    const std::string &new_text = after.get_ref<const std::string &>();
    const bool rewritten = !new_text.starts_with(old_text);
    const std::vector<std::string> added =
        lines_of(rewritten ? new_text : new_text.substr(old_text.size()), UNTERMINATED);
    std::vector<std::string> out{path + (rewritten          ? ": rewritten by the run, now:"
                                         : new_text.empty() ? ": empty"
                                         : added.empty()    ? ": unchanged"
                                                            : ":")};
    for (const std::string &line : lines_of(rewritten ? "" : old_text, UNTERMINATED))
        out.push_back("    " + line);
    for (const std::string &line : added)
        out.push_back("  + " + line);
    return out;
}

Json frame_json(const sim::ReceivedFrame &f)
{
    return {{"name", f.name()},       {"bytes", sim::hex_bytes(f.bytes)}, {"crc_ok", f.crc_ok},
            {"answered", f.answered}, {"reply", sim::hex_bytes(f.reply)}, {"overrun", f.overrun.size()}};
}

Json control_line_json(const std::string &gpio, const std::string &written)
{
    // As the simulated board counts them: a cycle is a rise after a fall.
    const sim::ControlLineState state = sim::parse_control_line(written);
    return {{"gpio", gpio},
            {"writes", state.writes},
            {"cycles", state.cycles},
            {"left", state.writes.empty()         ? "unwritten"
                     : state.writes.back() == "1" ? "high"
                                                  : "low"}};
}

Json record_json(const char *path, const std::optional<std::string> &before, const std::optional<std::string> &after)
{
    const std::string old_text = before.value_or("");
    const bool appended = after && after->starts_with(old_text);
    return {{"path", path},
            {"before", before ? Json(*before) : Json()},
            {"after", after ? Json(*after) : Json()},
            {"appended", appended ? lines_of(after->substr(old_text.size())) : std::vector<std::string>{}}};
}

std::string first_line(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "?" : line;
}

std::vector<std::string> summary_lines(const Json &r)
{
    std::vector<std::string> out{"== " + ending(r)};
    const auto section = [&out](const std::string &text) { out.push_back("== " + text); };
    const auto detail = [&out](const std::string &text) { out.push_back("   " + text); };
    const bool probe = r["subcommand"] == "probe";
    if (probe) {
        if (const int runs = r["runs"]; runs > 1)
            section("run " + std::to_string(runs) + " shown: the host delivered replies too late in the earlier ones");
        const std::vector<std::string> frames = fold_frames(r["frames"]);
        section(std::string("frames received by the hash board:") + (frames.empty() ? " none" : ""));
        for (const std::string &line : frames)
            detail(line);
        section("control line " + describe_control_line(r["control_line"]));
        if (!r["other_control_line"]["writes"].empty())
            section("other control line " + describe_control_line(r["other_control_line"]));
        section("record files:");
        for (const Json &file : r["record_files"])
            for (const std::string &line : describe_record_file(file))
                detail(line);
    } else if (r.contains("traced")) {
        section("kernel trace: " + r["traced"][0].get<std::string>() + "; " + r["traced"][1].get<std::string>());
    } else {
        const Json &bus = r["transaction"];
        section("bus, as the device saw it: " + join_events(bus["device_saw"]));
        if (!bus["decode_error"].is_null())
            section("waveform not decoded: " + bus["decode_error"].get<std::string>());
        else if (!bus["decoded"].is_null())
            section("bus, decoded from the waveform by sigrok-cli: " +
                    (bus["decoded"] == bus["device_saw"] ? "the same" : join_events(bus["decoded"])));
        std::string device = "device holds " + sim::hex_byte(r["device"]["holds"].get<int>());
        if (!r["device"]["received"].empty())
            device += ", received";
        for (const Json &b : r["device"]["received"])
            device += " " + sim::hex_byte(b.get<int>());
        section(device);
        // "1 open, 2 writes", each count with its word, plural or not.
        const Json &n = r["gpio_files"];
        const auto count = [&n](const char *key, const std::string &one) {
            return sim::plural(n[key].get<long>(), one.c_str(), (one + "s").c_str());
        };
        std::string files = "GPIO files: " + count("opens", "open") + ", " + count("writes", "write") + ", " +
                            count("reads", "read") + ", " + count("closes", "close");
        if (n["failed_opens"].get<int>() + n["failed_writes"].get<int>() > 0)
            files += " (" + count("failed_opens", "failed open") + ", " + count("failed_writes", "failed write") + ")";
        section(files);
        // After a failure to keep or draw the waveform, only the error is shown.
        if (r["waveform_error"].is_null() && !r["waveform"].is_null())
            section("waveform: " + r["waveform"].get<std::string>() +
                    " (scl, sda, sda_dir, sda_dev; 1 us per GPIO write)");
        if (r["waveform_error"].is_null() && !r["svg"].is_null())
            section("picture: " + r["svg"].get<std::string>());
    }
    if (const Json &vm = r.contains("emulated_board") ? r["emulated_board"] : Json(); !vm.is_null()) {
        if (probe)
            section("serial line after the run: " + line_settings(vm["stty_after"]));
        std::string files = "GPIO files after the run:";
        for (const Json &l : vm["gpio"])
            files += " gpio" + std::to_string(l["line"].get<int>()) + " " + l["direction"].get<std::string>() + " " +
                     l["value"].get<std::string>() + ";";
        files.pop_back();
        section(files);
    }
    return out;
}

int print_report(const Command &c, const Json &r)
{
    if (c.output == Output::Json) {
        fputs(document_text(r).c_str(), stdout);
    } else if (c.output == Output::Text) {
        const std::string &out = r["stdout"].get_ref<const std::string &>();
        const std::string &err = r["stderr"].get_ref<const std::string &>();
        fflush(stdout);
        fwrite(out.data(), 1, out.size(), stdout);
        if (!out.empty() && out.back() != '\n')
            printf("\n== (no newline at the end of the output)\n");
        if (!err.empty()) {
            printf("== standard error of %s%s:\n", program_name(r).c_str(),
                   r["subcommand"] == "probe" ? " (the shell commands it runs included)" : "");
            fflush(stdout);
            fwrite(err.data(), 1, err.size(), stderr);
            fflush(stderr);
        }
    }
    if (c.output != Output::Json)
        for (const std::string &line : summary_lines(r))
            printf("%s\n", line.c_str());
    fflush(stdout);
    if (const int signal = r["stopped_by_signal"]; signal != 0)
        return 128 + signal;
    return r["timed_out"] ? 124 : r["exit_status"].get<int>(); // 124, as timeout(1) says it
}

} // namespace board_sim
