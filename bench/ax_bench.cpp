// The accessibility worker and the model dump on the simulated desktop.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <sstream>

#include "app/ax.h"
#include "app/diagnostics.h"
#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using namespace std::chrono_literals;

const std::string SCENARIOS = (std::filesystem::path(__FILE__).parent_path() / "../tests/scenarios/").string();

// A window that no element number matches: every number from 0 to 0x7FFF is tried, in as many
// 100-ms requests as it takes. Items are element numbers.
void BM_RemoteTokenSearchExhausted(benchmark::State& state) {
  sys::sim::Desktop d;
  d.apps.push_back(sys::sim::App{});
  d.apps[0].pid = 300;
  sys::sim::harness().sim.reset(d);
  const sys::SteadyClock clock;
  ax::Worker worker([](Event) {}, clock);
  for (auto _ : state) {
    worker.submit({AxRequest::Kind::Resolve, 300, {99}});
    if (!worker.wait_idle(60s)) state.SkipWithError("worker did not finish");
  }
  state.SetItemsProcessed(state.iterations() * 0x8000);
}
BENCHMARK(BM_RemoteTokenSearchExhausted)->Unit(benchmark::kMillisecond);

// `--dump` on the crowd scenario: two snapshots, the worker resolving every application, two lists.
void BM_DumpCrowd(benchmark::State& state) {
  sys::sim::harness().sim.reset(sys::sim::load_scenario(SCENARIOS + "crowd.json"));
  for (auto _ : state) {
    std::ostringstream out;
    if (diagnostics::dump(out, 60s)) state.SkipWithError("dump failed");
  }
}
BENCHMARK(BM_DumpCrowd)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mirvex
