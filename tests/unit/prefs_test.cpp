#include "core/prefs.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/unit/config_dir.h"

namespace mirvex::prefs {
namespace {

using namespace testing_config;
using plist::Array;
using plist::Dict;
using plist::Value;

class PrefsTest : public ConfigDirTest {
 protected:
  // Stores `domain` as the whole persistent domain and loads the settings from it.
  Settings load_from(const Dict& domain, const std::vector<std::string>& args = {}) {
    Defaults d;
    EXPECT_TRUE(d.set_persistent_domain(domain));
    d.set_arguments(args);
    return load(d);
  }
  Dict stored() { return Defaults().persistent_domain().value_or(Dict{}); }
};

TEST_F(PrefsTest, IntegersAreClampedAndOtherKindsIgnored) {
  struct Row {
    const char* key;
    Value stored;
    std::function<int64_t(const Settings&)> field;
    int64_t expected;
  };
  const Row rows[] = {
      {"opacityPct", 5, [](const Settings& s) { return s.opacityPct; }, 10},
      {"opacityPct", 250, [](const Settings& s) { return s.opacityPct; }, 100},
      {"opacityPct", "80", [](const Settings& s) { return s.opacityPct; }, 100},
      {"opacityPct", 55.9, [](const Settings& s) { return s.opacityPct; }, 55},
      {"corner", -3, [](const Settings& s) { return s.corner; }, 0},
      {"borderWidth", 0, [](const Settings& s) { return s.borderWidth; }, 1},
      {"tint", int64_t{-1} << 40, [](const Settings& s) { return s.tint; }, -100},
      {"delayMs", 70000, [](const Settings& s) { return s.delayMs; }, 1000},
      {"appIconsRows", Array{3}, [](const Settings& s) { return s.appIconsRows; }, 0},
      {"hyperKey", true, [](const Settings& s) { return s.hyperKey; }, 1},
  };
  for (const Row& r : rows) {
    const Settings s = load_from({{r.key, r.stored}});
    EXPECT_EQ(r.field(s), r.expected) << r.key << " " << plist::to_xml(r.stored);
  }
}

TEST_F(PrefsTest, CodesOutOfRangeLeaveTheFieldUnchanged) {
  Settings s = load_from({{"theme", -1}, {"style", 7}, {"truncation", 3}, {"afterRelease", 1},
                          {"shortcuts", Array{Dict{{"hold", 5}, {"order", 3}}}}});
  EXPECT_EQ(s.theme, Theme::System);
  EXPECT_EQ(s.style, Style::Titles);
  EXPECT_EQ(s.truncation, 2);
  EXPECT_EQ(s.afterRelease, 1);
  EXPECT_EQ(s.shortcuts[0].hold, Shortcut::slot(0).hold);
  EXPECT_EQ(s.shortcuts[0].order, 3);
  s = load_from({{"theme", 0}, {"style", 2}});
  EXPECT_EQ(s.theme, Theme::Light);
  EXPECT_EQ(s.style, Style::Thumbnails);
}

TEST_F(PrefsTest, OptionalCodesAbsentOutsideTheirRange) {
  const Settings s = load_from({{"shortcuts", Array{Dict{{"style", -1}, {"size", 3}},
                                                    Dict{{"style", 7}, {"size", 4}},
                                                    Dict{{"style", 1}, {"size", -1}}}}});
  ASSERT_EQ(s.shortcuts.size(), 3u);
  EXPECT_EQ(s.shortcuts[0].style_opt(), std::nullopt);
  EXPECT_EQ(s.shortcuts[0].size_opt(), 3);
  EXPECT_EQ(s.shortcuts[1].style_opt(), std::nullopt);
  EXPECT_EQ(s.shortcuts[1].size_opt(), std::nullopt);
  EXPECT_EQ(s.shortcuts[2].style_opt(), Style::AppIcons);
  EXPECT_EQ(s.shortcuts[2].size_opt(), std::nullopt);
}

TEST_F(PrefsTest, ShortcutListsTakeAtMostFiveDictionariesEachFromItsSlot) {
  Array seven(7, Value(Dict{{"order", 2}}));
  Settings s = load_from({{"shortcuts", seven}});
  ASSERT_EQ(s.shortcuts.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    Shortcut expected = Shortcut::slot(i);
    expected.order = 2;
    EXPECT_EQ(s.shortcuts[i], expected) << i;
  }

  s = load_from({{"shortcuts", Array{7, Dict{}, "x", Dict{{"enabled", false}}}}});
  ASSERT_EQ(s.shortcuts.size(), 2u);
  EXPECT_EQ(s.shortcuts[0], Shortcut::slot(0));
  Shortcut second = Shortcut::slot(1);
  second.enabled = false;
  EXPECT_EQ(s.shortcuts[1], second);

  for (const Value& nothing : {Value(Array{}), Value(Array{1, "two"}), Value("not a list")}) {
    s = load_from({{"shortcuts", nothing}});
    EXPECT_EQ(s.shortcuts, Settings::defaults().shortcuts) << plist::to_xml(nothing);
  }
}

TEST_F(PrefsTest, ExceptionAndHotkeyListsReplaceTheDefaultsFromBlankEntries) {
  const Settings s = load_from(
      {{"exceptions", Array{Dict{{"bundleId", "com.example.a"}, {"hide", 1}}, Dict{{"ignore", 9}}}},
       {"appHotkeys", Array{Dict{{"bundleId", "com.example.b"}, {"code", 300}, {"mods", -1}}}}});
  EXPECT_EQ(s.exceptions, (std::vector<Exception>{{"com.example.a", 1, 0}, {"", 0, 0}}));
  ASSERT_EQ(s.appHotkeys.size(), 1u);
  EXPECT_EQ(s.appHotkeys[0], (AppHotkey{"com.example.b", "", 127, 0, true}));
}

TEST_F(PrefsTest, CharacterKeysTakeTheFirstCharacter) {
  const Settings s = load_from({{"closeKey", "xyz"}, {"minimizeKey", ""}, {"fullscreenKey", "éa"},
                                {"hideKey", "\xff"}, {"quitKey", 5}});
  EXPECT_EQ(s.closeKey, U'x');
  EXPECT_EQ(s.minimizeKey, std::nullopt);
  EXPECT_EQ(s.fullscreenKey, U'é');
  EXPECT_EQ(s.hideKey, U'h');  // not UTF-8: unchanged
  EXPECT_EQ(s.quitKey, U'q');  // not text: unchanged
}

TEST_F(PrefsTest, FlagsReadAnyNumberButNoText) {
  const Settings s = load_from({{"statusIcons", 0}, {"spaceLabels", 1}, {"preview", 7}, {"vim", 0.5},
                                {"dockBadges", "NO"}, {"search", "YES"}});
  EXPECT_FALSE(s.statusIcons);
  EXPECT_TRUE(s.spaceLabels);
  EXPECT_TRUE(s.preview);
  EXPECT_TRUE(s.vim);
  EXPECT_TRUE(s.dockBadges);
  EXPECT_FALSE(s.search);
}

TEST_F(PrefsTest, SizeMigrationScalesEveryStyleAndSavesAtOnce) {
  struct Row { int64_t size; uint8_t pct; };
  for (const Row r : {Row{2, 130}, Row{0, 75}}) {
    const Settings s = load_from({{"size", r.size}});
    EXPECT_EQ(s.size, 1);
    EXPECT_EQ(s.titlesSizePct, r.pct);
    EXPECT_EQ(s.appIconsSizePct, r.pct);
    EXPECT_EQ(s.thumbnailsSizePct, r.pct);
    const Dict now = stored();
    EXPECT_EQ(now.at("size"), Value(1));
    EXPECT_EQ(now.at("thumbnailsSizePct"), Value(r.pct));
    EXPECT_EQ(load(*std::make_unique<Defaults>()), s);
  }
  // A user who already has per-style scales keeps mode 2 as it is.
  const Settings kept = load_from({{"size", 2}, {"titlesSizePct", 90}});
  EXPECT_EQ(kept.size, 2);
  EXPECT_EQ(stored().count("appIconsSizePct"), 0u);
}

TEST_F(PrefsTest, SpacesAndIconStyleMigrationTouchesTheFirstTwoShortcutsAndRemovesTheKeys) {
  const Settings s = load_from({{"allSpaces", false}, {"iconStyle", true},
                                {"shortcuts", Array{Dict{}, Dict{}, Dict{}}}});
  ASSERT_EQ(s.shortcuts.size(), 3u);
  EXPECT_EQ(s.shortcuts[0].spaces, SpacesFilter::Visible);
  EXPECT_EQ(s.shortcuts[1].spaces, SpacesFilter::Visible);
  EXPECT_EQ(s.shortcuts[2].spaces, SpacesFilter::All);
  EXPECT_EQ(s.style, Style::AppIcons);
  const Dict now = stored();
  EXPECT_EQ(now.count("allSpaces"), 0u);
  EXPECT_EQ(now.count("iconStyle"), 0u);
  EXPECT_EQ(now.at("style"), Value(1));
  EXPECT_TRUE(logged("prefs: migrated allSpaces/iconStyle"));

  // allSpaces true changes no filter but is still removed.
  const Settings t = load_from({{"allSpaces", true}});
  EXPECT_EQ(t.shortcuts, Settings::defaults().shortcuts);
  EXPECT_EQ(stored().count("allSpaces"), 0u);
}

TEST_F(PrefsTest, MissingDomainLoadsDefaultsAndWritesNothing) {
  Defaults d;
  EXPECT_EQ(load(d), Settings::defaults());
  EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(PrefsTest, NeedsOnboarding) {
  struct Row { Dict domain; bool expected; };
  const Row rows[] = {
      {{}, true},                                                 // fresh installation
      {{{"shortcuts", Array{}}}, false},                          // predates the first-run flow
      {{{"shortcuts", Array{}}, {"onboardingStep", 2}}, true},    // started, not finished
      {{{"onboarded", true}, {"onboardingStep", 2}}, false},
      {{{"onboarded", 1}}, false},
  };
  for (const Row& r : rows) {
    Defaults d;
    ASSERT_TRUE(d.set_persistent_domain(r.domain));
    EXPECT_EQ(needs_onboarding(d), r.expected) << plist::to_xml(Value(r.domain));
  }
  Defaults d;
  ASSERT_TRUE(d.set_persistent_domain({{"shortcuts", Array{}}, {"onboardingStep", 5}}));
  EXPECT_TRUE(guide_before(d, 6));
  EXPECT_FALSE(guide_before(d, 5));
  d.set_arguments({"-onboarded", "YES"});
  EXPECT_FALSE(needs_onboarding(d));
  EXPECT_FALSE(guide_before(d, 6));
}

TEST_F(PrefsTest, SingleKeyFlagsAndClearingTheRecorder) {
  Defaults d;
  ASSERT_TRUE(d.write({{"recordingHotkey", true}, {"debug", "YES"}}));
  EXPECT_TRUE(recording_hotkey(d));
  EXPECT_TRUE(debug(d));
  ASSERT_TRUE(clear_recording_hotkey(d));
  EXPECT_FALSE(recording_hotkey(d));
  EXPECT_EQ(stored().count("recordingHotkey"), 0u);
}

TEST_F(PrefsTest, CommandLineOverridesStoredKeysOfTheDomain) {
  const Settings s = load_from({{"opacityPct", 80}, {"glide", true}, {"search", true}},
                               {"-opacityPct", "<integer>40</integer>", "-glide", "NO",
                                "-corner", "<integer>3</integer>"});
  EXPECT_EQ(s.opacityPct, 40);
  EXPECT_TRUE(s.glide);    // text under a flag key is the wrong kind: the default stays
  EXPECT_EQ(s.corner, 26);  // only keys the domain holds are looked up
  EXPECT_TRUE(s.search);
}

Settings every_field_changed() {
  Settings s = Settings::defaults();
  s.style = Style::Thumbnails;
  s.size = 1;
  s.theme = Theme::Dark;
  s.opacityPct = 55;
  s.tint = -42;
  s.corner = 40;
  s.afterRelease = 1;
  s.preview = s.previewBeside = s.fadeIn = s.fadeOut = s.vim = s.search = s.hints = s.hover =
      s.scroll = s.hyperShift = s.cursorFollows = s.backgroundCapture = s.singleFocus =
          s.border = s.borderGlow = true;
  s.statusIcons = s.spaceLabels = s.dockBadges = s.staggerIn = s.liquidGlass = s.glide = s.swell =
      s.nameFade = s.closeSlide = s.scrollFade = s.arrows = s.shiftTapBack = s.appHotkeysOn =
          s.menubarIcon = false;
  s.previewOpacityPct = 11;
  s.previewCoverPct = 0;
  s.titlesMaxWidthPct = 31, s.appIconsMaxWidthPct = 32, s.thumbnailsMaxWidthPct = 33;
  s.titlesSizePct = 51, s.appIconsSizePct = 199, s.thumbnailsSizePct = 150;
  s.titlesFrameW = 1, s.appIconsFrameW = 2, s.thumbnailsFrameW = 1000;
  s.titlesFrameH = 4, s.appIconsFrameH = 5, s.thumbnailsFrameH = 6;
  s.panelX = 0, s.panelY = 999;
  s.truncation = 0;
  s.showTitles = 2;
  s.appIconsIconSize = 200;
  s.appIconsRows = 6;
  s.showOn = 2;
  s.delayMs = 0;
  s.shortcuts[0].style = 2;
  s.shortcuts[0].size = 0;
  s.shortcuts[1] = {true, SpacesFilter::Visible, 1, 1, 2, 2, 2, 1, 2, 3, 3, 1, 3};
  s.shortcuts.pop_back();
  s.closeKey = std::nullopt;
  s.minimizeKey = U'ß';
  s.fullscreenKey = U'⌘';
  s.hideKey = U'😀';
  s.hyperKey = 9;
  s.exceptions = {{"com.example.one", 1, 2}};
  s.appHotkeys = {{"com.example.two", "⌃⌥T", 17, 4352, false}, {"", "", 0, 0, true}};
  s.borderWidth = 20;
  s.borderFadeMs = 1000;
  s.borderColor = "0x80FF0000";
  return s;
}

TEST_F(PrefsTest, SaveThenLoadGivesTheSameRecord) {
  const Settings s = every_field_changed();
  Defaults d;
  ASSERT_TRUE(save(d, s));
  EXPECT_EQ(load(*std::make_unique<Defaults>()), s);

  // The stored types are the ones the settings library reads.
  const Dict now = stored();
  EXPECT_EQ(now.at("style").kind(), plist::Kind::Integer);
  EXPECT_EQ(now.at("preview").kind(), plist::Kind::Boolean);
  EXPECT_EQ(now.at("closeKey"), Value(""));
  EXPECT_EQ(now.at("hideKey"), Value("😀"));
  const Dict& third = *now.at("shortcuts").get<Array>()->at(2).get<Dict>();
  EXPECT_EQ(third.at("style"), Value(-1));
  EXPECT_EQ(third.size(), 13u);
}

TEST_F(PrefsTest, SaveKeepsKeysOutsideTheRecord) {
  Defaults d;
  ASSERT_TRUE(d.write({{"onboardingStep", 3}, {"appShortcutsSort", "name"}}));
  ASSERT_TRUE(save(d, Settings::defaults()));
  EXPECT_EQ(d.integer("onboardingStep"), 3);
  EXPECT_EQ(d.string("appShortcutsSort"), "name");
}

TEST_F(PrefsTest, UnreadableFileLoadsDefaultsAndIsKeptWhenSaved) {
  const std::string original = plist::to_xml(Value(Dict{{"opacityPct", 40}})).substr(0, 150);
  spit(file(), original);
  Defaults d;
  EXPECT_EQ(load(d), Settings::defaults());
  EXPECT_EQ(slurp(file()), original);
  ASSERT_TRUE(save(d, Settings::defaults()));
  const auto backups = files_starting(dir(), "org.mirvex.mirvex.plist.unreadable-");
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(slurp(backups[0]), original);
  EXPECT_EQ(load(d), Settings::defaults());
  EXPECT_FALSE(d.unreadable());
}

TEST(PrefsIo, ProgrammingErrorsStopTheProcess) {
  Dict empty;
  Io in = Io::reader(empty);
  EXPECT_DEATH(std::move(in).into_dict(), "into_dict in read mode");
  Io out = Io::writer();
  EXPECT_DEATH(out.find("k"), "find in write mode");
}

}  // namespace
}  // namespace mirvex::prefs
