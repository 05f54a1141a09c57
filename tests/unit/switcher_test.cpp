#include "core/switcher.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace mirvex {
namespace {

using namespace std::chrono_literals;

Item win(Wid wid, std::string title, std::string app) {
  return {entry::Window{wid, static_cast<Pid>(wid * 10), std::move(title), false, false, false,
                        std::nullopt},
          std::move(app)};
}
Item app(Pid pid, std::string name) { return {entry::App{pid, name}, name}; }

std::string brief(const Entry& e) {
  if (const auto* w = std::get_if<entry::Window>(&e)) return fmt::format("w{}", w->wid);
  return fmt::format("a{}", std::get<entry::App>(e).pid);
}

// Effects as compact text: "Search(x) Show(w1 w2 @1) Select(2) Dismiss Focus(w2) Act(w2 Close)".
std::string text(const std::vector<Effect>& effects) {
  static const char* const ACTIONS[] = {"Close", "Minimize", "Fullscreen", "Hide", "Quit"};
  std::string out;
  for (const Effect& e : effects) {
    if (!out.empty()) out += ' ';
    if (const auto* s = std::get_if<fx::Show>(&e)) {
      out += "Show(";
      for (const Entry& en : s->entries) out += brief(en) + ' ';
      out += fmt::format("@{})", s->selected);
    } else if (const auto* s = std::get_if<fx::Search>(&e)) {
      out += fmt::format("Search({})", s->text ? *s->text : "none");
    } else if (const auto* s = std::get_if<fx::Select>(&e)) {
      out += fmt::format("Select({})", s->index);
    } else if (std::holds_alternative<fx::Dismiss>(e)) {
      out += "Dismiss";
    } else if (const auto* s = std::get_if<fx::Focus>(&e)) {
      out += "Focus(" + brief(s->entry) + ")";
    } else if (const auto* s = std::get_if<fx::Act>(&e)) {
      out += fmt::format("Act({} {})", brief(s->entry), ACTIONS[static_cast<int>(s->action)]);
    } else {
      out += "OpenSettings";
    }
  }
  return out;
}

// A switcher with a scripted builder and a clock the test moves.
struct Rig {
  Switcher sw;
  Settings st = Settings::defaults();
  std::vector<Item> items{win(1, "Inbox", "Mail"), win(2, "Notes", "Notes"),
                          win(3, "Docs", "Safari")};
  std::vector<size_t> asked;
  Instant now{100s};

  std::string send(const Input& input, std::chrono::milliseconds after = 0ms) {
    now += after;
    return text(sw.on_input(
        input, st,
        [&](size_t slot) {
          asked.push_back(slot);
          return items;
        },
        now));
  }
  std::string summon(bool backwards = false) { return send(in::Hotkey{backwards, false, 0}); }
  bool open() const { return sw.session().has_value(); }
};

TEST(Rank, Examples) {
  struct Case {
    const char* query;
    Item item;
    std::optional<uint8_t> rank;
  };
  const Case cases[] = {
      {"te", win(1, "Main", "Terminal"), 0},
      {"TE", win(1, "Main", "Terminal"), 0},       // both sides lower-cased
      {"te", win(1, "Quick Test", "Editor"), 2},   // word prefix
      {"est", win(1, "Quick Test", "Editor"), 3},  // anywhere
      {"qt", win(1, "Quick Test", "Editor"), 4},   // in order
      {"tq", win(1, "Quick Test", "Editor"), std::nullopt},
      {"qu", win(1, "Quick Test", "Editor"), 1},   // title prefix
      {"k t", win(1, "Quick Test", "Editor"), 3},  // a separator never matches a word
      {"", win(1, "x", "y"), 0},
      {"éc", win(1, "x", "École"), 0},  // Unicode lower-casing
      {"ού", win(1, "ΟΔΟΣ ΟΎΤΩ", "x"), 2},
      {"ma", app(4, "Mail"), 0},
      {"x", win(1, "", ""), std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rank(c.query, c.item), c.rank) << c.query << " / " << brief(c.item.entry);
}

TEST(Session, RefilterOrdersByRankKeepsAllOrderAndSelection) {
  Session s =
      Session::open({win(1, "Quick Test", "Editor"), win(2, "tests", "Finder"),
                     win(3, "Other", "Terminal"), win(4, "zzz", "zzz"), win(5, "Tea", "Mail")},
                    0, 2, false, 0, Instant{});
  s.query = "TE";
  s.refilter();
  ASSERT_EQ(s.shown.size(), 4u);
  // Terminal (0), tests and Tea (1, in `all` order), Quick Test (2); zzz dropped.
  std::vector<Wid> wids;
  for (const Item& i : s.shown) wids.push_back(std::get<entry::Window>(i.entry).wid);
  EXPECT_EQ(wids, (std::vector<Wid>{3, 2, 5, 1}));
  EXPECT_EQ(s.selected, 0u);  // window 3 was selected and now comes first
  s.selected = 3;             // window 1
  s.query = "q";
  s.refilter();
  EXPECT_EQ(s.selected, 0u);
  s.query = "";
  s.refilter();
  EXPECT_EQ(s.selected, 0u);  // window 1 is first in all
  EXPECT_EQ(s.best_match(), 0u);
  s.query = "zz";
  s.refilter();
  s.query = "nothing";
  s.refilter();  // window 4 is gone: selection falls back to 0 of an empty list
  EXPECT_TRUE(s.shown.empty());
  EXPECT_EQ(s.selected, 0u);
  EXPECT_EQ(s.best_match(), std::nullopt);
}

TEST(Session, RefilterMatchesApplicationEntriesByPidAndName) {
  Session s = Session::open({app(7, "Mail"), app(7, "Mail Helper"), app(8, "Maps")}, 0, 1, false, 0,
                            Instant{});
  s.query = "ma";
  s.refilter();
  EXPECT_EQ(s.selected, 1u);
  s.query = "mai";
  s.selected = 1;
  s.refilter();
  EXPECT_EQ(brief(s.shown[s.selected].entry), "a7");
  EXPECT_EQ(std::get<entry::App>(s.shown[s.selected].entry).name, "Mail Helper");
}

TEST(Switcher, SummonSelection) {
  Rig r;
  EXPECT_EQ(r.summon(), "Show(w1 w2 w3 @1)");
  r.sw = {};
  EXPECT_EQ(r.summon(true), "Show(w1 w2 w3 @2)");
  r.sw = {};
  EXPECT_EQ(r.send(in::AppHotkey{false, 5}), "Show(w1 w2 w3 @0)");
  EXPECT_EQ(r.asked, (std::vector<size_t>{0, 0, 5}));
  r.sw = {};
  EXPECT_EQ(r.send(in::AppHotkey{true, 5}), "Show(w1 w2 w3 @1)");
  r.sw = {};
  r.st.search = true;
  EXPECT_EQ(r.summon(), "Search(none) Show(w1 w2 w3 @1)");

  r.items.resize(1);
  for (bool backwards : {false, true}) {
    r.sw = {};
    EXPECT_EQ(r.summon(backwards), "Search(none) Show(w1 @0)");
    r.sw = {};
    EXPECT_EQ(r.send(in::AppHotkey{true, 5}), "Search(none) Show(w1 @0)");
  }
}

TEST(Switcher, WithoutSessionOnlyHotkeysSummon) {
  Rig r;
  const Input others[] = {in::Step{},      in::Key{in::Key::RETURN},
                          in::Backspace{}, in::Char{U'a'},
                          in::Modifiers{}, in::Click{0},
                          in::Hover{0},    in::Scroll{1},
                          in::Refresh{}};
  for (const Input& i : others) EXPECT_EQ(r.send(i), "") << i.index();
  EXPECT_FALSE(r.open());
  EXPECT_TRUE(r.asked.empty());
  r.items.clear();  // nothing to show: no session
  EXPECT_EQ(r.summon(), "");
  EXPECT_FALSE(r.open());
}

TEST(Switcher, ReleasingTheHoldModifierCommits) {
  Rig r;
  r.summon();
  EXPECT_EQ(r.send(in::Modifiers{true, false, false}), "");
  EXPECT_EQ(r.send(in::Modifiers{true, true, true}), "");
  EXPECT_EQ(r.send(in::Modifiers{false, true, true}), "Dismiss Focus(w2)");
  EXPECT_FALSE(r.open());
}

TEST(Switcher, HoldModifierPerSlot) {
  struct Case {
    Input summon;
    uint8_t hold;
  };
  Settings st = Settings::defaults();
  st.appHotkeys = {{"a", "", 1, 0x100 | 0x800},
                   {"b", "", 1, 0x800 | 0x1000},
                   {"c", "", 1, 0x1000},
                   {"d", "", 1, 0x200}};
  const Case cases[] = {
      {in::Hotkey{false, false, 0}, 0},  // default slot 0 holds Command
      {in::Hotkey{false, false, 1}, 1},  // slot 1: Option
      {in::Hotkey{false, false, 2}, 2},  // slot 2: Control
      {in::Hotkey{false, false, 9}, 1},  // past the last: the last shortcut's (slot 4, Option)
      {in::AppHotkey{false, 5}, 0},      // Command wins
      {in::AppHotkey{false, 6}, 1},      // then Option
      {in::AppHotkey{false, 7}, 2},     {in::AppHotkey{false, 8}, 2},  // Shift only: Control
      {in::AppHotkey{false, 42}, 2},                                   // no such app hotkey
  };
  for (const Case& c : cases) {
    Switcher sw;
    sw.on_input(
        c.summon, st, [](size_t) { return std::vector<Item>{win(1, "a", "b")}; }, Instant{});
    ASSERT_TRUE(sw.session());
    EXPECT_EQ(sw.session()->hold, c.hold) << c.summon.index() << " hold " << int(c.hold);
  }
}

TEST(Switcher, StickySessionsSurviveRelease) {
  Rig r;
  r.st.afterRelease = 1;
  r.summon();
  EXPECT_EQ(r.send(in::Modifiers{}), "");
  EXPECT_TRUE(r.open());
  EXPECT_EQ(r.send(in::Key{in::Key::RETURN}), "Dismiss Focus(w2)");

  r.send(in::Hotkey{false, true, 0});  // blind: the release is all we will see
  EXPECT_EQ(r.send(in::Modifiers{}), "Dismiss Focus(w2)");
  r.send(in::AppHotkey{true, 5});  // app hotkeys are never sticky
  EXPECT_EQ(r.send(in::Modifiers{}), "Dismiss Focus(w2)");
}

TEST(Switcher, SteppingWraps) {
  Rig r;
  r.summon();
  EXPECT_EQ(r.send(in::Hotkey{false, false, 0}), "Select(2)");
  EXPECT_EQ(r.send(in::Step{false}), "Select(0)");
  EXPECT_EQ(r.send(in::Step{true}), "Select(2)");
  EXPECT_EQ(r.send(in::Hotkey{true, false, 3}), "Select(1)");
  EXPECT_EQ(r.send(in::AppHotkey{false, 5}), "Select(2)");
  EXPECT_EQ(r.send(in::Key{in::Key::DOWN}), "Select(0)");
  EXPECT_EQ(r.send(in::Key{in::Key::LEFT}), "Select(2)");
  EXPECT_EQ(r.send(in::Key{in::Key::RIGHT}), "Select(0)");
  EXPECT_EQ(r.send(in::Key{in::Key::UP}), "Select(2)");
  r.items.resize(1);
  r.sw = {};
  r.summon();
  EXPECT_EQ(r.send(in::Step{}), "Select(0)");  // also when the index does not change
  r.st.arrows = false;
  EXPECT_EQ(r.send(in::Key{in::Key::DOWN}), "");
}

TEST(Switcher, PointerInputs) {
  Rig r;
  r.summon();
  EXPECT_EQ(r.send(in::Hover{0}), "");   // hover off
  EXPECT_EQ(r.send(in::Scroll{3}), "");  // scroll off
  r.st.hover = r.st.scroll = true;
  EXPECT_EQ(r.send(in::Hover{0}), "Select(0)");
  EXPECT_EQ(r.send(in::Hover{3}), "");
  EXPECT_EQ(r.send(in::Scroll{-120}), "Select(2)");
  EXPECT_EQ(r.send(in::Scroll{0}), "");
  EXPECT_EQ(r.send(in::Scroll{5}), "Select(0)");
  EXPECT_EQ(r.send(in::Click{3}), "");
  EXPECT_TRUE(r.open());
  EXPECT_EQ(r.send(in::Click{2}), "Dismiss Focus(w3)");
}

TEST(Switcher, KeysEndTheSession) {
  Rig r;
  r.summon();
  EXPECT_EQ(r.send(in::Key{in::Key::ESCAPE}), "Dismiss");
  r.summon();
  EXPECT_EQ(r.send(in::Key{77}), "Dismiss");
  r.summon();
  EXPECT_EQ(r.send(in::Backspace{}), "");  // not searching: nothing
  EXPECT_EQ(r.send(in::Key{in::Key::RETURN}), "Dismiss Focus(w2)");
  EXPECT_FALSE(r.open());
}

TEST(Switcher, TypeToJumpWithinOneSecond) {
  Rig r;
  r.items = {win(1, "Inbox", "Mail"), win(2, "Todo", "Notes"), win(3, "Draft", "Sketch"),
             win(4, "Home", "Safari"), win(5, "Map", "Atlas")};
  r.summon();
  EXPECT_EQ(r.send(in::Char{U's'}), "Select(2)");          // Sketch
  EXPECT_EQ(r.send(in::Char{U'a'}, 999ms), "Select(3)");   // "sa": Safari
  EXPECT_EQ(r.send(in::Char{U'a'}, 1000ms), "Select(4)");  // a new query "a": Atlas
  EXPECT_EQ(r.send(in::Char{U'Z'}, 2000ms), "");           // no match: selection stays
  EXPECT_EQ(r.sw.session()->query, "Z");
  // An action key typed within the second is part of the query.
  EXPECT_EQ(r.send(in::Char{U'q'}, 10s), "Act(w5 Quit)");
  EXPECT_EQ(r.send(in::Char{U'i'}, 10s), "Select(0)");  // Inbox
  EXPECT_EQ(r.send(in::Char{U'q'}, 500ms), "");
  EXPECT_EQ(r.sw.session()->query, "iq");
  EXPECT_TRUE(r.open());
}

TEST(Switcher, ActionKeys) {
  struct Case {
    char32_t c;
    std::string effects;
  };
  const Case cases[] = {
      {U'w', "Act(w2 Close)"},      {U'W', "Act(w2 Close)"}, {U'm', "Act(w2 Minimize)"},
      {U'f', "Act(w2 Fullscreen)"}, {U'h', "Act(w2 Hide)"},  {U'Q', "Act(w2 Quit)"},
  };
  for (const Case& c : cases) {
    Rig r;
    r.summon();
    EXPECT_EQ(r.send(in::Char{c.c}), c.effects) << static_cast<char>(c.c);
    EXPECT_TRUE(r.open());  // the session stays for the refresh that follows
  }
  Rig r;
  r.st.closeKey = U'X';  // lower-cased on both sides
  r.st.quitKey = std::nullopt;
  r.summon();
  EXPECT_EQ(r.send(in::Char{U'x'}), "Act(w2 Close)");
  EXPECT_EQ(r.send(in::Char{U'q'}, 5s), "");  // not an action any more: typed
  EXPECT_EQ(r.sw.session()->query, "q");
}

TEST(Switcher, SemicolonOpensSettingsUnlessTyping) {
  Rig r;
  r.summon();
  EXPECT_EQ(r.send(in::Char{U';'}), "Dismiss OpenSettings");
  EXPECT_FALSE(r.open());
  r.summon();
  r.send(in::Char{U'n'});
  EXPECT_EQ(r.send(in::Char{U';'}, 100ms), "");
  EXPECT_EQ(r.sw.session()->query, "n;");
}

TEST(Switcher, VimKeysMoveInsteadOfActing) {
  Rig r;
  r.st.vim = true;
  r.summon();
  EXPECT_EQ(r.send(in::Char{U'j'}), "Select(2)");
  EXPECT_EQ(r.send(in::Char{U'L'}), "Select(0)");
  EXPECT_EQ(r.send(in::Char{U'k'}), "Select(2)");
  EXPECT_EQ(r.send(in::Char{U'H'}), "Select(1)");
  EXPECT_EQ(r.sw.session()->query, "");
  // While searching they are typed.
  r.st.search = true;
  r.send(in::Char{U'n'});
  EXPECT_EQ(r.send(in::Char{U'j'}), "Search(nj) Show(@0)");
}

TEST(Switcher, DigitHints) {
  Rig r;
  r.st.hints = true;
  r.summon();
  EXPECT_EQ(r.send(in::Char{U'4'}), "");  // beyond the list
  EXPECT_EQ(r.send(in::Char{U'0'}), "");  // index 9
  EXPECT_TRUE(r.open());
  EXPECT_EQ(r.send(in::Char{U'3'}), "Dismiss Focus(w3)");
  r.items.resize(10, win(9, "x", "y"));
  r.items[9] = win(10, "ten", "t");
  r.summon();
  EXPECT_EQ(r.send(in::Char{U'0'}), "Dismiss Focus(w10)");
  // Hints off: a digit is typed.
  r.st.hints = false;
  r.summon();
  EXPECT_EQ(r.send(in::Char{U'1'}), "");
  EXPECT_EQ(r.sw.session()->query, "1");
}

TEST(Switcher, SearchFiltersAndEscapeClearsThenDismisses) {
  Rig r;
  r.st.search = true;
  r.st.hints = true;
  r.items = {win(1, "Inbox", "Mail"), win(2, "Notes", "Notes"), win(3, "Docs", "Safari"),
             win(4, "Plan 2", "Notes")};
  r.summon();
  EXPECT_EQ(r.send(in::Char{U'N'}), "Search(N) Show(w2 w4 w1 @0)");
  EXPECT_EQ(r.send(in::Char{U'2'}, 5s), "Search(N2) Show(w4 @0)");  // searching: typed, not a hint
  EXPECT_EQ(r.send(in::Char{U'w'}, 5s), "Search(N2w) Show(@0)");    // nor an action
  EXPECT_EQ(r.send(in::Step{}), "");                                // empty list: nothing
  EXPECT_EQ(r.send(in::Backspace{}), "Search(N2) Show(w4 @0)");
  EXPECT_EQ(r.send(in::Backspace{}), "Search(N) Show(w2 w4 w1 @1)");  // w4 stays selected
  EXPECT_EQ(r.send(in::Key{in::Key::ESCAPE}), "Search(none) Show(w1 w2 w3 w4 @3)");
  EXPECT_TRUE(r.open());
  EXPECT_EQ(r.send(in::Key{in::Key::ESCAPE}), "Dismiss");
  EXPECT_FALSE(r.open());
}

TEST(Switcher, BackspaceRemovesWholeCharacters) {
  Rig r;
  r.st.search = true;
  r.items = {win(1, "café", "x"), win(2, "cafe", "y")};
  r.summon();
  r.send(in::Char{U'c'});
  r.send(in::Char{U'é'});
  EXPECT_EQ(r.send(in::Char{U'😀'}), "Search(cé😀) Show(@0)");
  EXPECT_EQ(r.send(in::Backspace{}), "Search(cé) Show(w1 @0)");
  EXPECT_EQ(r.send(in::Backspace{}), "Search(c) Show(w1 w2 @0)");
  EXPECT_EQ(r.send(in::Backspace{}), "Search(none) Show(w1 w2 @0)");
  EXPECT_EQ(r.send(in::Backspace{}), "");  // no longer searching
  // Not a Unicode scalar value: ignored, never appended.
  EXPECT_EQ(r.send(in::Char{0xD800}), "");
  EXPECT_EQ(r.send(in::Char{0x110000}), "");
  EXPECT_EQ(r.sw.session()->query, "");
}

TEST(Switcher, ReturnOnEmptyListOnlyDismisses) {
  Rig r;
  r.st.search = true;
  r.summon();
  r.send(in::Char{U'z'});
  EXPECT_EQ(r.send(in::Key{in::Key::RETURN}), "Dismiss");
}

TEST(Switcher, RefreshRebuildsTheList) {
  Rig r;
  r.summon(true);  // @2
  r.items = {win(1, "Inbox", "Mail"), win(4, "New", "Notes")};
  EXPECT_EQ(r.send(in::Refresh{}), "Show(w1 w4 @1)");  // clamped
  EXPECT_EQ(r.asked, (std::vector<size_t>{0, 0}));
  r.items.clear();
  EXPECT_EQ(r.send(in::Refresh{}), "Dismiss");
  EXPECT_FALSE(r.open());

  // While searching the new list is filtered and the selection follows its window.
  r.st.search = true;
  r.items = {win(1, "Inbox", "Mail"), win(2, "Notes", "Notes"), win(3, "Nav", "Maps")};
  r.summon();
  r.send(in::Char{U'n'});
  EXPECT_EQ(r.send(in::Step{}), "Select(1)");  // w3
  r.items = {win(5, "Note 2", "Notes"), win(1, "Inbox", "Mail"), win(3, "Nav", "Maps")};
  EXPECT_EQ(r.send(in::Refresh{}), "Search(n) Show(w5 w3 w1 @1)");
  // Search on but no query: the whole list, with the empty search field; escape kept w3.
  EXPECT_EQ(r.send(in::Key{in::Key::ESCAPE}), "Search(none) Show(w5 w1 w3 @2)");
  r.items.pop_back();
  EXPECT_EQ(r.send(in::Refresh{}), "Search(none) Show(w5 w1 @1)");
}

}  // namespace
}  // namespace mirvex
