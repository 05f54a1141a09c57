#include "app/snapshot.h"

#include <QApplication>
#include <QEvent>
#include <QWindowStateChangeEvent>
#include <QObject>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <map>
#include <vector>

#include <fmt/format.h>

#include "app/app.h"
#include "app/apps.h"
#include "app/ws.h"
#include "core/entry_list.h"
#include "core/log.h"
#include "core/prefs.h"

namespace mirvex {

void snapshot(State& s) {
  if (std::optional<ev::Snapshot> snap = ws::snapshot()) {
    std::vector<Pid> unknown;
    for (const WindowInfo& w : snap->windows) {
      if (!is_ordinary(w)) continue;
      auto a = s.model.apps.find(w.pid);
      if (a == s.model.apps.end() || !a->second.regular) unknown.push_back(w.pid);
    }
    std::sort(unknown.begin(), unknown.end());
    unknown.erase(std::unique(unknown.begin(), unknown.end()), unknown.end());
    for (Pid pid : unknown) {
      std::optional<sys::AppInfo> info = sys::port().running_app(pid);
      if (!info) continue;  // exited since the list was taken
      RunningApp app = apps::app(*info);
      set_up_app(s, app);
      s.model.apply(ev::App{std::move(app)});
    }
    s.model.apply(std::move(*snap));
  } else {
    log::log("snapshot: window server returned no list, model kept");
  }

  // Pending windows per application, in most-recent order; std::map keeps the submissions in
  // pid order so runs are reproducible.
  std::map<Pid, std::vector<Wid>> pending;
  size_t total = 0;
  for (Wid wid : s.model.order) {
    auto w = s.model.windows.find(wid);
    if (w == s.model.windows.end() || w->second.ax.kind != AxStatus::Kind::Pending) continue;
    const WindowInfo& info = w->second.info;
    auto a = s.model.apps.find(info.pid);
    if (a == s.model.apps.end() || !a->second.regular || !is_ordinary(info)) continue;
    pending[info.pid].push_back(wid);
    ++total;
  }
  log::log(fmt::format("snapshot: {} windows, resolving {} pending wids in {} apps", s.model.order.size(), total,
                       pending.size()));
  if (!s.hooks.ax_submit) return;
  const Pid self = sys::port().self_pid();
  for (auto& [pid, wids] : pending)
    if (pid != self) s.hooks.ax_submit(AxRequest{AxRequest::Kind::Resolve, pid, std::move(wids)});
}

std::optional<Rect> ws_rect(const Rect& r) {
  if (!sys::main_queue().is_main_thread()) return std::nullopt;
  const std::vector<sys::Screen> screens = sys::port().screens();
  if (screens.empty()) return std::nullopt;
  return Rect{r.x, screens.front().frame.h - r.y - r.h, r.w, r.h};
}

std::optional<Rect> ws_frame(const sys::Screen& screen) { return ws_rect(screen.frame); }

void mark_window_destroyed(State& s, Wid wid) {
  const bool target = s.border_target == wid;
  if (target || s.minimizing.contains(wid) || s.closing.contains(wid))
    log::log(fmt::format("border: suppress destroyed target wid={}", wid));
  s.minimizing.erase(wid);
  s.closing.erase(wid);
  s.gone.insert(wid);
  if (target) clear_border(s);
}

namespace {

// Sees the minimise and restore of every top-level window of this application. Qt reports a
// minimise once it has happened; that is the earliest moment this platform offers.
class OwnWindowWatch final : public QObject {
 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() != QEvent::WindowStateChange) return false;
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget || !widget->isWindow()) return false;
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    const bool was = change->oldState().testFlag(Qt::WindowMinimized);
    const bool now = widget->windowState().testFlag(Qt::WindowMinimized);
    if (was == now) return false;
    const Wid wid = static_cast<Wid>(widget->winId());
    with_state([&](State& s) {
      if (now) {
        begin_minimize(s, wid);
      } else {
        s.minimizing.erase(wid);
        s.model.apply(ev::Deminimized{wid});
        update_border(s);
      }
    });
    return false;
  }
};

}  // namespace

void watch_own_windows() {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return;
  static OwnWindowWatch* watch = nullptr;  // lives with the application object
  if (watch) return;
  watch = new OwnWindowWatch;
  watch->setParent(app);
  app->installEventFilter(watch);
}

bool ignore_front_app(State& s) {
  if (prefs::guide_before(s.defaults, 6)) return true;
  if (prefs::recording_hotkey(s.defaults)) return true;
  const Pid front = apps::frontmost_pid();
  auto a = s.model.apps.find(front);
  if (a == s.model.apps.end() || !a->second.bundle_id) return false;
  const std::string& bundle = *a->second.bundle_id;
  auto e = std::find_if(s.settings.exceptions.begin(), s.settings.exceptions.end(),
                        [&](const Exception& x) { return x.bundleId == bundle; });
  if (e == s.settings.exceptions.end()) return false;
  switch (e->ignore) {
    case 2: return true;
    case 1:
      for (Wid wid : s.model.order) {
        auto w = s.model.windows.find(wid);
        if (w != s.model.windows.end() && w->second.info.pid == front) return w->second.fullscreen;
      }
      return false;
    default: return false;
  }
}

}  // namespace mirvex
