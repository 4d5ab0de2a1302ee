// SPDX-License-Identifier: MIT
// Result codes of one identification attempt, as recorded by the driver.
#pragma once

inline constexpr int MINER_BTC = 1;
inline constexpr int MINER_LTC = 2;
inline constexpr int MINER_DASH = 3;
inline constexpr int MINER_SIA = 4;
inline constexpr int MINER_UNKNOWN = 10;
