// The main queue over the Qt event loop, which is the application's main run loop.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <QObject>
#include <QTimer>

#include "sys/main_queue.h"

namespace mirvex {

// Tasks wait in one queue ordered by due instant and posting order, as in VirtualQueue, so a
// late event loop still runs overdue tasks in the order they fell due, not the order their
// timers happened to be started.
class QtMainQueue final : public sys::MainQueue {
 public:
  // Create on the main thread after the QCoreApplication (or QApplication).
  QtMainQueue();
  ~QtMainQueue() override;

  void post(sys::Task task) override;
  // The delay counts from the call, whichever thread makes it.
  void post_after(sys::Duration delay, sys::Task task) override;
  bool is_main_thread() const override;
  sys::Instant now() const override { return std::chrono::steady_clock::now(); }

 private:
  // Main thread: runs the tasks due now that were posted before it started, then sets the
  // timer for the next one.
  void run_due();

  std::mutex mu_;
  std::multimap<std::pair<sys::Instant, uint64_t>, sys::Task> tasks_;
  uint64_t posted_ = 0;
  // Deleting the context drops what has not run yet.
  std::unique_ptr<QObject> context_;
  QTimer* timer_;  // owned by context_
};

}  // namespace mirvex
