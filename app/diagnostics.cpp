#include "app/diagnostics.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <map>
#include <mutex>
#include <vector>

#include "app/apps.h"
#include "app/ax.h"
#include "app/ws.h"
#include "core/entry_list.h"
#include "core/log.h"
#include "core/text.h"
#include "sys/port.h"

namespace mirvex::diagnostics {

namespace {

// "[1, 2]"; numbers in their shortest round-trip form.
template <class T>
std::string list_text(const std::vector<T>& v) {
  return fmt::format("[{}]", fmt::join(v, ", "));
}

std::string title_text(const std::optional<std::string>& title) {
  if (!title) return "None";
  std::string out = "Some(";
  text::append_quoted(out, *title);
  out += ')';
  return out;
}

std::string flags_text(const entry::Window& w) {
  std::vector<const char*> set;
  if (w.minimized) set.push_back("min");
  if (w.hidden) set.push_back("hidden");
  if (w.fullscreen) set.push_back("fs");
  return fmt::format("{}", fmt::join(set, ","));
}

// Sends Observe and Resolve for each application's windows and applies what the worker
// reports within `wait`.
void ask_accessibility(Model& model, const std::map<Pid, std::vector<Wid>>& groups, Pid self,
                       std::chrono::steady_clock::duration wait) {
  std::mutex mu;
  std::vector<Event> channel;
  {
    const sys::SteadyClock clock;
    ax::Worker worker(
        [&](Event e) {
          std::lock_guard lock(mu);
          channel.push_back(std::move(e));
        },
        clock);
    for (const auto& [pid, wids] : groups) {
      if (pid == self) continue;
      worker.submit(AxRequest{AxRequest::Kind::Observe, pid, {}});
      worker.submit(AxRequest{AxRequest::Kind::Resolve, pid, wids});
    }
    worker.wait_idle(wait);
    std::lock_guard lock(mu);
    for (Event& e : channel) model.apply(std::move(e));
    channel.clear();
  }
}

}  // namespace

std::optional<std::string> dump(std::ostream& out, std::chrono::steady_clock::duration ax_wait) {
  Model model;
  for (const sys::AppInfo& info : sys::port().running_apps()) model.apply(ev::App{apps::app(info)});

  auto t = std::chrono::steady_clock::now();
  ws::snapshot();
  const double cold_ms = log::ms(t);
  t = std::chrono::steady_clock::now();
  std::optional<ev::Snapshot> snapshot = ws::snapshot();
  const double warm_ms = log::ms(t);
  if (!snapshot) return "window server returned no list";
  out << fmt::format("snapshot seq={} windows={} elapsed={:.2f}ms (cold {:.2f}ms)\n", snapshot->seq,
                     snapshot->windows.size(), warm_ms, cold_ms);
  const std::vector<SpaceId> visible = ws::visible_spaces();
  out << fmt::format("visible spaces {}\n", list_text(visible));

  std::map<Pid, std::vector<Wid>> groups;
  for (const WindowInfo& w : snapshot->windows) {
    auto app = model.apps.find(w.pid);
    if (is_ordinary(w) && app != model.apps.end() && app->second.regular) groups[w.pid].push_back(w.wid);
  }
  model.apply(std::move(*snapshot));

  const Pid self = sys::port().self_pid();
  if (sys::port().ax_trusted(false)) ask_accessibility(model, groups, self, ax_wait);
  else out << "AX: not trusted\n";

  for (Wid wid : model.order) {
    auto it = model.windows.find(wid);
    if (it == model.windows.end()) continue;
    const WindowRecord& r = it->second;
    const WindowInfo& i = r.info;
    out << fmt::format("  wid={} pid={} alpha={} {}x{} at {},{} onscreen={} spaces={} ax={} min={} fs={} title={}\n",
                       i.wid, i.pid, i.alpha, i.bounds.w, i.bounds.h, i.bounds.x, i.bounds.y, i.onscreen,
                       list_text(i.spaces), r.ax.to_string(), r.minimized, r.fullscreen, title_text(r.title));
  }
  const std::vector<SpaceId> user = ws::user_spaces();
  out << fmt::format("user spaces {}\n", list_text(user));

  const Pid front = apps::frontmost_pid();
  for (SpacesFilter filter : {SpacesFilter::All, SpacesFilter::Visible}) {
    out << "list spaces=" << (filter == SpacesFilter::All ? "All" : "Visible") << '\n';
    ListContext context;
    context.shortcut.enabled = true;
    context.shortcut.spaces = filter;
    context.visible_spaces = visible;
    context.user_spaces = user;
    context.front_pid = front;
    context.own_pid = self;
    for (const Entry& e : list(model, context)) {
      if (const auto* w = std::get_if<entry::Window>(&e)) {
        out << fmt::format("  {} {} {} {} {}\n", w->wid, w->pid, w->space ? std::to_string(*w->space) : "-", w->title,
                           flags_text(*w));
      } else {
        const auto& a = std::get<entry::App>(e);
        out << fmt::format("  - {} - {}\n", a.pid, a.name);
      }
    }
  }
  return std::nullopt;
}

}  // namespace mirvex::diagnostics
