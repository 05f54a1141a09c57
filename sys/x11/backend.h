// The X11 backend: the port over xcb on an EWMH window manager. One connection serves every
// thread; an event thread of its own keeps the client cache current — every property the
// window list reports, the frame and the map state — from property and structure events on
// the clients, their frames and the root, and raises the workspace, accessibility and hot-key
// notifications from it. Window lists and Space queries are served from that cache after one
// round trip that lets the event thread catch up with the server. Modules: conn (connection, atoms, property reads),
// keymap (key translation), backend (windows, Spaces, screens, applications, events), ax
// (accessibility), keys (hot keys, event tap, synthetic keys), capture, system (processes,
// registry, login item).
#pragma once

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "sys/notify_hub.h"
#include "sys/port.h"
#include "sys/x11/conn.h"

namespace mirvex::sys::x11 {

class X11 final : public Backend {
 public:
  // Throws std::runtime_error when the display cannot be opened.
  X11(MainQueue& queue, const char* display);
  ~X11() override;

  // Single instance per user and display: owns the selection _MIRVEX_<uid>. False when another
  // live copy owns it.
  bool claim_instance();
  // The port's form: none once this process holds the claim, -1 (pid unknown) when another
  // copy on this display holds it.
  std::optional<Pid> claim_instance(std::string_view bundle_id) override {
    return claim_instance() ? std::nullopt : std::optional<Pid>(-1);
  }

  std::string_view name() const override { return "x11"; }
  std::optional<Value> window_list(uint32_t options, Wid relative_to) override;
  bool open_library(std::string_view path) override;
  std::any symbol(std::string_view name) override;
  std::vector<Screen> screens() override;
  Point pointer() override;
  bool warp_pointer(Point ws) override;
  uint32_t mouse_buttons() override;
  std::vector<AppInfo> running_apps() override;
  std::optional<AppInfo> running_app(Pid pid) override;
  std::optional<Pid> workspace_frontmost() override;
  bool app_hide(Pid pid) override;
  bool app_unhide(Pid pid) override;
  bool app_activate(Pid pid) override;
  bool app_terminate(Pid pid) override;
  std::optional<Image> app_icon(Pid pid) override;
  uint64_t workspace_observe(std::string_view name, WorkspaceCallback callback) override;
  void workspace_unobserve(uint64_t token) override;
  bool open_url(std::string_view url) override;
  std::optional<std::string> app_path_for_bundle_id(std::string_view bundle_id) override;
  std::optional<std::string> bundle_id_for_path(std::string_view path) override;
  std::vector<InstalledApp> installed_apps() override;
  bool ax_trusted(bool prompt) override { return true; }
  AxElement ax_app(Pid pid) override { return AxElement{pid, 0, 0}; }
  AxElement ax_system_wide() override { return AxElement{-1, 0, 0}; }
  void ax_set_timeout(AxElement& element, float seconds) override { element.timeout = seconds; }
  AxResult<Value> ax_copy(const AxElement& element, std::string_view attribute) override;
  int32_t ax_set(const AxElement& element, std::string_view attribute, const Value& value) override;
  int32_t ax_perform(const AxElement& element, std::string_view action) override;
  AxResult<AxElement> ax_element_at(const AxElement& app, Point ws) override;
  AxResult<AxObserverId> ax_observer_create(Pid pid, AxCallback callback) override;
  int32_t ax_observer_add(AxObserverId observer, const AxElement& element, std::string_view notification,
                          int64_t context) override;
  void ax_observer_schedule(AxObserverId observer, Dispatch dispatch) override;
  void ax_observer_release(AxObserverId observer) override;
  int32_t hotkey_install_handler(HotKeyHandler handler) override;
  int32_t hotkey_register(uint32_t keycode, uint32_t modifiers, HotKeyId id, HotKeyRef& out) override;
  int32_t hotkey_unregister(HotKeyRef ref) override;
  std::optional<TapId> tap_create(uint64_t mask, TapCallback callback) override;
  void tap_run(TapId tap) override;
  void tap_post_after(TapId tap, Duration delay, Task task) override;
  void tap_enable(TapId tap, bool on) override;
  bool tap_enabled(TapId tap) override;
  bool tap_session(TapId tap, bool open) override;
  void post_key(const TapEvent& event) override;
  uint64_t modifier_flags() override;
  bool secure_input() override { return false; }
  KeyRepeat key_repeat() override;
  bool capture_preflight() override { return true; }
  bool capture_request() override { return true; }
  void shareable_content(bool exclude_desktop, bool onscreen_only, std::function<void(ContentResult)> done) override;
  void capture_window(Wid wid, int width, int height, std::function<void(CaptureResult)> done) override;
  void capture_display(uint32_t display, std::vector<Wid> including, int width, int height,
                       std::function<void(CaptureResult)> done) override;
  void own_window_level(Wid own, int32_t level) override;
  void own_window_below(Wid own, Wid target) override;
  Pid self_pid() override;
  bool process_exists(Pid pid) override;
  bool spawn(const std::string& program, const std::vector<std::string>& args,
             std::function<void(int status)> exited) override;
  std::optional<std::string> run_output(const std::string& program, const std::vector<std::string>& args) override;
  LoginStatus login_item_status() override;
  std::optional<std::string> login_item_set(bool on) override;
  bool reduce_motion() override { return false; }
  bool compositing() override;
  std::optional<Value> global_default(std::string_view) override { return std::nullopt; }

  // Window-list layers derived from the window type.
  static constexpr int32_t DESKTOP_LAYER = -2147483624;
  // Title-bar buttons of a window element, as element-number offsets (the window manager
  // draws them, so they are synthesised: pressing close sends _NET_CLOSE_WINDOW).
  static constexpr uint64_t CLOSE_BUTTON = 1ull << 48;
  static constexpr uint64_t MINIMIZE_BUTTON = 2ull << 48;

 private:
  struct Client {
    Pid pid = 0;  // 0 when the window carries no _NET_WM_PID; kept from the first read
    Props props;            // as last read; re-read when an event says it may have changed
    xcb_window_t top = 0;   // its frame (ancestor below the root); 0 until known
  };
  struct HotKey {
    xcb_keycode_t keycode;
    uint16_t mods;
    HotKeyId id;
  };
  struct TapTimer {
    Instant due;
    Task task;
  };
  using Outbox = NotifyHub::Outbox;

  // backend.cpp
  void event_loop();
  void handle(const xcb_generic_event_t* ev, Outbox& out);
  // Re-reads _NET_CLIENT_LIST and _NET_CLIENT_LIST_STACKING: clients joining and leaving, and
  // the kept front-to-back order.
  void sync_clients(Outbox& out);
  void sync_active(Outbox& out);
  // Marks the client `w`, or the client framed by `w`, for a re-read.
  void touched(xcb_window_t w);
  // Re-reads the marked clients (one pipelined pass) and raises the minimised, full-screen,
  // moved and resized notifications their changes mean. Runs on the event thread whenever
  // it has no event waiting, and before it answers a timestamp request.
  void refresh(Outbox& out);
  AppInfo info_locked(Pid pid) const;
  std::vector<xcb_window_t> windows_of_locked(Pid pid) const;
  uint32_t current_desktop() const;
  uint32_t desktop_count() const;
  // The server's time, read back through the event thread, which makes it a fence too: when
  // it returns, the event thread has handled every event the server sent before the call.
  // CURRENT_TIME when asked on the event thread itself (it would wait on itself) or after 500 ms.
  xcb_timestamp_t server_time();
  // The event thread may not yet have seen a window the caller just read from the server (a
  // fresh window list): when `e` names a process or window the client cache does not know,
  // waits until the cache has caught up with the server.
  void settle_for(const AxElement& e);
  void activate(xcb_window_t w);
  void iconify(xcb_window_t w);
  // Restores an iconic client: the window manager deiconifies a client that asks to be mapped,
  // but a map request reaches it only once the client is unmapped. A restore right after a
  // minimise first waits (500 ms at most) for the window manager to finish iconifying.
  void deiconify(xcb_window_t w);
  void set_state(xcb_window_t w, bool on, Atom state);
  Value entry(xcb_window_t w, const Props& p) const;
  static int32_t layer(const Conn& c, const Props& p);
  Value display_spaces();

  // notify.cpp: window-server notifications (closed 804, moved 806, resized 807, reordered 808
  // for requested windows; created 1325 and destroyed 1326 for every client).
  void configured(xcb_window_t w, const Rect& was, Outbox& out);  // mu_ held
  void restacked_locked(std::vector<xcb_window_t> now, Outbox& out);  // now: front to back

  std::vector<Screen> read_screens();  // RandR monitors and the work area, asked afresh
  void forget_screens();

  // keys.cpp
  bool handle_key(const xcb_key_press_event_t* ev, bool press);
  // Posts the handler of the registered hot key for this X key code and state, if any (mu_ held).
  bool fire_hotkey_locked(uint8_t keycode, uint16_t state);
  void tap_push(TapEvent ev);
  std::optional<xcb_keycode_t> keycode_for_vk(uint16_t vk);

  // capture.cpp
  void capture_loop();

  MainQueue& queue_;
  Conn conn_;
  xcb_window_t own_ = 0;  // an unmapped window: wake-ups, timestamps, selection owner
  xcb_key_symbols_t* syms_ = nullptr;

  mutable std::mutex mu_;
  std::map<xcb_window_t, Client> clients_;
  std::set<xcb_window_t> dirty_;  // clients to re-read
  std::vector<Pid> app_order_;  // running applications in launch order
  xcb_window_t active_ = 0;
  std::optional<uint32_t> desktop_;
  uint32_t desktops_ = 1;  // _NET_NUMBER_OF_DESKTOPS
  xcb_atom_t compositor_selection_ = XCB_ATOM_NONE;  // _NET_WM_CM_S<screen>, owned by a compositor
  std::optional<std::vector<Screen>> screens_;  // kept answer of `screens`
  uint64_t screens_generation_ = 0;             // advanced by every change that drops it
  uint8_t randr_event_ = 0;                     // RandR's first event code; 0 without RandR
  std::map<Pid, std::vector<xcb_window_t>> hidden_by_us_;
  uint64_t next_token_ = 1;  // hot-key references
  NotifyHub hub_;  // observers, notify procs and requested windows
  HotKeyHandler hotkey_handler_;
  std::map<HotKeyRef, HotKey> hotkeys_;
  std::vector<xcb_window_t> stacking_;  // front to back, as last seen
  // Timestamp requests in the order sent, and their PropertyNotify events in the order seen.
  uint64_t stamps_asked_ = 0, stamps_seen_ = 0;
  xcb_timestamp_t stamp_ = XCB_CURRENT_TIME;
  std::condition_variable stamp_wake_;

  // The event tap: one per process; its thread waits for events and timers.
  TapCallback tap_callback_;
  bool tap_on_ = false, session_ = false;
  std::set<xcb_keycode_t> down_;
  std::deque<TapEvent> tap_events_;
  std::vector<TapTimer> tap_timers_;
  std::condition_variable tap_wake_;
  bool closing_ = false, tap_running_ = false;

  // Captures run on one worker thread, in order.
  std::deque<Task> captures_;
  std::condition_variable capture_wake_;

  std::thread events_, capturer_;
};

}  // namespace mirvex::sys::x11
