// Scenario files: a simulated desktop as JSON (schema in docs/scenarios.md).
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "sys/sim/desktop.h"

namespace mirvex::sys::sim {

// Raised for a file that cannot be read or does not describe a desktop; the message names
// the file and the offending member ("scenario x.json: windows[3].bounds: expected 4 numbers").
struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Desktop parse_scenario(const nlohmann::json& j);  // throws ScenarioError (without file name)
Desktop load_scenario(const std::string& path);   // throws ScenarioError

// A JSON value as a platform Value: integers stay integers, null becomes the null Value.
Value to_value(const nlohmann::json& j);

}  // namespace mirvex::sys::sim
