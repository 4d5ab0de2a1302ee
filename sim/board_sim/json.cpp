// SPDX-License-Identifier: MIT
#include "json.h"

#include <cmath>
#include <cstdio>

namespace board_sim {

namespace {

// Length of the UTF-8 sequence starting at text[at], or 0 when it is not one.
size_t utf8_length(std::string_view text, size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t n = 0;
    unsigned min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (at + n > text.size())
        return 0;
    unsigned code = lead & (0x7FU >> n);
    for (size_t i = 1; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[at + i]);
        if ((c & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (c & 0x3FU);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t n = utf8_length(text, i); n > 0) {
            out.append(text.substr(i, n));
            i += n - 1;
        } else {
            out += "\\ufffd";
        }
    }
    return out + "\"";
}

void JsonWriter::before_value()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        out_ += first_.back() ? "\n" : ",\n";
        first_.back() = false;
        out_.append(2 * first_.size(), ' ');
    }
}

JsonWriter &JsonWriter::begin_object()
{
    before_value();
    out_ += "{";
    first_.push_back(true);
    return *this;
}

JsonWriter &JsonWriter::begin_array()
{
    before_value();
    out_ += "[";
    first_.push_back(true);
    return *this;
}

void JsonWriter::close(char bracket)
{
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) {
        out_ += "\n";
        out_.append(2 * first_.size(), ' ');
    }
    out_ += bracket;
}

JsonWriter &JsonWriter::end_object()
{
    close('}');
    return *this;
}

JsonWriter &JsonWriter::end_array()
{
    close(']');
    return *this;
}

JsonWriter &JsonWriter::key(std::string_view name)
{
    before_value();
    out_ += json_string(name) + ": ";
    after_key_ = true;
    return *this;
}

JsonWriter &JsonWriter::value(std::string_view text)
{
    before_value();
    out_ += json_string(text);
    return *this;
}

JsonWriter &JsonWriter::value(long number)
{
    before_value();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter &JsonWriter::value(double number)
{
    if (!std::isfinite(number))
        return null();
    before_value();
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", number);
    out_ += text;
    return *this;
}

JsonWriter &JsonWriter::value(bool flag)
{
    before_value();
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::null()
{
    before_value();
    out_ += "null";
    return *this;
}

JsonWriter &JsonWriter::value(const std::optional<std::string> &text)
{
    return text ? value(*text) : null();
}

JsonWriter &JsonWriter::value(const std::optional<long> &number)
{
    return number ? value(*number) : null();
}

JsonWriter &JsonWriter::strings(const std::vector<std::string> &texts)
{
    begin_array();
    for (const std::string &t : texts)
        value(t);
    return end_array();
}

} // namespace board_sim
