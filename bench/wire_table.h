// SPDX-License-Identifier: MIT
// miner-bench's table of miner-probe on the paced wire.
#pragma once

// Family x chips x latency on the paced wire with the sensor answering, `runs`
// runs a cell, each killed after `timeout_ms`; printed as Markdown.
void wire_table(int runs, int timeout_ms);
