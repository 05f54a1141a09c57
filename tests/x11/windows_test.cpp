// The X11 backend against Xvfb and openbox: window list, Spaces, applications, activation,
// minimise and hide, termination, capture — through the port only, checked against what the
// server and xdotool say.
#include <cstdlib>
#include <cstring>
#include <future>
#include <span>

#include "tests/x11/x11_fixture.h"

namespace mirvex::sys::x11::test {
namespace {

const Value* find_entry(const Value& list, Wid wid, size_t* index = nullptr) {
  for (size_t i = 0; i < list.array()->size(); ++i) {
    const Value& e = (*list.array())[i];
    if (e.get(wl::NUMBER)->number()->as_int64() == wid) {
      if (index) *index = i;
      return &e;
    }
  }
  return nullptr;
}

TEST_F(X11Test, WindowListIsFrontToBackWithTitlesPidsLayersAndSpaces) {
  Client a = start({"-t", "alpha", "-c", "alpha,Alpha", "-o", "0.5"});
  Client b = start({"-t", "beta", "-c", "beta,Beta", "-p", "4242"});
  Client dock = start({"-t", "bar", "-y", "dock"});
  Client away = start({"-t", "away", "-d", "1"});

  auto list = x->window_list(0, 0);
  ASSERT_TRUE(list && list->array());
  size_t ia = 0, ib = 0;
  const Value* ea = find_entry(*list, a.wid, &ia);
  const Value* eb = find_entry(*list, b.wid, &ib);
  ASSERT_TRUE(ea && eb);
  EXPECT_LT(ib, ia) << "the later window is in front";
  EXPECT_EQ(*ea->get(wl::NAME)->string(), "alpha");
  EXPECT_EQ(*ea->get(wl::OWNER_NAME)->string(), "Alpha");
  EXPECT_EQ(ea->get(wl::OWNER_PID)->number()->as_int64(), a.pid);
  EXPECT_EQ(eb->get(wl::OWNER_PID)->number()->as_int64(), 4242);
  EXPECT_NEAR(ea->get(wl::ALPHA)->number()->as_double(), 0.5, 1e-6);
  EXPECT_EQ(eb->get(wl::ALPHA)->number()->as_double(), 1.0);
  EXPECT_EQ(ea->get(wl::LAYER)->number()->as_int64(), 0);
  EXPECT_EQ(find_entry(*list, dock.wid)->get(wl::LAYER)->number()->as_int64(), 20);
  EXPECT_TRUE(ea->get(wl::IS_ONSCREEN));
  EXPECT_FALSE(find_entry(*list, away.wid)->get(wl::IS_ONSCREEN)) << "on another desktop";
  auto bounds = rect_from_dict(*ea->get(wl::BOUNDS));
  ASSERT_TRUE(bounds);
  EXPECT_GE(bounds->w, 200);  // the client's 200×120 plus the frame
  EXPECT_GE(bounds->h, 120);

  auto onscreen = x->window_list(wl::ON_SCREEN_ONLY, 0);
  EXPECT_TRUE(find_entry(*onscreen, a.wid));
  EXPECT_FALSE(find_entry(*onscreen, away.wid));
  auto only_b = x->window_list(wl::INCLUDING_WINDOW, b.wid);
  ASSERT_EQ(only_b->array()->size(), 1u);

  // Spaces: desktops as Spaces (id = index + 1), the window on desktop 1 is on Space 2.
  auto spaces_fn = symbol_as<fn::CGSCopyManagedDisplaySpaces>(x->symbol("CGSCopyManagedDisplaySpaces"));
  auto windows_fn = symbol_as<fn::CGSCopyWindowsWithOptionsAndTags>(x->symbol("CGSCopyWindowsWithOptionsAndTags"));
  ASSERT_TRUE(spaces_fn && windows_fn);
  auto displays = (*spaces_fn)(0);
  ASSERT_TRUE(displays && !displays->array()->empty());
  const Value& d0 = displays->array()->front();
  const size_t desktops = std::stoul(run("xprop -root _NET_NUMBER_OF_DESKTOPS | sed 's/.*= //'"));
  EXPECT_EQ(d0.get(ds::SPACES)->array()->size(), desktops);
  EXPECT_EQ(d0.get("Current Space")->get(ds::ID64)->number()->as_int64(), 1);
  uint64_t set = 0, clear = 0;
  auto on2 = (*windows_fn)(0, 0, Value(Array{Value(2)}), 7, set, clear);
  ASSERT_TRUE(on2);
  EXPECT_EQ(on2->array()->size(), 1u);
  EXPECT_EQ(on2->array()->front().number()->as_int64(), away.wid);

  // Switching desktop is an active-Space change.
  int changed = 0;
  x->workspace_observe(note::SPACE_CHANGED, [&](const WorkspaceNote&) { ++changed; });
  run("xdotool set_desktop 1");
  EXPECT_TRUE(wait([&] { return changed > 0; }));
  auto current = symbol_as<fn::CGSManagedDisplayGetCurrentSpace>(x->symbol("CGSManagedDisplayGetCurrentSpace"));
  EXPECT_EQ((*current)(0, ""), 2u);
  EXPECT_TRUE(wait([&] { return find_entry(*x->window_list(0, 0), away.wid)->get(wl::IS_ONSCREEN) != nullptr; }));
  run("xdotool set_desktop 0");

  auto screens = x->screens();
  ASSERT_FALSE(screens.empty());
  EXPECT_EQ(screens[0].frame, (Rect{0, 0, 1280, 800}));
  // The pointer is warped in window-server coordinates and read back in screen space.
  ASSERT_TRUE(x->warp_pointer(Point{100, 200}));
  EXPECT_EQ(x->pointer(), (Point{100, 600}));
}

// The list is served from what the events said: once a change has reached the server, the
// very next list shows it, with no waiting.
TEST_F(X11Test, WindowListShowsEveryChangeTheServerHasMade) {
  Client a = start({"-t", "before", "-c", "a,A"});
  Client b = start({"-t", "other"});
  const std::string id = std::to_string(a.wid);
  auto entry = [&](Wid wid) -> std::optional<Value> {
    const auto list = x->window_list(0, 0);
    const Value* e = find_entry(*list, wid);
    return e ? std::optional(*e) : std::nullopt;
  };
  auto bounds = [&] { return rect_from_dict(*entry(a.wid)->get(wl::BOUNDS)).value_or(Rect{}); };
  auto client_x = [&] { return std::stod(run("xwininfo -id " + id + " | sed -n 's/.*Absolute upper-left X: *//p'")); };

  run("xprop -id " + id + " -f _NET_WM_NAME 8u -set _NET_WM_NAME renamed");
  EXPECT_EQ(*entry(a.wid)->get(wl::NAME)->string(), "renamed");
  run("xprop -id " + id + " -f _NET_WM_WINDOW_OPACITY 32c -set _NET_WM_WINDOW_OPACITY 0x7fffffff");
  EXPECT_NEAR(entry(a.wid)->get(wl::ALPHA)->number()->as_double(), 0.5, 1e-3);

  // The window manager moves the frame: the client inside moves with it.
  const Rect was = bounds();
  const double x0 = client_x();
  run("xdotool windowmove --sync " + id + " " + std::to_string(int(was.x) + 100) + " 150");
  const double moved = client_x() - x0;
  ASSERT_NE(moved, 0);
  EXPECT_EQ(bounds().x - was.x, moved);

  // Minimised once the server no longer shows it (xdotool's --sync does not wait for that).
  run("xdotool windowminimize " + id);
  ASSERT_TRUE(wait([&] { return run("xwininfo -id " + id + " | sed -n 's/.*Map State: *//p'") != "IsViewable"; }));
  EXPECT_EQ(entry(a.wid)->get(wl::IS_ONSCREEN), nullptr);
  EXPECT_NE(entry(b.wid)->get(wl::IS_ONSCREEN), nullptr);
}

TEST_F(X11Test, ApplicationsActivationAndTermination) {
  std::vector<WorkspaceNote> launched, activated, terminated;
  x->workspace_observe(note::LAUNCHED, [&](const WorkspaceNote& n) { launched.push_back(n); });
  x->workspace_observe(note::ACTIVATED, [&](const WorkspaceNote& n) { activated.push_back(n); });
  x->workspace_observe(note::TERMINATED, [&](const WorkspaceNote& n) { terminated.push_back(n); });
  Client a = start({"-t", "one", "-c", "one,One"});
  Client b = start({"-t", "two", "-c", "two,Two"});
  EXPECT_TRUE(wait([&] { return launched.size() >= 2; }));
  auto app = x->running_app(a.pid);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->name, "One");
  EXPECT_EQ(app->bundle_id, "One");
  EXPECT_EQ(app->policy, Policy::Regular);

  // The front-process call activates the given window; xdotool agrees.
  auto set_front = symbol_as<fn::_SLPSSetFrontProcessWithOptions>(x->symbol("_SLPSSetFrontProcessWithOptions"));
  ASSERT_EQ((*set_front)(Psn{0, uint32_t(a.pid)}, a.wid, 0x200), 0);
  EXPECT_TRUE(wait([&] { return run("xdotool getactivewindow") == std::to_string(a.wid); }));
  EXPECT_TRUE(wait([&] { return x->workspace_frontmost() == a.pid; }));
  EXPECT_TRUE(wait([&] { return !activated.empty() && activated.back().app->pid == a.pid; }));
  auto focused = x->ax_copy(x->ax_app(a.pid), ax::FOCUSED_WINDOW);
  ASSERT_TRUE(focused.ok());
  EXPECT_EQ(focused.value().element()->id, a.wid);

  // Activation from outside is seen too.
  run("xdotool windowactivate --sync " + std::to_string(b.wid));
  EXPECT_TRUE(wait([&] { return x->workspace_frontmost() == b.pid; }));
  EXPECT_EQ(x->ax_copy(x->ax_app(a.pid), ax::FOCUSED_WINDOW).error(), ax_error::NO_VALUE);

  // Killing the client ends the application.
  ::kill(b.pid, SIGKILL);
  EXPECT_TRUE(wait([&] {
    return !terminated.empty() && terminated.back().app && terminated.back().app->pid == b.pid;
  }));
  EXPECT_TRUE(terminated.back().app->terminated);
  EXPECT_FALSE(x->running_app(b.pid));
  EXPECT_EQ(x->ax_copy(AxElement{b.pid, b.wid}, ax::TITLE).error(), ax_error::INVALID_ELEMENT);
}

TEST_F(X11Test, AccessibilityMinimiseRestoreHideAndClose) {
  Client a = start({"-t", "first", "-c", "m,M"});
  const AxElement win{a.pid, a.wid};
  EXPECT_EQ(attr(win, ax::TITLE), Value("first"));
  EXPECT_EQ(attr(win, ax::SUBROLE), Value(ax::STANDARD_WINDOW));
  EXPECT_EQ(attr(win, ax::MINIMIZED), Value(false));
  auto windows = x->ax_copy(x->ax_app(a.pid), ax::WINDOWS);
  ASSERT_TRUE(windows.ok());
  EXPECT_EQ(windows.value(), Value(Array{Value(win)}));

  std::vector<std::string> notes;
  auto obs = x->ax_observer_create(a.pid, [&](const AxElement&, const std::string& n, int64_t) { notes.push_back(n); });
  ASSERT_TRUE(obs.ok());
  for (const char* n : {ax::WINDOW_MINIATURIZED, ax::WINDOW_DEMINIATURIZED, ax::TITLE_CHANGED, ax::ELEMENT_DESTROYED})
    ASSERT_EQ(x->ax_observer_add(obs.value(), x->ax_app(a.pid), n, 0), ax_error::SUCCESS);
  x->ax_observer_schedule(obs.value(), [this](Task t) { queue.post(std::move(t)); });

  auto onscreen = [&] {
    auto l = x->window_list(wl::ON_SCREEN_ONLY, 0);
    return find_entry(*l, a.wid) != nullptr;
  };
  ASSERT_EQ(x->ax_set(win, ax::MINIMIZED, Value(true)), ax_error::SUCCESS);
  EXPECT_TRUE(wait([&] { return attr(win, ax::MINIMIZED) == Value(true); }));
  EXPECT_TRUE(wait([&] { return !onscreen(); }));
  ASSERT_EQ(x->ax_set(win, ax::MINIMIZED, Value(false)), ax_error::SUCCESS);
  EXPECT_TRUE(wait([&] { return onscreen(); }));
  EXPECT_EQ(x->ax_set(win, ax::MINIMIZED, Value("yes")), ax_error::ILLEGAL_ARGUMENT);
  EXPECT_TRUE(wait([&] {
    return std::count(notes.begin(), notes.end(), ax::WINDOW_MINIATURIZED) == 1 &&
           std::count(notes.begin(), notes.end(), ax::WINDOW_DEMINIATURIZED) == 1;
  }));

  ASSERT_EQ(x->ax_set(win, ax::FULLSCREEN, Value(true)), ax_error::SUCCESS);
  EXPECT_TRUE(wait([&] { return attr(win, ax::FULLSCREEN) == Value(true); }));
  EXPECT_TRUE(wait([&] {
    const auto list = x->window_list(0, 0);  // the entry points into it: keep it alive
    const Value* e = find_entry(*list, a.wid);
    return e && rect_from_dict(*e->get(wl::BOUNDS)) == Rect{0, 0, 1280, 800};
  })) << "full screen covers the screen";
  ASSERT_EQ(x->ax_set(win, ax::FULLSCREEN, Value(false)), ax_error::SUCCESS);
  EXPECT_TRUE(wait([&] { return attr(win, ax::FULLSCREEN) == Value(false); }));

  run("xdotool set_window --name renamed " + std::to_string(a.wid));
  EXPECT_TRUE(wait([&] { return std::count(notes.begin(), notes.end(), ax::TITLE_CHANGED) > 0; }));
  EXPECT_EQ(attr(win, ax::TITLE), Value("renamed"));

  // Hide minimises every window and remembers them; unhide brings back exactly those.
  ASSERT_TRUE(x->app_hide(a.pid));
  EXPECT_TRUE(x->running_app(a.pid)->hidden);
  EXPECT_TRUE(wait([&] { return !onscreen(); }));
  ASSERT_TRUE(x->app_unhide(a.pid));
  EXPECT_FALSE(x->running_app(a.pid)->hidden);
  EXPECT_TRUE(wait([&] { return onscreen(); }));

  // The close button closes through the window manager; the client exits.
  auto close = x->ax_copy(win, ax::CLOSE_BUTTON);
  ASSERT_TRUE(close.ok());
  EXPECT_EQ(x->ax_perform(*close.value().element(), ax::PRESS), ax_error::SUCCESS);
  EXPECT_TRUE(wait([&] { return std::count(notes.begin(), notes.end(), ax::ELEMENT_DESTROYED) > 0; }));
  int status = 0;
  EXPECT_EQ(::waitpid(a.pid, &status, 0), a.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  clients.clear();
}

TEST_F(X11Test, CaptureReturnsTheWindowPixels) {
  Client red = start({"-t", "red", "-k", "ff0000"});
  run("xdotool windowactivate --sync " + std::to_string(red.wid));
  std::promise<CaptureResult> got;
  x->capture_window(red.wid, 50, 30, [&](CaptureResult r) { got.set_value(std::move(r)); });
  auto fut = got.get_future();
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  CaptureResult r = fut.get();
  ASSERT_TRUE(r.image) << (r.error ? *r.error : 0);
  EXPECT_EQ(r.image->width, 50);
  EXPECT_EQ(r.image->height, 30);
  EXPECT_EQ(r.image->argb[15 * 50 + 25], 0xFFFF0000u);

  std::promise<CaptureResult> none;
  x->capture_window(0x7ffffff, 10, 10, [&](CaptureResult r2) { none.set_value(std::move(r2)); });
  auto nf = none.get_future();
  ASSERT_EQ(nf.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(nf.get().image);
}

TEST_F(X11Test, OutsideClientsAreListedAndAWindowWithoutPidIsNoApplication) {
  for (const char* program : {"xterm", "xeyes"})
    ASSERT_EQ(std::system(("command -v " + std::string(program) + " >/dev/null").c_str()), 0)
        << program << " is missing: scripts/install-deps installs it";
  const pid_t term = start_outside({"xterm", "-T", "outside-term", "-e", "sleep", "60"});
  // An Xt program titles its window with its resource name.
  start_outside({"xeyes", "-name", "outside-eyes"});
  std::optional<Value> t, e;
  ASSERT_TRUE(wait([&] { return (t = entry_titled("outside-term")) && (e = entry_titled("outside-eyes")); }));
  EXPECT_EQ(*t->get(wl::OWNER_NAME)->string(), "XTerm");
  EXPECT_EQ(t->get(wl::OWNER_PID)->number()->as_int64(), term);
  EXPECT_TRUE(wait([&] { return x->running_app(term).has_value(); }));
  EXPECT_EQ(x->running_app(term)->name, "XTerm");
  // xeyes sets no _NET_WM_PID: listed without an owner, and no running application for it.
  EXPECT_EQ(*e->get(wl::OWNER_NAME)->string(), "XEyes");
  EXPECT_FALSE(e->get(wl::OWNER_PID));
  for (const AppInfo& a : x->running_apps()) EXPECT_NE(a.name, "XEyes");
}

TEST_F(X11Test, WindowServerNotificationsAndTheRequiredPrivateFunctions) {
  // Every function the application requires resolves (the rest are optional groups).
  for (const char* name : {"CGSMainConnectionID", "CGSCopyManagedDisplaySpaces", "CGSManagedDisplayGetCurrentSpace",
                           "CGSCopyWindowsWithOptionsAndTags", "CGSSetSymbolicHotKeyEnabled", "GetProcessForPID",
                           "GetProcessPID", "_SLPSGetFrontProcess", "_SLPSSetFrontProcessWithOptions",
                           "SLPSPostEventRecordTo", "_AXUIElementGetWindow", "_AXUIElementCreateWithRemoteToken",
                           "SLSRegisterConnectionNotifyProc", "SLSRequestNotificationsForWindows", "SLSGetWindowBounds"})
    EXPECT_TRUE(x->symbol(name).has_value()) << name;

  std::vector<std::pair<uint32_t, Wid>> seen;
  auto record = [&](uint32_t event, std::span<const uint8_t> data) {
    Wid wid = 0;
    std::memcpy(&wid, data.data() + (event >= 1325 ? 8 : 0), sizeof wid);
    seen.emplace_back(event, wid);
  };
  auto reg = *symbol_as<fn::SLSRegisterConnectionNotifyProc>(x->symbol("SLSRegisterConnectionNotifyProc"));
  auto reg_system = *symbol_as<fn::SLSRegisterNotifyProc>(x->symbol("SLSRegisterNotifyProc"));
  for (uint32_t ev : {804u, 806u, 807u, 808u}) reg(0, record, ev);
  reg_system(record, 1325);
  auto has = [&](uint32_t ev, Wid wid) {
    return std::find(seen.begin(), seen.end(), std::pair{ev, wid}) != seen.end();
  };
  Client a = start({"-t", "watched"});
  EXPECT_TRUE(wait([&] { return has(1325, a.wid); }));
  Client b = start({"-t", "other"});
  (*symbol_as<fn::SLSRequestNotificationsForWindows>(x->symbol("SLSRequestNotificationsForWindows")))(0, {a.wid});

  run("xdotool windowsize --sync " + std::to_string(a.wid) + " 320 240");
  EXPECT_TRUE(wait([&] { return has(807, a.wid); }));
  run("xdotool windowmove --sync " + std::to_string(a.wid) + " 300 200");
  EXPECT_TRUE(wait([&] { return has(806, a.wid); }));
  run("xdotool windowactivate --sync " + std::to_string(a.wid));
  run("xdotool windowactivate --sync " + std::to_string(b.wid));
  EXPECT_TRUE(wait([&] { return has(808, a.wid); }));
  Rect bounds;
  auto get_bounds = *symbol_as<fn::SLSGetWindowBounds>(x->symbol("SLSGetWindowBounds"));
  ASSERT_EQ(get_bounds(0, a.wid, bounds), 0);
  EXPECT_GE(bounds.w, 320);
  ::kill(a.pid, SIGKILL);
  EXPECT_TRUE(wait([&] { return has(804, a.wid); }));
  EXPECT_FALSE(has(807, b.wid)) << "only requested windows report changes";
  EXPECT_NE(get_bounds(0, a.wid, bounds), 0);
}

TEST_F(X11Test, OneInstancePerUserAndDisplay) {
  {
    X11 first(queue, nullptr);
    ASSERT_TRUE(first.claim_instance());
    EXPECT_TRUE(first.claim_instance()) << "claiming again keeps it";
    X11 second(queue, nullptr);
    EXPECT_FALSE(second.claim_instance());
  }
  X11 third(queue, nullptr);
  EXPECT_TRUE(third.claim_instance()) << "the owner's exit frees it";
}

}  // namespace
}  // namespace mirvex::sys::x11::test
