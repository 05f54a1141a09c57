#include "app/panel_screen.h"

#include <algorithm>
#include <chrono>

#include "app/apps.h"
#include "app/ws.h"
#include "core/entry_list.h"

namespace mirvex {

namespace {

Point centre(const Rect& r) { return {r.x + r.w / 2, r.y + r.h / 2}; }

double first_height(const std::vector<sys::Screen>& screens) { return screens.empty() ? 0 : screens.front().frame.h; }

bool contains_inclusive(const Rect& r, Point p) {
  return p.x >= r.x && p.x <= r.x + r.w && p.y >= r.y && p.y <= r.y + r.h;
}

bool contains_half_open(const Rect& r, Point p) { return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h; }

}  // namespace

std::optional<sys::Screen> choose_panel_screen(uint8_t show_on, const std::vector<sys::Screen>& screens,
                                               Point pointer, std::optional<Rect> front_window) {
  if (screens.empty()) return std::nullopt;
  std::optional<Point> at;
  if (show_on == 0 && front_window) {
    const Point c = centre(*front_window);
    at = Point{c.x, first_height(screens) - c.y};
  } else if (show_on == 1) {
    at = pointer;
  }
  if (at)
    for (const sys::Screen& s : screens)
      if (contains_inclusive(s.frame, *at)) return s;
  return screens.front();
}

std::optional<sys::Screen> panel_screen(uint8_t show_on, const Model& model, Pid front_pid) {
  std::optional<Rect> front_window;
  for (Wid wid : model.order) {
    auto it = model.windows.find(wid);
    if (it != model.windows.end() && it->second.info.pid == front_pid) {
      front_window = it->second.info.bounds;
      break;
    }
  }
  return choose_panel_screen(show_on, sys::port().screens(), sys::port().pointer(), front_window);
}

std::optional<std::vector<Pid>> single_focus_hides(Pid pid, Pid self, const std::vector<Rect>& screens,
                                                   const std::vector<WindowInfo>& windows) {
  auto screen_of = [&](const Rect& bounds) -> std::optional<size_t> {
    const Point c = centre(bounds);
    for (size_t i = 0; i < screens.size(); ++i)
      if (contains_half_open(screens[i], c)) return i;
    return std::nullopt;
  };
  auto front = std::find_if(windows.begin(), windows.end(), [&](const WindowInfo& w) { return w.pid == pid; });
  if (front == windows.end()) return std::nullopt;
  const auto target = screen_of(front->bounds);
  if (!target) return std::nullopt;

  // Applications in the order of their front-most window; each stays unless every window of
  // it is centred on the target screen.
  std::vector<std::pair<Pid, bool>> others;
  for (const WindowInfo& w : windows) {
    if (w.pid == pid || w.pid == self) continue;
    auto it = std::find_if(others.begin(), others.end(), [&](const auto& o) { return o.first == w.pid; });
    if (it == others.end()) it = others.insert(others.end(), {w.pid, true});
    if (screen_of(w.bounds) != target) it->second = false;
  }
  std::vector<Pid> hides;
  for (const auto& [p, all_on_target] : others)
    if (all_on_target) hides.push_back(p);
  return hides;
}

void single_focus(Pid pid, int attempts) {
  sys::Backend& port = sys::port();
  if (pid == port.self_pid() || apps::frontmost_pid() != pid) return;
  const std::vector<sys::Screen> screens = port.screens();
  std::vector<Rect> frames;
  for (const sys::Screen& s : screens)
    frames.push_back({s.frame.x, first_height(screens) - (s.frame.y + s.frame.h), s.frame.w, s.frame.h});
  std::vector<WindowInfo> windows = ws::windows(ws::ON_SCREEN, false).value_or(std::vector<WindowInfo>{});
  std::erase_if(windows, [](const WindowInfo& w) { return !is_ordinary(w); });

  auto hides = single_focus_hides(pid, port.self_pid(), frames, windows);
  if (!hides) {
    if (attempts != 0)
      sys::main_queue().post_after(std::chrono::milliseconds(100), [pid, attempts] { single_focus(pid, attempts - 1); });
    return;
  }
  for (Pid other : *hides)
    if (auto info = port.running_app(other); info && info->policy == sys::Policy::Regular) port.app_hide(other);
}

}  // namespace mirvex
