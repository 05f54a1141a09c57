#include "app/apps.h"

#include <gtest/gtest.h>

#include <thread>

#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using sys::sim::harness;

std::vector<Event> EVENTS;

sys::sim::App app(Pid pid, std::string name, sys::Policy policy = sys::Policy::Regular) {
  sys::sim::App a;
  a.pid = pid;
  a.name = std::move(name);
  a.bundle_id = "org.example." + *a.name;
  a.policy = policy;
  return a;
}

class AppsTest : public testing::Test {
 protected:
  // The observer lives for the process, so it is started once for the whole suite.
  static void SetUpTestSuite() {
    sys::sim::Desktop d;
    d.apps = {app(10, "Editor"), app(11, "Dock", sys::Policy::Accessory), app(12, "agent", sys::Policy::Prohibited)};
    d.apps[2].name.reset();
    d.apps[2].bundle_id.reset();
    d.front = 10;
    harness().sim.reset(d);
    apps::start([](Event e) { EVENTS.push_back(std::move(e)); });
    STARTUP = std::move(EVENTS);
  }
  void SetUp() override { EVENTS.clear(); }
  void deliver() { harness().queue.run_due(); }

  static inline std::vector<Event> STARTUP;
  sys::sim::Sim& s = harness().sim;
};

TEST_F(AppsTest, StartDeliversEveryRunningApplicationFirst) {
  ASSERT_EQ(STARTUP.size(), 3u);
  const RunningApp expected[] = {
      {"Editor", "org.example.Editor", 10, true, false},
      {"Dock", "org.example.Dock", 11, false, false},
      {"", std::nullopt, 12, false, false},  // no name, no bundle identifier
  };
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(std::holds_alternative<ev::App>(STARTUP[i]));
    EXPECT_EQ(std::get<ev::App>(STARTUP[i]).app, expected[i]);
  }
}

TEST_F(AppsTest, NotificationsBecomeEventsOnTheMainThread) {
  s.launch(app(20, "Viewer"));
  s.activate(20);
  s.hide(20);
  s.unhide(20);
  s.switch_space(0);  // no such Space: nothing
  s.terminate(20);
  EXPECT_TRUE(EVENTS.empty());  // not before the main queue runs
  deliver();
  ASSERT_EQ(EVENTS.size(), 6u);
  EXPECT_EQ(std::get<ev::App>(EVENTS[0]).app.pid, 20);
  EXPECT_EQ(std::get<ev::App>(EVENTS[1]).app.name, "Viewer");
  EXPECT_EQ(std::get<ev::Activated>(EVENTS[2]).pid, 20);
  EXPECT_TRUE(std::get<ev::Hidden>(EVENTS[3]).hidden);
  EXPECT_FALSE(std::get<ev::Hidden>(EVENTS[4]).hidden);
  EXPECT_EQ(std::get<ev::Terminated>(EVENTS[5]).pid, 20);
}

TEST_F(AppsTest, SwitchingSpacesGivesSpaceChanged) {
  sys::sim::Desktop d = s.desktop();
  sys::sim::Display main;
  main.uuid = "MAIN";
  main.spaces = {{1, 0, {}}, {2, 0, {}}};
  main.current = 1;
  d.displays = {main};
  s.reset(d);
  s.switch_space(2);
  deliver();
  ASSERT_EQ(EVENTS.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<ev::SpaceChanged>(EVENTS[0]));
}

TEST_F(AppsTest, ActivatingAnUnknownApplicationAddsItAndPutsItFirst) {
  Model model;
  for (const Event& e : STARTUP) model.apply(e);
  model.apply(ev::Activated{10});
  // The launch notification is lost (the application started before the observer), but the
  // activation carries the record.
  sys::sim::Desktop d = s.desktop();
  d.apps.push_back(app(30, "Late"));
  s.reset(d);
  s.activate(30);
  deliver();
  ASSERT_EQ(EVENTS.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<ev::App>(EVENTS[0]));
  for (const Event& e : EVENTS) model.apply(e);
  ASSERT_TRUE(model.apps.count(30));
  EXPECT_EQ(model.apps[30].name, "Late");
  EXPECT_EQ(model.app_order.front(), 30);
}

TEST_F(AppsTest, NotificationsWithoutAnApplicationAreIgnored) {
  apps::notify(sys::WorkspaceNote{sys::note::ACTIVATED, std::nullopt}, [](Event e) { EVENTS.push_back(e); });
  apps::notify(sys::WorkspaceNote{sys::note::TERMINATED, std::nullopt}, [](Event e) { EVENTS.push_back(e); });
  EXPECT_TRUE(EVENTS.empty());
}

TEST_F(AppsTest, FrontmostPidFallsBackToTheWorkspaceThenToMinusOne) {
  sys::sim::Desktop d = s.desktop();
  d.front = 11;
  s.reset(d);
  EXPECT_EQ(apps::frontmost_pid(), 11);
  d.faults.front_process_fails = true;  // the private call fails; the workspace still knows
  s.reset(d);
  EXPECT_EQ(apps::frontmost_pid(), 11);
  d.front.reset();
  s.reset(d);
  EXPECT_EQ(apps::frontmost_pid(), -1);
}

TEST(AppsDeathTest, StartOffTheMainThreadStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        harness();
        std::thread t([] { apps::start([](Event) {}); });
        t.join();
      },
      "apps::start must run on the main thread");
}

}  // namespace
}  // namespace mirvex
