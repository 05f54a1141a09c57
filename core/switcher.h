// The switcher: the platform-independent state machine behind the panel. Each Input (hotkeys,
// navigation keys, typed characters, modifier changes, pointer events) is answered with a
// short list of Effects for the shell to carry out. It also holds the search ranking, used
// for filtering when search is on and for type-to-jump when it is off. Time comes in with each
// input, and the entries of a summon come from a builder the shell passes in.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/entry_list.h"
#include "core/settings.h"

namespace mirvex {

// One item of a summon: an entry and its application's name (empty when the model does not
// know the application).
struct Item {
  Entry entry;
  std::string app;
  bool operator==(const Item&) const = default;
};

enum class Action : uint8_t { Close, Minimize, Fullscreen, Hide, Quit };

namespace in {
struct Hotkey {
  bool backwards = false;  // pressed with Shift
  bool blind = false;      // the input layer cannot see key events (no tap, secure input)
  size_t slot = 0;
};
struct AppHotkey {
  bool front = false;  // the app is the front app
  size_t slot = 0;     // shortcut count plus app-hotkey index
};
struct Step {
  bool backwards = false;
};
struct Key {
  static constexpr uint8_t UP = 0, DOWN = 1, LEFT = 2, RIGHT = 3, RETURN = 4, ESCAPE = 5;
  uint8_t code = 0;
};
struct Backspace {};
struct Char {
  char32_t c = 0;
};
struct Modifiers {
  bool command = false, option = false, control = false;
};  // held now
struct Click {
  size_t index = 0;
};
struct Hover {
  size_t index = 0;
};
struct Scroll {
  int32_t delta = 0;
};
struct Refresh {};
}  // namespace in

// The variants in their declared order; index() is the variant number.
using Input = std::variant<in::Hotkey, in::AppHotkey, in::Step, in::Key, in::Backspace, in::Char,
                           in::Modifiers, in::Click, in::Hover, in::Scroll, in::Refresh>;

namespace fx {
struct Show {
  std::vector<Entry> entries;
  size_t selected = 0;
  bool operator==(const Show&) const = default;
};
struct Search {
  std::optional<std::string> text;  // absent when the query is empty
  bool operator==(const Search&) const = default;
};
struct Select {
  size_t index = 0;
  bool operator==(const Select&) const = default;
};
struct Dismiss {
  bool operator==(const Dismiss&) const = default;
};
struct Focus {
  Entry entry;
  bool operator==(const Focus&) const = default;
};
struct Act {
  Entry entry;
  Action action = Action::Close;
  bool operator==(const Act&) const = default;
};
struct OpenSettings {
  bool operator==(const OpenSettings&) const = default;
};
}  // namespace fx

using Effect = std::variant<fx::Show, fx::Search, fx::Select, fx::Dismiss, fx::Focus, fx::Act,
                            fx::OpenSettings>;

using Instant = std::chrono::steady_clock::time_point;

// Rank 0 (best) to 4 of `item` for `query`, or none when it does not match. Both sides are
// lower-cased here.
std::optional<uint8_t> rank(std::string_view query, const Item& item);

// One summon, from the trigger to the switch. `all` and `shown` change only through open,
// set_all, unfilter and refilter, which keep the lower-cased search keys in step with them.
struct Session {
  std::vector<Item> all;    // the items of this summon
  std::vector<Item> shown;  // those listed now: all, unless a search filters them
  std::string query;
  Instant typed_at;  // the last typed character, or the summon
  size_t slot = 0;
  size_t selected = 0;  // index into shown
  bool sticky = false;  // stays open when the trigger modifier is released
  uint8_t hold = 0;     // the modifier whose release commits: 0 Command, 1 Option, 2 Control

  static Session open(std::vector<Item> items, size_t slot, size_t selected, bool sticky,
                      uint8_t hold, Instant now);
  // Replaces `all` (not `shown`).
  void set_all(std::vector<Item> items);
  // shown becomes all, in order.
  void unfilter();
  // Search (the query, absent when empty) followed by Show when `with_search`, else Show only.
  std::vector<Effect> show(bool with_search) const;
  // Recomputes shown from all and the query, keeping the selection on the same entry.
  void refilter();
  // The index in shown of the best-ranked item; the lowest index among equals.
  std::optional<size_t> best_match() const;

 private:
  struct Keys {
    std::string app, title;  // lower-cased, computed once per item
  };
  std::vector<Keys> keys_;        // one per item of all
  std::vector<uint32_t> origin_;  // for each item of shown, its index in all
};

class Switcher {
 public:
  // The items of a slot: a shortcut's entries, or an app hotkey's windows.
  using Builder = std::function<std::vector<Item>(size_t slot)>;

  std::vector<Effect> on_input(const Input& input, const Settings& settings, const Builder& builder,
                               Instant now);
  const std::optional<Session>& session() const { return session_; }

 private:
  std::vector<Effect> summon(const Input& input, const Settings& settings, const Builder& builder,
                             Instant now);
  std::vector<Effect> on_char(char32_t c, const Settings& settings, Instant now);
  std::vector<Effect> step(int d);
  std::vector<Effect> commit(size_t i);
  std::vector<Effect> dismiss();

  std::optional<Session> session_;
};

}  // namespace mirvex
