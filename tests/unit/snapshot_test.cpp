#include "app/snapshot.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <thread>

#include "core/entry_list.h"
#include "core/prefs.h"
#include "spine_fixture.h"

namespace mirvex {
namespace {

using namespace testing_spine;

class SnapshotTest : public SpineTest {};

TEST_F(SnapshotTest, AnApplicationTheObserverMissedIsKnownInTheSameCall) {
  use(desktop({app(10, "Editor")}, {window(1, 10)}, 10));
  ASSERT_TRUE(S->model.apps.empty());  // the observer has not reported it

  snapshot(*S);

  ASSERT_TRUE(S->model.apps.contains(10));
  EXPECT_TRUE(S->model.apps.at(10).regular);
  EXPECT_EQ(count("apps: observe 10 Editor"), 1u);
  // Its window passes the entry list's application test at once.
  ListContext cx;
  cx.shortcut = Shortcut::slot(0);
  cx.visible_spaces = {1};
  const std::vector<Entry> entries = list(S->model, cx);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entry_pid(entries[0]), 10);
}

TEST_F(SnapshotTest, PendingWindowsGoOutAsOneResolvePerApplication) {
  sys::sim::Window tiny = window(4, 10, {0, 0, 40, 40});  // not ordinary: never resolved
  use(desktop({app(10, "Editor"), app(11, "Viewer"), app(4242, "mirvex")},
              {window(1, 10), window(2, 11), window(3, 10), tiny, window(5, 4242)}, 10));

  snapshot(*S);

  std::vector<AxRequest> resolves;
  for (const AxRequest& q : rec.submitted)
    if (q.kind == AxRequest::Kind::Resolve) resolves.push_back(q);
  const std::vector<AxRequest> expected = {{AxRequest::Kind::Resolve, 10, {1, 3}},
                                           {AxRequest::Kind::Resolve, 11, {2}}};
  EXPECT_EQ(resolves, expected);  // nothing for this process's own window
  EXPECT_EQ(lines("snapshot: "), std::vector<std::string>{"snapshot: 5 windows, resolving 4 pending wids in 3 apps"});
  // Observe went to the two other applications only.
  std::vector<Pid> observed;
  for (const AxRequest& q : rec.submitted)
    if (q.kind == AxRequest::Kind::Observe) observed.push_back(q.pid);
  EXPECT_EQ(observed, (std::vector<Pid>{10, 11}));
}

TEST_F(SnapshotTest, AFailedWindowListKeepsTheModelAndStillResolves) {
  use(desktop({app(10, "Editor")}, {window(1, 10), window(2, 10)}, 10));
  snapshot(*S);
  rec.submitted.clear();

  sys::sim::Faults f;
  f.window_list_fails = true;
  sim.set_faults(f);
  snapshot(*S);

  EXPECT_EQ(S->model.windows.size(), 2u);
  EXPECT_EQ(count("snapshot: window server returned no list, model kept"), 1u);
  ASSERT_EQ(rec.submitted.size(), 1u);
  EXPECT_EQ(rec.submitted[0], (AxRequest{AxRequest::Kind::Resolve, 10, {1, 2}}));
}

TEST_F(SnapshotTest, TheLineIsWrittenWhenThereIsNothingToResolve) {
  use(desktop({}, {}, std::nullopt));
  snapshot(*S);
  EXPECT_EQ(lines("snapshot: "), std::vector<std::string>{"snapshot: 0 windows, resolving 0 pending wids in 0 apps"});
  EXPECT_TRUE(rec.submitted.empty());
}

TEST_F(SnapshotTest, ScreenAboveTheMainScreenHasNegativeY) {
  sys::sim::Desktop d = desktop({}, {}, std::nullopt);
  sys::sim::Display above = d.displays[0];
  above.uuid = "ABOVE";
  above.id = 2;
  above.frame = above.visible = {200, -1080, 1920, 1080};  // window-server coordinates
  above.spaces = {{2, 0, {}}};
  above.current = 2;
  d.displays.push_back(above);
  use(d);

  const std::vector<sys::Screen> screens = sys::port().screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(ws_frame(screens[0]), (Rect{0, 0, 1440, 900}));
  EXPECT_EQ(ws_frame(screens[1]), (Rect{200, -1080, 1920, 1080}));

  std::optional<Rect> off_main = Rect{};
  std::thread([&] { off_main = ws_frame(screens[1]); }).join();
  EXPECT_EQ(off_main, std::nullopt);
}

TEST_F(SnapshotTest, MarkingADestroyedTargetClearsTheBorder) {
  use(desktop({}, {}, std::nullopt));
  S->border_target = 7;
  S->border_shown = true;
  S->minimizing = {7};
  S->closing = {7, 8};

  mark_window_destroyed(*S, 7);

  EXPECT_EQ(lines("border: "), std::vector<std::string>{"border: suppress destroyed target wid=7"});
  EXPECT_EQ(S->border_target, std::nullopt);
  EXPECT_FALSE(S->border_shown);
  EXPECT_EQ(rec.border_targets, std::vector<std::optional<Wid>>{std::nullopt});
  EXPECT_EQ(rec.border_order_outs, 1);
  EXPECT_TRUE(S->minimizing.empty());
  EXPECT_EQ(S->closing, std::set<Wid>{8});
  EXPECT_EQ(S->gone, std::set<Wid>{7});

  // Any other window is only recorded as gone.
  mark_window_destroyed(*S, 9);
  EXPECT_EQ(count("border: "), 1u);
  EXPECT_EQ(rec.border_order_outs, 1);
  EXPECT_EQ(S->gone, (std::set<Wid>{7, 9}));
}

TEST_F(SnapshotTest, OwnWindowsMinimisedAndRestoredAreBookkept) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "snapshot_test";
  static char* argv[] = {name, nullptr};
  static QApplication* qt = new QApplication(argc, argv);  // reachable for the whole run
  ASSERT_NE(qt, nullptr);
  use(desktop({}, {}, std::nullopt));
  watch_own_windows();
  watch_own_windows();  // a second call adds no second watch

  QWidget own;
  own.resize(200, 100);
  own.show();
  const Wid wid = static_cast<Wid>(own.winId());
  own.showMinimized();
  EXPECT_EQ(S->minimizing, std::set<Wid>{wid});
  own.showNormal();
  EXPECT_TRUE(S->minimizing.empty());
  EXPECT_EQ(rec.border_updates, 1);
}

// --- ignore_front_app

class IgnoreFrontAppTest : public SpineTest {
 protected:
  // Front app 10 ("org.example.Game") with windows 1 (most recent) and 2.
  void SetUp() override {
    SpineTest::SetUp();
    use(desktop({app(10, "Game", "org.example.Game")}, {window(1, 10), window(2, 10)}, 10));
    snapshot(*S);
    S->model.apply(ev::Focused{1});
    S->defaults.set("onboarded", plist::Value(true));
  }
  void fullscreen(Wid wid, bool on) { S->model.apply(ev::Details{"t", next_stamp(), wid, false, on, AxStatus::found(true)}); }
  void exception(uint8_t ignore) { S->settings.exceptions = {{"org.example.Other", 0, 2}, {"org.example.Game", 0, ignore}}; }
};

TEST_F(IgnoreFrontAppTest, ExceptionCodes) {
  struct Case {
    std::optional<uint8_t> ignore;  // none: no exception for the app
    bool recent_fullscreen, other_fullscreen, expected;
  };
  const Case cases[] = {
      {std::nullopt, true, false, false},
      {0, true, false, false},
      {2, false, false, true},
      {1, true, false, true},
      {1, false, false, false},
      {1, false, true, false},  // only the most recent window counts
  };
  for (const Case& c : cases) {
    S->settings.exceptions.clear();
    if (c.ignore) exception(*c.ignore);
    fullscreen(1, c.recent_fullscreen);
    fullscreen(2, c.other_fullscreen);
    EXPECT_EQ(ignore_front_app(*S), c.expected)
        << "ignore=" << (c.ignore ? int(*c.ignore) : -1) << " recent=" << c.recent_fullscreen;
  }
}

TEST_F(IgnoreFrontAppTest, FrontAppWithoutBundleOrUnknownPassesNothingThrough) {
  exception(2);
  S->model.apps.at(10).bundle_id.reset();
  EXPECT_FALSE(ignore_front_app(*S));
  S->model.apps.erase(10);
  EXPECT_FALSE(ignore_front_app(*S));
}

TEST_F(IgnoreFrontAppTest, OnboardingPassesThroughBeforeStepSixAndTheRecorderAlways) {
  S->defaults.remove("onboarded");
  S->defaults.set("onboardingStep", plist::Value(int64_t{5}));
  EXPECT_TRUE(ignore_front_app(*S));
  S->defaults.set("onboardingStep", plist::Value(int64_t{6}));
  EXPECT_FALSE(ignore_front_app(*S));
  S->defaults.set("recordingHotkey", plist::Value(true));
  EXPECT_TRUE(ignore_front_app(*S));
}

}  // namespace
}  // namespace mirvex
