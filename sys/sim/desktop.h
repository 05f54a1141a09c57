// The simulated desktop: plain records a scenario file or test code fills in. Geometry is in
// window-server coordinates (origin top-left of the first display, y downwards); the sim
// converts screen frames and the pointer to the system's bottom-left space where the
// platform would.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/types.h"
#include "sys/port.h"
#include "sys/value.h"

namespace mirvex::sys::sim {

struct Space {
  SpaceId id = 0;
  int64_t type = ds::USER_SPACE;  // 0 user, 4 full screen
  Value raw;                      // dictionary merged over the description entry (null removes a key)
};

struct Display {
  std::optional<std::string> uuid;  // "Display Identifier"; absent: the key is left out
  uint32_t id = 0;
  Rect frame;
  Rect visible;                     // frame without menu bar and Dock
  double scale = 2;
  std::vector<Space> spaces;
  SpaceId current = 0;              // the Space shown
  Value raw;                        // merged over the display's description entry
};

struct App {
  Pid pid = 0;
  std::optional<std::string> name;
  std::optional<std::string> bundle_id;
  std::optional<std::string> bundle_path;
  Policy policy = Policy::Regular;
  bool hidden = false;
  bool hung = false;             // every accessibility call answers cannot-complete (-25204)
  std::optional<uint32_t> icon;  // ARGB colour of a 32x32 icon; absent: no icon
  std::optional<Wid> focused;    // the application's focused window (AXFocusedWindow)

  // Focusing: the application takes no notice of the key-window event records, so only
  // activation with "AXMain" makes a window its focused one.
  bool ignores_event_records = false;
};

struct Window {
  Wid wid = 0;
  Pid pid = 0;
  int32_t layer = 0;
  double alpha = 1;
  Rect bounds;
  std::optional<bool> onscreen;  // absent: derived (shown Space, not minimised, app not hidden)
  std::string title;
  std::optional<std::string> subrole = std::string("AXStandardWindow");
  bool minimized = false;
  bool fullscreen = false;
  std::vector<SpaceId> spaces;   // empty: on every Space, and never returned by Space queries
  bool desktop = false;          // a desktop element (left out with option 16)
  std::optional<std::string> owner_name;  // absent: the owning app's name
  Wid parent = 0;
  uint64_t tags = 0x1;
  uint32_t attributes = 0x2;
  std::optional<double> corner_radius;
  bool ax_listed = true;         // false: absent from AXWindows, found only by remote token
  uint64_t element = 0;          // accessibility element number; 0: same as wid
  Value raw;                     // dictionary merged over the window-list entry (null removes a key)
};

struct Faults {
  bool window_list_fails = false;     // CGWindowListCopyWindowInfo answers nothing
  bool display_spaces_fails = false;  // CGSCopyManagedDisplaySpaces answers nothing
  bool front_process_fails = false;   // _SLPSGetFrontProcess answers an error
  std::vector<std::string> missing_symbols;
};

struct Desktop {
  std::vector<Display> displays;  // the first has the menu bar
  std::vector<App> apps;          // in the workspace's order
  std::vector<Window> windows;    // front to back
  std::optional<Pid> front;       // the active application
  Faults faults;
  bool ax_trusted = true;
  bool capture_allowed = false;
  bool reduce_motion = false;
  Point pointer;                  // window-server coordinates
  uint32_t mouse_buttons = 0;
  uint64_t modifier_flags = 0;
  std::optional<Pid> self_pid;    // absent: the real process id
  std::vector<InstalledApp> installed;
  std::map<std::string, Value> global_defaults;
  std::map<std::string, std::string> outputs;  // "program arg1 arg2" -> standard output
  LoginStatus login = LoginStatus::NotRegistered;
};

}  // namespace mirvex::sys::sim
