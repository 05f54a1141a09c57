#include "core/text.h"

#include <gtest/gtest.h>

namespace mirvex::text {
namespace {

TEST(Text, LowerIsFullUnicode) {
  EXPECT_EQ(lower("Quick TEST 42"), "quick test 42");
  EXPECT_EQ(lower("ÉCOLE Ärger"), "école ärger");
  EXPECT_EQ(lower("ΟΔΟΣ"), "οδος");  // final sigma
  EXPECT_EQ(lower("İ"), "i\xCC\x87");       // grows: i + combining dot above
  EXPECT_EQ(lower("ＡＢＣ"), "ａｂｃ");
  EXPECT_EQ(lower(""), "");
}

TEST(Text, LowerSurvivesIllFormedInput) {
  EXPECT_EQ(lower("A\xFF" "B"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lower("\xC3"), "\xEF\xBF\xBD");  // truncated sequence
}

TEST(Text, Alphanumeric) {
  for (char32_t c : {U'a', U'Z', U'7', U'é', U'ß', U'ж', U'中', U'٣', U'Ⅻ', U'²'})
    EXPECT_TRUE(is_alnum(static_cast<int32_t>(c))) << static_cast<uint32_t>(c);
  for (char32_t c : {U' ', U'-', U'_', U'.', U'—', U'😀', U'\u00A0'})
    EXPECT_FALSE(is_alnum(static_cast<int32_t>(c))) << static_cast<uint32_t>(c);
  EXPECT_FALSE(is_alnum(-1));
}

TEST(Text, WordPrefix) {
  struct Case { const char* s; const char* q; bool match; };
  const Case cases[] = {
      {"quick test", "te", true},    {"quick test", "est", false}, {"quick-test", "te", true},
      {"quick test", "k t", false},  {"foo_bar", "bar", true},     {"straße café", "ca", true},
      {"x2go", "go", false},         {"über·alles", "al", true},   {"", "a", false},
  };
  for (const Case& c : cases) EXPECT_EQ(word_prefix(c.s, c.q), c.match) << c.s << " / " << c.q;
}

TEST(Text, SubsequenceComparesWholeCharacters) {
  EXPECT_TRUE(subsequence("quick test", "qt"));
  EXPECT_FALSE(subsequence("quick test", "tq"));
  EXPECT_TRUE(subsequence("café au lait", "éa"));
  // "é" is C3 A9; "à" (C3 A0) then "©" (C2 A9) hold both bytes in order but not the character.
  EXPECT_FALSE(subsequence("à©", "é"));
  EXPECT_TRUE(subsequence("abc", ""));
}

TEST(Text, AppendAndPop) {
  std::string s;
  EXPECT_TRUE(append_utf8(s, U'a'));
  EXPECT_TRUE(append_utf8(s, U'é'));
  EXPECT_TRUE(append_utf8(s, U'😀'));
  EXPECT_FALSE(append_utf8(s, 0xD800));
  EXPECT_FALSE(append_utf8(s, 0x110000));
  EXPECT_EQ(s, "aé😀");
  pop_utf8(s);
  EXPECT_EQ(s, "aé");
  pop_utf8(s);
  EXPECT_EQ(s, "a");
  pop_utf8(s);
  pop_utf8(s);
  EXPECT_EQ(s, "");
}

}  // namespace
}  // namespace mirvex::text
