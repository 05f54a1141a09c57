// The deterministic simulated desktop backend. It answers the port from a Desktop record
// (loaded from a scenario file or built by test code), and test code changes the desktop
// while the application runs: each change raises the notifications the platform would, on the
// thread the platform would use (workspace and window-server ones on the main queue,
// accessibility ones through each observer's dispatch). Thread-safe throughout.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sys/notify_hub.h"
#include "sys/port.h"
#include "sys/sim/desktop.h"

namespace mirvex::sys::sim {

// What the application asked of the sim that leaves no trace in the desktop itself.
struct Journal {
  std::map<int32_t, bool> symbolic_hotkeys;             // CGSSetSymbolicHotKeyEnabled
  std::vector<std::vector<std::string>> spawned;        // program then arguments
  std::vector<std::string> opened_urls;
  std::vector<std::vector<Wid>> notification_requests;  // SLSRequestNotificationsForWindows
  std::vector<std::pair<Pid, Wid>> event_records;       // SLPSPostEventRecordTo: (process, wid)
  std::vector<std::pair<std::string, int32_t>> dock_notifications;
  std::map<Wid, int32_t> own_levels;
  std::vector<std::pair<Wid, Wid>> own_below;
  std::map<Wid, SpaceId> own_spaces;                    // SLSMoveWindowsToManagedSpace
  std::map<Wid, uint64_t> window_tags;                  // SLSSetWindowTags
  std::vector<TapEvent> posted_keys;                    // synthetic events
  std::vector<TapEvent> passed;                         // events that reached the application
  int system_switcher = 0;                              // key presses the system's own ⌘Tab took
  // Element numbers asked for by remote token, in order; consecutive numbers of one
  // application share an entry, so a long search costs one.
  struct TokenRun {
    Pid pid = 0;
    uint64_t first = 0, last = 0;
    bool operator==(const TokenRun&) const = default;
  };
  std::vector<TokenRun> remote_tokens;
  // Focusing: every accessibility call by (process, attribute or action name), in order.
  std::vector<std::pair<Pid, std::string>> ax_calls;
  int ax_prompts = 0;
  int capture_requests = 0;
  bool screen_locked = false;
};

class Sim final : public Backend {
 public:
  explicit Sim(MainQueue& queue, Desktop desktop = {});
  ~Sim() override;

  // Replaces the whole desktop (observers and registrations stay).
  void reset(Desktop desktop);
  Desktop desktop() const;
  Journal journal() const;
  void set_faults(Faults faults);

  // --- Changes made by test code; each raises the platform's notifications.
  void launch(App app);            // workspace: launched
  void terminate(Pid pid);         // workspace: terminated; ws: 804/1326 for its windows, no ax
  void activate(Pid pid);          // workspace: activated
  void hide(Pid pid);              // workspace: hidden
  void unhide(Pid pid);            // workspace: unhidden
  void switch_space(SpaceId id);   // shows `id` on its display; workspace: active Space changed
  void create_window(Window w);    // in front; ax: window created; ws: event 1325
  void destroy_window(Wid wid);    // ax: element destroyed; ws: 1326 and, if requested, 804
  void set_minimized(Wid wid, bool on);   // ax: miniaturized / deminiaturized
  void set_fullscreen(Wid wid, bool on);  // ax: resized
  void set_bounds(Wid wid, Rect bounds);  // ax: resized when the size changes; ws: 806
  void set_title(Wid wid, std::string title);  // ax: title changed
  void raise(Wid wid);             // to the front of its layer order; ws: 808
  void set_pointer(Point ws);
  void press_hotkey(uint32_t keycode, uint32_t modifiers);  // fires a registered hot key
  // Delivers an event to the tap (on the tap thread). What the tap passes on goes, like a key
  // with no tap at all, to a registered hot key of the same chord (the handler runs on the
  // main queue), else to the system's ⌘Tab/⌘⇧Tab while those symbolic hot keys are enabled
  // (never set counts as enabled), else to the application (journal `passed`).
  void type(const TapEvent& event);

  // --- Keys, hot keys and the event tap: test controls.
  struct HotKey {
    uint32_t keycode = 0, modifiers = 0;
    HotKeyId id;
    bool operator==(const HotKey&) const = default;
  };
  std::vector<HotKey> hotkeys() const;  // registered now, in registration order
  // Registering this chord answers `status` from now on (0 lets it register again).
  void fail_hotkey(uint32_t keycode, uint32_t modifiers, int32_t status);
  void set_hotkey_handler_status(int32_t status);  // what installing the handler answers
  void set_secure_input(bool on);
  void set_modifier_flags(uint64_t flags);
  void set_key_repeat(KeyRepeat repeat);
  // The system disables the tap: the callback sees an event of type `reason` (a Disabled
  // type), and the next `refusals` attempts to enable it again leave it off.
  void disable_tap(TapType reason, int refusals = 0);
  // From now on tap timers fire only when `tap_advance` moves the tap thread's clock.
  void tap_virtual_time();
  // Moves the tap clock and waits until every timer due by then has run.
  void tap_advance(Duration by);
  // Waits until the tap thread has handled every queued event (and, in virtual time, every
  // due timer).
  void tap_wait_idle();
  // Symbolic hot-key changes and programs run are also written to `fd` as text lines
  // ("symbolic 1 0", "run /usr/bin/hidutil property --get UserKeyMapping"), so that another
  // process can watch them; the symbolic ones are written async-signal-safely. -1 stops.
  void set_trace_fd(int fd);
  // The user key mapping that "/usr/bin/hidutil property --get/--set UserKeyMapping" serves
  // and replaces; none (the default) means the tool cannot run. A scenario `outputs` entry for
  // the same command line still wins.
  using KeyMapping = std::vector<std::pair<uint64_t, uint64_t>>;
  void set_key_mapping(std::optional<KeyMapping> mapping);
  std::optional<KeyMapping> key_mapping() const;

  // --- Accessibility scripting (test code).
  void clear_journal();
  void set_hung(Pid pid, bool hung);  // from now on every call answers -25204 (or answers again)
  // While held, the application's accessibility calls block (as a call waits out its timeout
  // on the platform); `release` lets them go on with their usual answer.
  void hold(Pid pid);
  void release(Pid pid);
  void wait_held(Pid pid);  // until at least one call of pid is blocked by `hold`
  // Raises one of the Dock's Mission Control notifications ("AXExposeShowAllWindows"...) on
  // the Dock application's element.
  void expose(Pid dock, const char* notification);

  // --- Backend.
  std::string_view name() const override { return "sim"; }
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
  bool ax_trusted(bool prompt) override;
  AxElement ax_app(Pid pid) override;
  AxElement ax_system_wide() override;
  void ax_set_timeout(AxElement& element, float seconds) override;
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
  void post_key(const TapEvent& event) override;
  uint64_t modifier_flags() override;
  bool secure_input() override;
  KeyRepeat key_repeat() override;
  bool capture_preflight() override;
  bool capture_request() override;
  void shareable_content(bool exclude_desktop, bool onscreen_only, std::function<void(ContentResult)> done) override;
  void capture_window(Wid wid, int width, int height, std::function<void(CaptureResult)> done) override;
  void capture_display(uint32_t display, std::vector<Wid> including, int width, int height,
                       std::function<void(CaptureResult)> done) override;
  void own_window_level(Wid own, int32_t level) override;
  void own_window_below(Wid own, Wid target) override;
  Pid self_pid() override;
  std::optional<Pid> claim_instance(std::string_view bundle_id) override;
  bool process_exists(Pid pid) override;
  bool spawn(const std::string& program, const std::vector<std::string>& args,
             std::function<void(int status)> exited) override;
  std::optional<std::string> run_output(const std::string& program, const std::vector<std::string>& args) override;
  LoginStatus login_item_status() override;
  std::optional<std::string> login_item_set(bool on) override;
  bool reduce_motion() override;
  std::optional<Value> global_default(std::string_view key) override;

  static constexpr Cid CID = 0x5303;
  // Title-bar buttons of a window element, as element-number offsets.
  static constexpr uint64_t CLOSE_BUTTON = 1ull << 48;
  static constexpr uint64_t MINIMIZE_BUTTON = 2ull << 48;
  // The Dock's list element; its items are DOCK_LIST + 1, + 2...
  static constexpr uint64_t DOCK_LIST = 4ull << 48;

 private:
  // Work collected under the lock and run after it is released.
  using Outbox = NotifyHub::Outbox;

  // All private helpers expect mu_ held.
  App* app_locked(Pid pid);
  Window* window_locked(Wid wid);
  Window* window_of_element_locked(const AxElement& e);
  AppInfo info_locked(const App& a) const;
  bool onscreen_locked(const Window& w) const;
  std::set<SpaceId> visible_spaces_locked() const;
  bool ax_listed_locked(const Window& w) const;
  Value entry_locked(const Window& w) const;
  Value display_spaces_locked() const;
  void activate_locked(Outbox& out, Pid pid);
  void hide_locked(Outbox& out, Pid pid, bool hidden);
  void terminate_locked(Outbox& out, Pid pid);
  void set_minimized_locked(Outbox& out, Window& w, bool on);
  AxElement element_of(const Window& w) const;
  // The application an accessibility call of `pid` talks to, after any `hold` on it has been
  // released (waits with mu_ released); nullptr when it is not running.
  App* ax_target_locked(std::unique_lock<std::mutex>& lock, Pid pid);
  AxResult<Value> dock_copy_locked(const App& a, uint64_t id, std::string_view attribute) const;
  void journal_ax_call(Pid pid, std::string_view name);  // takes mu_ itself
  void flush(Outbox& out);
  // Runs f(out) under the lock, then delivers what it collected outside it; returns f's result.
  template <class F>
  auto change(F&& f);

  MainQueue& queue_;
  mutable std::mutex mu_;
  Desktop d_;
  Journal journal_;
  float default_timeout_ = 0;
  uint64_t next_token_ = 1;  // hot-key references
  NotifyHub hub_;  // observers, notify procs and requested windows
  HotKeyHandler hotkey_handler_;
  std::map<HotKeyRef, std::pair<std::pair<uint32_t, uint32_t>, HotKeyId>> hotkeys_;
  // The event tap: one tap; its thread waits for events and timers.
  struct TapTimer {
    std::chrono::steady_clock::time_point due;
    Task task;
  };
  TapCallback tap_callback_;
  bool tap_on_ = false;
  std::deque<TapEvent> tap_events_;
  std::vector<TapTimer> tap_timers_;
  std::condition_variable tap_wake_;
  bool closing_ = false;
  std::set<Pid> held_;
  std::map<Pid, int> blocked_;  // calls waiting on a hold, per application
  std::condition_variable held_cv_;
  bool tap_running_ = false;

  // --- Keys, hot keys and the event tap (mu_ held unless noted).
  void deliver_locked(const TapEvent& e);  // an event past the tap
  bool tap_idle_locked() const;
  std::optional<std::string> hidutil_locked(const std::vector<std::string>& args);
  void trace(std::string_view line) const;  // any thread, no lock needed
  std::map<std::pair<uint32_t, uint32_t>, int32_t> hotkey_failures_;
  int32_t hotkey_handler_status_ = 0;
  bool secure_input_ = false;
  KeyRepeat key_repeat_{std::chrono::milliseconds(250), std::chrono::milliseconds(33)};
  int tap_refusals_ = 0;
  bool tap_busy_ = false;                                       // the callback or a timer runs
  std::optional<std::chrono::steady_clock::time_point> tap_now_;  // virtual tap clock
  std::chrono::steady_clock::time_point tap_until_;               // where tap_advance goes
  std::optional<KeyMapping> key_mapping_;
  // Lock-free, so the restore guard may set them from a signal handler: 0 never set, 1 off, 2 on.
  std::array<std::atomic<uint8_t>, 256> symbolic_{};
  std::atomic<int> trace_fd_{-1};
};

}  // namespace mirvex::sys::sim
