#include "sys/main_queue.h"

#include <algorithm>
#include <cstdlib>

namespace mirvex::sys {

// Virtual time starts one hour after the clock's epoch, so "now - delay" never underflows.
VirtualQueue::VirtualQueue() : now_(Instant{} + std::chrono::hours(1)), main_(std::this_thread::get_id()) {}

void VirtualQueue::post(Task task) { post_after(Duration::zero(), std::move(task)); }

void VirtualQueue::post_after(Duration delay, Task task) {
  std::lock_guard lock(mu_);
  if (delay < Duration::zero()) delay = Duration::zero();
  tasks_.emplace(std::pair{now_ + delay, posted_++}, std::move(task));
}

bool VirtualQueue::is_main_thread() const { return std::this_thread::get_id() == main_; }

Instant VirtualQueue::now() const {
  std::lock_guard lock(mu_);
  return now_;
}

size_t VirtualQueue::pending() const {
  std::lock_guard lock(mu_);
  return tasks_.size();
}

bool VirtualQueue::run_one(Instant until) {
  if (!is_main_thread()) std::abort();  // a programming error: tasks belong to the main thread
  Task task;
  {
    std::lock_guard lock(mu_);
    auto it = tasks_.begin();
    if (it == tasks_.end() || it->first.first > until) return false;
    if (it->first.first > now_) now_ = it->first.first;
    task = std::move(it->second);
    tasks_.erase(it);
  }
  task();  // outside the lock: the task may post
  return true;
}

size_t VirtualQueue::run_due() {
  size_t n = 0;
  while (run_one(now())) ++n;
  return n;
}

size_t VirtualQueue::advance(Duration by) {
  const Instant until = now() + std::max(by, Duration::zero());
  size_t n = 0;
  while (run_one(until)) ++n;
  std::lock_guard lock(mu_);
  now_ = until;
  return n;
}

}  // namespace mirvex::sys
