#include "core/keyed_archive.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace mirvex {
namespace {

std::vector<uint8_t> fixture(const std::string& name) {
  std::ifstream in(std::string(MIRVEX_TEST_DATA) + "/fixtures/alttab/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::span<const uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string uid(int n) {
  return "<dict><key>CF$UID</key><integer>" + std::to_string(n) + "</integer></dict>";
}

// An XML keyed archive; references use the XML spelling of a UID.
std::string xml_archive(const std::string& objects, const std::string& top = "<key>root</key>" +
                                                                              uid(1),
                        const std::string& archiver = "NSKeyedArchiver") {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
         "<key>$archiver</key><string>" + archiver + "</string>"
         "<key>$version</key><integer>100000</integer>"
         "<key>$top</key><dict>" + top + "</dict>"
         "<key>$objects</key><array>" + objects + "</array></dict></plist>";
}

// "$null", then a root object with the given body and a class named `cls` at index 2.
std::string root_with(const std::string& body, const std::string& cls = "SRShortcut") {
  return xml_archive("<string>$null</string><dict><key>$class</key>" + uid(2) + body +
                     "</dict><dict><key>$classname</key><string>" + cls +
                     "</string></dict><integer>7</integer><string>text</string>");
}

TEST(KeyedArchive, ReadsBinaryArchivesWithInlineAndReferencedNumbers) {
  struct Case { const char* file; int64_t code; uint64_t flags; const char* cls; };
  for (const Case c : {Case{"command_option.bin", 48, 0x180000, "SRShortcut"},
                       Case{"by_reference.bin", 49, 0x40000, "SRShortcut"},
                       Case{"shift_only.bin", -1, 0x20000, "SRShortcut"},
                       Case{"wrong_class.bin", 48, 0x100000, "NSDictionary"}}) {
    const auto data = fixture(c.file);
    const auto archive = KeyedArchive::open(data);
    ASSERT_TRUE(archive) << c.file;
    const auto root = archive->top("root");
    ASSERT_TRUE(root.value) << c.file;
    EXPECT_EQ(archive->class_name(*root.value), c.cls) << c.file;
    const auto code = archive->number(*root.value, "keyCode");
    ASSERT_TRUE(code.value) << c.file;
    EXPECT_EQ(code.value->value, c.code) << c.file;
    const auto flags = archive->number(*root.value, "modifierFlags");
    ASSERT_TRUE(flags.value) << c.file;
    EXPECT_EQ(flags.value->unsigned_value, c.flags) << c.file;
  }
  // A negative integer read as unsigned keeps its bits, as a number object's unsigned value does.
  const auto data = fixture("shift_only.bin");
  const auto archive = KeyedArchive::open(data);
  EXPECT_EQ(archive->number(1, "keyCode").value->unsigned_value, UINT64_MAX);
}

TEST(KeyedArchive, RejectsWhatIsNotAKeyedArchive) {
  const std::string plain_dict =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><true/></dict></plist>";
  const std::string not_dict =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>$null</string></array></plist>";
  const std::string top_not_dict = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>$archiver</key><string>NSKeyedArchiver</string><key>$top</key><string>x</string>"
      "<key>$objects</key><array/></dict></plist>";
  const std::string objects_not_array = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>$archiver</key><string>NSKeyedArchiver</string><key>$top</key><dict/>"
      "<key>$objects</key><dict/></dict></plist>";
  for (const std::string& text :
       {std::string(), std::string("bplist00"), plain_dict, not_dict, top_not_dict,
        objects_not_array, xml_archive("<string>$null</string>", "", "NSArchiver"),
        root_with("").substr(0, 120)})
    EXPECT_FALSE(KeyedArchive::open(bytes(text))) << text;
  EXPECT_FALSE(KeyedArchive::open(fixture("junk.bin")));
  // A class description whose key holds a NUL character (libplist's own binary reader aborts on
  // it): it opens, and that key is simply not "$classname".
  const auto nul = KeyedArchive::open(fixture("nul_key.bin"));
  ASSERT_TRUE(nul);
  EXPECT_EQ(nul->class_name(1), std::nullopt);
  const std::vector<uint8_t> huge(KeyedArchive::MAX_BYTES + 1, ' ');
  EXPECT_FALSE(KeyedArchive::open(huge));
}

TEST(KeyedArchive, RootReferences) {
  struct Case { std::string top; ArchiveField<size_t> want; };
  const Case cases[] = {
      {"<key>root</key>" + uid(1), {1, false}},
      {"", {}},                                          // no root
      {"<key>root</key>" + uid(0), {}},                  // nil
      {"<key>root</key>" + uid(3), {std::nullopt, true}},  // past the end
      {"<key>root</key><integer>1</integer>", {std::nullopt, true}},
      {"<key>root</key><dict><key>CF$UID</key><string>1</string></dict>", {std::nullopt, true}},
      {"<key>root</key><dict><key>CF$UID</key><integer>1</integer><key>x</key><true/></dict>",
       {std::nullopt, true}},
  };
  for (const Case& c : cases) {
    const auto archive = KeyedArchive::open(
        bytes(xml_archive("<string>$null</string><dict/><string>x</string>", c.top)));
    ASSERT_TRUE(archive) << c.top;
    EXPECT_EQ(archive->top("root"), c.want) << c.top;
  }
}

TEST(KeyedArchive, NumberFields) {
  struct Case { std::string body; ArchiveField<ArchivedNumber> want; };
  const auto n = [](int64_t v) {
    return ArchiveField<ArchivedNumber>{ArchivedNumber{v, static_cast<uint64_t>(v)}, false};
  };
  const ArchiveField<ArchivedNumber> wrong{std::nullopt, true};
  const Case cases[] = {
      {"<key>k</key><integer>48</integer>", n(48)},
      {"<key>k</key><integer>-1</integer>", n(-1)},
      {"<key>k</key>" + uid(3), n(7)},                  // by reference
      {"<key>k</key><real>2.9</real>", n(2)},           // truncated
      {"<key>k</key><real>-2.9</real>", n(-2)},
      {"<key>k</key><true/>", n(1)},
      {"", {}},                                         // absent
      {"<key>k</key>" + uid(0), {}},                    // nil
      {"<key>k</key><real>1e300</real>", wrong},
      {"<key>k</key><real>nan</real>", wrong},
      {"<key>k</key><string>48</string>", wrong},
      {"<key>k</key>" + uid(4), wrong},                 // refers to a string
      {"<key>k</key>" + uid(1), wrong},                 // refers to its own object
      {"<key>k</key>" + uid(99), wrong},                // past the end
      {"<key>k</key><data>AAE=</data>", wrong},
  };
  for (const Case& c : cases) {
    const auto archive = KeyedArchive::open(bytes(root_with(c.body)));
    ASSERT_TRUE(archive) << c.body;
    EXPECT_EQ(archive->number(1, "k"), c.want) << c.body;
  }
  const auto archive = KeyedArchive::open(bytes(root_with("<key>k</key><integer>1</integer>")));
  // Objects that are not dictionaries, or do not exist, have no fields.
  EXPECT_EQ(archive->number(3, "k"), ArchiveField<ArchivedNumber>{});
  EXPECT_EQ(archive->number(500, "k"), ArchiveField<ArchivedNumber>{});
}

TEST(KeyedArchive, ClassNamesAndObjectReferencesSurviveCyclesAndJunk) {
  struct Case { std::string objects; std::optional<std::string> cls; };
  const Case cases[] = {
      // The class refers back to the object itself: no class name, and no loop.
      {"<string>$null</string><dict><key>$class</key>" + uid(1) + "</dict>", std::nullopt},
      // The class description is not a dictionary, or its name is not text.
      {"<string>$null</string><dict><key>$class</key>" + uid(2) + "</dict><string>C</string>",
       std::nullopt},
      {"<string>$null</string><dict><key>$class</key>" + uid(2) +
           "</dict><dict><key>$classname</key><integer>3</integer></dict>",
       std::nullopt},
      {"<string>$null</string><dict><key>$class</key><string>C</string></dict>", std::nullopt},
      {"<string>$null</string><dict><key>$class</key>" + uid(0) + "</dict>", std::nullopt},
      {"<string>$null</string><dict/>", std::nullopt},
      {"<string>$null</string><string>not an object</string>", std::nullopt},
      {"<string>$null</string><dict><key>$class</key>" + uid(2) +
           "</dict><dict><key>$classname</key><string>C</string></dict>",
       "C"},
  };
  for (const Case& c : cases) {
    const auto archive = KeyedArchive::open(bytes(xml_archive(c.objects)));
    ASSERT_TRUE(archive) << c.objects;
    EXPECT_EQ(archive->class_name(1), c.cls) << c.objects;
  }
  const auto archive = KeyedArchive::open(bytes(root_with(
      "<key>self</key>" + uid(1) + "<key>nil</key>" + uid(0) + "<key>out</key>" + uid(5) +
      "<key>inline</key><integer>1</integer>")));
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->object_count(), 5u);
  EXPECT_EQ(archive->object(1, "self"), (ArchiveField<size_t>{1, false}));
  EXPECT_EQ(archive->object(1, "nil"), ArchiveField<size_t>{});
  EXPECT_EQ(archive->object(1, "missing"), ArchiveField<size_t>{});
  EXPECT_EQ(archive->object(1, "out"), (ArchiveField<size_t>{std::nullopt, true}));
  EXPECT_EQ(archive->object(1, "inline"), (ArchiveField<size_t>{std::nullopt, true}));
}

}  // namespace
}  // namespace mirvex
