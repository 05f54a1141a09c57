#include "app/input.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "app/hyper.h"
#include "app/private.h"
#include "app/ws.h"
#include "core/hyper_map.h"
#include "core/keys.h"
#include "core/log.h"

namespace mirvex::input {

std::atomic<Wid> BORDER_TARGET{0};

namespace {

using sys::TapEvent;
using sys::TapType;
using namespace std::chrono_literals;

// The function keys an app hotkey may use without Command, Option or Control.
constexpr std::array<uint32_t, 20> BARE_FUNCTION_KEYS{64, 79, 80, 90, 96, 97, 98, 99, 100, 101,
                                                      103, 105, 106, 107, 109, 111, 113, 118, 120, 122};
constexpr uint32_t MASK_HOLDS = keys::MASK_COMMAND | keys::MASK_OPTION | keys::MASK_CONTROL;  // 0x1900
constexpr uint64_t HYPER_FLAGS = keys::FLAGS_HOLD;                                           // 0x1C0000
constexpr sys::Duration REENABLE_DELAY = 1s;
constexpr sys::Duration POLL_INTERVAL = std::chrono::microseconds(16667);  // 1/60 s
// The shortest key-repeat interval the platform offers; a smaller answer would flood the queue.
constexpr sys::Duration MIN_REPEAT = 15ms;

// --- Main thread.
std::optional<Shared> SHARED;  // set once by start; read-only afterwards (the tap reads it too)
std::vector<Wanted> WANTED;
std::vector<AppChord> APP_WANTED;
std::vector<sys::HotKeyRef> REGISTERED;
bool IGNORED = false, UNTRUSTED = false, HANDLER = false;
bool TAP_THREAD = false;  // the tap thread runs its loop
std::function<void(size_t)> ON_APP;
uint64_t POLL = 0;  // generation of the running poll; 0 when stopped
uint64_t POLL_SERIAL = 0;
std::optional<in::Modifiers> LAST_POLL;  // none: the reset mark

// --- Shared between the main and the tap thread.
std::array<std::atomic<bool>, 9> TRIGGERS{};  // hold * 3 + key
std::atomic<bool> TAP_ALIVE{false};
std::atomic<bool> SHIFT_TAP_BACK{true}, HYPER_SHIFT{false}, HYPER_ON{false};
std::mutex CHORDS_MU;
std::vector<AppChord> APP_CHORDS;  // guarded by CHORDS_MU

// --- Tap thread.
sys::TapId TAP = 0;                // written before the thread answers, then read-only
std::bitset<128> SWALLOWED;        // key codes whose release (and repeats) must be swallowed
bool HYPER_DOWN = false, SHIFT_DOWN = false, SHIFT_STEPPED = false;
uint64_t SHIFT_REPEAT = 0;         // generation of the armed Shift repeat; 0 none
uint64_t REPEAT_SERIAL = 0;
bool REENABLE_ARMED = false;

bool session_active() { return SHARED && SHARED->active && SHARED->active->load(); }

void post_main(sys::Task task) { sys::main_queue().post(std::move(task)); }

// Runs `f` on the main thread and waits for its result (from a short-lived thread only).
template <class F>
auto on_main_and_wait(F f) -> decltype(f()) {
  auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
  auto result = task->get_future();
  post_main([task] { (*task)(); });
  return result.get();
}

void send_input(const Input& input) {
  if (auto m = encode(input)) send(*m);
}

void put_u64(Message& m, size_t at, uint64_t v) {
  for (size_t i = 0; i < 8; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get_u64(const Message& m, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v |= uint64_t{m[at + i]} << (8 * i);
  return v;
}

// ------------------------------------------------------------------ registration

void register_hotkey(uint32_t code, uint32_t mask, uint32_t id, int32_t& status) {
  sys::HotKeyRef ref = 0;
  status = sys::port().hotkey_register(code, mask, sys::HotKeyId{SIGNATURE, id}, ref);
  if (status == 0) REGISTERED.push_back(ref);
}

// ------------------------------------------------------------------ tap thread

void cancel_shift_repeat() { SHIFT_REPEAT = 0; }

void shift_repeat_fire(uint64_t generation, sys::Duration interval) {
  if (SHIFT_REPEAT != generation) return;
  if (!session_active()) {
    SHIFT_REPEAT = 0;
    return;
  }
  send_input(in::Step{true});
  sys::port().tap_post_after(TAP, interval, [generation, interval] { shift_repeat_fire(generation, interval); });
}

void start_shift_repeat() {
  const sys::KeyRepeat r = sys::port().key_repeat();
  const uint64_t generation = SHIFT_REPEAT = ++REPEAT_SERIAL;
  const sys::Duration interval = std::max(r.interval, MIN_REPEAT);
  sys::port().tap_post_after(TAP, std::max(r.delay, sys::Duration::zero()),
                             [generation, interval] { shift_repeat_fire(generation, interval); });
}

void reenable_fire() {
  sys::port().tap_enable(TAP, true);
  if (!sys::port().tap_enabled(TAP)) {
    sys::port().tap_post_after(TAP, REENABLE_DELAY, reenable_fire);
    return;
  }
  REENABLE_ARMED = false;
  log::log("input: event tap back on");
  TAP_ALIVE = true;
}

void on_tap_disabled() {
  log::log("input: event tap disabled by system, re-enabling");
  SWALLOWED.reset();
  sys::port().tap_enable(TAP, true);
  if (sys::port().tap_enabled(TAP)) return;
  log::log("input: event tap could not be re-enabled");
  TAP_ALIVE = false;
  if (REENABLE_ARMED) return;  // one timer chain is enough
  REENABLE_ARMED = true;
  sys::port().tap_post_after(TAP, REENABLE_DELAY, reenable_fire);
}

// The short-lived thread after a click near the outlined window's title-bar buttons.
void probe_titlebar(Wid target, Point at) {
  const std::optional<std::vector<WindowInfo>> list = ws::windows(ws::ON_SCREEN, true);
  if (!list) return;
  auto w = std::find_if(list->begin(), list->end(), [&](const WindowInfo& i) { return i.wid == target; });
  if (w == list->end() || !SHARED->titlebar_button_at) return;
  const Pid pid = w->pid;
  const TitlebarProbe& probe = SHARED->titlebar_button_at;
  // Accessibility calls into the own process must come from its main thread.
  const std::optional<TitlebarHit> hit = pid == sys::port().self_pid()
                                             ? on_main_and_wait([&] { return probe(pid, at); })
                                             : probe(pid, at);
  if (!hit || hit->wid != target) return;
  const std::function<void(Wid)>& act = hit->button == Button::Close ? SHARED->on_close : SHARED->on_minimize;
  if (act) on_main_and_wait([&] { act(target); });
}

void on_click(Point at) {
  const Wid target = BORDER_TARGET.load();
  if (!target) return;
  const Private& p = P();
  Rect r;
  if (p.SLSGetWindowBounds(p.CGSMainConnectionID(), target, r) != 0 || !(r.w > 0) || !(r.h > 0)) return;
  if (at.x < r.x || at.x > r.x + 88 || at.y < r.y || at.y > r.y + 56) return;
  std::thread(probe_titlebar, target, at).detach();
}

void on_flags(const TapEvent& e) {
  const bool shift = e.flags & keys::FLAG_SHIFT;
  const bool active = session_active();
  if (!shift && SHIFT_DOWN) {
    SHIFT_STEPPED = false;
    cancel_shift_repeat();
  } else if (shift && !SHIFT_DOWN) {
    const bool tap_back = active && SHIFT_TAP_BACK;
    SHIFT_STEPPED = tap_back;
    if (tap_back) {
      send_input(in::Step{true});
      start_shift_repeat();
    }
  }
  SHIFT_DOWN = shift;
  send_input(in::Modifiers{(e.flags & keys::FLAG_COMMAND) != 0, (e.flags & keys::FLAG_OPTION) != 0,
                           (e.flags & keys::FLAG_CONTROL) != 0});
}

// F18, the key the hyper mapping produces: posts the added modifiers' own key events.
void on_hyper_key(const TapEvent& e) {
  struct Mod {
    uint16_t code;
    uint64_t flag;
  };
  std::vector<Mod> mods{{keys::CONTROL, keys::FLAG_CONTROL}, {keys::OPTION, keys::FLAG_OPTION},
                        {keys::COMMAND, keys::FLAG_COMMAND}};
  if (HYPER_SHIFT) mods.push_back({keys::SHIFT, keys::FLAG_SHIFT});
  if (e.type == TapType::KeyDown && !e.autorepeat && !HYPER_DOWN) {
    HYPER_DOWN = true;
    uint64_t held = 0;
    for (const Mod& m : mods) {
      held |= m.flag;
      sys::port().post_key(TapEvent{TapType::KeyDown, m.code, held, false, {}, {}});
    }
  } else if (e.type == TapType::KeyUp && HYPER_DOWN) {
    HYPER_DOWN = false;
    uint64_t held = 0;
    for (const Mod& m : mods) held |= m.flag;
    for (auto m = mods.rbegin(); m != mods.rend(); ++m) {
      held &= ~m->flag;
      sys::port().post_key(TapEvent{TapType::KeyUp, m->code, held, false, {}, {}});
    }
  }
}

// The trigger the chord of `k` and `flags` is, when its hot keys are registered.
bool is_trigger(uint16_t k, uint64_t flags) {
  const auto key = std::find(TRIGGER_KEYS.begin(), TRIGGER_KEYS.end(), k);
  if (key == TRIGGER_KEYS.end()) return false;
  const uint64_t held = flags & keys::FLAGS_HOLD;
  const int hold = held == keys::FLAG_COMMAND ? 0 : held == keys::FLAG_OPTION ? 1 : held == keys::FLAG_CONTROL ? 2 : -1;
  return hold >= 0 && TRIGGERS[static_cast<size_t>(hold) * 3 + static_cast<size_t>(key - TRIGGER_KEYS.begin())];
}

bool is_app_chord(uint16_t k, uint64_t flags) {
  const AppChord chord{static_cast<int32_t>(k), keys::carbon_mask(flags)};
  std::lock_guard lock(CHORDS_MU);
  return std::find(APP_CHORDS.begin(), APP_CHORDS.end(), chord) != APP_CHORDS.end();
}

// A key the session takes (already marked swallowed): its message, if any.
void session_key(const TapEvent& e, uint16_t k, bool stepped) {
  const bool shift = e.flags & keys::FLAG_SHIFT;
  const std::optional<char32_t> typed = text(e);
  if ((e.flags & keys::FLAG_COMMAND) && (k == keys::COMMA || typed == U',' || typed == U';')) {
    send_input(in::Key{in::Key::ESCAPE});
    post_main([] {
      if (SHARED->open_settings) SHARED->open_settings();
    });
    return;
  }
  switch (k) {
    case keys::RETURN:
    case keys::ENTER: send_input(in::Key{in::Key::RETURN}); return;
    case keys::ESCAPE: send_input(in::Key{in::Key::ESCAPE}); return;
    case keys::UP: send_input(in::Key{in::Key::UP}); return;
    case keys::DOWN: send_input(in::Key{in::Key::DOWN}); return;
    case keys::LEFT: send_input(in::Key{in::Key::LEFT}); return;
    case keys::RIGHT: send_input(in::Key{in::Key::RIGHT}); return;
    case keys::TAB:
      if (!stepped) send_input(in::Step{shift});
      return;
    case keys::DELETE: send_input(in::Backspace{}); return;
    default: break;
  }
  if (auto c = keys::letter(k)) send_input(in::Char{*c});
  else if (typed) send_input(in::Char{*typed});
}

std::optional<TapEvent> on_key_down(const TapEvent& e) {
  const bool stepped = SHIFT_STEPPED;
  SHIFT_STEPPED = false;
  cancel_shift_repeat();
  const uint16_t k = e.keycode & 0x7F;
  const bool active = session_active();
  const Wid target = BORDER_TARGET.load();
  if (!active && target && !e.autorepeat && (e.flags & keys::FLAGS_ALL) == keys::FLAG_COMMAND) {
    const std::optional<char32_t> typed = text(e);
    const bool m = typed && *typed < 0x80 ? (*typed == U'm' || *typed == U'M') : k == keys::M;
    if (m)
      post_main([target] {
        if (SHARED->on_minimize) SHARED->on_minimize(target);
      });
  }
  if (!active) {
    if (SWALLOWED[k]) return std::nullopt;
    return e;
  }
  const bool trigger = is_trigger(k, e.flags);
  if (trigger || is_app_chord(k, e.flags)) {
    if (e.autorepeat) {
      // Held trigger: step through; a held app hotkey steps forward whatever its modifiers.
      send_input(in::Step{trigger && (e.flags & keys::FLAG_SHIFT)});
      return std::nullopt;
    }
    // The registered hot key delivers a first press, unless a Shift tap already stepped.
    if (stepped) return std::nullopt;
    return e;
  }
  SWALLOWED[k] = true;
  session_key(e, k, stepped);
  return std::nullopt;
}

void tap_thread(std::promise<bool> answer) {
  const std::optional<sys::TapId> tap = sys::port().tap_create(sys::TAP_MASK, on_tap);
  if (!tap) {
    log::log("input: CGEventTapCreate failed (Accessibility not granted?)");
    answer.set_value(false);
    return;
  }
  sys::port().tap_enable(*tap, true);
  log::log(fmt::format("input: event tap enabled={}", sys::port().tap_enabled(*tap)));
  TAP = *tap;
  answer.set_value(true);
  sys::port().tap_run(*tap);
}

// Updates a flag that decides what registers; a change re-registers once the handler is up.
void set_flag(bool& flag, bool value, std::string_view line) {
  const bool changed = flag != value;
  flag = value;
  if (!changed || !HANDLER) return;
  log::log(line);
  sync();
}

void poll_fire(uint64_t generation) {
  if (POLL != generation) return;
  const uint64_t flags = sys::port().modifier_flags();
  const in::Modifiers now{(flags & keys::FLAG_COMMAND) != 0, (flags & keys::FLAG_OPTION) != 0,
                          (flags & keys::FLAG_CONTROL) != 0};
  if (!LAST_POLL || LAST_POLL->command != now.command || LAST_POLL->option != now.option ||
      LAST_POLL->control != now.control) {
    LAST_POLL = now;
    if (SHARED && SHARED->handler) SHARED->handler(now);
  }
  if (POLL != generation) return;  // the handler stopped the poll
  sys::main_queue().post_after(POLL_INTERVAL, [generation] { poll_fire(generation); });
}

}  // namespace

// ------------------------------------------------------------------ settings

std::vector<Wanted> wanted(const Settings& settings) {
  std::vector<Wanted> out;
  for (size_t slot = 0; slot < settings.shortcuts.size(); ++slot) {
    const Shortcut& s = settings.shortcuts[slot];
    if (!s.enabled || s.hold >= HOLD_MASKS.size() || s.key >= TRIGGER_KEYS.size()) continue;
    if (std::any_of(out.begin(), out.end(), [&](const Wanted& w) { return w.hold == s.hold && w.key == s.key; }))
      continue;
    out.push_back(Wanted{slot, s.hold, s.key});
  }
  return out;
}

std::vector<AppChord> app_wanted(const Settings& settings) {
  std::vector<AppChord> out;
  for (const AppHotkey& h : settings.appHotkeys) {
    const bool function_key =
        std::find(BARE_FUNCTION_KEYS.begin(), BARE_FUNCTION_KEYS.end(), h.code) != BARE_FUNCTION_KEYS.end();
    const bool usable = settings.appHotkeysOn && h.enabled && h.code <= 0x7F && h.mods != keys::MASK_COMMAND &&
                        h.mods != (keys::MASK_COMMAND | keys::MASK_SHIFT) &&
                        ((h.mods & MASK_HOLDS) != 0 || function_key);
    out.push_back(usable ? AppChord{static_cast<int32_t>(h.code), h.mods} : AppChord{});
  }
  return out;
}

// ------------------------------------------------------------------ main thread

bool start(Shared shared) {
  if (SHARED) sys::stop("input::start called twice");
  if (!shared.active) shared.active = std::make_shared<std::atomic<bool>>(false);
  SHARED = std::move(shared);
  return retry();
}

bool retry() {
  if (!TAP_THREAD) {
    std::promise<bool> answer;
    std::future<bool> up = answer.get_future();
    std::thread(tap_thread, std::move(answer)).detach();
    if (!up.get()) return false;
    TAP_THREAD = true;
  }
  if (!HANDLER) {
    const int32_t status = sys::port().hotkey_install_handler(on_hotkey);
    log::log(fmt::format("input: InstallEventHandler status {}", status));
    HANDLER = status == 0;
    if (!HANDLER) {
      TAP_ALIVE = false;
      return false;
    }
  }
  sync();
  TAP_ALIVE = true;
  return true;
}

void apply(const Settings& settings) {
  SHIFT_TAP_BACK = settings.shiftTapBack;
  HYPER_SHIFT = settings.hyperShift;
  HYPER_ON = hyper::usage(settings.hyperKey).has_value();
  hyper::map(settings.hyperKey);
  WANTED = wanted(settings);
  APP_WANTED = app_wanted(settings);
  {
    std::lock_guard lock(CHORDS_MU);
    APP_CHORDS = APP_WANTED;
  }
  if (HANDLER) sync();
}

void sync() {
  sys::Backend& port = sys::port();
  for (sys::HotKeyRef ref : REGISTERED) port.hotkey_unregister(ref);
  REGISTERED.clear();
  for (auto& t : TRIGGERS) t = false;

  bool command_tab = false;
  if (!UNTRUSTED)
    for (const Wanted& w : WANTED) {
      const bool is_command_tab = w.hold == 0 && w.key == 0;
      if (IGNORED) {
        command_tab |= is_command_tab;
        continue;
      }
      const uint32_t code = TRIGGER_KEYS[w.key], mask = HOLD_MASKS[w.hold];
      bool both = true;
      for (const uint32_t shift : {0u, keys::MASK_SHIFT}) {
        int32_t status = 0;
        register_hotkey(code, mask | shift, static_cast<uint32_t>(2 * w.slot + (shift ? 1 : 0)), status);
        log::log(fmt::format("input: RegisterEventHotKey slot={} mods={:#x} status {}", w.slot, mask | shift, status));
        both &= status == 0;
      }
      if (both) {
        TRIGGERS[w.hold * 3u + w.key] = true;
        command_tab |= is_command_tab;
      }
    }

  if (!IGNORED && !UNTRUSTED)
    for (size_t n = 0; n < APP_WANTED.size(); ++n) {
      const AppChord& c = APP_WANTED[n];
      if (c.code < 0) continue;
      int32_t status = 0;
      register_hotkey(static_cast<uint32_t>(c.code), c.mask, APP_ID_BASE + static_cast<uint32_t>(n), status);
      if (status != 0)
        log::log(fmt::format("input: app hotkey {} code={} mods={:#x} status {}", n, c.code, c.mask, status));
    }

  // While a trigger owns ⌘Tab (or the ignored front app should get it), the system's own
  // switcher must not take it.
  const Private& p = P();
  p.CGSSetSymbolicHotKeyEnabled(1, !command_tab);
  p.CGSSetSymbolicHotKeyEnabled(2, !command_tab);
}

void set_ignored(bool ignored) {
  set_flag(IGNORED, ignored, ignored ? "input: shortcuts ignored for the front app" : "input: shortcuts restored");
}

void set_untrusted(bool untrusted) {
  set_flag(UNTRUSTED, untrusted, untrusted ? "input: accessibility lost" : "input: accessibility back");
}

void set_session(bool open) {
  if (!SHARED) return;
  if (SHARED->active->exchange(open) == open) return;
  if (TAP_THREAD && !sys::port().tap_session(TAP, open) && open)
    log::log("input: keyboard not taken for the session; the modifier poll ends it");
}

void start_modifier_poll() {
  LAST_POLL.reset();
  const uint64_t generation = POLL = ++POLL_SERIAL;
  sys::main_queue().post([generation] { poll_fire(generation); });
}

void stop_modifier_poll() { POLL = 0; }

bool tap_alive() { return TAP_ALIVE; }

void set_app_handler(std::function<void(size_t)> on_app) { ON_APP = std::move(on_app); }

void on_hotkey(sys::HotKeyId id) {
  if (id.signature != SIGNATURE) return;
  if (id.id < APP_ID_BASE) {
    const bool blind = !TAP_ALIVE || sys::port().secure_input();
    send_input(in::Hotkey{(id.id & 1) != 0, blind, id.id / 2});
  } else if (ON_APP) {
    post_main([n = size_t{id.id - APP_ID_BASE}] {
      if (ON_APP) ON_APP(n);
    });
  }
}

// ------------------------------------------------------------------ messages

std::optional<Message> encode(const Input& input) {
  Message m{};
  m[0] = static_cast<uint8_t>(input.index());
  if (auto* h = std::get_if<in::Hotkey>(&input)) {
    m[1] = h->backwards;
    m[2] = h->blind;
    put_u64(m, 8, h->slot);
  } else if (auto* a = std::get_if<in::AppHotkey>(&input)) {
    m[1] = a->front;
    put_u64(m, 8, a->slot);
  } else if (auto* s = std::get_if<in::Step>(&input)) {
    m[1] = s->backwards;
  } else if (auto* k = std::get_if<in::Key>(&input)) {
    m[1] = k->code;
  } else if (auto* c = std::get_if<in::Char>(&input)) {
    const uint32_t v = c->c;
    for (size_t i = 0; i < 4; ++i) m[4 + i] = static_cast<uint8_t>(v >> (8 * i));
  } else if (auto* mods = std::get_if<in::Modifiers>(&input)) {
    m[1] = mods->command;
    m[2] = mods->option;
    m[3] = mods->control;
  } else if (!std::holds_alternative<in::Backspace>(input)) {
    return std::nullopt;
  }
  return m;
}

std::optional<Input> decode(const Message& m) {
  switch (m[0]) {
    case 0: return in::Hotkey{m[1] != 0, m[2] != 0, static_cast<size_t>(get_u64(m, 8))};
    case 1: return in::AppHotkey{m[1] != 0, static_cast<size_t>(get_u64(m, 8))};
    case 2: return in::Step{m[1] != 0};
    case 3:
      if (m[1] > in::Key::ESCAPE) return std::nullopt;
      return in::Key{m[1]};
    case 4: return in::Backspace{};
    case 5: {
      uint32_t v = 0;
      for (size_t i = 0; i < 4; ++i) v |= uint32_t{m[4 + i]} << (8 * i);
      if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return std::nullopt;
      return in::Char{static_cast<char32_t>(v)};
    }
    case 6: return in::Modifiers{m[1] != 0, m[2] != 0, m[3] != 0};
    default: return std::nullopt;
  }
}

void send(const Message& message) {
  post_main([message] {
    if (!SHARED || !SHARED->handler) return;
    if (std::optional<Input> input = decode(message)) SHARED->handler(*input);
  });
}

// ------------------------------------------------------------------ the tap

std::optional<char32_t> text(const TapEvent& event) {
  const std::u16string_view t = std::u16string_view(event.text).substr(0, 4);
  if (t.empty()) return std::nullopt;
  const char16_t u = t[0];
  if (u >= 0xD800 && u <= 0xDBFF) {
    if (t.size() < 2 || t[1] < 0xDC00 || t[1] > 0xDFFF) return std::nullopt;
    return static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (t[1] - 0xDC00));
  }
  if (u >= 0xDC00 && u <= 0xDFFF) return std::nullopt;
  if (u < 32 || (u >= 127 && u <= 159)) return std::nullopt;
  return static_cast<char32_t>(u);
}

std::optional<TapEvent> on_tap(const TapEvent& event) {
  switch (event.type) {
    case TapType::DisabledByTimeout:
    case TapType::DisabledByUserInput: on_tap_disabled(); return event;
    case TapType::LeftMouseDown: on_click(event.location); return event;
    case TapType::FlagsChanged: on_flags(event); return event;
    case TapType::KeyDown:
    case TapType::KeyUp: break;
  }
  // The F18 release also ends a hyper press begun before the hyper key was turned off, so the
  // posted modifiers never stay down.
  if (event.keycode == keys::F18 && (HYPER_ON || (HYPER_DOWN && event.type == TapType::KeyUp))) {
    on_hyper_key(event);
    return std::nullopt;
  }
  TapEvent e = event;
  if (HYPER_ON && HYPER_DOWN) e.flags |= HYPER_SHIFT ? (HYPER_FLAGS | keys::FLAG_SHIFT) : HYPER_FLAGS;
  if (e.type == TapType::KeyUp) {
    const uint16_t k = e.keycode & 0x7F;
    if (!SWALLOWED[k]) return e;
    SWALLOWED[k] = false;
    return std::nullopt;
  }
  return on_key_down(e);
}

}  // namespace mirvex::input
