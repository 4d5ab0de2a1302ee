// SPDX-License-Identifier: MIT
// Decodes a recorded waveform with the logic-analyser command line tool's I2C
// protocol decoder, an independent check that what is on the wires is a
// well-formed transaction:
//   sigrok-cli -I vcd -i FILE -P i2c:scl=scl:sda=sda -A i2c=<address/data classes>
#pragma once

#include <string>
#include <string_view>

#include "i2c_events.h"

namespace sim {

struct I2cDecode {
    bool ok = false;    // the tool ran and exited with 0
    std::string error;  // why not, when !ok
    std::string output; // everything it printed
    I2cEvents events;   // its annotations, in order
};

// True when the tool can be run; otherwise `why` says what is missing.
bool sigrok_available(std::string *why);

// Runs the decoder on a VCD file whose wires are named scl and sda.
I2cDecode decode_i2c_vcd(const std::string &vcd_path);

// Turns "i2c-1: Address read: 2F" style lines into events, skipping lines that
// are not address/data annotations (bits, "Read"/"Write", warnings, noise).
I2cEvents parse_i2c_annotations(std::string_view text);

} // namespace sim
