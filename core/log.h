// The one logging function: finished lines with a lower-case area prefix ("prefs: ...")
// go to the system log and, when MIRVEX_STDERR is set, to standard error as well.
#pragma once

#include <chrono>
#include <string_view>

namespace mirvex {

// The bundle identifier; the preferences file, log identity and debug channel derive from it.
inline constexpr const char* BUNDLE_ID = "org.mirvex.mirvex";

namespace log {

using Instant = std::chrono::steady_clock::time_point;

// Set once by main before any other thread starts, when MIRVEX_STDERR is present (even empty).
void set_stderr(bool on);
bool stderr_enabled();
// Reads MIRVEX_STDERR from the environment into the flag.
void init_from_env();

// Callable from any thread. Standard error gets the line unchanged, in one write; the system
// log gets it without NUL bytes.
void log(std::string_view line);

// Milliseconds elapsed since `since`.
double ms(Instant since);

// Replaces where system-log lines go (tests). Pass nullptr to restore syslog(3).
using Sink = void (*)(std::string_view line);
void set_system_sink(Sink sink);

}  // namespace log
}  // namespace mirvex
