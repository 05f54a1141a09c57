#include "app/focus.h"

#include "app/diagnostics_focus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/log.h"
#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using namespace std::chrono_literals;
using sys::sim::harness;

std::mutex LOG_MU;
std::vector<std::string> LOG_LINES;

void capture(std::string_view line) {
  std::lock_guard lock(LOG_MU);
  LOG_LINES.emplace_back(line);
}

sys::sim::Window window(Wid wid, Pid pid, Rect bounds = {100, 100, 400, 300}) {
  sys::sim::Window w;
  w.wid = wid;
  w.pid = pid;
  w.bounds = bounds;
  w.spaces = {1};
  w.title = "w" + std::to_string(wid);
  return w;
}

sys::sim::App app(Pid pid, std::string name) {
  sys::sim::App a;
  a.pid = pid;
  a.name = name;
  a.bundle_id = "org.example." + name;
  a.bundle_path = "/Applications/" + name + ".app";
  return a;
}

// One display with one Space; Editor (10) owns 100 and 101, Viewer (11) owns 200 and is in
// front; Player (12) runs without windows.
sys::sim::Desktop desktop() {
  sys::sim::Desktop d;
  sys::sim::Display main;
  main.uuid = "MAIN";
  main.frame = main.visible = {0, 0, 1440, 900};
  main.spaces = {{1, 0, {}}};
  main.current = 1;
  d.displays = {main};
  d.apps = {app(10, "Editor"), app(11, "Viewer"), app(12, "Player")};
  d.windows = {window(200, 11), window(100, 10), window(101, 10)};
  d.front = 11;
  d.apps[1].focused = 200;
  return d;
}

// `line` is `before`, a number with exactly one decimal, then `after`: fmt's bare "{:.1}"
// would print 20.3 as "2e+01".
bool one_decimal(std::string_view line, std::string_view before, std::string_view after) {
  if (line.size() < before.size() + after.size() + 3 || line.substr(0, before.size()) != before ||
      line.substr(line.size() - after.size()) != after)
    return false;
  const std::string_view n = line.substr(before.size(), line.size() - before.size() - after.size());
  const size_t dot = n.size() - 2;
  return n[dot] == '.' && std::isdigit(static_cast<unsigned char>(n.back())) &&
         std::all_of(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(dot), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
         dot > 0;
}

Entry win(Wid wid, Pid pid) {
  entry::Window w;
  w.wid = wid;
  w.pid = pid;
  w.title = "w" + std::to_string(wid);
  return w;
}

class FocusTest : public testing::Test {
 protected:
  void SetUp() override {
    s.reset(desktop());
    before_ = s.journal();
    {
      std::lock_guard lock(LOG_MU);
      LOG_LINES.clear();
    }
    log::set_system_sink(&capture);
  }
  void TearDown() override {
    focus::set_element_lookup(nullptr);
    log::set_system_sink(nullptr);
  }

  template <class F>
  void run_until(F done) {
    ASSERT_TRUE(sys::sim::run_until(done)) << "no completion";
  }

  bool focus_now(const Entry& target) {
    std::optional<bool> result;
    focus::focus(target, [&](bool ok) { result = ok; });
    run_until([&] { return result.has_value(); });
    return result.value_or(false);
  }

  std::vector<std::string> logs() {
    std::lock_guard lock(LOG_MU);
    return LOG_LINES;
  }
  bool logged(std::string_view prefix) {
    auto l = logs();
    return std::any_of(l.begin(), l.end(), [&](const std::string& x) { return x.rfind(prefix, 0) == 0; });
  }
  size_t log_index(std::string_view prefix) {
    auto l = logs();
    for (size_t i = 0; i < l.size(); ++i)
      if (l[i].rfind(prefix, 0) == 0) return i;
    return l.size();
  }

  // Accessibility calls of `pid` made since the test began.
  std::vector<std::string> ax_calls(Pid pid) {
    auto all = s.journal().ax_calls;
    std::vector<std::string> out;
    for (size_t i = before_.ax_calls.size(); i < all.size(); ++i)
      if (all[i].first == pid) out.push_back(all[i].second);
    return out;
  }
  std::vector<std::pair<Pid, Wid>> event_records() {
    auto all = s.journal().event_records;
    return {all.begin() + static_cast<std::ptrdiff_t>(before_.event_records.size()), all.end()};
  }
  std::vector<std::string> opened_urls() {
    auto all = s.journal().opened_urls;
    return {all.begin() + static_cast<std::ptrdiff_t>(before_.opened_urls.size()), all.end()};
  }
  const sys::sim::App& sim_app(const sys::sim::Desktop& d, Pid pid) {
    return *std::find_if(d.apps.begin(), d.apps.end(), [&](const auto& a) { return a.pid == pid; });
  }

  sys::sim::Sim& s = harness().sim;
  sys::sim::Journal before_;
};

TEST(FocusEventRecord, BytesAreZeroExceptTheKeyWindowFields) {
  for (uint8_t which : {1, 2}) {
    const sys::EventRecord r = focus::event_record(0x12345678, which);
    for (size_t i = 0; i < r.size(); ++i) {
      uint8_t want = 0;
      if (i == 0x04) want = 0xF8;
      else if (i == 0x08) want = which;
      else if (i >= 0x20 && i < 0x30) want = 0xFF;
      else if (i == 0x3A) want = 0x10;
      else if (i >= 0x3C && i < 0x40) want = static_cast<uint8_t>(0x12345678u >> (8 * (i - 0x3C)));
      EXPECT_EQ(r[i], want) << "record " << int{which} << " byte " << i;
    }
  }
}

TEST_F(FocusTest, MethodAMakesTheWindowFrontAndKey) {
  EXPECT_TRUE(focus_now(win(101, 10)));
  const auto d = s.desktop();
  EXPECT_EQ(d.front, 10);
  EXPECT_EQ(sim_app(d, 10).focused, 101u);
  EXPECT_EQ(d.windows.front().wid, 101u);
  EXPECT_EQ(event_records(), (std::vector<std::pair<Pid, Wid>>{{10, 101}, {10, 101}}));
  EXPECT_TRUE(logged("focus 101: method A ok in "));
  EXPECT_FALSE(logged("focus 101: method B"));
}

TEST_F(FocusTest, AnApplicationIgnoringMethodAIsFocusedByMethodB) {
  auto d = desktop();
  d.apps[0].ignores_event_records = true;
  s.reset(d);
  EXPECT_TRUE(focus_now(win(101, 10)));
  EXPECT_EQ(sim_app(s.desktop(), 10).focused, 101u);
  const auto calls = ax_calls(10);
  EXPECT_NE(std::find(calls.begin(), calls.end(), "AXMain"), calls.end());
  const size_t b = log_index("focus 101: method B ok in ");
  ASSERT_LT(b, logs().size());
  EXPECT_TRUE(one_decimal(logs()[b], "focus 101: method B ok in ", "ms (element true, hung false)")) << logs()[b];
}

TEST_F(FocusTest, AMinimisedTargetIsRestoredBeforeMethodAAndTheTimeLogged) {
  auto d = desktop();
  d.windows[2].minimized = true;
  s.reset(d);
  EXPECT_TRUE(focus_now(win(101, 10)));
  EXPECT_FALSE(s.desktop().windows.front().minimized);
  const size_t restored = log_index("focus 101: unminimized in ");
  ASSERT_LT(restored, logs().size());
  EXPECT_TRUE(one_decimal(logs()[restored], "focus 101: unminimized in ", "ms")) << logs()[restored];
  EXPECT_LT(restored, log_index("focus 101: method A ok in "));
}

TEST_F(FocusTest, AVanishedWindowActivatesItsApplication) {
  EXPECT_TRUE(focus_now(win(999, 10)));
  EXPECT_EQ(s.desktop().front, 10);
  EXPECT_TRUE(logged("focus 999: gone, activating pid 10"));
  EXPECT_TRUE(event_records().empty());
}

TEST_F(FocusTest, AVanishedApplicationReportsFailure) {
  EXPECT_FALSE(focus_now(win(300, 77)));
  EXPECT_FALSE(focus_now(entry::App{77, "Gone"}));
  EXPECT_EQ(s.desktop().front, 11);
}

TEST_F(FocusTest, AHungApplicationSkipsMainAndRaiseAndVerifiesOncePerMethod) {
  auto d = desktop();
  d.apps[0].hung = true;
  s.reset(d);
  // The worker's cache knows the element, so the request reaches both methods with one.
  focus::set_element_lookup([](Wid wid) -> std::optional<sys::AxElement> {
    if (wid == 101) return sys::AxElement{10, 101};
    return std::nullopt;
  });
  EXPECT_FALSE(focus_now(win(101, 10)));
  const auto calls = ax_calls(10);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "AXMain"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "AXRaise"), 0);
  // Method A's and method B's verification each end after their first pass.
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "AXFocusedWindow"), 2);
  const size_t b = log_index("focus 101: method B failed in ");
  ASSERT_LT(b, logs().size());
  EXPECT_NE(logs()[b].find("(element true, hung true)"), std::string::npos);
}

TEST_F(FocusTest, OnlyTheSecondOfTwoQuickRequestsCompletes) {
  int first = 0;
  std::optional<bool> second;
  focus::focus(win(101, 10), [&](bool) { ++first; });
  focus::focus(win(200, 11), [&](bool ok) { second = ok; });
  run_until([&] { return second.has_value(); });
  // Reports are delivered in order, so the first one has been handled (and dropped) too.
  harness().queue.run_due();
  EXPECT_EQ(first, 0);
  EXPECT_TRUE(*second);
  const auto d = s.desktop();
  EXPECT_EQ(d.front, 11);
  EXPECT_EQ(sim_app(d, 11).focused, 200u);
}

TEST_F(FocusTest, AnApplicationTargetWithoutAWindowIsReopened) {
  EXPECT_TRUE(focus_now(entry::App{12, "Player"}));
  EXPECT_EQ(s.desktop().front, 12);
  EXPECT_TRUE(logged("focus app 12: no window, reopening"));
  EXPECT_EQ(opened_urls(), std::vector<std::string>{"/Applications/Player.app"});

  EXPECT_TRUE(focus_now(entry::App{10, "Editor"}));  // has windows: activation alone
  EXPECT_EQ(s.desktop().front, 10);
  EXPECT_EQ(opened_urls().size(), 1u);
}

TEST_F(FocusTest, AHiddenApplicationIsShownAgain) {
  auto d = desktop();
  d.apps[0].hidden = true;
  s.reset(d);
  EXPECT_TRUE(focus_now(win(100, 10)));
  EXPECT_FALSE(sim_app(s.desktop(), 10).hidden);
}

TEST(FocusCommandArgs, NumbersAreDecimalWithOneOptionalPlus) {
  EXPECT_EQ(diagnostics::parse_wid("+42"), 42u);
  EXPECT_EQ(diagnostics::parse_wid("4294967295"), 4294967295u);
  EXPECT_EQ(diagnostics::parse_pid("-3"), -3);
  EXPECT_EQ(diagnostics::parse_pid("+7"), 7);
  for (const char* bad : {"", "+", "++1", "+-1", "-1", "4294967296", "0x10", "12a", " 1", "1.5"})
    EXPECT_FALSE(diagnostics::parse_wid(bad)) << bad;
  for (const char* bad : {"", "+-1", "2147483648", "x"}) EXPECT_FALSE(diagnostics::parse_pid(bad)) << bad;
}

TEST_F(FocusTest, FocusCommandUsesTheWindowServersPid) {
  std::ostringstream out;
  std::optional<int> status;
  auto error = diagnostics::focus_command({"101", "11"}, out, [&](int s) { status = s; });
  ASSERT_FALSE(error) << *error;
  run_until([&] { return status.has_value(); });
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(one_decimal(out.str(), "focus wid=101 pid=10 ok=true elapsed=", "ms\n")) << out.str();
  EXPECT_EQ(sim_app(s.desktop(), 10).focused, 101u);
}

TEST_F(FocusTest, FocusCommandTakesTheGivenPidOnlyForAnUnlistedWindow) {
  std::ostringstream out;
  std::optional<int> status;
  ASSERT_FALSE(diagnostics::focus_command({"+999", "10"}, out, [&](int s) { status = s; }));
  run_until([&] { return status.has_value(); });
  EXPECT_EQ(out.str().rfind("focus wid=999 pid=10 ok=true elapsed=", 0), 0u) << out.str();  // activation
}

TEST_F(FocusTest, FocusCommandStopsOnBadArguments) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, "--focus <wid> [pid]"},
      {{"abc"}, "--focus <wid> [pid]"},
      {{"-5", "10"}, "--focus <wid> [pid]"},
      {{"999"}, "wid unknown to the window server; pass its pid"},
      {{"999", "ten"}, "wid unknown to the window server; pass its pid"},
  };
  for (const auto& [args, message] : cases) {
    std::ostringstream out;
    bool finished = false;
    EXPECT_EQ(diagnostics::focus_command(args, out, [&](int) { finished = true; }), message);
    harness().queue.run_due();
    EXPECT_FALSE(finished);
    EXPECT_TRUE(out.str().empty());
  }
}

}  // namespace
}  // namespace mirvex
