#include "core/raycast_import.h"

#include "core/prefs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <map>

namespace mirvex::raycast {
namespace {

using keys::CMD;
using keys::CTRL;
using keys::OPT;
using keys::SHIFT;

const std::string FIXTURES = std::string(MIRVEX_TEST_DATA) + "/fixtures/raycast/";
constexpr const char* PASSWORD = "correct horse";

std::vector<uint8_t> fixture(const std::string& name) {
  std::ifstream in(FIXTURES + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The installed apps the fixtures' paths resolve to; Gone.app is not installed.
std::optional<std::string> installed(std::string_view path) {
  static const std::map<std::string, std::string, std::less<>> apps{
      {"/Applications/Safari.app", "com.apple.Safari"},
      {"/System/Applications/Mail.app", "com.apple.mail"},
      {"/System/Applications/Notes.app", "com.apple.Notes"},
      {"/System/Applications/Utilities/Terminal.app", "com.apple.Terminal"},
      {"/System/Applications/Calendar.app", "com.apple.iCal"},
      {"/System/Applications/Music.app", "com.apple.Music"},
      {"/System/Applications/Maps.app", "com.apple.Maps"},
      {"/System/Applications/Photos.app", "com.apple.Photos"},
      {"/System/Applications/Books.app", "com.apple.iBooksX"},
      {"/System/Library/CoreServices/Finder.app", "com.apple.finder"},
      {"/System/Applications/Stocks.app", "com.apple.stocks"},
      {"/System/Applications/News.app", "com.apple.news"},
      {"/System/Applications/Calculator.app", "com.apple.calculator"},
      {"/System/Applications/Weather.app", "com.apple.weather"},
      {"/Applications/Xcode.app", "com.apple.dt.Xcode"},
  };
  const auto it = apps.find(path);
  return it == apps.end() ? std::nullopt : std::optional<std::string>(it->second);
}

// What every good fixture decodes to, in export order: app commands with a single-step
// hotkey, an integer code 0..127 and well-formed modifiers, whose app is installed.
const std::vector<Hotkey> EXPORTED{
    {"com.apple.Safari", 1, CTRL | OPT | CMD, true},
    {"com.apple.mail", 40, CMD | SHIFT, true},
    {"com.apple.Notes", 40, CTRL | CMD, true},
    {"com.apple.Terminal", 17, CTRL | OPT, false},
    {"com.apple.Terminal", 17, OPT | CMD, true},
    {"com.apple.Safari", 38, CTRL | OPT, true},
    {"com.apple.iCal", 1, CTRL | OPT | CMD, true},
    {"com.apple.Maps", 46, CTRL, true},  // "Hyper" adds nothing; "enabled": "yes" means true
    {"com.apple.Photos", 35, 0, true},   // "Fn" adds nothing
    {"com.apple.finder", 3, OPT | CMD, true},  // "Meta" twice is still ⌘
    {"com.apple.calculator", 96, 0, true},
    {"com.apple.dt.Xcode", 7, CTRL | OPT, false},
};

ReadResult decode_fixture(const std::string& name, std::string_view password = PASSWORD) {
  return decode(fixture(name), password, installed);
}

TEST(RaycastDecode, GoodExportsGiveTheirAppHotkeys) {
  struct Case { const char* file; const char* password; };
  // Unencrypted exports decode with any password, the empty one included; a nonce longer
  // than 12 bytes (written in upper-case hex) is used as it is.
  for (Case c : {Case{"plain.rayconfig", ""}, Case{"plain.rayconfig", "anything"},
                 Case{"encryption-number.rayconfig", ""}, Case{"encrypted.rayconfig", PASSWORD},
                 Case{"nonce16.rayconfig", PASSWORD}}) {
    const ReadResult r = decode_fixture(c.file, c.password);
    ASSERT_TRUE(std::holds_alternative<std::vector<Hotkey>>(r)) << c.file;
    EXPECT_EQ(std::get<std::vector<Hotkey>>(r), EXPORTED) << c.file;
  }
  const ReadResult empty = decode_fixture("empty-commands.rayconfig");
  ASSERT_TRUE(std::holds_alternative<std::vector<Hotkey>>(empty));
  EXPECT_TRUE(std::get<std::vector<Hotkey>>(empty).empty());
}

TEST(RaycastDecode, EachFailureOnItsFixture) {
  struct Case { const char* file; const char* password; Failure want; };
  for (Case c : {
           Case{"wrong-magic.rayconfig", PASSWORD, Failure::notRaycast},
           Case{"twelve-bytes.rayconfig", PASSWORD, Failure::notRaycast},
           Case{"encrypted.rayconfig", "wrong horse", Failure::password},
           Case{"encrypted.rayconfig", "", Failure::password},
           Case{"nonce8.rayconfig", PASSWORD, Failure::password},  // too short for GCM
           Case{"truncated.rayconfig", PASSWORD, Failure::damaged},
           Case{"bad-hex.rayconfig", PASSWORD, Failure::damaged},
           Case{"header-array.rayconfig", PASSWORD, Failure::damaged},
           Case{"no-commands.rayconfig", PASSWORD, Failure::damaged},
           Case{"command-not-object.rayconfig", PASSWORD, Failure::damaged},
       }) {
    const ReadResult r = decode_fixture(c.file, c.password);
    ASSERT_TRUE(std::holds_alternative<Failure>(r)) << c.file;
    EXPECT_EQ(std::get<Failure>(r), c.want) << c.file;
  }
}

TEST(RaycastDecode, DamagedBytesNeverDecode) {
  const std::vector<uint8_t> good = fixture("encrypted.rayconfig");
  const auto failure = [](const std::vector<uint8_t>& bytes) {
    const ReadResult r = decode(bytes, PASSWORD, installed);
    return std::holds_alternative<Failure>(r) ? std::optional(std::get<Failure>(r))
                                              : std::nullopt;
  };
  const auto with_length = [&](uint32_t h) {
    std::vector<uint8_t> b = good;
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<uint8_t>(h >> (8 * i));
    return b;
  };
  // The body must leave room for a tag: H + 28 at or past the length is damaged, and the
  // largest H must not wrap round to a small number.
  EXPECT_EQ(failure(with_length(static_cast<uint32_t>(good.size() - 28))), Failure::damaged);
  EXPECT_EQ(failure(with_length(0xFFFFFFFF)), Failure::damaged);
  EXPECT_EQ(failure(with_length(0xFFFFFFE4)), Failure::damaged);
  // One flipped bit in the ciphertext or the tag fails authentication.
  for (size_t at : {good.size() - 40, good.size() - 1}) {
    std::vector<uint8_t> b = good;
    b[at] ^= 0x01;
    EXPECT_EQ(failure(b), Failure::password) << at;
  }
  // Only the first 13 bytes: magic, length and one byte.
  EXPECT_EQ(failure({good.begin(), good.begin() + 13}), Failure::damaged);
}

TEST(RaycastDecode, InflatedSizeIsCapped) {
  // The body inflates to a few kilobytes; under a 1 KiB cap it is refused.
  EXPECT_EQ(std::get<Failure>(decode(fixture("plain.rayconfig"), "", installed, {1024})),
            Failure::damaged);
  EXPECT_TRUE(std::holds_alternative<std::vector<Hotkey>>(
      decode(fixture("plain.rayconfig"), "", installed, {64 * 1024})));
}

TEST(RaycastDecode, ResolverDecidesWhichAppsExist) {
  // Without any installed app every command is dropped, and no failure is reported.
  const ReadResult none = decode(fixture("plain.rayconfig"), "", [](std::string_view) {
    return std::optional<std::string>();
  });
  ASSERT_TRUE(std::holds_alternative<std::vector<Hotkey>>(none));
  EXPECT_TRUE(std::get<std::vector<Hotkey>>(none).empty());
  // A resolver that fails by throwing makes the export unreadable, not the process.
  const ReadResult thrown = decode(fixture("plain.rayconfig"), "", [](std::string_view) {
    throw std::runtime_error("registry gone");
    return std::optional<std::string>();
  });
  EXPECT_EQ(std::get<Failure>(thrown), Failure::damaged);
}

TEST(RaycastRead, FilesAndWorkerThreads) {
  EXPECT_EQ(std::get<Failure>(read(FIXTURES + "missing.rayconfig", "", installed)),
            Failure::damaged);
  EXPECT_EQ(std::get<Failure>(read(FIXTURES, "", installed)), Failure::damaged);  // a folder
  // A file far larger than any export is refused without being read in (sparse here).
  char tmpl[] = "/tmp/mirvex-raycast-big-XXXXXX";
  const int fd = ::mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::filesystem::resize_file(tmpl, uintmax_t{1} << 30);
  EXPECT_EQ(std::get<Failure>(read(tmpl, "", installed)), Failure::notRaycast);
  {
    std::fstream f(tmpl, std::ios::in | std::ios::out | std::ios::binary);
    f.write(reinterpret_cast<const char*>(MAGIC.data()), MAGIC.size());
  }
  EXPECT_EQ(std::get<Failure>(read(tmpl, "", installed)), Failure::damaged);
  std::filesystem::remove(tmpl);
  // Two decodes at once, each with its own result.
  auto good = read_async(FIXTURES + "encrypted.rayconfig", PASSWORD, installed);
  auto wrong = read_async(FIXTURES + "encrypted.rayconfig", "nope", installed);
  const ReadResult g = good.get();
  ASSERT_TRUE(std::holds_alternative<std::vector<Hotkey>>(g));
  EXPECT_EQ(std::get<std::vector<Hotkey>>(g), EXPORTED);
  EXPECT_EQ(std::get<Failure>(wrong.get()), Failure::password);
}

std::vector<uint8_t> unhex(std::string_view s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
  return out;
}

TEST(Scrypt, Rfc7914TestVectors) {
  struct Vector { const char* password; const char* salt; uint64_t n; uint32_t r, p; const char* key; };
  for (Vector v : {
           Vector{"", "", 16, 1, 1,
                  "77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
                  "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906"},
           Vector{"password", "NaCl", 1024, 8, 16,
                  "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
                  "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640"},
           Vector{"pleaseletmein", "SodiumChloride", 16384, 8, 1,
                  "7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2"
                  "d5432955613f0fcf62d49705242a9af9e61e85dc0d651e40dfcf017b45575887"},
       }) {
    const std::string_view salt(v.salt);
    const auto key = scrypt(v.password, {reinterpret_cast<const uint8_t*>(salt.data()), salt.size()},
                            v.n, v.r, v.p, 64);
    ASSERT_TRUE(key) << v.password;
    EXPECT_EQ(*key, unhex(v.key)) << v.password;
  }
  // Parameters scrypt does not define are refused, not computed.
  EXPECT_FALSE(scrypt("x", {}, 1000, 8, 1, 32));  // N not a power of two
}

Hotkey hk(const char* app, uint32_t code, uint32_t mods, bool enabled = true) {
  return {app, code, mods, enabled};
}

TEST(RaycastPlan, FixtureExportKeepsFirstUsableHotkeyPerAppAndChord) {
  const ImportPlan p = plan(EXPORTED, {});
  const std::vector<Hotkey> kept{
      hk("com.apple.Safari", 1, CTRL | OPT | CMD),    // Calendar's same chord is skipped
      hk("com.apple.Notes", 40, CTRL | CMD),          // ⌃⌘K kept, Mail's ⌘⇧K skipped
      hk("com.apple.Terminal", 17, OPT | CMD),        // the enabled one wins
      hk("com.apple.Maps", 46, CTRL),
      hk("com.apple.finder", 3, OPT | CMD),
      hk("com.apple.calculator", 96, 0),              // a function key needs no modifier
      hk("com.apple.dt.Xcode", 7, CTRL | OPT, false),  // disabled ones come last
  };
  EXPECT_EQ(p.kept, kept);
  // Mail (⌘⇧), second Safari, Calendar (Safari's chord), Photos (no modifier), and the
  // disabled Terminal.
  EXPECT_EQ(p.skipped, 5u);
  EXPECT_EQ(p.replaced, 0u);
}

TEST(RaycastPlan, SkipRules) {
  struct Case {
    const char* what;
    std::vector<Hotkey> in;
    std::vector<Hotkey> kept;
    size_t skipped;
  };
  const std::vector<Case> cases{
      {"⌘ alone and ⌘⇧ are the apps' own; ⌃⌘ and ⌥⇧⌘ are not",
       {hk("a", 40, CMD), hk("b", 40, CMD | SHIFT), hk("c", 40, CTRL | CMD),
        hk("d", 40, OPT | SHIFT | CMD)},
       {hk("c", 40, CTRL | CMD), hk("d", 40, OPT | SHIFT | CMD)},
       2},
      {"both enabled: the first in the export wins",
       {hk("a", 1, CTRL), hk("a", 2, CTRL)}, {hk("a", 1, CTRL)}, 1},
      {"enabled beats an earlier disabled one of the same app",
       {hk("a", 1, CTRL, false), hk("a", 2, CTRL)}, {hk("a", 2, CTRL)}, 1},
      {"an enabled hotkey takes the chord from an earlier disabled one",
       {hk("a", 1, CTRL, false), hk("b", 1, CTRL)}, {hk("b", 1, CTRL)}, 1},
      {"disabled ones keep their export order",
       {hk("a", 1, CTRL, false), hk("b", 2, CTRL, false), hk("c", 3, CTRL)},
       {hk("c", 3, CTRL), hk("a", 1, CTRL, false), hk("b", 2, CTRL, false)}, 0},
      {"same key, other modifiers: both kept",
       {hk("a", 1, CTRL), hk("b", 1, OPT)}, {hk("a", 1, CTRL), hk("b", 1, OPT)}, 0},
      {"plain and ⇧-only keys are skipped, function keys are not",
       {hk("a", 40, 0), hk("b", 40, SHIFT), hk("c", 96, SHIFT)}, {hk("c", 96, SHIFT)}, 2},
      {"a skipped hotkey does not block a later one of its app",
       {hk("a", 40, CMD), hk("a", 40, CTRL | CMD)}, {hk("a", 40, CTRL | CMD)}, 1},
  };
  for (const Case& c : cases) {
    const ImportPlan p = plan(c.in, {});
    EXPECT_EQ(p.kept, c.kept) << c.what;
    EXPECT_EQ(p.skipped, c.skipped) << c.what;
  }
}

AppHotkey entry(const char* app, uint32_t code, uint32_t mods, bool enabled = true) {
  return {app, keys::label(code, mods), code, mods, enabled};
}

TEST(RaycastApply, ReplacesByAppAndByChordKeepingTheRest) {
  const std::vector<AppHotkey> current{
      entry("com.apple.Notes", 45, CTRL | OPT),           // Notes' old hotkey: replaced
      entry("org.other", 17, OPT | CMD, false),           // on Terminal's chord: removed
      entry("system:lock", 37, CTRL | CMD),               // untouched, stays first
      entry("com.apple.Safari", 1, CTRL | OPT | CMD),     // same app and chord: one entry
  };
  const ImportPlan p = plan(EXPORTED, current);
  EXPECT_EQ(p.replaced, 2u);
  const std::vector<AppHotkey> out = updated_hotkeys(p, current);
  const std::vector<AppHotkey> want{
      {"system:lock", "⌃⌘L", 37, CTRL | CMD, true},
      {"com.apple.Safari", "⌃⌥⌘S", 1, CTRL | OPT | CMD, true},
      {"com.apple.Notes", "⌃⌘K", 40, CTRL | CMD, true},
      {"com.apple.Terminal", "⌥⌘T", 17, OPT | CMD, true},
      {"com.apple.Maps", "⌃M", 46, CTRL, true},
      {"com.apple.finder", "⌥⌘F", 3, OPT | CMD, true},
      {"com.apple.calculator", "F5", 96, 0, true},
      {"com.apple.dt.Xcode", "⌃⌥X", 7, CTRL | OPT, false},
  };
  EXPECT_EQ(out, want);
}

TEST(RaycastApply, Wording) {
  const auto with = [](size_t kept, size_t skipped, size_t replaced) {
    ImportPlan p;
    p.kept.assign(kept, hk("a", 1, CTRL));
    p.skipped = skipped;
    p.replaced = replaced;
    return p;
  };
  const std::string tail = "Turn them off in Raycast afterwards, or both apps will answer the same keys.";
  EXPECT_EQ(question(with(1, 0, 0)), "Import 1 app hotkey from Raycast?");
  EXPECT_EQ(question(with(7, 0, 0)), "Import 7 app hotkeys from Raycast?");
  EXPECT_EQ(details(with(1, 0, 0)), tail);
  EXPECT_EQ(details(with(1, 0, 1)), "1 replaces a hotkey set here. " + tail);
  EXPECT_EQ(details(with(3, 0, 2)), "2 replace a hotkey set here. " + tail);
  EXPECT_EQ(details(with(7, 5, 2)),
            "2 replace a hotkey set here. 5 skipped: already taken by another app in the "
            "export, or ⌘ shortcuts apps use for their own commands. " + tail);
  EXPECT_EQ(failure_text(Failure::notRaycast).message, "Not a Raycast export");
  EXPECT_EQ(failure_text(Failure::password).message, "Wrong password");
  EXPECT_EQ(failure_text(Failure::damaged).message, "Couldn’t read the export");
}

// Records what the import asks and writes.
struct Recorder {
  std::vector<std::string> shown;
  std::vector<std::vector<AppHotkey>> writes;
  bool answer = true;
  ImportPrompts prompts() {
    return {[this](Failure f) { shown.emplace_back(failure_text(f).message); },
            [this] { shown.emplace_back(NOTHING_TO_IMPORT.message); },
            [this](const ImportPlan& p) {
              shown.push_back(question(p) + " " + details(p));
              return answer;
            }};
  }
  WriteAppHotkeys writer() {
    return [this](const std::vector<AppHotkey>& list) {
      writes.push_back(list);
      return true;
    };
  }
};

TEST(RaycastApply, OneWriteOnImportAndNoneOtherwise) {
  const std::vector<AppHotkey> current{entry("com.apple.Notes", 45, CTRL | OPT)};
  {
    Recorder rec;
    const auto n = apply(decode_fixture("encrypted.rayconfig"), current, rec.prompts(), rec.writer());
    EXPECT_EQ(n, 7u);
    ASSERT_EQ(rec.writes.size(), 1u);
    EXPECT_EQ(rec.writes[0].size(), 7u);
    ASSERT_EQ(rec.shown.size(), 1u);
    EXPECT_EQ(rec.shown[0].rfind("Import 7 app hotkeys from Raycast? 1 replaces a hotkey set here. 5 skipped", 0), 0u);
  }
  struct Case { const char* what; ReadResult result; bool answer; const char* shown; };
  const std::vector<Case> cases{
      {"wrong password", decode_fixture("encrypted.rayconfig", "wrong"), true, "Wrong password"},
      {"not an export", decode_fixture("wrong-magic.rayconfig"), true, "Not a Raycast export"},
      {"damaged", decode_fixture("truncated.rayconfig"), true, "Couldn’t read the export"},
      {"only skipped hotkeys", std::vector<Hotkey>{hk("a", 40, CMD | SHIFT)}, true,
       "No app hotkeys in this export"},
      {"cancelled", decode_fixture("plain.rayconfig"), false, "Import 7 app hotkeys from Raycast?"},
  };
  for (const Case& c : cases) {
    Recorder rec;
    rec.answer = c.answer;
    EXPECT_FALSE(apply(c.result, current, rec.prompts(), rec.writer())) << c.what;
    EXPECT_TRUE(rec.writes.empty()) << c.what;
    ASSERT_EQ(rec.shown.size(), 1u) << c.what;
    EXPECT_EQ(rec.shown[0].rfind(c.shown, 0), 0u) << c.what << ": " << rec.shown[0];
  }
}

// A preferences file of its own in a fresh folder.
class RaycastStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mirvex-raycast-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path file() const { return dir_ / "org.mirvex.mirvex.plist"; }
  std::string contents() const {
    std::ifstream in(file(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::filesystem::path dir_;
};

TEST_F(RaycastStore, ImportIsOneWriteAndAWrongPasswordWritesNothing) {
  Defaults store = Defaults::at_path(file());
  const plist::Array before{
      plist::Dict{{"bundleId", "com.apple.Notes"}, {"code", 45}, {"mods", 6144},
                  {"label", "⌃⌥N"}},  // no "enabled": counts as enabled
      plist::Dict{{"bundleId", "org.other"}, {"code", 17}, {"mods", 2304}, {"label", "⌥⌘T"},
                  {"enabled", false}},
  };
  ASSERT_TRUE(store.write({{"appHotkeys", before}, {"delayMs", 200}}));
  const std::string original = contents();
  int notices = 0;
  store.subscribe([&](Defaults::Change) { ++notices; });
  bool confirmed = false;
  ImportPrompts prompts{nullptr, nullptr, [&](const ImportPlan& p) {
                          confirmed = true;
                          EXPECT_EQ(p.replaced, 1u);
                          return true;
                        }};

  EXPECT_FALSE(apply(decode_fixture("encrypted.rayconfig", "wrong"), store, prompts));
  EXPECT_FALSE(apply(decode_fixture("truncated.rayconfig"), store, prompts));
  EXPECT_FALSE(confirmed);
  EXPECT_EQ(notices, 0);
  EXPECT_EQ(contents(), original);

  EXPECT_EQ(apply(decode_fixture("encrypted.rayconfig"), store, prompts), 7u);
  EXPECT_TRUE(confirmed);
  EXPECT_EQ(notices, 1);
  Defaults reread = Defaults::at_path(file());
  const std::vector<AppHotkey> list = prefs::load(reread).appHotkeys;
  ASSERT_EQ(list.size(), 7u);  // Notes replaced, org.other lost its chord to Terminal
  EXPECT_EQ(list[0], (AppHotkey{"com.apple.Safari", "⌃⌥⌘S", 1, CTRL | OPT | CMD, true}));
  EXPECT_EQ(list[1], (AppHotkey{"com.apple.Notes", "⌃⌘K", 40, CTRL | CMD, true}));
  EXPECT_EQ(list[6], (AppHotkey{"com.apple.dt.Xcode", "⌃⌥X", 7, CTRL | OPT, false}));
  EXPECT_EQ(Defaults::at_path(file()).integer("delayMs"), 200);  // other keys untouched
}

}  // namespace
}  // namespace mirvex::raycast
