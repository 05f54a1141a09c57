#include "app/panel_screen.h"

#include <gtest/gtest.h>

#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using namespace std::chrono_literals;
using sys::sim::harness;

sys::Screen screen(uint32_t id, Rect frame) { return sys::Screen{id, frame, frame, 2}; }

// Screen space: the menu-bar screen, one to its right (taller, reaching below it) and one
// stacked above it.
const std::vector<sys::Screen> SCREENS = {screen(1, {0, 0, 1440, 900}), screen(2, {1440, -180, 1920, 1080}),
                                          screen(3, {0, 900, 1440, 900})};

TEST(PanelScreen, ChoosesByShowOn) {
  struct Case {
    const char* what;
    uint8_t show_on;
    Point pointer;
    std::optional<Rect> front_window;
    uint32_t want;
  };
  const Case cases[] = {
      {"pointer on the shared edge: first screen wins", 1, {1440, 450}, std::nullopt, 1},
      {"pointer just right of the edge", 1, {1441, 450}, std::nullopt, 2},
      {"pointer on the top edge of the lower screen", 1, {100, 900}, std::nullopt, 1},
      {"pointer inside the upper screen", 1, {100, 901}, std::nullopt, 3},
      {"pointer nowhere", 1, {-5000, -5000}, std::nullopt, 1},
      {"menu-bar screen regardless of pointer", 2, {2000, 0}, Rect{2000, 100, 400, 300}, 1},
      {"front window on the right screen", 0, {0, 0}, Rect{2000, 100, 400, 300}, 2},
      // Window-server y -550 is screen y 1450: the upper screen, found only after the flip.
      {"front window above the menu-bar screen", 0, {0, 0}, Rect{100, -700, 400, 300}, 3},
      {"front window off every screen", 0, {2000, 0}, Rect{-9000, 0, 100, 100}, 1},
      {"no front window", 0, {2000, 0}, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    auto got = choose_panel_screen(c.show_on, SCREENS, c.pointer, c.front_window);
    ASSERT_TRUE(got) << c.what;
    EXPECT_EQ(got->id, c.want) << c.what;
  }
  EXPECT_FALSE(choose_panel_screen(1, {}, {0, 0}, std::nullopt));
}

WindowInfo info(Wid wid, Pid pid, Rect bounds) {
  WindowInfo w;
  w.wid = wid;
  w.pid = pid;
  w.bounds = bounds;
  w.onscreen = true;
  return w;
}

// Window-server frames of two side-by-side screens.
const std::vector<Rect> WS_SCREENS = {{0, 0, 1440, 900}, {1440, 0, 1920, 1080}};
constexpr Pid SELF = 99;

TEST(SingleFocus, HidesOnlyApplicationsEntirelyOnTheFrontWindowsScreen) {
  const std::vector<WindowInfo> windows = {
      info(1, 10, {100, 100, 400, 300}),    // the activated application, main screen
      info(2, 11, {200, 200, 400, 300}),    // on main and on the right: stays
      info(3, 11, {2000, 100, 400, 300}),
      info(4, 12, {300, 300, 400, 300}),    // only on main: hidden
      info(5, 12, {10, 10, 100, 100}),
      info(6, 13, {2000, 100, 400, 300}),   // only on the right: stays
      info(7, 14, {-3000, 0, 100, 100}),    // centred on no screen: stays
      info(8, SELF, {100, 100, 400, 300}),  // this process: never
      info(9, 10, {2000, 100, 400, 300}),   // the activated application's other window
      // Centre exactly on the shared edge: the right screen (left edges are inclusive).
      info(10, 15, {1340, 100, 200, 200}),
      info(11, 16, {1339, 100, 200, 200}),  // centre 1439: main
  };
  auto hides = single_focus_hides(10, SELF, WS_SCREENS, windows);
  ASSERT_TRUE(hides);
  EXPECT_EQ(*hides, (std::vector<Pid>{12, 16}));
}

TEST(SingleFocus, NothingToDecideWithoutAFrontWindowOnAScreen) {
  EXPECT_FALSE(single_focus_hides(10, SELF, WS_SCREENS, {info(1, 11, {100, 100, 400, 300})}));
  EXPECT_FALSE(single_focus_hides(10, SELF, WS_SCREENS, {info(1, 10, {-3000, 0, 100, 100})}));
  // Bottom edges are exclusive: a centre at y 900 is below the main screen.
  EXPECT_FALSE(single_focus_hides(10, SELF, {{0, 0, 1440, 900}}, {info(1, 10, {0, 800, 200, 200})}));
}

sys::sim::Window window(Wid wid, Pid pid, Rect bounds, SpaceId space) {
  sys::sim::Window w;
  w.wid = wid;
  w.pid = pid;
  w.bounds = bounds;
  w.spaces = {space};
  return w;
}

sys::sim::App app(Pid pid, sys::Policy policy = sys::Policy::Regular) {
  sys::sim::App a;
  a.pid = pid;
  a.name = "app" + std::to_string(pid);
  a.policy = policy;
  return a;
}

sys::sim::Display display(std::string uuid, uint32_t id, Rect frame, SpaceId space) {
  sys::sim::Display d;
  d.uuid = std::move(uuid);
  d.id = id;
  d.frame = d.visible = frame;
  d.spaces = {{space, 0, {}}};
  d.current = space;
  return d;
}

class SingleFocusSim : public testing::Test {
 protected:
  // Two displays; 10 is in front on the main one. 11 spans both displays, 12 and the
  // accessory 13 are on the main one only, 14 on the right one only.
  void SetUp() override {
    sys::sim::Desktop d;
    d.displays = {display("MAIN", 1, {0, 0, 1440, 900}, 1), display("SIDE", 2, {1440, 0, 1920, 1080}, 2)};
    d.apps = {app(10), app(11), app(12), app(13, sys::Policy::Accessory), app(14)};
    d.windows = {window(1, 10, {100, 100, 400, 300}, 1), window(2, 11, {200, 100, 400, 300}, 1),
                 window(3, 11, {2000, 100, 400, 300}, 2), window(4, 12, {300, 100, 400, 300}, 1),
                 window(5, 13, {400, 100, 400, 300}, 1), window(6, 14, {2000, 100, 400, 300}, 2)};
    d.front = 10;
    s.reset(d);
  }
  std::vector<Pid> hidden() {
    std::vector<Pid> out;
    for (const auto& a : s.desktop().apps)
      if (a.hidden) out.push_back(a.pid);
    return out;
  }
  sys::sim::Sim& s = harness().sim;
};

TEST_F(SingleFocusSim, HidesRegularApplicationsOnTheSameScreenOnly) {
  single_focus(10, 10);
  harness().queue.run_due();
  EXPECT_EQ(hidden(), std::vector<Pid>{12});
}

TEST_F(SingleFocusSim, DoesNothingWhenTheApplicationIsNoLongerInFront) {
  single_focus(14, 10);
  harness().queue.advance(2s);
  EXPECT_TRUE(hidden().empty());
}

TEST_F(SingleFocusSim, RetriesEvery100MsUntilTheFrontApplicationHasAWindow) {
  s.activate(12);
  s.destroy_window(4);
  harness().queue.run_due();
  single_focus(12, 10);
  harness().queue.advance(250ms);  // two retries so far
  EXPECT_TRUE(hidden().empty());
  s.create_window(window(7, 12, {2000, 500, 400, 300}, 2));
  harness().queue.advance(100ms);
  EXPECT_EQ(hidden(), std::vector<Pid>{14});

  // Without attempts left it gives up.
  s.destroy_window(7);
  s.unhide(14);
  harness().queue.run_due();
  single_focus(12, 0);
  harness().queue.advance(1s);
  s.create_window(window(8, 12, {2000, 500, 400, 300}, 2));
  harness().queue.advance(1s);
  EXPECT_TRUE(hidden().empty());
}

TEST_F(SingleFocusSim, PanelScreenFollowsThePointerAcrossTheSimsScreens) {
  s.set_pointer({1440, 450});  // window-server coordinates, on the shared edge
  EXPECT_EQ(panel_screen(1, Model{}, 10)->id, 1u);
  s.set_pointer({1500, 450});
  EXPECT_EQ(panel_screen(1, Model{}, 10)->id, 2u);

  Model m;
  m.apply(ev::App{RunningApp{"app14", std::nullopt, 14, true, false}});
  m.apply(ev::Snapshot{{WindowInfo{{2}, {2000, 100, 400, 300}, 6, 14, 0, 1, true}}, next_stamp()});
  m.apply(ev::Focused{6});
  EXPECT_EQ(panel_screen(0, m, 14)->id, 2u);
  EXPECT_EQ(panel_screen(0, m, 10)->id, 1u);  // no window of 10 in the model
}

}  // namespace
}  // namespace mirvex
