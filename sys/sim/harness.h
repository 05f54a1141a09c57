// For test programs: one process-wide virtual main queue and sim, installed as the port.
// The private table is resolved once per process and binds to this sim, so tests change the
// desktop with `reset` instead of making new backends. As on the platform, registrations
// (notification procs, observers) last for the process: what their callbacks capture must too.
#pragma once

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

}  // namespace mirvex::sys::sim
