// The main run loop as the application sees it: a queue of tasks run one at a time on the
// main thread, with delayed tasks, and a monotonic clock. The application runs on a Qt-backed
// queue (app/qt_main_queue.h); tests run on VirtualQueue, whose time moves only when told, so
// every timer (60 ms front refresh, 100 ms retries, 1.5 s checks...) fires deterministically.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace mirvex::sys {

using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;
using Task = std::function<void()>;

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic; never goes backwards.
  virtual Instant now() const = 0;
};

class SteadyClock final : public Clock {
 public:
  Instant now() const override { return std::chrono::steady_clock::now(); }
};

class MainQueue : public Clock {
 public:
  // Both callable from any thread. Tasks run on the main thread in the order they become due;
  // tasks due at the same instant run in the order they were posted.
  virtual void post(Task task) = 0;
  virtual void post_after(Duration delay, Task task) = 0;
  virtual bool is_main_thread() const = 0;
};

// Deterministic queue for tests. The thread that creates it is the main thread. Posting is
// thread-safe (simulated platform threads and workers post into it); running is main-thread.
class VirtualQueue final : public MainQueue {
 public:
  VirtualQueue();

  void post(Task task) override;
  void post_after(Duration delay, Task task) override;
  bool is_main_thread() const override;
  Instant now() const override;

  // Runs every task due now, including those that due tasks post for now. Returns the count.
  size_t run_due();
  // Moves time forward by `by`, running each task when its due time is reached, in order of
  // due time and then posting order; time stops at each task's due instant while it runs.
  size_t advance(Duration by);
  // Number of tasks not yet run.
  size_t pending() const;

 private:
  // Runs the earliest task due at or before `until`, if any.
  bool run_one(Instant until);

  mutable std::mutex mu_;
  std::multimap<std::pair<Instant, uint64_t>, Task> tasks_;
  uint64_t posted_ = 0;
  Instant now_;
  std::thread::id main_;
};

}  // namespace mirvex::sys
