// SPDX-License-Identifier: MIT
// A board-sim scenario: the simulated board a program runs against, and the
// arguments it gets, as one flat JSON object. Each subcommand has one table
// of fields (key, type, range, default, help); reading a file, --set, the
// shorthand options, --help, the "has no effect" checks and the scenario part
// of a --json document all come from it. A scenario is what an engineer
// attaches to a bug report; `board-sim probe --scenario FILE` replays it, and
// FILE may be a --json document of an earlier run.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gpio_board.h"
#include "hash_board.h"
#include "probe_run.h"

namespace board_sim {

using Json = nlohmann::ordered_json;

enum class Tool { Probe, I2c, Explain };

// "probe", "i2c", "explain".
const char *tool_name(Tool tool);

enum class FieldType {
    Flag,   // true or false
    Count,  // a whole number in [min, max]; "0x.." allowed on the command line
    Rate,   // a number from 0 to 1
    Choice, // one of `choices`, any case on input
    Hex,    // bytes as hexadecimal text, "aa5517"
    Query,  // "answers", "never" or the query K it answers from ("at=K" or K)
    List,   // an array of strings, each accepted by `item`
    Text,   // any text
};

// The members are in the order the key tables read best in, not the one that
// packs tightest: there are some thirty rows.
struct Field { // NOLINT(clang-analyzer-optin.performance.Padding)
    const char *key;
    FieldType type;
    const char *fallback; // the default, as JSON text
    const char *help;     // one line; its argument in capitals
    long min = 0;
    long max = 0;
    bool nullable = false;                // null is allowed (and means "none")
    const char *const *choices = nullptr; // Choice, null-terminated
    // List: checks one item, writing its canonical form; nullptr takes any text.
    bool (*item)(const std::string &text, std::string *canonical, std::string *why) = nullptr;
};

std::span<const Field> scenario_fields(Tool tool);
// Bytes and addresses are shown in hexadecimal.
inline bool shown_in_hex(const Field &f)
{
    return f.type == FieldType::Count && (f.max == 0xFF || f.max == 0x7F);
}
// The index of `text` in the null-terminated `names` (any case), or -1.
int choice_index(const char *const *names, const std::string &text);
const Field *find_field(Tool tool, std::string_view key);

// Every field at its default.
Json default_scenario(Tool tool);

// The keys away from their defaults, as --set would give them:
// "family=LTC, sensor=3, wire=true, chips=60" (the note left out); "every key
// at its default" for none.
std::string describe_scenario(Tool tool, const Json &scenario);

// Checks `value` for the field and writes its canonical form to `out`; false
// with `why` ("wants ...") otherwise.
bool field_value(const Field &field, const Json &value, Json *out, std::string *why);

// The value `text` gives on the command line. A List field takes one item,
// added to `current`, or a JSON array that replaces it.
bool field_value_from_text(const Field &field, const std::string &text, const Json &current, Json *out,
                           std::string *why);

// Reads a scenario file's text: a scenario object, or the --json document of
// a run (its "scenario" is taken, and its subcommand must be `tool`). Fields
// it leaves out keep their defaults; `given` lists those it holds. False
// with one line in `why` for anything else.
bool read_scenario(Tool tool, std::string_view text, Json *scenario, std::vector<std::string> *given, std::string *why);

// When a rule of what has no effect holds.
enum class When {
    OnTheEmulatedBoard, // --vm
    RecordNamesAFamily, // the probe finds its work done in miner_type
    NoUart,
    NoWire,
    NoChips, // family none
    BtcChips,
    ProgramArguments,   // the alternate board; an I2C write
    NoProgramArguments, // an I2C read
    NothingAnswers,     // no chips and no replies
    SilentLine,         // nothing answers and no babble either
    WholeSensorReply,   // sensor_reply
    NoDevice,           // absent
};

// A rule of what has no effect: when `when` holds for the scenario, giving
// any of `keys` changes nothing, for the reason `why` ("without wire").
struct NoEffect {
    Tool tool;
    When when;
    const char *keys[20]; // up to the first nullptr
    const char *why;
};

std::span<const NoEffect> no_effect_rules();

// The first rule that refuses one of the `given` keys, or nullptr; `key` is
// the key refused.
const NoEffect *refused_key(Tool tool, const Json &scenario, bool vm, const std::vector<std::string> &given,
                            std::string *key);

// What the simulation needs, from a checked scenario: the run of miner-probe
// with everything but the program, its launcher, GPIO base and time-out.
sim::ProbeRunConfig probe_setup(const Json &scenario, bool vm);

struct I2cSetup {
    sim::GpioBoardOptions board;
    std::vector<std::string> args; // none reads, one writes
};
I2cSetup i2c_setup(const Json &scenario);

// A document as board-sim prints it, indented two spaces a level, ending in a
// newline. Bytes that are not UTF-8 (a program's output may hold any) become
// U+FFFD, so that it always parses.
std::string document_text(const Json &doc);

// Names of the simulated GPIO files, e.g. "scl-direction".
const char *gpio_file_name(sim::GpioFile file);
// The frame that asks for the family's sensor reply ("LTC sensor query"), or
// nullptr for a family without a sensor query.
const char *sensor_query_name(sim::ChipFamily family);
// "BTC", ..., "none".
const char *chip_family_name(sim::ChipFamily family);

} // namespace board_sim
