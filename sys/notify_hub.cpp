#include "sys/notify_hub.h"

#include <cstring>

namespace mirvex::sys {

uint64_t NotifyHub::workspace_observe(std::string_view name, WorkspaceCallback callback) {
  std::lock_guard lock(mu_);
  const uint64_t token = next_token_++;
  workspace_observers_[token] =
      WorkspaceObserver{std::string(name), std::move(callback), std::make_shared<std::atomic<bool>>(true)};
  return token;
}

void NotifyHub::workspace_unobserve(uint64_t token) {
  std::lock_guard lock(mu_);
  if (auto it = workspace_observers_.find(token); it != workspace_observers_.end()) {
    it->second.live->store(false);
    workspace_observers_.erase(it);
  }
}

void NotifyHub::workspace_note(Outbox& out, const char* name, std::optional<AppInfo> app) {
  std::lock_guard lock(mu_);
  for (const auto& [token, o] : workspace_observers_) {
    if (o.name != name) continue;
    WorkspaceNote n{name, app};
    out.push_back([this, cb = o.callback, live = o.live, n] {
      queue_.post([cb, live, n] {
        if (*live) cb(n);
      });
    });
  }
}

std::any NotifyHub::symbol(std::string_view name) {
  if (name == "SLSRegisterConnectionNotifyProc")
    return fn::SLSRegisterConnectionNotifyProc([this](Cid, NotifyProc proc, uint32_t event) {
      std::lock_guard lock(mu_);
      connection_procs_.emplace_back(event, std::move(proc));
      return int32_t{0};
    });
  if (name == "SLSRegisterNotifyProc")
    return fn::SLSRegisterNotifyProc([this](NotifyProc proc, uint32_t event) {
      std::lock_guard lock(mu_);
      system_procs_.emplace_back(event, std::move(proc));
      return int32_t{0};
    });
  return {};
}

void NotifyHub::request_windows(const std::vector<Wid>& wids) {
  std::lock_guard lock(mu_);
  requested_ = std::set<Wid>(wids.begin(), wids.end());
}

bool NotifyHub::requested(Wid wid) const {
  std::lock_guard lock(mu_);
  return requested_.count(wid) > 0;
}

void NotifyHub::forget_window(Wid wid) {
  std::lock_guard lock(mu_);
  requested_.erase(wid);
}

void NotifyHub::ws_note(Outbox& out, uint32_t event, Wid wid) {
  const bool system = event == 1325 || event == 1326;
  std::lock_guard lock(mu_);
  if (!system && !requested_.count(wid)) return;
  std::vector<uint8_t> data(system ? 16 : 8, 0);
  std::memcpy(data.data() + (system ? 8 : 0), &wid, sizeof wid);  // little-endian hosts only
  for (const auto& [ev, proc] : system ? system_procs_ : connection_procs_) {
    if (ev != event) continue;
    out.push_back([this, p = proc, event, data] { queue_.post([p, event, data] { p(event, data); }); });
  }
}

AxObserverId NotifyHub::ax_create(Pid pid, AxCallback callback) {
  std::lock_guard lock(mu_);
  const AxObserverId id = next_token_++;
  ax_observers_[id] = AxObserver{pid, std::move(callback), nullptr, {}, std::make_shared<std::atomic<bool>>(true)};
  return id;
}

std::optional<Pid> NotifyHub::ax_owner(AxObserverId observer) const {
  std::lock_guard lock(mu_);
  auto it = ax_observers_.find(observer);
  if (it == ax_observers_.end()) return std::nullopt;
  return it->second.pid;
}

bool NotifyHub::ax_registered(AxObserverId observer, const AxElement& element, std::string_view notification) const {
  std::lock_guard lock(mu_);
  auto it = ax_observers_.find(observer);
  if (it == ax_observers_.end()) return false;
  for (const Registration& r : it->second.registrations)
    if (r.element == element && r.notification == notification) return true;
  return false;
}

int32_t NotifyHub::ax_add(AxObserverId observer, const AxElement& element, std::string_view notification,
                          int64_t context) {
  std::lock_guard lock(mu_);
  auto it = ax_observers_.find(observer);
  if (it == ax_observers_.end()) return ax_error::INVALID_OBSERVER;
  for (const Registration& r : it->second.registrations)
    if (r.element == element && r.notification == notification) return ax_error::ALREADY_REGISTERED;
  it->second.registrations.push_back(Registration{element, std::string(notification), context});
  return ax_error::SUCCESS;
}

void NotifyHub::ax_schedule(AxObserverId observer, Dispatch dispatch) {
  std::lock_guard lock(mu_);
  if (auto it = ax_observers_.find(observer); it != ax_observers_.end()) it->second.dispatch = std::move(dispatch);
}

void NotifyHub::ax_release(AxObserverId observer) {
  std::lock_guard lock(mu_);
  if (auto it = ax_observers_.find(observer); it != ax_observers_.end()) {
    it->second.live->store(false);
    ax_observers_.erase(it);
  }
}

void NotifyHub::ax_note(Outbox& out, Pid pid, AxElement element, const char* name) {
  const AxElement app{pid, 0};
  std::lock_guard lock(mu_);
  for (const auto& [id, o] : ax_observers_) {
    if (o.pid != pid || !o.dispatch) continue;
    for (const Registration& r : o.registrations) {
      if (r.notification != name || !(r.element == element || r.element == app)) continue;
      out.push_back([cb = o.callback, dispatch = o.dispatch, live = o.live, element, n = std::string(name),
                     ctx = r.context] {
        if (!*live) return;
        dispatch([cb, live, element, n, ctx] {
          if (*live) cb(element, n, ctx);
        });
      });
      break;  // one callback per observer
    }
  }
}

}  // namespace mirvex::sys
