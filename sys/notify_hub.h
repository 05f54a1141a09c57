// Who listens to what a backend raises, and the delivery to them: workspace observers,
// window-server notify procs with the windows the application asked about, and accessibility
// observers with their registrations. A backend owns one, works out which notifications a
// change raises, and hands them here; the hub collects the deliveries into an outbox that the
// backend runs once it has released its own lock, so no callback ever runs under a backend
// lock.
//
// Thread-safe: every call may come from any thread, with or without the owner's lock held (the
// hub's lock is taken after the owner's, never before). A released observer (workspace or
// accessibility) is never called again, not even for a notification collected before the
// release whose delivery was still on its way.
#pragma once

#include <any>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sys/port.h"

namespace mirvex::sys {

class NotifyHub {
 public:
  // Deliveries collected under a lock, to run after it is released.
  using Outbox = std::vector<Task>;

  // Workspace and window-server callbacks are posted to `queue`.
  explicit NotifyHub(MainQueue& queue) : queue_(queue) {}

  // --- Workspace notifications, delivered on the main queue.
  uint64_t workspace_observe(std::string_view name, WorkspaceCallback callback);
  void workspace_unobserve(uint64_t token);
  void workspace_note(Outbox& out, const char* name, std::optional<AppInfo> app);

  // --- Window-server notifications, delivered on the main queue. System events (1325 created,
  // 1326 destroyed) go to every system proc with the wid at byte 8; the others only for the
  // requested windows, with the wid in the first four bytes.
  // The registration functions as the private functions the backend hands out by name
  // (SLSRegisterConnectionNotifyProc, SLSRegisterNotifyProc); empty for any other name.
  std::any symbol(std::string_view name);
  void request_windows(const std::vector<Wid>& wids);  // replaces the requested set
  bool requested(Wid wid) const;
  void forget_window(Wid wid);  // a closed window is no longer requested
  void ws_note(Outbox& out, uint32_t event, Wid wid);

  // --- Accessibility observers. The backend checks the process and element; the hub keeps the
  // observers and registrations and delivers through each observer's dispatch.
  AxObserverId ax_create(Pid pid, AxCallback callback);
  std::optional<Pid> ax_owner(AxObserverId observer) const;  // none when not (or no longer) there
  bool ax_registered(AxObserverId observer, const AxElement& element, std::string_view notification) const;
  // INVALID_OBSERVER, ALREADY_REGISTERED for the same element and notification, else SUCCESS.
  int32_t ax_add(AxObserverId observer, const AxElement& element, std::string_view notification, int64_t context);
  void ax_schedule(AxObserverId observer, Dispatch dispatch);
  void ax_release(AxObserverId observer);
  // To registrations on the element itself and on its application's element (which on the
  // platform covers the application's children too); one callback per observer; observers not
  // yet scheduled get nothing.
  void ax_note(Outbox& out, Pid pid, AxElement element, const char* name);

 private:
  // Cleared on release; every delivery checks it just before calling.
  using Live = std::shared_ptr<std::atomic<bool>>;
  struct WorkspaceObserver {
    std::string name;
    WorkspaceCallback callback;
    Live live;
  };
  struct Registration {
    AxElement element;
    std::string notification;
    int64_t context;
  };
  struct AxObserver {
    Pid pid = 0;
    AxCallback callback;
    Dispatch dispatch;
    std::vector<Registration> registrations;
    Live live;
  };

  MainQueue& queue_;
  mutable std::mutex mu_;
  uint64_t next_token_ = 1;
  std::map<uint64_t, WorkspaceObserver> workspace_observers_;
  std::map<AxObserverId, AxObserver> ax_observers_;
  std::vector<std::pair<uint32_t, NotifyProc>> connection_procs_, system_procs_;
  std::set<Wid> requested_;
};

}  // namespace mirvex::sys
