// SPDX-License-Identifier: MIT
#include "summary.h"

#include "text.h"

namespace board_sim {

namespace {

// Longest sequence of runs that is folded as a repeated group.
constexpr size_t MAX_GROUP_RUNS = 4;
// Control-line histories up to this many writes are shown write by write.
constexpr size_t MAX_LISTED_WRITES = 8;

struct Run {
    std::string label;
    int count;
    bool operator==(const Run &) const = default;
};

std::string frame_label(const sim::ReceivedFrame &f)
{
    std::string label = f.id ? f.name() : "unknown frame " + sim::hex_bytes(f.bytes);
    if (!f.crc_ok)
        label += ", bad CRC";
    if (f.answered)
        label += ", answered";
    return label;
}

std::string run_text(const Run &r)
{
    return r.count > 1 ? r.label + " x" + std::to_string(r.count) : r.label;
}

// How many times runs[at, at + size) repeats back to back from `at`.
int repeats(const std::vector<Run> &runs, size_t at, size_t size)
{
    int n = 1;
    for (size_t next = at + size; next + size <= runs.size(); next += size) {
        for (size_t i = 0; i < size; ++i)
            if (!(runs[at + i] == runs[next + i]))
                return n;
        ++n;
    }
    return n;
}

} // namespace

std::vector<std::string> lines_of(const std::string &text, const char *unterminated)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t eol = text.find('\n', at);
        if (eol == std::string::npos) {
            lines.push_back(text.substr(at) + unterminated);
            break;
        }
        lines.push_back(text.substr(at, eol - at));
        at = eol + 1;
    }
    return lines;
}

std::vector<std::string> fold_frames(const std::vector<sim::ReceivedFrame> &frames)
{
    std::vector<Run> runs;
    for (const sim::ReceivedFrame &f : frames) {
        const std::string label = frame_label(f);
        if (!runs.empty() && runs.back().label == label)
            ++runs.back().count;
        else
            runs.push_back({label, 1});
    }

    std::vector<std::string> lines;
    size_t at = 0;
    while (at < runs.size()) {
        // The group size that covers the most runs; single runs need no repeat.
        size_t best_size = 1;
        int best_repeats = 1;
        for (size_t size = 2; size <= MAX_GROUP_RUNS && at + 2 * size <= runs.size(); ++size) {
            const int n = repeats(runs, at, size);
            if (n >= 2 && size * static_cast<size_t>(n) > best_size * static_cast<size_t>(best_repeats)) {
                best_size = size;
                best_repeats = n;
            }
        }
        if (best_size == 1) {
            lines.push_back(run_text(runs[at]));
            ++at;
            continue;
        }
        std::string group = "(";
        for (size_t i = 0; i < best_size; ++i)
            group += (i ? ", " : "") + run_text(runs[at + i]);
        lines.push_back(group + ") x" + std::to_string(best_repeats));
        at += best_size * static_cast<size_t>(best_repeats);
    }
    return lines;
}

std::string describe_control_line(const std::string &gpio, const std::string &written)
{
    // As the simulated board counts them: a cycle is a rise after a fall.
    const sim::ControlLineState state = sim::parse_control_line(written);
    if (state.writes.empty())
        return gpio + ": not written";

    std::string text = gpio + ": ";
    if (state.writes.size() <= MAX_LISTED_WRITES) {
        for (size_t i = 0; i < state.writes.size(); ++i)
            text += (i ? " " : "") + state.writes[i];
    } else {
        text += sim::plural(static_cast<int>(state.writes.size()), "write", "writes");
    }
    text += " (" + sim::plural(state.cycles, "low-high cycle", "low-high cycles") + "), left ";
    const std::string &last = state.writes.back();
    text += last == "1" ? "high" : last == "0" ? "low" : "at '" + last + "'";
    return text;
}

std::vector<std::string> describe_record_file(const std::string &path, const std::optional<std::string> &before,
                                              const std::optional<std::string> &after)
{
    if (!after)
        return {path + ": " + (before ? "removed by the run" : "does not exist")};
    const std::string old_text = before.value_or("");
    std::vector<std::string> out;
    if (after->compare(0, old_text.size(), old_text) != 0) {
        out.push_back(path + ": rewritten by the run, now:");
        for (const std::string &line : lines_of(*after))
            out.push_back("  + " + line);
        return out;
    }
    const std::vector<std::string> kept = lines_of(old_text);
    const std::vector<std::string> added = lines_of(after->substr(old_text.size()));
    std::string head = path + ":";
    if (after->empty())
        head += " empty";
    else if (added.empty())
        head += " unchanged";
    out.push_back(head);
    for (const std::string &line : kept)
        out.push_back("    " + line);
    for (const std::string &line : added)
        out.push_back("  + " + line);
    return out;
}

std::string join_events(const sim::I2cEvents &events)
{
    std::string out;
    for (const sim::I2cEvent &e : events)
        out += (out.empty() ? "" : ", ") + sim::to_string(e);
    return out.empty() ? "(nothing)" : out;
}

} // namespace board_sim
