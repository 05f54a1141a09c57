#include "app/bench.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "app/summon.h"

namespace mirvex::bench {

namespace {

struct Run {
  std::vector<double> samples;
  std::function<void()> done;
};

void step(State& s, const std::shared_ptr<Run>& run) {
  s.summon.last_ms = 0;
  s.summon.last_rows = 0;
  on_input(s, in::Hotkey{false, false, 0}, std::chrono::steady_clock::now());
  run->samples.push_back(s.summon.last_ms);
  const size_t rows = s.summon.last_rows;
  on_input(s, in::Key{in::Key::ESCAPE}, std::chrono::steady_clock::now());
  if (run->samples.size() < SAMPLES) {
    sys::main_queue().post_after(STEP_GAP, [run] { with_state([&](State& st) { step(st, run); }); });
    return;
  }
  std::fputs((stats_line(run->samples, rows) + "\n").c_str(), stdout);
  if (const std::string memory = peak_memory_line(); !memory.empty()) std::fputs((memory + "\n").c_str(), stdout);
  std::fflush(stdout);
  if (run->done) run->done();
}

}  // namespace

void start(State& s, std::function<void()> done) {
  step(s, std::make_shared<Run>(Run{{}, std::move(done)}));
}

std::string stats_line(std::vector<double> samples, size_t rows) {
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  // Positions 25, 47 and 49 of 50.
  auto at = [&](size_t of50) { return samples[std::min(n - 1, of50 * n / SAMPLES)]; };
  return fmt::format("summon_ms n={} windows={} p50={:.1f} p95={:.1f} max={:.1f}", n, rows, at(25), at(47),
                     samples.back());
}

std::string peak_memory_line() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("VmHWM:")) continue;
    const size_t digits = line.find_first_of("0123456789");
    if (digits == std::string::npos) return {};
    return fmt::format("Peak resident memory (VmHWM): {}", line.substr(digits));
  }
  return {};
}

}  // namespace mirvex::bench
