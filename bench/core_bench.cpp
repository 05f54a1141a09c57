// Speed of the per-summon core work: the entry list over a large desktop, and the search
// filter over a large session.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "core/entry_list.h"
#include "core/switcher.h"

namespace mirvex {
namespace {

constexpr int WINDOWS = 1000, APPS = 40, SPACES = 4;

const char* const WORDS[] = {"Report", "notes",      "Inbox",    "Draft",   "Budget", "Meeting",
                             "Résumé", "index.html", "main.cpp", "Project", "Photos", "Übersicht"};

// 1,000 windows of 40 applications spread over 4 Spaces (the first in view), with titles of a
// few words, some minimised, hidden or full screen.
Model desktop() {
  Model m;
  for (int a = 0; a < APPS; ++a) {
    const Pid pid = 100 + a;
    m.apps[pid] = RunningApp{fmt::format("{} App {}", WORDS[a % 12], a),
                             fmt::format("org.example.app{}", a), pid, true, a % 13 == 0};
    m.app_order.push_back(pid);
  }
  for (int i = 0; i < WINDOWS; ++i) {
    const Wid wid = 1000 + static_cast<Wid>(i) * 7 % 1000;  // MRU order differs from birth
    WindowRecord r;
    r.info.wid = wid;
    r.info.pid = 100 + i % APPS;
    r.info.spaces = {static_cast<SpaceId>(1 + i % SPACES)};
    r.info.bounds = {double(i % 7) * 100, double(i % 5) * 80, 800, 600};
    r.info.onscreen = i % SPACES == 0;
    r.space = r.info.spaces[0];
    r.ever_onscreen = true;
    r.title = fmt::format("{} {} — {}", WORDS[i % 12], i, WORDS[(i / 12) % 12]);
    r.born = static_cast<Stamp>(wid);
    r.minimized = i % 17 == 0;
    r.fullscreen = i % 29 == 0;
    r.ax = i % SPACES == 0 ? AxStatus::found(true) : AxStatus::pending();
    m.windows[wid] = std::move(r);
    m.order.push_back(wid);
  }
  return m;
}

ListContext context(uint8_t order) {
  ListContext cx;
  cx.shortcut = Shortcut::slot(0);
  cx.shortcut.order = order;
  cx.shortcut.minimized = 2;  // sink minimised windows, the costlier path
  cx.exceptions = default_exceptions();
  cx.visible_spaces = {1};
  cx.user_spaces = {1, 2, 3, 4};
  cx.front_pid = 100;
  cx.own_pid = 99;
  return cx;
}

// Arg: the shortcut's order (0 recently used, 1 recently opened, 2 alphabetical, 3 by Space).
void BM_list(benchmark::State& state) {
  const Model m = desktop();
  const ListContext cx = context(static_cast<uint8_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(list(m, cx));
  state.counters["entries"] = static_cast<double>(list(m, cx).size());
}
BENCHMARK(BM_list)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_refilter(benchmark::State& state) {
  const Model m = desktop();
  std::vector<Item> items;
  for (Entry& e : list(m, context(0))) {
    const std::string& app = m.apps.at(entry_pid(e)).name;
    items.push_back({std::move(e), app});
  }
  Session s = Session::open(std::move(items), 0, 1, false, 0, Instant{});
  s.query = "rep";
  for (auto _ : state) {
    s.refilter();
    benchmark::DoNotOptimize(s.shown.data());
  }
  state.counters["items"] = static_cast<double>(s.all.size());
  state.counters["shown"] = static_cast<double>(s.shown.size());
}
BENCHMARK(BM_refilter)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mirvex
