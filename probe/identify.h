// SPDX-License-Identifier: MIT
// One identification attempt: which chip family answers on the hash board's
// UART, and whether its temperature sensor answers.
#pragma once

// Opens the link ("/dev/ttyS0" on the alternate board, else "/dev/ttyATH0"),
// tries the BTC, LTC and SIA/DASH detection frames in that order and, on the
// default board, appends "YES" or "NO" to /usr/bin/tempSensor for a recognised
// family. The link is closed on every return.
// Returns MINER_BTC, MINER_LTC, MINER_DASH, MINER_SIA or MINER_UNKNOWN.
int probe_miner_type(bool alt_board);
