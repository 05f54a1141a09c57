// The application's one State record, owned by the main thread, and the services the spine
// calls in modules that plug into it (accessibility worker, input layer, panel, border,
// capture, status item, settings library).
//
// Exclusive access: every handler (event, timer, callback) reaches the State through
// `with_state`, which holds it for the length of one call. A second `with_state` while one is
// running, a call from another thread, or a call after the slot was emptied is a programming
// error and stops the process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/ax_sched.h"
#include "core/defaults.h"
#include "core/model.h"
#include "core/settings.h"
#include "core/switcher.h"
#include "sys/port.h"

namespace mirvex {

struct State;
class Panel;  // app/panel.h (Qt); the State only holds it

using EventSink = std::function<void(Event)>;
using Badges = std::map<std::string, std::string>;  // Dock item name -> badge label

// Calls into modules that are not part of the spine. An empty member means its module is not
// connected: the spine then skips that step (and its log line), except where a comment names a
// fallback. docs/architecture.md lists which members are connected.
struct Hooks {
  // --- Accessibility worker.
  std::function<void(EventSink)> ax_start;                 // start the worker with the event sink
  std::function<void(AxRequest)> ax_submit;                // Observe, Resolve, CheckFullscreen
  std::function<void(Pid)> ax_forget;
  std::function<void(Pid)> ax_observe_dock;                // observe the Dock for badge changes
  std::function<bool()> ax_trusted_or_prompt;              // fallback: the port's prompting test
  std::function<Badges(Pid dock)> dock_badges;             // runs on a short-lived thread

  // --- Input layer.
  std::function<bool()> input_start;                       // false: no event tap could be made
  std::function<bool()> input_retry_tap;                   // true once the tap exists
  std::function<void(const Settings&)> input_apply;        // (re-)register the hot keys
  std::function<void(bool)> set_ignored;
  std::function<void(bool)> set_untrusted;
  std::function<void(std::optional<Wid>)> set_border_target;
  std::function<void()> register_app_hotkey;
  std::function<void()> install_restore_guards;

  // --- Panel, preview, border and the summon shell.
  std::function<void()> panel_hide;
  std::function<void(const Badges&)> panel_set_badges;
  std::function<size_t(State&)> warm;                      // warms the panel; the row count
  std::function<void(State&)> demo;                        // the look preview panel
  std::function<void(State&)> update_border;
  std::function<void(State&)> hold_border;
  std::function<void()> border_order_out;
  std::function<std::optional<Rect>()> border_bounds;      // bounds the border remembers
  // Fallback: applies `Minimized` and records the wid in minimizing (the border fade is the
  // border orchestration's part).
  std::function<void(State&, Wid)> begin_minimize;
  std::function<void(State&, Pid, int attempts)> single_focus;
  std::function<void(bool open)> set_switcher_open;         // the tap's session flag and grab
  std::function<void()> start_modifier_poll;
  std::function<void()> stop_modifier_poll;
  std::function<void(State&, const Entry&, Action)> run_action;  // window actions
  std::function<void(State&)> open_settings;

  // --- Thumbnails.
  std::function<bool(State&)> wants_background;
  std::function<void(State&)> capture_pass;                // the background pass, 5 s after start
  std::function<void(State&)> evict;                       // drop thumbnails of gone windows

  // --- Shell: status item, updater, settings library, diagnostics.
  std::function<void(bool visible)> menu_install;
  std::function<void(bool visible)> menu_set_visible;
  std::function<void()> updater_start;
  std::function<void()> onboarding_start;
  std::function<void()> debug_listen;                      // look-preview callbacks and channel
  std::function<void(State&)> bench_step;
};

// The summon in progress, as the shell around the switcher keeps it.
struct Summon {
  std::optional<sys::Screen> screen;  // the panel's screen, chosen at the trigger
  Pid front_pid = -1;                 // the front application at the trigger
  std::vector<Entry> rows;            // the rows shown (or waiting to be shown)
  size_t selected = 0;
  bool waiting = false;               // the rows wait for the first-show delay
  uint64_t show_generation = 0;
  std::optional<Look> look;           // computed once per summon, dropped on dismiss
  // The last Show's time since its input arrived and its row count (for the benchmark).
  double last_ms = 0;
  size_t last_rows = 0;
};

struct State {
  explicit State(Defaults prefs) : defaults(std::move(prefs)) {}

  Hooks hooks;
  Defaults defaults;  // the preferences domain
  Model model;
  Settings settings = Settings::defaults();
  Switcher switcher;  // holds the session while the switcher is summoned

  std::unordered_map<Pid, sys::Image> app_icons;
  // The panel's drawable copy of an application's icon, made at its first summon and kept so
  // that the panel's scaled-image cache recognises it; dropped whenever `app_icons` changes.
  std::unordered_map<Pid, std::shared_ptr<const void>> panel_icons;
  std::shared_ptr<Panel> panel;  // none in tests that do not draw
  Summon summon;

  // The focus border: the window it outlines, whether it shows, whether it is held.
  std::optional<Wid> border_target;
  bool border_shown = false;
  bool border_held = false;

  std::unordered_set<Wid> overlay_windows;  // Mission Control overlays
  std::set<Wid> minimizing;                 // minimises the application started
  std::set<Wid> closing;                    // closes the application started
  std::set<Wid> gone;                       // destructions reported
  std::unordered_map<Pid, Stamp> front_refresh;

  std::optional<Pid> dock_pid;
  Badges dock_badges;
  bool background_capture_started = false;
  std::optional<int32_t> settings_preview_code;
  bool settings_window_shown = false;
  bool settings_window_open = false;
  bool expose_active = false;
  std::optional<bool> screen_recording;     // the cached permission answer

  bool session_active() const { return switcher.session().has_value(); }
};

// Calls a hook when its module is connected.
template <class F, class... A>
void fire(const F& hook, A&&... args) {
  if (hook) hook(std::forward<A>(args)...);
}

// --- The main-thread slot.
// Stores `state` (replacing any earlier one); main thread only.
void install_state(std::unique_ptr<State> state);
// Empties the slot and returns what it held.
std::unique_ptr<State> take_state();
bool has_state();
// Runs `handler` with exclusive access to the State.
void with_state(const std::function<void(State&)>& handler);

}  // namespace mirvex
