#include "app/qt_main_queue.h"

#include <algorithm>

#include <QMetaObject>
#include <QThread>

namespace mirvex {

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()), timer_(new QTimer(context_.get())) {
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, context_.get(), [this] { run_due(); });
}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(sys::Task task) { post_after(sys::Duration::zero(), std::move(task)); }

void QtMainQueue::post_after(sys::Duration delay, sys::Task task) {
  {
    std::lock_guard lock(mu_);
    tasks_.emplace(std::pair{now() + std::max(delay, sys::Duration::zero()), posted_++}, std::move(task));
  }
  // A queued invocation is safe from any thread and lands on the main thread.
  QMetaObject::invokeMethod(context_.get(), [this] { run_due(); }, Qt::QueuedConnection);
}

bool QtMainQueue::is_main_thread() const { return QThread::currentThread() == context_->thread(); }

void QtMainQueue::run_due() {
  const sys::Instant start = now();
  uint64_t limit;
  {
    std::lock_guard lock(mu_);
    limit = posted_;  // a task that posts for "now" runs on the next turn of the loop, not in this one
  }
  for (;;) {
    sys::Task task;
    {
      std::lock_guard lock(mu_);
      auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const auto& kv) { return kv.first.second < limit; });
      if (it == tasks_.end() || it->first.first > start) break;
      task = std::move(it->second);
      tasks_.erase(it);
    }
    task();
  }
  std::lock_guard lock(mu_);
  if (tasks_.empty()) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(tasks_.begin()->first.first - now());
  timer_->start(std::max(left, std::chrono::milliseconds(0)));
}

}  // namespace mirvex
