// The accessibility worker: the application's only reader of other applications' windows
// through the accessibility interface. It matches window-server windows to accessibility
// elements, reads titles, minimised and full-screen state and subroles, keeps an observer on
// every application, and watches the Dock for Mission Control. Everything it learns leaves as
// `Event`s through one sink; it never touches the model.
//
// Accessibility calls block for as long as an unresponsive application keeps them waiting, so
// they run on the worker's own threads: one run-loop thread that hosts every observer and
// receives every notification, and four workers that take requests from an `AxSched`. An
// application that does not answer is backed off; it never blocks the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ax_sched.h"
#include "core/model.h"
#include "sys/port.h"

namespace mirvex::ax {

// Receives each event; called from the run-loop thread and the workers, possibly at once.
using Sink = std::function<void(Event)>;

// What `details` reads from one window element. `standard`: no subrole, or exactly
// "AXStandardWindow" or "AXDialog".
struct WindowDetails {
  std::optional<std::string> title;  // an empty title is none
  bool minimized = false;
  bool fullscreen = false;
  bool standard = false;
  bool operator==(const WindowDetails&) const = default;
};

enum class Button : uint8_t { Close, Minimize };
struct TitlebarButton {
  Wid wid = 0;
  Button button = Button::Close;
  bool operator==(const TitlebarButton&) const = default;
};

// --- Readers; any thread, no worker needed.

// The attribute's value; no-value (-25212) and unsupported (-25205) are success without one.
sys::AxResult<std::optional<sys::Value>> attr(const sys::AxElement& element, std::string_view name);
// The value when it is text; none when absent or of another type.
sys::AxResult<std::optional<std::string>> string(const sys::AxElement& element, std::string_view name);
// The value when it is a boolean, else false; only cannot-complete (-25204) is an error.
sys::AxResult<bool> flag(const sys::AxElement& element, std::string_view name);
// Title, subrole, minimised and full-screen state of a window element.
sys::AxResult<WindowDetails> details(const sys::AxElement& window);
// The window number of an element (`_AXUIElementGetWindow`).
sys::AxResult<Wid> window_number(const sys::AxElement& element);

// The 20-byte token from which the platform makes the element with number `number` of `pid`:
// pid (little-endian 32-bit), four zero bytes, "coco", the number (little-endian 64-bit).
sys::RemoteToken remote_token(Pid pid, uint64_t number);

// Accessibility permission, asking the system to prompt the user when it is missing.
bool trusted_or_prompt();
// The window and title-bar button (close or minimise) of `pid` under the window-server point.
std::optional<TitlebarButton> titlebar_button_at(Pid pid, double x, double y);
// Application title to Dock badge text. Blocks on the Dock: callers run it on a thread of
// their own.
std::map<std::string, std::string> dock_badges(Pid dock);

// One worker: its threads, its scheduler and its tables. The application has one, made by
// `start` and never destroyed; diagnostics and tests make their own.
class Worker {
 public:
  // Starts the run-loop thread and the four workers; `clock` times back-offs and the
  // remote-token search (it must outlive the worker).
  Worker(Sink sink, const sys::Clock& clock);
  // Releases the observers and joins the threads. A worker blocked in a call to an application
  // waits for that call to end first.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Queues a request and wakes one waiting worker.
  void submit(AxRequest request);
  // Drops everything known about the application: queued requests and back-off, search cursor,
  // cached windows, observer.
  void forget(Pid pid);
  // Submits `Resolve`, unless `pid` is this process.
  void resolve(Pid pid, std::vector<Wid> wids);
  // The cached element of the window.
  std::optional<sys::AxElement> ax_window(Wid wid) const;
  // The window whose cached element belongs to `pid` and equals `element`.
  std::optional<Wid> cached_wid(Pid pid, const sys::AxElement& element) const;
  // Records the full-screen state and sends `Details` (ax `Found`).
  void send_details(Stamp stamp, Wid wid, const WindowDetails& details);
  // Registers the per-window notifications with the application's observer, if it has one.
  void watch_windows(Pid pid, const std::vector<sys::AxElement>& windows);
  // An observer callback (run-loop thread): the notification as requests and events.
  void on_notification(const sys::AxElement& element, const std::string& notification, Pid pid);
  // Observes the Dock's Mission Control notifications for the life of the worker.
  void observe_dock(Pid dock);

  // Makes waiting workers look at the clock again (after a test clock moved).
  void poke();
  // Waits until notifications handed to the run loop are handled and no request runs or is
  // ready to run (backed-off ones may wait); false when `limit` passed first.
  bool wait_idle(std::chrono::steady_clock::duration limit);

  class RunLoop;

 private:
  void work();
  bool carry_out(const AxRequest& request);  // true: the application did not answer
  bool observe(Pid pid);
  bool resolve_windows(Pid pid, const std::vector<Wid>& wids);
  void check_fullscreen(Pid pid, const std::vector<Wid>& wids);
  sys::AxResult<sys::AxObserverId> new_observer(Pid pid);
  void schedule(sys::AxObserverId observer);

  const Sink sink_;
  const sys::Clock& clock_;
  const Pid self_;
  std::shared_ptr<RunLoop> run_loop_;
  std::thread run_thread_;
  std::vector<std::thread> workers_;

  std::mutex sched_mu_;
  std::condition_variable wake_;  // idle workers wait here
  std::condition_variable idle_;  // wait_idle waits here
  AxSched sched_;
  int running_ = 0;
  bool stopping_ = false;

  mutable std::mutex elements_mu_;
  std::unordered_map<Wid, std::pair<Pid, sys::AxElement>> elements_;
  std::mutex observers_mu_;
  std::unordered_map<Pid, sys::AxObserverId> observers_;
  std::vector<sys::AxObserverId> dock_observers_;
  std::mutex cursor_mu_;
  std::unordered_map<Pid, uint64_t> token_cursor_;
  std::mutex fullscreen_mu_;
  std::unordered_set<Wid> fullscreen_set_;
};

// --- The application's worker.

// Starts the process-wide worker; stops the process with "ax::start called twice" if called
// again.
void start(Sink sink);
// The process-wide worker; stops the process with "ax::start not called" before `start`.
Worker& shared();
// The process-wide worker's operations (see Worker).
void submit(AxRequest request);
void forget(Pid pid);
void resolve(Pid pid, std::vector<Wid> wids);
std::optional<sys::AxElement> ax_window(Wid wid);
void observe_dock(Pid dock);

}  // namespace mirvex::ax
