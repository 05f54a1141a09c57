#include "core/entry_list.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "core/text.h"

namespace mirvex {
namespace {

// Shortcut codes.
constexpr uint8_t SHOW_AT_END = 2, HIDE = 1;  // minimized, hidden, fullscreen
constexpr uint8_t WINDOWLESS_SHOW = 0;
constexpr uint8_t APPS_ACTIVE = 1, APPS_OTHER = 2, APPS_ONE_EACH = 3;
constexpr uint8_t ORDER_OPENED = 1, ORDER_ALPHA = 2, ORDER_SPACE = 3;

constexpr uint32_t NO_POSITION = std::numeric_limits<uint32_t>::max();
constexpr uint32_t SINKING = 1u << 31;

// Sort key of one listed window; `win` indexes the windows in walk (MRU) order.
struct Row {
  uint32_t win = 0;
  // Alphabetical only: the application's place among the listed names, with SINKING added.
  uint32_t app = 0;
  Stamp born = 0;
  uint64_t prefix = 0;  // alphabetical only: TitleOrder::packed of the title
  uint32_t space_pos = NO_POSITION;
  bool sink = false;
};

// What list needs of one application, looked up once per call.
struct AppFacts {
  const RunningApp* app = nullptr;
  bool excluded = false;     // an exception with hide 1 names it
  bool has_windows = false;  // a window of it passed the real-window tests
  std::string key;           // lower-cased name (alphabetical only)
  uint32_t ordinal = 0;
};

void quoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
        else
          out += c;
    }
  }
  out += '"';
}

const char* flag(bool b) { return b ? "true" : "false"; }

// Orders titles by their lower-cased UTF-8 bytes without lower-casing most of them: while both
// titles hold ASCII, the lower-cased text is the ASCII-lowered bytes; at the first non-ASCII
// byte of either, both are fully lower-cased once (then kept) and compared. The first eight
// lowered bytes of an ASCII start are packed into an integer, which settles most comparisons.
class TitleOrder {
 public:
  // Never a packed ASCII key: its top byte is 0xFF.
  static constexpr uint64_t NO_PREFIX = UINT64_MAX;

  // The first eight ASCII-lowered bytes, big-endian, padded with 0 so that a prefix sorts
  // first; NO_PREFIX when one of them is not ASCII.
  static uint64_t packed(const std::string& t) {
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i) {
      const auto b = i < t.size() ? static_cast<unsigned char>(t[i]) : 0;
      if (b >= 0x80) return NO_PREFIX;
      key = key << 8 | ascii_lower(b);
    }
    return key;
  }

  explicit TitleOrder(const std::vector<Entry>& wins)
      : wins_(wins), spans_(wins.size(), {0, UNSET}) {}

  // Negative, zero or positive as title a sorts before, with or after title b. `same_prefix`:
  // both packed keys are valid and equal, so the first eight bytes are ASCII and equal once
  // lowered. (Packed keys that differ decide without this call; equal keys decide nothing, as a
  // NUL byte and the padding look alike.)
  int compare(uint32_t a, uint32_t b, bool same_prefix) {
    const std::string& x = title(a);
    const std::string& y = title(b);
    const size_t n = std::min(x.size(), y.size());
    for (size_t i = same_prefix ? std::min<size_t>(n, 8) : 0; i < n; ++i) {
      auto p = static_cast<unsigned char>(x[i]), q = static_cast<unsigned char>(y[i]);
      if ((p | q) >= 0x80) {
        lower(a);
        lower(b);
        return key(a).compare(key(b));
      }
      p = ascii_lower(p);
      q = ascii_lower(q);
      if (p != q) return p < q ? -1 : 1;
    }
    // One is an ASCII prefix of the other; lower-casing never empties the rest.
    return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
  }

 private:
  static constexpr uint32_t UNSET = UINT32_MAX;
  static unsigned char ascii_lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
  }
  void lower(uint32_t w) {
    if (spans_[w].second != UNSET) return;
    const size_t at = arena_.size();
    text::lower_append(arena_, title(w));
    spans_[w] = {static_cast<uint32_t>(at), static_cast<uint32_t>(arena_.size() - at)};
  }
  std::string_view key(uint32_t w) const {
    return std::string_view(arena_).substr(spans_[w].first, spans_[w].second);
  }

  const std::string& title(uint32_t w) const { return std::get<entry::Window>(wins_[w]).title; }

  const std::vector<Entry>& wins_;                    // window entries only
  std::vector<std::pair<uint32_t, uint32_t>> spans_;  // offset and length in arena_
  std::string arena_;
};

// Reorders the first rows.size() entries so that entry i is the one rows[i] names, following
// the permutation's cycles in place.
void place(std::vector<Entry>& entries, std::vector<Row>& rows) {
  constexpr uint32_t DONE = UINT32_MAX;
  for (uint32_t i = 0; i < rows.size(); ++i) {
    if (rows[i].win == DONE || rows[i].win == i) continue;
    Entry first = std::move(entries[i]);
    uint32_t at = i;
    while (rows[at].win != i) {
      const uint32_t from = rows[at].win;
      entries[at] = std::move(entries[from]);
      rows[at].win = DONE;
      at = from;
    }
    entries[at] = std::move(first);
    rows[at].win = DONE;
  }
}

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
    quoted(out, w->title);
    out += fmt::format(", minimized: {}, hidden: {}, fullscreen: {}, space: ", flag(w->minimized),
                       flag(w->hidden), flag(w->fullscreen));
    out += w->space ? fmt::format("Some({})", *w->space) : std::string("None");
  } else {
    const auto& a = std::get<entry::App>(e);
    out = fmt::format("App {{ pid: {}, name: ", a.pid);
    quoted(out, a.name);
  }
  out += " }";
  return out;
}

bool is_ordinary(const WindowInfo& info) {
  return info.layer == 0 && info.alpha > 0 && info.bounds.w >= 50 && info.bounds.h >= 50;
}

std::vector<Entry> list(const Model& model, const ListContext& cx) {
  const Shortcut& sc = cx.shortcut;

  // The applications, once each: dense facts and a pid index into them.
  std::vector<AppFacts> apps;
  apps.reserve(model.apps.size());
  std::unordered_map<Pid, uint32_t> app_index;
  app_index.reserve(model.apps.size());
  for (const auto& [pid, app] : model.apps) {
    AppFacts f;
    f.app = &app;
    f.excluded = app.bundle_id &&
                 std::any_of(cx.exceptions.begin(), cx.exceptions.end(), [&](const Exception& x) {
                   return x.hide == 1 && x.bundleId == *f.app->bundle_id;
                 });
    app_index.emplace(pid, static_cast<uint32_t>(apps.size()));
    apps.push_back(std::move(f));
  }

  // Window entries in walk (MRU) order; put in list order in place once the rows are sorted.
  std::vector<Entry> out;
  out.reserve(model.order.size() + model.app_order.size());
  std::vector<Row> rows;
  rows.reserve(model.order.size());

  for (Wid wid : model.order) {
    // 1. Known window of a known application.
    auto wit = model.windows.find(wid);
    if (wit == model.windows.end()) continue;
    const WindowRecord& rec = wit->second;
    const Pid pid = rec.info.pid;
    auto ait = app_index.find(pid);
    if (ait == app_index.end()) continue;
    AppFacts& facts = apps[ait->second];
    const RunningApp& app = *facts.app;
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
      case AxStatus::Kind::Pending:
        break;
      case AxStatus::Kind::Found:
        if (!rec.ax.subrole_ok) continue;
        break;
      case AxStatus::Kind::NotFound:
        if (!rec.ever_onscreen || visible) continue;
        break;
    }
    // 5. The application has windows, whatever the filters below decide.
    facts.has_windows = true;
    // 6-10. The shortcut's filters.
    if (sc.spaces == SpacesFilter::Visible && first_space != nullptr && !visible) continue;
    if (!passes_apps_filter(sc.apps, pid, cx.front_pid)) continue;
    if (facts.excluded) continue;
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
      if (pos != cx.user_spaces.end())
        row.space_pos = static_cast<uint32_t>(pos - cx.user_spaces.begin());
    }
    // 12. The entry and its sort row.
    const std::string& title = rec.title ? *rec.title : app.name;
    std::optional<uint32_t> space;
    if (row.space_pos != NO_POSITION && !visible) space = row.space_pos + 1;
    row.win = static_cast<uint32_t>(out.size());
    out.emplace_back(
        entry::Window{wid, pid, title, rec.minimized, app.hidden, rec.fullscreen, space});
    row.app = ait->second;
    row.born = rec.born;
    row.sink = (rec.minimized && sc.minimized == SHOW_AT_END) ||
               (app.hidden && sc.hidden == SHOW_AT_END) ||
               (rec.fullscreen && sc.fullscreen == SHOW_AT_END);
    rows.push_back(row);
  }

  // 2-3. One sort does both the order and the split: sinking rows last, then the order's key,
  // then the walk position, which makes the (faster) unstable sort stable.
  const bool any_sink = std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.sink; });
  auto sort_by = [&](auto compare_key) {
    std::sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
      if (a.sink != b.sink) return b.sink;
      if (const int c = compare_key(a, b); c != 0) return c < 0;
      return a.win < b.win;
    });
  };
  auto three_way = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
  switch (sc.order) {
    case ORDER_OPENED:  // newer first
      sort_by([&](const Row& a, const Row& b) { return three_way(b.born, a.born); });
      break;
    case ORDER_ALPHA: {
      // Rank the applications by lower-cased name once (equal names share a rank), so rows
      // compare an integer before their titles. Strings compare as unsigned bytes: UTF-8 order.
      std::vector<uint32_t> by_name;
      for (uint32_t i = 0; i < apps.size(); ++i) {
        if (!apps[i].has_windows) continue;
        apps[i].key = text::lower(apps[i].app->name);
        by_name.push_back(i);
      }
      std::sort(by_name.begin(), by_name.end(),
                [&](uint32_t a, uint32_t b) { return apps[a].key < apps[b].key; });
      for (size_t i = 0; i < by_name.size(); ++i)
        apps[by_name[i]].ordinal = i > 0 && apps[by_name[i]].key == apps[by_name[i - 1]].key
                                       ? apps[by_name[i - 1]].ordinal
                                       : static_cast<uint32_t>(i);
      // Sinking rows last: one integer holds both.
      for (Row& r : rows) {
        r.app = apps[r.app].ordinal | (r.sink ? SINKING : 0);
        r.prefix = TitleOrder::packed(std::get<entry::Window>(out[r.win]).title);
      }
      TitleOrder titles(out);
      std::sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
        if (a.app != b.app) return a.app < b.app;
        const bool packed = a.prefix != TitleOrder::NO_PREFIX && b.prefix != TitleOrder::NO_PREFIX;
        if (packed && a.prefix != b.prefix) return a.prefix < b.prefix;
        if (const int c = titles.compare(a.win, b.win, packed); c != 0) return c < 0;
        return a.win < b.win;
      });
      break;
    }
    case ORDER_SPACE:  // no Space (the largest position) last
      sort_by([&](const Row& a, const Row& b) { return three_way(a.space_pos, b.space_pos); });
      break;
    default:  // recently used: the model's order stands; sinking rows move to the end
      if (any_sink)
        std::stable_partition(rows.begin(), rows.end(), [](const Row& r) { return !r.sink; });
      break;
  }
  place(out, rows);

  // 4. Applications without listed windows.
  if (sc.windowless == WINDOWLESS_SHOW) {
    for (Pid pid : model.app_order) {
      auto ait = app_index.find(pid);
      if (ait == app_index.end()) continue;
      const AppFacts& facts = apps[ait->second];
      const RunningApp& app = *facts.app;
      if (!app.regular || pid == cx.own_pid || facts.has_windows) continue;
      const bool has_exception =
          app.bundle_id &&
          std::any_of(cx.exceptions.begin(), cx.exceptions.end(), [&](const Exception& x) {
            return x.hide != 0 && x.bundleId == *app.bundle_id;
          });
      if (has_exception || !passes_apps_filter(sc.apps, pid, cx.front_pid)) continue;
      out.emplace_back(entry::App{pid, app.name});
    }
  }

  // 5. One entry per application.
  if (sc.apps == APPS_ONE_EACH) {
    std::vector<bool> listed(apps.size());
    std::erase_if(out, [&](const Entry& e) {
      const uint32_t i = app_index.at(entry_pid(e));
      if (listed[i]) return true;
      listed[i] = true;
      return false;
    });
  }
  return out;
}

}  // namespace mirvex
