// SPDX-License-Identifier: MIT
// How a scenario key's member reads and writes its JSON value, and what it
// wants in words: one codec per kind of value (whole numbers in a range,
// choices by name, hexadecimal bytes, lists of items, ...), and key(), which
// makes a key of a member and a codec. Only scenario_keys.cpp includes it.
#pragma once

#include <strings.h>

#include "scenario.h"
#include "text.h"

namespace board_sim::codecs {

template <class C>
constexpr bool shows_hex(const C &c)
{
    if constexpr (requires { c.hex; })
        return c.hex;
    return false;
}

template <class C>
constexpr bool is_list(const C &c)
{
    if constexpr (requires { c.list; })
        return c.list;
    return false;
}

struct Text {
    std::string wants() const { return "text"; }
    bool read(const Json &j, std::string &v, std::string *) const
    {
        return j.is_string() && (v = j.get<std::string>(), true);
    }
    Json write(const std::string &v) const { return v; }
};

// true or false; `negated` for a member that means the opposite of its key.
struct Flag {
    bool negated = false;
    std::string wants() const { return "true or false"; }
    bool read(const Json &j, bool &v, std::string *) const
    {
        return j.is_boolean() && (v = j.get<bool>() != negated, true);
    }
    Json write(bool v) const { return v != negated; }
};

// A whole number in [min, max].
// A whole number from `min` to `max`.
inline bool in_range(const Json &j, long min, long max)
{
    return j.is_number_integer() && j.get<long long>() >= min && j.get<long long>() <= max;
}

template <class T>
struct Number {
    long min, max;
    bool hex = false;
    std::string wants() const { return "a whole number from " + std::to_string(min) + " to " + std::to_string(max); }
    bool read(const Json &j, T &v, std::string *) const { return in_range(j, min, max) && (v = j.get<T>(), true); }
    Json write(T v) const { return v; }
};

// A probability.
struct Rate {
    std::string wants() const { return "a number from 0 to 1"; }
    bool read(const Json &j, double &v, std::string *) const
    {
        return j.is_number() && j.get<double>() >= 0 && j.get<double>() <= 1 && (v = j.get<double>(), true);
    }
    Json write(double v) const { return v; }
};

// One of `names`, any case on input.
template <class E>
struct Choice {
    std::span<const std::pair<E, const char *>> names;
    std::string wants() const
    {
        std::string what;
        for (size_t i = 0; i < names.size(); ++i)
            what += std::string(i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i].second;
        return what;
    }
    bool read(const Json &j, E &v, std::string *) const
    {
        for (const auto &[value, name] : names)
            if (j.is_string() && strcasecmp(name, j.get<std::string>().c_str()) == 0)
                return v = value, true;
        return false;
    }
    Json write(E v) const
    {
        return std::find_if(names.begin(), names.end(), [v](auto &n) { return n.first == v; })->second;
    }
};

// When the sensor answers: from query 1 ("answers"), never (0), or from the K-th.
struct Sensor {
    long min, max;
    std::string wants() const { return "\"answers\", \"never\" or at=K with K from 1 to " + std::to_string(max); }
    bool read(const Json &j, int &v, std::string *) const
    {
        const std::string text = j.is_string() ? j.get<std::string>() : "";
        const std::optional<long> k = in_range(j, min, max)     ? j.get<long>()
                                      : text == "answers"       ? 1
                                      : text == "never"         ? 0
                                      : text.starts_with("at=") ? sim::parse_number(text.substr(3), 1, max)
                                                                : std::nullopt;
        return k && (v = static_cast<int>(*k), true);
    }
    Json write(int v) const { return v == 1 ? Json("answers") : v == 0 ? Json("never") : Json(v); }
};

// Bytes as hexadecimal text, "aa5517".
struct Hex {
    std::string wants() const { return "hexadecimal bytes such as \"aa551799\""; }
    bool read(const Json &j, std::vector<uint8_t> &v, std::string *) const
    {
        const auto bytes = j.is_string() ? sim::parse_hex_bytes(j.get<std::string>()) : std::nullopt;
        return bytes && (v = *bytes, true);
    }
    Json write(const std::vector<uint8_t> &v) const { return sim::hex_bytes(v); }
};

// A list of strings, each read by `item` (which may say why not) and written
// by `show`; on the command line, one item adds, a JSON array replaces.
template <class T>
struct List {
    bool (*item)(const std::string &text, T &v, std::string *why) = nullptr;
    std::string (*show)(const T &v) = nullptr;
    bool list = true;
    std::string wants() const { return "a list of strings"; }
    bool read(const Json &j, std::vector<T> &v, std::string *why) const
    {
        std::vector<T> items(j.is_array() ? j.size() : 0);
        for (size_t i = 0; i < items.size(); ++i)
            if (!j[i].is_string() || !item(j[i].get<std::string>(), items[i], why))
                return false;
        return j.is_array() && (v = std::move(items), true);
    }
    Json write(const std::vector<T> &v) const
    {
        Json out = Json::array();
        for (const T &x : v)
            out.push_back(show(x));
        return out;
    }
};

inline bool line_item(const std::string &text, std::string &v, std::string *why)
{
    if (text.find('\n') != std::string::npos)
        return *why = "wants lines without a newline in them", false;
    return v = text, true;
}

inline std::string same(const std::string &text)
{
    return text;
}

// A record file's text as its lines.
struct Lines : List<std::string> {
    Lines() : List{line_item, same} {}
    bool read(const Json &j, std::string &text, std::string *why) const
    {
        std::vector<std::string> lines;
        if (!List::read(j, lines, why))
            return false;
        text.clear();
        for (const std::string &line : lines)
            text += line + "\n";
        return true;
    }
    Json write(const std::string &text) const
    {
        Json out = Json::array();
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = std::min(text.find('\n', at), text.size());
            out.push_back(text.substr(at, end - at));
        }
        return out;
    }
};

// C's value, or null for none.
template <class C>
struct Maybe {
    C inner{};
    bool hex = shows_hex(inner), list = is_list(inner);
    std::string wants() const { return inner.wants() + " or null"; }
    template <class T>
    bool read(const Json &j, std::optional<T> &v, std::string *why) const
    {
        T x{};
        return j.is_null() ? (v.reset(), true) : inner.read(j, x, why) && (v = std::move(x), true);
    }
    template <class T>
    Json write(const std::optional<T> &v) const
    {
        return v ? inner.write(*v) : Json();
    }
};

template <class S, class M>
std::ptrdiff_t offset_in(const S &s, const M &member)
{
    return reinterpret_cast<const char *>(&member) - reinterpret_cast<const char *>(&s);
}

// The key `name` of the member `at` gives (see AT), read and written by codec `c`.
template <class S, class C, class A>
Key<S> key(const char *name, C c, A at, const char *help)
{
    static const S proto{};
    return {name,
            help,
            c.wants(),
            shows_hex(c),
            is_list(c),
            offset_in(proto, at(proto)),
            [c, at](S &s, const Json &j, std::string *why) { return c.read(j, at(s), why); },
            [c, at](const S &s) { return c.write(at(s)); }};
}

// Where the members `at...` lie, for a rule.
template <class S, class... A>
std::vector<std::ptrdiff_t> members(A... at)
{
    static const S proto{};
    return {offset_in(proto, at(proto))...};
}

#define AT(member) ([](auto &s) -> auto & { return s.member; })

} // namespace board_sim::codecs
