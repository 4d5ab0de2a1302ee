// SPDX-License-Identifier: MIT
// A board-sim scenario: the simulated board a program runs against, and the
// arguments it gets. Each subcommand has one typed scenario, which the
// simulation takes as it is, and one table of keys (scenario_keys.cpp): each
// key is declared once, with its member, its codec (JSON form and range) and
// its help; its default is the member's. Reading a file, --set, the
// shorthand options, --help, the "has no effect" rules and the scenario part
// of a --json document all come from the table. A scenario is what an
// engineer attaches to a bug report; `board-sim probe --scenario FILE`
// replays it, and FILE may be a --json document of an earlier run.
#pragma once

#include <nlohmann/json.hpp>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gpio_board.h"
#include "probe_run.h"

namespace board_sim {

using Json = nlohmann::ordered_json;

enum class Tool { Probe, I2c, Explain };

// "probe", "i2c", "explain".
const char *tool_name(Tool tool);

// miner-probe's board. The paced wire's parameters are kept apart from the
// board's `wire`, so that the keys may come in any order; run_config()
// engages them.
struct ProbeScenario : sim::ProbeBoard {
    std::string note; // what the scenario shows, for whoever reads it
    bool wire = false;
    sim::WireModel wire_model;

    // The run of miner-probe, but for its program, launcher, GPIO base and time-out.
    [[nodiscard]] sim::ProbeRunConfig run_config() const;
    static constexpr Tool TOOL = Tool::Probe;
};

// i2c-bitbang's bus; its gpio_base is set by the run.
struct I2cScenario : sim::GpioBoardOptions {
    std::string note;
    std::vector<std::string> args; // none reads, one writes
    static constexpr Tool TOOL = Tool::I2c;
};

// One key of scenario S.
template <class S>
struct Key {
    const char *name;
    const char *help;  // one line; its argument in capitals
    std::string wants; // its range in words: "a whole number from 0 to 255"
    bool hex = false;  // shown in hexadecimal
    bool list = false; // --set adds one item, or replaces the list with a JSON array
    // Checks a JSON value and stores it in the member; false, maybe with `why`.
    bool (*read)(S &s, const Json &value, std::string *why);
    // The member as JSON, in its one spelling.
    Json (*write)(const S &s);
};

template <class S>
std::span<const Key<S>> scenario_keys();
template <class S>
const Key<S> *find_key(std::string_view name);

// Reads the text of --set into the key: a list takes one item (a JSON array
// replaces it); another key a number ("0x.." too) or JSON if its value reads
// so, else the text itself; "null" clears what may be null. False with `why`.
template <class S>
bool read_text(const Key<S> &k, S &s, const std::string &text, std::string *why);

// Of the keys `given`, the first that has no effect in `s` (on the emulated
// board with `vm`): the reason ("without wire"), with the key in `key`; or
// nullptr.
template <class S>
const char *refused_key(const S &s, bool vm, const std::vector<std::string> &given, std::string *key);

// A key set on the command line, by --set (`who`: "--set family"), by a
// shorthand (`who`: "--family"; `has_arg` false for a flag) or given whole
// as JSON (`value`: the arguments after "--").
struct Setting {
    std::string key, text, who;
    bool shorthand = false;
    bool has_arg = true;
    std::optional<Json> value = {};
};

// The scenario of `file` (none when empty), then each setting in order;
// whatever would change nothing in it (on the emulated board with `vm`) is
// refused, so that a run never silently differs from what was asked. False
// with one line in `why`.
template <class S>
bool make_scenario(S &s, const std::string &file, const std::vector<Setting> &settings, bool vm, std::string *why);

// The scenario as JSON: {"tool": "probe", then every key in the table's order}.
template <class S>
requires(S::TOOL != Tool::Explain) void to_json(Json &j, const S &s);

// Reads a scenario file's text: a scenario object, or the --json document of
// a run (its "scenario" is taken, and its subcommand must be S's tool). Keys
// it leaves out keep their defaults; `given` (if not null) lists those it
// holds. False with one line in `why` for anything else.
template <class S>
bool read_scenario(std::string_view text, S *s, std::vector<std::string> *given, std::string *why);

// A key's value in --help and descriptions: "none", "1", "0x55", "[]".
std::string shown(const Json &value, bool hex);
// A value in a message, as JSON on one line.
std::string dumped(const Json &value);

// The keys away from their defaults, as --set would give them:
// "family=LTC, sensor=3, wire=true, chips=60" (the note left out); "every key
// at its default" for none.
template <class S>
std::string describe_scenario(const S &s);

// The scenario of run `run` (from 1; 0: the last) of the miner-probe log
// `log`, named `name` in its note (board-sim explain --as-scenario, in
// log_scenario.cpp); the default scenario, but for its note, when the log
// holds no such run.
ProbeScenario scenario_of_log(std::string_view log, const std::string &name, int run);

// The scenario as a file holds it: {"tool": ..., "note": ..., then the keys
// away from their defaults}.
template <class S>
requires(S::TOOL != Tool::Explain) Json scenario_document(const S &s);

// A document as board-sim prints it, indented two spaces a level, ending in a
// newline. Bytes that are not UTF-8 (a program's output may hold any) become
// U+FFFD, so that it always parses.
std::string document_text(const Json &doc);

// The lines of `text`, without their newlines; a last line without one ends
// in `unterminated`.
std::vector<std::string> lines_of(const std::string &text, const char *unterminated = "");

} // namespace board_sim
