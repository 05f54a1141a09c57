// Hot keys and the session grab against a real server, with chords typed through XTest.
#include <xcb/xcb.h>

#include <mutex>

#include "sys/x11/keymap.h"
#include "tests/x11/x11_fixture.h"

namespace mirvex::sys::x11::test {
namespace {

constexpr uint32_t TAB = 0x30;

TEST_F(X11Test, HotKeyGrabReceivesChordAndReportsTakenChord) {
  std::vector<HotKeyId> fired;
  x->hotkey_install_handler([&](HotKeyId id) { fired.push_back(id); });
  HotKeyRef ref = 0;
  ASSERT_EQ(x->hotkey_register(TAB, CARBON_CMD, HotKeyId{0x6d727678, 7}, ref), 0);
  run("xdotool key super+Tab");
  ASSERT_TRUE(wait([&] { return !fired.empty(); }));
  EXPECT_EQ(fired[0], (HotKeyId{0x6d727678, 7}));
  // With NumLock on the chord still fires (the grab has its Lock/NumLock variants).
  run("xdotool key Num_Lock key super+Tab key Num_Lock");
  EXPECT_TRUE(wait([&] { return fired.size() == 2; }));

  // Another client holding the chord makes the grab fail with "hot key exists".
  X11 other(queue, nullptr);
  HotKeyRef ref2 = 0;
  EXPECT_EQ(other.hotkey_register(TAB, CARBON_CMD, HotKeyId{1, 1}, ref2), -9878);
  EXPECT_EQ(x->hotkey_unregister(ref), 0);
  EXPECT_EQ(other.hotkey_register(TAB, CARBON_CMD, HotKeyId{1, 1}, ref2), 0);
  EXPECT_EQ(x->hotkey_register(0xFF, 0, HotKeyId{}, ref), -9879) << "no such key";
}

TEST_F(X11Test, SessionGrabSwallowsKeysAndSeesModifierRelease) {
  // A window of our own that would receive the keys when it has the focus.
  Client target = start({"-t", "target"});
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS;
  xcb_change_window_attributes(c, target.wid, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  run("xdotool windowactivate --sync " + std::to_string(target.wid));
  auto keys_seen = [&] {
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // round trip: events are in
    int n = 0;
    while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
      n += (ev->response_type & 0x7f) == XCB_KEY_PRESS;
      free(ev);
    }
    return n;
  };

  std::mutex mu;
  std::vector<TapEvent> events;
  auto tap = x->tap_create(TAP_MASK, [&](const TapEvent& e) -> std::optional<TapEvent> {
    std::lock_guard lock(mu);
    events.push_back(e);
    return e;
  });
  ASSERT_TRUE(tap);
  std::thread tap_thread([&] { x->tap_run(*tap); });

  ASSERT_TRUE(x->tap_session(*tap, true));
  run("xdotool keydown super key Tab key a keyup super");
  EXPECT_TRUE(wait([&] {
    std::lock_guard lock(mu);
    return events.size() >= 6;
  }));
  {
    std::lock_guard lock(mu);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].type, TapType::FlagsChanged);
    EXPECT_EQ(events[0].flags, FLAG_COMMAND);
    EXPECT_EQ(events[1].type, TapType::KeyDown);
    EXPECT_EQ(events[1].keycode, TAB);
    EXPECT_EQ(events[1].flags, FLAG_COMMAND);
    EXPECT_EQ(events[2].type, TapType::KeyUp);
    EXPECT_EQ(events[3].keycode, 0x00);  // "a"
    EXPECT_EQ(events[3].text, u"a");
    EXPECT_EQ(events[5].type, TapType::FlagsChanged) << "the modifier release is seen";
    EXPECT_EQ(events[5].flags, 0u);
  }
  EXPECT_EQ(keys_seen(), 0) << "the session swallowed the keys";
  EXPECT_TRUE(x->tap_session(*tap, false));
  run("xdotool key b");
  EXPECT_EQ(keys_seen(), 1) << "after the session keys reach the focused window again";
  xcb_disconnect(c);
  x.reset();  // ends tap_run
  tap_thread.join();
}

}  // namespace
}  // namespace mirvex::sys::x11::test
