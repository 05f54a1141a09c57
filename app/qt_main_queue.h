// The main queue over the Qt event loop, which is the application's main run loop.
#pragma once

#include <memory>

#include <QObject>

#include "sys/main_queue.h"

namespace mirvex {

class QtMainQueue final : public sys::MainQueue {
 public:
  // Create on the main thread after the QCoreApplication (or QApplication).
  QtMainQueue();
  ~QtMainQueue() override;

  void post(sys::Task task) override;
  // The delay counts from the call, even when the call comes from another thread.
  void post_after(sys::Duration delay, sys::Task task) override;
  bool is_main_thread() const override;
  sys::Instant now() const override { return std::chrono::steady_clock::now(); }

 private:
  // Tasks run in this object's thread; deleting it drops tasks not yet run.
  std::unique_ptr<QObject> context_;
};

}  // namespace mirvex
