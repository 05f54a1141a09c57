#include "core/settings.h"

#include <gtest/gtest.h>

namespace mirvex {
namespace {

TEST(Settings, DefaultsHoldFiveSlotsAndSevenExceptions) {
  const Settings s = Settings::defaults();
  ASSERT_EQ(s.shortcuts.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(s.shortcuts[i], Shortcut::slot(i));
  ASSERT_EQ(s.exceptions.size(), 7u);
  EXPECT_EQ(s.exceptions[0], (Exception{"com.apple.finder", 2, 0}));
  for (size_t i = 1; i < 7; ++i) {
    EXPECT_EQ(s.exceptions[i].hide, 0);
    EXPECT_EQ(s.exceptions[i].ignore, 1);
  }
  EXPECT_EQ(s.exceptions[6].bundleId, "com.utmapp.UTM");
  EXPECT_TRUE(s.appHotkeys.empty());
  EXPECT_EQ(s.closeKey, U'w');
  EXPECT_EQ(s.delayMs, 150);
  EXPECT_EQ(s.borderColor, "#A5ADFD");
}

TEST(Shortcut, SlotDefaults) {
  struct Row { size_t index; bool enabled; uint8_t hold, key, apps, windowless; };
  for (Row r : {Row{0, true, 0, 0, 0, 0}, Row{1, true, 1, 0, 1, 1}, Row{2, false, 2, 0, 0, 0},
                Row{3, false, 0, 1, 0, 0}, Row{4, false, 1, 1, 0, 0}, Row{7, false, 1, 1, 0, 0}}) {
    const Shortcut s = Shortcut::slot(r.index);
    EXPECT_EQ(s.enabled, r.enabled) << r.index;
    EXPECT_EQ(s.hold, r.hold) << r.index;
    EXPECT_EQ(s.key, r.key) << r.index;
    EXPECT_EQ(s.apps, r.apps) << r.index;
    EXPECT_EQ(s.windowless, r.windowless) << r.index;
    EXPECT_FALSE(s.style_opt().has_value());
    EXPECT_FALSE(s.size_opt().has_value());
  }
  EXPECT_EQ(Shortcut::slot(7), Shortcut::slot(4));
  static_assert(sizeof(Shortcut) == 13, "thirteen one-byte fields");
}

TEST(ParseColor, Table) {
  struct Case { const char* text; std::optional<Color> want; };
  const Case cases[] = {
      {"#A5ADFD", Color{165 / 255.0, 173 / 255.0, 253 / 255.0, 1.0}},
      {"0x80FF0000", Color{1, 0, 0, 128 / 255.0}},
      {"  #000000  ", Color{0, 0, 0, 1}},
      {"#a5adfd", Color{165 / 255.0, 173 / 255.0, 253 / 255.0, 1.0}},
      {"0x+FF0000", std::nullopt},  // nine characters
      {"0x+8FF0000", Color{1, 0, 0, 8 / 255.0}},
      {"#abc", std::nullopt},
      {"red", std::nullopt},
      {"", std::nullopt},
      {"#", std::nullopt},
      {"#80FF0000", std::nullopt},
      {"0xFF0000", std::nullopt},
      {"#GG0000", std::nullopt},
      {"#+12345", std::nullopt},
      {"0x80FF00 0", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto got = parse_color(c.text);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.text;
    if (!got) continue;
    EXPECT_DOUBLE_EQ(got->r, c.want->r) << c.text;
    EXPECT_DOUBLE_EQ(got->g, c.want->g) << c.text;
    EXPECT_DOUBLE_EQ(got->b, c.want->b) << c.text;
    EXPECT_DOUBLE_EQ(got->a, c.want->a) << c.text;
  }
}

TEST(Look, SizeClassFollowsEntryCountInCountMode) {
  const Settings s = Settings::defaults();
  struct Case { size_t n; uint8_t cls; };
  for (Case c : {Case{0, 2}, Case{6, 2}, Case{7, 1}, Case{20, 1}, Case{21, 0}, Case{500, 0}}) {
    const Look l = look(s, 0, c.n);
    EXPECT_EQ(l.sizeClass, c.cls) << c.n;
    EXPECT_EQ(l.scale, 1.0);
    EXPECT_TRUE(l.autoSize);
  }
}

TEST(Look, ShortcutSizeAndStyleOverrideGlobals) {
  Settings s = Settings::defaults();
  s.thumbnailsSizePct = 130;
  s.thumbnailsMaxWidthPct = 77;
  s.thumbnailsFrameW = 400;
  s.shortcuts[1].size = 1;
  s.shortcuts[1].style = static_cast<uint8_t>(Style::Thumbnails);
  for (size_t n : {1u, 30u}) {
    const Look l = look(s, 1, n);
    EXPECT_DOUBLE_EQ(l.scale, 1.3);
    EXPECT_EQ(l.sizeClass, 1);
    EXPECT_FALSE(l.autoSize);
    EXPECT_EQ(l.style, Style::Thumbnails);
    EXPECT_EQ(l.maxWidthPct, 77);
    EXPECT_EQ(l.sizePct, 130);
    EXPECT_EQ(l.frameW, 400);
  }
  EXPECT_EQ(look(s, 0, 3).style, Style::Titles);
}

TEST(Look, AutoSizeAndAppsOnlyForAppIcons) {
  Settings s = Settings::defaults();
  s.style = Style::AppIcons;
  struct Case { uint8_t icon; bool auto_size; };
  for (Case c : {Case{40, false}, Case{39, true}, Case{0, true}}) {
    s.appIconsIconSize = c.icon;
    EXPECT_EQ(look(s, 0, 5).autoSize, c.auto_size) << int(c.icon);
  }
  s.shortcuts[0].apps = 3;
  EXPECT_TRUE(look(s, 0, 5).appsOnly);
  s.style = Style::Titles;
  EXPECT_FALSE(look(s, 0, 5).appsOnly);
}

TEST(Look, CopiesSharedFieldsAndCarriesExtra) {
  Settings s = Settings::defaults();
  s.opacityPct = 55;
  s.tint = -20;
  s.hints = true;
  s.panelY = 0;
  auto extra = std::make_shared<int>(7);
  const Look l = look(s, 0, 3, extra);
  EXPECT_EQ(l.opacityPct, 55);
  EXPECT_EQ(l.tint, -20);
  EXPECT_TRUE(l.hints);
  EXPECT_EQ(l.panelY, 0);
  EXPECT_EQ(l.extra.get(), extra.get());
}

}  // namespace
}  // namespace mirvex
