// SPDX-License-Identifier: MIT
// board-sim's explanation of a miner-probe log (explain_log in
// sim/probe_log/explain.h), which reads whatever text it is given.
//
// Properties: for any bytes it returns an explanation of at least one line,
// with no newline inside a line; it says the text is a probe log exactly when
// it recognised one of the program's lines; it names a family (or none) for
// each run and counts no more attempts, runs or exchanges than it recognised
// lines; the same text gives the same explanation. Of a text that holds a
// probe run, `explain --as-scenario` gives a scenario that board-sim probe
// accepts as it is (no key without effect) and that reads back the same.
// Input: the log itself.
#include <string>
#include <string_view>

#include "explain.h"
#include "fuzz_check.h"
#include "scenario.h"

namespace {

void check_explanation(const board_sim::LogExplanation &e, size_t size)
{
    FUZZ_CHECK(!e.text.empty());
    for (const std::string &line : e.text)
        FUZZ_CHECK(line.find('\n') == std::string::npos);
    FUZZ_CHECK(e.probe_log == (e.probe_lines > 0));
    FUZZ_CHECK(e.runs >= 0 && e.runs <= e.probe_lines);
    FUZZ_CHECK(e.attempts >= 0 && e.attempts <= e.probe_lines);
    FUZZ_CHECK(e.families.size() == static_cast<size_t>(e.runs));
    FUZZ_CHECK(!e.cut_off || e.probe_log);
    FUZZ_CHECK(e.probe_lines + e.other_lines <= static_cast<int>(size) + 1);
}

void check_exchanges(const std::vector<board_sim::LoggedExchange> &exchanges, int probe_lines)
{
    FUZZ_CHECK(exchanges.size() <= static_cast<size_t>(probe_lines));
    for (const board_sim::LoggedExchange &x : exchanges) {
        FUZZ_CHECK(x.line >= 1);
        FUZZ_CHECK(x.sent.size() % 2 == 0 && x.reply.size() % 2 == 0);
    }
}

void check_scenario(std::string_view log)
{
    using namespace board_sim;
    const std::string text = document_text(scenario_document(scenario_of_log(log, "fuzz.log", 0)));
    ProbeScenario read;
    std::vector<std::string> given;
    std::string why;
    std::string key;
    FUZZ_CHECK(read_scenario(text, &read, &given, &why));
    FUZZ_CHECK(refused_key(read, false, given, &key) == nullptr);
    FUZZ_CHECK(document_text(scenario_document(read)) == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view log(reinterpret_cast<const char *>(data), size);
    const board_sim::LogExplanation e = board_sim::explain_log(log);
    check_explanation(e, size);
    check_exchanges(board_sim::logged_exchanges(log), e.probe_lines);
    FUZZ_CHECK(board_sim::explain_log(log).text == e.text);
    if (e.probe_log)
        check_scenario(log);
    return 0;
}
