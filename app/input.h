// The keyboard: the switcher's trigger chords and the per-app hotkeys as registered hot keys,
// the system's own ⌘Tab switched off while a trigger uses it, and the event tap on a thread
// of its own. While a switcher session is up the tap swallows the keys the session needs and
// sends them to the main thread as `Input`s; with none up it lets everything through except
// what it must finish swallowing. It also makes the hyper key's modifiers, turns a held Shift
// into backward steps, and watches clicks on the title-bar buttons of the window the focus
// border outlines. The restore guards (app/restore.h) give the system ⌘Tab back on every way
// out of the process.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/settings.h"
#include "core/switcher.h"
#include "core/types.h"
#include "sys/port.h"

namespace mirvex::input {

// Which title-bar button a probe found, and on which window.
enum class Button : uint8_t { Close, Minimize };
struct TitlebarHit {
  Wid wid = 0;
  Button button = Button::Close;
};
// The accessibility probe `titlebar_button_at(pid, point)`: may block, never on the tap thread.
using TitlebarProbe = std::function<std::optional<TitlebarHit>(Pid, Point)>;

// What the application hands the input layer once, at `start`. Every callable runs on the
// main thread.
struct Shared {
  std::function<void(const Input&)> handler;  // every Input the layer produces (the sink)
  std::function<void(Wid)> on_close;          // a click on the close button of the border's window
  std::function<void(Wid)> on_minimize;       // its minimise button, or ⌘M while it is outlined
  std::function<void()> open_settings;        // ⌘, or ⌘; during a session
  TitlebarProbe titlebar_button_at;
  // True while a switcher session is up: the session logic sets it when it shows the panel
  // and clears it on dismiss; the tap reads it. Made by `start` when left empty.
  std::shared_ptr<std::atomic<bool>> active;
};

// The `wid` the focus border outlines, 0 for none: written by the border logic, read by the tap.
extern std::atomic<Wid> BORDER_TARGET;

// Trigger chords: `hold` 0 Command, 1 Option, 2 Control; `key` 0 Tab, 1 grave accent, 2 Space.
inline constexpr std::array<uint32_t, 3> HOLD_MASKS{0x100, 0x800, 0x1000};
inline constexpr std::array<uint16_t, 3> TRIGGER_KEYS{48, 50, 49};
// Hot-key identifiers: signature "mrvx"; trigger slot s registers 2s (plain) and 2s+1
// (Shift); the per-app hotkey at position n registers APP_ID_BASE + n.
inline constexpr uint32_t SIGNATURE = 0x6D727678;
inline constexpr uint32_t APP_ID_BASE = 1000;

struct Wanted {
  uint64_t slot = 0;
  uint8_t hold = 0;
  uint8_t key = 0;
  bool operator==(const Wanted&) const = default;
};
struct AppChord {
  int32_t code = -1;  // -1: unusable, never registered
  uint32_t mask = 0;
  bool operator==(const AppChord&) const = default;
};
// The triggers the settings ask for: enabled slots in order, the first of each chord only.
std::vector<Wanted> wanted(const Settings& settings);
// One entry per `AppHotkey`, in order; unusable ones (disabled, ⌘ or ⌘⇧ alone, no ⌘/⌥/⌃ on a
// key that is not a function key, or app hotkeys off) are -1.
std::vector<AppChord> app_wanted(const Settings& settings);

// Main thread. Stores `shared` (stops the process with "input::start called twice" on a
// second call), then `retry`.
bool start(Shared shared);
// Starts the tap thread and the hot-key handler when they are not yet up, then registers
// the hot keys. True when all of it is up.
bool retry();
// Copies what the tap needs, remaps the hyper key, rebuilds the wanted triggers and app
// chords, and re-registers when the handler is installed.
void apply(const Settings& settings);
// Re-registers every hot key and sets the system ⌘Tab and ⌘⇧Tab (symbolic hot keys 1, 2).
void sync();
// The front application is one the switcher ignores / accessibility permission is missing.
void set_ignored(bool ignored);
void set_untrusted(bool untrusted);
// The switcher session opened or closed: sets the tap's session flag and, where the platform
// needs it, takes or gives back the whole keyboard for the session.
void set_session(bool open);
// While a session is up: reports the hold modifiers at once and then every 1/60 s when they
// change, so their release is seen even when the tap misses it.
void start_modifier_poll();
void stop_modifier_poll();
// The tap and the hot-key handler are running.
bool tap_alive();

// The 16-byte message a tap or hot-key input travels in: byte 0 the Input kind, then by kind
// (Hotkey: 1 backwards, 2 blind, 8-15 slot; AppHotkey: 1 front, 8-15 slot; Step: 1
// backwards; Key: 1 code; Char: 4-7 the scalar; Modifiers: 1-3 command, option, control).
using Message = std::array<uint8_t, 16>;
// Kinds 0 to 6 only; none for the pointer and refresh inputs.
std::optional<Message> encode(const Input& input);
// None for an unknown kind, a key code past escape or a character that is not a scalar value.
std::optional<Input> decode(const Message& message);
// Any thread: the main queue decodes the message and calls the handler.
void send(const Message& message);

// The character a key event types: none for no text, control characters, and lone or
// malformed surrogates.
std::optional<char32_t> text(const sys::TapEvent& event);

// The callbacks: the event tap's (tap thread; none swallows the event) and the hot keys' (main).
std::optional<sys::TapEvent> on_tap(const sys::TapEvent& event);
void on_hotkey(sys::HotKeyId id);

// The receiver of per-app hotkey positions, set once at start-up; called on the main queue.
void set_app_handler(std::function<void(size_t)> on_app);

}  // namespace mirvex::input
