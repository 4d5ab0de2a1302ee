// SPDX-License-Identifier: MIT
// The JSON writer behind --json: escaping that keeps any program output a
// valid string, and the commas and brackets of nested documents.
#include <gtest/gtest.h>

#include "json.h"

namespace {

using board_sim::json_string;
using board_sim::JsonWriter;

TEST(Json, StringsAreEscaped)
{
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("line\nnext\r\t"), "\"line\\nnext\\r\\t\"");
    EXPECT_EQ(json_string(std::string("nul\0bell\a", 9)), "\"nul\\u0000bell\\u0007\"");
    EXPECT_EQ(json_string("\x7f"), "\"\\u007f\"");
    EXPECT_EQ(json_string("\xc2\xb5s"), "\"\xc2\xb5s\"") << "UTF-8 stays as it is";
    EXPECT_EQ(json_string("\xff\xc2"), "\"\\ufffd\\ufffd\"") << "bytes that are not UTF-8";
    EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"") << "no surrogates";
}

TEST(Json, NestedDocument)
{
    JsonWriter json;
    json.begin_object();
    json.key("n").value(3);
    json.key("list").begin_array().value("a").value(true).null().end_array();
    json.key("empty").begin_object().end_object();
    json.key("none").value(std::optional<std::string>());
    json.key("rate").value(0.25);
    json.end_object();
    EXPECT_EQ(json.text(), "{\n"
                           "  \"n\": 3,\n"
                           "  \"list\": [\n"
                           "    \"a\",\n"
                           "    true,\n"
                           "    null\n"
                           "  ],\n"
                           "  \"empty\": {},\n"
                           "  \"none\": null,\n"
                           "  \"rate\": 0.25\n"
                           "}\n");
}

} // namespace
