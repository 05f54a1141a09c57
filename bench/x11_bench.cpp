// Cost of a window-list snapshot on a real X server (Xvfb + an EWMH window manager in
// $DISPLAY) with 30 and 200 client windows: the backend's list (its event-fed cache after one
// catch-up round trip) against reading every window's properties afresh, pipelined or one
// window at a time (a round trip per window). Skipped without a display.
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sys/x11/backend.h"

namespace mirvex::sys::x11 {
namespace {

// `n` managed client windows with titles, classes and pids, owned by one extra connection.
struct Desk {
  explicit Desk(const Conn& conn, int n) : c(xcb_connect(nullptr, nullptr)) {
    const size_t before = conn.cardinals(conn.root(), NET_CLIENT_LIST).size();
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    for (int i = 0; i < n; ++i) {
      xcb_window_t w = xcb_generate_id(c);
      xcb_create_window(c, XCB_COPY_FROM_PARENT, w, s->root, 10 + i, 10 + i, 300, 200, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                        s->root_visual, 0, nullptr);
      const std::string title = "bench window " + std::to_string(i);
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, conn.atom(NET_WM_NAME), conn.atom(UTF8_STRING), 8,
                          uint32_t(title.size()), title.data());
      const char cls[] = "bench\0Bench";
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof cls, cls);
      const uint32_t pid = 1000 + uint32_t(i % 10);
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, conn.atom(NET_WM_PID), XCB_ATOM_CARDINAL, 32, 1, &pid);
      xcb_map_window(c, w);
    }
    xcb_flush(c);
    for (int i = 0; i < 1000 && conn.cardinals(conn.root(), NET_CLIENT_LIST).size() < before + size_t(n); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Desk() { xcb_disconnect(c); }
  xcb_connection_t* c;
};

void BM_WindowList(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no display");
  VirtualQueue queue;
  X11 x(queue, nullptr);
  Conn conn(nullptr);
  Desk desk(conn, int(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(x.window_list(0, 0));
  state.counters["windows"] = double(x.window_list(0, 0)->array()->size());
}
BENCHMARK(BM_WindowList)->Arg(30)->Arg(200)->Unit(benchmark::kMicrosecond);

// The same properties read afresh, all requests sent before any reply is collected.
void BM_WindowListPipelined(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no display");
  Conn conn(nullptr);
  Desk desk(conn, int(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(conn.props(conn.cardinals(conn.root(), NET_CLIENT_LIST_STACKING)));
}
BENCHMARK(BM_WindowListPipelined)->Arg(30)->Arg(200)->Unit(benchmark::kMicrosecond);

// The same properties read one window at a time.
void BM_WindowListRoundTripPerWindow(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no display");
  Conn conn(nullptr);
  Desk desk(conn, int(state.range(0)));
  for (auto _ : state) {
    auto wins = conn.cardinals(conn.root(), NET_CLIENT_LIST_STACKING);
    for (xcb_window_t w : wins) benchmark::DoNotOptimize(conn.props({w}));
  }
}
BENCHMARK(BM_WindowListRoundTripPerWindow)->Arg(30)->Arg(200)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mirvex::sys::x11
