#include "core/hyper_map.h"

#include <gtest/gtest.h>

namespace mirvex::hyper {
namespace {

constexpr uint64_t CAPS = USAGE_PAGE | 0x39, LCMD = USAGE_PAGE | 0xE3, RCMD = USAGE_PAGE | 0xE7;
constexpr uint64_t ESC = USAGE_PAGE | 0x29;

// What the key-mapping tool prints for a list: entries in braces, Dst before Src.
constexpr std::string_view TWO = R"((
        {
        HIDKeyboardModifierMappingDst = 30064771113;
        HIDKeyboardModifierMappingSrc = 30064771129;
    },
        {
        HIDKeyboardModifierMappingDst = 30064771181;
        HIDKeyboardModifierMappingSrc = 30064771299;
    }
)
)";

TEST(HyperMap, UsagesOfTheNineKeys) {
  EXPECT_EQ(usage(0), std::nullopt);
  EXPECT_EQ(usage(1), CAPS);
  EXPECT_EQ(usage(5), LCMD);
  EXPECT_EQ(usage(9), RCMD);
  EXPECT_EQ(usage(10), std::nullopt);
  EXPECT_EQ(F18, 0x70000006Du);
}

TEST(HyperMap, ParseReadsTheNumberAfterTheField) {
  struct Case {
    std::string_view piece;
    std::optional<uint64_t> want;
  };
  const Case cases[] = {
      {"MappingSrc = 42;", 42},
      {"HIDKeyboardModifierMappingSrc == = 7 ;", 7},  // any run of spaces and "=" signs
      {"MappingSrc = +9;", 9},
      {"MappingSrc =  12  ;", 12},
      {"MappingSrc = 18446744073709551615;", UINT64_MAX},
      {"MappingSrc = 18446744073709551616;", std::nullopt},  // overflow
      {"MappingSrc = -1;", std::nullopt},
      {"MappingSrc = 0x39;", std::nullopt},
      {"MappingSrc = ;", std::nullopt},
      {"MappingSrc = +;", std::nullopt},
      {"MappingSrc = 12", std::nullopt},  // no ";"
      {"MappingDst = 12;", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.piece, "MappingSrc"), c.want) << c.piece;
}

TEST(HyperMap, ParseMappingKeepsOrderDropsDuplicatesAndCountsUnreadable) {
  const Parsed two = parse_mapping(TWO);
  EXPECT_EQ(two.pairs, (std::vector<Pair>{{CAPS, ESC}, {USAGE_PAGE | 0xE3, F18}}));
  EXPECT_EQ(two.unreadable, 0u);

  EXPECT_TRUE(parse_mapping("(null)\n").pairs.empty());
  EXPECT_TRUE(parse_mapping("").pairs.empty());

  const Parsed dup = parse_mapping("{MappingSrc=1;MappingDst=2;}{MappingSrc=1;MappingDst=2;}{MappingSrc=2;MappingDst=1;}");
  EXPECT_EQ(dup.pairs, (std::vector<Pair>{{1, 2}, {2, 1}}));

  const Parsed bad = parse_mapping("{MappingSrc=1;MappingDst=2;}{MappingSrc=0x39;MappingDst=2;}{MappingDst=5;}");
  EXPECT_EQ(bad.pairs, (std::vector<Pair>{{1, 2}}));
  EXPECT_EQ(bad.unreadable, 2u);
}

TEST(HyperMap, WantedDropsF18AndTheChosenKeyThenAppends) {
  const std::vector<Pair> current{{CAPS, ESC}, {LCMD, F18}, {RCMD, CAPS}};
  // Off: only the F18 pair goes.
  EXPECT_EQ(wanted(current, 0), (std::vector<Pair>{{CAPS, ESC}, {RCMD, CAPS}}));
  // Caps Lock: the user's own Caps Lock pair is replaced by the hyper pair.
  EXPECT_EQ(wanted(current, 1), (std::vector<Pair>{{RCMD, CAPS}, {CAPS, F18}}));
  // Already as wanted: unchanged.
  const std::vector<Pair> done{{CAPS, ESC}, {LCMD, F18}};
  EXPECT_EQ(wanted(done, 5), done);
}

TEST(HyperMap, JsonHasNoSpacesAndSrcFirst) {
  EXPECT_EQ(to_json({}), R"({"UserKeyMapping":[]})");
  EXPECT_EQ(to_json({{CAPS, F18}, {1, 2}}),
            R"({"UserKeyMapping":[{"HIDKeyboardModifierMappingSrc":30064771129,"HIDKeyboardModifierMappingDst":30064771181},)"
            R"({"HIDKeyboardModifierMappingSrc":1,"HIDKeyboardModifierMappingDst":2}]})");
}

}  // namespace
}  // namespace mirvex::hyper
