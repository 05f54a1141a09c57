// The accessibility worker on the simulated desktop: real threads, a clock the test moves.
#include "app/ax.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/log.h"
#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using namespace std::chrono_literals;
using sys::AxElement;
using sys::sim::harness;
namespace err = sys::ax_error;
using Kind = AxRequest::Kind;

constexpr Pid A = 300, B = 301, DOCK = 302, SELF = 400;
// Generous bound for waiting on real threads (sanitizer builds on a busy machine); never a
// timing assertion: every wait that ends by the limit fails the test.
constexpr auto LIMIT = 60s;

// Time moves only when the test says so, or by `step` on every reading (to make the
// remote-token search run out of its budget after a known amount of work).
class ManualClock final : public sys::Clock {
 public:
  sys::Instant now() const override { return sys::Instant(sys::Duration(t_.fetch_add(step_.load()))); }
  void advance(sys::Duration d) { t_ += d.count(); }
  void set_step(sys::Duration d) { step_ = d.count(); }

 private:
  mutable std::atomic<sys::Duration::rep> t_{sys::Duration(1h).count()};
  std::atomic<sys::Duration::rep> step_{0};
};

// The sink: events as compact text (stamps left out), in arrival order.
std::string describe(const Event& e) {
  if (const auto* d = std::get_if<ev::Details>(&e))
    return fmt::format("Details {} {} min={} fs={} {}", d->wid, d->title ? "\"" + *d->title + "\"" : "None",
                       d->minimized, d->fullscreen, d->ax.to_string());
  if (const auto* d = std::get_if<ev::Destroyed>(&e)) return fmt::format("Destroyed {}", d->wid);
  if (const auto* f = std::get_if<ev::AppFocused>(&e)) return fmt::format("AppFocused {} {}", f->pid, f->wid);
  if (const auto* r = std::get_if<ev::Resized>(&e)) return fmt::format("Resized {}", r->wid);
  if (const auto* m = std::get_if<ev::Minimized>(&e)) return fmt::format("Minimized {}", m->wid);
  if (const auto* m = std::get_if<ev::Deminimized>(&e)) return fmt::format("Deminimized {}", m->wid);
  if (const auto* x = std::get_if<ev::Expose>(&e)) return fmt::format("Expose {}", x->active);
  return fmt::format("event {}", e.index());
}

class Recorder {
 public:
  ax::Sink sink() {
    return [this](Event e) {
      {
        std::lock_guard lock(mu_);
        events_.push_back(std::move(e));
      }
      cv_.notify_all();
    };
  }
  // The events so far, sorted (events of one step may race between threads), and forgets them.
  std::vector<std::string> take() {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const Event& e : events_) out.push_back(describe(e));
    events_.clear();
    std::sort(out.begin(), out.end());
    return out;
  }
  bool wait_for(const std::string& event) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, LIMIT, [&] {
      return std::any_of(events_.begin(), events_.end(), [&](const Event& e) { return describe(e) == event; });
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

using Events = std::vector<std::string>;

sys::sim::App app(Pid pid, std::string name) {
  sys::sim::App a;
  a.pid = pid;
  a.name = std::move(name);
  return a;
}

sys::sim::Window window(Wid wid, Pid pid, SpaceId space, std::string title, uint64_t element = 0) {
  sys::sim::Window w;
  w.wid = wid;
  w.pid = pid;
  w.bounds = {100, 100, 400, 300};
  w.spaces = {space};
  w.title = std::move(title);
  w.element = element;
  return w;
}

// Space 1 shown, Space 2 not. Window 11 is on Space 2 with element number 40, so only the
// remote-token search finds it.
sys::sim::Desktop desktop() {
  sys::sim::Desktop d;
  sys::sim::Display display;
  display.uuid = "MAIN";
  display.frame = display.visible = {0, 0, 1440, 900};
  display.spaces = {{1, 0, {}}, {2, 0, {}}};
  display.current = 1;
  d.displays = {display};
  d.apps = {app(A, "Editor"), app(B, "Viewer"), app(DOCK, "Dock"), app(SELF, "mirvex")};
  d.apps[0].focused = 10;
  d.apps[2].policy = sys::Policy::Accessory;
  d.self_pid = SELF;
  d.windows = {window(10, A, 1, "One"), window(11, A, 2, "Away", 40), window(20, B, 1, "Picture"),
               window(30, SELF, 1, "Own")};
  return d;
}

class AxTest : public testing::Test {
 protected:
  void SetUp() override {
    sim.reset(desktop());
    sim.clear_journal();
    worker = std::make_unique<ax::Worker>(rec.sink(), clock);
  }
  void TearDown() override {
    sim.release(A);  // a failed test must not leave a worker blocked in a call
    worker.reset();
  }

  // Lets the worker finish everything it can do now, and returns what it sent.
  Events settle() {
    EXPECT_TRUE(worker->wait_idle(LIMIT));
    return rec.take();
  }
  // Moves the test clock and lets the workers look at it.
  Events after(sys::Duration d) {
    clock.advance(d);
    worker->poke();
    return settle();
  }
  // How many requests read the application's window list.
  int windows_reads(Pid pid) {
    const auto calls = sim.journal().ax_calls;
    return static_cast<int>(std::count(calls.begin(), calls.end(), std::pair<Pid, std::string>(pid, "AXWindows")));
  }
  std::vector<uint64_t> tokens_of(Pid pid) {
    std::vector<uint64_t> out;
    for (const auto& run : sim.journal().remote_tokens)
      for (uint64_t n = run.first; run.pid == pid && n <= run.last; ++n) out.push_back(n);
    return out;
  }

  sys::sim::Sim& sim = harness().sim;
  ManualClock clock;
  Recorder rec;
  std::unique_ptr<ax::Worker> worker;
};

std::vector<uint64_t> iota(uint64_t from, uint64_t to) {
  std::vector<uint64_t> v;
  for (uint64_t n = from; n <= to; ++n) v.push_back(n);
  return v;
}

TEST(AxReaders, ErrorRules) {
  auto d = desktop();
  d.windows[0].subrole.reset();                 // 10: no subrole
  d.windows[1].subrole = "AXDialog";            // 11
  d.windows[2].subrole = "AXFloatingWindow";    // 20
  d.windows[2].title = "";
  d.apps.push_back(app(500, "Stuck"));
  d.apps.back().hung = true;
  d.windows.push_back(window(50, 500, 1, "Frozen"));
  harness().sim.reset(d);
  const AxElement w10{A, 10}, w11{A, 40}, w20{B, 20}, gone{A, 999}, hung{500, 50};

  // attr: no value and unsupported are success without a value; other codes are errors.
  EXPECT_FALSE(ax::attr(w10, sys::ax::SUBROLE).value());
  EXPECT_FALSE(ax::attr(w10, "AXNoSuchAttribute").value());
  EXPECT_EQ(ax::attr(w10, sys::ax::TITLE).value(), sys::Value("One"));
  EXPECT_EQ(ax::attr(gone, sys::ax::TITLE).error(), err::INVALID_ELEMENT);
  // string: text only.
  EXPECT_EQ(ax::string(w10, sys::ax::TITLE).value(), "One");
  EXPECT_EQ(ax::string(w10, sys::ax::MINIMIZED).value(), std::nullopt);
  EXPECT_EQ(ax::string(hung, sys::ax::TITLE).error(), err::CANNOT_COMPLETE);
  // flag: booleans only; every failure but cannot-complete reads as false.
  EXPECT_FALSE(ax::flag(w10, sys::ax::TITLE).value());
  EXPECT_FALSE(ax::flag(gone, sys::ax::MINIMIZED).value());
  EXPECT_EQ(ax::flag(hung, sys::ax::MINIMIZED).error(), err::CANNOT_COMPLETE);
  // details: an empty title is none; no subrole and AXDialog are standard, others not.
  EXPECT_EQ(ax::details(w10).value(), (ax::WindowDetails{"One", false, false, true}));
  EXPECT_EQ(ax::details(w11).value(), (ax::WindowDetails{"Away", false, false, true}));
  EXPECT_EQ(ax::details(w20).value(), (ax::WindowDetails{std::nullopt, false, false, false}));
  EXPECT_EQ(ax::details(gone).error(), err::INVALID_ELEMENT);
  EXPECT_EQ(ax::details(hung).error(), err::CANNOT_COMPLETE);
}

TEST(AxReaders, RemoteTokenLayout) {
  const sys::RemoteToken expected{0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x6F, 0x63, 0x6F, 0x63,
                                  0x01, 0x7F, 0,    0, 0, 0, 0, 0};
  EXPECT_EQ(ax::remote_token(0x1234, 0x7F01), expected);
  EXPECT_EQ(ax::remote_token(-1, 0)[3], 0xFF);  // the pid's two's-complement bytes
}

TEST(AxReaders, DockBadgesAndTitleBarButtons) {
  auto d = desktop();
  d.apps[2].dock_items = {{"Mail", "AXApplicationDockItem", "3"},
                          {"Notes", "AXApplicationDockItem", std::nullopt},  // no badge
                          {"Downloads", "AXFolderDockItem", "1"},             // not an application
                          {"Chat", "AXApplicationDockItem", "12"}};
  harness().sim.reset(d);
  EXPECT_EQ(ax::dock_badges(DOCK), (std::map<std::string, std::string>{{"Mail", "3"}, {"Chat", "12"}}));
  EXPECT_TRUE(ax::dock_badges(A).empty());
  EXPECT_TRUE(ax::dock_badges(999).empty());

  // Window 10 spans (100, 100) to (500, 400): close button at +7..21, minimise at +27..41.
  EXPECT_EQ(ax::titlebar_button_at(A, 110, 105), (ax::TitlebarButton{10, ax::Button::Close}));
  EXPECT_EQ(ax::titlebar_button_at(A, 130, 105), (ax::TitlebarButton{10, ax::Button::Minimize}));
  EXPECT_EQ(ax::titlebar_button_at(A, 300, 300), std::nullopt);  // the window itself
  EXPECT_EQ(ax::titlebar_button_at(B, 110, 105), std::nullopt);  // another application's window is on top
}

TEST_F(AxTest, ResolveFindsListedWindowsAndOthersByRemoteToken) {
  worker->submit({Kind::Resolve, A, {10, 11}});
  EXPECT_EQ(settle(), (Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }",
                              "Details 11 \"Away\" min=false fs=false Found { subrole_ok: true }"}));
  EXPECT_EQ(tokens_of(A), iota(0, 40));  // the search stops once nothing is missing
  EXPECT_EQ(worker->ax_window(11), (AxElement{A, 40}));
  EXPECT_EQ(worker->cached_wid(A, AxElement{A, 40}), 11u);
  EXPECT_EQ(worker->cached_wid(B, AxElement{A, 40}), std::nullopt);
  EXPECT_EQ(worker->ax_window(20), std::nullopt);
}

TEST_F(AxTest, OwnProcessRequestsAreDropped) {
  worker->resolve(SELF, {30});
  EXPECT_EQ(settle(), Events{});
  // Notifications of the own process ask nothing either, while another application's do.
  worker->submit({Kind::Observe, SELF, {}});
  worker->submit({Kind::Observe, A, {}});
  EXPECT_EQ(settle(), Events{"AppFocused 300 10"});
  sim.create_window(window(31, SELF, 1, "Own too"));
  sim.create_window(window(12, A, 1, "Two"));
  // The new window's Resolve reports every window the application lists.
  EXPECT_EQ(settle(), (Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }",
                              "Details 12 \"Two\" min=false fs=false Found { subrole_ok: true }"}));
}

TEST_F(AxTest, SearchOutOfTimeStoresItsCursorAndTheNextRequestResumesThere) {
  auto d = desktop();
  d.windows[1].element = 150;
  sim.reset(d);
  clock.set_step(10ms);  // each reading costs 10 ms: a request tries a handful of numbers
  worker->submit({Kind::Resolve, A, {11}});
  const Events events = settle();
  // Several requests, each starting where the previous one stopped: every number once. Each
  // request reports the listed window 10 again; window 11 once, when found.
  EXPECT_EQ(tokens_of(A), iota(0, 150));
  const int requests = windows_reads(A);
  EXPECT_GT(requests, 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), "Details 10 \"One\" min=false fs=false Found { subrole_ok: true }"),
            requests);
  EXPECT_EQ(std::count(events.begin(), events.end(), "Details 11 \"Away\" min=false fs=false Found { subrole_ok: true }"),
            1);
  EXPECT_EQ(events.size(), static_cast<size_t>(requests) + 1);

  // A search that ends (here: found everything) leaves no cursor: the next starts at 0.
  clock.set_step(0ms);
  worker->submit({Kind::Resolve, A, {77}});
  settle();
  const auto tokens = tokens_of(A);
  ASSERT_GT(tokens.size(), 151u);
  EXPECT_EQ(tokens[151], 0u);
}

TEST_F(AxTest, ExhaustedSearchReportsEachMissingWindowOnceAsNotFound) {
  worker->submit({Kind::Resolve, A, {98, 10, 99, 98}});
  EXPECT_EQ(settle(), (Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }",
                              "Details 11 \"Away\" min=false fs=false Found { subrole_ok: true }",
                              "Details 98 None min=false fs=false NotFound",
                              "Details 99 None min=false fs=false NotFound"}));
  EXPECT_EQ(tokens_of(A), iota(0, 0x7FFF));
}

TEST_F(AxTest, ExhaustedSearchAfterTimeOutsReportsNotFoundOnce) {
  clock.set_step(1ms);  // about a hundred numbers per request
  worker->submit({Kind::Resolve, B, {98}});
  const Events events = settle();
  EXPECT_EQ(std::count(events.begin(), events.end(), "Details 98 None min=false fs=false NotFound"), 1);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.starts_with("Details 98"); }), 1);
  EXPECT_EQ(tokens_of(B), iota(0, 0x7FFF));
  EXPECT_GT(windows_reads(B), 100);
}

TEST_F(AxTest, NotificationsBecomeRequestsAndEvents) {
  auto d = desktop();
  d.windows.push_back(window(21, B, 1, "Second"));
  sim.reset(d);
  worker->submit({Kind::Observe, A, {}});
  worker->submit({Kind::Resolve, A, {10}});
  worker->submit({Kind::Observe, B, {}});  // observed, but none of its windows resolved
  worker->observe_dock(DOCK);
  settle();

  struct Step {
    const char* what;
    std::function<void()> change;
    Events expected;
  };
  const std::string found = " Found { subrole_ok: true }";
  const Step steps[] = {
      {"title", [&] { sim.set_title(10, "Renamed"); }, {"Details 10 \"Renamed\" min=false fs=false" + found}},
      {"minimise", [&] { sim.set_minimized(10, true); },
       {"Details 10 \"Renamed\" min=true fs=false" + found, "Minimized 10"}},
      {"restore", [&] { sim.set_minimized(10, false); },
       {"Deminimized 10", "Details 10 \"Renamed\" min=false fs=false" + found}},
      {"resize, same full-screen state", [&] { sim.set_bounds(10, {100, 100, 600, 300}); }, {"Resized 10"}},
      {"full screen", [&] { sim.set_fullscreen(10, true); },
       {"Details 10 \"Renamed\" min=false fs=true" + found, "Resized 10"}},
      {"resize, still full screen", [&] { sim.set_bounds(10, {0, 0, 1440, 900}); }, {"Resized 10"}},
      {"created", [&] { sim.create_window(window(12, A, 1, "Two")); },
       {"Details 10 \"Renamed\" min=false fs=true" + found, "Details 12 \"Two\" min=false fs=false" + found}},
      {"main window", [&] { sim.ax_set(AxElement{A, 12}, sys::ax::MAIN, sys::Value(true)); }, {"AppFocused 300 12"}},
      {"destroyed", [&] { sim.destroy_window(10); }, {"Destroyed 10"}},
      {"destroyed, not cached", [&] { sim.destroy_window(20); }, {}},
      {"title, not cached", [&] { sim.set_title(21, "Other"); }, {}},
      {"mission control", [&] { sim.expose(DOCK, sys::ax::EXPOSE_ALL); }, {"Expose true"}},
      {"desktop", [&] { sim.expose(DOCK, sys::ax::EXPOSE_DESKTOP); }, {"Expose true"}},
      {"mission control left", [&] { sim.expose(DOCK, sys::ax::EXPOSE_EXIT); }, {"Expose false"}},
  };
  for (const Step& s : steps) {
    s.change();
    EXPECT_EQ(settle(), s.expected) << s.what;
  }
  EXPECT_EQ(worker->ax_window(10), std::nullopt);  // destroyed: out of the cache
}

// The last lines the system log received, for the registration test.
std::mutex LOG_MU;
std::vector<std::string> LOGGED;
void keep_log(std::string_view line) {
  std::lock_guard lock(LOG_MU);
  LOGGED.emplace_back(line);
}

TEST_F(AxTest, AlreadyRegisteredCountsAsSuccessOtherRegistrationErrorsEndTheObserver) {
  log::set_system_sink(keep_log);
  const struct {
    int32_t code;
    Events after_create;
    std::vector<std::string> logged;
  } cases[] = {
      {err::ALREADY_REGISTERED,
       {"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }",
        "Details 12 \"Two\" min=false fs=false Found { subrole_ok: true }"},
       {}},
      {err::NOTIFICATION_UNSUPPORTED, {}, {"ax: observe 300 AXWindowCreated failed: -25207"}},
  };
  for (const auto& c : cases) {
    auto d = desktop();
    d.apps[0].register_errors = {{sys::ax::WINDOW_CREATED, c.code}};
    sim.reset(d);
    worker = std::make_unique<ax::Worker>(rec.sink(), clock);
    {
      std::lock_guard lock(LOG_MU);
      LOGGED.clear();
    }
    worker->submit({Kind::Observe, A, {}});
    settle();
    sim.create_window(window(12, A, 1, "Two"));
    EXPECT_EQ(settle(), c.after_create) << c.code;
    std::lock_guard lock(LOG_MU);
    EXPECT_EQ(LOGGED, c.logged) << c.code;
  }
  log::set_system_sink(nullptr);
}

TEST_F(AxTest, HungApplicationBacksOffTwoThenFourSeconds) {
  sim.set_hung(A, true);
  worker->submit({Kind::Resolve, A, {10}});
  EXPECT_EQ(settle(), Events{});  // cannot complete: A is paused for 2 s

  worker->submit({Kind::Resolve, A, {10}});
  worker->submit({Kind::Resolve, B, {20}});
  EXPECT_EQ(settle(), Events{"Details 20 \"Picture\" min=false fs=false Found { subrole_ok: true }"});
  EXPECT_EQ(after(1900ms), Events{});
  EXPECT_EQ(after(100ms), Events{});  // served at 2 s, still hung: now paused for 4 s

  sim.set_hung(A, false);
  worker->submit({Kind::Resolve, A, {10}});
  EXPECT_EQ(after(3900ms), Events{});
  EXPECT_EQ(after(100ms), Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }"});

  // After a success the next failure pauses for 2 s again.
  sim.set_hung(A, true);
  worker->submit({Kind::Resolve, A, {10}});
  settle();
  sim.set_hung(A, false);
  worker->submit({Kind::Resolve, A, {10}});
  EXPECT_EQ(after(1900ms), Events{});
  EXPECT_EQ(after(100ms), Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }"});
}

TEST_F(AxTest, ObserveOfAHungApplicationIsQueuedAgainWhileTheProcessExists) {
  sim.set_hung(A, true);
  worker->submit({Kind::Observe, A, {}});
  EXPECT_EQ(settle(), Events{});
  sim.set_hung(A, false);
  EXPECT_EQ(after(2s), Events{"AppFocused 300 10"});  // the queued Observe, after the pause
}

TEST_F(AxTest, BlockedApplicationDoesNotDelayOthers) {
  sim.hold(A);  // A's calls wait, as they would for an application that does not answer
  worker->submit({Kind::Resolve, A, {10}});
  sim.wait_held(A);
  worker->submit({Kind::Resolve, B, {20}});
  EXPECT_TRUE(rec.wait_for("Details 20 \"Picture\" min=false fs=false Found { subrole_ok: true }"));
  EXPECT_EQ(rec.take(), Events{"Details 20 \"Picture\" min=false fs=false Found { subrole_ok: true }"});
  sim.release(A);
  EXPECT_EQ(settle(), Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }"});
}

TEST_F(AxTest, ForgetDropsTheApplication) {
  sim.set_hung(A, true);
  worker->submit({Kind::Resolve, A, {10}});
  settle();  // A backed off
  sim.set_hung(A, false);
  worker->submit({Kind::Observe, B, {}});
  worker->submit({Kind::Resolve, B, {20}});
  worker->submit({Kind::Resolve, A, {10}});
  settle();
  ASSERT_TRUE(worker->ax_window(20));

  worker->forget(A);  // queued request and back-off gone
  worker->forget(B);  // cache and observer gone
  EXPECT_EQ(worker->ax_window(20), std::nullopt);
  sim.set_title(20, "Renamed");
  EXPECT_EQ(settle(), Events{});
  worker->submit({Kind::Resolve, A, {10}});  // no back-off left
  EXPECT_EQ(settle(), Events{"Details 10 \"One\" min=false fs=false Found { subrole_ok: true }"});
}

TEST(AxStart, ProgrammingErrorsStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  harness();
  EXPECT_DEATH(ax::submit({Kind::Observe, A, {}}), "ax::start not called");
  EXPECT_DEATH(ax::ax_window(1), "ax::start not called");
  EXPECT_DEATH(
      {
        ax::start([](Event) {});
        ax::start([](Event) {});
      },
      "ax::start called twice");
}

}  // namespace
}  // namespace mirvex
