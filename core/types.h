// Identifiers, geometry and the process-wide stamp counter shared by every layer.
#pragma once

#include <atomic>
#include <cstdint>

namespace mirvex {

using Wid = uint32_t;      // window-server window number
using Pid = int32_t;       // process identifier
using SpaceId = uint64_t;  // Space (virtual desktop) identifier
using Stamp = uint64_t;    // a value drawn from SEQ

// Window-server global space: origin top-left of the main screen, y downwards.
struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Rect&) const = default;
};

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

// Racing sources are ordered by stamps from this one counter.
extern std::atomic<uint64_t> SEQ;

// A fresh stamp: the counter's value after an atomic increment, so stamps are unique and
// increase in the order they were taken.
inline Stamp next_stamp() { return SEQ.fetch_add(1, std::memory_order_relaxed) + 1; }

}  // namespace mirvex
