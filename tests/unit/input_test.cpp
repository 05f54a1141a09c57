#include "app/input.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "app/private.h"
#include "core/keys.h"
#include "core/log.h"
#include "sys/sim/harness.h"

namespace mirvex::input {
namespace {

using namespace std::chrono_literals;
using sys::TapEvent;
using sys::TapType;
using sys::sim::harness;
using Strings = std::vector<std::string>;

constexpr uint64_t CMD = keys::FLAG_COMMAND, SHIFT = keys::FLAG_SHIFT, OPT = keys::FLAG_OPTION,
                   CTRL = keys::FLAG_CONTROL;
constexpr Pid APP = 20, SELF = 99;
constexpr Wid WIN = 200, OWN = 300;

// What reached the application's side, as text, in order.
std::mutex MU;
Strings GOT;   // inputs and callbacks
Strings LOGS;  // log lines (the tap thread logs too)
std::vector<bool> PROBED_ON_MAIN;
const auto ACTIVE = std::make_shared<std::atomic<bool>>(false);

void got(std::string s) {
  std::lock_guard lock(MU);
  GOT.push_back(std::move(s));
}

std::string show(const Input& input) {
  if (auto* h = std::get_if<in::Hotkey>(&input))
    return fmt::format("Hotkey {}{}{}", h->slot, h->backwards ? " back" : "", h->blind ? " blind" : "");
  if (auto* s = std::get_if<in::Step>(&input)) return s->backwards ? "Step back" : "Step";
  if (auto* k = std::get_if<in::Key>(&input)) return fmt::format("Key {}", k->code);
  if (std::holds_alternative<in::Backspace>(input)) return "Backspace";
  if (auto* c = std::get_if<in::Char>(&input)) return fmt::format("Char U+{:04X}", static_cast<uint32_t>(c->c));
  if (auto* m = std::get_if<in::Modifiers>(&input))
    return fmt::format("Mods {}{}{}", m->command ? "C" : "-", m->option ? "O" : "-", m->control ? "T" : "-");
  return fmt::format("Input {}", input.index());
}

// The sim's title-bar buttons through the port, as the accessibility probe would find them.
std::optional<TitlebarHit> probe(Pid pid, Point at) {
  {
    std::lock_guard lock(MU);
    PROBED_ON_MAIN.push_back(sys::main_queue().is_main_thread());
  }
  sys::Backend& port = sys::port();
  auto el = port.ax_element_at(port.ax_app(pid), at);
  if (!el.ok()) return std::nullopt;
  auto sub = port.ax_copy(el.value(), sys::ax::SUBROLE);
  if (!sub.ok() || !sub.value().string()) return std::nullopt;
  const std::string& role = *sub.value().string();
  constexpr uint64_t BUTTONS = sys::sim::Sim::CLOSE_BUTTON | sys::sim::Sim::MINIMIZE_BUTTON;
  Wid wid = 0;
  if (P()._AXUIElementGetWindow(sys::AxElement{pid, el.value().id & ~BUTTONS}, wid) != 0) return std::nullopt;
  if (role == sys::ax::CLOSE_BUTTON_SUBROLE) return TitlebarHit{wid, Button::Close};
  if (role == sys::ax::MINIMIZE_BUTTON_SUBROLE) return TitlebarHit{wid, Button::Minimize};
  return std::nullopt;
}

sys::sim::Window window(Wid wid, Pid pid, Rect bounds) {
  sys::sim::Window w;
  w.wid = wid;
  w.pid = pid;
  w.bounds = bounds;
  return w;
}

TapEvent key(uint16_t code, uint64_t flags = 0, std::u16string text = u"", bool repeat = false) {
  return TapEvent{TapType::KeyDown, code, flags, repeat, std::move(text), {}};
}
TapEvent up(uint16_t code, uint64_t flags = 0) { return TapEvent{TapType::KeyUp, code, flags, false, {}, {}}; }
TapEvent flags(uint64_t f) { return TapEvent{TapType::FlagsChanged, 0, f, false, {}, {}}; }
TapEvent click(Point at) { return TapEvent{TapType::LeftMouseDown, 0, 0, false, {}, at}; }

Settings base() {
  Settings s = Settings::defaults();  // slot 0 ⌘Tab, slot 1 ⌥Tab
  s.appHotkeys = {AppHotkey{"org.example.a", "A", 40, 0x800, true},   // ⌥K, position 0
                  AppHotkey{"org.example.b", "B", 79, 0, true}};      // plain F18, position 1
  return s;
}

class InputTest : public testing::Test {
 protected:
  // The input layer lives for the process: it starts once for the whole suite.
  static void SetUpTestSuite() {
    log::set_system_sink([](std::string_view line) {
      std::lock_guard lock(MU);
      LOGS.emplace_back(line);
    });
    sys::sim::Desktop d;
    sys::sim::App a;
    a.pid = APP;
    a.name = "Editor";
    sys::sim::App self;
    self.pid = SELF;
    self.name = "mirvex";
    d.apps = {a, self};
    d.windows = {window(WIN, APP, {100, 100, 400, 300}), window(OWN, SELF, {600, 100, 300, 200})};
    d.front = APP;
    d.self_pid = SELF;
    harness().sim.reset(d);
    harness().sim.tap_virtual_time();
    Shared shared;
    shared.handler = [](const Input& i) { got(show(i)); };
    shared.on_close = [](Wid w) { got(fmt::format("close {}", w)); };
    shared.on_minimize = [](Wid w) { got(fmt::format("minimize {}", w)); };
    shared.open_settings = [] { got("settings"); };
    shared.titlebar_button_at = probe;
    shared.active = ACTIVE;
    ASSERT_TRUE(start(shared));
    set_app_handler([](size_t n) { got(fmt::format("app {}", n)); });
  }

  void SetUp() override {
    ACTIVE->store(false);
    BORDER_TARGET = 0;
    set_ignored(false);
    set_untrusted(false);
    harness().sim.set_secure_input(false);
    apply(base());
    type(flags(0));  // no Shift held from an earlier test
    deliver();
    clear();
  }

  static void clear() {
    std::lock_guard lock(MU);
    GOT.clear();
    LOGS.clear();
    PROBED_ON_MAIN.clear();
  }
  static Strings take() {
    std::lock_guard lock(MU);
    return std::exchange(GOT, {});
  }
  static bool logged(std::string_view line) {
    std::lock_guard lock(MU);
    return std::find(LOGS.begin(), LOGS.end(), line) != LOGS.end();
  }
  static void deliver() { harness().queue.run_due(); }
  // Feeds one event through the tap and runs what it posted to the main thread. Returns
  // whether the event reached the application.
  static bool type(const TapEvent& e) {
    const size_t before = harness().sim.journal().passed.size();
    harness().sim.type(e);
    harness().sim.tap_wait_idle();
    deliver();
    return harness().sim.journal().passed.size() > before;
  }
  static void tap_advance(sys::Duration d) {
    harness().sim.tap_advance(d);
    deliver();
  }
  // Runs the main queue until `n` callbacks arrived from a short-lived thread (or 5 s pass).
  static void pump_until(size_t n) {
    for (int i = 0; i < 5000; ++i) {
      deliver();
      {
        std::lock_guard lock(MU);
        if (GOT.size() >= n) return;
      }
      std::this_thread::sleep_for(1ms);
    }
  }
  static std::vector<sys::sim::Sim::HotKey> registered() { return harness().sim.hotkeys(); }
  static bool system_switcher_on() {
    const auto j = harness().sim.journal();
    return j.symbolic_hotkeys.at(1) && j.symbolic_hotkeys.at(2);
  }
};

using HotKey = sys::sim::Sim::HotKey;
HotKey hk(uint32_t code, uint32_t mods, uint32_t id) { return HotKey{code, mods, sys::HotKeyId{SIGNATURE, id}}; }

// --------------------------------------------------------------------------- registration

TEST_F(InputTest, RegistersTriggersAndTurnsTheSystemSwitcherOff) {
  EXPECT_EQ(registered(), (std::vector<HotKey>{hk(48, 0x100, 0), hk(48, 0x300, 1), hk(48, 0x800, 2), hk(48, 0xA00, 3),
                                               hk(40, 0x800, 1000), hk(79, 0, 1001)}));
  EXPECT_FALSE(system_switcher_on());

  // Two enabled slots with the same chord: only the first registers.
  Settings s = base();
  s.shortcuts[1].hold = 0;
  s.shortcuts[3].enabled = true;  // ⌘`
  s.appHotkeys.clear();
  apply(s);
  EXPECT_EQ(wanted(s), (std::vector<Wanted>{{0, 0, 0}, {3, 0, 1}}));
  EXPECT_EQ(registered(), (std::vector<HotKey>{hk(48, 0x100, 0), hk(48, 0x300, 1), hk(50, 0x100, 6), hk(50, 0x300, 7)}));

  // Without a ⌘Tab trigger the system switcher is back.
  s.shortcuts[0].enabled = s.shortcuts[1].enabled = false;
  apply(s);
  EXPECT_TRUE(system_switcher_on());
  EXPECT_TRUE(logged("input: RegisterEventHotKey slot=3 mods=0x300 status 0"));
}

TEST_F(InputTest, AppHotkeysNeedAHoldModifierUnlessOnAFunctionKey) {
  struct Case {
    uint32_t code, mods;
    bool enabled;
    bool registers;
  };
  const Case cases[] = {
      {40, 0x100, true, false},   // ⌘K alone
      {40, 0x300, true, false},   // ⌘⇧K
      {40, 0x200, true, false},   // ⇧K
      {40, 0, true, false},       // K
      {96, 0x200, true, true},    // ⇧F5
      {79, 0, true, true},        // F18
      {40, 0x900, true, true},    // ⌘⌥K
      {40, 0x1000, true, true},   // ⌃K
      {40, 0x1000, false, false}, // disabled
      {200, 0x1000, true, false}, // no such key code
  };
  Settings s = base();
  s.shortcuts.clear();
  s.appHotkeys.clear();
  for (const Case& c : cases) s.appHotkeys.push_back(AppHotkey{"org.example", "x", c.code, c.mods, c.enabled});
  apply(s);
  std::vector<HotKey> want;
  for (size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    EXPECT_EQ(app_wanted(s)[n].code, c.registers ? static_cast<int32_t>(c.code) : -1) << n;
    if (c.registers) want.push_back(hk(c.code, c.mods, APP_ID_BASE + static_cast<uint32_t>(n)));
  }
  EXPECT_EQ(registered(), want);

  s.appHotkeysOn = false;
  apply(s);
  EXPECT_TRUE(registered().empty());
}

TEST_F(InputTest, AFailedShiftVariantLeavesTheSystemSwitcherOn) {
  harness().sim.fail_hotkey(48, 0x300, -9878);
  harness().sim.fail_hotkey(79, 0, -9878);
  apply(base());
  harness().sim.fail_hotkey(48, 0x300, 0);
  harness().sim.fail_hotkey(79, 0, 0);
  EXPECT_TRUE(logged("input: RegisterEventHotKey slot=0 mods=0x300 status -9878"));
  EXPECT_TRUE(logged("input: app hotkey 1 code=79 mods=0x0 status -9878"));
  EXPECT_TRUE(system_switcher_on());
  // The plain chord that did register still answers.
  EXPECT_EQ(registered().front(), hk(48, 0x100, 0));
}

TEST_F(InputTest, UntrustedRegistersNothingAndKeepsTheSystemSwitcher) {
  set_untrusted(true);
  EXPECT_TRUE(logged("input: accessibility lost"));
  EXPECT_TRUE(registered().empty());
  EXPECT_TRUE(system_switcher_on());
  set_untrusted(false);
  EXPECT_TRUE(logged("input: accessibility back"));
  EXPECT_EQ(registered().size(), 6u);
  EXPECT_FALSE(system_switcher_on());
}

TEST_F(InputTest, IgnoredFrontAppGetsCommandTabAndTheSystemSwitcherStaysOff) {
  set_ignored(true);
  EXPECT_TRUE(logged("input: shortcuts ignored for the front app"));
  EXPECT_TRUE(registered().empty());
  EXPECT_FALSE(system_switcher_on());
  const int taken = harness().sim.journal().system_switcher;
  EXPECT_TRUE(type(key(48, CMD)));
  EXPECT_EQ(harness().sim.journal().system_switcher, taken);
  EXPECT_TRUE(take().empty());

  set_ignored(false);
  EXPECT_TRUE(logged("input: shortcuts restored"));
  EXPECT_FALSE(type(key(48, CMD)));
  EXPECT_EQ(take(), Strings{"Hotkey 0"});

  // Contrast: with no ⌘Tab trigger at all the system's switcher takes the key.
  Settings s = base();
  s.shortcuts[0].enabled = false;
  apply(s);
  EXPECT_FALSE(type(key(48, CMD)));
  EXPECT_EQ(harness().sim.journal().system_switcher, taken + 1);
}

// --------------------------------------------------------------------------- hot keys

TEST_F(InputTest, HotkeysCarrySlotDirectionAndBlindness) {
  EXPECT_FALSE(type(key(48, CMD | SHIFT)));
  EXPECT_FALSE(type(key(48, OPT)));
  harness().sim.set_secure_input(true);
  EXPECT_FALSE(type(key(48, CMD)));
  EXPECT_FALSE(type(key(79)));  // the app hotkey at position 1
  deliver();
  EXPECT_EQ(take(), (Strings{"Hotkey 0 back", "Hotkey 1", "Hotkey 0 blind", "app 1"}));
}

// --------------------------------------------------------------------------- the session

TEST_F(InputTest, KeyPressedInASessionIsSwallowedUntilItsRelease) {
  ACTIVE->store(true);
  EXPECT_FALSE(type(key(0, 0, u"a")));
  ACTIVE->store(false);
  EXPECT_FALSE(type(key(0, 0, u"a", true)));  // its repeats after the session
  EXPECT_FALSE(type(up(0)));                  // its release
  EXPECT_EQ(take(), Strings{"Char U+0061"});
  // Then the key is the application's again.
  EXPECT_TRUE(type(key(0, 0, u"a")));
  EXPECT_TRUE(type(up(0)));
  EXPECT_TRUE(take().empty());
}

TEST_F(InputTest, HeldShiftStepsBackAtOnceThenAtTheRepeatRate) {
  harness().sim.set_key_repeat({300ms, 50ms});
  ACTIVE->store(true);
  EXPECT_TRUE(type(flags(CMD | SHIFT)));
  EXPECT_EQ(take(), (Strings{"Step back", "Mods C--"}));
  tap_advance(299ms);
  EXPECT_TRUE(take().empty());
  tap_advance(1ms);
  EXPECT_EQ(take(), Strings{"Step back"});
  tap_advance(100ms);
  EXPECT_EQ(take(), (Strings{"Step back", "Step back"}));

  // Tab while that Shift is held: swallowed (no hot key, no step), and the repeat stops.
  EXPECT_FALSE(type(key(48, CMD | SHIFT)));
  tap_advance(500ms);
  EXPECT_TRUE(take().empty());
  // A second Tab is an ordinary step again (through the hot key).
  EXPECT_FALSE(type(key(48, CMD | SHIFT)));
  EXPECT_EQ(take(), Strings{"Hotkey 0 back"});
  EXPECT_TRUE(type(flags(CMD)));
  EXPECT_EQ(take(), Strings{"Mods C--"});

  // The repeat ends by itself with the session.
  EXPECT_TRUE(type(flags(CMD | SHIFT)));
  ACTIVE->store(false);
  tap_advance(1s);
  EXPECT_EQ(take(), (Strings{"Step back", "Mods C--"}));
  EXPECT_TRUE(type(flags(0)));

  // Off: Shift is only a modifier change; outside a session too.
  Settings s = base();
  s.shiftTapBack = false;
  apply(s);
  ACTIVE->store(true);
  EXPECT_TRUE(type(flags(SHIFT)));
  tap_advance(1s);
  EXPECT_EQ(take(), (Strings{"Mods ---", "Mods ---"}));
}

TEST_F(InputTest, HeldTriggerStepsAndFirstPressGoesToTheHotKey) {
  Settings s = base();
  s.appHotkeys.push_back(AppHotkey{"org.example.c", "C", 40, 0x1B00, true});  // ⌃⌥⇧⌘K, position 2
  apply(s);
  ACTIVE->store(true);
  EXPECT_FALSE(type(key(48, CMD)));
  EXPECT_FALSE(type(key(48, CMD, u"\t", true)));
  EXPECT_FALSE(type(key(48, CMD | SHIFT, u"\t", true)));
  EXPECT_FALSE(type(key(40, CMD | SHIFT | OPT | CTRL, u"k", true)));  // held app hotkey: forward
  EXPECT_EQ(take(), (Strings{"Hotkey 0", "Step", "Step back", "Step"}));
}

TEST_F(InputTest, SessionKeysBecomeMessages) {
  struct Case {
    uint16_t code;
    uint64_t flags;
    std::u16string text;
    Strings want;
  };
  const Case cases[] = {
      {36, 0, u"\r", {"Key 4"}},
      {76, 0, u"\x03", {"Key 4"}},
      {53, 0, u"\x1b", {"Key 5"}},
      {126, 0, u"", {"Key 0"}},
      {125, 0, u"", {"Key 1"}},
      {123, 0, u"", {"Key 2"}},
      {124, 0, u"", {"Key 3"}},
      {51, 0, u"\x7f", {"Backspace"}},
      {48, 0, u"\t", {"Step"}},
      {48, SHIFT, u"\t", {"Step back"}},
      {0, SHIFT, u"A", {"Char U+0061"}},          // the letter of the key's position
      {37, OPT, u"\u00AC", {"Char U+006C"}},
      {46, 0, u"m", {"Char U+006D"}},
      {18, 0, u"1", {"Char U+0031"}},
      {27, 0, u"-", {"Char U+002D"}},
      {10, 0, u"\u00A7", {"Char U+00A7"}},
      {99, 0, u"\U0001F600", {"Char U+1F600"}},   // a surrogate pair
      {98, 0, u"\xD83D", {}},                      // a lone surrogate
      {97, 0, u"\xDE00x", {}},                     // a trailing surrogate first
      {96, 0, u"\x85", {}},                        // a C1 control character
      {100, 0, u"", {}},                           // no text
      {43, CMD, u",", {"Key 5", "settings"}},
      {41, CMD, u";", {"Key 5", "settings"}},
      {47, CMD, u",", {"Key 5", "settings"}},      // "," on another key
      {12, CMD, u"q", {"Char U+0071"}},
  };
  ACTIVE->store(true);
  for (const Case& c : cases) {
    EXPECT_FALSE(type(key(c.code, c.flags, c.text))) << c.code;
    EXPECT_FALSE(type(up(c.code, c.flags))) << c.code;
    deliver();
    EXPECT_EQ(take(), c.want) << c.code;
  }
  // The same keys outside a session are the application's.
  ACTIVE->store(false);
  EXPECT_TRUE(type(key(53, 0, u"\x1b")));
  EXPECT_TRUE(type(key(43, CMD, u",")));
  EXPECT_TRUE(take().empty());
}

// --------------------------------------------------------------------------- hyper key

TEST_F(InputTest, HyperKeyAddsTheModifiersToEveryKey) {
  for (const bool with_shift : {false, true}) {
    Settings s = base();
    s.hyperKey = 1;
    s.hyperShift = with_shift;
    s.appHotkeys.push_back(AppHotkey{"org.example.c", "C", 40, with_shift ? 0x1B00u : 0x1900u, true});
    apply(s);
    const uint64_t added = with_shift ? 0x1E0000 : 0x1C0000;
    const size_t posted = harness().sim.journal().posted_keys.size();
    const size_t passed = harness().sim.journal().passed.size();

    EXPECT_FALSE(type(key(79)));
    EXPECT_FALSE(type(key(79, 0, u"", true)));  // its repeats post nothing more
    EXPECT_TRUE(type(key(0, 0, u"a")));
    EXPECT_TRUE(type(up(0)));
    EXPECT_FALSE(type(key(40, 0, u"k")));  // hyper+K is the app hotkey at position 2
    EXPECT_FALSE(type(up(79)));
    EXPECT_TRUE(type(key(0, 0, u"a")));
    deliver();
    EXPECT_EQ(take(), Strings{"app 2"});

    const auto j = harness().sim.journal();
    std::vector<std::tuple<TapType, uint16_t, uint64_t>> got_posts;
    for (size_t i = posted; i < j.posted_keys.size(); ++i)
      got_posts.emplace_back(j.posted_keys[i].type, j.posted_keys[i].keycode, j.posted_keys[i].flags);
    std::vector<std::tuple<TapType, uint16_t, uint64_t>> want{
        {TapType::KeyDown, 59, 0x40000}, {TapType::KeyDown, 58, 0xC0000}, {TapType::KeyDown, 55, 0x1C0000}};
    if (with_shift) want.emplace_back(TapType::KeyDown, 56, 0x1E0000);
    if (with_shift) want.emplace_back(TapType::KeyUp, 56, 0x1C0000);
    want.insert(want.end(), {{TapType::KeyUp, 55, 0xC0000}, {TapType::KeyUp, 58, 0x40000}, {TapType::KeyUp, 59, 0}});
    EXPECT_EQ(got_posts, want) << with_shift;
    ASSERT_EQ(j.passed.size(), passed + 3);
    EXPECT_EQ(j.passed[passed].flags, added);
    EXPECT_EQ(j.passed[passed + 1].flags, added);
    EXPECT_EQ(j.passed[passed + 2].flags, 0u);
  }
}

TEST_F(InputTest, HyperReleaseAfterTurningItOffStillLiftsTheModifiers) {
  Settings s = base();
  s.hyperKey = 2;
  apply(s);
  EXPECT_FALSE(type(key(79)));
  apply(base());
  const size_t posted = harness().sim.journal().posted_keys.size();
  EXPECT_FALSE(type(up(79)));
  EXPECT_EQ(harness().sim.journal().posted_keys.size(), posted + 3);
  EXPECT_TRUE(type(key(0, 0, u"a")));
  EXPECT_EQ(harness().sim.journal().passed.back().flags, 0u);
}

// --------------------------------------------------------------------------- tap health

TEST_F(InputTest, TapDisabledBySystemIsEnabledAgain) {
  ACTIVE->store(true);
  EXPECT_FALSE(type(key(0, 0, u"a")));
  ACTIVE->store(false);
  harness().sim.disable_tap(TapType::DisabledByTimeout);
  harness().sim.tap_wait_idle();
  EXPECT_TRUE(logged("input: event tap disabled by system, re-enabling"));
  EXPECT_TRUE(type(up(0)));  // what was to be swallowed is forgotten
  EXPECT_TRUE(tap_alive());

  // Refused twice: the 1-second timer keeps trying; meanwhile hot keys are blind.
  harness().sim.disable_tap(TapType::DisabledByUserInput, 2);
  harness().sim.tap_wait_idle();
  EXPECT_TRUE(logged("input: event tap could not be re-enabled"));
  EXPECT_FALSE(tap_alive());
  EXPECT_FALSE(type(key(48, CMD)));
  tap_advance(1s);
  EXPECT_FALSE(tap_alive());
  tap_advance(1s);
  EXPECT_TRUE(logged("input: event tap back on"));
  EXPECT_TRUE(tap_alive());
  EXPECT_FALSE(type(key(48, CMD)));
  EXPECT_EQ(take(), (Strings{"Char U+0061", "Hotkey 0 blind", "Hotkey 0"}));
}

// --------------------------------------------------------------------------- the border's window

TEST_F(InputTest, CommandMMinimisesTheOutlinedWindow) {
  struct Case {
    uint16_t code;
    uint64_t flags;
    std::u16string text;
    bool repeat, active, minimizes;
  };
  const Case cases[] = {
      {46, CMD, u"m", false, false, true},
      {46, CMD, u"\u044C", false, false, true},  // another layout: by key position
      {41, CMD, u"m", false, false, true},       // "m" on another key
      {46, CMD, u"", false, false, true},        // no text: by key position
      {45, CMD, u"\u0442", false, false, false},
      {46, CMD | SHIFT, u"M", false, false, false},
      {46, CMD | OPT, u"m", false, false, false},
      {46, CMD, u"m", true, false, false},       // a repeat
      {46, CMD, u"m", false, true, false},       // during a session
  };
  BORDER_TARGET = WIN;
  for (const Case& c : cases) {
    ACTIVE->store(c.active);
    EXPECT_EQ(type(key(c.code, c.flags, c.text, c.repeat)), !c.active) << c.code;
    type(up(c.code));
    deliver();
    Strings got = take();
    std::erase_if(got, [](const std::string& s) { return s.rfind("Char", 0) == 0; });
    EXPECT_EQ(got, c.minimizes ? Strings{"minimize 200"} : Strings{}) << c.code << " " << c.flags;
  }
  BORDER_TARGET = 0;
  ACTIVE->store(false);
  EXPECT_TRUE(type(key(46, CMD, u"m")));
  deliver();
  EXPECT_TRUE(take().empty());
}

TEST_F(InputTest, TitleBarClicksOnTheOutlinedWindow) {
  BORDER_TARGET = WIN;
  EXPECT_TRUE(type(click({110, 110})));  // close button
  pump_until(1);
  EXPECT_TRUE(type(click({130, 110})));  // minimise button
  pump_until(2);
  EXPECT_EQ(take(), (Strings{"close 200", "minimize 200"}));

  // Outside the corner, or no outlined window: no probe at all.
  EXPECT_TRUE(type(click({189, 110})));
  BORDER_TARGET = 0;
  EXPECT_TRUE(type(click({110, 110})));
  std::this_thread::sleep_for(20ms);
  deliver();
  EXPECT_TRUE(take().empty());

  // The application's own window: the probe runs on the main thread.
  BORDER_TARGET = OWN;
  EXPECT_TRUE(type(click({610, 110})));
  pump_until(1);
  EXPECT_EQ(take(), Strings{"close 300"});
  std::lock_guard lock(MU);
  EXPECT_EQ(PROBED_ON_MAIN, (std::vector<bool>{false, false, true}));
}

// --------------------------------------------------------------------------- poll and messages

TEST_F(InputTest, ModifierPollReportsChanges) {
  harness().sim.set_modifier_flags(CMD);
  start_modifier_poll();
  deliver();
  EXPECT_EQ(take(), Strings{"Mods C--"});  // at once, whatever came before
  harness().queue.advance(100ms);
  EXPECT_TRUE(take().empty());
  harness().sim.set_modifier_flags(CMD | OPT);
  harness().queue.advance(17ms);
  EXPECT_EQ(take(), Strings{"Mods CO-"});
  stop_modifier_poll();
  harness().sim.set_modifier_flags(0);
  harness().queue.advance(100ms);
  EXPECT_TRUE(take().empty());
}

TEST(InputMessage, EncodingRoundTripsAndRejectsBadMessages) {
  const Input inputs[] = {in::Hotkey{true, false, 3}, in::Hotkey{false, true, 1ull << 40}, in::AppHotkey{true, 7},
                          in::Step{true},           in::Key{5},                         in::Backspace{},
                          in::Char{U'\U0001F600'},  in::Modifiers{true, false, true}};
  for (const Input& i : inputs) {
    auto m = encode(i);
    ASSERT_TRUE(m) << show(i);
    auto back = decode(*m);
    ASSERT_TRUE(back);
    EXPECT_EQ(show(*back), show(i));
    EXPECT_EQ(back->index(), i.index());
  }
  EXPECT_EQ(*encode(in::Hotkey{true, false, 3}), (Message{0, 1, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(*encode(in::Char{U'\u00E9'}), (Message{5, 0, 0, 0, 0xE9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(encode(in::Click{1}));
  EXPECT_FALSE(decode(Message{7}));
  EXPECT_FALSE(decode(Message{255}));
  EXPECT_FALSE(decode(Message{3, 6}));
  EXPECT_FALSE(decode(Message{5, 0, 0, 0, 0x00, 0xD8, 0, 0}));  // a surrogate
  EXPECT_FALSE(decode(Message{5, 0, 0, 0, 0x00, 0x00, 0x11, 0}));  // past U+10FFFF
}

TEST_F(InputTest, StartingTwiceStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(start(Shared{}), "input::start called twice");
}

}  // namespace
}  // namespace mirvex::input
