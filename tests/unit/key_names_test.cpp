#include "core/key_names.h"

#include <gtest/gtest.h>

#include <set>

namespace mirvex::keys {
namespace {

TEST(KeyNames, SymbolsFollowControlOptionShiftCommandOrder) {
  EXPECT_EQ(symbols(0), "");
  EXPECT_EQ(symbols(CMD | SHIFT), "⇧⌘");
  EXPECT_EQ(symbols(CMD | OPT | CTRL), "⌃⌥⌘");
  EXPECT_EQ(symbols(CMD | SHIFT | OPT | CTRL), "⌃⌥⇧⌘");
  // Bits outside the four modifiers (caps lock 1024, the low bits) show nothing.
  EXPECT_EQ(symbols(1024 | 1 | OPT), "⌥");
}

TEST(KeyNames, TablesComeBeforeTheLayout) {
  struct Row { uint32_t code; const char* name; };
  for (Row r : {Row{122, "F1"}, Row{111, "F12"}, Row{64, "F17"}, Row{80, "F19"}, Row{36, "↩"},
                Row{48, "⇥"}, Row{49, "␣"}, Row{53, "esc"}, Row{51, "⌫"}, Row{117, "⌦"},
                Row{126, "↑"}, Row{121, "⇟"}})
    EXPECT_EQ(key_name(r.code, [](uint32_t) { return std::optional<std::string>("x"); }), r.name)
        << r.code;
  // Nineteen function keys, fourteen special keys, and no code in both.
  std::set<uint32_t> f, s;
  for (uint32_t c = 0; c < 256; ++c) {
    if (function_key_name(c)) f.insert(c);
    if (special_key_name(c)) s.insert(c);
  }
  EXPECT_EQ(f.size(), 19u);
  EXPECT_EQ(s.size(), 14u);
  for (uint32_t c : f) EXPECT_FALSE(s.count(c)) << c;
  EXPECT_TRUE(is_function_key(96));
  EXPECT_FALSE(is_function_key(40));
}

TEST(KeyNames, LayoutCharactersAreUpperCased) {
  EXPECT_EQ(key_name(40), "K");
  EXPECT_EQ(key_name(0), "A");
  EXPECT_EQ(key_name(18), "1");
  EXPECT_EQ(key_name(50), "`");
  EXPECT_EQ(key_name(83), "1");  // keypad 1
  const KeyboardLayout german = [](uint32_t code) -> std::optional<std::string> {
    if (code == 41) return "ö";
    if (code == 27) return "ß";
    return std::nullopt;
  };
  EXPECT_EQ(key_name(41, german), "Ö");
  EXPECT_EQ(key_name(27, german), "SS");
}

TEST(KeyNames, KeysWithoutAPrintableCharacterAreQuestionMarks) {
  EXPECT_EQ(key_name(76), "?");   // keypad Enter types a control character
  EXPECT_EQ(key_name(127), "?");  // no key
  EXPECT_EQ(key_name(0, nullptr), "?");
  const KeyboardLayout odd = [](uint32_t code) -> std::optional<std::string> {
    if (code == 1) return std::string("\x03", 1);
    if (code == 2) return "";
    return std::string("\xff\xfe");  // not UTF-8
  };
  for (uint32_t code : {1u, 2u, 3u}) EXPECT_EQ(key_name(code, odd), "?") << code;
}

TEST(KeyNames, LabelIsSymbolsThenKeyName) {
  EXPECT_EQ(label(40, CTRL | OPT | CMD), "⌃⌥⌘K");
  EXPECT_EQ(CTRL | OPT | CMD, 6400u);
  EXPECT_EQ(label(96, 0), "F5");
  EXPECT_EQ(label(49, OPT | SHIFT), "⌥⇧␣");
}

}  // namespace
}  // namespace mirvex::keys
