#include "app/summon.h"

#include <fmt/format.h>

#include <QImage>
#include <type_traits>
#include <variant>

#include "app/app.h"
#include "app/apps.h"
#include "app/focus.h"
#include "app/panel_screen.h"
#include "app/snapshot.h"
#include "app/ws.h"
#include "core/entry_list.h"
#include "core/log.h"

namespace mirvex {

namespace {

// The panel's drawable icon of `pid`, made once from the model's icon (premultiplied ARGB).
QImage icon(State& s, Pid pid) {
  if (auto it = s.panel_icons.find(pid); it != s.panel_icons.end())
    return *std::static_pointer_cast<const QImage>(it->second);
  QImage out;
  if (auto it = s.app_icons.find(pid); it != s.app_icons.end()) {
    const sys::Image& img = it->second;
    if (img.width > 0 && img.height > 0 && img.argb.size() == size_t(img.width) * size_t(img.height))
      out = QImage(reinterpret_cast<const uchar*>(img.argb.data()), img.width, img.height,
                   QImage::Format_ARGB32_Premultiplied)
                .copy();  // own the pixels: the model's icon may be replaced
  }
  s.panel_icons[pid] = std::make_shared<const QImage>(out);
  return out;
}

// The visible frame of the summon's screen with a top-left origin, as the panel lays out in.
std::shared_ptr<void> panel_frame(const std::optional<sys::Screen>& screen) {
  const std::optional<Rect> frame = screen ? ws_rect(screen->visible_frame) : std::nullopt;
  return frame ? std::make_shared<Rect>(*frame) : nullptr;
}

void show_panel(State& s) {
  s.summon.waiting = false;
  if (!s.panel || !s.summon.look) return;
  s.panel->show(panel_rows(s, s.summon.rows), s.summon.selected, *s.summon.look);
}

void on_show(State& s, fx::Show show, Instant arrived) {
  Summon& m = s.summon;
  m.rows = std::move(show.entries);
  m.selected = show.selected;
  if (!m.look) {
    const std::optional<Session>& session = s.switcher.session();
    const size_t slot = session && session->slot < s.settings.shortcuts.size() ? session->slot : 0;
    m.look = look(s.settings, slot, m.rows.size(), panel_frame(m.screen));
  }
  const bool visible = s.panel && s.panel->shown();
  if (s.settings.delayMs == 0 || visible) {
    show_panel(s);
  } else if (!m.waiting) {
    m.waiting = true;
    const uint64_t generation = ++m.show_generation;
    sys::main_queue().post_after(std::chrono::milliseconds(s.settings.delayMs), [generation] {
      with_state([generation](State& st) {
        if (st.summon.show_generation == generation && st.summon.waiting) show_panel(st);
      });
    });
  }
  read_badges(s);
  fire(s.hooks.set_switcher_open, true);
  const std::optional<Session>& session = s.switcher.session();
  if (session && !session->sticky) fire(s.hooks.start_modifier_poll);

  m.last_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - arrived).count();
  m.last_rows = m.rows.size();
  log::log(fmt::format("summon_ms={:.1f} rows={}", m.last_ms, m.last_rows));
}

void on_select(State& s, size_t index) {
  Summon& m = s.summon;
  m.selected = index;
  if (m.waiting) {
    ++m.show_generation;
    show_panel(s);
  } else if (s.panel) {
    s.panel->glide_to(index);
  }
}

void on_dismiss(State& s) {
  read_badges(s);
  Summon& m = s.summon;
  m.waiting = false;
  m.look.reset();
  m.rows.clear();
  m.selected = 0;
  if (s.panel) s.panel->hide();
  start_background_capture(s);
  fire(s.hooks.set_switcher_open, false);
  fire(s.hooks.stop_modifier_poll);
}

void on_focus(State& s, const Entry& target) {
  if (const auto* w = std::get_if<entry::Window>(&target)) s.model.apply(ev::Focused{w->wid});
  const auto started = std::chrono::steady_clock::now();
  focus::focus(target, [target, started](bool ok) {
    log::log(fmt::format("focus_ms={:.1f} ok={}", log::ms(started), ok));
    const auto* w = std::get_if<entry::Window>(&target);
    if (!ok || !w) return;
    with_state([wid = w->wid](State& st) {
      if (!st.settings.cursorFollows) return;
      auto it = st.model.windows.find(wid);
      if (it == st.model.windows.end()) return;
      const Rect& b = it->second.info.bounds;
      sys::port().warp_pointer(Point{b.x + b.w / 2, b.y + b.h / 2});
    });
  });
}

const char* action_name(Action a) {
  switch (a) {
    case Action::Close: return "Close";
    case Action::Minimize: return "Minimize";
    case Action::Fullscreen: return "Fullscreen";
    case Action::Hide: return "Hide";
    case Action::Quit: return "Quit";
  }
  return "?";
}

void carry_out(State& s, Effect effect, Instant arrived) {
  std::visit(
      [&](auto&& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, fx::Show>) {
          on_show(s, std::move(e), arrived);
        } else if constexpr (std::is_same_v<T, fx::Search>) {
          if (s.panel) s.panel->set_search(e.text);
        } else if constexpr (std::is_same_v<T, fx::Select>) {
          on_select(s, e.index);
        } else if constexpr (std::is_same_v<T, fx::Dismiss>) {
          on_dismiss(s);
        } else if constexpr (std::is_same_v<T, fx::Focus>) {
          on_focus(s, e.entry);
        } else if constexpr (std::is_same_v<T, fx::Act>) {
          log::log(fmt::format("action: {} on {}", action_name(e.action), to_string(e.entry)));
          fire(s.hooks.run_action, s, e.entry, e.action);
        } else {
          fire(s.hooks.open_settings, s);
        }
      },
      std::move(effect));
}

}  // namespace

void on_input(const Input& input) {
  const Instant arrived = std::chrono::steady_clock::now();
  with_state([&](State& s) { on_input(s, input, arrived); });
}

void on_input(State& s, const Input& input, Instant arrived) {
  const bool trigger = std::holds_alternative<in::Hotkey>(input) || std::holds_alternative<in::AppHotkey>(input);
  if (trigger && !s.session_active()) {
    // The list starts from the true front window, even before the application's own focus
    // notification arrives.
    const Pid front = apps::frontmost_pid();
    s.summon.front_pid = front;
    s.front_refresh.erase(front);
    commit_focus(s, front);
    s.summon.screen = panel_screen(s.settings.showOn, s.model, front);
  }
  const Switcher::Builder builder = [&s](size_t slot) {
    const std::optional<Rect> screen = s.summon.screen ? ws_frame(*s.summon.screen) : std::nullopt;
    return entries(s, slot, s.summon.front_pid, screen);
  };
  std::vector<Effect> effects = s.switcher.on_input(input, s.settings, builder, arrived);
  fire(s.hooks.evict, s);
  for (Effect& e : effects) carry_out(s, std::move(e), arrived);
}

std::vector<Item> entries(State& s, size_t slot, Pid front_pid, std::optional<Rect> screen) {
  // App-hotkey slots list an application's windows by their own rules.
  if (slot >= s.settings.shortcuts.size()) return {};
  snapshot(s);
  ListContext cx;
  cx.screen = screen;
  cx.shortcut = s.settings.shortcuts[slot];
  cx.exceptions = s.settings.exceptions;
  cx.visible_spaces = ws::visible_spaces();
  cx.user_spaces = ws::user_spaces();
  cx.front_pid = front_pid;
  cx.own_pid = sys::port().self_pid();
  std::vector<Item> items;
  for (Entry& e : list(s.model, cx)) {
    auto app = s.model.apps.find(entry_pid(e));
    items.push_back(Item{std::move(e), app == s.model.apps.end() ? std::string() : app->second.name});
  }
  return items;
}

std::vector<PanelItem> panel_rows(State& s, const std::vector<Entry>& list) {
  std::vector<PanelItem> rows;
  rows.reserve(list.size());
  for (const Entry& e : list) {
    const Pid pid = entry_pid(e);
    PanelItem item;
    auto app = s.model.apps.find(pid);
    if (app != s.model.apps.end()) {
      item.row.app_name = app->second.name;
      item.row.bundle_id = app->second.bundle_id.value_or("");
    }
    if (const auto* w = std::get_if<entry::Window>(&e)) {
      item.row.title = w->title;
      item.row.minimized = w->minimized;
      item.row.hidden = w->hidden;
      item.row.fullscreen = w->fullscreen;
      item.row.space = w->space;
    } else {
      item.row.title = std::get<entry::App>(e).name;
    }
    if (auto b = s.dock_badges.find(item.row.app_name); b != s.dock_badges.end()) item.row.badge = b->second;
    item.icon = icon(s, pid);
    rows.push_back(std::move(item));
  }
  return rows;
}

}  // namespace mirvex
