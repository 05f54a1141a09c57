#include "core/plist.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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

TEST(Plist, RefusesNestingDeeperThanTheLimitWithoutOverflowingTheStack) {
  for (const int depth : {MAX_DEPTH + 10, 200000}) {
    for (const auto& [open, close] : {std::pair{"<array>", "</array>"}, std::pair{"<dict><key>k</key>", "</dict>"}}) {
      std::string deep = "<plist>";
      for (int i = 0; i < depth; ++i) deep += open;
      deep += "<true/>";
      for (int i = 0; i < depth; ++i) deep += close;
      deep += "</plist>";
      std::string why;
      EXPECT_FALSE(parse(deep, &why)) << depth;
      EXPECT_EQ(why, "nested too deeply");
    }
  }
  std::string fine = "<plist>";
  for (int i = 0; i < 100; ++i) fine += "<array><array/><dict/>";
  for (int i = 0; i < 100; ++i) fine += "</array>";
  EXPECT_TRUE(parse(fine + "</plist>"));
}

// A binary property list assembled by hand: one-byte offsets and references.
std::string bplist(const std::vector<std::string>& objects, uint8_t top = 0) {
  std::string out = "bplist00";
  std::string offsets;
  for (const std::string& o : objects) {
    offsets += static_cast<char>(out.size());
    out += o;
  }
  const size_t table = out.size();
  out += offsets;
  std::string trailer(32, '\0');
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[15] = static_cast<char>(objects.size());
  trailer[23] = static_cast<char>(top);
  trailer[31] = static_cast<char>(table);
  return out + trailer;
}

TEST(Plist, BinaryReaderHandlesWhatOtherWritersProduce) {
  using namespace std::string_literals;
  // {"a\0b": "é"} with the value in UTF-16 and the key holding a NUL byte.
  const auto v = parse(bplist({"\xD1\x01\x02"s, "\x53" "a\0b"s, "\x61\x00\xE9"s}));
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, Value(Dict{{"a\0b"s, "é"}}));
  // One object shared by two slots is read twice.
  EXPECT_EQ(parse(bplist({"\xA2\x01\x01"s, "\x10\x05"s})), Value(Array{5, 5}));
  // A surrogate pair and an unpaired surrogate.
  EXPECT_EQ(parse(bplist({"\x63\xD8\x3D\xDE\x00\xD8\x00"s})), Value("😀\uFFFD"));
}

TEST(Plist, BinaryReaderRefusesDamage) {
  using namespace std::string_literals;
  const std::string good = bplist({"\xA1\x01"s, "\x09"s});
  ASSERT_EQ(parse(good), Value(Array{true}));
  struct Case { std::string bytes; const char* why; };
  std::string bad_offset = good;
  bad_offset[good.size() - 32 - 1] = static_cast<char>(200);
  std::string bad_top = good;
  bad_top[good.size() - 9] = 9;
  const Case cases[] = {
      {bplist({"\xA1\x00"s}), "object refers to itself"},
      {bplist({"\xA1\x07"s}), "object reference out of range"},
      {bplist({"\xD1\x01\x01"s, "\x10\x05"s}), "dictionary key is not a string"},
      {bplist({"\x5F\x10\x7F" "abc"s}), "damaged data or string"},
      {bplist({"\x00"s}), "unsupported binary value"},
      {bad_offset, "object offset out of range"},
      {bad_top, "damaged binary property list trailer"},
      {good.substr(0, good.size() - 1), "damaged binary property list trailer"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(parse(c.bytes, &why));
    EXPECT_EQ(why, c.why);
  }
}

}  // namespace
}  // namespace mirvex::plist
