#include "core/plist.h"

#include <gtest/gtest.h>

#include <string>

namespace mirvex::plist {
namespace {

Dict every_kind() {
  return Dict{
      {"flag", true},
      {"zero", int64_t{0}},
      {"negative", -7},
      {"large", int64_t{1} << 40},
      {"real", 0.1},
      {"text", "a<b & \"c\" ü ⌘"},
      {"empty", ""},
      {"bytes", Data{0, 1, 254, 255}},
      {"when", Date{700000000}},
      {"list", Array{1, "two", false, Array{}}},
      {"nested", Dict{{"inner", Dict{{"x", 1.5}}}}},
  };
}

TEST(Plist, XmlAndBinaryRoundTripEveryKind) {
  const Value original(every_kind());
  for (const std::string& bytes : {to_xml(original), to_binary(original)}) {
    std::string why;
    const auto back = parse(bytes, &why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(*back, original);
  }
  EXPECT_TRUE(to_xml(original).starts_with("<?xml"));
}

TEST(Plist, UidSurvivesBinary) {
  const Value v(Dict{{"$top", Dict{{"root", Uid{3}}}}});
  EXPECT_EQ(parse(to_binary(v)), v);
}

TEST(Plist, IntegersAndBooleansStayDistinct) {
  const auto one = parse_xml_fragment("<integer>1</integer>");
  const auto yes = parse_xml_fragment("<true/>");
  ASSERT_TRUE(one && yes);
  EXPECT_EQ(one->kind(), Kind::Integer);
  EXPECT_EQ(yes->kind(), Kind::Boolean);
  EXPECT_NE(Value(1), Value(true));
  EXPECT_EQ(Value('x' == 'x').kind(), Kind::Boolean);
  EXPECT_EQ(Value(uint8_t{5}).kind(), Kind::Integer);
  EXPECT_EQ(Value("text").kind(), Kind::String);
}

TEST(Plist, UnsignedAboveSignedRangeKeepsItsBitPattern) {
  const auto v = parse("<plist><integer>18446744073709551615</integer></plist>");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v->get<int64_t>(), -1);
}

TEST(Plist, RejectsWhatIsNotAPropertyList) {
  const std::string xml = to_xml(Value(every_kind()));
  const std::string binary = to_binary(Value(every_kind()));
  for (const std::string& bad : {std::string(), std::string("garbage"), xml.substr(0, xml.size() / 2),
                                 binary.substr(0, binary.size() - 9), std::string("bplist00\xff\xff", 10)}) {
    std::string why;
    EXPECT_FALSE(parse(bad, &why)) << bad.size();
    EXPECT_FALSE(why.empty());
  }
  EXPECT_FALSE(parse_xml_fragment("YES"));
}

TEST(Plist, RefusesNestingDeeperThanTheLimit) {
  std::string deep = "<plist>";
  for (int i = 0; i < MAX_DEPTH + 10; ++i) deep += "<array>";
  for (int i = 0; i < MAX_DEPTH + 10; ++i) deep += "</array>";
  deep += "</plist>";
  std::string why;
  EXPECT_FALSE(parse(deep, &why));
  EXPECT_EQ(why, "nested too deeply");
}

}  // namespace
}  // namespace mirvex::plist
