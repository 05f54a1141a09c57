// The application root: start-up, the event dispatcher, the front refresh that keeps the
// most-recent order following real focus changes, new applications, the Dock badge feed and
// the path by which a settings change reaches the running application.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/state.h"

namespace mirvex {

inline constexpr auto FRONT_REFRESH_FIRST = std::chrono::milliseconds(60);
inline constexpr auto FRONT_REFRESH_RETRY = std::chrono::milliseconds(100);
inline constexpr int FRONT_REFRESH_RETRIES = 10;  // after the first attempt
inline constexpr auto BACKGROUND_CAPTURE_DELAY = std::chrono::seconds(5);
inline constexpr auto TAP_RETRY = std::chrono::seconds(2);
inline constexpr auto REORDER_BORDER_DELAY = std::chrono::milliseconds(10);
inline constexpr int SINGLE_FOCUS_ATTEMPTS = 10;

struct Launch {
  bool bench = false;
  std::vector<std::string> args;  // the command line after the program name ("-key value" pairs)
  Hooks hooks;
  std::shared_ptr<Panel> panel;  // none where nothing is drawn
};

// Start-up, steps 1 to 13, without the run loop. False when another instance is running (the
// process should end); otherwise the State is in its slot and the run loop may start.
bool start(Launch launch);

// Start-up on the installed port and main queue, then the Qt run loop (a QApplication must
// exist). Returns the process's exit status: 0 after another instance was found, or when the
// run loop ends.
int run(bool bench, std::vector<std::string> args);

// The dispatcher: every Event passes here, on the main thread.
void on_event(Event event);
// Accepts an Event on any thread and posts it to the main queue for `on_event`.
EventSink event_sink();

// Window-server callbacks handed to the focus border, which installs them (its own module).
void on_window_closed(Wid wid);   // a fresh stamp, then Destroyed
void on_window_moved(Wid wid);    // Resized
void on_windows_reordered();      // border update 10 ms later

// Schedules the re-derivation of pid's front window: 60 ms later, then every 100 ms, 11
// attempts in all, superseded by a newer refresh of the same pid.
void front_refresh(State& state, Pid pid);

// Prepares a newly seen regular application (called before its `App` is applied).
void set_up_app(State& state, const RunningApp& app);

// The Dock badge feed.
void watch_dock(State& state);
void read_badges(State& state);

// A settings change reported by the settings window.
void settings_changed(int32_t code);
// Installs new settings; true when screen-recording permission must now be requested.
bool apply_settings(State& state, Settings settings);
// Whether a settings record needs window capture.
bool needs_capture(const Settings& settings);
// The fields that decide the panel's look; every other field at a fixed value.
Settings look_fields(const Settings& settings);

// Starts the background capture pass 5 s later, once, when the settings want it.
void start_background_capture(State& state);

// Re-derives the most recent window after focus moved to pid. True means done; false asks the
// caller to retry.
bool commit_focus(State& state, Pid pid);

// Calls into the border orchestration (no-ops until it is connected).
void update_border(State& state);
void begin_minimize(State& state, Wid wid);
// Clears the border target (also the input layer's copy), marks it not shown, orders it out.
void clear_border(State& state);

// Re-enables the system ⌘Tab and ⌘⇧Tab (symbolic hot keys 1 and 2).
void restore_system_switcher();

}  // namespace mirvex
