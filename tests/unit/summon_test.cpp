// The shell around the switcher on the simulated desktop: summon, first-show delay, commit and
// focus, the summon benchmark. The panel is real (Qt's off-screen platform); time is virtual
// except for the focusing thread.
#include <QApplication>
#include <chrono>
#include <thread>

#include "app/bench.h"
#include "app/panel.h"
#include "app/summon.h"
#include "spine_fixture.h"

namespace mirvex::testing_spine {
namespace {

using namespace std::chrono_literals;

class SummonTest : public SpineTest {
 protected:
  // Two applications, A (pid 10: windows 101, 102) and B (pid 20: window 201), with B's
  // window most recent and A in front.
  State& two_apps(uint16_t delay_ms) {
    State& s = use(desktop({app(10, "Alpha"), app(20, "Beta")},
                           {window(101, 10), window(201, 20, {600, 100, 400, 300}), window(102, 10)}, 10));
    s.panel = std::make_shared<Panel>();
    s.settings.delayMs = delay_ms;
    s.hooks.set_switcher_open = [this](bool open) { opens.push_back(open); };
    s.hooks.start_modifier_poll = [this] { ++polls_started; };
    s.hooks.stop_modifier_poll = [this] { ++polls_stopped; };
    snapshot(s);
    for (Wid w : {102u, 201u, 101u}) s.model.apply(ev::Focused{w});  // order 101, 201, 102
    return s;
  }

  void input(const Input& i) { with_state([&](State& s) { on_input(s, i, std::chrono::steady_clock::now()); }); }

  template <class F>
  void run_until(F done) {
    ASSERT_TRUE(sys::sim::run_until(done));
  }

  std::vector<Wid> shown_wids() const {
    std::vector<Wid> out;
    for (const Entry& e : S->summon.rows)
      if (const auto* w = std::get_if<entry::Window>(&e)) out.push_back(w->wid);
    return out;
  }

  std::vector<bool> opens;
  int polls_started = 0, polls_stopped = 0;
};

TEST_F(SummonTest, AQuickReleaseWithinTheDelaySwitchesWithoutThePanelAppearing) {
  State& s = two_apps(150);
  input(in::Hotkey{});
  EXPECT_EQ(shown_wids(), (std::vector<Wid>{101, 201, 102}));
  EXPECT_TRUE(s.summon.waiting);
  EXPECT_FALSE(s.panel->shown());
  EXPECT_EQ(opens, std::vector<bool>{true}) << "the tap swallows session keys from the trigger on";
  EXPECT_EQ(polls_started, 1);
  ASSERT_EQ(lines("summon_ms=").size(), 1u);
  EXPECT_TRUE(lines("summon_ms=")[0].ends_with(" rows=3"));

  advance(100ms);
  input(in::Modifiers{});  // ⌘ released: commit to the selection, the previous window
  EXPECT_FALSE(s.session_active());
  EXPECT_EQ(s.model.order.front(), 201u) << "the target is most recent at once";
  EXPECT_EQ(opens, (std::vector<bool>{true, false}));
  EXPECT_EQ(polls_stopped, 1);
  advance(200ms);
  EXPECT_FALSE(s.panel->shown()) << "the delayed first show found nothing waiting";
  run_until([&] { return count("focus_ms=") == 1; });
  EXPECT_EQ(sim.desktop().front, 20);
  EXPECT_TRUE(lines("focus_ms=")[0].ends_with(" ok=true")) << lines("focus_ms=")[0];
}

TEST_F(SummonTest, ASelectWithinTheDelayShowsThePanelAtOnceAndTheDelayEndsNothing) {
  State& s = two_apps(150);
  input(in::Hotkey{});
  advance(50ms);
  input(in::Step{});
  EXPECT_TRUE(s.panel->shown());
  EXPECT_EQ(s.panel->selected(), 2u);
  EXPECT_EQ(s.panel->rows().size(), 3u);
  EXPECT_EQ(s.panel->rows()[1].app_name, "Beta");
  const uint64_t generation = s.panel->generation();
  advance(200ms);
  EXPECT_EQ(s.panel->generation(), generation);
  EXPECT_EQ(s.panel->selected(), 2u);

  input(in::Key{in::Key::ESCAPE});
  EXPECT_FALSE(s.panel->shown());
  EXPECT_FALSE(s.summon.look.has_value());
  EXPECT_EQ(s.model.order.front(), 101u) << "escape switches nothing";
}

TEST_F(SummonTest, WithoutADelayThePanelShowsWithTheTrigger) {
  State& s = two_apps(0);
  input(in::Hotkey{});
  EXPECT_TRUE(s.panel->shown());
  EXPECT_EQ(s.panel->selected(), 1u);
  ASSERT_TRUE(s.summon.look.has_value());
}

TEST_F(SummonTest, ASummonRightAfterAnotherAppCameToTheFrontListsItsWindowFirst) {
  State& s = two_apps(0);
  sim.activate(20);  // no accessibility event has arrived yet
  input(in::Hotkey{});
  ASSERT_FALSE(shown_wids().empty());
  EXPECT_EQ(shown_wids().front(), 201u);
  EXPECT_EQ(s.summon.front_pid, 20);
  EXPECT_EQ(lines("mru: "), std::vector<std::string>{"mru: front pid=20 wid=201 (reported=true) was Some(101)"});
}

TEST_F(SummonTest, TheCursorFollowsASuccessfulSwitchToTheWindowsCentre) {
  State& s = two_apps(0);
  s.settings.cursorFollows = true;
  input(in::Hotkey{});
  input(in::Modifiers{});
  run_until([&] { return count("focus_ms=") == 1; });
  EXPECT_EQ(sim.desktop().pointer, (Point{800, 250}));
}

TEST_F(SummonTest, AnEmptyListOpensNothing) {
  State& s = use(desktop({}, {}, std::nullopt));
  s.panel = std::make_shared<Panel>();
  s.hooks.set_switcher_open = [this](bool open) { opens.push_back(open); };
  input(in::Hotkey{});
  EXPECT_FALSE(s.session_active());
  EXPECT_FALSE(s.panel->shown());
  EXPECT_TRUE(opens.empty());
  EXPECT_EQ(count("summon_ms="), 0u);
}

TEST_F(SummonTest, TheBenchmarkPrintsOneStatisticsLineAfterFiftySummons) {
  State& s = two_apps(0);
  bool done = false;
  ::testing::internal::CaptureStdout();
  bench::start(s, [&] { done = true; });
  for (int i = 0; i < 60 && !done; ++i) advance(bench::STEP_GAP);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(done);
  EXPECT_EQ(count("summon_ms="), bench::SAMPLES);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  EXPECT_TRUE(out.starts_with("summon_ms n=50 windows=3 p50=")) << out;
  EXPECT_NE(out.find("\nPeak resident memory (VmHWM): "), std::string::npos) << out;
  EXPECT_FALSE(s.session_active());
  EXPECT_EQ(s.model.order.front(), 101u) << "every summon was dismissed";
}

TEST(BenchStats, SortedPositionsTwentyFiveFortySevenAndFortyNine) {
  std::vector<double> samples;
  for (int i = 50; i >= 1; --i) samples.push_back(i / 10.0);  // 5.0 down to 0.1
  EXPECT_EQ(bench::stats_line(samples, 30), "summon_ms n=50 windows=30 p50=2.6 p95=4.8 max=5.0");
  EXPECT_EQ(bench::stats_line({1.25}, 1), "summon_ms n=1 windows=1 p50=1.2 p95=1.2 max=1.2");
}

}  // namespace
}  // namespace mirvex::testing_spine

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
