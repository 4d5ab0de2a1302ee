// SPDX-License-Identifier: MIT
// Reading, checking, describing and writing scenarios by their key tables
// (scenario_keys.cpp).
#include <climits>

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

template <class S>
void write_keys(Json &j, const S &s)
{
    j = {{"tool", tool_name(S::TOOL)}};
    for (const Key<S> &k : scenario_keys<S>())
        j[k.name] = k.write(s);
}

} // namespace

const char *tool_name(Tool tool)
{
    return tool == Tool::Probe ? "probe" : tool == Tool::I2c ? "i2c" : "explain";
}

void to_json(Json &j, const ProbeScenario &s)
{
    write_keys(j, s);
}

void to_json(Json &j, const I2cScenario &s)
{
    write_keys(j, s);
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

// NOLINTBEGIN(bugprone-macro-parentheses): S is a type
#define SCENARIO(S)                                                                                   \
    template const Key<S> *find_key<S>(std::string_view);                                             \
    template bool read_text<S>(const Key<S> &, S &, const std::string &, std::string *);              \
    template bool read_scenario<S>(std::string_view, S *, std::vector<std::string> *, std::string *); \
    template std::string describe_scenario<S>(const S &);
SCENARIO(ProbeScenario)
SCENARIO(I2cScenario)
#undef SCENARIO
// NOLINTEND(bugprone-macro-parentheses)

} // namespace board_sim
