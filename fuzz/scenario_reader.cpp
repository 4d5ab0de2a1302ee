// SPDX-License-Identifier: MIT
// board-sim's scenario reader (read_scenario in sim/board_sim/scenario.h),
// which reads whatever file an engineer attaches to a bug report.
//
// Properties: for any bytes it either refuses them with one line naming the
// problem or gives a scenario holding every key of its tool; a scenario it
// accepts reads back as itself once written, and turns into a simulated
// board without failing; the same bytes give the same answer.
// Input: the file itself, read as a probe scenario and as an I2C one.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scenario.h"

namespace {

void check(board_sim::Tool tool, std::string_view text)
{
    board_sim::Json scenario;
    std::vector<std::string> given;
    std::string why;
    const bool ok = board_sim::read_scenario(tool, text, &scenario, &given, &why);
    board_sim::Json again;
    std::vector<std::string> given_again;
    std::string why_again;
    FUZZ_CHECK(board_sim::read_scenario(tool, text, &again, &given_again, &why_again) == ok);
    if (!ok) {
        FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos && why == why_again);
        return;
    }
    FUZZ_CHECK(scenario == again && given == given_again);
    FUZZ_CHECK(scenario.size() == board_sim::scenario_fields(tool).size());
    board_sim::Json written;
    FUZZ_CHECK(board_sim::read_scenario(tool, board_sim::document_text(scenario), &written, &given_again, &why));
    FUZZ_CHECK(written == scenario);
    std::string key;
    for (bool vm : {false, true})
        board_sim::refused_key(tool, scenario, vm, given, &key);
    if (tool == board_sim::Tool::Probe)
        FUZZ_CHECK(board_sim::probe_setup(scenario, false).board.sensor_answers_at_query >= 0);
    else
        FUZZ_CHECK(board_sim::i2c_setup(scenario).board.device.address <= 0x7F);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    check(board_sim::Tool::Probe, text);
    check(board_sim::Tool::I2c, text);
    return 0;
}
