// Cost of reading the window server through the port: one snapshot (window list plus one
// Space query per Space) and one on-screen listing, over the sim's 200-window fixture. The
// sim builds its answers as the platform would (dictionaries per entry), so this measures
// the enumeration code and the value handling, not a real window server.
#include <benchmark/benchmark.h>

#include <string>

#include "app/ws.h"
#include "sys/sim/harness.h"

namespace {

const std::string CROWD = [] {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("bench/")) + "tests/scenarios/crowd.json";
}();

void use_crowd() {
  static bool loaded = [] {
    mirvex::sys::sim::harness().sim.reset(mirvex::sys::sim::load_scenario(CROWD));
    return true;
  }();
  (void)loaded;
}

void BM_snapshot_200(benchmark::State& state) {
  use_crowd();
  for (auto _ : state) {
    auto snap = mirvex::ws::snapshot();
    benchmark::DoNotOptimize(snap);
  }
}
BENCHMARK(BM_snapshot_200);

void BM_on_screen_windows_200(benchmark::State& state) {
  use_crowd();
  for (auto _ : state) {
    auto list = mirvex::ws::windows(mirvex::ws::ON_SCREEN, true);
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(BM_on_screen_windows_200);

}  // namespace
