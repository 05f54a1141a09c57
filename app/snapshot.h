// Window snapshot reconciliation: the one place where a fresh window-server list enters the
// model, and the small operations that keep the model consistent with window destruction and
// the application's own windows. Main thread, inside an exclusive access to the State.
#pragma once

#include <optional>

#include "app/state.h"
#include "sys/port.h"

namespace mirvex {

// Refreshes the model from the window server: applications owning an ordinary window become
// known (and set up) first, then the snapshot is applied, then every pending ordinary window
// of a known regular application is submitted for resolution, one request per application.
// Logs "snapshot: {} windows, resolving {} pending wids in {} apps" on every call.
void snapshot(State& state);

// A rectangle in screen space (bottom-left origin) in window-server coordinates (top-left
// origin of the menu-bar screen). Absent off the main thread or when there is no screen.
std::optional<Rect> ws_rect(const Rect& screen_space);
// A screen's frame in window-server coordinates.
std::optional<Rect> ws_frame(const sys::Screen& screen);

// Records that a window is gone, for the border bookkeeping.
void mark_window_destroyed(State& state, Wid wid);

// Observes minimise and restore of the application's own windows (the accessibility worker
// never reports them). Needs a Qt application object; without one nothing is observed.
void watch_own_windows();

// Whether the switcher's shortcuts must pass through to the front application.
bool ignore_front_app(State& state);

}  // namespace mirvex
