#include "core/alttab_import.h"

#include "core/prefs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mirvex::AltTabImport {
namespace {

plist::Value frag(const std::string& xml) {
  auto v = plist::parse_xml_fragment(xml);
  EXPECT_TRUE(v) << xml;
  return v ? *v : plist::Value();
}

std::filesystem::path fixture_path(const std::string& name) {
  return std::filesystem::path(MIRVEX_TEST_DATA) / "fixtures" / "alttab" / name;
}

std::vector<uint8_t> fixture_bytes(const std::string& name) {
  std::ifstream in(fixture_path(name), std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads a committed AltTab domain through the store, as the settings library does.
std::optional<Plan> fixture(const std::string& name) {
  return read(Defaults::at_path(fixture_path(name)));
}

// A binary keyed archive of one recorded shortcut, as AltTab stores it.
std::vector<uint8_t> archive(std::optional<int64_t> code, uint64_t flags,
                             const char* cls = "SRShortcut") {
  plist::Dict object{{"modifierFlags", static_cast<int64_t>(flags)}, {"$class", plist::Uid{2}}};
  if (code) object["keyCode"] = *code;
  const plist::Value root = plist::Dict{
      {"$archiver", "NSKeyedArchiver"},
      {"$top", plist::Dict{{"root", plist::Uid{1}}}},
      {"$objects", plist::Array{"$null", object, plist::Dict{{"$classname", cls}}}}};
  const std::string bin = plist::to_binary(root);
  return {bin.begin(), bin.end()};
}

// AltTab's domain: values given as XML fragments, recorded shortcuts as archives.
struct Domain {
  std::map<std::string, std::string> xml;
  std::map<std::string, std::vector<uint8_t>> shortcuts;

  Plan plan() const {
    plist::Dict d;
    for (const auto& [k, v] : xml) d[k] = frag(v);
    for (const auto& [k, bytes] : shortcuts) d[k] = plist::Dict{{"secureData", bytes}};
    return read(d);
  }
};

std::string text(const std::string& s) { return "<string>" + s + "</string>"; }

std::string entry_xml(const std::string& id, int hide, int ignore) {
  return "<dict><key>bundleId</key>" + text(id) + "<key>hide</key><integer>" +
         std::to_string(hide) + "</integer><key>ignore</key><integer>" + std::to_string(ignore) +
         "</integer></dict>";
}

std::optional<plist::Value> get(const Plan& p, std::string_view key) {
  const auto it = p.values.find(key);
  return it == p.values.end() ? std::nullopt : std::optional<plist::Value>(it->second);
}

template <class T>
std::optional<plist::Value> opt(const std::optional<T>& v) {
  return v ? std::optional<plist::Value>(*v) : std::nullopt;
}

SlotRecord record(uint8_t hold, uint8_t key, uint8_t apps) {
  SlotRecord r;
  r.hold = hold;
  r.key = key;
  r.apps = apps;
  return r;
}

TEST(AltTabImport, EmptyDomainImportsAltTabsDefaults) {
  const auto plan = fixture("empty.plist");
  ASSERT_TRUE(plan);
  const plist::Dict want = {
      {"style", plist::Value(2)},         {"size", plist::Value(3)},          {"theme", plist::Value(2)},
      {"showOn", plist::Value(0)},        {"truncation", plist::Value(2)},    {"afterRelease", plist::Value(0)},
      {"arrows", true},        {"vim", false},          {"hover", false},
      {"fadeOut", false},      {"preview", false},      {"backgroundCapture", true},
      {"menubarIcon", true},   {"statusIcons", true},   {"spaceLabels", false},
      {"cursorFollows", false}, {"delayMs", plist::Value(100)},
  };
  EXPECT_EQ(plan->values, want);
  EXPECT_EQ(plan->look, "thumbnails");
  EXPECT_EQ(plan->shortcuts[0], record(1, 0, 0));  // ⌥ Tab, every window
  EXPECT_EQ(plan->shortcuts[1], record(1, 1, 1));  // ⌥ grave accent, this app's windows
  for (size_t i = 2; i < 5; ++i) EXPECT_FALSE(plan->shortcuts[i]) << i;
  EXPECT_EQ(plan->lines, (std::vector<PlanLine>{{{"⌥", "Tab"}, "Every window"},
                                                {{"⌥", "`"}, "This app’s windows"}}));
  EXPECT_TRUE(plan->exceptions.empty());
}

TEST(AltTabImport, UnreadableDomainIsNoPlanAndAMissingOneIsTheDefaults) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "alttab_import";
  std::filesystem::create_directories(dir);
  const auto bad = dir / "bad.plist";
  std::ofstream(bad) << "not a property list";
  EXPECT_FALSE(read(Defaults::at_path(bad)));
  const auto array = dir / "array.plist";
  std::ofstream(array) << plist::to_xml(plist::Array{});
  EXPECT_FALSE(read(Defaults::at_path(array)));
  // A binary domain with a key holding a NUL character reads; that key matches none of AltTab's.
  const auto nul = fixture("nul_key_domain.plist");
  ASSERT_TRUE(nul);
  EXPECT_EQ(nul->values.at("style"), plist::Value(1));
  EXPECT_EQ(nul->values.at("statusIcons"), plist::Value(true));
  const auto missing = read(Defaults::at_path(dir / "missing.plist"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->values, fixture("empty.plist")->values);
}

// AltTab writes text; a domain holding numbers and booleans instead reads the same.
TEST(AltTabImport, TextAndNumberDomainsImportTheSamePlan) {
  for (const char* file : {"strings.plist", "numbers.plist"}) {
    SCOPED_TRACE(file);
    const auto plan = fixture(file);
    ASSERT_TRUE(plan);
    const plist::Dict want = {
        {"style", plist::Value(1)},          {"size", plist::Value(1)},             {"theme", plist::Value(0)},
        {"showOn", plist::Value(2)},         {"truncation", plist::Value(1)},       {"afterRelease", plist::Value(1)},
        {"titlesSizePct", plist::Value(130)}, {"appIconsSizePct", plist::Value(130)}, {"thumbnailsSizePct", plist::Value(130)},
        {"arrows", false},        {"vim", true},              {"hover", true},
        {"fadeOut", true},        {"preview", true},          {"backgroundCapture", false},
        {"menubarIcon", false},   {"statusIcons", false},     {"spaceLabels", true},
        {"cursorFollows", true},  {"delayMs", plist::Value(1000)},       {"closeKey", plist::Value("x")},
        {"hideKey", plist::Value("é")},
    };
    EXPECT_EQ(plan->values, want);
    EXPECT_EQ(plan->look, "app icons");
    EXPECT_EQ(plan->shortcuts[0], record(0, 0, 0));  // ⌘ Tab
    EXPECT_EQ(plan->shortcuts[1], record(0, 2, 1));  // ⌘⌥ counts as ⌘; Space
    SlotRecord third = record(2, 1, 3);              // ⌃ grave accent, one window per app
    third.spaces = 1;
    third.screens = 1;
    third.minimized = 2;
    third.hidden = 1;
    third.fullscreen = 2;  // 7 capped
    third.windowless = 1;
    third.order = 3;       // 9 capped
    EXPECT_EQ(plan->shortcuts[2], third);
    EXPECT_FALSE(plan->shortcuts[3]);
    EXPECT_FALSE(plan->shortcuts[4]);
    EXPECT_EQ(plan->lines, (std::vector<PlanLine>{{{"⌘", "Tab"}, "Every window"},
                                                  {{"⌘", "Space"}, "This app’s windows"},
                                                  {{"⌃", "`"}, "One window per app"}}));
    EXPECT_EQ(plan->exceptions, (std::vector<Exception>{{"com.example.one", 1, 0},
                                                        {"com.example.two", 0, 2}}));
  }
}

// The integer reader through "appearanceSize" (default 3, accepted 0 to 3, 0 and 2 migrated).
TEST(AltTabImport, IntegerReadingAndSizeMigration) {
  struct Case { std::string stored; std::optional<int64_t> size; std::optional<int64_t> pct; };
  const Case cases[] = {
      {"", 3, {}},  // absent
      {text("0"), 1, 75},
      {text("1"), 1, {}},
      {text("2"), 1, 130},
      {text("3"), 3, {}},
      {text("4"), {}, {}},  // out of range: dropped
      {text("-1"), {}, {}},
      {text("+1"), 1, {}},
      {text("-0"), 1, 75},
      {text("007"), {}, {}},  // 7
      {text("01"), 1, {}},
      {text(" 1"), 3, {}},  // not a decimal integer: the default
      {text("1 "), 3, {}},
      {text("1.0"), 3, {}},
      {text("+-1"), 3, {}},
      {text("+"), 3, {}},
      {text("-"), 3, {}},
      {text(""), 3, {}},
      {text("abc"), 3, {}},
      {text("99999999999999999999"), 3, {}},  // beyond 64 bits
      {"<integer>2</integer>", 1, 130},
      {"<integer>-5</integer>", {}, {}},
      {"<real>2.0</real>", 1, 130},  // its text is "2"
      {"<real>1.5</real>", 3, {}},
      {"<true/>", 1, {}},  // "1"
      {"<false/>", 1, 75},  // "0"
      {"<data>AQ==</data>", 3, {}},
      {"<array><string>1</string></array>", 3, {}},
  };
  for (const Case& c : cases) {
    Domain d;
    if (!c.stored.empty()) d.xml["appearanceSize"] = c.stored;
    const Plan p = d.plan();
    EXPECT_EQ(get(p, "size"), opt(c.size)) << c.stored;
    for (const char* key : {"titlesSizePct", "appIconsSizePct", "thumbnailsSizePct"})
      EXPECT_EQ(get(p, key), opt(c.pct)) << c.stored << " " << key;
  }
}

TEST(AltTabImport, StyleAndRangedIntegers) {
  struct Case { const char* from; const char* stored; const char* key; std::optional<int64_t> want; };
  const Case cases[] = {
      {"appearanceStyle", "0", "style", 2}, {"appearanceStyle", "1", "style", 1},
      {"appearanceStyle", "2", "style", 0}, {"appearanceStyle", "3", "style", {}},
      {"appearanceStyle", "-1", "style", {}}, {"appearanceStyle", "x", "style", 2},
      {"appearanceTheme", "0", "theme", 0}, {"appearanceTheme", "2", "theme", 2},
      {"appearanceTheme", "3", "theme", {}}, {"appearanceTheme", "-1", "theme", {}},
      {"showOnScreen", "2", "showOn", 2},   {"showOnScreen", "3", "showOn", {}},
      {"titleTruncation", "0", "truncation", 0}, {"titleTruncation", "3", "truncation", {}},
      {"shortcutStyle", "1", "afterRelease", 1}, {"shortcutStyle", "2", "afterRelease", {}},
      {"windowDisplayDelay", "250", "delayMs", 250}, {"windowDisplayDelay", "-5", "delayMs", 0},
      {"windowDisplayDelay", "5000", "delayMs", 1000}, {"windowDisplayDelay", "x", "delayMs", 100},
  };
  for (const Case& c : cases) {
    Domain d;
    d.xml[c.from] = text(c.stored);
    EXPECT_EQ(get(d.plan(), c.key), opt(c.want)) << c.from << "=" << c.stored;
  }
  struct Look { const char* stored; const char* look; };
  for (const Look l : {Look{"0", "thumbnails"}, Look{"1", "app icons"}, Look{"2", "list"},
                       Look{"3", ""}}) {
    Domain d;
    d.xml["appearanceStyle"] = text(l.stored);
    EXPECT_EQ(d.plan().look, l.look) << l.stored;
  }
}

TEST(AltTabImport, FlagMappingsAndFlagReading) {
  struct Map { const char* from; const char* key; bool fallback; bool inverted; };
  const Map maps[] = {
      {"arrowKeysEnabled", "arrows", true, false},
      {"vimKeysEnabled", "vim", false, false},
      {"mouseHoverEnabled", "hover", false, false},
      {"fadeOutAnimation", "fadeOut", false, false},
      {"previewFocusedWindow", "preview", false, false},
      {"captureWindowsInBackground", "backgroundCapture", true, false},
      {"menubarIconShown", "menubarIcon", true, false},
      {"hideStatusIcons", "statusIcons", false, true},
      {"hideSpaceNumberLabels", "spaceLabels", true, true},
  };
  // What AltTab may have stored, and whether the flag reader takes it as true; nullopt for
  // "nothing readable", which gives the default.
  struct Stored { std::string xml; std::optional<bool> flag; };
  const Stored stored[] = {
      {text("true"), true}, {text("1"), true},     {text("TRUE"), false}, {text("yes"), false},
      {text("0"), false},   {text("false"), false}, {text(""), false},     {text(" 1"), false},
      {"<true/>", true},    {"<false/>", false},    {"<integer>1</integer>", true},
      {"<integer>2</integer>", false},               {"<real>1.0</real>", true},
      {"<data>AQ==</data>", std::nullopt},           {"<dict/>", std::nullopt},
  };
  for (const Map& m : maps)
    for (const Stored& s : stored) {
      Domain d;
      d.xml[m.from] = s.xml;
      const bool read = s.flag.value_or(m.fallback);
      EXPECT_EQ(get(d.plan(), m.key), std::optional<plist::Value>(read != m.inverted))
          << m.from << "=" << s.xml;
    }
  struct Follow { const char* stored; bool want; };
  for (const Follow f : {Follow{"0", false}, Follow{"1", true}, Follow{"2", true},
                         Follow{"-1", true}, Follow{"true", false}}) {
    Domain d;
    d.xml["cursorFollowFocus"] = text(f.stored);
    EXPECT_EQ(get(d.plan(), "cursorFollows"), std::optional<plist::Value>(f.want)) << f.stored;
  }
}

TEST(AltTabImport, ActionLetters) {
  struct Map { const char* from; const char* key; };
  const Map maps[] = {{"closeWindowShortcut", "closeKey"},
                      {"minDeminWindowShortcut", "minimizeKey"},
                      {"toggleFullscreenWindowShortcut", "fullscreenKey"},
                      {"hideShowAppShortcut", "hideKey"},
                      {"quitAppShortcut", "quitKey"}};
  const auto dict = [](const std::string& value) {
    return "<dict><key>string</key>" + value + "</dict>";
  };
  struct Case { std::string stored; std::optional<std::string> want; };
  const Case cases[] = {
      {dict(text("K")), "k"},
      {dict(text("k")), "k"},
      {dict(text("Ä")), "ä"},
      {dict(text("ж")), "ж"},
      {dict(text("ab")), {}},
      {dict(text("7")), {}},
      {dict(text(";")), {}},
      {dict(text("")), {}},
      {dict(text("😀")), {}},
      {dict(text("e\xCC\x81")), {}},  // a letter and a combining accent: two scalars
      {dict("<integer>1</integer>"), {}},
      {text("k"), {}},  // a bare text is not AltTab's form
      {"<dict><key>characters</key><string>k</string></dict>", {}},
  };
  for (const Map& m : maps)
    for (const Case& c : cases) {
      Domain d;
      d.xml[m.from] = c.stored;
      EXPECT_EQ(get(d.plan(), m.key), opt(c.want)) << m.from << "=" << c.stored;
    }
}

TEST(AltTabImport, DecodesRecordedKeys) {
  const auto bytes = fixture_bytes;
  EXPECT_EQ(decode_keys(bytes("command_option.bin")), (RecordedKeys{48, COMMAND | OPTION}));
  EXPECT_EQ(decode_keys(bytes("by_reference.bin")), (RecordedKeys{49, CONTROL}));
  EXPECT_EQ(decode_keys(bytes("shift_only.bin")), (RecordedKeys{-1, 0x20000}));
  EXPECT_EQ(decode_keys(archive(std::nullopt, OPTION)), (RecordedKeys{-1, OPTION}));
  EXPECT_FALSE(decode_keys(bytes("wrong_class.bin")));
  EXPECT_FALSE(decode_keys(bytes("junk.bin")));
  EXPECT_FALSE(decode_keys(bytes("nul_key.bin")));  // its class has no "$classname"
  EXPECT_FALSE(decode_keys({}));
}

TEST(AltTabImport, HoldModifier) {
  struct Case { std::optional<std::vector<uint8_t>> stored; std::optional<uint8_t> hold; };
  const Case cases[] = {
      {std::nullopt, 1},                              // nothing stored: ⌥
      {archive(-1, COMMAND), 0},
      {archive(-1, OPTION), 1},
      {archive(-1, CONTROL), 2},
      {archive(-1, COMMAND | OPTION), 0},             // ⌘ wins
      {archive(-1, OPTION | CONTROL | 0x20000), 1},
      {archive(-1, 0x20000), std::nullopt},           // Shift alone: slot off
      {archive(-1, 0), std::nullopt},
      {archive(-1, COMMAND, "NSObject"), 1},          // does not decode: ⌥
      {std::vector<uint8_t>{1, 2, 3}, 1},
  };
  for (const Case& c : cases) {
    Domain d;
    if (c.stored) d.shortcuts["holdShortcut"] = *c.stored;
    const Plan p = d.plan();
    EXPECT_EQ(p.shortcuts[0] ? std::optional<uint8_t>(p.shortcuts[0]->hold) : std::nullopt,
              c.hold);
    EXPECT_EQ(p.lines.size(), c.hold ? 2u : 1u);
  }
  Domain plain;  // a value that is not a dictionary with data also reads as nothing
  plain.xml["holdShortcut"] = text("⌘");
  EXPECT_EQ(plain.plan().shortcuts[0]->hold, 1);
}

TEST(AltTabImport, NextWindowKey) {
  struct Case { size_t slot; std::optional<int64_t> code; std::optional<uint8_t> key; };
  const Case cases[] = {
      {0, 48, 0}, {0, 50, 1}, {0, 49, 2}, {0, 40, {}}, {0, -1, {}},  // key code not stored
      {0, {}, 0},  // nothing stored: Tab for slot 0
      {1, {}, 1},  // the grave accent for slot 1
      {2, {}, {}}, {3, {}, {}}, {4, {}, {}},  // no default for the others
      {2, 49, 2}, {4, 48, 0},
  };
  for (const Case& c : cases) {
    Domain d;
    d.xml["shortcutCount"] = text("5");
    const std::string suffix = c.slot == 0 ? "" : std::to_string(c.slot + 1);
    if (c.code) d.shortcuts["nextWindowShortcut" + suffix] = archive(*c.code, 0);
    const Plan p = d.plan();
    const auto& s = p.shortcuts[c.slot];
    EXPECT_EQ(s ? std::optional<uint8_t>(s->key) : std::nullopt, c.key)
        << c.slot << " " << c.code.value_or(-99);
  }
}

TEST(AltTabImport, SlotCount) {
  struct Case { const char* file; size_t converted; };
  for (const Case c : {Case{"count_0.plist", 1}, Case{"count_-3.plist", 1},
                       Case{"count_9.plist", 5}}) {
    const auto p = fixture(c.file);
    ASSERT_TRUE(p);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(p->shortcuts[i].has_value(), i < c.converted) << c.file;
    EXPECT_EQ(p->lines.size(), c.converted) << c.file;
  }
}

// The per-slot filters, each stored under the slot's own suffix.
TEST(AltTabImport, SlotFilters) {
  struct Case { const char* key; const char* stored; uint8_t SlotRecord::*field; uint8_t want; };
  const Case cases[] = {
      {"spacesToShow", "1", &SlotRecord::spaces, 1},
      {"spacesToShow", "2", &SlotRecord::spaces, 0},
      {"screensToShow", "1", &SlotRecord::screens, 1},
      {"screensToShow", "2", &SlotRecord::screens, 0},
      {"showMinimizedWindows", "1", &SlotRecord::minimized, 1},
      {"showMinimizedWindows", "5", &SlotRecord::minimized, 2},
      {"showMinimizedWindows", "-1", &SlotRecord::minimized, 0},
      {"showHiddenWindows", "2", &SlotRecord::hidden, 2},
      {"showHiddenWindows", "3", &SlotRecord::hidden, 2},
      {"showFullscreenWindows", "1", &SlotRecord::fullscreen, 1},
      {"showFullscreenWindows", "9", &SlotRecord::fullscreen, 2},
      {"showWindowlessApps", "1", &SlotRecord::windowless, 1},
      {"showWindowlessApps", "0", &SlotRecord::windowless, 0},
      {"showWindowlessApps", "2", &SlotRecord::windowless, 0},
      {"windowOrder", "2", &SlotRecord::order, 2},
      {"windowOrder", "7", &SlotRecord::order, 3},
      {"windowOrder", "-4", &SlotRecord::order, 0},
  };
  for (const Case& c : cases)
    for (size_t slot : {0u, 4u}) {
      Domain d;
      d.xml["shortcutCount"] = text("5");
      d.shortcuts["nextWindowShortcut3"] = d.shortcuts["nextWindowShortcut4"] =
          d.shortcuts["nextWindowShortcut5"] = archive(48, 0);
      d.xml[slot == 0 ? std::string(c.key) : std::string(c.key) + "5"] = text(c.stored);
      const Plan p = d.plan();
      ASSERT_TRUE(p.shortcuts[0] && p.shortcuts[4]);
      EXPECT_EQ(p.shortcuts[slot].value().*c.field, c.want) << c.key << "=" << c.stored;
      const size_t other = slot == 0 ? 4 : 0;  // the other slot keeps its default
      EXPECT_EQ(p.shortcuts[other].value().*c.field, SlotRecord{}.*c.field) << c.key;
    }

  // Apps: both AltTab settings together; the default of appsToShow is the slot number for
  // slots 0 to 2.
  struct Apps { size_t slot; const char* apps; const char* windows; uint8_t want; const char* what; };
  const Apps apps[] = {
      {0, nullptr, nullptr, 0, "Every window"},
      {1, nullptr, nullptr, 1, "This app’s windows"},
      {2, nullptr, nullptr, 2, "Other apps’ windows"},
      {3, nullptr, nullptr, 0, "Every window"},
      {4, nullptr, nullptr, 0, "Every window"},
      {0, "0", "0", 3, "One window per app"},
      {1, nullptr, "0", 1, "This app’s windows"},
      {3, nullptr, "0", 3, "One window per app"},
      {0, "1", "0", 1, "This app’s windows"},
      {0, "2", "1", 2, "Other apps’ windows"},
      {0, "3", "1", 0, "Every window"},
      {0, "-1", "1", 0, "Every window"},
  };
  for (const Apps& a : apps) {
    Domain d;
    d.xml["shortcutCount"] = text("5");
    for (const char* k : {"nextWindowShortcut3", "nextWindowShortcut4", "nextWindowShortcut5"})
      d.shortcuts[k] = archive(49, 0);
    const std::string suffix = a.slot == 0 ? "" : std::to_string(a.slot + 1);
    if (a.apps) d.xml["appsToShow" + suffix] = text(a.apps);
    if (a.windows) d.xml["showAppsOrWindows" + suffix] = text(a.windows);
    const Plan p = d.plan();
    ASSERT_TRUE(p.shortcuts[a.slot]);
    EXPECT_EQ(p.shortcuts[a.slot]->apps, a.want) << a.slot;
    ASSERT_EQ(p.lines.size(), 5u);
    EXPECT_EQ(p.lines[a.slot].what, a.what) << a.slot;
  }
}

TEST(AltTabImport, Exceptions) {
  const auto p = fixture("exceptions.plist");
  ASSERT_TRUE(p);
  const std::vector<Exception> want = {
      {"com.example.h0i1", 0, 2},  // h0i0 is not imported; AltTab's "1" passes always
      {"com.example.h0i2", 0, 1},  // "2" passes in full screen
      {"com.example.h1i0", 1, 0},     {"com.example.h1i1", 1, 2}, {"com.example.h1i2", 1, 1},
      {"com.example.h2i0", 2, 0},     {"com.example.h2i1", 2, 2}, {"com.example.h2i2", 2, 1},
      {"com.example.hideneg", 0, 1},  // "-1" is no hide code
      {"com.example.plus", 2, 2},
  };
  EXPECT_EQ(p->exceptions, want);

  const auto json_text = [](const std::string& json) {
    std::string escaped;
    for (char c : json) escaped += c == '<' ? std::string("&lt;") : c == '&' ? "&amp;" : std::string(1, c);
    return text(escaped);
  };
  for (const std::string& stored :
       {json_text("not json"), json_text("{}"), json_text("[1]"), json_text("\"[]\""),
        json_text(R"([{"bundleIdentifier":"a","hide":"1"}, 3])"),
        json_text(R"([{"bundleIdentifier":"a","hide":"1"})"), std::string("<integer>1</integer>"),
        std::string("<array><dict><key>bundleIdentifier</key><string>a</string></dict></array>")}) {
    Domain bad;
    bad.xml["exceptions"] = stored;
    bad.xml["appearanceStyle"] = text("1");
    const Plan plan = bad.plan();
    EXPECT_TRUE(plan.exceptions.empty()) << stored;
    EXPECT_EQ(get(plan, "style"), std::optional<plist::Value>(plist::Value(1)));  // the rest stands
  }
}

// --- Applying a plan ---------------------------------------------------------------------------

std::string dict_xml(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out = "<dict>";
  for (const auto& [k, v] : entries) out += "<key>" + k + "</key>" + v;
  return out + "</dict>";
}

std::string integer(int v) { return "<integer>" + std::to_string(v) + "</integer>"; }
std::string boolean(bool v) { return v ? "<true/>" : "<false/>"; }

Plan one_slot_plan() {
  Plan plan;
  SlotRecord r = record(2, 1, 3);
  r.order = 2;
  plan.shortcuts[0] = r;
  return plan;
}

// Slot 0 of one_slot_plan() as stored, with the stored keys given in front.
std::string slot0(const std::string& kept = "") {
  return "<dict>" + kept +
         "<key>enabled</key><true/><key>hold</key><integer>2</integer>"
         "<key>key</key><integer>1</integer><key>apps</key><integer>3</integer>"
         "<key>spaces</key><integer>0</integer><key>screens</key><integer>0</integer>"
         "<key>minimized</key><integer>0</integer><key>hidden</key><integer>0</integer>"
         "<key>fullscreen</key><integer>0</integer><key>windowless</key><integer>0</integer>"
         "<key>order</key><integer>2</integer></dict>";
}
const std::string OFF = dict_xml({{"enabled", boolean(false)}});

std::optional<plist::Value> stored(const std::string& xml) {
  return xml.empty() ? std::nullopt : std::optional<plist::Value>(frag(xml));
}

TEST(AltTabImportApply, ShortcutsMergeIntoTheStoredSlots) {
  // Stored slot dictionaries keep their own look and any key the plan does not carry.
  const std::string mine0 = dict_xml({{"enabled", boolean(false)}, {"hold", integer(0)},
                                      {"style", integer(1)}, {"size", integer(2)},
                                      {"custom", "<string>kept</string>"}});
  const std::string mine1 = dict_xml({{"enabled", boolean(true)}, {"style", integer(0)}});
  const std::string mine1_off = dict_xml({{"enabled", boolean(false)}, {"style", integer(0)}});
  const std::string style0 = "<key>style</key><integer>0</integer>";
  struct Case { std::string stored; std::string want; };
  const Case cases[] = {
      // Nothing stored, or no list: the plan's five dictionaries.
      {"", "<array>" + slot0() + OFF + OFF + OFF + OFF + "</array>"},
      {"<string>junk</string>", "<array>" + slot0() + OFF + OFF + OFF + OFF + "</array>"},
      // Two stored: merged, three appended.
      {"<array>" + mine0 + mine1 + "</array>",
       "<array>" +
           slot0("<key>style</key><integer>1</integer><key>size</key><integer>2</integer>"
                 "<key>custom</key><string>kept</string>") +
           mine1_off + OFF + OFF + OFF + "</array>"},
      // Elements that are not dictionaries do not count as slots.
      {"<array>" + integer(7) + mine1 + "</array>",
       "<array>" + slot0(style0) + OFF + OFF + OFF + OFF + "</array>"},
      // Dictionaries past the fifth stay as they are.
      {"<array>" + mine1 + mine1 + mine1 + mine1 + mine1 + mine1 + "</array>",
       "<array>" + slot0(style0) + mine1_off + mine1_off + mine1_off + mine1_off + mine1 +
           "</array>"},
  };
  for (const Case& c : cases) {
    const auto current = stored(c.stored);
    const plist::Dict out = changes(one_slot_plan(), current ? &*current : nullptr, nullptr);
    EXPECT_EQ(out.at("shortcuts"), frag(c.want)) << c.stored;
  }
}

TEST(AltTabImportApply, ImportedExceptionsReplaceAndMoveToTheEnd) {
  Plan plan;
  plan.exceptions = {{"com.a", 1, 0}, {"com.apple.finder", 0, 2}};
  const auto entry = entry_xml;
  std::string defaults;  // our default list, without Finder, which the import replaces
  for (const Exception& e : default_exceptions())
    if (e.bundleId != "com.apple.finder") defaults += entry(e.bundleId, e.hide, e.ignore);
  const std::string imported = entry("com.a", 1, 0) + entry("com.apple.finder", 0, 2);
  struct Case { std::string stored; std::string want; };
  const Case cases[] = {
      {"<array>" + entry("com.a", 2, 2) + entry("com.b", 0, 1) + entry("com.a", 0, 1) +
           integer(3) + "</array>",
       "<array>" + entry("com.b", 0, 1) + integer(3) + imported + "</array>"},
      {"<array/>", "<array>" + imported + "</array>"},
      // Nothing stored means our default list: the import adds to it, it does not replace it.
      {"", "<array>" + defaults + imported + "</array>"},
      {"<string>junk</string>", "<array>" + defaults + imported + "</array>"},
  };
  for (const Case& c : cases) {
    const auto current = stored(c.stored);
    const plist::Dict out = changes(plan, nullptr, current ? &*current : nullptr);
    EXPECT_EQ(out.at("exceptions"), frag(c.want)) << c.stored;
  }
}

// End to end through the store: AltTab's domain read from its file, the plan written into ours
// in one write that listeners hear once, and every key we did not import left alone.
TEST(AltTabImportApply, AppliesInOneWrite) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "alttab_apply";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  Defaults ours = Defaults::at_path(dir / "ours.plist");
  ASSERT_TRUE(ours.write({{"corner", 12},
                          {"style", 0},
                          {"shortcuts", frag("<array>" + dict_xml({{"size", integer(2)}}) +
                                             "</array>")}}));
  int notices = 0;
  ours.subscribe([&](Defaults::Change) { ++notices; });
  const auto plan = fixture("strings.plist");
  ASSERT_TRUE(plan);
  ASSERT_TRUE(apply(ours, *plan));
  EXPECT_EQ(notices, 1);

  const plist::Dict domain = ours.persistent_domain().value();
  for (const auto& [key, v] : plan->values) EXPECT_EQ(domain.at(key), v) << key;
  EXPECT_EQ(domain.at("corner"), plist::Value(12));
  const plist::Array& slots = *domain.at("shortcuts").get<plist::Array>();
  ASSERT_EQ(slots.size(), 5u);
  EXPECT_EQ(slots[0].get<plist::Dict>()->at("size"), plist::Value(2));   // its own look kept
  EXPECT_EQ(slots[0].get<plist::Dict>()->at("hold"), plist::Value(0));   // ⌘ from AltTab
  EXPECT_EQ(slots[2].get<plist::Dict>()->at("apps"), plist::Value(3));
  EXPECT_EQ(slots[3], frag(OFF));
  const plist::Array& exceptions = *domain.at("exceptions").get<plist::Array>();
  ASSERT_EQ(exceptions.size(), default_exceptions().size() + 2);
  EXPECT_EQ(exceptions.back(), frag(entry_xml("com.example.two", 0, 2)));

  // What the application loads from it.
  const Settings s = prefs::from_domain(domain);
  EXPECT_EQ(s.style, Style::AppIcons);
  EXPECT_EQ(s.size, 1);
  EXPECT_EQ(s.thumbnailsSizePct, 130);
  EXPECT_EQ(s.corner, 12);
  EXPECT_EQ(s.closeKey, U'x');
  EXPECT_EQ(s.minimizeKey, U'm');  // not imported: unchanged
  EXPECT_EQ(s.hideKey, U'é');
  EXPECT_EQ(s.delayMs, 1000);
  ASSERT_EQ(s.shortcuts.size(), 5u);
  Shortcut first = Shortcut::slot(0);
  first.size = 2;  // its own look, kept
  EXPECT_EQ(s.shortcuts[0], first);
  EXPECT_EQ(s.shortcuts[1].hold, 0);
  EXPECT_EQ(s.shortcuts[1].key, 2);
  EXPECT_EQ(s.shortcuts[2].enabled, true);
  EXPECT_EQ(s.shortcuts[2].apps, 3);
  EXPECT_EQ(s.shortcuts[2].order, 3);
  EXPECT_FALSE(s.shortcuts[3].enabled);
  EXPECT_EQ(s.exceptions.front(), default_exceptions().front());
  EXPECT_EQ(s.exceptions.back(), (Exception{"com.example.two", 0, 2}));
}

}  // namespace
}  // namespace mirvex::AltTabImport
