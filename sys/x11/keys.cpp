// Hot keys as passive grabs on the root; the event tap as an active keyboard grab while a
// switcher session is open (X has no tap: outside a session keys cannot be seen or swallowed);
// synthetic keys through XTest; modifier state and key repeat from the server.
// xkb.h names a member `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>

#include "sys/x11/backend.h"
#include "sys/x11/keymap.h"

namespace mirvex::sys::x11 {

namespace {

constexpr int32_t HOTKEY_EXISTS = -9878;   // eventHotKeyExistsErr: the chord is taken
constexpr int32_t HOTKEY_INVALID = -9879;  // eventHotKeyInvalidErr
constexpr uint16_t NO_VK = 0xFFFF;         // a key with no virtual key code
constexpr uint64_t FLAG_FN = 0x800000;
// Lock and NumLock never change what a chord means, so every grab comes in four variants.
constexpr uint16_t IGNORED[] = {0, X_LOCK, X_MOD2, X_LOCK | X_MOD2};

uint64_t flag_of_modifier(uint16_t vk) {
  switch (vk) {
    case 0x36: case 0x37: return FLAG_COMMAND;
    case 0x38: case 0x3C: return FLAG_SHIFT;
    case 0x3A: case 0x3D: return FLAG_OPTION;
    case 0x3B: case 0x3E: return FLAG_CONTROL;
    case 0x39: return FLAG_CAPS;
    default: return FLAG_FN;
  }
}

}  // namespace

std::optional<xcb_keycode_t> X11::keycode_for_vk(uint16_t vk) {
  auto sym = keysym_for_vk(vk);
  if (!sym) return std::nullopt;
  std::lock_guard lock(mu_);
  xcb_keycode_t* codes = xcb_key_symbols_get_keycode(syms_, *sym);
  if (!codes) return std::nullopt;
  std::optional<xcb_keycode_t> kc;
  if (codes[0] != XCB_NO_SYMBOL) kc = codes[0];
  std::free(codes);
  return kc;
}

int32_t X11::hotkey_install_handler(HotKeyHandler handler) {
  std::lock_guard lock(mu_);
  hotkey_handler_ = std::move(handler);
  return 0;
}

int32_t X11::hotkey_register(uint32_t keycode, uint32_t modifiers, HotKeyId id, HotKeyRef& out) {
  if (keycode > 0x7F) return HOTKEY_INVALID;
  auto kc = keycode_for_vk(uint16_t(keycode));
  if (!kc) return HOTKEY_INVALID;
  const uint16_t mods = x_mods_for_carbon(modifiers) & ~X_LOCK;
  {
    std::lock_guard lock(mu_);
    for (const auto& [ref, hk] : hotkeys_)
      if (hk.keycode == *kc && hk.mods == mods) return HOTKEY_EXISTS;
  }
  xcb_connection_t* c = conn_.c();
  std::vector<xcb_void_cookie_t> cookies;
  for (uint16_t extra : IGNORED)
    cookies.push_back(xcb_grab_key_checked(c, 1, conn_.root(), mods | extra, *kc, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  bool failed = false;
  for (auto cookie : cookies)
    if (xcb_generic_error_t* err = xcb_request_check(c, cookie)) {
      failed = true;  // BadAccess: another client holds the chord
      std::free(err);
    }
  if (failed) {
    for (uint16_t extra : IGNORED) xcb_ungrab_key(c, *kc, conn_.root(), mods | extra);
    xcb_flush(c);
    return HOTKEY_EXISTS;
  }
  std::lock_guard lock(mu_);
  out = next_token_++;
  hotkeys_[out] = HotKey{*kc, mods, id};
  return 0;
}

int32_t X11::hotkey_unregister(HotKeyRef ref) {
  HotKey hk;
  {
    std::lock_guard lock(mu_);
    auto it = hotkeys_.find(ref);
    if (it == hotkeys_.end()) return HOTKEY_INVALID;
    hk = it->second;
    hotkeys_.erase(it);
  }
  // Checked, so the chord is free for any other client once this returns (a grab it makes
  // right after is not refused by an ungrab still on its way).
  std::vector<xcb_void_cookie_t> cookies;
  for (uint16_t extra : IGNORED)
    cookies.push_back(xcb_ungrab_key_checked(conn_.c(), hk.keycode, conn_.root(), hk.mods | extra));
  for (xcb_void_cookie_t cookie : cookies) std::free(xcb_request_check(conn_.c(), cookie));
  return 0;
}

bool X11::handle_key(const xcb_key_press_event_t* ev, bool press) {
  std::lock_guard lock(mu_);
  const xcb_keysym_t sym = xcb_key_symbols_get_keysym(syms_, ev->detail, 0);
  const uint16_t vk = vk_for_keysym(sym).value_or(NO_VK);
  if (session_ && tap_on_ && tap_callback_) {
    TapEvent t;
    t.keycode = vk;
    uint64_t flags = flags_for_x_state(ev->state);  // the state before this event
    if (vk != NO_VK && is_modifier_vk(vk)) {
      t.type = TapType::FlagsChanged;
      flags = press ? flags | flag_of_modifier(vk) : flags & ~flag_of_modifier(vk);
    } else {
      t.type = press ? TapType::KeyDown : TapType::KeyUp;
      t.autorepeat = press && down_.count(ev->detail) > 0;
      const bool shifted = (ev->state & X_SHIFT) != 0;
      xcb_keysym_t typed = xcb_key_symbols_get_keysym(syms_, ev->detail, shifted ? 1 : 0);
      t.text = text_for_keysym(typed ? typed : sym);
    }
    t.flags = flags;
    if (press) down_.insert(ev->detail);
    else down_.erase(ev->detail);
    tap_events_.push_back(std::move(t));
    tap_wake_.notify_all();
    return true;
  }
  return press && fire_hotkey_locked(ev->detail, ev->state);
}

bool X11::fire_hotkey_locked(uint8_t keycode, uint16_t state) {
  if (!hotkey_handler_) return false;
  state &= ~(X_LOCK | X_MOD2);
  for (const auto& [ref, hk] : hotkeys_)
    if (hk.keycode == keycode && hk.mods == state) {
      HotKeyHandler h = hotkey_handler_;
      HotKeyId id = hk.id;
      queue_.post([h, id] { h(id); });
      return true;
    }
  return false;
}

std::optional<TapId> X11::tap_create(uint64_t, TapCallback callback) {
  std::lock_guard lock(mu_);
  if (tap_callback_) return std::nullopt;  // one tap per process
  tap_callback_ = std::move(callback);
  tap_on_ = true;
  return TapId{1};
}

void X11::tap_run(TapId) {
  std::unique_lock lock(mu_);
  tap_running_ = true;
  while (!closing_) {
    auto due = std::min_element(tap_timers_.begin(), tap_timers_.end(),
                                [](const TapTimer& a, const TapTimer& b) { return a.due < b.due; });
    if (due != tap_timers_.end() && due->due <= std::chrono::steady_clock::now()) {
      Task task = std::move(due->task);
      tap_timers_.erase(due);
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    if (!tap_events_.empty()) {
      TapEvent ev = std::move(tap_events_.front());
      tap_events_.pop_front();
      TapCallback cb = tap_callback_;
      lock.unlock();
      // While the session holds the keyboard no other client may receive it, so what the
      // callback passes on goes where it would without the grab: a key press of a registered
      // chord to its hot key (the trigger pressed again steps the session); the rest is dropped.
      const std::optional<TapEvent> passed = cb ? cb(ev) : std::nullopt;
      const std::optional<xcb_keycode_t> kc =
          passed && passed->type == TapType::KeyDown ? keycode_for_vk(passed->keycode) : std::nullopt;
      lock.lock();
      if (kc) fire_hotkey_locked(*kc, x_state_for_flags(passed->flags));
      continue;
    }
    if (due != tap_timers_.end()) tap_wake_.wait_until(lock, due->due);
    else tap_wake_.wait(lock);
  }
  tap_running_ = false;
  tap_wake_.notify_all();
}

void X11::tap_post_after(TapId, Duration delay, Task task) {
  std::lock_guard lock(mu_);
  tap_timers_.push_back(TapTimer{std::chrono::steady_clock::now() + delay, std::move(task)});
  tap_wake_.notify_all();
}

void X11::tap_enable(TapId, bool on) {
  std::lock_guard lock(mu_);
  tap_on_ = on;
}

bool X11::tap_enabled(TapId) {
  std::lock_guard lock(mu_);
  return tap_on_;
}

bool X11::tap_session(TapId, bool open) {
  xcb_connection_t* c = conn_.c();
  if (!open) {
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_flush(c);
    std::lock_guard lock(mu_);
    session_ = false;
    down_.clear();
    return true;
  }
  {
    std::lock_guard lock(mu_);
    session_ = true;  // before the grab, so no key between the grab and this flag is lost
  }
  // Another client may hold the keyboard for a moment (a menu, the window manager's own chord).
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto r = xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, conn_.root(), XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
    const bool ok = r && r->status == XCB_GRAB_STATUS_SUCCESS;
    std::free(r);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard lock(mu_);
  session_ = false;
  return false;
}

void X11::post_key(const TapEvent& event) {
  auto kc = keycode_for_vk(event.keycode);
  if (!kc) return;
  bool press = event.type == TapType::KeyDown;
  if (event.type == TapType::FlagsChanged) press = (event.flags & flag_of_modifier(event.keycode)) != 0;
  else if (event.type != TapType::KeyDown && event.type != TapType::KeyUp) return;
  xcb_test_fake_input(conn_.c(), press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, *kc, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(conn_.c());
}

uint64_t X11::modifier_flags() {
  auto r = xcb_query_pointer_reply(conn_.c(), xcb_query_pointer(conn_.c(), conn_.root()), nullptr);
  if (!r) return 0;
  const uint64_t f = flags_for_x_state(r->mask);
  std::free(r);
  return f;
}

KeyRepeat X11::key_repeat() {
  using std::chrono::milliseconds;
  KeyRepeat k{milliseconds(660), milliseconds(40)};  // the X server's defaults
  xcb_connection_t* c = conn_.c();
  auto use = xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr);
  const bool xkb = use && use->supported;
  std::free(use);
  if (!xkb) return k;
  if (auto r = xcb_xkb_get_controls_reply(c, xcb_xkb_get_controls(c, XCB_XKB_ID_USE_CORE_KBD), nullptr)) {
    if (r->repeatDelay) k.delay = milliseconds(r->repeatDelay);
    if (r->repeatInterval) k.interval = milliseconds(r->repeatInterval);
    std::free(r);
  }
  return k;
}

}  // namespace mirvex::sys::x11
