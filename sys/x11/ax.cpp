// Accessibility over EWMH/ICCCM. Elements are (pid, X window id); the application element is
// id 0. Remote tokens do not exist on X11: every client window is reachable directly, so
// AXWindows lists them all and `_AXUIElementCreateWithRemoteToken` is absent.
#include <algorithm>

#include "sys/x11/backend.h"

namespace mirvex::sys::x11 {

AxResult<Value> X11::ax_copy(const AxElement& e, std::string_view attribute) {
  using R = AxResult<Value>;
  settle_for(e);
  std::unique_lock lock(mu_);
  if (std::find(app_order_.begin(), app_order_.end(), e.pid) == app_order_.end())
    return R::fail(ax_error::INVALID_ELEMENT);
  if (e.id == 0) {
    if (attribute == ax::WINDOWS) {
      Array list;
      for (xcb_window_t w : windows_of_locked(e.pid)) list.push_back(Value(AxElement{e.pid, w}));
      return Value(std::move(list));
    }
    if (attribute == ax::FOCUSED_WINDOW) {
      auto it = clients_.find(active_);
      if (it == clients_.end() || it->second.pid != e.pid) return R::fail(ax_error::NO_VALUE);
      return Value(AxElement{e.pid, active_});
    }
    if (attribute == ax::TITLE) {
      auto name = info_locked(e.pid).name;
      return name ? R(Value(*name)) : R::fail(ax_error::NO_VALUE);
    }
    if (attribute == ax::ROLE) return Value("AXApplication");
    return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
  }
  const uint64_t button = e.id & (CLOSE_BUTTON | MINIMIZE_BUTTON);
  const auto w = xcb_window_t(e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON));
  auto it = clients_.find(w);
  if (it == clients_.end() || it->second.pid != e.pid || e.id != (button | w)) return R::fail(ax_error::INVALID_ELEMENT);
  if (button) {
    if (attribute == ax::ROLE) return Value("AXButton");
    if (attribute == ax::SUBROLE)
      return Value(button == CLOSE_BUTTON ? ax::CLOSE_BUTTON_SUBROLE : ax::MINIMIZE_BUTTON_SUBROLE);
    return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
  }
  if (attribute == ax::ROLE) return Value(ax::WINDOW_ROLE);
  if (attribute == ax::MAIN) return Value(active_ == w);
  if (attribute == ax::CLOSE_BUTTON) return Value(AxElement{e.pid, e.id | CLOSE_BUTTON});
  if (attribute != ax::TITLE && attribute != ax::SUBROLE && attribute != ax::MINIMIZED && attribute != ax::FULLSCREEN)
    return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
  lock.unlock();  // the rest reads the server
  auto p = conn_.props({w});
  if (!p[0].exists) return R::fail(ax_error::INVALID_ELEMENT);
  if (attribute == ax::TITLE) return Value(p[0].title().value_or(""));
  if (attribute == ax::MINIMIZED)
    return Value(conn_.minimised(p[0]));
  if (attribute == ax::FULLSCREEN) return Value(p[0].has_state(conn_.atom(NET_WM_STATE_FULLSCREEN)));
  // Subrole from the window type; a typeless transient window is a dialog.
  for (xcb_atom_t t : p[0].types) {
    if (t == conn_.atom(NET_WM_WINDOW_TYPE_NORMAL)) return Value(ax::STANDARD_WINDOW);
    if (t == conn_.atom(NET_WM_WINDOW_TYPE_DIALOG)) return Value(ax::DIALOG);
    return Value("AXSystemDialog");
  }
  return Value(p[0].transient_for ? ax::DIALOG : ax::STANDARD_WINDOW);
}

int32_t X11::ax_set(const AxElement& e, std::string_view attribute, const Value& value) {
  settle_for(e);
  xcb_window_t w;
  {
    std::lock_guard lock(mu_);
    auto it = clients_.find(xcb_window_t(e.id));
    if (std::find(app_order_.begin(), app_order_.end(), e.pid) == app_order_.end()) return ax_error::INVALID_ELEMENT;
    if (e.id == 0) return ax_error::ATTRIBUTE_UNSUPPORTED;
    if (it == clients_.end() || it->second.pid != e.pid) return ax_error::INVALID_ELEMENT;
    w = it->first;
  }
  if (attribute != ax::MINIMIZED && attribute != ax::FULLSCREEN && attribute != ax::MAIN)
    return ax_error::ATTRIBUTE_UNSUPPORTED;
  const bool* on = value.boolean();
  if (!on) return ax_error::ILLEGAL_ARGUMENT;
  if (attribute == ax::MINIMIZED) {
    if (*on) iconify(w);
    else deiconify(w);
  } else if (attribute == ax::FULLSCREEN) {
    set_state(w, *on, NET_WM_STATE_FULLSCREEN);
  } else if (*on) {
    activate(w);
  }
  return ax_error::SUCCESS;
}

int32_t X11::ax_perform(const AxElement& e, std::string_view action) {
  const uint64_t button = e.id & (CLOSE_BUTTON | MINIMIZE_BUTTON);
  const auto w = xcb_window_t(e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON));
  settle_for(e);
  {
    std::lock_guard lock(mu_);
    auto it = clients_.find(w);
    if (e.id == 0 || it == clients_.end() || it->second.pid != e.pid) return ax_error::INVALID_ELEMENT;
  }
  if (action == ax::RAISE && !button) {
    activate(w);
    return ax_error::SUCCESS;
  }
  if (action == ax::PRESS && button == CLOSE_BUTTON) {
    conn_.root_message(w, NET_CLOSE_WINDOW, {XCB_CURRENT_TIME, 2, 0, 0, 0});
    return ax_error::SUCCESS;
  }
  if (action == ax::PRESS && button == MINIMIZE_BUTTON) {
    iconify(w);
    return ax_error::SUCCESS;
  }
  return ax_error::ACTION_UNSUPPORTED;
}

// The title bar belongs to the window manager; X clients cannot hit-test it.
AxResult<AxElement> X11::ax_element_at(const AxElement&, Point) {
  return AxResult<AxElement>::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
}

AxResult<AxObserverId> X11::ax_observer_create(Pid pid, AxCallback callback) {
  settle_for(AxElement{pid, 0});
  std::lock_guard lock(mu_);
  if (std::find(app_order_.begin(), app_order_.end(), pid) == app_order_.end())
    return AxResult<AxObserverId>::fail(ax_error::INVALID_ELEMENT);
  return hub_.ax_create(pid, std::move(callback));
}

int32_t X11::ax_observer_add(AxObserverId observer, const AxElement& element, std::string_view notification,
                             int64_t context) {
  settle_for(element);
  const std::optional<Pid> owner = hub_.ax_owner(observer);
  if (!owner) return ax_error::INVALID_OBSERVER;
  if (element.pid != *owner) return ax_error::ILLEGAL_ARGUMENT;
  {
    std::lock_guard lock(mu_);
    if (element.id && !clients_.count(xcb_window_t(element.id))) return ax_error::INVALID_ELEMENT;
  }
  return hub_.ax_add(observer, element, notification, context);
}

void X11::ax_observer_schedule(AxObserverId observer, Dispatch dispatch) {
  hub_.ax_schedule(observer, std::move(dispatch));
}

void X11::ax_observer_release(AxObserverId observer) {
  hub_.ax_release(observer);
}

}  // namespace mirvex::sys::x11
