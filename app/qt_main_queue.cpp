#include "app/qt_main_queue.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace mirvex {

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() = default;

// invokeMethod with a queued connection is safe from any thread.
void QtMainQueue::post(sys::Task task) {
  QMetaObject::invokeMethod(context_.get(), [t = std::move(task)] { t(); }, Qt::QueuedConnection);
}

void QtMainQueue::post_after(sys::Duration delay, sys::Task task) {
  const sys::Instant due = now() + delay;
  // Timers belong to the thread that starts them, so the timer is started on the main thread.
  post([this, due, t = std::move(task)] {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now());
    if (left.count() <= 0) {
      t();
      return;
    }
    QTimer::singleShot(left, Qt::PreciseTimer, context_.get(), t);
  });
}

bool QtMainQueue::is_main_thread() const { return QThread::currentThread() == context_->thread(); }

}  // namespace mirvex
