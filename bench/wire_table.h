// SPDX-License-Identifier: MIT
// miner-bench's table of miner-probe on the paced wire.
#pragma once

#include "target_command.h"

// Family x chips x latency on the paced wire with the sensor answering, `runs`
// runs a cell of miner-probe under its launcher, each killed after
// `timeout_ms`; printed as Markdown.
void wire_table(const sim::Target &probe, int runs, int timeout_ms);
