#include "app/app.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "app/apps.h"
#include "app/ax.h"
#include "app/bench.h"
#include "app/focus.h"
#include "app/input.h"
#include "app/restore.h"
#include "app/summon.h"
#include "app/panel.h"
#include "app/panel_screen.h"
#include "app/private.h"
#include "app/snapshot.h"
#include "app/ws.h"
#include "core/entry_list.h"
#include "core/log.h"
#include "core/prefs.h"

namespace mirvex {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<Wid> head(const Model& m) {
  return m.order.empty() ? std::nullopt : std::optional<Wid>(m.order.front());
}

std::string some(std::optional<Wid> wid) { return wid ? fmt::format("Some({})", *wid) : "None"; }

}  // namespace

void start_background_capture(State& s) {
  if (s.background_capture_started || !s.hooks.wants_background || !s.hooks.wants_background(s)) return;
  s.background_capture_started = true;
  sys::main_queue().post_after(BACKGROUND_CAPTURE_DELAY, [] { with_state([](State& st) { fire(st.hooks.capture_pass, st); }); });
}

namespace {

void tell_input(State& s) {
  fire(s.hooks.set_untrusted, !sys::port().ax_trusted(false));
  fire(s.hooks.set_ignored, ignore_front_app(s));
}

void hold_border(State& s) { fire(s.hooks.hold_border, s); }

void front_refresh_attempt(Pid pid, Stamp stamp, int retries_left) {
  with_state([&](State& s) {
    auto it = s.front_refresh.find(pid);
    if (it == s.front_refresh.end() || it->second != stamp) return;  // superseded
    if (commit_focus(s, pid) || retries_left == 0) {
      s.front_refresh.erase(pid);
      return;
    }
    sys::main_queue().post_after(FRONT_REFRESH_RETRY,
                                 [pid, stamp, retries_left] { front_refresh_attempt(pid, stamp, retries_left - 1); });
  });
}

// The border follows a window only while its bounds hold still: a changed (or unreadable)
// frame of the outlined window holds the border until it settles.
void on_resized(State& s, Wid wid) {
  if (s.border_target != wid) return;
  const Private& p = P();
  Rect now;
  const bool read = p.SLSGetWindowBounds(p.CGSMainConnectionID(), wid, now) == 0 && now.w > 0 && now.h > 0;
  const std::optional<Rect> remembered = s.hooks.border_bounds ? s.hooks.border_bounds() : std::nullopt;
  if (read ? (!remembered || *remembered != now) : remembered.has_value()) hold_border(s);
}

void forget_app(State& s, Pid pid) {
  log::log(fmt::format("apps: forget {}", pid));
  for (const auto& [wid, rec] : s.model.windows) {
    if (rec.info.pid != pid) continue;
    s.minimizing.erase(wid);
    s.closing.erase(wid);
    s.gone.insert(wid);
    if (s.border_target == wid) clear_border(s);
  }
  fire(s.hooks.ax_forget, pid);
  s.app_icons.erase(pid);
  s.panel_icons.erase(pid);
}

void schedule_front_refresh_for_front(State& s) {
  const Pid front = apps::frontmost_pid();
  if (front >= 0) front_refresh(s, front);  // -1: no application is in front
}

void dispatch(State& s, Event event) {
  start_background_capture(s);

  // Handled without applying.
  if (auto* e = std::get_if<ev::Resized>(&event)) return on_resized(s, e->wid);
  if (auto* e = std::get_if<ev::Minimized>(&event)) {
    const bool was_head = head(s.model) == e->wid;
    begin_minimize(s, e->wid);
    if (was_head) schedule_front_refresh_for_front(s);
    return;
  }
  if (auto* e = std::get_if<ev::Deminimized>(&event)) {
    s.minimizing.erase(e->wid);
    s.model.apply(*e);
    return update_border(s);
  }
  if (std::holds_alternative<ev::SpaceChanged>(event)) return hold_border(s);
  if (auto* e = std::get_if<ev::Expose>(&event)) {
    s.expose_active = e->active;
    return hold_border(s);
  }

  // Before applying.
  const std::optional<Wid> head_before = head(s.model);
  bool border_unaffected = false;
  std::optional<Wid> destroyed;
  std::optional<Pid> activated;
  const bool terminated = std::holds_alternative<ev::Terminated>(event);
  if (auto* e = std::get_if<ev::AppFocused>(&event)) front_refresh(s, e->pid);
  if (auto* e = std::get_if<ev::Activated>(&event)) {
    front_refresh(s, e->pid);
    activated = e->pid;
  }
  if (auto* e = std::get_if<ev::App>(&event)) set_up_app(s, e->app);
  if (auto* e = std::get_if<ev::Terminated>(&event)) forget_app(s, e->pid);
  if (auto* e = std::get_if<ev::Details>(&event)) {
    auto w = s.model.windows.find(e->wid);
    border_unaffected = w != s.model.windows.end() && w->second.minimized == e->minimized &&
                        w->second.fullscreen == e->fullscreen;
  }
  if (auto* e = std::get_if<ev::Destroyed>(&event)) destroyed = e->wid;

  s.model.apply(std::move(event));

  // Common steps.
  if ((destroyed || terminated) && head(s.model) != head_before) schedule_front_refresh_for_front(s);
  if (destroyed && !s.model.windows.contains(*destroyed)) mark_window_destroyed(s, *destroyed);
  fire(s.hooks.evict, s);
  tell_input(s);
  if (!border_unaffected) update_border(s);
  if (activated && s.settings.singleFocus) {
    const Pid pid = *activated;
    sys::main_queue().post(
        [pid] { with_state([pid](State& st) { fire(st.hooks.single_focus, st, pid, SINGLE_FOCUS_ATTEMPTS); }); });
  }
}

void retry_tap() {
  sys::main_queue().post_after(TAP_RETRY, [] {
    with_state([](State& s) {
      if (!sys::port().ax_trusted(false) || !s.hooks.input_retry_tap || !s.hooks.input_retry_tap()) {
        retry_tap();
        return;
      }
      log::log("input: event tap started after grant");
      const Pid self = sys::port().self_pid();
      if (s.hooks.ax_submit) {
        std::vector<Pid> regular;
        for (const auto& [pid, app] : s.model.apps)
          if (app.regular && pid != self) regular.push_back(pid);
        std::sort(regular.begin(), regular.end());
        for (Pid pid : regular) s.hooks.ax_submit(AxRequest{AxRequest::Kind::Observe, pid, {}});
      }
      snapshot(s);
      fire(s.hooks.set_untrusted, false);
      fire(s.hooks.set_ignored, ignore_front_app(s));
    });
  });
}

void seed(State& s) {
  const Clock::time_point t0 = Clock::now();
  snapshot(s);
  std::vector<Wid> front_to_back;
  if (auto on = ws::windows(ws::ON_SCREEN, false))
    for (const WindowInfo& w : *on)
      if (is_ordinary(w)) front_to_back.push_back(w.wid);
  for (auto it = front_to_back.rbegin(); it != front_to_back.rend(); ++it) s.model.apply(ev::Focused{*it});
  log::log(fmt::format("launch: seeded {} windows in {:.1f}ms", s.model.order.size(), log::ms(t0)));

  if (s.hooks.warm) {
    const Clock::time_point t = Clock::now();
    const size_t rows = s.hooks.warm(s);
    log::log(fmt::format("launch: panel warmed with {} rows in {:.1f}ms", rows, log::ms(t)));
  }

  const Clock::time_point t = Clock::now();
  s.screen_recording = sys::port().capture_preflight();
  log::log(fmt::format("launch: screen recording allowed={} in {:.1f}ms", *s.screen_recording, log::ms(t)));

  start_background_capture(s);
  update_border(s);
  fire(s.hooks.set_ignored, ignore_front_app(s));
}

// A change of screens moves every window the border might outline.
void observe_screen_changes() {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!app) return;
  auto hold = [] { with_state(hold_border); };
  QObject::connect(app, &QGuiApplication::screenAdded, app, hold);
  QObject::connect(app, &QGuiApplication::screenRemoved, app, hold);
  QObject::connect(app, &QGuiApplication::primaryScreenChanged, app, hold);
}

// The modules connected so far; each module fills in its members here.
Hooks connected_hooks(const std::shared_ptr<Panel>& panel) {
  Hooks h;
  h.ax_start = [](EventSink sink) {
    ax::start(std::move(sink));
    focus::set_element_lookup(ax::ax_window);
  };
  h.ax_submit = ax::submit;
  h.ax_forget = ax::forget;
  h.ax_observe_dock = ax::observe_dock;
  h.ax_trusted_or_prompt = ax::trusted_or_prompt;
  h.dock_badges = ax::dock_badges;

  h.input_start = [] {
    input::Shared shared;
    shared.handler = [](const Input& i) { on_input(i); };
    shared.on_minimize = [](Wid wid) { with_state([wid](State& s) { begin_minimize(s, wid); }); };
    shared.open_settings = [] { with_state([](State& s) { fire(s.hooks.open_settings, s); }); };
    shared.titlebar_button_at = [](Pid pid, Point at) -> std::optional<input::TitlebarHit> {
      const std::optional<ax::TitlebarButton> b = ax::titlebar_button_at(pid, at.x, at.y);
      if (!b) return std::nullopt;
      return input::TitlebarHit{b->wid, b->button == ax::Button::Close ? input::Button::Close : input::Button::Minimize};
    };
    return input::start(std::move(shared));
  };
  h.input_retry_tap = input::retry;
  h.input_apply = input::apply;
  h.set_ignored = input::set_ignored;
  h.set_untrusted = input::set_untrusted;
  h.set_border_target = [](std::optional<Wid> wid) { input::BORDER_TARGET = wid.value_or(0); };
  h.install_restore_guards = input::install_restore_guards;
  h.set_switcher_open = input::set_session;
  h.start_modifier_poll = input::start_modifier_poll;
  h.stop_modifier_poll = input::stop_modifier_poll;

  h.panel_hide = [panel] { panel->hide(); };
  h.panel_set_badges = [panel](const Badges& badges) { panel->set_badges(badges); };
  h.single_focus = [](State&, Pid pid, int attempts) { single_focus(pid, attempts); };
  h.bench_step = [](State& s) { bench::start(s, [] { QCoreApplication::exit(0); }); };
  return h;
}

}  // namespace

bool start(Launch launch) {
  // 1.
  if (!sys::main_queue().is_main_thread()) sys::stop("run must be called on the main thread");
  sys::Backend& port = sys::port();
  const Hooks& hooks = launch.hooks;
  const bool bench = launch.bench;

  // 2.
  if (!bench && port.claim_instance(BUNDLE_ID)) {
    log::log("launch: another mirvex is running, exiting");
    return false;
  }

  // 3. An accessory application: Qt shows no Dock icon or menu bar of its own on this
  // platform, so only the recorder flag is left to clear.
  Defaults defaults;
  defaults.set_arguments(launch.args);
  prefs::clear_recording_hotkey(defaults);

  // 4.
  bool onboard = false;
  bool trusted = false;
  if (bench) {
    trusted = port.ax_trusted(false);
  } else if (prefs::needs_onboarding(defaults)) {
    trusted = port.ax_trusted(false);
    onboard = true;
  } else {
    trusted = hooks.ax_trusted_or_prompt ? hooks.ax_trusted_or_prompt() : port.ax_trusted(true);
  }
  log::log(fmt::format("launch: accessibility trusted={}", trusted));

  // 5.
  if (!bench) {
    restore_system_switcher();
    sys::set_stop_hook(restore_system_switcher);
    fire(hooks.install_restore_guards);
  }

  // 6.
  Settings settings = prefs::load(defaults);
  fire(hooks.input_apply, settings);
  fire(hooks.menu_install, settings.menubarIcon);
  fire(hooks.updater_start);

  // 7.
  auto state = std::make_unique<State>(std::move(defaults));
  state->hooks = std::move(launch.hooks);
  state->settings = std::move(settings);
  state->panel = std::move(launch.panel);
  state->overlay_windows = ws::mission_control_overlays();
  install_state(std::move(state));

  // 8. The application observer runs on the main thread and calls the dispatcher directly.
  with_state([](State& s) { fire(s.hooks.ax_start, event_sink()); });
  apps::start(on_event);

  // 9, 10.
  with_state(watch_dock);
  with_state(seed);

  // 11.
  with_state([](State& s) { fire(s.hooks.register_app_hotkey); });

  // 12.
  if (bench) {
    with_state([](State& s) { fire(s.hooks.bench_step, s); });
    watch_own_windows();
    observe_screen_changes();
    return true;
  }

  // 13.
  with_state([](State& s) {
    if (!s.hooks.input_start) return;
    if (!s.hooks.input_start()) {
      log::log("launch: no event tap, native ⌘Tab stays on");
      retry_tap();
    }
  });
  watch_own_windows();
  observe_screen_changes();
  with_state([onboard](State& s) {
    if (onboard) {
      fire(s.hooks.onboarding_start);
    } else if (prefs::debug(s.defaults)) {
      fire(s.hooks.debug_listen);
    }
  });
  return true;
}

int run(bool bench, std::vector<std::string> args) {
  auto panel = std::make_shared<Panel>();
  panel->set_reduce_motion([] { return sys::port().reduce_motion(); });
  panel->set_compositing([] { return sys::port().compositing(); });
  if (!start(Launch{bench, std::move(args), connected_hooks(panel), panel})) return 0;
  // For scripted runs: end the run loop a given time after start-up.
  if (const char* quit = std::getenv("MIRVEX_QUIT_AFTER_MS")) {
    const long ms = std::strtol(quit, nullptr, 10);
    sys::main_queue().post_after(std::chrono::milliseconds(std::max(0L, ms)), [] { QCoreApplication::quit(); });
  }
  const int status = QCoreApplication::exec();
  take_state();  // the State's windows go while the application object still exists
  return status;
}

void on_event(Event event) {
  with_state([&](State& s) { dispatch(s, std::move(event)); });
}

EventSink event_sink() {
  return [](Event e) { sys::main_queue().post([e = std::move(e)]() mutable { on_event(std::move(e)); }); };
}

void on_window_closed(Wid wid) { on_event(ev::Destroyed{next_stamp(), wid}); }

void on_window_moved(Wid wid) { on_event(ev::Resized{wid}); }

void on_windows_reordered() {
  sys::main_queue().post_after(REORDER_BORDER_DELAY, [] { with_state(update_border); });
}

void front_refresh(State& s, Pid pid) {
  const Stamp stamp = next_stamp();
  s.front_refresh[pid] = stamp;
  sys::main_queue().post_after(FRONT_REFRESH_FIRST,
                               [pid, stamp] { front_refresh_attempt(pid, stamp, FRONT_REFRESH_RETRIES); });
}

void set_up_app(State& s, const RunningApp& app) {
  if (!app.regular) return;
  if (auto known = s.model.apps.find(app.pid); known != s.model.apps.end() && known->second.regular) return;
  log::log(fmt::format("apps: observe {} {}", app.pid, app.name));
  if (app.pid != sys::port().self_pid()) fire(s.hooks.ax_submit, AxRequest{AxRequest::Kind::Observe, app.pid, {}});
  s.app_icons[app.pid] = sys::port().app_icon(app.pid).value_or(sys::Image{});
  s.panel_icons.erase(app.pid);
}

void watch_dock(State& s) {
  if (s.dock_pid && sys::port().process_exists(*s.dock_pid)) return;
  s.dock_pid.reset();
  s.expose_active = false;
  for (const sys::AppInfo& a : sys::port().running_apps()) {
    if (a.bundle_id != "com.apple.dock") continue;
    fire(s.hooks.ax_observe_dock, a.pid);
    s.dock_pid = a.pid;
    return;
  }
}

void read_badges(State& s) {
  watch_dock(s);
  if (!s.dock_pid || !s.settings.dockBadges || !s.hooks.dock_badges) return;
  try {
    std::thread([read = s.hooks.dock_badges, dock = *s.dock_pid] {
      Badges badges = read(dock);
      sys::main_queue().post([badges = std::move(badges)] {
        with_state([&](State& st) {
          st.dock_badges = badges;
          fire(st.hooks.panel_set_badges, st.dock_badges);
        });
      });
    }).detach();
  } catch (const std::system_error&) {
    sys::stop("failed to spawn thread");
  }
}

void settings_changed(int32_t code) {
  with_state([code](State& s) {
    s.settings_preview_code = code >= 0 ? std::optional<int32_t>(code) : std::nullopt;
    if (code < -1 && s.settings_window_shown && !s.session_active()) fire(s.hooks.panel_hide);
    s.settings_window_shown = code >= -1;
    update_border(s);

    if (apply_settings(s, prefs::load(s.defaults))) {
      sys::Backend& port = sys::port();
      if (!s.screen_recording) {
        s.screen_recording = port.capture_preflight() || port.capture_request();
      } else if (!*s.screen_recording) {
        s.screen_recording = port.capture_request();
      }
    }
    start_background_capture(s);
  });
}

bool needs_capture(const Settings& s) {
  return s.preview || s.previewBeside || s.style == Style::Thumbnails || s.backgroundCapture ||
         std::any_of(s.shortcuts.begin(), s.shortcuts.end(),
                     [](const Shortcut& sc) { return sc.style_opt() == Style::Thumbnails; });
}

Settings look_fields(const Settings& s) {
  Settings l;  // every field at a fixed value, then the ones the panel draws with
  l.style = s.style;
  l.size = s.size;
  l.theme = s.theme;
  l.opacityPct = s.opacityPct;
  l.tint = s.tint;
  l.corner = s.corner;
  l.previewBeside = s.previewBeside;
  l.titlesMaxWidthPct = s.titlesMaxWidthPct;
  l.appIconsMaxWidthPct = s.appIconsMaxWidthPct;
  l.thumbnailsMaxWidthPct = s.thumbnailsMaxWidthPct;
  l.titlesSizePct = s.titlesSizePct;
  l.appIconsSizePct = s.appIconsSizePct;
  l.thumbnailsSizePct = s.thumbnailsSizePct;
  l.titlesFrameW = s.titlesFrameW;
  l.appIconsFrameW = s.appIconsFrameW;
  l.thumbnailsFrameW = s.thumbnailsFrameW;
  l.titlesFrameH = s.titlesFrameH;
  l.appIconsFrameH = s.appIconsFrameH;
  l.thumbnailsFrameH = s.thumbnailsFrameH;
  l.panelX = s.panelX;
  l.panelY = s.panelY;
  l.truncation = s.truncation;
  l.showTitles = s.showTitles;
  l.statusIcons = s.statusIcons;
  l.spaceLabels = s.spaceLabels;
  l.appIconsIconSize = s.appIconsIconSize;
  l.appIconsRows = s.appIconsRows;
  l.dockBadges = s.dockBadges;
  l.fadeIn = s.fadeIn;
  l.staggerIn = s.staggerIn;
  l.liquidGlass = s.liquidGlass;
  l.glide = s.glide;
  l.swell = s.swell;
  l.nameFade = s.nameFade;
  l.closeSlide = s.closeSlide;
  l.scrollFade = s.scrollFade;
  l.fadeOut = s.fadeOut;
  l.hover = s.hover;
  l.scroll = s.scroll;
  l.hints = s.hints;
  // Of a shortcut only its look overrides and the one-entry-per-app mode show.
  for (const Shortcut& sc : s.shortcuts) {
    Shortcut part;
    part.style = sc.style;
    part.size = sc.size;
    part.apps = sc.apps == 3 ? 3 : 0;
    l.shortcuts.push_back(part);
  }
  return l;
}

bool apply_settings(State& s, Settings next) {
  const bool capture = needs_capture(next) && (!needs_capture(s.settings) ||
                                               (next.style == Style::Thumbnails && s.settings.style != Style::Thumbnails));
  const bool look_changed = look_fields(next) != look_fields(s.settings);

  s.settings = std::move(next);
  prefs::save(s.defaults, s.settings);
  fire(s.hooks.input_apply, s.settings);
  fire(s.hooks.set_ignored, ignore_front_app(s));
  fire(s.hooks.menu_set_visible, s.settings.menubarIcon);

  update_border(s);
  if (!s.settings.dockBadges) s.dock_badges.clear();
  read_badges(s);

  if (!s.session_active() && (s.settings_window_shown || (look_changed && !s.settings_window_open)))
    fire(s.hooks.demo, s);
  return capture;
}

bool commit_focus(State& s, Pid pid) {
  if (pid != apps::frontmost_pid()) return true;

  auto focused = [&]() -> std::optional<Wid> {
    auto f = s.model.focused.find(pid);
    return f == s.model.focused.end() ? std::nullopt : std::optional<Wid>(f->second);
  };
  if (auto f = focused(); f && !s.model.windows.contains(*f)) snapshot(s);

  const std::optional<Wid> was = head(s.model);
  std::optional<Wid> front;
  bool reported = false;
  if (auto f = focused()) {
    auto w = s.model.windows.find(*f);
    if (w != s.model.windows.end() && is_ordinary(w->second.info) && !w->second.minimized) {
      if (was == *f) return true;
      front = *f;
      reported = true;
    }
  }
  if (!front) {
    if (was) {
      auto w = s.model.windows.find(*was);
      if (w != s.model.windows.end() && w->second.info.pid == pid) return true;
    }
    snapshot(s);
    ListContext cx;
    cx.shortcut.spaces = SpacesFilter::All;
    cx.shortcut.windowless = 1;  // not listed
    cx.shortcut.apps = 1;        // the active app only
    cx.visible_spaces = ws::visible_spaces();
    cx.user_spaces = ws::user_spaces();
    cx.front_pid = pid;
    cx.own_pid = sys::port().self_pid();
    const std::vector<Entry> entries = list(s.model, cx);
    auto listed = [&](Wid wid) {
      return std::any_of(entries.begin(), entries.end(), [wid](const Entry& e) {
        const auto* w = std::get_if<entry::Window>(&e);
        return w && w->wid == wid;
      });
    };
    if (auto on = ws::windows(ws::ON_SCREEN, false))
      for (const WindowInfo& w : *on)
        if (is_ordinary(w) && listed(w.wid)) {
          front = w.wid;
          break;
        }
    if (!front) return false;
    if (head(s.model) == *front) return true;
  }

  const std::optional<Wid> previous = head(s.model);
  log::log(fmt::format("mru: front pid={} wid={} (reported={}) was {}", pid, *front, reported, some(previous)));
  s.model.apply(ev::Focused{*front});
  update_border(s);
  return true;
}

void update_border(State& s) { fire(s.hooks.update_border, s); }

void begin_minimize(State& s, Wid wid) {
  if (s.hooks.begin_minimize) return s.hooks.begin_minimize(s, wid);
  s.model.apply(ev::Minimized{wid});
  s.minimizing.insert(wid);
}

void clear_border(State& s) {
  s.border_target.reset();
  fire(s.hooks.set_border_target, std::nullopt);
  s.border_shown = false;
  fire(s.hooks.border_order_out);
}

void restore_system_switcher() {
  const Private& p = P();
  p.CGSSetSymbolicHotKeyEnabled(1, true);
  p.CGSSetSymbolicHotKeyEnabled(2, true);
}

}  // namespace mirvex
