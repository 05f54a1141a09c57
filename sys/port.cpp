#include "sys/port.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "core/log.h"
#include "sys/sim/scenario.h"
#include "sys/sim/sim.h"
#include "sys/x11/x11.h"

namespace mirvex::sys {

namespace {

std::atomic<Backend*> BACKEND{nullptr};
std::atomic<MainQueue*> QUEUE{nullptr};
std::mutex STOP_MU;
std::function<void()> STOP_HOOK;

}  // namespace

void install(Backend& backend, MainQueue& queue) {
  BACKEND.store(&backend);
  QUEUE.store(&queue);
}

Backend& port() {
  Backend* b = BACKEND.load();
  if (!b) stop("system port used before a backend was installed");
  return *b;
}

MainQueue& main_queue() {
  MainQueue* q = QUEUE.load();
  if (!q) stop("main queue used before a backend was installed");
  return *q;
}

Selected select_backend(MainQueue& queue, const char* sim_scenario) {
  if (sim_scenario) {
    try {
      return {std::make_unique<sim::Sim>(queue, sim::load_scenario(sim_scenario)), {}};
    } catch (const sim::ScenarioError& e) {
      return {nullptr, e.what()};
    }
  }
  std::string error;
  if (auto x = x11::open(queue, nullptr, error)) return {std::move(x), {}};
  return {nullptr, error + " (set MIRVEX_SIM=<scenario file> to run on the simulated desktop)"};
}

void set_stop_hook(std::function<void()> hook) {
  std::lock_guard lock(STOP_MU);
  STOP_HOOK = std::move(hook);
}

void stop(std::string_view message) {
  std::function<void()> hook;
  {
    std::lock_guard lock(STOP_MU);
    hook = STOP_HOOK;
  }
  if (hook) hook();
  log::log(message);
  if (!log::stderr_enabled()) {  // otherwise log() has written it already
    std::string line(message);
    line.push_back('\n');
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
  }
  std::abort();
}

}  // namespace mirvex::sys
