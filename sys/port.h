// The system port: the one boundary between the application and the operating system.
// Application code calls `port()` and never a backend directly. Operations keep the
// platform's vocabulary and its looseness: window lists are Values whose keys may be missing,
// accessibility calls answer a value or an error code, notifications arrive on the thread the
// platform uses. docs/platform.md maps every operation to its platform facility and to what
// each backend (sim, x11) does.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"
#include "sys/ax.h"
#include "sys/main_queue.h"
#include "sys/symbols.h"
#include "sys/value.h"

namespace mirvex::sys {

// Window-list option bits and entry keys.
namespace wl {
inline constexpr uint32_t ON_SCREEN_ONLY = 1;
inline constexpr uint32_t ON_SCREEN_ABOVE = 2;   // relative to the given window
inline constexpr uint32_t ON_SCREEN_BELOW = 4;   // relative to the given window
inline constexpr uint32_t INCLUDING_WINDOW = 8;  // only the given window
inline constexpr uint32_t EXCLUDE_DESKTOP = 16;
inline constexpr const char* LAYER = "kCGWindowLayer";
inline constexpr const char* NUMBER = "kCGWindowNumber";
inline constexpr const char* OWNER_PID = "kCGWindowOwnerPID";
inline constexpr const char* BOUNDS = "kCGWindowBounds";
inline constexpr const char* ALPHA = "kCGWindowAlpha";
inline constexpr const char* IS_ONSCREEN = "kCGWindowIsOnscreen";
inline constexpr const char* OWNER_NAME = "kCGWindowOwnerName";
inline constexpr const char* NAME = "kCGWindowName";
}  // namespace wl

// Keys of the managed-display description (CGSCopyManagedDisplaySpaces).
namespace ds {
inline constexpr const char* DISPLAY_IDENTIFIER = "Display Identifier";
inline constexpr const char* SPACES = "Spaces";
inline constexpr const char* ID64 = "id64";
inline constexpr const char* TYPE = "type";
inline constexpr int64_t USER_SPACE = 0;
inline constexpr int64_t FULLSCREEN_SPACE = 4;
}  // namespace ds

// A screen in the system's screen space (origin bottom-left of the first screen, y upwards).
// The first screen of the list is the one with the menu bar.
struct Screen {
  uint32_t id = 0;     // display identifier
  Rect frame;
  Rect visible_frame;  // without menu bar and Dock
  double scale = 1;
  bool operator==(const Screen&) const = default;
};

enum class Policy : uint8_t { Regular, Accessory, Prohibited };

// A running-application object as the workspace describes it.
struct AppInfo {
  Pid pid = 0;
  std::optional<std::string> name;       // localised name
  std::optional<std::string> bundle_id;
  std::optional<std::string> bundle_path;
  Policy policy = Policy::Regular;
  bool hidden = false;
  bool terminated = false;
  bool operator==(const AppInfo&) const = default;
};

// Workspace notification names.
namespace note {
inline constexpr const char* LAUNCHED = "NSWorkspaceDidLaunchApplicationNotification";
inline constexpr const char* TERMINATED = "NSWorkspaceDidTerminateApplicationNotification";
inline constexpr const char* ACTIVATED = "NSWorkspaceDidActivateApplicationNotification";
inline constexpr const char* HIDDEN = "NSWorkspaceDidHideApplicationNotification";
inline constexpr const char* UNHIDDEN = "NSWorkspaceDidUnhideApplicationNotification";
inline constexpr const char* SPACE_CHANGED = "NSWorkspaceActiveSpaceDidChangeNotification";
}  // namespace note

// `app` is absent when the notification carries no running application (no user info, no
// application key, or an object of another kind).
struct WorkspaceNote {
  std::string name;
  std::optional<AppInfo> app;
};
using WorkspaceCallback = std::function<void(const WorkspaceNote&)>;

// 32-bit ARGB pixels, row-major, premultiplied.
struct Image {
  int width = 0, height = 0;
  std::vector<uint32_t> argb;
};

// Registered hot keys (Carbon style: key code and modifier mask, four-character signature).
struct HotKeyId {
  uint32_t signature = 0;
  uint32_t id = 0;
  bool operator==(const HotKeyId&) const = default;
};
using HotKeyRef = uint64_t;
using HotKeyHandler = std::function<void(HotKeyId)>;

// Event tap.
enum class TapType : uint8_t { KeyDown, KeyUp, FlagsChanged, LeftMouseDown, DisabledByTimeout, DisabledByUserInput };
struct TapEvent {
  TapType type = TapType::KeyDown;
  uint16_t keycode = 0;
  uint64_t flags = 0;      // device-independent modifier flags (0x20000 Shift, 0x40000 Control...)
  bool autorepeat = false;
  std::u16string text;     // what the key types, at most 4 UTF-16 units
  Point location;          // window-server coordinates (mouse events)
};
// Returns the event to pass on (possibly changed), or none to swallow it.
using TapCallback = std::function<std::optional<TapEvent>(const TapEvent&)>;
using TapId = uint64_t;
inline constexpr uint64_t TAP_MASK = 0x1C02;  // left mouse down, key down/up, flags changed

struct KeyRepeat {
  Duration delay;
  Duration interval;
};

// Screen capture.
struct ShareableWindow {
  Wid wid = 0;
  Rect frame;
  int32_t layer = 0;
};
struct ShareableDisplay {
  uint32_t id = 0;
  double width = 0, height = 0;
};
struct ShareableContent {
  std::vector<ShareableWindow> windows;
  std::vector<ShareableDisplay> displays;
};
struct ContentResult {
  std::optional<ShareableContent> content;
  std::string error;  // the localised description when content is absent
};
struct CaptureResult {
  std::optional<Image> image;
  std::optional<int64_t> error;  // neither set: the platform answered nothing
};

struct InstalledApp {
  std::string bundle_id;
  std::string name;
  std::string path;
};

enum class LoginStatus : uint8_t { NotRegistered, Enabled, RequiresApproval, NotFound };

// One backend per process. Threads: everything may be called from any thread unless the
// comment says "main thread"; callbacks run where the comment says.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string_view name() const = 0;

  // --- Window list (CGWindowListCopyWindowInfo): front to back; none when unavailable.
  virtual std::optional<Value> window_list(uint32_t options, Wid relative_to) = 0;

  // --- Private and system functions resolved by name (dlopen/dlsym).
  virtual bool open_library(std::string_view path) = 0;
  // A std::function of the type fn::<name>, or empty when absent (see sys/symbols.h).
  virtual std::any symbol(std::string_view name) = 0;

  // --- Screens (NSScreen.screens, main thread) and the pointer.
  virtual std::vector<Screen> screens() = 0;
  virtual Point pointer() = 0;                  // screen space (bottom-left origin)
  virtual bool warp_pointer(Point ws) = 0;      // window-server coordinates
  virtual uint32_t mouse_buttons() = 0;         // bit 0 left, bit 1 right...

  // --- Workspace and running applications.
  virtual std::vector<AppInfo> running_apps() = 0;  // in the workspace's order
  virtual std::optional<AppInfo> running_app(Pid pid) = 0;
  virtual std::optional<Pid> workspace_frontmost() = 0;
  virtual bool app_hide(Pid pid) = 0;
  virtual bool app_unhide(Pid pid) = 0;
  virtual bool app_activate(Pid pid) = 0;   // activateWithOptions, no options
  virtual bool app_terminate(Pid pid) = 0;
  virtual std::optional<Image> app_icon(Pid pid) = 0;
  // Registers for one notification name; callbacks run on the main queue. Returns a token.
  virtual uint64_t workspace_observe(std::string_view name, WorkspaceCallback callback) = 0;
  virtual void workspace_unobserve(uint64_t token) = 0;
  // Application registry.
  virtual bool open_url(std::string_view url) = 0;  // bundle, file or settings URL
  virtual std::optional<std::string> app_path_for_bundle_id(std::string_view bundle_id) = 0;
  virtual std::optional<std::string> bundle_id_for_path(std::string_view path) = 0;
  virtual std::vector<InstalledApp> installed_apps() = 0;

  // --- Accessibility.
  virtual bool ax_trusted(bool prompt) = 0;
  virtual AxElement ax_app(Pid pid) = 0;
  virtual AxElement ax_system_wide() = 0;
  // On the system-wide element this sets the default for every element.
  virtual void ax_set_timeout(AxElement& element, float seconds) = 0;
  // No value answers NO_VALUE; an attribute the element lacks answers ATTRIBUTE_UNSUPPORTED.
  virtual AxResult<Value> ax_copy(const AxElement& element, std::string_view attribute) = 0;
  virtual int32_t ax_set(const AxElement& element, std::string_view attribute, const Value& value) = 0;
  virtual int32_t ax_perform(const AxElement& element, std::string_view action) = 0;
  virtual AxResult<AxElement> ax_element_at(const AxElement& app, Point ws) = 0;
  virtual AxResult<AxObserverId> ax_observer_create(Pid pid, AxCallback callback) = 0;
  virtual int32_t ax_observer_add(AxObserverId observer, const AxElement& element,
                                  std::string_view notification, int64_t context) = 0;
  // Where the observer's callbacks run (the platform: the run loop its source was added to).
  virtual void ax_observer_schedule(AxObserverId observer, Dispatch dispatch) = 0;
  virtual void ax_observer_release(AxObserverId observer) = 0;

  // --- Hot keys (RegisterEventHotKey); the handler runs on the main queue.
  virtual int32_t hotkey_install_handler(HotKeyHandler handler) = 0;
  virtual int32_t hotkey_register(uint32_t keycode, uint32_t modifiers, HotKeyId id, HotKeyRef& out) = 0;
  virtual int32_t hotkey_unregister(HotKeyRef ref) = 0;

  // --- Event tap. `tap_run` runs the tap's loop on the calling thread (the tap thread); it
  // returns only when the backend shuts down. The callback and every task of
  // `tap_post_after` run on that thread. No tap can be created without accessibility trust.
  virtual std::optional<TapId> tap_create(uint64_t mask, TapCallback callback) = 0;
  virtual void tap_run(TapId tap) = 0;
  virtual void tap_post_after(TapId tap, Duration delay, Task task) = 0;
  virtual void tap_enable(TapId tap, bool on) = 0;
  virtual bool tap_enabled(TapId tap) = 0;
  // The switcher says a session is open (or closed). Where the tap cannot see or swallow keys
  // by itself (X11), the backend takes the whole keyboard for the session, so keys reach the
  // tap and no other application, and the modifier release is seen. False when the keyboard
  // could not be taken. The home platform's tap needs nothing: the default does nothing.
  virtual bool tap_session(TapId tap, bool open) { return true; }
  virtual void post_key(const TapEvent& event) = 0;  // synthetic event, HID system state source
  virtual uint64_t modifier_flags() = 0;             // HID system state
  virtual bool secure_input() = 0;
  virtual KeyRepeat key_repeat() = 0;

  // --- Screen capture; completions run on a backend thread, never the caller's.
  virtual bool capture_preflight() = 0;
  virtual bool capture_request() = 0;
  virtual void shareable_content(bool exclude_desktop, bool onscreen_only,
                                 std::function<void(ContentResult)> done) = 0;
  virtual void capture_window(Wid wid, int width, int height, std::function<void(CaptureResult)> done) = 0;
  virtual void capture_display(uint32_t display, std::vector<Wid> including, int width, int height,
                               std::function<void(CaptureResult)> done) = 0;

  // --- The application's own windows (border panel): stacking level and order.
  virtual void own_window_level(Wid own, int32_t level) = 0;
  virtual void own_window_below(Wid own, Wid target) = 0;

  // --- Processes.
  virtual Pid self_pid() = 0;
  // Single instance: claims this application's instance for the user and display. Answers the
  // pid of another running process of `bundle_id` that holds the claim (-1 when its pid cannot
  // be told), or none once this process holds it.
  virtual std::optional<Pid> claim_instance(std::string_view bundle_id) = 0;
  virtual bool process_exists(Pid pid) = 0;
  // Starts a program; `exited` (if given) runs on a backend thread with the exit status.
  virtual bool spawn(const std::string& program, const std::vector<std::string>& args,
                     std::function<void(int status)> exited) = 0;
  // Runs a program to completion and returns its standard output; none if it cannot run.
  virtual std::optional<std::string> run_output(const std::string& program, const std::vector<std::string>& args) = 0;

  // --- Login item, system preferences.
  virtual LoginStatus login_item_status() = 0;
  virtual std::optional<std::string> login_item_set(bool on) = 0;  // error text on failure
  virtual bool reduce_motion() = 0;
  // Whether a compositing manager blends translucent windows with what lies below them. The
  // home platform always does; without one (a bare X server) a translucent window's clear
  // pixels show black, so rounded windows cut their shape instead.
  virtual bool compositing() { return true; }
  virtual std::optional<Value> global_default(std::string_view key) = 0;
};

// The process-wide backend and main queue. `install` is called once at start-up (tests may
// install again between tests); both objects must outlive every use.
void install(Backend& backend, MainQueue& queue);
Backend& port();
MainQueue& main_queue();

// Chooses the backend at start: the sim when MIRVEX_SIM names a scenario file (a bad file is
// an error, never a silent fallback), otherwise x11. `error` explains an empty result.
struct Selected {
  std::unique_ptr<Backend> backend;
  std::string error;
};
Selected select_backend(MainQueue& queue, const char* sim_scenario);

// Stops the process with a fixed message: logged, written to standard error, then abort.
// `set_stop_hook` runs first (restoring the system ⌘Tab, for instance).
[[noreturn]] void stop(std::string_view message);
void set_stop_hook(std::function<void()> hook);

}  // namespace mirvex::sys
