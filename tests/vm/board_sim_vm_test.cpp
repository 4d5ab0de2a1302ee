// SPDX-License-Identifier: MIT
// board-sim --vm: the scenarios of the simulated board on the emulated one,
// shown as board-sim shows every run. What the run did comes back from the
// guest (records, the kernel's trace of the control line, the line settings).
#include <gtest/gtest.h>

#include "run_board_sim.h"

namespace {

using board_sim_test::Ran;
using board_sim_test::run_board_sim;

void expect_has(const std::string &text, const std::vector<std::string> &parts)
{
    for (const std::string &part : parts)
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

TEST(BoardSimOnTheBoard, ProbeSummaryComesFromTheGuest)
{
    const Ran r = run_board_sim({"probe", "--vm", "--family", "ltc", "--sensor", "at=3", "-s", "temp_sensor=OLD"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out, {"== miner-probe on the emulated default board (gpio27, /dev/ttyATH0): family=LTC, sensor=3, "
                       "temp_sensor=OLD\n",
                       "ltc read temp sensor register 0xfe OK\n", "== exit status 0 after ",
                       "   LTC detection, answered\n", "   LTC sensor query x2\n", "   LTC sensor query, answered\n",
                       "== control line gpio27: 0 1 (1 low-high cycle), left high\n",
                       "   /usr/bin/tempSensor:\n       OLD\n     + YES\n",
                       "== serial line after the run: 115200 baud, -parenb cs8 -cstopb -crtscts -ixon -icanon, "
                       "min = 0, time = 2\n",
                       "== GPIO files after the run: gpio16 out 0; gpio19 in 1; gpio23 in 1; gpio27 out 1\n"});
}

TEST(BoardSimOnTheBoard, AlternateBoardAsJson)
{
    const Ran r = run_board_sim({"probe", "--vm", "--family", "dash", "--alt", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out, {"\"board\": \"emulated\"", "\"uart\": \"/dev/ttyS0\"", "\"name\": \"SIA/DASH detection\"",
                       "\"gpio\": \"gpio16\",\n    \"writes\": [\n      \"0\",\n      \"1\"\n    ]",
                       "\"appended\": [\n        \"DASH\"\n      ]", "\"emulated_board\": {", "\"stty_after\": \"speed "});
    EXPECT_EQ(r.out.find("== "), std::string::npos) << "no text summary in the document";
}

TEST(BoardSimOnTheBoard, I2cOnTheKernelsLines)
{
    const Ran r = run_board_sim({"i2c", "--vm", "write", "200"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(r.out, {"i2c write failed:1!", "== kernel trace: gpio19: ", "direction change",
                       "== GPIO files after the run: gpio16 out 0; gpio19 out 1; gpio23 out 1; gpio27 out 0\n"});
    EXPECT_EQ(r.out.find("serial line"), std::string::npos) << "the I2C tool does not touch the UART";
}

} // namespace
