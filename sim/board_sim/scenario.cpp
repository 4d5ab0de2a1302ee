// SPDX-License-Identifier: MIT
// Reading, checking and writing scenarios by their key tables
// (scenario_keys.cpp).
#include "scenario.h"

#include "text.h"

namespace board_sim {

namespace {

using T = FieldType;

// A value in a message.
std::string shown(const Json &value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool wants(const Field &f, std::string *why)
{
    std::string what;
    switch (f.type) {
    case T::Flag:
        what = "true or false";
        break;
    case T::Count:
        what = "a whole number from " + std::to_string(f.min) + " to " + std::to_string(f.max);
        break;
    case T::Rate:
        what = "a number from 0 to 1";
        break;
    case T::Choice:
        for (const char *const *c = f.choices; *c != nullptr; ++c)
            what += std::string(what.empty() ? "" : c[1] == nullptr ? " or " : ", ") + *c;
        break;
    case T::Hex:
        what = "hexadecimal bytes such as \"aa551799\"";
        break;
    case T::Query:
        what = "\"answers\", \"never\" or at=K with K from 1 to " + std::to_string(f.max);
        break;
    case T::List:
        what = "a list of strings";
        break;
    case T::Text:
        what = "text";
        break;
    }
    *why = "wants " + what + (f.nullable ? " or null" : "");
    return false;
}

} // namespace

const char *tool_name(Tool tool)
{
    return tool == Tool::Probe ? "probe" : tool == Tool::I2c ? "i2c" : "explain";
}

Json default_scenario(Tool tool)
{
    Json s = Json::object();
    for (const Field &f : scenario_fields(tool))
        s[f.key] = Json::parse(f.fallback);
    return s;
}

std::string describe_scenario(Tool tool, const Json &scenario)
{
    std::string text;
    for (const Field &f : scenario_fields(tool)) {
        const Json &value = scenario[f.key];
        if (f.type == T::Text || value == Json::parse(f.fallback))
            continue;
        // A list reads as the --set of each item; a byte in hexadecimal.
        for (const Json &item : value.is_array() ? value : Json::array({value}))
            text += std::string(text.empty() ? "" : ", ") + f.key + "=" +
                    (item.is_string()                     ? item.get<std::string>()
                     : shown_in_hex(f) && !item.is_null() ? sim::hex_byte(item.get<int>())
                                                          : shown(item));
        if (value.is_array() && value.empty())
            text += std::string(text.empty() ? "" : ", ") + f.key + "=[]";
    }
    return text.empty() ? "every key at its default" : text;
}

bool field_value(const Field &f, const Json &value, Json *out, std::string *why)
{
    if (value.is_null())
        return f.nullable ? (*out = value, true) : wants(f, why);
    switch (f.type) {
    case T::Flag:
        if (!value.is_boolean())
            return wants(f, why);
        break;
    case T::Text:
        if (!value.is_string())
            return wants(f, why);
        break;
    case T::Count:
        if (!value.is_number_integer() || value.get<long long>() < f.min || value.get<long long>() > f.max)
            return wants(f, why);
        break;
    case T::Rate:
        if (!value.is_number() || !(value.get<double>() >= 0 && value.get<double>() <= 1))
            return wants(f, why);
        break;
    case T::Choice: {
        const int i = value.is_string() ? choice_index(f.choices, value.get<std::string>()) : -1;
        if (i < 0)
            return wants(f, why);
        *out = f.choices[i];
        return true;
    }
    case T::Hex:
        if (!value.is_string() || !sim::parse_hex_bytes(value.get<std::string>()))
            return wants(f, why);
        *out = sim::hex_bytes(*sim::parse_hex_bytes(value.get<std::string>()));
        return true;
    case T::Query: {
        std::optional<long> k;
        if (value.is_number_integer() && value.get<long long>() >= 0 && value.get<long long>() <= f.max)
            k = static_cast<long>(value.get<long long>());
        else if (value == "answers")
            k = 1;
        else if (value == "never")
            k = 0;
        else if (value.is_string() && value.get<std::string>().starts_with("at="))
            k = sim::parse_number(value.get<std::string>().substr(3), 1, f.max);
        if (!k)
            return wants(f, why);
        *out = *k == 1 ? Json("answers") : *k == 0 ? Json("never") : Json(*k);
        return true;
    }
    case T::List: {
        if (!value.is_array())
            return wants(f, why);
        Json items = Json::array();
        for (const Json &item : value) {
            std::string canonical;
            if (!item.is_string())
                return wants(f, why);
            if (f.item != nullptr && !f.item(item.get<std::string>(), &canonical, why))
                return false;
            items.push_back(f.item != nullptr ? canonical : item.get<std::string>());
        }
        *out = items;
        return true;
    }
    }
    *out = value;
    return true;
}

bool field_value_from_text(const Field &f, const std::string &text, const Json &current, Json *out, std::string *why)
{
    Json value;
    if (f.type == T::List && !text.starts_with("[")) {
        value = current.is_array() ? current : Json::array();
        value.push_back(text);
    } else if (f.type == T::Count || f.type == T::Query) {
        const std::optional<long> n = sim::parse_number(text, f.type == T::Query ? 0 : f.min, f.max);
        value = n ? Json(*n) : text == "null" ? Json() : Json(text);
    } else if (f.type == T::Choice || f.type == T::Hex || f.type == T::Text) {
        value = text == "null" ? Json() : Json(text);
    } else {
        value = Json::parse(text, nullptr, false);
    }
    if (!field_value(f, value, out, why)) {
        if (why->starts_with("wants"))
            *why += ", not '" + text + "'";
        return false;
    }
    return true;
}

bool read_scenario(Tool tool, std::string_view text, Json *scenario, std::vector<std::string> *given, std::string *why)
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
    const Json *in = &doc;
    // The --json document of a run holds its scenario.
    if (doc.is_object() && doc.contains("board_sim")) {
        if (!doc.contains("scenario") || !doc.contains("subcommand") || doc.at("subcommand") != tool_name(tool)) {
            *why = std::string("not the --json document of a board-sim ") + tool_name(tool) + " run";
            return false;
        }
        in = &doc["scenario"];
    }
    if (!in->is_object()) {
        *why = "not a JSON object";
        return false;
    }
    *scenario = default_scenario(tool);
    for (const auto &[key, value] : in->items()) {
        if (key == "tool") {
            if (value != tool_name(tool)) {
                *why = "a scenario for " + shown(value) + ", not for " + tool_name(tool);
                return false;
            }
            continue;
        }
        const Field *f = find_field(tool, key);
        if (f == nullptr) {
            *why = "unknown key " + shown(Json(key)) + " in a " + tool_name(tool) + " scenario";
            return false;
        }
        Json canonical;
        if (!field_value(*f, value, &canonical, why)) {
            *why = key + " " + *why + ", not " + shown(value);
            return false;
        }
        (*scenario)[key] = canonical;
        given->push_back(key);
    }
    return true;
}

std::string document_text(const Json &doc)
{
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace board_sim
