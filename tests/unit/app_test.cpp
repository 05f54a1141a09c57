#include "app/app.h"

#include <gtest/gtest.h>

#include "core/prefs.h"
#include "spine_fixture.h"

namespace mirvex {
namespace {

using namespace testing_spine;
using std::chrono::milliseconds;

// --- Start-up

class StartTest : public SpineTest {
 protected:
  bool start_on(sys::sim::Desktop d, bool bench = false) {
    sim.reset(std::move(d));
    return start(Launch{bench, {}, recording(rec)});
  }
};

TEST_F(StartTest, ASecondInstanceExitsAndLeavesTheFirstRunning) {
  sys::sim::Desktop d = desktop({app(10, "Editor"), app(77, "mirvex", BUNDLE_ID)}, {window(1, 10)}, 10);

  EXPECT_FALSE(start_on(d));

  EXPECT_EQ(testing_config::LOGGED, std::vector<std::string>{"launch: another mirvex is running, exiting"});
  EXPECT_FALSE(has_state());
  EXPECT_TRUE(sim.journal().symbolic_hotkeys.empty());  // nothing else was touched
  EXPECT_TRUE(sim.running_app(77).has_value());
  EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(StartTest, BenchSkipsTheInstanceTest) {
  sys::sim::Desktop d = desktop({app(10, "Editor"), app(77, "mirvex", BUNDLE_ID)}, {window(1, 10)}, 10);
  EXPECT_TRUE(start_on(d, true));
  EXPECT_TRUE(has_state());
  EXPECT_EQ(count("launch: another mirvex"), 0u);
  EXPECT_TRUE(sim.journal().symbolic_hotkeys.empty());  // bench leaves the system hot keys alone
}

TEST_F(StartTest, SeedingPutsTheFrontMostWindowFirst) {
  // Front to back: 3 (Viewer), 1 (Editor), a small palette, 2 (Editor); 5 is on another Space.
  sys::sim::Window palette = window(9, 10, {0, 0, 30, 30});
  sys::sim::Window elsewhere = window(5, 11);
  elsewhere.spaces = {2};
  sys::sim::Desktop d = desktop({app(10, "Editor"), app(11, "Viewer")},
                                {window(3, 11), window(1, 10), palette, window(2, 10), elsewhere}, 11);
  d.displays[0].spaces.push_back({2, 0, {}});

  ASSERT_TRUE(start_on(d));

  with_state([](State& s) {
    ASSERT_GE(s.model.order.size(), 3u);
    EXPECT_EQ(std::vector<Wid>(s.model.order.begin(), s.model.order.begin() + 3), (std::vector<Wid>{3, 1, 2}));
    EXPECT_EQ(s.model.order.size(), 5u);
    EXPECT_EQ(s.screen_recording, false);
  });
  // The launch lines, in order.
  std::vector<std::string> launch = lines("launch: ");
  ASSERT_EQ(launch.size(), 3u);
  EXPECT_EQ(launch[0], "launch: accessibility trusted=true");
  EXPECT_TRUE(launch[1].starts_with("launch: seeded 5 windows in ")) << launch[1];
  EXPECT_TRUE(launch[2].starts_with("launch: screen recording allowed=false in ")) << launch[2];
  // The system switcher is re-enabled; the model knows both applications.
  EXPECT_EQ(sim.journal().symbolic_hotkeys, (std::map<int32_t, bool>{{1, true}, {2, true}}));
  EXPECT_EQ(count("apps: observe "), 2u);
}

TEST_F(StartTest, FirstRunDoesNotPromptAndStartsOnboarding) {
  int onboarding = 0, prompts_asked = 0;
  sim.reset(desktop({app(10, "Editor")}, {window(1, 10)}, 10));
  Hooks h = recording(rec);
  h.onboarding_start = [&] { ++onboarding; };
  h.ax_trusted_or_prompt = [&] { ++prompts_asked; return true; };
  ASSERT_TRUE(start(Launch{false, {}, h}));
  EXPECT_EQ(onboarding, 1);
  EXPECT_EQ(prompts_asked, 0);
  EXPECT_EQ(sim.journal().ax_prompts, 0);
}

TEST_F(StartTest, WithoutATapItRetriesEveryTwoSecondsAndCatchesUp) {
  {
    Defaults d;
    prefs::save(d, Settings::defaults());
    d.set("onboarded", plist::Value(true));
  }
  sys::sim::Desktop d = desktop({app(10, "Editor"), app(4242, "mirvex")}, {window(1, 10)}, 10);
  d.ax_trusted = false;
  sim.reset(d);
  int tries = 0;
  Hooks h = recording(rec);
  h.input_start = [] { return false; };
  h.input_retry_tap = [&] { return ++tries >= 1; };
  ASSERT_TRUE(start(Launch{false, {}, h}));
  EXPECT_EQ(count("launch: no event tap, native ⌘Tab stays on"), 1u);

  advance(milliseconds(4000));  // not trusted yet: the tap is not even tried
  EXPECT_EQ(tries, 0);
  d.ax_trusted = true;
  sim.reset(d);
  rec.submitted.clear();
  advance(milliseconds(2000));
  EXPECT_EQ(tries, 1);
  EXPECT_EQ(count("input: event tap started after grant"), 1u);
  std::vector<Pid> observed;
  for (const AxRequest& q : rec.submitted)
    if (q.kind == AxRequest::Kind::Observe) observed.push_back(q.pid);
  EXPECT_EQ(observed, std::vector<Pid>{10});  // every regular app but this one
  ASSERT_FALSE(rec.untrusted.empty());
  EXPECT_FALSE(rec.untrusted.back());
  advance(milliseconds(10000));
  EXPECT_EQ(tries, 1);  // no more retries
}

// --- Dispatch

class DispatchTest : public SpineTest {
 protected:
  // Editor (10) with windows 1, 2 and Viewer (11) with window 3; window 3 most recent.
  void SetUp() override {
    SpineTest::SetUp();
    use(desktop({app(10, "Editor"), app(11, "Viewer")}, {window(1, 10), window(2, 10), window(3, 11)}, 10));
    snapshot(*S);
    S->model.apply(ev::Focused{3});
    testing_config::LOGGED.clear();
    rec = Record{};
  }
};

TEST_F(DispatchTest, QuickActivationsRunOneCommitSequence) {
  // Editor is in front but none of its windows is on screen, so every commit attempt fails
  // (after a snapshot) and the sequence runs to its end.
  sys::sim::Desktop d = sim.desktop();
  for (auto& w : d.windows)
    if (w.pid == 10) w.onscreen = false;
  sim.reset(d);

  on_event(ev::Activated{10});
  advance(milliseconds(10));
  on_event(ev::Activated{10});
  advance(milliseconds(10));
  on_event(ev::Activated{10});
  advance(milliseconds(5000));

  EXPECT_EQ(count("snapshot: "), 11u);  // 11 attempts of the last sequence, none of the others
  EXPECT_TRUE(S->front_refresh.empty());
  EXPECT_EQ(S->model.order.front(), 3u);  // the model keeps its order
}

TEST_F(DispatchTest, ActivationMovesTheFrontWindowFirstAfterSixtyMilliseconds) {
  on_event(ev::Activated{10});
  advance(milliseconds(59));
  EXPECT_EQ(S->model.order.front(), 3u);
  advance(milliseconds(1));
  EXPECT_EQ(S->model.order.front(), 1u);
  EXPECT_EQ(lines("mru: "), std::vector<std::string>{"mru: front pid=10 wid=1 (reported=false) was Some(3)"});
  EXPECT_TRUE(S->front_refresh.empty());
}

TEST_F(DispatchTest, ADroppedDestroyedDoesNotMarkTheWindowGone) {
  S->border_target = 1;
  const Stamp before_snapshot = next_stamp();
  snapshot(*S);  // lists window 1 after the destruction was observed

  on_event(ev::Destroyed{before_snapshot, 1});
  EXPECT_TRUE(S->model.windows.contains(1));
  EXPECT_FALSE(S->gone.contains(1));
  EXPECT_EQ(count("border: "), 0u);
  EXPECT_EQ(S->border_target, 1u);

  on_event(ev::Destroyed{next_stamp(), 1});
  EXPECT_FALSE(S->model.windows.contains(1));
  EXPECT_TRUE(S->gone.contains(1));
  EXPECT_EQ(lines("border: "), std::vector<std::string>{"border: suppress destroyed target wid=1"});
  EXPECT_EQ(S->border_target, std::nullopt);
}

TEST_F(DispatchTest, DetailsUpdateTheBorderOnlyWhenMinimisedOrFullScreenChange) {
  on_event(ev::Details{"renamed", next_stamp(), 1, false, false, AxStatus::found(true)});
  EXPECT_EQ(S->model.windows.at(1).title, "renamed");
  EXPECT_EQ(rec.border_updates, 0);
  on_event(ev::Details{"renamed", next_stamp(), 1, false, true, AxStatus::found(true)});
  EXPECT_EQ(rec.border_updates, 1);
  on_event(ev::Details{"renamed", next_stamp(), 1, true, true, AxStatus::found(true)});
  EXPECT_EQ(rec.border_updates, 2);
}

TEST_F(DispatchTest, EveryAppliedEventTellsTheInputLayer) {
  on_event(ev::Hidden{11, true});
  EXPECT_TRUE(S->model.apps.at(11).hidden);
  EXPECT_EQ(rec.untrusted, std::vector<bool>{false});
  EXPECT_EQ(rec.ignored, std::vector<bool>{true});  // a fresh configuration is still onboarding
  EXPECT_EQ(rec.border_updates, 1);
}

TEST_F(DispatchTest, TerminationForgetsTheApplicationAndRefreshesTheFront) {
  S->minimizing = {3};
  S->border_target = 3;
  on_event(ev::Terminated{11});

  EXPECT_EQ(lines("apps: "), std::vector<std::string>{"apps: forget 11"});
  EXPECT_EQ(rec.forgot, std::vector<Pid>{11});
  EXPECT_FALSE(S->app_icons.contains(11));
  EXPECT_TRUE(S->minimizing.empty());
  EXPECT_TRUE(S->gone.contains(3));
  EXPECT_EQ(S->border_target, std::nullopt);
  EXPECT_FALSE(S->model.apps.contains(11));
  // The head changed (window 3 left), so the front application's window becomes first.
  ASSERT_TRUE(S->front_refresh.contains(10));
  advance(milliseconds(60));
  EXPECT_EQ(S->model.order.front(), 1u);
  EXPECT_TRUE(S->front_refresh.empty());
}

TEST_F(DispatchTest, MinimisedAndRestoredWindowsAreBookkept) {
  S->model.apply(ev::Focused{2});
  on_event(ev::Minimized{2});
  EXPECT_TRUE(S->model.windows.at(2).minimized);
  EXPECT_TRUE(S->minimizing.contains(2));
  EXPECT_TRUE(S->front_refresh.contains(10));  // it was the most recent window

  on_event(ev::Deminimized{2});
  EXPECT_FALSE(S->model.windows.at(2).minimized);
  EXPECT_FALSE(S->minimizing.contains(2));
  EXPECT_EQ(rec.border_updates, 1);
}

TEST_F(DispatchTest, SpaceChangesAndExposeHoldTheBorder) {
  on_event(ev::SpaceChanged{});
  on_event(ev::Expose{true});
  EXPECT_TRUE(S->expose_active);
  EXPECT_EQ(rec.border_holds, 2);
  EXPECT_EQ(rec.border_updates, 0);
}

TEST_F(DispatchTest, NewRegularApplicationsAreObservedOnce) {
  sys::sim::App later = app(12, "Mail");
  later.icon = 0xFF112233;
  sim.launch(later);
  harness().queue.run_due();  // nobody observes the workspace here: deliver by hand
  RunningApp mail{"Mail", "org.example.Mail", 12, true, false};
  on_event(ev::App{mail});
  on_event(ev::App{mail});
  on_event(ev::App{RunningApp{"agent", std::nullopt, 13, false, false}});

  EXPECT_EQ(lines("apps: observe"), std::vector<std::string>{"apps: observe 12 Mail"});
  EXPECT_EQ(rec.submitted, (std::vector<AxRequest>{{AxRequest::Kind::Observe, 12, {}}}));
  ASSERT_TRUE(S->app_icons.contains(12));
  EXPECT_EQ(S->app_icons.at(12).width, 32);
  EXPECT_FALSE(S->app_icons.contains(13));
}

TEST_F(DispatchTest, ReentrantAccessStops) {
  EXPECT_DEATH(with_state([](State&) { on_event(ev::SpaceChanged{}); }), "re-entrant access to the state");
}

// --- commit_focus

TEST_F(DispatchTest, CommitFocusCases) {
  // Not in front: nothing changes.
  EXPECT_TRUE(commit_focus(*S, 11));
  EXPECT_EQ(S->model.order.front(), 3u);
  EXPECT_EQ(count("mru: "), 0u);

  // The reported focused window wins over the stacking order.
  S->model.apply(ev::AppFocused{10, 2});
  EXPECT_TRUE(commit_focus(*S, 10));
  EXPECT_EQ(S->model.order.front(), 2u);
  EXPECT_EQ(lines("mru: "), std::vector<std::string>{"mru: front pid=10 wid=2 (reported=true) was Some(3)"});
  EXPECT_EQ(rec.border_updates, 1);

  // Already first: done without a change.
  EXPECT_TRUE(commit_focus(*S, 10));
  EXPECT_EQ(count("mru: "), 1u);

  // A minimised focused window does not count; the head already belongs to the app.
  S->model.apply(ev::Minimized{2});
  EXPECT_TRUE(commit_focus(*S, 10));
  EXPECT_EQ(count("mru: "), 1u);
}

TEST_F(DispatchTest, CommitFocusForAFocusedWindowNotYetKnownTakesASnapshot) {
  sim.create_window(window(8, 10));
  harness().queue.run_due();
  S->model.apply(ev::AppFocused{10, 8});
  EXPECT_TRUE(commit_focus(*S, 10));
  EXPECT_EQ(S->model.order.front(), 8u);
  EXPECT_EQ(lines("mru: "), std::vector<std::string>{"mru: front pid=10 wid=8 (reported=true) was Some(3)"});
}

// --- Settings

class SettingsTest : public DispatchTest {
 protected:
  void save(const Settings& s) { prefs::save(S->defaults, s); }
};

TEST_F(SettingsTest, CodeMinusTwoHidesTheLookPreviewOfAShownWindow) {
  settings_changed(-2);  // the window was not shown: nothing to hide
  EXPECT_EQ(rec.panel_hides, 0);
  settings_changed(3);
  EXPECT_EQ(S->settings_preview_code, 3);
  settings_changed(-1);
  EXPECT_TRUE(S->settings_window_shown);
  EXPECT_EQ(S->settings_preview_code, std::nullopt);
  settings_changed(-2);
  EXPECT_EQ(rec.panel_hides, 1);
  EXPECT_FALSE(S->settings_window_shown);
}

TEST_F(SettingsTest, ThumbnailsWithPreviewAlreadyOnStillAsksForScreenRecording) {
  Settings s = Settings::defaults();
  s.preview = true;
  S->settings = s;
  S->screen_recording = false;  // denied earlier
  s.style = Style::Thumbnails;
  save(s);

  settings_changed(0);

  EXPECT_EQ(S->settings.style, Style::Thumbnails);
  EXPECT_EQ(sim.journal().capture_requests, 1);
}

TEST_F(SettingsTest, CaptureNeedDecision) {
  struct Case {
    const char* what;
    void (*old_)(Settings&);
    void (*new_)(Settings&);
    bool expected;
  };
  const Case cases[] = {
      {"nothing needs capture", [](Settings&) {}, [](Settings&) {}, false},
      {"preview turned on", [](Settings&) {}, [](Settings& s) { s.preview = true; }, true},
      {"preview already on", [](Settings& s) { s.preview = true; }, [](Settings& s) { s.preview = true; s.previewBeside = true; }, false},
      {"thumbnails with preview on", [](Settings& s) { s.preview = true; }, [](Settings& s) { s.preview = true; s.style = Style::Thumbnails; }, true},
      {"shortcut override", [](Settings&) {}, [](Settings& s) { s.shortcuts[2].style = 2; }, true},
      {"background capture", [](Settings&) {}, [](Settings& s) { s.backgroundCapture = true; }, true},
      {"capture turned off", [](Settings& s) { s.style = Style::Thumbnails; }, [](Settings&) {}, false},
  };
  for (const Case& c : cases) {
    Settings old_s = Settings::defaults(), new_s = Settings::defaults();
    c.old_(old_s);
    c.new_(new_s);
    S->settings = old_s;
    EXPECT_EQ(apply_settings(*S, new_s), c.expected) << c.what;
  }
}

TEST_F(SettingsTest, ApplyingSavesNormalisedValuesAndShowsTheLookPreviewWhenTheLookChanged) {
  Settings s = Settings::defaults();
  s.singleFocus = true;  // not a look field
  apply_settings(*S, s);
  EXPECT_EQ(rec.demos, 0);
  EXPECT_EQ(rec.input_applies, 1);
  EXPECT_TRUE(prefs::load(S->defaults).singleFocus);  // written back

  s.corner = 10;
  apply_settings(*S, s);
  EXPECT_EQ(rec.demos, 1);

  S->settings_window_open = true;  // the open window shows its own preview of look changes
  s.corner = 12;
  apply_settings(*S, s);
  EXPECT_EQ(rec.demos, 1);

  S->settings_window_shown = true;  // a shown window always gets the preview
  apply_settings(*S, s);
  EXPECT_EQ(rec.demos, 2);
}

TEST_F(SettingsTest, LookFieldsIgnoreBehaviour) {
  Settings a = Settings::defaults(), b = a;
  b.delayMs = 0;
  b.vim = true;
  b.shortcuts[0].hold = 2;
  b.exceptions.clear();
  EXPECT_EQ(look_fields(a), look_fields(b));
  b.shortcuts[1].size = 0;
  EXPECT_NE(look_fields(a), look_fields(b));
}

}  // namespace
}  // namespace mirvex
