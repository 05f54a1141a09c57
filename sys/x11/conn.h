// The X connection as the backend uses it: one xcb connection shared by every thread (xcb is
// thread-safe), the interned atoms, and pipelined property reads — every helper that reads
// many windows sends all its requests first and collects the replies after, so a snapshot
// costs a couple of round trips whatever the number of windows.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/types.h"

namespace mirvex::sys::x11 {

enum Atom : size_t {
  NET_CLIENT_LIST,
  NET_CLIENT_LIST_STACKING,
  NET_ACTIVE_WINDOW,
  NET_CURRENT_DESKTOP,
  NET_NUMBER_OF_DESKTOPS,
  NET_WORKAREA,
  NET_WM_DESKTOP,
  NET_WM_PID,
  NET_WM_NAME,
  NET_WM_ICON,
  NET_WM_STATE,
  NET_WM_STATE_HIDDEN,
  NET_WM_STATE_FULLSCREEN,
  NET_WM_STATE_ABOVE,
  NET_WM_STATE_BELOW,
  NET_WM_STATE_SKIP_TASKBAR,
  NET_WM_WINDOW_TYPE,
  NET_WM_WINDOW_TYPE_NORMAL,
  NET_WM_WINDOW_TYPE_DIALOG,
  NET_WM_WINDOW_TYPE_UTILITY,
  NET_WM_WINDOW_TYPE_TOOLBAR,
  NET_WM_WINDOW_TYPE_MENU,
  NET_WM_WINDOW_TYPE_SPLASH,
  NET_WM_WINDOW_TYPE_DOCK,
  NET_WM_WINDOW_TYPE_DESKTOP,
  NET_WM_WINDOW_TYPE_NOTIFICATION,
  NET_WM_WINDOW_OPACITY,
  NET_FRAME_EXTENTS,
  NET_CLOSE_WINDOW,
  NET_RESTACK_WINDOW,
  WM_STATE,
  WM_CHANGE_STATE,
  WM_TRANSIENT_FOR,
  UTF8_STRING,
  MIRVEX_WAKE,
  MIRVEX_STAMP,
  ATOM_COUNT
};

// Values of the window properties the backend reads, all optional as the server may hold none.
struct Props {
  std::optional<uint32_t> pid, desktop, opacity, transient_for;
  std::vector<uint32_t> types, states;
  std::optional<std::string> net_name, wm_name;
  std::optional<std::string> instance, klass;   // WM_CLASS
  std::optional<uint32_t> wm_state;             // ICCCM WM_STATE: 0 withdrawn, 1 normal, 3 iconic
  std::array<uint32_t, 4> extents{};            // _NET_FRAME_EXTENTS left, right, top, bottom
  bool exists = false;                          // the window answered at all
  bool viewable = false;                        // map state
  bool mapped = false;                          // mapped, though maybe inside an unmapped frame
  bool override_redirect = false;
  int32_t root_x = 0, root_y = 0;               // client origin in root coordinates
  uint32_t width = 0, height = 0;

  std::optional<std::string> title() const { return net_name ? net_name : wm_name; }
  // The frame: the client's rectangle in root coordinates widened by the frame extents.
  Rect frame() const;
  bool has_state(xcb_atom_t a) const;
  bool has_type(xcb_atom_t a) const;
};

class Conn {
 public:
  // Opens `display` (null: $DISPLAY). Throws std::runtime_error when the display cannot open.
  explicit Conn(const char* display);
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  xcb_connection_t* c() const { return c_; }
  xcb_screen_t* screen() const { return screen_; }
  int screen_number() const { return screen_number_; }
  xcb_window_t root() const { return screen_->root; }
  xcb_atom_t atom(Atom a) const { return atoms_[a]; }
  xcb_atom_t intern(const std::string& name) const;

  // Root or window properties of 32-bit items; empty when unset.
  std::vector<uint32_t> cardinals(xcb_window_t w, Atom property) const;
  std::optional<uint32_t> cardinal(xcb_window_t w, Atom property) const;
  // Reads the properties the window list and accessibility need, for every window at once.
  std::vector<Props> props(const std::vector<xcb_window_t>& windows) const;
  // Whether `props` reads this property (a change to it changes what `props` returns).
  bool read_by_props(xcb_atom_t property) const;
  // Minimised: iconic by ICCCM or hidden by EWMH (window managers set the two one after the
  // other, in either order; either is enough).
  bool minimised(const Props& p) const { return p.has_state(atoms_[NET_WM_STATE_HIDDEN]) || p.wm_state == 3u; }
  bool on_screen(const Props& p) const { return p.viewable && !minimised(p); }
  // Each window's ancestor just below the root (the window manager's frame, or the window
  // itself when it is not reparented); none for a window that is gone. One pipelined round
  // trip per level of nesting.
  std::vector<std::optional<xcb_window_t>> tops(const std::vector<xcb_window_t>& windows) const;
  // Sends an EWMH client message to the root (SubstructureNotify|Redirect).
  void root_message(xcb_window_t w, Atom type, std::array<uint32_t, 5> data) const;

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  int screen_number_ = 0;
  std::array<xcb_atom_t, ATOM_COUNT> atoms_{};
};

}  // namespace mirvex::sys::x11
