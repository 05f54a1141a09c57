#include "core/model.h"

#include <algorithm>
#include <unordered_set>

namespace mirvex {

std::atomic<uint64_t> SEQ{0};

std::string AxStatus::to_string() const {
  switch (kind) {
    case Kind::Pending: return "Pending";
    case Kind::Found: return subrole_ok ? "Found { subrole_ok: true }" : "Found { subrole_ok: false }";
    case Kind::NotFound: return "NotFound";
  }
  return "Pending";
}

namespace {

template <class T>
void move_to_front(std::vector<T>& seq, T value) {
  std::erase(seq, value);
  seq.insert(seq.begin(), value);
}

template <class... F>
struct Overloaded : F... { using F::operator()...; };
template <class... F>
Overloaded(F...) -> Overloaded<F...>;  // Clang 14 has no aggregate deduction

}  // namespace

void Model::remove_window(Wid wid) {
  windows.erase(wid);
  std::erase(order, wid);
  details_stamp.erase(wid);
  seen.erase(wid);
  pending.erase(wid);
  std::erase_if(focused, [wid](const auto& kv) { return kv.second == wid; });
}

void Model::apply_snapshot(ev::Snapshot&& s) {
  if (s.seq <= last_snapshot) return;  // overtaken by a newer snapshot
  last_snapshot = s.seq;

  std::unordered_map<Wid, WindowRecord> old = std::move(windows);
  windows.clear();
  std::unordered_set<Wid> in_order(order.begin(), order.end());
  std::unordered_set<Wid> seen_now;
  seen_now.reserve(s.windows.size());

  for (WindowInfo& info : s.windows) {
    const Wid wid = info.wid;
    if (auto t = destroyed.find(wid); t != destroyed.end()) {
      if (t->second >= s.seq) continue;  // died after the snapshot was taken
      destroyed.erase(t);                // a stale tombstone
    }
    seen_now.insert(wid);
    seen[wid] = s.seq;
    pending.erase(wid);

    WindowRecord rec;
    const std::optional<SpaceId> first_space =
        info.spaces.empty() ? std::nullopt : std::optional<SpaceId>(info.spaces.front());
    if (auto o = old.find(wid); o != old.end()) {
      WindowRecord& prev = o->second;
      rec.title = std::move(prev.title);
      rec.born = prev.born;
      rec.minimized = prev.minimized;
      rec.fullscreen = prev.fullscreen;
      rec.ax = prev.ax;
      rec.ever_onscreen = prev.ever_onscreen || info.onscreen;
      rec.space = first_space ? first_space : prev.space;
    } else {
      rec.born = s.seq;
      rec.ever_onscreen = info.onscreen;
      rec.space = first_space;
    }
    rec.info = std::move(info);
    if (in_order.insert(wid).second) order.push_back(wid);  // new windows enter as least recent
    windows.insert_or_assign(wid, std::move(rec));
  }

  std::erase_if(focused, [&](const auto& kv) {
    return !seen_now.contains(kv.second) && old.contains(kv.second);
  });
  std::erase_if(pending, [&](const auto& kv) { return kv.second < s.seq; });
  std::erase_if(order, [&](Wid w) { return !seen_now.contains(w) && !pending.contains(w); });
  std::erase_if(details_stamp, [&](const auto& kv) { return !seen_now.contains(kv.first); });
  std::erase_if(seen, [&](const auto& kv) { return !seen_now.contains(kv.first); });
}

void Model::apply(Event event) {
  std::visit(
      Overloaded{
          [&](ev::Snapshot& e) { apply_snapshot(std::move(e)); },
          [&](ev::Destroyed& e) {
            if (auto s = seen.find(e.wid); s != seen.end() && s->second > e.stamp) return;
            remove_window(e.wid);
            Stamp& t = destroyed[e.wid];
            t = std::max(t, e.stamp);
          },
          [&](ev::Details& e) {
            auto w = windows.find(e.wid);
            if (w == windows.end()) return;
            if (auto d = details_stamp.find(e.wid); d != details_stamp.end() && d->second > e.stamp) return;
            details_stamp[e.wid] = e.stamp;
            w->second.title = std::move(e.title);
            w->second.minimized = e.minimized;
            w->second.fullscreen = e.fullscreen;
            w->second.ax = e.ax;
          },
          [&](ev::Focused& e) {
            if (destroyed.contains(e.wid)) return;
            if (auto w = windows.find(e.wid); w != windows.end()) {
              focused[w->second.info.pid] = e.wid;
            } else {
              pending[e.wid] = next_stamp();
            }
            move_to_front(order, e.wid);
          },
          [&](ev::AppFocused& e) {
            if (destroyed.contains(e.wid)) return;
            focused[e.pid] = e.wid;
          },
          [&](ev::Activated& e) { move_to_front(app_order, e.pid); },
          [&](ev::App& e) {
            if (std::find(app_order.begin(), app_order.end(), e.app.pid) == app_order.end())
              app_order.push_back(e.app.pid);
            const Pid pid = e.app.pid;
            apps.insert_or_assign(pid, std::move(e.app));
          },
          [&](ev::Terminated& e) {
            apps.erase(e.pid);
            focused.erase(e.pid);
            std::erase(app_order, e.pid);
            std::vector<Wid> gone;
            for (const auto& [wid, rec] : windows)
              if (rec.info.pid == e.pid) gone.push_back(wid);
            for (Wid wid : gone) remove_window(wid);
          },
          [&](ev::Hidden& e) {
            if (auto a = apps.find(e.pid); a != apps.end()) a->second.hidden = e.hidden;
          },
          [&](ev::Minimized& e) {
            if (auto w = windows.find(e.wid); w != windows.end()) w->second.minimized = true;
          },
          [&](ev::Deminimized& e) {
            if (auto w = windows.find(e.wid); w != windows.end()) w->second.minimized = false;
          },
          [](ev::Resized&) {},
          [](ev::SpaceChanged&) {},
          [](ev::Expose&) {},
      },
      event);
}

}  // namespace mirvex
