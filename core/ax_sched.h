// The accessibility request scheduler: the queue of pending requests of the accessibility
// workers. It merges duplicates, hands out at most one request per application at a time and
// backs off from an application that did not answer, so that one hung application delays only
// its own requests. No clock and no lock of its own: callers pass the instant and hold the
// workers' scheduler mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/types.h"

namespace mirvex {

// The unit of work of the accessibility workers.
struct AxRequest {
  enum class Kind : uint8_t {
    Resolve = 0,          // find, describe and report the listed windows of pid
    Observe = 1,          // create the application's observer (no windows)
    CheckFullscreen = 2,  // re-read the full-screen state of the listed windows
  };
  Kind kind = Kind::Resolve;
  Pid pid = 0;
  std::vector<Wid> wids;
  bool operator==(const AxRequest&) const = default;
};

class AxSched {
 public:
  using Instant = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // Queues a request, merging it with a queued one of the same kind and pid.
  void submit(AxRequest request);
  // The next request that may run, taken off the queue, its pid marked busy.
  std::optional<AxRequest> next(Instant now);
  // A worker finished serving pid; `retry` means the application did not answer. Nothing
  // happens when pid is not busy (it was forgotten meanwhile).
  void done(Pid pid, bool retry, Instant now);
  // Drops every queued request, the busy mark and the back-off of pid.
  void forget(Pid pid);
  // Clears the busy mark only; a back-off of pid still holds.
  void release(Pid pid);
  // When a waiting worker should look again; absent: wait until another thread wakes it.
  std::optional<Instant> wake_at(Instant now) const;

  const std::vector<AxRequest>& queue() const { return queue_; }
  bool busy(Pid pid) const { return busy_.contains(pid); }

 private:
  struct Backoff {
    Instant until;
    Duration delay;
  };
  std::vector<AxRequest> queue_;  // oldest first
  std::unordered_set<Pid> busy_;
  std::unordered_map<Pid, Backoff> backoff_;
};

}  // namespace mirvex
