// Screen choice around a summon: the screen the panel is shown on (setting `showOn`) and
// the single-app focus option (setting `singleFocus`), which hides the other applications
// on the screen of the activated application's front window. The choices are pure
// functions of the screens, windows and pointer; the drivers read those from the port.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/model.h"
#include "sys/port.h"

namespace mirvex {

// The panel's screen for `show_on`: 0 the screen holding the centre of `front_window`
// (window-server coordinates), 1 the screen holding `pointer` (screen space), 2 the first
// screen. The window centre is flipped into screen space first (y becomes the first
// screen's height minus the window-server y). Containment is inclusive on all four edges
// and screens are tried in order; with no match the first screen. None only without screens.
std::optional<sys::Screen> choose_panel_screen(uint8_t show_on, const std::vector<sys::Screen>& screens,
                                               Point pointer, std::optional<Rect> front_window);

// The panel's screen now: the front application's most recent window in the model's order
// for `showOn` 0, the port's pointer for 1.
std::optional<sys::Screen> panel_screen(uint8_t show_on, const Model& model, Pid front_pid);

// Which applications single-app focus hides when `pid` came to the front: every other
// application (never `self`) whose on-screen ordinary windows all have their centres on the
// screen of `pid`'s front-most window (left and top edges inclusive, right and bottom
// exclusive). `screens` are window-server frames, `windows` the on-screen ordinary windows
// front to back. None when `pid` has no such window or its centre is on no screen.
std::optional<std::vector<Pid>> single_focus_hides(Pid pid, Pid self, const std::vector<Rect>& screens,
                                                   const std::vector<WindowInfo>& windows);

// Main thread only. Nothing for this process or when `pid` is no longer in front; otherwise
// hides what `single_focus_hides` names (regular applications only), or tries again 100 ms
// later while `attempts` is not 0.
void single_focus(Pid pid, int attempts);

}  // namespace mirvex
