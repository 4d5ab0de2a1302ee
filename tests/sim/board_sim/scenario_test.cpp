// SPDX-License-Identifier: MIT
// Scenario files: what a file may hold, how each value is written back, the
// rules of what has no effect, and the documents board-sim prints.
#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using namespace board_sim;

struct Read {
    bool ok;
    Json scenario;
    std::vector<std::string> given;
    std::string why;
};

Read read(Tool tool, std::string_view text)
{
    Read r;
    r.ok = read_scenario(tool, text, &r.scenario, &r.given, &r.why);
    return r;
}

TEST(Scenario, FileValuesAreCheckedAndWrittenInOneSpelling)
{
    const Read r = read(Tool::Probe, R"({"tool": "probe", "family": "dash", "sensor": "at=1", "babble": 255,
        "detection_reply": "AA 55:17", "replies": ["btc detection=", "LTC SENSOR QUERY=0098FE"],
        "miner_type": ["BTC", ""], "corrupt_rate": 0.5})");
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_EQ(r.scenario["family"], "DASH");
    EXPECT_EQ(r.scenario["sensor"], "answers") << "at=1 is the default";
    EXPECT_EQ(r.scenario["detection_reply"], "aa5517");
    EXPECT_EQ(r.scenario["replies"], Json({"BTC detection=", "LTC sensor query=0098fe"}));
    EXPECT_EQ(r.scenario["wire"], false) << "a key left out keeps its default";
    EXPECT_EQ(r.given, (std::vector<std::string>{"family", "sensor", "babble", "detection_reply", "replies",
                                                 "miner_type", "corrupt_rate"}))
        << "every key the file holds, in its order";

    // Written back, the scenario reads as itself.
    const Read again = read(Tool::Probe, r.scenario.dump());
    ASSERT_TRUE(again.ok) << again.why;
    EXPECT_EQ(again.scenario, r.scenario);
    for (Tool tool : {Tool::Probe, Tool::I2c}) {
        const Read fresh = read(tool, default_scenario(tool).dump());
        EXPECT_TRUE(fresh.ok) << fresh.why;
        EXPECT_EQ(fresh.scenario, default_scenario(tool));
    }
}

TEST(Scenario, MalformedFilesAreRefusedWithTheKeyNamed)
{
    const std::pair<const char *, const char *> cases[] = {
        {"", "not JSON: parse error at line 1, column 1"},
        {"[1, 2]", "not a JSON object"},
        {R"({"tool": "i2c"})", "a scenario for \"i2c\", not for probe"},
        {R"({"family": "LTC", "famliy": "BTC"})", "unknown key \"famliy\" in a probe scenario"},
        {R"({"chips": "12"})", "chips wants a whole number from 0 to 256, not \"12\""},
        {R"({"chips": 12.5})", "chips wants a whole number"},
        {R"({"corrupt_seed": 4294967296})", "corrupt_seed wants a whole number from 0 to 4294967295"},
        {R"({"corrupt_rate": -0.1})", "corrupt_rate wants a number from 0 to 1"},
        {R"({"sensor": "at=0"})", "sensor wants \"answers\", \"never\" or at=K"},
        {R"({"wire": null})", "wire wants true or false, not null"},
        {R"({"miner_type": ["a\nb"]})", "wants lines without a newline"},
        {R"({"replies": ["CRC=00"]})", "wants NAME=HEX"},
        {R"({"board_sim": "0.2.0", "subcommand": "i2c", "scenario": {}})",
         "not the --json document of a board-sim probe run"},
    };
    for (const auto &[text, says] : cases) {
        SCOPED_TRACE(text);
        const Read r = read(Tool::Probe, text);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.why.find(says), std::string::npos) << r.why;
    }
    EXPECT_NE(read(Tool::I2c, R"({"open_fails": ["sda-value:0"]})").why.find("FILE:N with N from 1"),
              std::string::npos);
}

TEST(Scenario, CommandLineTextBecomesTheFieldsValue)
{
    const auto from_text = [](Tool tool, const char *key, const std::string &text, Json current = Json()) {
        Json out;
        std::string why;
        EXPECT_TRUE(field_value_from_text(*find_field(tool, key), text, current, &out, &why)) << why;
        return out;
    };
    EXPECT_EQ(from_text(Tool::Probe, "sensor_id", "0x1a"), 26);
    EXPECT_EQ(from_text(Tool::Probe, "sensor", "7"), 7);
    EXPECT_EQ(from_text(Tool::Probe, "reply_limit", "null"), Json());
    EXPECT_EQ(from_text(Tool::Probe, "corrupt_rate", "1e-3"), 0.001);
    EXPECT_EQ(from_text(Tool::Probe, "args", "x", Json({"alt"})), Json({"alt", "x"})) << "an item adds";
    EXPECT_EQ(from_text(Tool::Probe, "args", R"(["y"])", Json({"alt"})), Json({"y"})) << "an array replaces";
    EXPECT_EQ(from_text(Tool::I2c, "sda_stuck", "High"), "high");
}

TEST(Scenario, EveryRuleNamesKeysOfItsOwnTool)
{
    for (const NoEffect &rule : no_effect_rules())
        for (const char *key : rule.keys)
            EXPECT_TRUE(key == nullptr || find_field(rule.tool, key) != nullptr)
                << key << " in the rule '" << rule.why << "'";
}

TEST(Scenario, RulesRefuseOnlyWhatWasGiven)
{
    Json s = default_scenario(Tool::Probe);
    std::string key;
    EXPECT_EQ(refused_key(Tool::Probe, s, false, {}, &key), nullptr) << "defaults are never refused";
    const NoEffect *rule = refused_key(Tool::Probe, s, false, {"chips"}, &key);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(key, "chips");
    EXPECT_STREQ(rule->why, "without wire");
    s["family"] = "LTC";
    s["wire"] = true;
    EXPECT_EQ(refused_key(Tool::Probe, s, false, {"family", "wire", "chips"}, &key), nullptr);
    s["miner_type"] = Json({"0123456789012345678", "SIA"});
    ASSERT_NE(refused_key(Tool::Probe, s, false, {"family"}, &key), nullptr)
        << "the probe reads the record in pieces of 19 and finds SIA last";
    s["miner_type"] = Json({"0123456789012345678SIA"});
    EXPECT_NE(refused_key(Tool::Probe, s, false, {"family"}, &key), nullptr);
    s["miner_type"] = Json({"012345678901234567SIA"});
    EXPECT_EQ(refused_key(Tool::Probe, s, false, {"family"}, &key), nullptr) << "SIA is inside the last piece";
}

TEST(Scenario, DocumentsAlwaysParse)
{
    const Json doc = {{"stdout", std::string("ok \xff\xfe\n\x01", 7)}, {"n", 1}};
    const std::string text = document_text(doc);
    const Json back = Json::parse(text, nullptr, false);
    ASSERT_FALSE(back.is_discarded()) << text;
    EXPECT_EQ(back["stdout"], "ok \xef\xbf\xbd\xef\xbf\xbd\n\x01") << "bytes that are not UTF-8 become U+FFFD";
    EXPECT_EQ(text.back(), '\n');
}

} // namespace
