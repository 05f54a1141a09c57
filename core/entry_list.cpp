#include "core/entry_list.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "core/text.h"

namespace mirvex {
namespace {

// Shortcut codes.
constexpr uint8_t SHOW_AT_END = 2, HIDE = 1;  // minimized, hidden, fullscreen
constexpr uint8_t WINDOWLESS_SHOW = 0;
constexpr uint8_t APPS_ACTIVE = 1, APPS_OTHER = 2, APPS_ONE_EACH = 3;
constexpr uint8_t ORDER_OPENED = 1, ORDER_ALPHA = 2, ORDER_SPACE = 3;

constexpr size_t NO_POSITION = std::numeric_limits<size_t>::max();

struct Row {
  entry::Window entry;
  Stamp born = 0;
  size_t space_pos = NO_POSITION;
  const std::string* app_key = nullptr;  // lower-cased application name (alphabetical only)
  std::string title_key;                 // lower-cased title (alphabetical only)
  bool sink = false;
};

const char* flag(bool b) { return b ? "true" : "false"; }

bool contains(const std::vector<SpaceId>& v, SpaceId s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

bool passes_apps_filter(uint8_t apps, Pid pid, Pid front) {
  if (apps == APPS_ACTIVE) return pid == front;
  if (apps == APPS_OTHER) return pid != front;
  return true;
}

}  // namespace

Pid entry_pid(const Entry& e) {
  return std::visit([](const auto& v) { return v.pid; }, e);
}

std::string to_string(const Entry& e) {
  std::string out;
  if (const auto* w = std::get_if<entry::Window>(&e)) {
    out = fmt::format("Window {{ wid: {}, pid: {}, title: ", w->wid, w->pid);
    text::append_quoted(out, w->title);
    out += fmt::format(", minimized: {}, hidden: {}, fullscreen: {}, space: ", flag(w->minimized),
                       flag(w->hidden), flag(w->fullscreen));
    out += w->space ? fmt::format("Some({})", *w->space) : std::string("None");
  } else {
    const auto& a = std::get<entry::App>(e);
    out = fmt::format("App {{ pid: {}, name: ", a.pid);
    text::append_quoted(out, a.name);
  }
  out += " }";
  return out;
}

bool is_ordinary(const WindowInfo& info) {
  return info.layer == 0 && info.alpha > 0 && info.bounds.w >= 50 && info.bounds.h >= 50;
}

std::vector<Entry> list(const Model& model, const ListContext& cx) {
  const Shortcut& sc = cx.shortcut;
  const bool alphabetical = sc.order == ORDER_ALPHA;

  std::vector<std::string_view> never_listed;  // bundle identifiers of exceptions with hide 1
  for (const Exception& x : cx.exceptions)
    if (x.hide == 1) never_listed.push_back(x.bundleId);
  auto excluded = [&](const RunningApp& app) {
    return app.bundle_id && std::find(never_listed.begin(), never_listed.end(),
                                      std::string_view(*app.bundle_id)) != never_listed.end();
  };

  std::unordered_map<Pid, std::string> app_keys;  // lower-cased names, once per application
  std::vector<Pid> with_windows;
  std::vector<Row> rows;
  rows.reserve(model.order.size());

  for (Wid wid : model.order) {
    // 1. Known window of a known application.
    auto wit = model.windows.find(wid);
    if (wit == model.windows.end()) continue;
    const WindowRecord& rec = wit->second;
    const Pid pid = rec.info.pid;
    auto ait = model.apps.find(pid);
    if (ait == model.apps.end()) continue;
    const RunningApp& app = ait->second;
    // 2. A regular application's ordinary window, not our own.
    if (!app.regular || pid == cx.own_pid || !is_ordinary(rec.info)) continue;
    // 3. Spaces.
    const SpaceId* first_space = nullptr;
    bool visible = false;
    if (!rec.info.spaces.empty()) {
      first_space = &rec.info.spaces.front();
      for (SpaceId s : rec.info.spaces) visible = visible || contains(cx.visible_spaces, s);
    } else if (rec.space) {
      first_space = &*rec.space;
      visible = contains(cx.visible_spaces, *rec.space);
    } else if (!rec.ever_onscreen) {
      continue;
    }
    // 4. Accessibility: only windows in view have elements, so a missing element elsewhere is
    // expected while one in view means this is no real window.
    switch (rec.ax.kind) {
      case AxStatus::Kind::Pending: break;
      case AxStatus::Kind::Found:
        if (!rec.ax.subrole_ok) continue;
        break;
      case AxStatus::Kind::NotFound:
        if (!rec.ever_onscreen || visible) continue;
        break;
    }
    // 5. The application has windows, whatever the filters below decide.
    with_windows.push_back(pid);
    // 6-10. The shortcut's filters.
    if (sc.spaces == SpacesFilter::Visible && first_space != nullptr && !visible) continue;
    if (!passes_apps_filter(sc.apps, pid, cx.front_pid)) continue;
    if (excluded(app)) continue;
    if (sc.screens == 1 && cx.screen) {
      const Rect& s = *cx.screen;
      const double x = rec.info.bounds.x + rec.info.bounds.w / 2;
      const double y = rec.info.bounds.y + rec.info.bounds.h / 2;
      if (!(x >= s.x && x < s.x + s.w && y >= s.y && y < s.y + s.h)) continue;
    }
    if ((sc.minimized == HIDE && rec.minimized) || (sc.hidden == HIDE && app.hidden) ||
        (sc.fullscreen == HIDE && rec.fullscreen))
      continue;
    // 11. Space number, for windows not in view.
    Row row;
    if (first_space != nullptr) {
      auto pos = std::find(cx.user_spaces.begin(), cx.user_spaces.end(), *first_space);
      if (pos != cx.user_spaces.end()) row.space_pos = static_cast<size_t>(pos - cx.user_spaces.begin());
    }
    // 12. The sort row.
    const std::string& title = rec.title ? *rec.title : app.name;
    row.entry = entry::Window{wid,           pid,           title, rec.minimized, app.hidden,
                              rec.fullscreen, std::nullopt};
    if (row.space_pos != NO_POSITION && !visible)
      row.entry.space = static_cast<uint32_t>(row.space_pos + 1);
    row.born = rec.born;
    if (alphabetical) {
      auto [key, fresh] = app_keys.try_emplace(pid);
      if (fresh) key->second = text::lower(app.name);
      row.app_key = &key->second;
      row.title_key = text::lower(title);
    }
    row.sink = (rec.minimized && sc.minimized == SHOW_AT_END) ||
               (app.hidden && sc.hidden == SHOW_AT_END) ||
               (rec.fullscreen && sc.fullscreen == SHOW_AT_END);
    rows.push_back(std::move(row));
  }

  // Sort and split by index, so that the rows themselves never move.
  std::vector<uint32_t> idx(rows.size());
  std::iota(idx.begin(), idx.end(), 0u);
  switch (sc.order) {
    case ORDER_OPENED:
      std::stable_sort(idx.begin(), idx.end(),
                       [&](uint32_t a, uint32_t b) { return rows[a].born > rows[b].born; });
      break;
    case ORDER_ALPHA:
      // std::string compares as unsigned bytes: UTF-8 byte order.
      std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
        const Row &ra = rows[a], &rb = rows[b];
        if (int c = ra.app_key->compare(*rb.app_key); c != 0) return c < 0;
        return ra.title_key < rb.title_key;
      });
      break;
    case ORDER_SPACE:
      std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
        return rows[a].space_pos < rows[b].space_pos;
      });
      break;
    default: break;  // recently used: the model's order stands
  }
  std::stable_partition(idx.begin(), idx.end(), [&](uint32_t i) { return !rows[i].sink; });

  std::vector<Entry> out;
  out.reserve(rows.size());
  for (uint32_t i : idx) out.emplace_back(std::move(rows[i].entry));

  if (sc.windowless == WINDOWLESS_SHOW) {
    std::sort(with_windows.begin(), with_windows.end());
    for (Pid pid : model.app_order) {
      auto ait = model.apps.find(pid);
      if (ait == model.apps.end()) continue;
      const RunningApp& app = ait->second;
      if (!app.regular || pid == cx.own_pid) continue;
      if (std::binary_search(with_windows.begin(), with_windows.end(), pid)) continue;
      const bool has_exception = app.bundle_id && std::any_of(
          cx.exceptions.begin(), cx.exceptions.end(),
          [&](const Exception& x) { return x.hide != 0 && x.bundleId == *app.bundle_id; });
      if (has_exception || !passes_apps_filter(sc.apps, pid, cx.front_pid)) continue;
      out.emplace_back(entry::App{pid, app.name});
    }
  }

  if (sc.apps == APPS_ONE_EACH) {
    std::vector<Pid> listed;
    std::erase_if(out, [&](const Entry& e) {
      const Pid pid = entry_pid(e);
      if (std::find(listed.begin(), listed.end(), pid) != listed.end()) return true;
      listed.push_back(pid);
      return false;
    });
  }
  return out;
}

}  // namespace mirvex
