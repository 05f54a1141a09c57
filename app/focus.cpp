#include "app/focus.h"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <variant>

#include "app/private.h"
#include "app/ws.h"
#include "core/log.h"

namespace mirvex::focus {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace axe = sys::ax_error;

constexpr uint32_t FRONT_WITH_WINDOW = 0x200;  // method A: front process with the window
constexpr uint32_t FRONT_PROCESS = 0x400;      // activation of the process alone
constexpr float AX_TIMEOUT = 0.25f;            // messaging timeout for another application

struct Request {
  uint64_t gen = 0;
  Entry target;
};

// Shared between the main thread and the focusing thread. Never destroyed: the thread
// outlives every static destructor.
struct Shared {
  std::atomic<uint64_t> generation{0};
  std::mutex mu;
  std::condition_variable wake;
  std::optional<Request> pending;  // pending_focus
  ElementLookup lookup;
  bool started = false;
};

Shared& shared() {
  static Shared* s = new Shared;
  return *s;
}

// Main thread only: the newest request's generation and completion.
struct Done {
  uint64_t gen = 0;
  Completion call;
};
std::optional<Done>& DONE() {
  static auto* d = new std::optional<Done>;
  return *d;
}

bool current(uint64_t gen) { return shared().generation.load() == gen; }

bool front_is(const sys::Psn& psn) {
  sys::Psn front{};
  return P()._SLPSGetFrontProcess(front) == 0 && front == psn;
}

bool poll_front(const sys::Psn& psn) {
  const auto start = Clock::now();
  for (;;) {
    if (front_is(psn)) return true;
    if (Clock::now() - start >= 50ms) return false;
    std::this_thread::sleep_for(5ms);
  }
}

sys::AxResult<Wid> window_number(const sys::AxElement& element) {
  Wid wid = 0;
  if (int32_t rc = P()._AXUIElementGetWindow(element, wid); rc != axe::SUCCESS)
    return sys::AxResult<Wid>::fail(rc);
  return wid;
}

// Marks the request hung on a cannot-complete answer; returns the code.
int32_t note(int32_t rc, bool& hung) {
  if (rc == axe::CANNOT_COMPLETE) hung = true;
  return rc;
}

bool read_minimized(const sys::AxElement& window, bool& hung) {
  auto r = sys::port().ax_copy(window, sys::ax::MINIMIZED);
  note(r.error(), hung);
  const bool* on = r.ok() ? r.value().boolean() : nullptr;
  return on && *on;
}

void unminimize(uint64_t gen, const sys::AxElement& window, Wid wid, Clock::time_point start, bool& hung) {
  if (hung || !read_minimized(window, hung)) return;
  note(sys::port().ax_set(window, sys::ax::MINIMIZED, sys::Value(false)), hung);
  const auto since = Clock::now();
  while (!hung && current(gen) && Clock::now() - since < 600ms && read_minimized(window, hung))
    std::this_thread::sleep_for(10ms);
  log::log(fmt::format("focus {}: unminimized in {:.1f}ms", wid, log::ms(start)));
}

bool run_app(const entry::App& t) {
  auto info = sys::port().running_app(t.pid);
  if (!info) return false;
  if (info->hidden) sys::port().app_unhide(t.pid);
  const bool ok = activate(t.pid);
  if (!ok) return false;
  auto listed = ws::windows(ws::ON_SCREEN, false);
  if (listed && std::none_of(listed->begin(), listed->end(),
                             [&](const WindowInfo& w) { return w.pid == t.pid && is_ordinary(w); })) {
    log::log(fmt::format("focus app {}: no window, reopening", t.pid));
    // Opening the bundle of a running application makes it open a window.
    if (info->bundle_path) sys::port().open_url(*info->bundle_path);
  }
  return ok;
}

bool run_window(uint64_t gen, const entry::Window& t) {
  const auto start = Clock::now();
  auto info = sys::port().running_app(t.pid);
  if (!info) return false;
  if (info->hidden) sys::port().app_unhide(t.pid);

  if (auto snap = ws::snapshot();
      snap && std::none_of(snap->windows.begin(), snap->windows.end(),
                           [&](const WindowInfo& w) { return w.wid == t.wid; })) {
    log::log(fmt::format("focus {}: gone, activating pid {}", t.wid, t.pid));
    return activate(t.pid);
  }

  bool hung = false;
  sys::AxElement app = sys::port().ax_app(t.pid);
  sys::port().ax_set_timeout(app, AX_TIMEOUT);
  std::optional<sys::AxElement> element;
  ElementLookup lookup;
  {
    std::lock_guard lock(shared().mu);
    lookup = shared().lookup;
  }
  if (lookup) element = lookup(t.wid);
  if (element) {
    sys::port().ax_set_timeout(*element, AX_TIMEOUT);
  } else {
    auto found = find_window(app, t.wid);
    note(found.error(), hung);
    if (found.ok()) element = found.value();
  }

  if (element && current(gen)) unminimize(gen, *element, t.wid, start, hung);

  sys::Psn psn{};
  if (!current(gen) || P().GetProcessForPID(t.pid, psn) != 0) return false;
  auto raise_unless_hung = [&] {
    if (element && !hung && current(gen)) note(raise(*element), hung);
  };

  // Method A: the window server makes the process front with the window, and the two event
  // records make the window key.
  P()._SLPSSetFrontProcessWithOptions(psn, t.wid, FRONT_WITH_WINDOW);
  P().SLPSPostEventRecordTo(psn, event_record(t.wid, 1));
  P().SLPSPostEventRecordTo(psn, event_record(t.wid, 2));
  raise_unless_hung();
  if (verify(gen, psn, app, t.wid, 50ms, hung)) {
    log::log(fmt::format("focus {}: method A ok in {:.1f}ms", t.wid, log::ms(start)));
    return true;
  }

  // Method B: the application activates itself and is told which window is main.
  if (!current(gen)) return false;
  sys::port().app_activate(t.pid);
  if (element && !hung && current(gen)) note(sys::port().ax_set(*element, sys::ax::MAIN, sys::Value(true)), hung);
  raise_unless_hung();
  const bool ok = verify(gen, psn, app, t.wid, 400ms, hung);
  log::log(fmt::format("focus {}: method B {} in {:.1f}ms (element {}, hung {})", t.wid, ok ? "ok" : "failed",
                       log::ms(start), element.has_value(), hung));
  return ok;
}

// Main thread: calls the completion only for the newest request, once.
void complete(uint64_t gen, bool ok) {
  auto& done = DONE();
  if (!done || done->gen != gen) return;
  Completion call = std::move(done->call);
  done.reset();
  if (call) call(ok);
}

[[noreturn]] void thread_main() {
  Shared& s = shared();
  for (;;) {
    Request r;
    {
      std::unique_lock lock(s.mu);
      s.wake.wait(lock, [&] { return s.pending.has_value(); });
      r = std::move(*s.pending);
      s.pending.reset();
    }
    const bool ok = std::visit(
        [&](const auto& t) {
          if constexpr (std::is_same_v<std::decay_t<decltype(t)>, entry::App>) return run_app(t);
          else return run_window(r.gen, t);
        },
        r.target);
    sys::main_queue().post([gen = r.gen, ok] { complete(gen, ok); });
  }
}

}  // namespace

void focus(const Entry& target, Completion done) {
  if (!sys::main_queue().is_main_thread()) sys::stop("focus must be called on the main thread");
  Shared& s = shared();
  const uint64_t gen = s.generation.fetch_add(1) + 1;
  DONE() = Done{gen, std::move(done)};
  {
    std::lock_guard lock(s.mu);
    s.pending = Request{gen, target};
    if (!s.started) {
      s.started = true;
      std::thread(thread_main).detach();
    }
  }
  s.wake.notify_one();
}

void set_element_lookup(ElementLookup lookup) {
  std::lock_guard lock(shared().mu);
  shared().lookup = std::move(lookup);
}

uint64_t generation() { return shared().generation.load(); }

bool activate(Pid pid) {
  sys::Psn psn{};
  if (P().GetProcessForPID(pid, psn) != 0) return false;
  P()._SLPSSetFrontProcessWithOptions(psn, 0, FRONT_PROCESS);
  if (poll_front(psn)) return true;
  sys::port().app_activate(pid);
  return poll_front(psn);
}

int32_t raise(const sys::AxElement& window) { return sys::port().ax_perform(window, sys::ax::RAISE); }

bool verify(uint64_t gen, const sys::Psn& psn, const sys::AxElement& app, Wid wid, std::chrono::milliseconds limit,
            bool& hung) {
  const auto start = Clock::now();
  while (current(gen)) {
    if (front_is(psn)) {
      auto focused = sys::port().ax_copy(app, sys::ax::FOCUSED_WINDOW);
      note(focused.error(), hung);
      if (const sys::AxElement* e = focused.ok() ? focused.value().element() : nullptr) {
        auto n = window_number(*e);
        note(n.error(), hung);
        if (n.ok() && n.value() == wid) return true;
      }
    }
    // A hung application would answer no better on the next pass.
    if (Clock::now() - start >= limit || hung) break;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

sys::AxResult<std::optional<sys::AxElement>> find_window(const sys::AxElement& app, Wid wid) {
  using R = sys::AxResult<std::optional<sys::AxElement>>;
  auto windows = sys::port().ax_copy(app, sys::ax::WINDOWS);
  if (!windows.ok()) return windows.error() == axe::NO_VALUE ? R(std::nullopt) : R::fail(windows.error());
  const sys::Array* list = windows.value().array();
  if (!list) return R(std::nullopt);
  for (const sys::Value& v : *list) {
    const sys::AxElement* e = v.element();
    if (!e) continue;
    auto n = window_number(*e);
    if (n.error() == axe::CANNOT_COMPLETE) return R::fail(n.error());
    if (n.ok() && n.value() == wid) {
      sys::AxElement found = *e;
      sys::port().ax_set_timeout(found, AX_TIMEOUT);
      return R(found);
    }
  }
  return R(std::nullopt);
}

sys::EventRecord event_record(Wid wid, uint8_t which) {
  sys::EventRecord r{};
  r[0x04] = 0xF8;
  r[0x08] = which;
  std::fill(r.begin() + 0x20, r.begin() + 0x30, uint8_t{0xFF});
  r[0x3A] = 0x10;
  for (int i = 0; i < 4; ++i) r[0x3C + i] = static_cast<uint8_t>(wid >> (8 * i));
  return r;
}

}  // namespace mirvex::focus
