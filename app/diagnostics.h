// The diagnostic command line's model dump (`--dump`): the window model as the application
// sees it, from a fresh snapshot and the accessibility worker, and the entry lists of the two
// Spaces filters. It reuses the production paths (window server, applications, worker, entry
// list) and prints to the given stream.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

namespace mirvex::diagnostics {

// How long the dump gives the accessibility worker to answer.
inline constexpr std::chrono::milliseconds AX_WAIT{500};

// Prints the dump. Returns the fatal message ("window server returned no list") when the
// dump cannot be made; the caller stops with it. The wait for the worker ends early once
// it has nothing left to do.
std::optional<std::string> dump(std::ostream& out, std::chrono::steady_clock::duration ax_wait = AX_WAIT);

}  // namespace mirvex::diagnostics
