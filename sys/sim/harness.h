// For test programs: one process-wide virtual main queue and sim, installed as the port.
// The private table is resolved once per process and binds to this sim, so tests change the
// desktop with `reset` instead of making new backends. As on the platform, registrations
// (notification procs, observers) last for the process: what their callbacks capture must too.
#pragma once

#include <chrono>
#include <thread>

#include "sys/main_queue.h"
#include "sys/port.h"
#include "sys/sim/scenario.h"
#include "sys/sim/sim.h"

namespace mirvex::sys::sim {

struct Harness {
  VirtualQueue queue;
  Sim sim{queue};
  Harness() { install(sim, queue); }
};

// Created on first use by the calling thread, which becomes the main thread.
inline Harness& harness() {
  static Harness h;
  return h;
}

// Runs what is due on the virtual main queue (virtual time stands still) until `done` holds,
// sleeping a millisecond between runs so that real threads (the focusing thread) get on; false
// when 20 s of real time pass first.
template <class F>
bool run_until(F done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < give_up) {
    harness().queue.run_due();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace mirvex::sys::sim
