#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sys/sim/harness.h"

namespace mirvex::sys {
namespace {

using sim::harness;

const std::string SCENARIOS = std::string(MIRVEX_TEST_DATA) + "/scenarios/";

std::vector<Wid> wids_of(const std::optional<Value>& list) {
  std::vector<Wid> out;
  for (const Value& e : *list->array()) out.push_back(static_cast<Wid>(e.get(wl::NUMBER)->number()->as_int64()));
  return out;
}

template <class F>
F sym(const char* name) {
  auto f = symbol_as<F>(harness().sim.symbol(name));
  EXPECT_TRUE(f) << name;
  return *f;
}

class SimTest : public testing::Test {
 protected:
  void SetUp() override { harness().sim.reset(sim::load_scenario(SCENARIOS + "small.json")); }
  sim::Sim& s = harness().sim;
  VirtualQueue& q = harness().queue;
};

TEST(Value, SaturatingConversionsNeverOverflow) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(saturate<uint32_t>(-5.0), 0u);
  EXPECT_EQ(saturate<uint32_t>(4294967296.0), 4294967295u);
  EXPECT_EQ(saturate<uint32_t>(812.9), 812u);
  EXPECT_EQ(saturate<uint32_t>(nan), 0u);
  EXPECT_EQ(saturate<int32_t>(-1e12), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(saturate<int32_t>(-7.9), -7);
  EXPECT_EQ(saturate<uint64_t>(1e30), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(saturate<int64_t>(9.3e18), std::numeric_limits<int64_t>::max());
  EXPECT_EQ((Number{int64_t{1} << 60}).as_int64(), int64_t{1} << 60);  // integers stay exact
}

TEST(Value, RectFromDictNeedsAllFourNumbers) {
  EXPECT_EQ(rect_from_dict(rect_dict({1, 2, 3, 4})), (Rect{1, 2, 3, 4}));
  Value partial = rect_dict({1, 2, 3, 4});
  partial.erase("Height");
  EXPECT_FALSE(rect_from_dict(partial));
  Value text = rect_dict({1, 2, 3, 4});
  text.set("X", Value("1"));
  EXPECT_FALSE(rect_from_dict(text));
  EXPECT_FALSE(rect_from_dict(Value(Array{})));
}

TEST_F(SimTest, ScenarioLoadsDisplaysSpacesAppsAndWindows) {
  const sim::Desktop d = s.desktop();
  ASSERT_EQ(d.displays.size(), 2u);
  EXPECT_EQ(d.displays[0].spaces.size(), 3u);
  EXPECT_EQ(d.displays[0].spaces[2].type, ds::FULLSCREEN_SPACE);
  EXPECT_EQ(d.apps.size(), 5u);
  EXPECT_EQ(d.windows.size(), 8u);
  EXPECT_EQ(d.apps[3].policy, Policy::Accessory);
  EXPECT_EQ(s.self_pid(), 4242);

  // Screens come in the system's bottom-left space: the second display sits 300 points above
  // the first one's top edge in window-server terms.
  auto screens = s.screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[0].frame, (Rect{0, 0, 1512, 982}));
  EXPECT_EQ(screens[0].visible_frame, (Rect{0, 0, 1512, 949}));
  EXPECT_EQ(screens[1].frame, (Rect{1512, 202, 1920, 1080}));
}

TEST_F(SimTest, WindowListOptionsSelectLikeThePlatform) {
  // On screen: the shown Spaces (1 and 4), not minimised, not of a hidden app; sticky windows too.
  EXPECT_EQ(wids_of(s.window_list(wl::ON_SCREEN_ONLY | wl::EXCLUDE_DESKTOP, 0)),
            (std::vector<Wid>{201, 202, 203, 301, 302}));
  EXPECT_EQ(wids_of(s.window_list(wl::EXCLUDE_DESKTOP, 0)),
            (std::vector<Wid>{201, 202, 203, 204, 205, 206, 301, 302}));
  EXPECT_EQ(wids_of(s.window_list(wl::INCLUDING_WINDOW, 205)), std::vector<Wid>{205});
  EXPECT_EQ(wids_of(s.window_list(wl::ON_SCREEN_BELOW, 202)), (std::vector<Wid>{203, 301, 302}));

  auto list = s.window_list(wl::EXCLUDE_DESKTOP, 0);
  const Value& first = (*list->array())[0];
  EXPECT_EQ(*first.get(wl::OWNER_NAME)->string(), "Safari");
  EXPECT_EQ(*first.get(wl::IS_ONSCREEN)->boolean(), true);
  EXPECT_EQ(rect_from_dict(*first.get(wl::BOUNDS)), (Rect{100, 60, 1200, 800}));
  const Value& minimised = (*list->array())[5];
  EXPECT_EQ(minimised.get(wl::IS_ONSCREEN), nullptr);  // left out when off screen

  s.switch_space(3);  // 203 stays (it is on Spaces 1 and 3), 201 goes; 205 stays off (app hidden)
  EXPECT_EQ(wids_of(s.window_list(wl::ON_SCREEN_ONLY, 0)), (std::vector<Wid>{202, 203, 301, 302}));
}

TEST_F(SimTest, FaultSwitchesFromAScenarioFile) {
  s.reset(sim::load_scenario(SCENARIOS + "faults.json"));
  EXPECT_FALSE(s.window_list(wl::ON_SCREEN_ONLY, 0));
  EXPECT_FALSE(sym<fn::CGSCopyManagedDisplaySpaces>("CGSCopyManagedDisplaySpaces")(sim::Sim::CID));
  Psn psn;
  EXPECT_NE(sym<fn::_SLPSGetFrontProcess>("_SLPSGetFrontProcess")(psn), 0);
  EXPECT_EQ(s.workspace_frontmost(), 202);
  EXPECT_FALSE(s.symbol("SLSWindowIteratorGetTags").has_value());
  EXPECT_FALSE(s.symbol("SLSRegisterNotifyProc").has_value());
  EXPECT_TRUE(s.symbol("SLSWindowIteratorGetAttributes").has_value());

  // The hung application answers cannot-complete to every accessibility call; the other answers.
  EXPECT_EQ(s.ax_copy(s.ax_app(201), ax::WINDOWS).error(), ax_error::CANNOT_COMPLETE);
  EXPECT_EQ(s.ax_set(AxElement{201, 11}, ax::MINIMIZED, Value(true)), ax_error::CANNOT_COMPLETE);
  Wid wid = 0;
  EXPECT_EQ(sym<fn::_AXUIElementGetWindow>("_AXUIElementGetWindow")(AxElement{201, 11}, wid), ax_error::CANNOT_COMPLETE);
  auto windows = s.ax_copy(s.ax_app(202), ax::WINDOWS);
  ASSERT_TRUE(windows.ok());
  EXPECT_EQ(windows.value(), Value(Array{Value(AxElement{202, 12})}));

  // Switches can be flipped while running.
  s.set_faults({});
  EXPECT_TRUE(s.window_list(wl::ON_SCREEN_ONLY, 0));
}

TEST(Scenario, BadFilesGiveAClearError) {
  const struct {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"windwos": []})", "windwos: unknown member"},
      {R"({"windows": [{"wid": 1}, {"wid": 1}]})", "wid 1 listed twice"},
      {R"({"windows": [{"wid": 1, "spaces": [9]}]})", "no display has Space 9"},
      {R"({"displays": [{"spaces": [{"id": 1}], "current": 2}]})", "displays[0].current: not one of the display's Spaces"},
      {R"({"apps": [{"pid": 5, "icon": "blue"}]})", "apps[0].icon: expected a colour"},
      {R"({"apps": [{"pid": 5, "policy": "daemon"}]})", "expected one of \"regular\", \"accessory\", \"prohibited\""},
      {R"({"windows": [{"wid": 1, "bounds": [1, 2, 3]}]})", "windows[0].bounds: expected [x, y, width, height]"},
      {R"({"windows": [{"wid": 4294967296}]})", "windows[0].wid: integer out of range"},
      {R"({"front": 9})", "front: no application has pid 9"},
      {R"([1, 2])", "expected an object"},
  };
  for (const auto& c : cases) {
    try {
      sim::parse_scenario(nlohmann::json::parse(c.json));
      ADD_FAILURE() << "accepted " << c.json;
    } catch (const sim::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(sim::load_scenario(SCENARIOS + "no-such-file.json"), sim::ScenarioError);
}

TEST(Scenario, SelectionTakesTheSimFromTheEnvironmentAndRefusesBadFiles) {
  VirtualQueue q;
  Selected sim = select_backend(q, (SCENARIOS + "office.json").c_str());
  ASSERT_TRUE(sim.backend) << sim.error;
  EXPECT_EQ(sim.backend->name(), "sim");
  EXPECT_EQ(sim.backend->running_apps().size(), 13u);

  Selected bad = select_backend(q, (SCENARIOS + "generate.py").c_str());
  EXPECT_FALSE(bad.backend);
  EXPECT_NE(bad.error.find("generate.py: not valid JSON"), std::string::npos) << bad.error;

  Selected none = select_backend(q, nullptr);
  EXPECT_FALSE(none.backend);
  EXPECT_NE(none.error.find("x11"), std::string::npos);
}

TEST(Scenario, GeneratedFixturesHoldWhatTheyPromise) {
  const struct {
    const char* file;
    size_t user_windows, regular_apps;
  } cases[] = {{"office.json", 30, 10}, {"crowd.json", 200, 25}};
  for (const auto& c : cases) {
    sim::Desktop d = sim::load_scenario(SCENARIOS + c.file);
    size_t windows = 0, apps = 0;
    for (const auto& w : d.windows) windows += w.layer == 0 && !w.desktop;
    for (const auto& a : d.apps) apps += a.policy == Policy::Regular;
    EXPECT_EQ(windows, c.user_windows) << c.file;
    EXPECT_EQ(apps, c.regular_apps) << c.file;
  }
}

TEST_F(SimTest, ChangesRaiseWorkspaceNotificationsOnTheMainQueue) {
  std::vector<std::string> seen;
  std::vector<std::optional<Pid>> pids;
  bool off_main = false;
  std::vector<uint64_t> tokens;
  for (const char* n : {note::LAUNCHED, note::TERMINATED, note::ACTIVATED, note::HIDDEN, note::UNHIDDEN, note::SPACE_CHANGED})
    tokens.push_back(s.workspace_observe(n, [&](const WorkspaceNote& note) {
      off_main = off_main || !q.is_main_thread();
      seen.push_back(note.name);
      pids.push_back(note.app ? std::optional(note.app->pid) : std::nullopt);
    }));

  std::thread test_code([&] {  // changes may come from any thread; delivery is on the main queue
    sim::App editor;
    editor.pid = 150;
    editor.name = "TextEdit";
    s.launch(editor);
    s.activate(150);
    s.hide(150);
    s.hide(150);  // already hidden: nothing
    s.unhide(150);
    s.switch_space(3);
    s.terminate(150);
  });
  test_code.join();
  EXPECT_TRUE(seen.empty());
  q.run_due();
  for (uint64_t t : tokens) s.workspace_unobserve(t);

  EXPECT_EQ(seen, (std::vector<std::string>{note::LAUNCHED, note::ACTIVATED, note::HIDDEN, note::UNHIDDEN,
                                            note::SPACE_CHANGED, note::TERMINATED}));
  EXPECT_EQ(pids, (std::vector<std::optional<Pid>>{150, 150, 150, 150, std::nullopt, 150}));
  EXPECT_FALSE(off_main);
  EXPECT_FALSE(s.running_app(150));
}

TEST_F(SimTest, WindowServerNotificationsCarryTheWindowWhereThePlatformPutsIt) {
  // Registrations last as long as the process (there is no unregister), so what they record
  // must outlive this test.
  auto got = std::make_shared<std::vector<std::pair<uint32_t, Wid>>>();
  auto record = [got](size_t offset) {
    return [got, offset](uint32_t event, std::span<const uint8_t> data) {
      Wid wid = 0;
      ASSERT_GE(data.size(), offset + 4);
      std::memcpy(&wid, data.data() + offset, 4);
      got->emplace_back(event, wid);
    };
  };
  auto connection = sym<fn::SLSRegisterConnectionNotifyProc>("SLSRegisterConnectionNotifyProc");
  auto system = sym<fn::SLSRegisterNotifyProc>("SLSRegisterNotifyProc");
  auto request = sym<fn::SLSRequestNotificationsForWindows>("SLSRequestNotificationsForWindows");
  for (uint32_t e : {804u, 806u, 807u}) connection(sim::Sim::CID, record(0), e);
  for (uint32_t e : {1325u, 1326u}) system(record(8), e);
  request(sim::Sim::CID, {201});

  sim::Window w;
  w.wid = 250;
  w.pid = 101;
  s.create_window(w);
  s.set_bounds(201, Rect{110, 60, 1200, 800});  // moved
  s.set_bounds(203, Rect{0, 0, 10, 10});        // not requested: no per-window event
  s.destroy_window(201);
  s.terminate(101);  // its windows go with it: 250, 203, 206
  q.run_due();
  EXPECT_EQ(*got, (std::vector<std::pair<uint32_t, Wid>>{
                      {1325, 250}, {806, 201}, {804, 201}, {1326, 201}, {1326, 250}, {1326, 203}, {1326, 206}}));
}

TEST_F(SimTest, AccessibilityListsWindowsAndFindsHiddenOnesByRemoteToken) {
  // Safari: 201 on the shown Space, 202 on the second display's shown Space; 204 sits on a
  // full-screen Space that is not shown, so the application does not list it.
  auto listed = s.ax_copy(s.ax_app(102), ax::WINDOWS);
  ASSERT_TRUE(listed.ok());
  EXPECT_EQ(listed.value(), Value(Array{Value(AxElement{102, 201}), Value(AxElement{102, 202})}));
  EXPECT_EQ(s.ax_copy(AxElement{102, 201}, ax::TITLE).value(), Value("Start Page"));
  EXPECT_EQ(s.ax_copy(AxElement{102, 204}, ax::FULLSCREEN).value(), Value(true));
  EXPECT_EQ(s.ax_copy(s.ax_app(102), ax::FOCUSED_WINDOW).value(), Value(AxElement{102, 201}));
  EXPECT_EQ(s.ax_copy(s.ax_app(101), ax::FOCUSED_WINDOW).error(), ax_error::NO_VALUE);
  EXPECT_EQ(s.ax_copy(AxElement{102, 201}, "AXNoSuchThing").error(), ax_error::ATTRIBUTE_UNSUPPORTED);

  RemoteToken token{};
  const int32_t pid = 102;
  const uint64_t element = 204;
  std::memcpy(token.data(), &pid, 4);
  const uint8_t magic[4] = {0x6F, 0x63, 0x6F, 0x63};
  std::memcpy(token.data() + 8, magic, 4);
  std::memcpy(token.data() + 12, &element, 8);
  auto from_token = sym<fn::_AXUIElementCreateWithRemoteToken>("_AXUIElementCreateWithRemoteToken");
  ASSERT_EQ(from_token(token), (AxElement{102, 204}));
  Wid wid = 0;
  EXPECT_EQ(sym<fn::_AXUIElementGetWindow>("_AXUIElementGetWindow")(*from_token(token), wid), 0);
  EXPECT_EQ(wid, 204u);
  token[8] = 0;  // not a token
  EXPECT_FALSE(from_token(token));
}

TEST_F(SimTest, AccessibilityObserversGetNotificationsThroughTheirDispatch) {
  std::vector<std::tuple<AxElement, std::string, int64_t>> got;
  std::vector<Task> ax_thread;  // stands in for the accessibility run-loop thread
  auto obs = s.ax_observer_create(102, [&](const AxElement& e, const std::string& n, int64_t ctx) {
    got.emplace_back(e, n, ctx);
  });
  ASSERT_TRUE(obs.ok());
  EXPECT_EQ(s.ax_observer_add(obs.value(), s.ax_app(102), ax::WINDOW_CREATED, 102), 0);
  EXPECT_EQ(s.ax_observer_add(obs.value(), s.ax_app(102), ax::WINDOW_CREATED, 102), ax_error::ALREADY_REGISTERED);
  EXPECT_EQ(s.ax_observer_add(obs.value(), AxElement{102, 201}, ax::WINDOW_MINIATURIZED, 7), 0);

  sim::Window w;
  w.wid = 260;
  w.pid = 102;
  s.create_window(w);  // not scheduled yet: the platform delivers nothing
  EXPECT_TRUE(got.empty());
  s.ax_observer_schedule(obs.value(), [&](Task t) { ax_thread.push_back(std::move(t)); });
  w.wid = 261;
  s.create_window(w);
  EXPECT_EQ(s.ax_set(AxElement{102, 201}, ax::MINIMIZED, Value(true)), 0);
  EXPECT_EQ(s.ax_set(AxElement{102, 202}, ax::MINIMIZED, Value(true)), 0);  // not registered
  EXPECT_EQ(s.ax_set(AxElement{102, 201}, ax::MINIMIZED, Value(1)), ax_error::ILLEGAL_ARGUMENT);
  EXPECT_TRUE(got.empty());
  for (Task& t : ax_thread) t();
  using N = std::tuple<AxElement, std::string, int64_t>;
  EXPECT_EQ(got, (std::vector<N>{{AxElement{102, 261}, ax::WINDOW_CREATED, 102},
                                 {AxElement{102, 201}, ax::WINDOW_MINIATURIZED, 7}}));
  EXPECT_TRUE(s.desktop().windows[2].minimized);  // 201, behind the two new windows
  s.ax_observer_release(obs.value());
}

TEST_F(SimTest, FrontProcessCallsActivateAndReportThroughTheWorkspace) {
  std::vector<std::string> seen;
  auto token = s.workspace_observe(note::ACTIVATED, [&](const WorkspaceNote& n) { seen.push_back(n.name); });
  auto for_pid = sym<fn::GetProcessForPID>("GetProcessForPID");
  auto set_front = sym<fn::_SLPSSetFrontProcessWithOptions>("_SLPSSetFrontProcessWithOptions");
  auto get_front = sym<fn::_SLPSGetFrontProcess>("_SLPSGetFrontProcess");
  Psn psn;
  EXPECT_EQ(for_pid(999, psn), -600);
  ASSERT_EQ(for_pid(101, psn), 0);
  EXPECT_EQ(set_front(psn, 203, 0x200), 0);
  Psn front;
  ASSERT_EQ(get_front(front), 0);
  EXPECT_EQ(front, psn);
  EXPECT_EQ(s.desktop().windows.front().wid, 203u);  // raised
  q.run_due();
  EXPECT_EQ(seen, std::vector<std::string>{note::ACTIVATED});
  s.workspace_unobserve(token);
}

}  // namespace
}  // namespace mirvex::sys
