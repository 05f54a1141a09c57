#include "core/switcher.h"

#include <array>

#include "core/text.h"

namespace mirvex {
namespace {

constexpr auto TYPING_WINDOW = std::chrono::seconds(1);
constexpr uint32_t CMD_BIT = 0x100, OPTION_BIT = 0x800;  // Carbon modifier mask
constexpr uint8_t HOLD_COMMAND = 0, HOLD_OPTION = 1, HOLD_CONTROL = 2;

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

const std::string& item_title(const Item& item) {
  if (const auto* w = std::get_if<entry::Window>(&item.entry)) return w->title;
  return std::get<entry::App>(item.entry).name;
}

// A query prepared once for ranking many items.
struct Query {
  std::string text;  // lower-cased
  bool word;         // no separator: may be a word prefix

  explicit Query(std::string_view query)
      : text(text::lower(query)), word(!text::has_separator(text)) {}
};

// Rank of lower-cased keys.
std::optional<uint8_t> rank_keys(const Query& query, std::string_view n, std::string_view t) {
  const std::string_view q = query.text;
  if (n.starts_with(q)) return 0;
  if (t.starts_with(q)) return 1;
  const text::Found in_n = text::find_in(n, q, query.word);
  if (in_n == text::Found::WordStart) return 2;
  const text::Found in_t = text::find_in(t, q, query.word);
  if (in_t == text::Found::WordStart) return 2;
  if (in_n == text::Found::Anywhere || in_t == text::Found::Anywhere) return 3;
  if (text::subsequence(n, q) || text::subsequence(t, q)) return 4;
  return std::nullopt;
}

// The same listed entry: a window by its wid, an application by its pid and name.
bool same_entry(const Entry& a, const Entry& b) {
  if (const auto* wa = std::get_if<entry::Window>(&a)) {
    const auto* wb = std::get_if<entry::Window>(&b);
    return wb && wa->wid == wb->wid;
  }
  const auto* ab = std::get_if<entry::App>(&b);
  const auto& aa = std::get<entry::App>(a);
  return ab && aa.pid == ab->pid && aa.name == ab->name;
}

char32_t ascii_lower(char32_t c) { return c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c; }

std::optional<Action> action_for(char32_t c, const Settings& s) {
  const std::array<std::pair<CharKey, Action>, 5> keys{{{s.closeKey, Action::Close},
                                                        {s.minimizeKey, Action::Minimize},
                                                        {s.fullscreenKey, Action::Fullscreen},
                                                        {s.hideKey, Action::Hide},
                                                        {s.quitKey, Action::Quit}}};
  for (const auto& [key, action] : keys)
    if (key && ascii_lower(*key) == ascii_lower(c)) return action;
  return std::nullopt;
}

bool is_scalar(char32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

uint8_t hold_of(const Input& input, const Settings& s) {
  if (const auto* h = std::get_if<in::Hotkey>(&input)) {
    if (s.shortcuts.empty()) return HOLD_COMMAND;
    return s.shortcuts[std::min(h->slot, s.shortcuts.size() - 1)].hold;
  }
  // App-hotkey slots follow the shortcut slots.
  const size_t slot = std::get<in::AppHotkey>(input).slot;
  const size_t first = s.shortcuts.size();
  const bool known = slot >= first && slot - first < s.appHotkeys.size();
  const uint32_t mods = known ? s.appHotkeys[slot - first].mods : 0;
  if (mods & CMD_BIT) return HOLD_COMMAND;
  if (mods & OPTION_BIT) return HOLD_OPTION;
  return HOLD_CONTROL;
}

}  // namespace

std::optional<uint8_t> rank(std::string_view query, const Item& item) {
  return rank_keys(Query(query), text::lower(item.app), text::lower(item_title(item)));
}

// ---- Session ----

Session Session::open(std::vector<Item> items, size_t slot, size_t selected, bool sticky,
                      uint8_t hold, Instant now) {
  Session s;
  s.set_all(std::move(items));
  s.unfilter();
  s.typed_at = now;
  s.slot = slot;
  s.selected = selected;
  s.sticky = sticky;
  s.hold = hold;
  return s;
}

void Session::set_all(std::vector<Item> items) {
  all = std::move(items);
  keys_.clear();
  keys_.reserve(all.size());
  for (const Item& item : all)
    keys_.push_back({text::lower(item.app), text::lower(item_title(item))});
}

void Session::unfilter() {
  shown = all;
  origin_.resize(all.size());
  for (uint32_t i = 0; i < origin_.size(); ++i) origin_[i] = i;
}

std::vector<Effect> Session::show(bool with_search) const {
  std::vector<Effect> out;
  if (with_search)
    out.emplace_back(fx::Search{query.empty() ? std::nullopt : std::optional<std::string>(query)});
  fx::Show s;
  s.entries.reserve(shown.size());
  for (const Item& item : shown) s.entries.push_back(item.entry);
  s.selected = selected;
  out.emplace_back(std::move(s));
  return out;
}

void Session::refilter() {
  std::optional<Entry> remembered;
  if (selected < shown.size()) remembered = shown[selected].entry;

  const Query q(query);
  // Ranks are 0..4: bucket by rank, which keeps the order of `all` within each rank.
  std::array<std::vector<uint32_t>, 5> buckets;
  for (uint32_t i = 0; i < all.size(); ++i)
    if (auto r = rank_keys(q, keys_[i].app, keys_[i].title)) buckets[*r].push_back(i);

  origin_.clear();
  for (const auto& b : buckets) origin_.insert(origin_.end(), b.begin(), b.end());
  shown.clear();
  shown.reserve(origin_.size());
  for (uint32_t i : origin_) shown.push_back(all[i]);

  selected = 0;
  if (!remembered) return;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (same_entry(shown[i].entry, *remembered)) {
      selected = i;
      return;
    }
  }
}

std::optional<size_t> Session::best_match() const {
  const Query q(query);
  std::optional<size_t> best;
  uint8_t best_rank = 0;
  for (size_t i = 0; i < shown.size(); ++i) {
    const Keys& k = keys_[origin_[i]];
    auto r = rank_keys(q, k.app, k.title);
    if (r && (!best || *r < best_rank)) {
      best = i;
      best_rank = *r;
      if (best_rank == 0) break;
    }
  }
  return best;
}

// ---- Switcher ----

std::vector<Effect> Switcher::dismiss() {
  session_.reset();
  return {fx::Dismiss{}};
}

std::vector<Effect> Switcher::commit(size_t i) {
  std::optional<Entry> chosen;
  if (i < session_->shown.size()) chosen = session_->shown[i].entry;
  session_.reset();
  std::vector<Effect> out{fx::Dismiss{}};
  if (chosen) out.emplace_back(fx::Focus{std::move(*chosen)});
  return out;
}

std::vector<Effect> Switcher::step(int d) {
  Session& s = *session_;
  if (s.shown.empty()) return {};
  const auto n = static_cast<long long>(s.shown.size());
  const long long next = ((static_cast<long long>(s.selected) + d) % n + n) % n;
  s.selected = static_cast<size_t>(next);
  return {fx::Select{s.selected}};
}

std::vector<Effect> Switcher::summon(const Input& input, const Settings& settings,
                                     const Builder& builder, Instant now) {
  const auto* hotkey = std::get_if<in::Hotkey>(&input);
  const auto* app_hotkey = std::get_if<in::AppHotkey>(&input);
  if (hotkey == nullptr && app_hotkey == nullptr) return {};

  const uint8_t hold = hold_of(input, settings);
  const size_t slot = hotkey ? hotkey->slot : app_hotkey->slot;
  std::vector<Item> items = builder(slot);
  if (items.empty()) return {};

  size_t selected = 0;
  if (items.size() > 1) {
    if (hotkey)
      selected = hotkey->backwards ? items.size() - 1 : 1;
    else
      selected = app_hotkey->front ? 1 : 0;
  }
  const bool sticky = hotkey && !hotkey->blind && settings.afterRelease == 1;
  session_ = Session::open(std::move(items), slot, selected, sticky, hold, now);
  return session_->show(settings.search);
}

std::vector<Effect> Switcher::on_input(const Input& input, const Settings& settings,
                                       const Builder& builder, Instant now) {
  if (!session_) return summon(input, settings, builder, now);
  Session& s = *session_;
  const bool searching = settings.search && !s.query.empty();

  const auto handle = Overload{
      [&](const in::Hotkey& h) { return step(h.backwards ? -1 : 1); },
      [&](const in::AppHotkey&) { return step(1); },
      [&](const in::Step& st) { return step(st.backwards ? -1 : 1); },
      [&](const in::Key& k) -> std::vector<Effect> {
        switch (k.code) {
          case in::Key::UP:
          case in::Key::LEFT:
            return settings.arrows ? step(-1) : std::vector<Effect>{};
          case in::Key::DOWN:
          case in::Key::RIGHT:
            return settings.arrows ? step(1) : std::vector<Effect>{};
          case in::Key::RETURN:
            return commit(s.selected);
          case in::Key::ESCAPE:
            if (!searching) return dismiss();
            s.query.clear();
            s.refilter();
            return s.show(true);
          default:
            return dismiss();
        }
      },
      [&](const in::Backspace&) -> std::vector<Effect> {
        if (!searching) return {};
        text::pop_utf8(s.query);
        s.refilter();
        return s.show(true);
      },
      [&](const in::Char& c) { return on_char(c.c, settings, now); },
      [&](const in::Modifiers& m) -> std::vector<Effect> {
        if (s.sticky) return {};
        const bool held = s.hold == HOLD_COMMAND  ? m.command
                          : s.hold == HOLD_OPTION ? m.option
                                                  : m.control;
        if (held) return {};
        return commit(s.selected);
      },
      [&](const in::Click& c) -> std::vector<Effect> {
        if (c.index >= s.shown.size()) return {};
        return commit(c.index);
      },
      [&](const in::Hover& h) -> std::vector<Effect> {
        if (!settings.hover || h.index >= s.shown.size()) return {};
        s.selected = h.index;
        return {fx::Select{h.index}};
      },
      [&](const in::Scroll& sc) -> std::vector<Effect> {
        if (!settings.scroll || sc.delta == 0) return {};
        return step(sc.delta > 0 ? 1 : -1);
      },
      [&](const in::Refresh&) -> std::vector<Effect> {
        std::vector<Item> items = builder(s.slot);
        if (items.empty()) return dismiss();
        s.set_all(std::move(items));
        if (searching)
          s.refilter();
        else
          s.unfilter();
        if (!s.shown.empty())
          s.selected = std::min(s.selected, s.shown.size() - 1);
        else
          s.selected = 0;
        return s.show(settings.search);
      },
  };
  return std::visit(handle, input);
}

std::vector<Effect> Switcher::on_char(char32_t c, const Settings& settings, Instant now) {
  Session& s = *session_;
  if (!is_scalar(c)) return {};  // not a character: nothing to match or type
  const bool searching = settings.search && !s.query.empty();

  if (settings.vim && !searching) {
    switch (ascii_lower(c)) {
      case U'h':
      case U'k':
        return step(-1);
      case U'j':
      case U'l':
        return step(1);
      default:
        break;
    }
  }
  if (!searching && settings.hints && c >= U'0' && c <= U'9') {
    const size_t index = c == U'0' ? 9 : static_cast<size_t>(c - U'1');
    if (index < s.shown.size()) return commit(index);
    return {};
  }

  const bool typing = searching || (!s.query.empty() && now - s.typed_at < TYPING_WINDOW);
  const std::optional<Action> action = action_for(c, settings);
  if (c == U';' && !typing) {
    session_.reset();
    return {fx::Dismiss{}, fx::OpenSettings{}};
  }
  if (!action || typing) {
    if (!typing) s.query.clear();
    text::append_utf8(s.query, c);
    s.typed_at = now;
    if (settings.search) {
      s.refilter();
      s.selected = 0;
      return s.show(true);
    }
    if (auto best = s.best_match(); best && *best != s.selected) {
      s.selected = *best;
      return {fx::Select{*best}};
    }
    return {};
  }
  if (s.selected < s.shown.size()) return {fx::Act{s.shown[s.selected].entry, *action}};
  return {};
}

}  // namespace mirvex
