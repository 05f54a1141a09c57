// Window-server notifications over X events: a requested window that the window manager
// moves, resizes or restacks, or that goes away; every client window created or destroyed.
// Payloads as the platform lays them out: per-window events carry the wid in their first four
// bytes, system window events at byte 8. Delivered on the main queue.
#include <cstring>

#include "sys/x11/backend.h"

namespace mirvex::sys::x11 {

void X11::ws_note_locked(Outbox& out, uint32_t event, Wid wid) {
  const bool system = event == 1325 || event == 1326;
  if (!system && !requested_.count(wid)) return;
  std::vector<uint8_t> data(system ? 16 : 8, 0);
  std::memcpy(data.data() + (system ? 8 : 0), &wid, sizeof wid);  // little-endian hosts only
  for (const auto& [ev, proc] : system ? system_procs_ : connection_procs_) {
    if (ev != event) continue;
    NotifyProc p = proc;
    out.push_back([this, p, event, data] { queue_.post([p, event, data] { p(event, data); }); });
  }
}

void X11::configured(xcb_window_t w, Outbox& out) {
  {
    std::lock_guard lock(mu_);
    if (!requested_.count(w) || !clients_.count(w)) return;  // only the asked-for windows cost a read
  }
  auto p = conn_.props({w});
  if (!p[0].exists) return;
  const Rect now = p[0].frame();
  std::lock_guard lock(mu_);
  auto it = clients_.find(w);
  if (it == clients_.end()) return;
  const Rect was = it->second.frame;
  it->second.frame = now;
  if (now.x != was.x || now.y != was.y) ws_note_locked(out, 806, w);
  if (now.w != was.w || now.h != was.h) ws_note_locked(out, 807, w);
}

// Each requested window whose place in the front-to-back order changed is reordered.
void X11::restacked(Outbox& out) {
  auto now = stacking();
  std::lock_guard lock(mu_);
  for (size_t i = 0; i < now.size(); ++i)
    if (requested_.count(now[i]) && (i >= stacking_.size() || stacking_[i] != now[i])) ws_note_locked(out, 808, now[i]);
  stacking_ = std::move(now);
}

}  // namespace mirvex::sys::x11
