// `--bench`: the summon benchmark. Sends the first shortcut's trigger through the normal input
// path 50 times, 40 ms apart, each followed by escape, and prints the distribution of the
// summon times the Show effect measured, then the process's peak memory.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/state.h"

namespace mirvex::bench {

inline constexpr size_t SAMPLES = 50;
inline constexpr auto STEP_GAP = std::chrono::milliseconds(40);

// Starts the steps on a State already held; `done` runs after the statistics are printed.
void start(State& state, std::function<void()> done);

// "summon_ms n={} windows={} p50={:.1f} p95={:.1f} max={:.1f}" over `samples` (at least one),
// with the sorted samples at positions 25, 47 and 49 of 50, scaled for other counts.
std::string stats_line(std::vector<double> samples, size_t rows);

// The process's peak resident memory from its own accounting (/proc/self/status VmHWM),
// labelled as such; empty when it cannot be read.
std::string peak_memory_line();

}  // namespace mirvex::bench
