#include "sys/sim/sim.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "core/keys.h"

namespace mirvex::sys::sim {

namespace {

constexpr int32_t PROC_NOT_FOUND = -600;             // GetProcessForPID and friends
constexpr int32_t CG_ERROR_FAILURE = 1000;           // kCGErrorFailure
constexpr int32_t HOTKEY_EXISTS = -9878;             // eventHotKeyExistsErr
constexpr int32_t HOTKEY_INVALID = -9879;            // eventHotKeyInvalidErr
constexpr int64_t CAPTURE_DECLINED = -3801;          // the user declined screen recording
constexpr int64_t CAPTURE_NO_WINDOW = -3815;         // the window is not shareable (gone)

bool contains(const Rect& r, Point p) { return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h; }

void merge_raw(Value& entry, const Value& raw) {
  if (const Dict* d = raw.dict())
    for (const auto& [k, v] : *d) {
      if (v.is_null()) entry.erase(k);
      else entry.set(k, v);
    }
}

// Runs `f` on a thread of its own and waits for it: callers see a backend thread, as the
// platform promises, while the order of events stays deterministic.
template <class F>
void on_backend_thread(F&& f) {
  std::thread t(std::forward<F>(f));
  t.join();
}

Image solid(int w, int h, uint32_t argb) {
  return Image{w, h, std::vector<uint32_t>(static_cast<size_t>(w) * static_cast<size_t>(h), argb)};
}

}  // namespace

Sim::Sim(MainQueue& queue, Desktop desktop) : queue_(queue), d_(std::move(desktop)), hub_(queue) {}

Sim::~Sim() {
  std::unique_lock lock(mu_);
  closing_ = true;
  held_cv_.notify_all();
  tap_wake_.notify_all();
  tap_wake_.wait(lock, [&] { return !tap_running_; });
}

void Sim::reset(Desktop desktop) {
  std::lock_guard lock(mu_);
  d_ = std::move(desktop);
}

Desktop Sim::desktop() const {
  std::lock_guard lock(mu_);
  return d_;
}

Journal Sim::journal() const {
  std::lock_guard lock(mu_);
  Journal j = journal_;
  for (size_t i = 0; i < symbolic_.size(); ++i)
    if (const uint8_t v = symbolic_[i].load()) j.symbolic_hotkeys[static_cast<int32_t>(i)] = v == 2;
  return j;
}

void Sim::set_faults(Faults faults) {
  std::lock_guard lock(mu_);
  d_.faults = std::move(faults);
}

// ---------------------------------------------------------------- lookups (mu_ held)

App* Sim::app_locked(Pid pid) {
  for (App& a : d_.apps)
    if (a.pid == pid) return &a;
  return nullptr;
}

Window* Sim::window_locked(Wid wid) {
  for (Window& w : d_.windows)
    if (w.wid == wid) return &w;
  return nullptr;
}

AxElement Sim::element_of(const Window& w) const { return AxElement{w.pid, w.element ? w.element : w.wid}; }

Window* Sim::window_of_element_locked(const AxElement& e) {
  for (Window& w : d_.windows)
    if (element_of(w) == e) return &w;
  return nullptr;
}

AppInfo Sim::info_locked(const App& a) const {
  return AppInfo{a.pid, a.name, a.bundle_id, a.bundle_path, a.policy, a.hidden, false};
}

std::set<SpaceId> Sim::visible_spaces_locked() const {
  std::set<SpaceId> shown;
  for (const Display& d : d_.displays) shown.insert(d.current);
  return shown;
}

bool Sim::onscreen_locked(const Window& w) const {
  if (w.onscreen) return *w.onscreen;
  if (w.minimized) return false;
  for (const App& a : d_.apps)
    if (a.pid == w.pid && a.hidden) return false;
  if (w.spaces.empty()) return true;
  auto shown = visible_spaces_locked();
  return std::any_of(w.spaces.begin(), w.spaces.end(), [&](SpaceId s) { return shown.count(s) > 0; });
}

// The platform lists an application's windows on the shown Spaces and its minimised ones.
bool Sim::ax_listed_locked(const Window& w) const {
  if (!w.ax_listed || w.desktop) return false;
  if (w.minimized || w.spaces.empty()) return true;
  auto shown = visible_spaces_locked();
  return std::any_of(w.spaces.begin(), w.spaces.end(), [&](SpaceId s) { return shown.count(s) > 0; });
}

Value Sim::entry_locked(const Window& w) const {
  Value e;
  e.set(wl::LAYER, Value(int64_t{w.layer}));
  e.set(wl::NUMBER, Value(w.wid));
  e.set(wl::OWNER_PID, Value(int64_t{w.pid}));
  e.set(wl::BOUNDS, rect_dict(w.bounds));
  e.set(wl::ALPHA, Value(w.alpha));
  if (onscreen_locked(w)) e.set(wl::IS_ONSCREEN, Value(true));  // the platform omits it when off screen
  std::optional<std::string> owner = w.owner_name;
  if (!owner)
    for (const App& a : d_.apps)
      if (a.pid == w.pid) owner = a.name;
  if (owner) e.set(wl::OWNER_NAME, Value(*owner));
  if (!w.title.empty()) e.set(wl::NAME, Value(w.title));
  merge_raw(e, w.raw);
  return e;
}

Value Sim::display_spaces_locked() const {
  Array displays;
  for (const Display& d : d_.displays) {
    Value entry;
    if (d.uuid) entry.set(ds::DISPLAY_IDENTIFIER, Value(*d.uuid));
    Array spaces;
    for (const Space& s : d.spaces) {
      Value se;
      se.set(ds::ID64, Value(static_cast<int64_t>(s.id)));
      se.set("ManagedSpaceID", Value(static_cast<int64_t>(s.id)));
      se.set(ds::TYPE, Value(s.type));
      merge_raw(se, s.raw);
      spaces.push_back(std::move(se));
    }
    entry.set(ds::SPACES, Value(std::move(spaces)));
    Value current;
    current.set(ds::ID64, Value(static_cast<int64_t>(d.current)));
    entry.set("Current Space", std::move(current));
    merge_raw(entry, d.raw);
    displays.push_back(std::move(entry));
  }
  return Value(std::move(displays));
}

// ---------------------------------------------------------------- notifications

void Sim::flush(Outbox& out) {
  for (Task& t : out) t();
  out.clear();
}

template <class F>
auto Sim::change(F&& f) {
  Outbox out;
  std::unique_lock lock(mu_);
  if constexpr (std::is_void_v<decltype(f(out))>) {
    f(out);
    lock.unlock();
    flush(out);
  } else {
    auto result = f(out);
    lock.unlock();
    flush(out);
    return result;
  }
}

// ---------------------------------------------------------------- changes by test code

void Sim::activate_locked(Outbox& out, Pid pid) {
  App* a = app_locked(pid);
  if (!a) return;
  d_.front = pid;
  hub_.workspace_note(out, note::ACTIVATED, info_locked(*a));
}

void Sim::hide_locked(Outbox& out, Pid pid, bool hidden) {
  App* a = app_locked(pid);
  if (!a || a->hidden == hidden) return;
  a->hidden = hidden;
  hub_.workspace_note(out, hidden ? note::HIDDEN : note::UNHIDDEN, info_locked(*a));
}

void Sim::terminate_locked(Outbox& out, Pid pid) {
  App* a = app_locked(pid);
  if (!a) return;
  AppInfo info = info_locked(*a);
  info.terminated = true;
  // The process is gone, so no accessibility notification comes; the window server still
  // reports its windows destroyed.
  for (const Window& w : d_.windows)
    if (w.pid == pid) {
      hub_.ws_note(out, 804, w.wid);
      hub_.ws_note(out, 1326, w.wid);
      hub_.forget_window(w.wid);
    }
  std::erase_if(d_.apps, [pid](const App& x) { return x.pid == pid; });
  std::erase_if(d_.windows, [pid](const Window& w) { return w.pid == pid; });
  if (d_.front == pid) d_.front.reset();
  hub_.workspace_note(out, note::TERMINATED, std::move(info));
}

void Sim::set_minimized_locked(Outbox& out, Window& w, bool on) {
  if (w.minimized == on) return;
  w.minimized = on;
  hub_.ax_note(out, w.pid, element_of(w), on ? ax::WINDOW_MINIATURIZED : ax::WINDOW_DEMINIATURIZED);
}

void Sim::launch(App app) {
  change([&](Outbox& out) {
    if (app_locked(app.pid)) return;
    d_.apps.push_back(app);
    hub_.workspace_note(out, note::LAUNCHED, info_locked(d_.apps.back()));
  });
}

void Sim::terminate(Pid pid) {
  change([&](Outbox& out) { terminate_locked(out, pid); });
}

void Sim::activate(Pid pid) {
  change([&](Outbox& out) { activate_locked(out, pid); });
}

void Sim::hide(Pid pid) {
  change([&](Outbox& out) { hide_locked(out, pid, true); });
}

void Sim::unhide(Pid pid) {
  change([&](Outbox& out) { hide_locked(out, pid, false); });
}

void Sim::switch_space(SpaceId id) {
  change([&](Outbox& out) {
    for (Display& d : d_.displays)
      for (const Space& s : d.spaces)
        if (s.id == id && d.current != id) {
          d.current = id;
          hub_.workspace_note(out, note::SPACE_CHANGED, std::nullopt);
        }
  });
}

void Sim::create_window(Window w) {
  change([&](Outbox& out) {
    if (window_locked(w.wid)) return;
    d_.windows.insert(d_.windows.begin(), w);
    hub_.ax_note(out, w.pid, element_of(w), ax::WINDOW_CREATED);
    hub_.ws_note(out, 1325, w.wid);
  });
}

void Sim::destroy_window(Wid wid) {
  change([&](Outbox& out) {
    Window* w = window_locked(wid);
    if (!w) return;
    hub_.ax_note(out, w->pid, element_of(*w), ax::ELEMENT_DESTROYED);
    hub_.ws_note(out, 804, wid);
    hub_.ws_note(out, 1326, wid);
    for (App& a : d_.apps)
      if (a.focused == wid) a.focused.reset();
    std::erase_if(d_.windows, [wid](const Window& x) { return x.wid == wid; });
    hub_.forget_window(wid);
  });
}

void Sim::set_minimized(Wid wid, bool on) {
  change([&](Outbox& out) {
    if (Window* w = window_locked(wid)) set_minimized_locked(out, *w, on);
  });
}

void Sim::set_fullscreen(Wid wid, bool on) {
  change([&](Outbox& out) {
    Window* w = window_locked(wid);
    if (!w || w->fullscreen == on) return;
    w->fullscreen = on;
    hub_.ax_note(out, w->pid, element_of(*w), ax::WINDOW_RESIZED);
  });
}

void Sim::set_bounds(Wid wid, Rect bounds) {
  change([&](Outbox& out) {
    Window* w = window_locked(wid);
    if (!w || w->bounds == bounds) return;
    const bool resized = w->bounds.w != bounds.w || w->bounds.h != bounds.h;
    w->bounds = bounds;
    if (resized) hub_.ax_note(out, w->pid, element_of(*w), ax::WINDOW_RESIZED);
    hub_.ws_note(out, resized ? 807 : 806, wid);
  });
}

void Sim::set_title(Wid wid, std::string title) {
  change([&](Outbox& out) {
    Window* w = window_locked(wid);
    if (!w || w->title == title) return;
    w->title = std::move(title);
    hub_.ax_note(out, w->pid, element_of(*w), ax::TITLE_CHANGED);
  });
}

void Sim::raise(Wid wid) {
  change([&](Outbox& out) {
    auto it = std::find_if(d_.windows.begin(), d_.windows.end(), [wid](const Window& w) { return w.wid == wid; });
    if (it == d_.windows.end()) return;
    std::rotate(d_.windows.begin(), it, it + 1);
    hub_.ws_note(out, 808, wid);
  });
}

void Sim::set_pointer(Point ws) {
  std::lock_guard lock(mu_);
  d_.pointer = ws;
}

// ---------------------------------------------------------------- window list

std::optional<Value> Sim::window_list(uint32_t options, Wid relative_to) {
  std::lock_guard lock(mu_);
  if (d_.faults.window_list_fails) return std::nullopt;
  const bool above = options & wl::ON_SCREEN_ABOVE, below = options & wl::ON_SCREEN_BELOW;
  const bool including = options & wl::INCLUDING_WINDOW;
  auto rel = std::find_if(d_.windows.begin(), d_.windows.end(), [&](const Window& w) { return w.wid == relative_to; });
  Array list;
  for (auto it = d_.windows.begin(); it != d_.windows.end(); ++it) {
    const Window& w = *it;
    const bool is_rel = it == rel;
    if (above || below) {
      if (rel == d_.windows.end()) break;
      const bool side = above ? it < rel : it > rel;
      if (!side && !(including && is_rel)) continue;
      if (!is_rel && !onscreen_locked(w)) continue;
    } else if (including) {
      if (!is_rel) continue;
    } else if ((options & wl::ON_SCREEN_ONLY) && !onscreen_locked(w)) {
      continue;
    }
    if ((options & wl::EXCLUDE_DESKTOP) && w.desktop) continue;
    list.push_back(entry_locked(w));
  }
  return Value(std::move(list));
}

// ---------------------------------------------------------------- private functions

bool Sim::open_library(std::string_view path) { return path == SKYLIGHT || path == APPLICATION_SERVICES || path == LOGIN; }

std::any Sim::symbol(std::string_view name) {
  {
    std::lock_guard lock(mu_);
    const auto& missing = d_.faults.missing_symbols;
    if (std::find(missing.begin(), missing.end(), name) != missing.end()) return {};
  }
  auto pid_of = [this](const Psn& psn) -> std::optional<Pid> {
    Pid pid = static_cast<Pid>(psn.low);
    if (psn.high != 0 || !app_locked(pid)) return std::nullopt;
    return pid;
  };
  if (name == "CGSMainConnectionID") return fn::CGSMainConnectionID([] { return CID; });
  if (name == "CGSCopyManagedDisplaySpaces")
    return fn::CGSCopyManagedDisplaySpaces([this](Cid) -> std::optional<Value> {
      std::lock_guard lock(mu_);
      if (d_.faults.display_spaces_fails) return std::nullopt;
      return display_spaces_locked();
    });
  if (name == "CGSManagedDisplayGetCurrentSpace")
    return fn::CGSManagedDisplayGetCurrentSpace([this](Cid, const std::string& uuid) -> SpaceId {
      std::lock_guard lock(mu_);
      for (const Display& d : d_.displays)
        if (d.uuid == uuid) return d.current;
      return 0;
    });
  if (name == "CGSCopyWindowsWithOptionsAndTags")
    return fn::CGSCopyWindowsWithOptionsAndTags(
        [this](Cid, uint32_t, const Value& spaces, uint32_t, uint64_t&, uint64_t&) -> std::optional<Value> {
          const Array* ids = spaces.array();
          if (!ids) return std::nullopt;
          std::lock_guard lock(mu_);
          Array out;
          for (const Window& w : d_.windows)
            for (const Value& id : *ids)
              if (const Number* n = id.number();
                  n && std::find(w.spaces.begin(), w.spaces.end(), static_cast<SpaceId>(n->as_int64())) != w.spaces.end()) {
                out.push_back(Value(int64_t{w.wid}));
                break;
              }
          return Value(std::move(out));
        });
  if (name == "CGSSetSymbolicHotKeyEnabled")
    // No lock and no allocation: the restore guard calls this from a signal handler.
    return fn::CGSSetSymbolicHotKeyEnabled([this](int32_t hotkey, bool on) {
      if (hotkey < 0 || static_cast<size_t>(hotkey) >= symbolic_.size()) return CG_ERROR_FAILURE;
      symbolic_[static_cast<size_t>(hotkey)].store(on ? 2 : 1);
      char line[24] = "symbolic ";
      size_t n = 9;
      char digits[4];
      size_t d = 0;
      for (int v = hotkey; d == 0 || v > 0; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
      while (d > 0) line[n++] = digits[--d];
      line[n++] = ' ';
      line[n++] = on ? '1' : '0';
      line[n++] = '\n';
      trace(std::string_view(line, n));
      return int32_t{0};
    });
  if (name == "GetProcessForPID")
    return fn::GetProcessForPID([this](Pid pid, Psn& psn) {
      std::lock_guard lock(mu_);
      if (!app_locked(pid)) return PROC_NOT_FOUND;
      psn = Psn{0, static_cast<uint32_t>(pid)};
      return int32_t{0};
    });
  if (name == "GetProcessPID")
    return fn::GetProcessPID([this, pid_of](const Psn& psn, Pid& pid) {
      std::lock_guard lock(mu_);
      auto p = pid_of(psn);
      if (!p) return PROC_NOT_FOUND;
      pid = *p;
      return int32_t{0};
    });
  if (name == "_SLPSGetFrontProcess")
    return fn::_SLPSGetFrontProcess([this](Psn& psn) {
      std::lock_guard lock(mu_);
      if (d_.faults.front_process_fails || !d_.front) return PROC_NOT_FOUND;
      psn = Psn{0, static_cast<uint32_t>(*d_.front)};
      return int32_t{0};
    });
  if (name == "_SLPSSetFrontProcessWithOptions")
    return fn::_SLPSSetFrontProcessWithOptions([this, pid_of](const Psn& psn, Wid wid, uint32_t) {
      return change([&](Outbox& out) {
        auto pid = pid_of(psn);
        if (!pid) return PROC_NOT_FOUND;
        App* a = app_locked(*pid);
        if (Window* w = window_locked(wid); w && w->pid == *pid) {
          auto it = std::find_if(d_.windows.begin(), d_.windows.end(), [wid](const Window& x) { return x.wid == wid; });
          std::rotate(d_.windows.begin(), it, it + 1);
        }
        if (a->hidden) hide_locked(out, *pid, false);
        if (d_.front != *pid) activate_locked(out, *pid);
        return int32_t{0};
      });
    });
  if (name == "SLPSPostEventRecordTo")
    return fn::SLPSPostEventRecordTo([this, pid_of](const Psn& psn, const EventRecord& rec) {
      return change([&](Outbox& out) {
        auto pid = pid_of(psn);
        if (!pid) return PROC_NOT_FOUND;
        Wid wid = 0;
        std::memcpy(&wid, rec.data() + 0x3C, sizeof wid);
        journal_.event_records.emplace_back(*pid, wid);
        // The second record (byte 8 = 2) completes the key-window request.
        Window* w = window_locked(wid);
        if (rec[8] == 0x02 && w && w->pid == *pid) {
          App* a = app_locked(*pid);
          if (!a->ignores_event_records && a->focused != wid) {
            a->focused = wid;
            hub_.ax_note(out, *pid, element_of(*w), ax::FOCUSED_WINDOW_CHANGED);
          }
        }
        return int32_t{0};
      });
    });
  if (name == "_AXUIElementGetWindow")
    return fn::_AXUIElementGetWindow([this](const AxElement& e, Wid& wid) {
      std::unique_lock lock(mu_);
      App* a = ax_target_locked(lock, e.pid);
      if (!a) return ax_error::INVALID_ELEMENT;
      if (a->hung) return ax_error::CANNOT_COMPLETE;
      // A title-bar button answers the window it belongs to.
      Window* w = window_of_element_locked(AxElement{e.pid, e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON)});
      if (!w) return ax_error::INVALID_ELEMENT;
      wid = w->wid;
      return ax_error::SUCCESS;
    });
  if (name == "_AXUIElementCreateWithRemoteToken")
    return fn::_AXUIElementCreateWithRemoteToken([this](const RemoteToken& t) -> std::optional<AxElement> {
      static constexpr uint8_t MAGIC[4] = {0x6F, 0x63, 0x6F, 0x63};
      if (std::memcmp(t.data() + 8, MAGIC, 4) != 0) return std::nullopt;
      int32_t pid = 0;
      uint64_t number = 0;
      std::memcpy(&pid, t.data(), 4);
      std::memcpy(&number, t.data() + 12, 8);
      std::lock_guard lock(mu_);
      auto& runs = journal_.remote_tokens;
      if (!runs.empty() && runs.back().pid == pid && runs.back().last + 1 == number) runs.back().last = number;
      else runs.push_back({pid, number, number});
      if (Window* w = window_of_element_locked(AxElement{pid, number})) return element_of(*w);
      return std::nullopt;
    });
  if (auto registration = hub_.symbol(name); registration.has_value()) return registration;
  if (name == "SLSRequestNotificationsForWindows")
    return fn::SLSRequestNotificationsForWindows([this](Cid, const std::vector<Wid>& wids) {
      std::lock_guard lock(mu_);
      hub_.request_windows(wids);
      journal_.notification_requests.push_back(wids);
      return int32_t{0};
    });
  if (name == "SLSGetWindowBounds")
    return fn::SLSGetWindowBounds([this](Cid, Wid wid, Rect& r) {
      std::lock_guard lock(mu_);
      Window* w = window_locked(wid);
      if (!w) return CG_ERROR_FAILURE;
      r = w->bounds;
      return int32_t{0};
    });
  if (name == "SLSWindowQueryWindows")
    return fn::SLSWindowQueryWindows([](Cid, const Value& wids, int32_t count) -> std::optional<WindowQuery> {
      const Array* a = wids.array();
      if (!a || count < 0) return std::nullopt;
      WindowQuery q;
      for (size_t i = 0; i < a->size() && i < static_cast<size_t>(count); ++i)
        if (const Number* n = (*a)[i].number()) q.wids.push_back(static_cast<Wid>(n->as_int64()));
      return q;
    });
  if (name == "SLSWindowQueryResultCopyWindows")
    return fn::SLSWindowQueryResultCopyWindows([this](const WindowQuery& q) -> std::optional<WindowIterator> {
      std::lock_guard lock(mu_);
      WindowIterator it;
      for (Wid wid : q.wids)
        if (window_locked(wid)) it.wids.push_back(wid);
      return it;
    });
  if (name == "SLSWindowIteratorAdvance")
    return fn::SLSWindowIteratorAdvance([](WindowIterator& it) {
      if (it.next >= it.wids.size()) return false;
      ++it.next;
      return true;
    });
  // The iterator getters read the current window; before the first advance they read nothing.
  auto current = [this](const WindowIterator& it) -> Window* {
    return it.next == 0 || it.next > it.wids.size() ? nullptr : window_locked(it.wids[it.next - 1]);
  };
  if (name == "SLSWindowIteratorGetTags")
    return fn::SLSWindowIteratorGetTags([this, current](const WindowIterator& it) {
      std::lock_guard lock(mu_);
      Window* w = current(it);
      return w ? w->tags : uint64_t{0};
    });
  if (name == "SLSWindowIteratorGetAttributes")
    return fn::SLSWindowIteratorGetAttributes([this, current](const WindowIterator& it) {
      std::lock_guard lock(mu_);
      Window* w = current(it);
      return w ? w->attributes : uint32_t{0};
    });
  if (name == "SLSWindowIteratorGetParentID")
    return fn::SLSWindowIteratorGetParentID([this, current](const WindowIterator& it) {
      std::lock_guard lock(mu_);
      Window* w = current(it);
      return w ? w->parent : Wid{0};
    });
  if (name == "SLSWindowIteratorGetResolvedCornerRadii")
    return fn::SLSWindowIteratorGetResolvedCornerRadii([this, current](const WindowIterator& it) -> std::optional<Value> {
      std::lock_guard lock(mu_);
      Window* w = current(it);
      if (!w) return std::nullopt;
      Array radii;
      if (w->corner_radius) radii.assign(4, Value(*w->corner_radius));
      return Value(std::move(radii));
    });
  if (name == "SLSCopySpacesForWindows")
    return fn::SLSCopySpacesForWindows([this](Cid, uint32_t, const Value& wids) -> std::optional<Value> {
      const Array* a = wids.array();
      if (!a) return std::nullopt;
      std::lock_guard lock(mu_);
      Array out;
      for (const Value& v : *a)
        if (const Number* n = v.number())
          if (Window* w = window_locked(static_cast<Wid>(n->as_int64())))
            for (SpaceId s : w->spaces)
              if (std::find(out.begin(), out.end(), Value(static_cast<int64_t>(s))) == out.end())
                out.push_back(Value(static_cast<int64_t>(s)));
      return Value(std::move(out));
    });
  if (name == "SLSMoveWindowsToManagedSpace")
    return fn::SLSMoveWindowsToManagedSpace([this](Cid, const Value& wids, SpaceId space) {
      const Array* a = wids.array();
      if (!a) return;
      std::lock_guard lock(mu_);
      for (const Value& v : *a)
        if (const Number* n = v.number()) {
          const Wid wid = static_cast<Wid>(n->as_int64());
          if (Window* w = window_locked(wid)) w->spaces = {space};
          else journal_.own_spaces[wid] = space;
        }
    });
  if (name == "SLSSetWindowTags")
    return fn::SLSSetWindowTags([this](Cid, Wid wid, uint64_t tags, int32_t) {
      std::lock_guard lock(mu_);
      journal_.window_tags[wid] |= tags;
      return int32_t{0};
    });
  if (name == "SACLockScreenImmediate")
    return fn::SACLockScreenImmediate([this] {
      std::lock_guard lock(mu_);
      journal_.screen_locked = true;
      return int32_t{0};
    });
  if (name == "CoreDockSendNotification")
    return fn::CoreDockSendNotification([this](const std::string& n, int32_t arg) {
      std::lock_guard lock(mu_);
      journal_.dock_notifications.emplace_back(n, arg);
      return int32_t{0};
    });
  return {};
}

// ---------------------------------------------------------------- screens and pointer

std::vector<Screen> Sim::screens() {
  std::lock_guard lock(mu_);
  std::vector<Screen> out;
  if (d_.displays.empty()) return out;
  const double h = d_.displays.front().frame.h;
  auto flip = [h](const Rect& r) { return Rect{r.x, h - r.y - r.h, r.w, r.h}; };
  for (const Display& d : d_.displays) out.push_back(Screen{d.id, flip(d.frame), flip(d.visible), d.scale});
  return out;
}

Point Sim::pointer() {
  std::lock_guard lock(mu_);
  const double h = d_.displays.empty() ? 0 : d_.displays.front().frame.h;
  return Point{d_.pointer.x, h - d_.pointer.y};
}

bool Sim::warp_pointer(Point ws) {
  std::lock_guard lock(mu_);
  d_.pointer = ws;
  return true;
}

uint32_t Sim::mouse_buttons() {
  std::lock_guard lock(mu_);
  return d_.mouse_buttons;
}

// ---------------------------------------------------------------- workspace

std::vector<AppInfo> Sim::running_apps() {
  std::lock_guard lock(mu_);
  std::vector<AppInfo> out;
  for (const App& a : d_.apps) out.push_back(info_locked(a));
  return out;
}

std::optional<AppInfo> Sim::running_app(Pid pid) {
  std::lock_guard lock(mu_);
  if (App* a = app_locked(pid)) return info_locked(*a);
  return std::nullopt;
}

std::optional<Pid> Sim::workspace_frontmost() {
  std::lock_guard lock(mu_);
  if (d_.front && app_locked(*d_.front)) return d_.front;
  return std::nullopt;
}

bool Sim::app_hide(Pid pid) {
  return change([&](Outbox& out) {
    if (!app_locked(pid)) return false;
    hide_locked(out, pid, true);
      return true;
  });
}

bool Sim::app_unhide(Pid pid) {
  return change([&](Outbox& out) {
    if (!app_locked(pid)) return false;
    hide_locked(out, pid, false);
      return true;
  });
}

bool Sim::app_activate(Pid pid) {
  return change([&](Outbox& out) {
    App* a = app_locked(pid);
    if (!a || a->policy == Policy::Prohibited) return false;
    if (d_.front != pid) activate_locked(out, pid);
      return true;
  });
}

bool Sim::app_terminate(Pid pid) {
  return change([&](Outbox& out) {
    if (!app_locked(pid)) return false;
    terminate_locked(out, pid);
      return true;
  });
}

std::optional<Image> Sim::app_icon(Pid pid) {
  std::lock_guard lock(mu_);
  App* a = app_locked(pid);
  if (!a || !a->icon) return std::nullopt;
  return solid(32, 32, *a->icon);
}

uint64_t Sim::workspace_observe(std::string_view name, WorkspaceCallback callback) {
  return hub_.workspace_observe(name, std::move(callback));
}

void Sim::workspace_unobserve(uint64_t token) {
  hub_.workspace_unobserve(token);
}

// Opening an installed application that is not running launches it with the next free pid.
bool Sim::open_url(std::string_view url) {
  return change([&](Outbox& out) {
    journal_.opened_urls.emplace_back(url);
    for (const InstalledApp& i : d_.installed) {
      if (i.path != url) continue;
      if (std::any_of(d_.apps.begin(), d_.apps.end(), [&](const App& a) { return a.bundle_id == i.bundle_id; })) break;
      Pid pid = 1000;
      for (const App& a : d_.apps) pid = std::max(pid, a.pid + 1);
      App launched;
      launched.pid = pid;
      launched.name = i.name;
      launched.bundle_id = i.bundle_id;
      launched.bundle_path = i.path;
      d_.apps.push_back(std::move(launched));
      hub_.workspace_note(out, note::LAUNCHED, info_locked(d_.apps.back()));
      activate_locked(out, pid);
      break;
    }
      return true;
  });
}

std::optional<std::string> Sim::app_path_for_bundle_id(std::string_view bundle_id) {
  std::lock_guard lock(mu_);
  for (const InstalledApp& i : d_.installed)
    if (i.bundle_id == bundle_id) return i.path;
  for (const App& a : d_.apps)
    if (a.bundle_id == bundle_id && a.bundle_path) return a.bundle_path;
  return std::nullopt;
}

std::optional<std::string> Sim::bundle_id_for_path(std::string_view path) {
  std::lock_guard lock(mu_);
  for (const InstalledApp& i : d_.installed)
    if (i.path == path) return i.bundle_id;
  for (const App& a : d_.apps)
    if (a.bundle_path == path && a.bundle_id) return a.bundle_id;
  return std::nullopt;
}

std::vector<InstalledApp> Sim::installed_apps() {
  std::lock_guard lock(mu_);
  return d_.installed;
}

// ---------------------------------------------------------------- accessibility

bool Sim::ax_trusted(bool prompt) {
  std::lock_guard lock(mu_);
  if (prompt && !d_.ax_trusted) ++journal_.ax_prompts;
  return d_.ax_trusted;
}

AxElement Sim::ax_app(Pid pid) { return AxElement{pid, 0, 0}; }
AxElement Sim::ax_system_wide() { return AxElement{-1, 0, 0}; }

void Sim::ax_set_timeout(AxElement& element, float seconds) {
  if (element.pid == -1) {
    std::lock_guard lock(mu_);
    default_timeout_ = seconds;
  }
  element.timeout = seconds;
}

AxResult<Value> Sim::ax_copy(const AxElement& e, std::string_view attribute) {
  journal_ax_call(e.pid, attribute);
  using R = AxResult<Value>;
  std::unique_lock lock(mu_);
  App* a = ax_target_locked(lock, e.pid);
  if (!a) return R::fail(ax_error::INVALID_ELEMENT);
  if (a->hung) return R::fail(ax_error::CANNOT_COMPLETE);
  if (e.id & DOCK_LIST) return dock_copy_locked(*a, e.id, attribute);
  if (e.id == 0) {  // application element
    if (attribute == ax::CHILDREN && !a->dock_items.empty()) return Value(Array{Value(AxElement{e.pid, DOCK_LIST})});
    if (attribute == ax::WINDOWS) {
      Array list;
      for (const Window& w : d_.windows)
        if (w.pid == e.pid && ax_listed_locked(w)) list.push_back(Value(element_of(w)));
      return Value(std::move(list));
    }
    if (attribute == ax::FOCUSED_WINDOW) {
      if (!a->focused) return R::fail(ax_error::NO_VALUE);
      if (Window* w = window_locked(*a->focused)) return Value(element_of(*w));
      return R::fail(ax_error::NO_VALUE);
    }
    if (attribute == ax::TITLE) return a->name ? R(Value(*a->name)) : R::fail(ax_error::NO_VALUE);
    if (attribute == ax::ROLE) return Value("AXApplication");
    return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
  }
  const uint64_t button = e.id & (CLOSE_BUTTON | MINIMIZE_BUTTON);
  Window* w = window_of_element_locked(AxElement{e.pid, e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON)});
  if (!w) return R::fail(ax_error::INVALID_ELEMENT);
  if (button) {
    if (attribute == ax::ROLE) return Value("AXButton");
    if (attribute == ax::SUBROLE) return Value(button == CLOSE_BUTTON ? ax::CLOSE_BUTTON_SUBROLE : ax::MINIMIZE_BUTTON_SUBROLE);
    return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
  }
  if (attribute == ax::TITLE) return Value(w->title);
  if (attribute == ax::ROLE) return Value(ax::WINDOW_ROLE);
  if (attribute == ax::SUBROLE) return w->subrole ? R(Value(*w->subrole)) : R::fail(ax_error::NO_VALUE);
  if (attribute == ax::MINIMIZED) return Value(w->minimized);
  if (attribute == ax::FULLSCREEN) return Value(w->fullscreen);
  if (attribute == ax::MAIN) return Value(a->focused == w->wid);
  if (attribute == ax::CLOSE_BUTTON) return Value(AxElement{e.pid, e.id | CLOSE_BUTTON});
  return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
}

int32_t Sim::ax_set(const AxElement& e, std::string_view attribute, const Value& value) {
  journal_ax_call(e.pid, attribute);
  {
    std::unique_lock lock(mu_);
    ax_target_locked(lock, e.pid);  // waits out a hold
  }
  return change([&](Outbox& out) -> int32_t {
    App* a = app_locked(e.pid);
    Window* w = e.id ? window_of_element_locked(e) : nullptr;
    const bool* on = value.boolean();
    if (!a || (e.id && !w)) return ax_error::INVALID_ELEMENT;
    if (a->hung) return ax_error::CANNOT_COMPLETE;
    if (!w || (attribute != ax::MINIMIZED && attribute != ax::FULLSCREEN && attribute != ax::MAIN))
      return ax_error::ATTRIBUTE_UNSUPPORTED;
    if (!on) return ax_error::ILLEGAL_ARGUMENT;
    if (attribute == ax::MINIMIZED) {
      set_minimized_locked(out, *w, *on);
    } else if (attribute == ax::FULLSCREEN) {
      if (w->fullscreen != *on) {
        w->fullscreen = *on;
        hub_.ax_note(out, w->pid, element_of(*w), ax::WINDOW_RESIZED);
      }
    } else if (*on && a->focused != w->wid) {  // AXMain
      a->focused = w->wid;
      hub_.ax_note(out, w->pid, element_of(*w), ax::MAIN_WINDOW_CHANGED);
    }
    return ax_error::SUCCESS;
  });
}

int32_t Sim::ax_perform(const AxElement& e, std::string_view action) {
  journal_ax_call(e.pid, action);
  enum class Do { Close, Minimize, Raise } what;
  Wid wid = 0;
  {
    std::unique_lock lock(mu_);
    App* a = ax_target_locked(lock, e.pid);
    if (!a) return ax_error::INVALID_ELEMENT;
    if (a->hung) return ax_error::CANNOT_COMPLETE;
    const uint64_t button = e.id & (CLOSE_BUTTON | MINIMIZE_BUTTON);
    Window* w = window_of_element_locked(AxElement{e.pid, e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON)});
    if (!w || e.id == 0) return ax_error::ACTION_UNSUPPORTED;
    if (button == CLOSE_BUTTON && action == ax::PRESS) what = Do::Close;
    else if (button == MINIMIZE_BUTTON && action == ax::PRESS) what = Do::Minimize;
    else if (!button && action == ax::RAISE) what = Do::Raise;
    else return ax_error::ACTION_UNSUPPORTED;
    wid = w->wid;
  }
  switch (what) {
    case Do::Close: destroy_window(wid); break;
    case Do::Minimize: set_minimized(wid, true); break;
    case Do::Raise: raise(wid); break;
  }
  return ax_error::SUCCESS;
}

void Sim::journal_ax_call(Pid pid, std::string_view name) {
  std::lock_guard lock(mu_);
  journal_.ax_calls.emplace_back(pid, std::string(name));
}

// Title-bar buttons sit at the window's top left: close at (7..21, 3..17), minimise 20 points
// to the right of it, in window-relative points.
AxResult<AxElement> Sim::ax_element_at(const AxElement& app, Point p) {
  using R = AxResult<AxElement>;
  std::unique_lock lock(mu_);
  App* a = ax_target_locked(lock, app.pid);
  if (!a) return R::fail(ax_error::INVALID_ELEMENT);
  if (a->hung) return R::fail(ax_error::CANNOT_COMPLETE);
  for (const Window& w : d_.windows) {
    if (!onscreen_locked(w) || !contains(w.bounds, p)) continue;
    if (w.pid != app.pid) return R::fail(ax_error::NO_VALUE);  // another application's window is on top
    const AxElement el = element_of(w);
    const double dx = p.x - w.bounds.x, dy = p.y - w.bounds.y;
    if (dy >= 3 && dy < 17 && dx >= 7 && dx < 21) return AxElement{el.pid, el.id | CLOSE_BUTTON};
    if (dy >= 3 && dy < 17 && dx >= 27 && dx < 41) return AxElement{el.pid, el.id | MINIMIZE_BUTTON};
    return el;
  }
  return R::fail(ax_error::NO_VALUE);
}

AxResult<AxObserverId> Sim::ax_observer_create(Pid pid, AxCallback callback) {
  std::lock_guard lock(mu_);
  if (!app_locked(pid)) return AxResult<AxObserverId>::fail(ax_error::INVALID_ELEMENT);
  return hub_.ax_create(pid, std::move(callback));
}

int32_t Sim::ax_observer_add(AxObserverId observer, const AxElement& element, std::string_view notification,
                             int64_t context) {
  std::unique_lock lock(mu_);
  App* a = ax_target_locked(lock, element.pid);
  const std::optional<Pid> owner = hub_.ax_owner(observer);
  if (!owner) return ax_error::INVALID_OBSERVER;
  if (!a || element.pid != *owner) return ax_error::INVALID_ELEMENT;
  if (a->hung) return ax_error::CANNOT_COMPLETE;
  auto scripted = a->register_errors.find(std::string(notification));
  if (scripted == a->register_errors.end()) return hub_.ax_add(observer, element, notification, context);
  // A scripted "already registered" still registers (the platform's quirk); other errors do not.
  if (scripted->second == ax_error::ALREADY_REGISTERED) {
    hub_.ax_add(observer, element, notification, context);
    return ax_error::ALREADY_REGISTERED;
  }
  return hub_.ax_registered(observer, element, notification) ? ax_error::ALREADY_REGISTERED : scripted->second;
}

void Sim::ax_observer_schedule(AxObserverId observer, Dispatch dispatch) {
  hub_.ax_schedule(observer, std::move(dispatch));
}

void Sim::ax_observer_release(AxObserverId observer) {
  hub_.ax_release(observer);
}

// ---------------------------------------------------------------- accessibility scripting

App* Sim::ax_target_locked(std::unique_lock<std::mutex>& lock, Pid pid) {
  if (held_.count(pid)) {
    ++blocked_[pid];
    held_cv_.notify_all();
    held_cv_.wait(lock, [&] { return !held_.count(pid) || closing_; });
    --blocked_[pid];
  }
  return app_locked(pid);
}

// The Dock's list answers its items as children; each item its title, subrole and badge.
AxResult<Value> Sim::dock_copy_locked(const App& a, uint64_t id, std::string_view attribute) const {
  using R = AxResult<Value>;
  const uint64_t index = id & ~DOCK_LIST;
  if (index == 0) {
    if (attribute != ax::CHILDREN) return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
    Array items;
    for (size_t i = 0; i < a.dock_items.size(); ++i) items.push_back(Value(AxElement{a.pid, DOCK_LIST | (i + 1)}));
    return Value(std::move(items));
  }
  if (index > a.dock_items.size()) return R::fail(ax_error::INVALID_ELEMENT);
  const DockItem& item = a.dock_items[index - 1];
  if (attribute == ax::TITLE) return Value(item.title);
  if (attribute == ax::SUBROLE) return Value(item.subrole);
  if (attribute == ax::ROLE) return Value("AXDockItem");
  if (attribute == ax::STATUS_LABEL) return item.badge ? R(Value(*item.badge)) : R::fail(ax_error::NO_VALUE);
  return R::fail(ax_error::ATTRIBUTE_UNSUPPORTED);
}

void Sim::clear_journal() {
  std::lock_guard lock(mu_);
  journal_ = Journal{};
}

void Sim::set_hung(Pid pid, bool hung) {
  std::lock_guard lock(mu_);
  if (App* a = app_locked(pid)) a->hung = hung;
}

void Sim::hold(Pid pid) {
  std::lock_guard lock(mu_);
  held_.insert(pid);
}

void Sim::release(Pid pid) {
  std::lock_guard lock(mu_);
  held_.erase(pid);
  held_cv_.notify_all();
}

void Sim::wait_held(Pid pid) {
  std::unique_lock lock(mu_);
  held_cv_.wait(lock, [&] { return blocked_[pid] > 0; });
}

void Sim::expose(Pid dock, const char* notification) {
  Outbox out;
  {
    std::lock_guard lock(mu_);
    if (app_locked(dock)) hub_.ax_note(out, dock, AxElement{dock, 0}, notification);
  }
  flush(out);
}

// ---------------------------------------------------------------- hot keys and the tap

int32_t Sim::hotkey_install_handler(HotKeyHandler handler) {
  std::lock_guard lock(mu_);
  if (hotkey_handler_status_ != 0) return hotkey_handler_status_;
  hotkey_handler_ = std::move(handler);
  return 0;
}

int32_t Sim::hotkey_register(uint32_t keycode, uint32_t modifiers, HotKeyId id, HotKeyRef& out) {
  std::lock_guard lock(mu_);
  if (keycode > 0x7F) return HOTKEY_INVALID;
  if (auto f = hotkey_failures_.find({keycode, modifiers}); f != hotkey_failures_.end()) return f->second;
  for (const auto& [ref, entry] : hotkeys_)
    if (entry.first == std::pair{keycode, modifiers}) return HOTKEY_EXISTS;
  out = next_token_++;
  hotkeys_[out] = {{keycode, modifiers}, id};
  return 0;
}

int32_t Sim::hotkey_unregister(HotKeyRef ref) {
  std::lock_guard lock(mu_);
  return hotkeys_.erase(ref) ? 0 : HOTKEY_INVALID;
}

void Sim::press_hotkey(uint32_t keycode, uint32_t modifiers) {
  std::lock_guard lock(mu_);
  if (!hotkey_handler_) return;
  for (const auto& [ref, entry] : hotkeys_)
    if (entry.first == std::pair{keycode, modifiers}) {
      HotKeyHandler h = hotkey_handler_;
      HotKeyId id = entry.second;
      queue_.post([h, id] { h(id); });
    }
}

std::optional<TapId> Sim::tap_create(uint64_t, TapCallback callback) {
  std::lock_guard lock(mu_);
  if (!d_.ax_trusted || tap_callback_) return std::nullopt;  // one tap per process
  tap_callback_ = std::move(callback);
  tap_on_ = true;
  return TapId{1};
}

void Sim::tap_run(TapId) {
  using std::chrono::steady_clock;
  std::unique_lock lock(mu_);
  tap_running_ = true;
  while (!closing_) {
    if (!tap_events_.empty()) {
      TapEvent e = tap_events_.front();
      tap_events_.pop_front();
      // The platform tells a disabled tap that it was disabled; nothing else reaches it.
      const bool note = e.type == TapType::DisabledByTimeout || e.type == TapType::DisabledByUserInput;
      if (!tap_on_ && !note) {
        deliver_locked(e);
        continue;
      }
      TapCallback cb = tap_callback_;
      tap_busy_ = true;
      lock.unlock();
      std::optional<TapEvent> passed = cb(e);
      lock.lock();
      tap_busy_ = false;
      if (passed && !note) deliver_locked(*passed);
      continue;
    }
    auto due = std::min_element(tap_timers_.begin(), tap_timers_.end(),
                                [](const TapTimer& a, const TapTimer& b) { return a.due < b.due; });
    const auto limit = tap_now_ ? tap_until_ : steady_clock::now();
    if (due != tap_timers_.end() && due->due <= limit) {
      if (tap_now_) tap_now_ = std::max(*tap_now_, due->due);
      Task t = std::move(due->task);
      tap_timers_.erase(due);
      tap_busy_ = true;
      lock.unlock();
      t();
      lock.lock();
      tap_busy_ = false;
      continue;
    }
    if (tap_now_) tap_now_ = tap_until_;
    tap_wake_.notify_all();  // idle: wake tap_wait_idle
    if (due == tap_timers_.end() || tap_now_) tap_wake_.wait(lock);
    else tap_wake_.wait_until(lock, due->due);
  }
  tap_running_ = false;
  tap_wake_.notify_all();
}

// Tap timers run in real time unless the test moved the tap to virtual time: the tap thread
// is a real thread with a run loop of its own.
void Sim::tap_post_after(TapId, Duration delay, Task task) {
  std::lock_guard lock(mu_);
  const auto now = tap_now_ ? *tap_now_ : std::chrono::steady_clock::now();
  tap_timers_.push_back(TapTimer{now + std::max(delay, Duration::zero()), std::move(task)});
  tap_wake_.notify_all();
}

void Sim::tap_enable(TapId, bool on) {
  std::lock_guard lock(mu_);
  if (on && tap_refusals_ > 0) {
    --tap_refusals_;
    return;
  }
  tap_on_ = on;
}

bool Sim::tap_enabled(TapId) {
  std::lock_guard lock(mu_);
  return tap_on_;
}

void Sim::type(const TapEvent& event) {
  std::lock_guard lock(mu_);
  if (!tap_callback_) {  // no tap in the system
    deliver_locked(event);
    return;
  }
  tap_events_.push_back(event);
  tap_wake_.notify_all();
}

void Sim::post_key(const TapEvent& event) {
  std::lock_guard lock(mu_);
  journal_.posted_keys.push_back(event);
}

uint64_t Sim::modifier_flags() {
  std::lock_guard lock(mu_);
  return d_.modifier_flags;
}

bool Sim::secure_input() {
  std::lock_guard lock(mu_);
  return secure_input_;
}

KeyRepeat Sim::key_repeat() {
  std::lock_guard lock(mu_);
  return key_repeat_;
}

// ---------------------------------------------------------------- keys and the tap: test controls

void Sim::deliver_locked(const TapEvent& e) {
  if (e.type == TapType::KeyDown) {
    const uint32_t mask = keys::carbon_mask(e.flags);
    for (const auto& [ref, entry] : hotkeys_)
      if (entry.first == std::pair<uint32_t, uint32_t>{e.keycode, mask}) {
        if (hotkey_handler_) queue_.post([h = hotkey_handler_, id = entry.second] { h(id); });
        return;
      }
    const uint64_t mods = e.flags & keys::FLAGS_ALL;
    const size_t symbolic = mods == keys::FLAG_COMMAND ? 1 : mods == (keys::FLAG_COMMAND | keys::FLAG_SHIFT) ? 2 : 0;
    if (e.keycode == keys::TAB && symbolic && symbolic_[symbolic].load() != 1) {
      ++journal_.system_switcher;
      return;
    }
  }
  journal_.passed.push_back(e);
}

std::vector<Sim::HotKey> Sim::hotkeys() const {
  std::lock_guard lock(mu_);
  std::vector<HotKey> out;
  for (const auto& [ref, entry] : hotkeys_) out.push_back(HotKey{entry.first.first, entry.first.second, entry.second});
  return out;
}

void Sim::fail_hotkey(uint32_t keycode, uint32_t modifiers, int32_t status) {
  std::lock_guard lock(mu_);
  if (status == 0) hotkey_failures_.erase({keycode, modifiers});
  else hotkey_failures_[{keycode, modifiers}] = status;
}

void Sim::set_hotkey_handler_status(int32_t status) {
  std::lock_guard lock(mu_);
  hotkey_handler_status_ = status;
}

void Sim::set_secure_input(bool on) {
  std::lock_guard lock(mu_);
  secure_input_ = on;
}

void Sim::set_modifier_flags(uint64_t flags) {
  std::lock_guard lock(mu_);
  d_.modifier_flags = flags;
}

void Sim::set_key_repeat(KeyRepeat repeat) {
  std::lock_guard lock(mu_);
  key_repeat_ = repeat;
}

void Sim::disable_tap(TapType reason, int refusals) {
  std::lock_guard lock(mu_);
  tap_on_ = false;
  tap_refusals_ = refusals;
  TapEvent e;
  e.type = reason;
  tap_events_.push_back(e);
  tap_wake_.notify_all();
}

void Sim::tap_virtual_time() {
  std::lock_guard lock(mu_);
  if (!tap_now_) tap_now_ = tap_until_ = std::chrono::steady_clock::now();
}

bool Sim::tap_idle_locked() const {
  if (closing_ || !tap_callback_) return true;
  if (!tap_running_ || tap_busy_ || !tap_events_.empty()) return false;
  if (!tap_now_) return true;
  if (*tap_now_ != tap_until_) return false;
  return std::none_of(tap_timers_.begin(), tap_timers_.end(), [&](const TapTimer& t) { return t.due <= tap_until_; });
}

void Sim::tap_advance(Duration by) {
  std::unique_lock lock(mu_);
  if (!tap_now_) return;
  tap_wake_.wait(lock, [&] { return tap_idle_locked(); });
  tap_until_ = *tap_now_ + std::max(by, Duration::zero());
  tap_wake_.notify_all();
  tap_wake_.wait(lock, [&] { return tap_idle_locked(); });
}

void Sim::tap_wait_idle() {
  std::unique_lock lock(mu_);
  tap_wake_.wait(lock, [&] { return tap_idle_locked(); });
}

void Sim::set_trace_fd(int fd) { trace_fd_.store(fd); }

void Sim::trace(std::string_view line) const {
  const int fd = trace_fd_.load();
  while (fd >= 0 && !line.empty()) {
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<size_t>(n));
  }
}

void Sim::set_key_mapping(std::optional<KeyMapping> mapping) {
  std::lock_guard lock(mu_);
  key_mapping_ = std::move(mapping);
}

std::optional<Sim::KeyMapping> Sim::key_mapping() const {
  std::lock_guard lock(mu_);
  return key_mapping_;
}

// The key-mapping tool's two commands, printed the way the tool prints a property list.
std::optional<std::string> Sim::hidutil_locked(const std::vector<std::string>& args) {
  if (!key_mapping_) return std::nullopt;
  if (args.size() == 3 && args[0] == "property" && args[1] == "--get" && args[2] == "UserKeyMapping") {
    if (key_mapping_->empty()) return std::string("(null)\n");
    std::string out = "(\n";
    for (size_t i = 0; i < key_mapping_->size(); ++i) {
      const auto& [src, dst] = (*key_mapping_)[i];
      out += "        {\n        HIDKeyboardModifierMappingDst = " + std::to_string(dst) +
             ";\n        HIDKeyboardModifierMappingSrc = " + std::to_string(src) + ";\n    }";
      out += i + 1 < key_mapping_->size() ? ",\n" : "\n";
    }
    return out + ")\n";
  }
  if (args.size() == 3 && args[0] == "property" && args[1] == "--set") {
    const auto j = nlohmann::json::parse(args[2], nullptr, false);
    const auto list = j.is_object() && j.contains("UserKeyMapping") ? j["UserKeyMapping"] : nlohmann::json();
    if (!list.is_array()) return std::string("Invalid property\n");
    KeyMapping next;
    for (const auto& p : list) {
      if (!p.is_object() || !p.contains("HIDKeyboardModifierMappingSrc") || !p.contains("HIDKeyboardModifierMappingDst"))
        return std::string("Invalid property\n");
      const auto& src = p["HIDKeyboardModifierMappingSrc"];
      const auto& dst = p["HIDKeyboardModifierMappingDst"];
      if (!src.is_number_unsigned() || !dst.is_number_unsigned()) return std::string("Invalid property\n");
      next.emplace_back(src.get<uint64_t>(), dst.get<uint64_t>());
    }
    key_mapping_ = std::move(next);
    return std::string("UserKeyMapping:\n");
  }
  return std::string("Unknown command\n");
}

// ---------------------------------------------------------------- capture
// The sim has no pixels: a captured window is a solid image in its application's icon colour
// (grey without one), so callers can check sizes, routing and failures.

bool Sim::capture_preflight() {
  std::lock_guard lock(mu_);
  return d_.capture_allowed;
}

bool Sim::capture_request() {
  std::lock_guard lock(mu_);
  ++journal_.capture_requests;
  return d_.capture_allowed;
}

void Sim::shareable_content(bool exclude_desktop, bool onscreen_only, std::function<void(ContentResult)> done) {
  ContentResult r;
  {
    std::lock_guard lock(mu_);
    if (!d_.capture_allowed) {
      r.error = "The user declined TCCs for application, window, display capture";
    } else {
      ShareableContent c;
      for (const Window& w : d_.windows)
        if (!(exclude_desktop && w.desktop) && !(onscreen_only && !onscreen_locked(w)))
          c.windows.push_back(ShareableWindow{w.wid, w.bounds, w.layer});
      for (const Display& d : d_.displays) c.displays.push_back(ShareableDisplay{d.id, d.frame.w, d.frame.h});
      r.content = std::move(c);
    }
  }
  on_backend_thread([&] { done(std::move(r)); });
}

void Sim::capture_window(Wid wid, int width, int height, std::function<void(CaptureResult)> done) {
  CaptureResult r;
  {
    std::lock_guard lock(mu_);
    Window* w = window_locked(wid);
    if (!d_.capture_allowed) r.error = CAPTURE_DECLINED;
    else if (!w || width < 1 || height < 1) r.error = CAPTURE_NO_WINDOW;
    else {
      App* a = app_locked(w->pid);
      r.image = solid(width, height, a && a->icon ? *a->icon : 0xFF808080u);
    }
  }
  on_backend_thread([&] { done(std::move(r)); });
}

void Sim::capture_display(uint32_t display, std::vector<Wid>, int width, int height,
                          std::function<void(CaptureResult)> done) {
  CaptureResult r;
  {
    std::lock_guard lock(mu_);
    const bool known = std::any_of(d_.displays.begin(), d_.displays.end(), [&](const Display& d) { return d.id == display; });
    if (!d_.capture_allowed) r.error = CAPTURE_DECLINED;
    else if (known && width >= 1 && height >= 1) r.image = solid(width, height, 0xFF203040u);
  }
  on_backend_thread([&] { done(std::move(r)); });
}

// ---------------------------------------------------------------- own windows, processes, system

void Sim::own_window_level(Wid own, int32_t level) {
  std::lock_guard lock(mu_);
  journal_.own_levels[own] = level;
}

void Sim::own_window_below(Wid own, Wid target) {
  std::lock_guard lock(mu_);
  journal_.own_below.emplace_back(own, target);
}

Pid Sim::self_pid() {
  std::lock_guard lock(mu_);
  return d_.self_pid.value_or(static_cast<Pid>(::getpid()));
}

// Another instance is an application of the scenario with the same bundle identifier.
std::optional<Pid> Sim::claim_instance(std::string_view bundle_id) {
  std::lock_guard lock(mu_);
  const Pid self = d_.self_pid.value_or(static_cast<Pid>(::getpid()));
  for (const App& a : d_.apps)
    if (a.bundle_id == bundle_id && a.pid != self) return a.pid;
  return std::nullopt;
}

bool Sim::process_exists(Pid pid) {
  std::lock_guard lock(mu_);
  return app_locked(pid) != nullptr || pid == d_.self_pid.value_or(static_cast<Pid>(::getpid()));
}

// Programs are never run: the command goes to the journal (and the trace) and "exits" with
// status 0; the key-mapping tool is emulated over the sim's key mapping.
bool Sim::spawn(const std::string& program, const std::vector<std::string>& args, std::function<void(int)> exited) {
  {
    std::lock_guard lock(mu_);
    std::vector<std::string> cmd{program};
    cmd.insert(cmd.end(), args.begin(), args.end());
    journal_.spawned.push_back(std::move(cmd));
    if (program == "/usr/bin/hidutil") hidutil_locked(args);
  }
  std::string line = "run " + program;
  for (const std::string& a : args) line += " " + a;
  trace(line + "\n");
  if (exited) on_backend_thread([&] { exited(0); });
  return true;
}

// Answers from the scenario's "outputs" table, then the emulated key-mapping tool; any other
// command cannot run.
std::optional<std::string> Sim::run_output(const std::string& program, const std::vector<std::string>& args) {
  std::string key = program;
  for (const std::string& a : args) key += " " + a;
  trace("run " + key + "\n");
  std::lock_guard lock(mu_);
  std::vector<std::string> cmd{program};
  cmd.insert(cmd.end(), args.begin(), args.end());
  journal_.spawned.push_back(cmd);
  if (auto it = d_.outputs.find(key); it != d_.outputs.end()) return it->second;
  if (program == "/usr/bin/hidutil") return hidutil_locked(args);
  return std::nullopt;
}

LoginStatus Sim::login_item_status() {
  std::lock_guard lock(mu_);
  return d_.login;
}

std::optional<std::string> Sim::login_item_set(bool on) {
  std::lock_guard lock(mu_);
  if (d_.login == LoginStatus::NotFound) return std::string("The operation couldn't be completed. (No such file)");
  d_.login = on ? LoginStatus::Enabled : LoginStatus::NotRegistered;
  return std::nullopt;
}

bool Sim::reduce_motion() {
  std::lock_guard lock(mu_);
  return d_.reduce_motion;
}

std::optional<Value> Sim::global_default(std::string_view key) {
  std::lock_guard lock(mu_);
  if (auto it = d_.global_defaults.find(std::string(key)); it != d_.global_defaults.end()) return it->second;
  return std::nullopt;
}

}  // namespace mirvex::sys::sim
