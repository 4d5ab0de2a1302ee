// SPDX-License-Identifier: MIT
// Scenario files: what a file may hold, how each value is written back, the
// rules of what has no effect, and the documents board-sim prints.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scenario.h"

namespace {

using namespace board_sim;

template <class S>
struct Read {
    bool ok;
    S scenario;
    std::vector<std::string> given;
    std::string why;
};

template <class S = ProbeScenario>
Read<S> read(std::string_view text)
{
    Read<S> r;
    r.ok = read_scenario(text, &r.scenario, &r.given, &r.why);
    return r;
}

TEST(Scenario, FileValuesAreCheckedAndWrittenInOneSpelling)
{
    const Read r = read(R"({"tool": "probe", "family": "dash", "sensor": "at=1", "babble": 255,
        "detection_reply": "AA 55:17", "replies": ["btc detection=", "LTC SENSOR QUERY=0098FE"],
        "miner_type": ["BTC", ""], "corrupt_rate": 0.5})");
    ASSERT_TRUE(r.ok) << r.why;
    const Json written = r.scenario;
    EXPECT_EQ(written["family"], "DASH");
    EXPECT_EQ(written["sensor"], "answers") << "at=1 is the default";
    EXPECT_EQ(written["detection_reply"], "aa5517");
    EXPECT_EQ(written["replies"], Json({"BTC detection=", "LTC sensor query=0098fe"}));
    EXPECT_EQ(written["miner_type"], Json({"BTC", ""}));
    EXPECT_EQ(r.scenario.miner_type, "BTC\n\n");
    EXPECT_EQ(written["wire"], false) << "a key left out keeps its default";
    EXPECT_EQ(r.given, (std::vector<std::string>{"family", "sensor", "babble", "detection_reply", "replies",
                                                 "miner_type", "corrupt_rate"}))
        << "every key the file holds, in its order";

    // Written back, the scenario reads as itself; so do the defaults.
    const Read again = read(written.dump());
    ASSERT_TRUE(again.ok) << again.why;
    EXPECT_EQ(Json(again.scenario), written);
    EXPECT_EQ(Json(read(Json(ProbeScenario{}).dump()).scenario), Json(ProbeScenario{}));
    EXPECT_EQ(Json(read<I2cScenario>(Json(I2cScenario{}).dump()).scenario), Json(I2cScenario{}));
}

// Each committed scenario reads as it is, and its --json form as the same.
TEST(Scenario, CommittedScenariosRead)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(SCENARIOS_DIR)) {
        SCOPED_TRACE(entry.path().string());
        std::ifstream in(entry.path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const Json file = Json::parse(text);
        const Json scenario =
            file["tool"] == "i2c" ? Json(read<I2cScenario>(text).scenario) : Json(read(text).scenario);
        for (const auto &[key, value] : file.items())
            EXPECT_EQ(scenario[key], value) << key;
        ++files;
    }
    EXPECT_GE(files, 3);
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
        {R"({"babble": "ff"})", "babble wants a whole number from 0 to 255 or null"},
        {R"({"miner_type": ["a\nb"]})", "wants lines without a newline"},
        {R"({"replies": ["CRC=00"]})", "wants NAME=HEX"},
        {R"({"board_sim": "0.2.0", "subcommand": "i2c", "scenario": {}})",
         "not the --json document of a board-sim probe run"},
    };
    for (const auto &[text, says] : cases) {
        SCOPED_TRACE(text);
        const Read r = read(text);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.why.find(says), std::string::npos) << r.why;
    }
    EXPECT_NE(read<I2cScenario>(R"({"open_fails": ["sda-value:0"]})").why.find("FILE:N with N from 1"),
              std::string::npos);
}

TEST(Scenario, CommandLineTextBecomesTheKeysValue)
{
    const auto from_text =
        []<class S = ProbeScenario>(const char *key, const std::string &text, Json current = Json(), S * = nullptr)
    {
        const Key<S> *k = find_key<S>(key);
        S s;
        std::string why;
        EXPECT_TRUE(current.is_null() || k->read(s, current, &why)) << why;
        EXPECT_TRUE(read_text(*k, s, text, &why)) << why;
        return k->write(s);
    };
    EXPECT_EQ(from_text("sensor_id", "0x1a"), 26);
    EXPECT_EQ(from_text("sensor", "7"), 7);
    EXPECT_EQ(from_text("sensor", "at=7"), 7);
    EXPECT_EQ(from_text("note", "12"), "12") << "text that is not the key's JSON is the key's text";
    EXPECT_EQ(from_text("sensor_reply", "0098"), "0098");
    EXPECT_EQ(from_text("miner_type", "null", Json({"A"})), Json()) << "null clears";
    EXPECT_EQ(from_text("reply_limit", "null"), Json());
    EXPECT_EQ(from_text("corrupt_rate", "1e-3"), 0.001);
    EXPECT_EQ(from_text("args", "x", Json({"alt"})), Json({"alt", "x"})) << "an item adds";
    EXPECT_EQ(from_text("args", R"(["y"])", Json({"alt"})), Json({"y"})) << "an array replaces";
    EXPECT_EQ(from_text("sda_stuck", "High", Json(), static_cast<I2cScenario *>(nullptr)), "high");
    EXPECT_EQ(from_text("open_fails", "scl-value", Json::array(), static_cast<I2cScenario *>(nullptr)),
              Json({"scl-value:1"}));
}

TEST(Scenario, RulesRefuseOnlyWhatWasGiven)
{
    ProbeScenario s;
    std::string key;
    EXPECT_EQ(refused_key(s, false, {}, &key), nullptr) << "defaults are never refused";
    EXPECT_STREQ(refused_key(s, false, {"chips"}, &key), "without wire");
    EXPECT_EQ(key, "chips");
    s.board.family = sim::ChipFamily::LTC;
    s.wire = true;
    EXPECT_EQ(refused_key(s, false, {"family", "wire", "chips"}, &key), nullptr);
    s.miner_type = "0123456789012345678\nSIA\n";
    ASSERT_NE(refused_key(s, false, {"family"}, &key), nullptr)
        << "the probe reads the record in pieces of 19 and finds SIA last";
    s.miner_type = "0123456789012345678SIA\n";
    EXPECT_NE(refused_key(s, false, {"family"}, &key), nullptr);
    s.miner_type = "012345678901234567SIA\n";
    EXPECT_EQ(refused_key(s, false, {"family"}, &key), nullptr) << "SIA is inside the last piece";
    s.miner_type = "DAS\n";
    EXPECT_EQ(refused_key(s, false, {"family"}, &key), nullptr) << "DASH needs all four letters";
    EXPECT_NE(refused_key(s, true, {"answers_after_cycles"}, &key), nullptr) << "with --vm";

    I2cScenario i;
    i.device.present = false;
    EXPECT_STREQ(refused_key(i, false, {"address"}, &key), "when absent: no device on the bus");
    EXPECT_EQ(describe_scenario(i), "absent=true");
    EXPECT_EQ(describe_scenario(I2cScenario{}), "every key at its default");
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
