#include "core/ax_sched.h"

#include <algorithm>

namespace mirvex {
namespace {

constexpr auto FIRST_DELAY = std::chrono::seconds(2);
constexpr auto MAX_DELAY = std::chrono::seconds(30);

}  // namespace

void AxSched::submit(AxRequest request) {
  auto it = std::find_if(queue_.begin(), queue_.end(), [&](const AxRequest& q) {
    return q.kind == request.kind && q.pid == request.pid;
  });
  if (it == queue_.end()) {
    queue_.push_back(std::move(request));
  } else if (request.kind == AxRequest::Kind::Observe) {
    *it = std::move(request);
  } else {
    for (Wid wid : request.wids)
      if (std::find(it->wids.begin(), it->wids.end(), wid) == it->wids.end())
        it->wids.push_back(wid);
  }
}

std::optional<AxRequest> AxSched::next(Instant now) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (busy_.contains(it->pid)) continue;
    if (auto b = backoff_.find(it->pid); b != backoff_.end() && b->second.until > now) continue;
    AxRequest out = std::move(*it);
    queue_.erase(it);
    busy_.insert(out.pid);
    return out;
  }
  return std::nullopt;
}

void AxSched::done(Pid pid, bool retry, Instant now) {
  // Not busy: forgotten while its request ran (the process ended). Recording a back-off now
  // would outlive it and delay an unrelated process that is given the same pid.
  if (busy_.erase(pid) == 0) return;
  if (!retry) {
    backoff_.erase(pid);
    return;
  }
  Duration delay = FIRST_DELAY;
  if (auto b = backoff_.find(pid); b != backoff_.end())
    delay = std::min<Duration>(b->second.delay * 2, MAX_DELAY);
  backoff_[pid] = Backoff{now + delay, delay};
}

void AxSched::forget(Pid pid) {
  std::erase_if(queue_, [&](const AxRequest& r) { return r.pid == pid; });
  busy_.erase(pid);
  backoff_.erase(pid);
}

void AxSched::release(Pid pid) { busy_.erase(pid); }

std::optional<AxSched::Instant> AxSched::wake_at(Instant now) const {
  if (queue_.empty() || backoff_.empty()) return std::nullopt;
  std::optional<Instant> earliest;
  for (const AxRequest& r : queue_) {
    auto b = backoff_.find(r.pid);
    if (b == backoff_.end() || b->second.until <= now) continue;
    if (!earliest || b->second.until < *earliest) earliest = b->second.until;
  }
  return earliest;
}

}  // namespace mirvex
