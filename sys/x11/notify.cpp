// Window-server notifications over X events: a requested window that the window manager
// moves, resizes or restacks, or that goes away; every client window created or destroyed.
// Payloads as the platform lays them out: per-window events carry the wid in their first four
// bytes, system window events at byte 8. Delivered on the main queue.
#include "sys/x11/backend.h"

namespace mirvex::sys::x11 {

void X11::configured(xcb_window_t w, const Rect& was, Outbox& out) {
  auto it = clients_.find(w);
  if (it == clients_.end() || !hub_.requested(w)) return;
  const Rect now = it->second.props.frame();
  if (now.x != was.x || now.y != was.y) hub_.ws_note(out, 806, w);
  if (now.w != was.w || now.h != was.h) hub_.ws_note(out, 807, w);
}

// Each requested window whose place in the front-to-back order changed is reordered.
void X11::restacked_locked(std::vector<xcb_window_t> now, Outbox& out) {
  for (size_t i = 0; i < now.size(); ++i)
    if (hub_.requested(now[i]) && (i >= stacking_.size() || stacking_[i] != now[i])) hub_.ws_note(out, 808, now[i]);
  stacking_ = std::move(now);
}

}  // namespace mirvex::sys::x11
