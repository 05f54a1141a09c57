// The `--focus <wid> [pid]` diagnostic: focuses one window with the production focusing
// code and prints the outcome and the time it took.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"

namespace mirvex::diagnostics {

// A decimal number that fits the type; one leading "+" is accepted.
std::optional<Wid> parse_wid(std::string_view text);
std::optional<Pid> parse_pid(std::string_view text);

// Main thread. `args` are the words after "--focus". Checks the arguments, takes the window's
// pid from the window server (the given pid only when the window server does not list the
// window) and starts focusing. Returns the fatal message when it cannot start: "--focus <wid>
// [pid]" or "wid unknown to the window server; pass its pid". Otherwise, when the focusing
// code reports, prints "focus wid={} pid={} ok={} elapsed={:.1f}ms" and a newline to `out` and
// calls `finish(0)`; the caller keeps the run loop running until then.
std::optional<std::string> focus_command(const std::vector<std::string>& args, std::ostream& out,
                                         std::function<void(int status)> finish);

}  // namespace mirvex::diagnostics
