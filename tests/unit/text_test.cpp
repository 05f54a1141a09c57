#include "core/text.h"

#include <gtest/gtest.h>
#include <unicode/ucasemap.h>

#include <memory>

namespace mirvex::text {
namespace {

TEST(Text, LowerIsFullUnicode) {
  EXPECT_EQ(lower("Quick TEST 42"), "quick test 42");
  EXPECT_EQ(lower("ÉCOLE Ärger"), "école ärger");
  EXPECT_EQ(lower("ΟΔΟΣ"), "οδος");    // final sigma
  EXPECT_EQ(lower("İ"), "i\xCC\x87");  // grows: i + combining dot above
  EXPECT_EQ(lower("ＡＢＣ"), "ａｂｃ");
  EXPECT_EQ(lower(""), "");
}

// ICU's full lower-casing of well-formed text, as the reference.
std::string icu_lower(const std::string& s) {
  static const std::unique_ptr<UCaseMap, void (*)(UCaseMap*)> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<UCaseMap, void (*)(UCaseMap*)>(ucasemap_open("", 0, &status),
                                                          ucasemap_close);
  }();
  std::string out(s.size() * 3 + 8, '\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = ucasemap_utf8ToLower(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                   s.data(), static_cast<int32_t>(s.size()), &status);
  EXPECT_TRUE(U_SUCCESS(status));
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Text, LowerAgreesWithIcuForEveryCharacter) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    std::string s = "A";
    if (!append_utf8(s, c)) continue;
    s += "b";
    ASSERT_EQ(lower(s), icu_lower(s)) << "U+" << std::hex << static_cast<uint32_t>(c);
  }
  // Final sigma depends on what surrounds it; some characters grow when lower-cased.
  for (const char* s :
       {"ΑΣ", "ΑΣa", "ΑΣ.b", "Σ", "ΑΣ ΑΣ", "İstanbul ΑΣ", "ȺȺȺȺȺȺ", "aȾbȺc\xF0\x9F\x98\x80"})
    EXPECT_EQ(lower(s), icu_lower(s)) << s;
}

TEST(Text, LowerSurvivesIllFormedInput) {
  EXPECT_EQ(lower("A\xFF"
                  "B"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(lower("\xC3"), "\xEF\xBF\xBD");  // truncated sequence
}

TEST(Text, Alphanumeric) {
  for (char32_t c : {U'a', U'Z', U'7', U'é', U'ß', U'ж', U'中', U'٣', U'Ⅻ', U'²'})
    EXPECT_TRUE(is_alnum(static_cast<int32_t>(c))) << static_cast<uint32_t>(c);
  for (char32_t c : {U' ', U'-', U'_', U'.', U'—', U'😀', U'\u00A0'})
    EXPECT_FALSE(is_alnum(static_cast<int32_t>(c))) << static_cast<uint32_t>(c);
  EXPECT_FALSE(is_alnum(-1));
}

TEST(Text, FindIn) {
  using enum Found;
  struct Case {
    const char* s;
    const char* q;
    Found found;
  };
  const Case cases[] = {
      {"quick test", "te", WordStart},
      {"quick test", "est", Anywhere},
      {"quick-test", "te", WordStart},
      {"quick test", "k t", Anywhere},
      {"foo_bar", "bar", WordStart},
      {"straße café", "ca", WordStart},
      {"x2go", "go", Anywhere},
      {"über·alles", "al", WordStart},
      {"", "a", None},
      {"ééa", "a", Anywhere},
      {"—a", "a", WordStart},
      {"testtest", "test", WordStart},
      {"atest test", "test", WordStart},
      {"quick", "z", None},
  };
  for (const Case& c : cases)
    EXPECT_EQ(find_in(c.s, c.q, !has_separator(c.q)), c.found) << c.s << " / " << c.q;
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
