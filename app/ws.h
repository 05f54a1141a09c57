// The window server's own view of windows and Spaces, as plain values. Stateless: every call
// asks the window server afresh through the system port and the private table `P`. All
// operations may run on any thread except `mission_control_overlays` (main thread only).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/model.h"
#include "sys/value.h"

namespace mirvex::ws {

// Window-list options the callers pass: the snapshot's "all Spaces, no desktop elements" and
// everyone else's "on screen only, no desktop elements".
inline constexpr uint32_t ALL_SPACES = 16;
inline constexpr uint32_t ON_SCREEN = 17;

// The entry's value under `key` as a 64-bit float: present only if it exists and is a number.
std::optional<double> num(const sys::Value& entry, std::string_view key);

// The window list in front-to-back order, layer 0 only unless `any_layer`; entries without
// layer, number or pid are dropped. None when the window list cannot be obtained.
std::optional<std::vector<WindowInfo>> windows(uint32_t options, bool any_layer);

// All user windows with the Spaces each is on, stamped from SEQ before anything else (so a
// failed snapshot still consumes a stamp). None when the window list cannot be obtained.
std::optional<ev::Snapshot> snapshot();

// Identifiers of the user Spaces (type 0), display order then Space order.
std::vector<SpaceId> user_spaces();
// The Space shown on each display that has an identifier.
std::vector<SpaceId> visible_spaces();

// Whether the window is a real top-level window (false without the window-query group).
bool top_level(Wid wid);
// The window's resolved corner radius, when the window server tells it.
std::optional<double> corner_radius(Wid wid);

// Whether the window-list entry belongs to the system's "WindowManager" process.
bool owned_by_window_manager(const sys::Value& entry);
bool window_manager_window(Wid wid);

// The full-screen overlays the window manager puts over displays (layer 19, owned by
// "WindowManager", frame within 2 points of a screen's). Empty off the main thread.
std::unordered_set<Wid> mission_control_overlays();

}  // namespace mirvex::ws
