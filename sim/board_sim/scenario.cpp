// SPDX-License-Identifier: MIT
// Reading, checking, describing and writing scenarios by their key tables
// (scenario_keys.cpp), and the rules of what has no effect, as predicates on
// the scenario.
#include <stdio.h>

#include <climits>
#include <fstream>
#include <map>
#include <sstream>

#include "record.h"
#include "scenario.h"
#include "text.h"

namespace board_sim {

namespace {

template <class S>
bool read_keys(const Json &in, S &s, std::vector<std::string> *given, std::string *why)
{
    const std::string tool = tool_name(S::TOOL);
    if (!in.is_object())
        return *why = "not a JSON object", false;
    for (const auto &[name, value] : in.items()) {
        const Key<S> *k = find_key<S>(name);
        if (name == "tool" && value != tool)
            return *why = "a scenario for " + dumped(value) + ", not for " + tool, false;
        if (name != "tool" && k == nullptr)
            return *why = "unknown key " + dumped(Json(name)) + " in a " + tool + " scenario", false;
        if (k != nullptr && !k->read(s, value, why))
            return *why = name + " " + (why->empty() ? "wants " + k->wants : *why) + ", not " + dumped(value), false;
        if (k != nullptr && given != nullptr)
            given->push_back(name);
    }
    return true;
}

using P = ProbeScenario;
using I = I2cScenario;

// True when miner-probe finds its work done in the record: its own check
// (probe/record.h), on the piece its reading loop keeps, the last fgets()
// of at most RECORD_BUF_LEN - 1 characters.
bool record_names_a_family(const std::optional<std::string> &record)
{
    char piece[RECORD_BUF_LEN] = {};
    FILE *in = record && !record->empty() ? fmemopen(const_cast<char *>(record->data()), record->size(), "r") : nullptr;
    while (in != nullptr && fgets(piece, RECORD_BUF_LEN, in) != nullptr) {
    }
    if (in != nullptr)
        fclose(in);
    return record_names_family(piece);
}

bool nothing_answers(const P &s)
{
    return s.board.family == sim::ChipFamily::None && s.board.frame_replies.empty();
}

// A rule of what has no effect: when `when` holds for the scenario, giving
// any of `keys` (names, separated by spaces) changes nothing, for the reason
// `why` ("without wire").
template <class S>
struct NoEffect {
    bool (*when)(const S &s, bool vm);
    std::string keys;
    const char *why;
};

template <class S>
std::span<const NoEffect<S>> no_effect_rules();

template <>
std::span<const NoEffect<P>> no_effect_rules<P>()
{
    static const std::string SENSOR = "sensor sensor_status sensor_id sensor_reply ";
    static const std::string WIRE = "chips latency_us corrupt_rate corrupt_seed ";
    // The keys of the hash board itself, which nothing reaches in some scenarios.
    static const std::string HASH_BOARD =
        "family answers_after_cycles detection_reply replies reply_limit babble wire " + SENSOR + WIRE;
    static const std::string CONTROL_BOARD = "uart gpio_files records_read_only";
    static const NoEffect<P> RULES[] = {
        {[](const P &, bool vm) { return vm; }, "answers_after_cycles",
         "with --vm: the control line is the emulated board's own, which the simulated chips cannot watch"},
        {[](const P &, bool vm) { return vm; }, CONTROL_BOARD,
         "with --vm: the emulated board always has its UART, GPIO lines and a writable /usr/bin"},
        {[](const P &s, bool) { return record_names_a_family(s.miner_type); }, HASH_BOARD + CONTROL_BOARD,
         "when miner_type names a family: the probe finds it there and stops"},
        {[](const P &s, bool) { return !s.uart_present; }, HASH_BOARD,
         "without the uart: nothing reaches the hash board"},
        {[](const P &s, bool) { return !s.wire; }, WIRE, "without wire"},
        {[](const P &s, bool) { return s.board.family == sim::ChipFamily::None; }, "detection_reply " + SENSOR,
         "when family is none: no chips answer"},
        {[](const P &s, bool) { return s.board.family == sim::ChipFamily::BTC; }, SENSOR,
         "on a BTC board: its sensor is taken as present, never queried"},
        {[](const P &s, bool) { return !s.args.empty(); }, SENSOR,
         "on the alternate board (args): it runs no sensor detection"},
        {[](const P &s, bool) { return nothing_answers(s); }, "answers_after_cycles",
         "when no chips answer: give family or replies"},
        {[](const P &s, bool) { return nothing_answers(s) && !s.board.babble; }, "reply_limit wire",
         "when nothing answers: give family, replies or babble"},
        {[](const P &s, bool) { return s.board.sensor_reply.has_value(); }, "sensor_status sensor_id",
         "with sensor_reply, which gives the whole reply"},
    };
    return RULES;
}

template <>
std::span<const NoEffect<I>> no_effect_rules<I>()
{
    static const NoEffect<I> RULES[] = {
        {[](const I &, bool vm) { return vm; },
         "device_byte address absent data_nack sda_stuck missing write_fails open_fails lines_output",
         "with --vm: the emulated board's bus is the kernel's GPIO lines, with no device"},
        {[](const I &s, bool) { return !s.device.present; }, "device_byte address data_nack",
         "when absent: no device on the bus"},
        {[](const I &s, bool) { return s.args.empty(); }, "data_nack", "on a read: only written bytes are refused"},
        {[](const I &s, bool) { return !s.args.empty(); }, "device_byte",
         "on a write: the byte the device holds is only ever read"},
    };
    return RULES;
}

} // namespace

const char *tool_name(Tool tool)
{
    return tool == Tool::Probe ? "probe" : tool == Tool::I2c ? "i2c" : "explain";
}

template <class S>
requires(S::TOOL != Tool::Explain) void to_json(Json &j, const S &s)
{
    j = {{"tool", tool_name(S::TOOL)}};
    for (const Key<S> &k : scenario_keys<S>())
        j[k.name] = k.write(s);
}

template <class S>
requires(S::TOOL != Tool::Explain) Json scenario_document(const S &s)
{
    Json doc = {{"tool", tool_name(S::TOOL)}};
    for (const Key<S> &k : scenario_keys<S>())
        if (std::string_view(k.name) == "note" || k.write(s) != k.write(S{}))
            doc[k.name] = k.write(s);
    return doc;
}

template <class S>
const Key<S> *find_key(std::string_view name)
{
    for (const Key<S> &k : scenario_keys<S>())
        if (name == k.name)
            return &k;
    return nullptr;
}

template <class S>
bool read_text(const Key<S> &k, S &s, const std::string &text, std::string *why)
{
    std::vector<Json> tries;
    if (text == "null")
        tries.emplace_back();
    if (k.list && !text.starts_with("[")) {
        tries.push_back(k.write(s));
        tries.back().push_back(text);
    } else {
        if (const std::optional<long> n = sim::parse_number(text, 0, LONG_MAX))
            tries.emplace_back(*n);
        if (const Json j = Json::parse(text, nullptr, false); !j.is_discarded())
            tries.push_back(j);
        tries.emplace_back(text);
    }
    for (const Json &value : tries)
        if (why->clear(), k.read(s, value, why))
            return true;
    *why = why->empty() ? "wants " + k.wants : *why;
    return false;
}

template <class S>
bool read_scenario(std::string_view text, S *s, std::vector<std::string> *given, std::string *why)
{
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::exception &e) {
        // "[json.exception.parse_error.101] parse error at line 1, ...", or a
        // number too large: from after the bracket on.
        const std::string what = e.what();
        *why = "not JSON: " + what.substr(std::min(what.find("] ") + 2, what.size()));
        return false;
    }
    const std::string tool = tool_name(S::TOOL);
    // The --json document of a run holds its scenario.
    if (doc.is_object() && doc.contains("board_sim")) {
        if (!doc.contains("scenario") || doc.value("subcommand", Json()) != tool)
            return *why = "not the --json document of a board-sim " + tool + " run", false;
        doc = Json(doc["scenario"]);
    }
    *s = S{};
    why->clear();
    return read_keys(doc, *s, given, why);
}

std::string shown(const Json &value, bool hex)
{
    if (value.is_string())
        return value.get<std::string>();
    if (hex && value.is_number_integer())
        return sim::hex_byte(value.get<int>());
    if (value.is_number_float()) {
        char text[32];
        snprintf(text, sizeof text, "%g", value.get<double>());
        return text;
    }
    return dumped(value);
}

std::string dumped(const Json &value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

template <class S>
std::string describe_scenario(const S &s)
{
    std::string text;
    const auto add = [&text](const std::string &item) { text += (text.empty() ? "" : ", ") + item; };
    for (const Key<S> &k : scenario_keys<S>()) {
        const Json value = k.write(s);
        if (std::string_view(k.name) == "note" || value == k.write(S{}))
            continue;
        // A list reads as the --set of each item.
        for (const Json &item : value.is_array() ? value : Json::array({value}))
            add(std::string(k.name) + "=" + shown(item, k.hex));
        if (value.is_array() && value.empty())
            add(std::string(k.name) + "=[]");
    }
    return text.empty() ? "every key at its default" : text;
}

std::string document_text(const Json &doc)
{
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::vector<std::string> lines_of(const std::string &text, const char *unterminated)
{
    std::vector<std::string> lines;
    for (size_t at = 0, eol; at < text.size(); at = eol + 1) {
        eol = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, eol - at) + (eol == text.size() ? unterminated : ""));
    }
    return lines;
}

sim::ProbeRunConfig ProbeScenario::run_config() const
{
    sim::ProbeRunConfig config;
    static_cast<sim::ProbeBoard &>(config) = *this;
    if (wire)
        config.board.wire = wire_model;
    return config;
}

template <class S>
const char *refused_key(const S &s, bool vm, const std::vector<std::string> &given, std::string *key)
{
    for (const NoEffect<S> &rule : no_effect_rules<S>()) {
        if (!rule.when(s, vm))
            continue;
        for (const Key<S> &k : scenario_keys<S>())
            if ((" " + rule.keys + " ").find(std::string(" ") + k.name + " ") != std::string::npos &&
                std::find(given.begin(), given.end(), k.name) != given.end())
                return *key = k.name, rule.why;
    }
    return nullptr;
}

template <class S>
bool make_scenario(S &s, const std::string &file, const std::vector<Setting> &settings, bool vm, std::string *why)
{
    const std::string tool = tool_name(S::TOOL);
    std::vector<std::string> in_file;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in)
            return *why = "cannot read the scenario file " + file, false;
        if (!read_scenario(text.str(), &s, &in_file, why))
            return *why = file + ": " + *why, false;
    }
    const S from_file = s;
    std::map<std::string, std::string> who; // key: who set it
    for (const std::string &key : in_file)
        if (find_key<S>(key)->write(s) != find_key<S>(key)->write(S{}))
            who[key] = key + " in " + file;
    for (const Setting &set : settings) {
        const Key<S> *k = find_key<S>(set.key);
        why->clear();
        if (k == nullptr)
            return *why = "--set: no key '" + set.key + "' in a " + tool + " scenario; 'board-sim " + tool +
                          " --help' lists them",
                   false;
        if (set.value ? !k->read(s, *set.value, why) : !read_text(*k, s, set.text, why))
            return *why = set.who + " " + (why->empty() ? "wants " + k->wants : *why) +
                          (set.value ? "" : ", not '" + set.text + "'"),
                   false;
        if (set.shorthand && std::find(in_file.begin(), in_file.end(), set.key) != in_file.end() &&
            k->write(s) != k->write(from_file))
            return *why = set.who + (set.has_arg ? " " + set.text : "") + " contradicts " + set.key + " " +
                          dumped(k->write(from_file)) + " in " + file,
                   false;
        who[set.key] = set.who;
    }
    std::vector<std::string> given;
    for (const auto &[key, by] : who)
        given.push_back(key);
    std::string key;
    if (const char *rule = refused_key(s, vm, given, &key))
        return *why = who[key] + " has no effect " + rule, false;
    return true;
}

// NOLINTBEGIN(bugprone-macro-parentheses): S is a type
#define SCENARIO(S)                                                                                        \
    template const Key<S> *find_key<S>(std::string_view);                                                  \
    template bool read_text<S>(const Key<S> &, S &, const std::string &, std::string *);                   \
    template bool read_scenario<S>(std::string_view, S *, std::vector<std::string> *, std::string *);      \
    template std::string describe_scenario<S>(const S &);                                                  \
    template const char *refused_key<S>(const S &, bool, const std::vector<std::string> &, std::string *); \
    template void to_json<S>(Json &, const S &);                                                           \
    template Json scenario_document<S>(const S &);                                                         \
    template bool make_scenario<S>(S &, const std::string &, const std::vector<Setting> &, bool, std::string *);
SCENARIO(ProbeScenario)
SCENARIO(I2cScenario)
#undef SCENARIO
// NOLINTEND(bugprone-macro-parentheses)

} // namespace board_sim
