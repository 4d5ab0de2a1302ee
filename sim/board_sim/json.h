// SPDX-License-Identifier: MIT
// A small JSON writer for board-sim's --json documents: objects, arrays,
// strings, numbers, booleans and null, indented two spaces a level. Strings
// are escaped as RFC 8259 asks; bytes that are not UTF-8 (a program's output
// may hold any) become U+FFFD, so the document always parses.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace board_sim {

// "a\"b" for a"b, with control characters as \n, \t or \u00XX.
std::string json_string(std::string_view text);

class JsonWriter {
public:
    JsonWriter &begin_object();
    JsonWriter &end_object();
    JsonWriter &begin_array();
    JsonWriter &end_array();
    // The name of the next member of the object being written.
    JsonWriter &key(std::string_view name);

    JsonWriter &value(std::string_view text);
    JsonWriter &value(const char *text) { return value(std::string_view(text)); }
    JsonWriter &value(const std::string &text) { return value(std::string_view(text)); }
    JsonWriter &value(long number);
    JsonWriter &value(int number) { return value(static_cast<long>(number)); }
    JsonWriter &value(double number);
    JsonWriter &value(bool flag);
    JsonWriter &null();
    // A string or number, or null when there is none.
    JsonWriter &value(const std::optional<std::string> &text);
    JsonWriter &value(const std::optional<long> &number);
    // A string, or null when it is empty.
    JsonWriter &text_or_null(const std::string &text) { return text.empty() ? null() : value(text); }
    JsonWriter &strings(const std::vector<std::string> &texts);

    // The document, ending in a newline once everything opened is closed.
    std::string text() const { return out_ + "\n"; }

private:
    void before_value();
    void close(char bracket);

    std::string out_;
    std::vector<bool> first_; // per open level: nothing written in it yet
    bool after_key_ = false;
};

} // namespace board_sim
