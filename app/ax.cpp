#include "app/ax.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <system_error>

#include "app/private.h"
#include "core/log.h"

namespace mirvex::ax {

namespace {

using namespace std::chrono_literals;
using sys::AxElement;
using sys::AxResult;
namespace err = sys::ax_error;
namespace name = sys::ax;

constexpr float TIMEOUT = 0.25f;        // every application and window element we read
constexpr float PROBE_TIMEOUT = 0.04f;  // the title-bar probe, which runs while the user clicks
constexpr auto TOKEN_BUDGET = 100ms;    // remote-token search per request
constexpr uint64_t TOKEN_END = 0x8000;  // element numbers tried: 0 up to 0x7FFF
constexpr int WORKERS = 4;

AxElement app_element(Pid pid, float timeout) {
  AxElement e = sys::port().ax_app(pid);
  sys::port().ax_set_timeout(e, timeout);
  return e;
}

template <class T>
AxResult<T> fail(int32_t code) {
  return AxResult<T>::fail(code);
}

}  // namespace

// The run loop of the run-loop thread: observer callbacks arrive as tasks and run in order.
class Worker::RunLoop {
 public:
  void post(sys::Task task) {
    {
      std::lock_guard lock(mu_);
      if (closed_) return;
      tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
  }

  void run() {
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return closed_ || !tasks_.empty(); });
      if (closed_) return;
      sys::Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  // Drops pending tasks and ends `run`; later posts are ignored.
  void close() {
    {
      std::lock_guard lock(mu_);
      closed_ = true;
      tasks_.clear();
    }
    cv_.notify_all();
  }

  // Whether every task posted before this call has run by `deadline`.
  bool drain(std::chrono::steady_clock::time_point deadline) {
    auto reached = std::make_shared<std::promise<void>>();
    std::future<void> f = reached->get_future();
    post([reached] { reached->set_value(); });
    return f.wait_until(deadline) == std::future_status::ready;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<sys::Task> tasks_;
  bool closed_ = false;
};

// ---------------------------------------------------------------- readers

AxResult<std::optional<sys::Value>> attr(const AxElement& element, std::string_view attribute) {
  AxResult<sys::Value> r = sys::port().ax_copy(element, attribute);
  if (r.ok()) return std::optional<sys::Value>(r.value());
  if (r.error() == err::NO_VALUE || r.error() == err::ATTRIBUTE_UNSUPPORTED) return std::optional<sys::Value>();
  return fail<std::optional<sys::Value>>(r.error());
}

AxResult<std::optional<std::string>> string(const AxElement& element, std::string_view attribute) {
  auto r = attr(element, attribute);
  if (!r.ok()) return fail<std::optional<std::string>>(r.error());
  const std::string* s = r.value() ? r.value()->string() : nullptr;
  return s ? std::optional<std::string>(*s) : std::nullopt;
}

AxResult<bool> flag(const AxElement& element, std::string_view attribute) {
  auto r = attr(element, attribute);
  if (!r.ok()) return r.error() == err::CANNOT_COMPLETE ? fail<bool>(r.error()) : AxResult<bool>(false);
  const bool* b = r.value() ? r.value()->boolean() : nullptr;
  return b && *b;
}

AxResult<WindowDetails> details(const AxElement& window) {
  WindowDetails d;
  auto title = string(window, name::TITLE);
  if (!title.ok()) return fail<WindowDetails>(title.error());
  if (title.value() && !title.value()->empty()) d.title = title.value();
  auto subrole = string(window, name::SUBROLE);
  if (!subrole.ok()) return fail<WindowDetails>(subrole.error());
  const auto& s = subrole.value();
  d.standard = !s || *s == name::STANDARD_WINDOW || *s == name::DIALOG;
  auto minimized = flag(window, name::MINIMIZED);
  if (!minimized.ok()) return fail<WindowDetails>(minimized.error());
  d.minimized = minimized.value();
  auto fullscreen = flag(window, name::FULLSCREEN);
  if (!fullscreen.ok()) return fail<WindowDetails>(fullscreen.error());
  d.fullscreen = fullscreen.value();
  return d;
}

AxResult<Wid> window_number(const AxElement& element) {
  Wid wid = 0;
  const int32_t code = P()._AXUIElementGetWindow(element, wid);
  if (code != err::SUCCESS) return fail<Wid>(code);
  return wid;
}

sys::RemoteToken remote_token(Pid pid, uint64_t number) {
  sys::RemoteToken t{};
  const auto p = static_cast<uint32_t>(pid);
  for (int i = 0; i < 4; ++i) t[i] = static_cast<uint8_t>(p >> (8 * i));
  t[8] = 0x6F, t[9] = 0x63, t[10] = 0x6F, t[11] = 0x63;
  for (int i = 0; i < 8; ++i) t[12 + i] = static_cast<uint8_t>(number >> (8 * i));
  return t;
}

bool trusted_or_prompt() { return sys::port().ax_trusted(true); }

std::optional<TitlebarButton> titlebar_button_at(Pid pid, double x, double y) {
  auto hit = sys::port().ax_element_at(app_element(pid, PROBE_TIMEOUT), Point{x, y});
  if (!hit.ok()) return std::nullopt;
  AxElement element = hit.value();
  sys::port().ax_set_timeout(element, PROBE_TIMEOUT);
  auto subrole = string(element, name::SUBROLE);
  if (!subrole.ok() || !subrole.value()) return std::nullopt;
  Button button;
  if (*subrole.value() == name::CLOSE_BUTTON_SUBROLE) button = Button::Close;
  else if (*subrole.value() == name::MINIMIZE_BUTTON_SUBROLE) button = Button::Minimize;
  else return std::nullopt;
  auto wid = window_number(element);
  if (!wid.ok()) return std::nullopt;
  return TitlebarButton{wid.value(), button};
}

std::map<std::string, std::string> dock_badges(Pid dock) {
  std::map<std::string, std::string> badges;
  auto children = [](const AxElement& e) {
    std::vector<AxElement> out;
    auto r = attr(e, name::CHILDREN);
    if (r.ok() && r.value())
      if (const sys::Array* a = r.value()->array())
        for (const sys::Value& v : *a)
          if (const AxElement* c = v.element()) out.push_back(*c);
    return out;
  };
  for (const AxElement& list : children(app_element(dock, TIMEOUT)))
    for (const AxElement& item : children(list)) {
      auto subrole = string(item, name::SUBROLE);
      if (!subrole.ok() || subrole.value() != name::DOCK_ITEM) continue;
      auto label = string(item, name::STATUS_LABEL);
      if (!label.ok() || !label.value()) continue;
      auto title = string(item, name::TITLE);
      if (title.ok() && title.value()) badges[*title.value()] = *label.value();
    }
  return badges;
}

// ---------------------------------------------------------------- the worker

Worker::Worker(Sink sink, const sys::Clock& clock)
    : sink_(std::move(sink)), clock_(clock), self_(sys::port().self_pid()), run_loop_(std::make_shared<RunLoop>()) {
  AxElement system_wide = sys::port().ax_system_wide();
  sys::port().ax_set_timeout(system_wide, TIMEOUT);
  try {
    run_thread_ = std::thread([loop = run_loop_] { loop->run(); });
    for (int i = 0; i < WORKERS; ++i) workers_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
    sys::stop("failed to spawn thread");
  }
}

Worker::~Worker() {
  {
    std::lock_guard lock(sched_mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  // No worker can create an observer any more; once released, none calls back.
  std::vector<sys::AxObserverId> release;
  {
    std::lock_guard lock(observers_mu_);
    for (const auto& [pid, observer] : observers_) release.push_back(observer);
    release.insert(release.end(), dock_observers_.begin(), dock_observers_.end());
    observers_.clear();
    dock_observers_.clear();
  }
  for (sys::AxObserverId observer : release) sys::port().ax_observer_release(observer);
  run_loop_->close();
  run_thread_.join();
}

void Worker::work() {
  std::unique_lock lock(sched_mu_);
  for (;;) {
    if (stopping_) return;
    const sys::Instant now = clock_.now();
    std::optional<AxRequest> request = sched_.next(now);
    if (!request) {
      idle_.notify_all();
      if (auto at = sched_.wake_at(now)) wake_.wait_for(lock, *at - now);
      else wake_.wait(lock);
      continue;
    }
    ++running_;
    lock.unlock();
    const bool retry = carry_out(*request);
    lock.lock();
    // A full-screen check records neither success nor failure.
    if (request->kind == AxRequest::Kind::CheckFullscreen) sched_.release(request->pid);
    else sched_.done(request->pid, retry, clock_.now());
    --running_;
    // The finished application may have further requests ready.
    wake_.notify_all();
    idle_.notify_all();
  }
}

bool Worker::carry_out(const AxRequest& r) {
  switch (r.kind) {
    case AxRequest::Kind::Resolve: return resolve_windows(r.pid, r.wids);
    case AxRequest::Kind::Observe: return observe(r.pid);
    case AxRequest::Kind::CheckFullscreen: check_fullscreen(r.pid, r.wids); return false;
  }
  return false;
}

void Worker::submit(AxRequest request) {
  {
    std::lock_guard lock(sched_mu_);
    sched_.submit(std::move(request));
  }
  wake_.notify_one();
}

void Worker::poke() {
  { std::lock_guard lock(sched_mu_); }  // a waiter between its check and its wait sees the change
  wake_.notify_all();
}

bool Worker::wait_idle(std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Notifications already on the run loop go first: they may submit requests.
  if (!run_loop_->drain(deadline)) return false;
  std::unique_lock lock(sched_mu_);
  return idle_.wait_until(lock, deadline, [&] { return running_ == 0 && !sched_.ready(clock_.now()); });
}

void Worker::forget(Pid pid) {
  {
    std::lock_guard lock(sched_mu_);
    sched_.forget(pid);
  }
  {
    std::lock_guard lock(cursor_mu_);
    token_cursor_.erase(pid);
  }
  {
    std::lock_guard lock(elements_mu_);
    std::erase_if(elements_, [pid](const auto& e) { return e.second.first == pid; });
  }
  std::optional<sys::AxObserverId> observer;
  {
    std::lock_guard lock(observers_mu_);
    if (auto it = observers_.find(pid); it != observers_.end()) {
      observer = it->second;
      observers_.erase(it);
    }
  }
  if (observer) sys::port().ax_observer_release(*observer);
}

void Worker::resolve(Pid pid, std::vector<Wid> wids) {
  if (pid == self_) return;
  submit(AxRequest{AxRequest::Kind::Resolve, pid, std::move(wids)});
}

std::optional<AxElement> Worker::ax_window(Wid wid) const {
  std::lock_guard lock(elements_mu_);
  auto it = elements_.find(wid);
  if (it == elements_.end()) return std::nullopt;
  return it->second.second;
}

std::optional<Wid> Worker::cached_wid(Pid pid, const AxElement& element) const {
  std::lock_guard lock(elements_mu_);
  for (const auto& [wid, entry] : elements_)
    if (entry.first == pid && entry.second == element) return wid;
  return std::nullopt;
}

void Worker::send_details(Stamp stamp, Wid wid, const WindowDetails& d) {
  {
    std::lock_guard lock(fullscreen_mu_);
    if (d.fullscreen) fullscreen_set_.insert(wid);
    else fullscreen_set_.erase(wid);
  }
  sink_(ev::Details{d.title, stamp, wid, d.minimized, d.fullscreen, AxStatus::found(d.standard)});
}

void Worker::watch_windows(Pid pid, const std::vector<AxElement>& windows) {
  std::optional<sys::AxObserverId> observer;
  {
    std::lock_guard lock(observers_mu_);
    if (auto it = observers_.find(pid); it != observers_.end()) observer = it->second;
  }
  if (!observer) return;
  for (const AxElement& window : windows)
    for (const char* n :
         {name::TITLE_CHANGED, name::WINDOW_MINIATURIZED, name::WINDOW_DEMINIATURIZED, name::WINDOW_RESIZED})
      // A hung application would fail every remaining registration the same way.
      if (sys::port().ax_observer_add(*observer, window, n, pid) == err::CANNOT_COMPLETE) return;
}

AxResult<sys::AxObserverId> Worker::new_observer(Pid pid) {
  return sys::port().ax_observer_create(pid, [this](const AxElement& e, const std::string& n, int64_t context) {
    on_notification(e, n, static_cast<Pid>(context));
  });
}

void Worker::schedule(sys::AxObserverId observer) {
  sys::port().ax_observer_schedule(observer, [loop = run_loop_](sys::Task task) { loop->post(std::move(task)); });
}

bool Worker::observe(Pid pid) {
  {
    std::lock_guard lock(observers_mu_);
    if (observers_.contains(pid)) return false;
  }
  auto created = new_observer(pid);
  if (!created.ok()) {
    log::log(fmt::format("ax: observer for {} failed: {}", pid, created.error()));
    return false;
  }
  const sys::AxObserverId observer = created.value();
  const AxElement app = app_element(pid, TIMEOUT);
  for (const char* n :
       {name::FOCUSED_WINDOW_CHANGED, name::MAIN_WINDOW_CHANGED, name::WINDOW_CREATED, name::ELEMENT_DESTROYED}) {
    const int32_t code = sys::port().ax_observer_add(observer, app, n, pid);
    if (code == err::SUCCESS || code == err::ALREADY_REGISTERED) continue;
    sys::port().ax_observer_release(observer);  // never entered anywhere: nobody else would
    if (code == err::CANNOT_COMPLETE) {
      if (sys::port().process_exists(pid)) submit(AxRequest{AxRequest::Kind::Observe, pid, {}});
      return true;
    }
    log::log(fmt::format("ax: observe {} {} failed: {}", pid, n, code));
    return false;
  }
  std::vector<AxElement> cached;
  {
    std::lock_guard lock(elements_mu_);
    for (const auto& [wid, entry] : elements_)
      if (entry.first == pid) cached.push_back(entry.second);
  }
  {
    std::lock_guard lock(observers_mu_);
    observers_[pid] = observer;
  }
  watch_windows(pid, cached);
  schedule(observer);
  auto focused = attr(app, name::FOCUSED_WINDOW);
  if (focused.ok() && focused.value())
    if (const AxElement* window = focused.value()->element())
      if (auto wid = window_number(*window); wid.ok()) sink_(ev::AppFocused{pid, wid.value()});
  return false;
}

bool Worker::resolve_windows(Pid pid, const std::vector<Wid>& wids) {
  const Stamp stamp = next_stamp();
  auto listed = attr(app_element(pid, TIMEOUT), name::WINDOWS);
  if (!listed.ok()) return listed.error() == err::CANNOT_COMPLETE;

  std::vector<AxElement> candidates;
  if (listed.value())
    if (const sys::Array* a = listed.value()->array())
      for (const sys::Value& v : *a)
        if (const AxElement* e = v.element()) candidates.push_back(*e);
  {
    std::lock_guard lock(elements_mu_);
    for (Wid wid : wids)
      if (auto it = elements_.find(wid); it != elements_.end() && it->second.first == pid)
        candidates.push_back(it->second.second);
  }

  struct Found {
    Wid wid;
    WindowDetails details;
    AxElement element;
  };
  std::vector<Found> found;
  auto known = [&](Wid wid) {
    return std::any_of(found.begin(), found.end(), [wid](const Found& f) { return f.wid == wid; });
  };
  for (const AxElement& e : candidates) {
    auto wid = window_number(e);
    if (!wid.ok()) {
      if (wid.error() == err::CANNOT_COMPLETE) return true;
      continue;
    }
    if (known(wid.value())) continue;
    auto d = details(e);
    if (!d.ok()) {
      if (d.error() == err::CANNOT_COMPLETE) return true;
      continue;
    }
    found.push_back({wid.value(), d.value(), e});
  }

  std::vector<Wid> missing;
  for (Wid wid : wids)
    if (!known(wid) && std::find(missing.begin(), missing.end(), wid) == missing.end()) missing.push_back(wid);

  // Windows on other Spaces are missing from "AXWindows"; the platform still makes their
  // elements from remote tokens, so try element numbers until all are found.
  uint64_t number = 0;
  bool out_of_time = false;
  if (!missing.empty()) {
    {
      std::lock_guard lock(cursor_mu_);
      if (auto it = token_cursor_.find(pid); it != token_cursor_.end()) {
        number = it->second;
        token_cursor_.erase(it);
      }
    }
    const sys::Instant start = clock_.now();
    for (; !missing.empty() && number < TOKEN_END; ++number) {
      if (clock_.now() - start >= TOKEN_BUDGET) {
        out_of_time = true;
        break;
      }
      std::optional<AxElement> e = P()._AXUIElementCreateWithRemoteToken(remote_token(pid, number));
      if (!e) continue;
      auto wid = window_number(*e);
      if (!wid.ok()) {
        if (wid.error() == err::CANNOT_COMPLETE) return true;
        continue;
      }
      if (known(wid.value())) continue;
      auto role = string(*e, name::ROLE);
      if (!role.ok()) {
        if (role.error() == err::CANNOT_COMPLETE) return true;
        continue;
      }
      if (role.value() != name::WINDOW_ROLE) continue;
      auto d = details(*e);
      if (!d.ok()) {
        if (d.error() == err::CANNOT_COMPLETE) return true;
        continue;
      }
      found.push_back({wid.value(), d.value(), *e});
      std::erase(missing, wid.value());
    }
  }

  std::vector<AxElement> fresh;
  for (const Found& f : found) {
    {
      std::lock_guard lock(elements_mu_);
      auto [it, inserted] = elements_.try_emplace(f.wid, pid, f.element);
      if (inserted || !(it->second.first == pid && it->second.second == f.element)) {
        it->second = {pid, f.element};
        fresh.push_back(f.element);
      }
    }
    send_details(stamp, f.wid, f.details);
  }
  if (!fresh.empty()) watch_windows(pid, fresh);

  if (!missing.empty()) {
    if (out_of_time) {
      {
        std::lock_guard lock(cursor_mu_);
        token_cursor_[pid] = number;
      }
      submit(AxRequest{AxRequest::Kind::Resolve, pid, missing});
    } else {
      for (Wid wid : missing) sink_(ev::Details{std::nullopt, stamp, wid, false, false, AxStatus::not_found()});
    }
  }
  return false;
}

void Worker::check_fullscreen(Pid pid, const std::vector<Wid>& wids) {
  std::vector<Wid> changed;
  for (Wid wid : wids) {
    std::optional<AxElement> e;
    {
      std::lock_guard lock(elements_mu_);
      if (auto it = elements_.find(wid); it != elements_.end() && it->second.first == pid) e = it->second.second;
    }
    if (!e) continue;
    auto fullscreen = flag(*e, name::FULLSCREEN);
    if (!fullscreen.ok()) continue;
    bool was;
    {
      std::lock_guard lock(fullscreen_mu_);
      was = fullscreen_set_.contains(wid);
    }
    if (fullscreen.value() != was) changed.push_back(wid);
  }
  if (!changed.empty()) resolve(pid, std::move(changed));
}

void Worker::on_notification(const AxElement& element, const std::string& n, Pid pid) {
  auto cached = [&] { return cached_wid(pid, element); };
  if (n == name::TITLE_CHANGED) {
    auto wid = cached();
    if (!wid) return;
    AxElement window = element;
    sys::port().ax_set_timeout(window, TIMEOUT);
    auto d = details(window);
    if (d.ok()) send_details(next_stamp(), *wid, d.value());
    else resolve(pid, {*wid});
  } else if (n == name::WINDOW_CREATED) {
    if (auto wid = window_number(element); wid.ok()) resolve(pid, {wid.value()});
  } else if (n == name::WINDOW_RESIZED) {
    auto wid = cached();
    if (!wid) return;
    submit(AxRequest{AxRequest::Kind::CheckFullscreen, pid, {*wid}});
    sink_(ev::Resized{*wid});
  } else if (n == name::WINDOW_MINIATURIZED || n == name::WINDOW_DEMINIATURIZED) {
    auto wid = cached();
    if (!wid) return;
    resolve(pid, {*wid});
    if (n == name::WINDOW_MINIATURIZED) sink_(ev::Minimized{*wid});
    else sink_(ev::Deminimized{*wid});
  } else if (n == name::ELEMENT_DESTROYED) {
    auto wid = cached();
    if (!wid) return;
    {
      std::lock_guard lock(elements_mu_);
      elements_.erase(*wid);
    }
    {
      std::lock_guard lock(fullscreen_mu_);
      fullscreen_set_.erase(*wid);
    }
    sink_(ev::Destroyed{next_stamp(), *wid});
  } else if (n == name::FOCUSED_WINDOW_CHANGED || n == name::MAIN_WINDOW_CHANGED) {
    if (auto wid = window_number(element); wid.ok()) sink_(ev::AppFocused{pid, wid.value()});
  } else if (n == name::EXPOSE_ALL || n == name::EXPOSE_FRONT || n == name::EXPOSE_DESKTOP) {
    sink_(ev::Expose{true});
  } else if (n == name::EXPOSE_EXIT) {
    sink_(ev::Expose{false});
  }
}

void Worker::observe_dock(Pid dock) {
  auto created = new_observer(dock);
  if (!created.ok()) {
    log::log("ax: dock observer failed");
    return;
  }
  const sys::AxObserverId observer = created.value();
  const AxElement app = app_element(dock, TIMEOUT);
  for (const char* n : {name::EXPOSE_ALL, name::EXPOSE_FRONT, name::EXPOSE_DESKTOP, name::EXPOSE_EXIT})
    sys::port().ax_observer_add(observer, app, n, dock);
  {
    std::lock_guard lock(observers_mu_);
    dock_observers_.push_back(observer);
  }
  schedule(observer);
}

// ---------------------------------------------------------------- the application's worker

namespace {
std::mutex START_MU;
std::atomic<Worker*> SHARED{nullptr};
}  // namespace

void start(Sink sink) {
  std::lock_guard lock(START_MU);
  if (SHARED.load()) sys::stop("ax::start called twice");
  // Both live as long as the process: the threads never end.
  static const sys::SteadyClock* clock = new sys::SteadyClock;
  SHARED.store(new Worker(std::move(sink), *clock));
}

Worker& shared() {
  Worker* w = SHARED.load();
  if (!w) sys::stop("ax::start not called");
  return *w;
}

void submit(AxRequest request) { shared().submit(std::move(request)); }
void forget(Pid pid) { shared().forget(pid); }
void resolve(Pid pid, std::vector<Wid> wids) { shared().resolve(pid, std::move(wids)); }
std::optional<AxElement> ax_window(Wid wid) { return shared().ax_window(wid); }
void observe_dock(Pid dock) { shared().observe_dock(dock); }

}  // namespace mirvex::ax
