// The entry list: which windows of the model one switcher shortcut lists, in which order,
// which sink to the end, and which running applications without a listed window it offers.
// A pure function of the model and a small context record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/model.h"
#include "core/settings.h"
#include "core/types.h"

namespace mirvex {

namespace entry {
struct Window {
  Wid wid = 0;
  Pid pid = 0;
  std::string title;  // the accessibility title, or the application's name when there is none
  bool minimized = false;
  bool hidden = false;  // the owning application is hidden
  bool fullscreen = false;
  // 1-based number of the window's Space among the user's Spaces; only for a window that is
  // not on a visible Space.
  std::optional<uint32_t> space;
  bool operator==(const Window&) const = default;
};

// A running application that has no listed window.
struct App {
  Pid pid = 0;
  std::string name;
  bool operator==(const App&) const = default;
};
}  // namespace entry

using Entry = std::variant<entry::Window, entry::App>;

Pid entry_pid(const Entry& e);

// Diagnostic text for log lines, e.g. `App { pid: 3, name: "Mail" }` and
// `Window { wid: 7, pid: 3, title: "Inbox", minimized: false, hidden: false, fullscreen: false,
// space: Some(2) }` (on one line). Quotes, backslashes and control characters inside texts are
// escaped so that a title cannot break or forge a log line.
std::string to_string(const Entry& e);

struct ListContext {
  std::optional<Rect> screen;  // the panel's screen, window-server coordinates
  Shortcut shortcut;
  std::vector<Exception> exceptions;
  std::vector<SpaceId> visible_spaces;  // Spaces shown on any display
  std::vector<SpaceId> user_spaces;     // the user's Spaces in the system's order
  Pid front_pid = -1;
  Pid own_pid = -1;  // this process: never listed
};

// Layer 0, alpha above 0, both sides at least 50 points.
bool is_ordinary(const WindowInfo& info);

// The entries for one shortcut. Never fails and never changes the model.
std::vector<Entry> list(const Model& model, const ListContext& context);

}  // namespace mirvex
