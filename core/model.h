// The window model: the application's single picture of every window and running
// application. Every change arrives as an Event and is folded in by Model::apply; stamps
// from SEQ make the result independent of the order in which racing sources deliver.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/types.h"

namespace mirvex {

// What one window-server snapshot reports about one window.
struct WindowInfo {
  std::vector<SpaceId> spaces;
  Rect bounds;
  Wid wid = 0;
  Pid pid = 0;
  int32_t layer = 0;
  float alpha = 1.0f;
  bool onscreen = false;
  bool operator==(const WindowInfo&) const = default;
};

// How far the accessibility side has matched a window to an element.
struct AxStatus {
  enum class Kind : uint8_t { Pending, Found, NotFound };
  Kind kind = Kind::Pending;
  bool subrole_ok = false;  // meaningful for Found only

  static AxStatus pending() { return {}; }
  static AxStatus found(bool subrole_ok) { return {Kind::Found, subrole_ok}; }
  static AxStatus not_found() { return {Kind::NotFound, false}; }

  bool operator==(const AxStatus& o) const {
    return kind == o.kind && (kind != Kind::Found || subrole_ok == o.subrole_ok);
  }
  // Diagnostic text: "Pending", "Found { subrole_ok: true }", "NotFound".
  std::string to_string() const;
};

struct WindowRecord {
  std::optional<SpaceId> space;  // first of the latest non-empty spaces list
  WindowInfo info;
  std::optional<std::string> title;
  Stamp born = 0;  // seq of the snapshot that first listed the window
  bool ever_onscreen = false;
  bool minimized = false;
  bool fullscreen = false;
  AxStatus ax;
};

struct RunningApp {
  std::string name;
  std::optional<std::string> bundle_id;
  Pid pid = 0;
  bool regular = false;
  bool hidden = false;
  bool operator==(const RunningApp&) const = default;
};

namespace ev {
struct Snapshot { std::vector<WindowInfo> windows; Stamp seq = 0; };
struct Destroyed { Stamp stamp = 0; Wid wid = 0; };
struct Details {
  std::optional<std::string> title;
  Stamp stamp = 0;
  Wid wid = 0;
  bool minimized = false;
  bool fullscreen = false;
  AxStatus ax;
};
struct Focused { Wid wid = 0; };
struct AppFocused { Pid pid = 0; Wid wid = 0; };
struct Activated { Pid pid = 0; };
struct App { RunningApp app; };
struct Terminated { Pid pid = 0; };
struct Hidden { Pid pid = 0; bool hidden = false; };
struct Resized { Wid wid = 0; };
struct Minimized { Wid wid = 0; };
struct Deminimized { Wid wid = 0; };
struct SpaceChanged {};
struct Expose { bool active = false; };
}  // namespace ev

// The variants in their declared order; index() is the variant number.
using Event = std::variant<ev::Snapshot, ev::Destroyed, ev::Details, ev::Focused, ev::AppFocused,
                           ev::Activated, ev::App, ev::Terminated, ev::Hidden, ev::Resized,
                           ev::Minimized, ev::Deminimized, ev::SpaceChanged, ev::Expose>;

struct Model {
  std::vector<Wid> order;     // most recently used first; may name a wid not yet in windows
  std::vector<Pid> app_order; // most recently activated first
  std::unordered_map<Wid, WindowRecord> windows;
  std::unordered_map<Pid, RunningApp> apps;
  std::unordered_map<Wid, Stamp> destroyed;      // tombstones with the destruction stamp
  std::unordered_map<Wid, Stamp> details_stamp;  // stamp of the last applied Details
  std::unordered_map<Wid, Stamp> seen;           // seq of the last snapshot listing the window
  std::unordered_map<Wid, Stamp> pending;        // focus reports for windows not yet known
  std::unordered_map<Pid, Wid> focused;          // each app's focused (or last focused) window
  Stamp last_snapshot = 0;

  void apply(Event event);
  void remove_window(Wid wid);

 private:
  void apply_snapshot(ev::Snapshot&& s);
};

}  // namespace mirvex
