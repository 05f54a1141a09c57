// The hyper key's system half: keeps the user key mapping in line with the `hyperKey` setting
// by running the key-mapping tool through the port. The event tap (app/input.h) turns the F18
// presses the mapping produces into the added modifiers.
#pragma once

#include <cstdint>
#include <string_view>

namespace mirvex::hyper {

// The key-mapping tool of the home platform.
inline constexpr std::string_view TOOL = "/usr/bin/hidutil";

// Brings the user key mapping in line with `hyper_key` (0 removes the hyper mapping). Runs the
// tool at most once per distinct value in a row; a tool that cannot run, or a mapping that
// cannot be read completely, leaves the mapping as it was. Any thread, one at a time.
void map(uint8_t hyper_key);

// Whether the last `map` call asked for a hyper key (so the exit guard must remove it).
bool mapped_on();

}  // namespace mirvex::hyper
