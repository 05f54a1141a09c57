#include "app/ws.h"

#include <gtest/gtest.h>

#include <thread>

#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using sys::Value;
using sys::sim::harness;

sys::sim::Display display(std::optional<std::string> uuid, Rect frame, std::vector<sys::sim::Space> spaces) {
  sys::sim::Display d;
  d.uuid = std::move(uuid);
  d.frame = d.visible = frame;
  d.spaces = std::move(spaces);
  d.current = d.spaces.front().id;
  return d;
}

sys::sim::Window window(Wid wid, Pid pid, std::vector<SpaceId> spaces, int32_t layer = 0) {
  sys::sim::Window w;
  w.wid = wid;
  w.pid = pid;
  w.layer = layer;
  w.bounds = {10, 20, 300, 200};
  w.spaces = std::move(spaces);
  return w;
}

sys::sim::App app(Pid pid, std::string name) {
  sys::sim::App a;
  a.pid = pid;
  a.name = std::move(name);
  return a;
}

// Two displays: the main one with user Spaces 1, 2 and full-screen Space 5 (1 shown), and a
// second one with user Space 3.
sys::sim::Desktop two_displays() {
  sys::sim::Desktop d;
  d.displays = {display("MAIN", {0, 0, 1440, 900}, {{1, 0, {}}, {2, 0, {}}, {5, 4, {}}}),
                display("SIDE", {1440, 0, 1920, 1080}, {{3, 0, {}}})};
  d.apps = {app(10, "Editor"), app(11, "WindowManager")};
  return d;
}

std::vector<Wid> wids(const std::vector<WindowInfo>& ws) {
  std::vector<Wid> out;
  for (const auto& w : ws) out.push_back(w.wid);
  return out;
}

class WsTest : public testing::Test {
 protected:
  void use(sys::sim::Desktop d) { harness().sim.reset(std::move(d)); }
  sys::sim::Sim& s = harness().sim;
};

TEST_F(WsTest, LayerFilterAndOptions) {
  auto d = two_displays();
  d.windows = {window(1, 10, {1}), window(2, 10, {}, 3), window(3, 10, {2})};
  use(d);
  EXPECT_EQ(wids(*ws::windows(ws::ON_SCREEN, true)), (std::vector<Wid>{1, 2}));   // 3 is on a hidden Space
  EXPECT_EQ(wids(*ws::windows(ws::ON_SCREEN, false)), (std::vector<Wid>{1}));
  EXPECT_EQ(wids(*ws::windows(ws::ALL_SPACES, false)), (std::vector<Wid>{1, 3}));
  EXPECT_EQ(wids(ws::snapshot()->windows), (std::vector<Wid>{1, 3}));
}

TEST_F(WsTest, EntriesWithMissingOrMistypedValues) {
  struct Case {
    const char* what;
    Value raw;  // merged over the window's entry; a null value removes the key
    std::optional<WindowInfo> expected;
  };
  WindowInfo base{{}, {10, 20, 300, 200}, 7, 10, 0, 1.0f, true};
  auto with = [&](auto f) {
    WindowInfo w = base;
    f(w);
    return w;
  };
  const Case cases[] = {
      {"complete", Value(sys::Dict{}), base},
      {"no pid", Value(sys::Dict{{sys::wl::OWNER_PID, Value()}}), std::nullopt},
      {"pid as text", Value(sys::Dict{{sys::wl::OWNER_PID, Value("10")}}), std::nullopt},
      {"no number", Value(sys::Dict{{sys::wl::NUMBER, Value()}}), std::nullopt},
      {"no layer", Value(sys::Dict{{sys::wl::LAYER, Value()}}), std::nullopt},
      {"no bounds", Value(sys::Dict{{sys::wl::BOUNDS, Value()}}), with([](WindowInfo& w) { w.bounds = {}; })},
      {"bounds as text", Value(sys::Dict{{sys::wl::BOUNDS, Value("{0,0,1,1}")}}), with([](WindowInfo& w) { w.bounds = {}; })},
      {"bounds missing a side", Value(sys::Dict{{sys::wl::BOUNDS, Value(sys::Dict{{"X", 1}, {"Y", 2}, {"Width", 3}})}}),
       with([](WindowInfo& w) { w.bounds = {}; })},
      {"no alpha", Value(sys::Dict{{sys::wl::ALPHA, Value()}}), base},
      {"alpha as text", Value(sys::Dict{{sys::wl::ALPHA, Value("0.5")}}), base},
      {"alpha 0.5", Value(sys::Dict{{sys::wl::ALPHA, Value(0.5)}}), with([](WindowInfo& w) { w.alpha = 0.5f; })},
      {"on screen as number", Value(sys::Dict{{sys::wl::IS_ONSCREEN, Value(1)}}), with([](WindowInfo& w) { w.onscreen = false; })},
      {"float wid truncates", Value(sys::Dict{{sys::wl::NUMBER, Value(812.75)}}), with([](WindowInfo& w) { w.wid = 812; })},
      {"negative wid saturates", Value(sys::Dict{{sys::wl::NUMBER, Value(-5.0)}}), with([](WindowInfo& w) { w.wid = 0; })},
      {"huge pid saturates", Value(sys::Dict{{sys::wl::OWNER_PID, Value(1e12)}}), with([](WindowInfo& w) { w.pid = 2147483647; })},
      {"huge alpha saturates", Value(sys::Dict{{sys::wl::ALPHA, Value(1e300)}}),
       with([](WindowInfo& w) { w.alpha = std::numeric_limits<float>::max(); })},
  };
  for (const Case& c : cases) {
    auto d = two_displays();
    d.windows = {window(7, 10, {1})};
    d.windows[0].raw = c.raw;
    use(d);
    auto list = ws::windows(ws::ON_SCREEN, false);
    ASSERT_TRUE(list) << c.what;
    if (!c.expected) {
      EXPECT_TRUE(list->empty()) << c.what;
    } else {
      ASSERT_EQ(list->size(), 1u) << c.what;
      EXPECT_EQ(list->front(), *c.expected) << c.what;
    }
  }
}

TEST_F(WsTest, SnapshotAttachesEverySpaceOfAWindowAndQueriesFullScreenSpaces) {
  auto d = two_displays();
  d.windows = {window(1, 10, {2, 3}), window(2, 10, {}), window(3, 10, {5}), window(4, 10, {1, 2})};
  use(d);
  auto snap = ws::snapshot();
  ASSERT_TRUE(snap);
  ASSERT_EQ(snap->windows.size(), 4u);
  EXPECT_EQ(snap->windows[0].spaces, (std::vector<SpaceId>{2, 3}));  // display order, then Space order
  EXPECT_TRUE(snap->windows[1].spaces.empty());                       // never returned by a Space query
  EXPECT_EQ(snap->windows[2].spaces, std::vector<SpaceId>{5});        // full-screen Spaces are queried too
  EXPECT_EQ(snap->windows[3].spaces, (std::vector<SpaceId>{1, 2}));
}

TEST_F(WsTest, SnapshotWithoutTheDisplayDescriptionKeepsWindowsWithoutSpaces) {
  auto d = two_displays();
  d.windows = {window(1, 10, {1})};
  d.faults.display_spaces_fails = true;
  use(d);
  auto snap = ws::snapshot();
  ASSERT_TRUE(snap);
  ASSERT_EQ(snap->windows.size(), 1u);
  EXPECT_TRUE(snap->windows[0].spaces.empty());
  EXPECT_TRUE(ws::user_spaces().empty());
  EXPECT_TRUE(ws::visible_spaces().empty());
}

TEST_F(WsTest, StampsIncreaseAcrossAFailedSnapshot) {
  auto d = two_displays();
  d.windows = {window(1, 10, {1})};
  use(d);
  auto first = ws::snapshot();
  ASSERT_TRUE(first);
  sys::sim::Faults failing;
  failing.window_list_fails = true;
  s.set_faults(failing);
  EXPECT_FALSE(ws::snapshot());
  EXPECT_FALSE(ws::windows(ws::ON_SCREEN, true));
  s.set_faults({});
  auto third = ws::snapshot();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->seq, first->seq + 2);  // the failed one consumed a stamp
}

TEST_F(WsTest, UserAndVisibleSpaces) {
  auto d = two_displays();
  d.displays[0].current = 5;  // the full-screen Space is shown
  d.displays.push_back(display(std::nullopt, {0, 900, 800, 600}, {{8, 0, {}}}));  // no identifier
  d.displays[1].spaces.push_back({9, 0, Value(sys::Dict{{sys::ds::TYPE, Value("0")}})});  // type of another kind
  use(d);
  EXPECT_EQ(ws::user_spaces(), (std::vector<SpaceId>{1, 2, 3, 8}));
  EXPECT_EQ(ws::visible_spaces(), (std::vector<SpaceId>{5, 3}));
}

TEST_F(WsTest, TopLevelFollowsTagsAttributesAndParent) {
  struct Case {
    const char* what;
    uint64_t tags;
    uint32_t attributes;
    Wid parent;
    bool expected;
  };
  const Case cases[] = {
      {"ordinary", 0x1, 0x2, 0, true},
      {"has a parent", 0x1, 0x2, 99, false},
      {"tag bit 7", 0x81, 0x2, 0, false},
      {"tag bit 18", 0x40001, 0x2, 0, false},
      {"neither attribute bit 1 nor tag bit 58", 0x1, 0x0, 0, false},
      {"tag bit 58 instead of the attribute", 0x0400000000000001ull, 0x0, 0, true},
      {"tag bits 1 and 31", 0x80000002ull, 0x2, 0, true},
      {"tag bit 1 alone", 0x2, 0x2, 0, false},
      {"no tag bits", 0x0, 0x2, 0, false},
  };
  for (const Case& c : cases) {
    auto d = two_displays();
    d.windows = {window(1, 10, {1})};
    d.windows[0].tags = c.tags;
    d.windows[0].attributes = c.attributes;
    d.windows[0].parent = c.parent;
    use(d);
    EXPECT_EQ(ws::top_level(1), c.expected) << c.what;
  }
  EXPECT_FALSE(ws::top_level(12345));  // unknown window: the query yields nothing
}

TEST_F(WsTest, CornerRadius) {
  auto d = two_displays();
  d.windows = {window(1, 10, {1}), window(2, 10, {1})};
  d.windows[0].corner_radius = 16;
  use(d);
  EXPECT_EQ(ws::corner_radius(1), 16.0);
  EXPECT_EQ(ws::corner_radius(2), std::nullopt);  // empty radii
  EXPECT_EQ(ws::corner_radius(3), std::nullopt);  // unknown window
}

TEST_F(WsTest, WindowManagerOwnership) {
  auto d = two_displays();
  d.windows = {window(1, 11, {}, 19), window(2, 10, {1}), window(3, 10, {1})};
  d.windows[2].owner_name = "windowmanager";  // case matters
  use(d);
  EXPECT_TRUE(ws::window_manager_window(1));
  EXPECT_FALSE(ws::window_manager_window(2));
  EXPECT_FALSE(ws::window_manager_window(3));
  EXPECT_FALSE(ws::window_manager_window(99));
  EXPECT_FALSE(ws::owned_by_window_manager(Value(sys::Dict{{sys::wl::OWNER_NAME, Value(13)}})));
}

TEST_F(WsTest, MissionControlOverlaysMatchScreensWithinTwoPoints) {
  struct Case {
    const char* what;
    Rect bounds;
    int32_t layer;
    bool matches;
  };
  // Screens: main 1440x900 at the origin, side 1920x1080 to its right, tops aligned.
  const Case cases[] = {
      {"main exactly", {0, 0, 1440, 900}, 19, true},
      {"off by 2.0 in x", {2, 0, 1440, 900}, 19, true},
      {"off by 2.0 in height", {0, 0, 1440, 902}, 19, true},
      {"off by 2.1 in x", {2.1, 0, 1440, 900}, 19, false},
      {"off by 2.1 in y", {0, -2.1, 1440, 900}, 19, false},
      {"off by 2.1 in width", {0, 0, 1437.9, 900}, 19, false},
      {"side screen", {1440, 0, 1920, 1080}, 19, true},
      {"wrong layer", {0, 0, 1440, 900}, 20, false},
  };
  for (const Case& c : cases) {
    auto d = two_displays();
    d.windows = {window(40, 11, {}, c.layer)};
    d.windows[0].bounds = c.bounds;
    use(d);
    EXPECT_EQ(ws::mission_control_overlays().count(40), c.matches ? 1u : 0u) << c.what;
  }
}

TEST_F(WsTest, MissionControlOverlaysOnlyOnTheMainThread) {
  auto d = two_displays();
  d.windows = {window(40, 11, {}, 19)};
  d.windows[0].bounds = {0, 0, 1440, 900};
  use(d);
  ASSERT_EQ(ws::mission_control_overlays().size(), 1u);
  size_t off_main = 99;
  std::thread t([&] { off_main = ws::mission_control_overlays().size(); });
  t.join();
  EXPECT_EQ(off_main, 0u);
}

}  // namespace
}  // namespace mirvex
