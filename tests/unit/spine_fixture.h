// The application spine on the simulated desktop with virtual time: a fresh configuration
// folder, a State in the main-thread slot whose module hooks record what they were asked, and
// small builders for desktops.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/snapshot.h"
#include "app/state.h"
#include "config_dir.h"
#include "sys/sim/harness.h"

namespace mirvex::testing_spine {

using sys::sim::harness;

// What the hooks were asked, in order.
struct Record {
  std::vector<AxRequest> submitted;
  std::vector<Pid> forgot;
  std::vector<std::optional<Wid>> border_targets;
  std::vector<bool> ignored, untrusted;
  int border_updates = 0, border_holds = 0, border_order_outs = 0, panel_hides = 0, demos = 0;
  int input_applies = 0;
};

inline Hooks recording(Record& r) {
  Hooks h;
  h.ax_submit = [&r](AxRequest q) { r.submitted.push_back(std::move(q)); };
  h.ax_forget = [&r](Pid pid) { r.forgot.push_back(pid); };
  h.set_ignored = [&r](bool on) { r.ignored.push_back(on); };
  h.set_untrusted = [&r](bool on) { r.untrusted.push_back(on); };
  h.set_border_target = [&r](std::optional<Wid> w) { r.border_targets.push_back(w); };
  h.update_border = [&r](State&) { ++r.border_updates; };
  h.hold_border = [&r](State&) { ++r.border_holds; };
  h.border_order_out = [&r] { ++r.border_order_outs; };
  h.panel_hide = [&r] { ++r.panel_hides; };
  h.demo = [&r](State&) { ++r.demos; };
  h.input_apply = [&r](const Settings&) { ++r.input_applies; };
  return h;
}

inline sys::sim::App app(Pid pid, std::string name, std::optional<std::string> bundle = std::nullopt) {
  sys::sim::App a;
  a.pid = pid;
  a.name = name;
  a.bundle_id = bundle ? std::move(bundle) : std::optional<std::string>("org.example." + name);
  return a;
}

inline sys::sim::Window window(Wid wid, Pid pid, Rect bounds = {100, 100, 400, 300}) {
  sys::sim::Window w;
  w.wid = wid;
  w.pid = pid;
  w.bounds = bounds;
  w.spaces = {1};
  w.title = "window " + std::to_string(wid);
  return w;
}

// One 1440x900 display showing Space 1; this process is pid 4242.
inline sys::sim::Desktop desktop(std::vector<sys::sim::App> apps, std::vector<sys::sim::Window> windows,
                                 std::optional<Pid> front) {
  sys::sim::Desktop d;
  sys::sim::Display main;
  main.uuid = "MAIN";
  main.id = 1;
  main.frame = main.visible = {0, 0, 1440, 900};
  main.spaces = {{1, 0, {}}};
  main.current = 1;
  d.displays = {main};
  d.apps = std::move(apps);
  d.windows = std::move(windows);
  d.front = front;
  d.self_pid = 4242;
  return d;
}

class SpineTest : public testing_config::ConfigDirTest {
 protected:
  void TearDown() override {
    if (has_state()) {
      harness().queue.advance(std::chrono::seconds(5));  // let pending timers find their State
      take_state();
    }
    ConfigDirTest::TearDown();
  }

  // A fresh State with recording hooks over `d`.
  State& use(sys::sim::Desktop d) {
    sim.reset(std::move(d));
    auto st = std::make_unique<State>(Defaults{});
    st->hooks = recording(rec);
    S = st.get();
    install_state(std::move(st));
    return *S;
  }

  void advance(std::chrono::milliseconds by) { harness().queue.advance(by); }

  size_t count(std::string_view prefix) const {
    const std::vector<std::string> logged = testing_config::logged_lines();
    return std::count_if(logged.begin(), logged.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
  }
  std::vector<std::string> lines(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const auto& l : testing_config::logged_lines())
      if (l.starts_with(prefix)) out.push_back(l);
    return out;
  }

  sys::sim::Sim& sim = harness().sim;
  Record rec;
  State* S = nullptr;
};

}  // namespace mirvex::testing_spine
