// SPDX-License-Identifier: MIT
// board-sim's scenario reader (read_scenario in sim/board_sim/scenario.h),
// which reads whatever file an engineer attaches to a bug report.
//
// Properties: for any bytes it either refuses them with one line naming the
// problem or gives a scenario holding every key of its tool; a scenario it
// accepts reads back as itself once written, and the rules and the
// description take it without failing; the same bytes give the same answer.
// Input: the file itself, read as a probe scenario and as an I2C one.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scenario.h"

namespace {

template <class S>
void check(std::string_view text)
{
    S scenario;
    S again;
    S written;
    std::vector<std::string> given;
    std::vector<std::string> given_again;
    std::string why;
    std::string why_again;
    const bool ok = board_sim::read_scenario(text, &scenario, &given, &why);
    FUZZ_CHECK(board_sim::read_scenario(text, &again, &given_again, &why_again) == ok);
    if (!ok) {
        FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos && why == why_again);
        return;
    }
    const board_sim::Json json = scenario;
    FUZZ_CHECK(json == board_sim::Json(again) && given == given_again);
    FUZZ_CHECK(json.size() == board_sim::scenario_keys<S>().size() + 1); // and "tool"
    FUZZ_CHECK(board_sim::read_scenario(board_sim::document_text(json), &written, &given_again, &why));
    FUZZ_CHECK(board_sim::Json(written) == json);
    std::string key;
    for (bool vm : {false, true})
        board_sim::refused_key(scenario, vm, given, &key);
    FUZZ_CHECK(!board_sim::describe_scenario(scenario).empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    check<board_sim::ProbeScenario>(text);
    check<board_sim::I2cScenario>(text);
    return 0;
}
