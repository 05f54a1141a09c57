#include "core/panel_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mirvex {
namespace {

// Half a point per character per point of font size; lines 1.25 times the size, rounded up.
TextSize measure(std::string_view text, double points) {
  return TextSize{text.size() * points * 0.5, std::ceil(points * 1.25)};
}

const Rect SCREEN{0, 0, 1000, 800};

std::vector<PanelRow> rows(size_t n, const std::string& title = "Doc") {
  std::vector<PanelRow> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i].title = title;
    out[i].app_name = "App";
    out[i].bundle_id = "org.example.app";
  }
  return out;
}

Look base(Style style, uint8_t size_class = 1) {
  Look l;
  l.style = style;
  l.sizeClass = size_class;
  l.maxWidthPct = 70;
  return l;
}

PanelFrames lay(const std::vector<PanelRow>& r, const Look& l, const Rect& screen = SCREEN,
                std::optional<Kept> kept = std::nullopt, bool searching = false) {
  return panel_layout(r, l, screen, kept, searching, measure);
}

TEST(PanelLayout, BaseSizesPerStyleAndClass) {
  struct Case { Style style; uint8_t cls; double scale; double cell, icon, font; };
  for (const Case c : {Case{Style::Titles, 0, 1, 36, 24, 14}, Case{Style::Titles, 1, 1, 48, 32, 17},
                       Case{Style::Titles, 2, 1, 60, 40, 20}, Case{Style::AppIcons, 0, 1, 72, 56, 13},
                       Case{Style::AppIcons, 2, 1, 128, 100, 20}, Case{Style::Thumbnails, 1, 1, 220, 0, 13},
                       Case{Style::Titles, 1, 1.3, 62, 42, 19}, Case{Style::AppIcons, 1, 0.75, 72, 54, 15}}) {
    Look l = base(c.style, c.cls);
    l.scale = c.scale;
    const PanelFrames f = lay(rows(2), l);
    EXPECT_EQ(f.cell, c.cell) << int(c.style) << "/" << int(c.cls) << "@" << c.scale;
    EXPECT_EQ(f.icon, c.icon) << int(c.style) << "/" << int(c.cls) << "@" << c.scale;
    EXPECT_EQ(f.font, c.font) << int(c.style) << "/" << int(c.cls) << "@" << c.scale;
  }
}

TEST(PanelLayout, TitlesMediumThreeRows) {
  const PanelFrames f = lay(rows(3, "abc"), base(Style::Titles));
  ASSERT_EQ(f.items.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(f.items[i].item, (Rect{16, 16 + 48.0 * i, f.content_w - 32, 48}));
    EXPECT_EQ(f.items[i].icon, (Rect{26, 16 + 48.0 * i + 8, 32, 32}));
    EXPECT_EQ(f.items[i].title->x, 68);
  }
  EXPECT_EQ(f.content_h, 176);
  // icon + 62 + widest title (3 characters of 17 points at half a point each).
  EXPECT_EQ(f.content_w, std::round(32 + 62 + 3 * 17 * 0.5));
  EXPECT_EQ(f.window.h, 176);
  EXPECT_EQ(f.highlight_radius, 10);  // corner 26 - 16
}

TEST(PanelLayout, TitlesWidthCappedByAllowedWidthAndTitleTruncatedToRoom) {
  const PanelFrames f = lay(rows(2, std::string(300, 'x')), base(Style::Titles));
  EXPECT_EQ(f.window.w, 700);  // 70 % of 1000
  EXPECT_EQ(f.items[0].title->x + f.items[0].title->w, 700 - 26);
}

TEST(PanelLayout, SpaceLabelFollowsTheTitle) {
  auto r = rows(1, "abcd");
  r[0].space = 3;
  const PanelFrames f = lay(r, base(Style::Titles));
  ASSERT_TRUE(f.items[0].space);
  const BoxLabel& s = *f.items[0].space;
  EXPECT_EQ(s.str, "Space 3");
  EXPECT_EQ(s.box.x, f.items[0].title->x + f.items[0].title->w + 4);
  EXPECT_EQ(s.box.y, 16 + 24 - 9);
  EXPECT_EQ(s.box.h, 18);
  EXPECT_EQ(s.text.x, s.box.x + 7);
  // The widest title counts the label: title + box + 4.
  EXPECT_EQ(f.content_w, std::round(32 + 62 + 4 * 17 * 0.5 + s.box.w + 4));

  Look off = base(Style::Titles);
  off.spaceLabels = false;
  EXPECT_FALSE(lay(r, off).items[0].space);
  Look icons = base(Style::AppIcons);
  EXPECT_EQ(lay(r, icons).items[0].space->str, "3");
}

TEST(PanelLayout, AppIconsFixedIconSize) {
  Look l = base(Style::AppIcons);
  l.appIconsIconSize = 64;
  const PanelFrames f = lay(rows(3), l);
  EXPECT_EQ(f.icon, 64);
  EXPECT_EQ(f.cell, 68);
  EXPECT_EQ(f.font, 13);
  EXPECT_EQ(f.items[0].item.y, 22);  // padding 22
  // Three columns, centred in the 360-point minimum width.
  EXPECT_EQ(f.content_w, 360);
  EXPECT_EQ(f.items[0].item.x, std::round((360 - 68 * 3) / 2.0));
  EXPECT_EQ(f.items[1].item.x, f.items[0].item.x + 68);
  // Row height 68 + label + (-2) + 4; content = 22 + row - 4 + 9.
  const double label = std::ceil(13 * 1.25);
  EXPECT_EQ(f.content_h, 22 + (68 + label + 2) - 4 + 9);
}

TEST(PanelLayout, AppIconsGridWrapsAndHonoursRowLimit) {
  Look l = base(Style::AppIcons);
  l.maxWidthPct = 50;  // 500 points: floor((500 - 32) / 96) = 4 columns
  PanelFrames f = lay(rows(10), l);
  EXPECT_EQ(f.columns, 4u);
  EXPECT_EQ(f.items[4].item.x, f.items[0].item.x);
  EXPECT_GT(f.items[4].item.y, f.items[0].item.y);

  l.appIconsRows = 2;  // 10 items in at most 2 rows: 5 columns, scaled to fit the width
  l.autoSize = true;
  f = lay(rows(10), l);
  EXPECT_EQ(f.columns, 5u);
  const double k = (500 - 32) / 5.0 / 96;
  EXPECT_EQ(f.cell, std::floor(96 * k));
  EXPECT_EQ(f.icon, std::floor(72 * k));
}

TEST(PanelLayout, AppIconsTitleModes) {
  Look l = base(Style::AppIcons);
  l.showTitles = 2;
  PanelFrames f = lay(rows(2), l);
  const double label = std::ceil(17 * 1.25);
  ASSERT_TRUE(f.items[0].title);
  EXPECT_EQ(f.items[0].title->y, f.items[0].item.y + 96 + 4);
  EXPECT_EQ(f.items[0].title->w, 96 - 8);
  EXPECT_EQ(f.items[0].item.h, 96 + label + 8);  // hit rectangle covers the whole row
  EXPECT_FALSE(f.name_label);

  l.showTitles = 1;
  f = lay(rows(2), l);
  EXPECT_FALSE(f.items[0].title);
  EXPECT_TRUE(f.name_label);
  EXPECT_EQ(f.name_offset, 12 + std::min(72 * 0.8 + 16, 96.0));  // from the icon's top
  EXPECT_EQ(f.items[0].item.h, 96);

  l.showTitles = 0;
  f = lay(rows(2), l);
  EXPECT_EQ(f.content_h, 16 + 96 + 16);
}

TEST(PanelLayout, ThumbnailWidthFromAspect) {
  const double h = std::round(220 * 0.6);
  struct Case { double aspect; double width; };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const Case c : {Case{0, std::round(1.6 * h)}, Case{-1, std::round(1.6 * h)},
                       Case{nan, std::round(1.6 * h)}, Case{inf, std::round(1.6 * h)},
                       Case{1.0, h}, Case{5.0, 2 * h}, Case{0.3, std::round(0.75 * h)}}) {
    auto r = rows(1);
    r[0].aspect = c.aspect;
    const PanelFrames f = lay(r, base(Style::Thumbnails));
    ASSERT_TRUE(f.items[0].image_area);
    EXPECT_EQ(f.items[0].image_area->w, c.width) << c.aspect;
    EXPECT_EQ(f.items[0].image_area->h, h) << c.aspect;
    EXPECT_EQ(f.items[0].item.w, c.width + 12) << c.aspect;
    // An image keeps its aspect inside the area; without one the icon is drawn there.
    EXPECT_EQ(f.items[0].image.has_value(), std::isfinite(c.aspect) && c.aspect > 0) << c.aspect;
    EXPECT_NE(f.items[0].image.has_value(), f.items[0].placeholder.has_value()) << c.aspect;
  }
  auto r = rows(1);
  r[0].aspect = 4.0;  // wider than the 2h clamp: fitted by width, centred vertically
  const ItemFrames i = lay(r, base(Style::Thumbnails)).items[0];
  EXPECT_EQ(i.image->w, 2 * h);
  EXPECT_EQ(i.image->h, 2 * h / 4.0);
  EXPECT_EQ(i.image->y, i.image_area->y + (h - h / 2) / 2);
}

TEST(PanelLayout, ThumbnailsPackGreedilyIntoCentredRows) {
  // Medium, unknown aspect: each item 211 + 12 = 223 wide, 24 apart. With 600 allowed, rows
  // may be 568 wide: two items (470) fit, a third (717) does not.
  Look l = base(Style::Thumbnails);
  l.maxWidthPct = 60;
  const PanelFrames f = lay(rows(5), l);
  ASSERT_EQ(f.items.size(), 5u);
  const double label = std::ceil(13 * 1.25);
  const double row_h = 132 + std::max(label, 16.0) + 18;
  EXPECT_EQ(f.items[0].item.y, 16);
  EXPECT_EQ(f.items[1].item.y, 16);
  EXPECT_EQ(f.items[2].item.y, 16 + row_h + 24);
  EXPECT_EQ(f.items[4].item.y, 16 + 2 * (row_h + 24));
  EXPECT_EQ(f.content_w, 470 + 32);
  EXPECT_EQ(f.content_h, 32 + 3 * row_h + 2 * 24);
  EXPECT_EQ(f.items[1].item.x, f.items[0].item.x + 223 + 24);
  // The last row holds one item, centred.
  EXPECT_EQ(f.items[4].item.x, std::round((502 - 223) / 2.0));
  // Title line: icon at inner left + 2, title from inner left + 24 to the inner right edge.
  const ItemFrames& i = f.items[0];
  EXPECT_EQ(i.icon.x, i.item.x + 8);
  EXPECT_EQ(i.title->x, i.item.x + 30);
  EXPECT_EQ(i.title->x + i.title->w, i.item.x + i.item.w - 6);
  EXPECT_EQ(i.image_area->y, i.item.y + 6 + std::max(label, 16.0) + 6);
}

TEST(PanelLayout, DraggedFrameNeedsBothSides) {
  Look l = base(Style::Titles);
  l.frameW = 500;
  l.frameH = 0;
  const auto wide = rows(2, std::string(300, 'x'));
  EXPECT_EQ(lay(wide, l).window.w, 700);  // maxWidthPct still rules
  l.frameH = 500;
  EXPECT_EQ(lay(wide, l).window.w, 500);  // the dragged frame's width
}

TEST(PanelLayout, FittingSearchBisectsFromTheMidpoint) {
  Look l = base(Style::Titles);
  l.autoSize = true;
  l.frameW = 1000;
  struct Case { uint16_t frameH; double cell, icon; };
  // Room for all: the factor climbs 1.125, 1.5625 ... 1.986 (seven steps).
  // 100 points high: 3 rows need 3 cell + 32 <= 100.5; the last fitting factor is 0.46875.
  // 10 points high: nothing fits, the lower bound 0.25 is used.
  for (const Case c : {Case{1000, std::floor(48 * 1.986328125), std::floor(32 * 1.986328125)},
                       Case{125, std::floor(48 * 0.46875), std::floor(32 * 0.46875)},
                       Case{12, 12, 8}}) {
    l.frameH = c.frameH;
    const PanelFrames f = lay(rows(3), l);
    EXPECT_EQ(f.cell, c.cell) << c.frameH;
    EXPECT_EQ(f.icon, c.icon) << c.frameH;
  }
}

TEST(PanelLayout, DraggedFrameWithoutAutoSizeScalesDownToTheWidth) {
  Look l = base(Style::Thumbnails);
  l.frameW = 200;  // 200 points: one 223-wide item needs 255
  l.frameH = 1000;
  const PanelFrames f = lay(rows(1), l);
  const double k = 200 / 255.0;
  EXPECT_EQ(f.cell, std::floor(220 * k));
}

TEST(PanelLayout, WindowPosition) {
  const Rect screen{100, 50, 1000, 800};
  struct Case { uint16_t px, py; double x, y; };
  const PanelFrames probe = lay(rows(3, "abc"), base(Style::Titles), screen);
  const double w = probe.window.w, h = probe.window.h;
  for (const Case c : {Case{0, 0, 100, 50}, Case{1000, 1000, 1100 - w, 850 - h},
                       Case{500, 500, std::round(600 - w / 2), std::round(450 - h / 2)},
                       Case{500, 100, std::round(600 - w / 2), 50}}) {
    Look l = base(Style::Titles);
    l.panelX = c.px;
    l.panelY = c.py;
    const PanelFrames f = lay(rows(3, "abc"), l, screen);
    EXPECT_EQ(f.window.x, c.x) << c.px << "," << c.py;
    EXPECT_EQ(f.window.y, c.y) << c.px << "," << c.py;
  }
}

TEST(PanelLayout, SearchingWhileShownKeepsWidthAndTopAndGrowsDown) {
  const Rect kept{300, 700, 640, 120};
  const PanelFrames f = lay(rows(3, "abc"), base(Style::Titles), SCREEN, Kept{kept}, true);
  EXPECT_EQ(f.window.x, 300);
  EXPECT_EQ(f.window.y, 700);
  EXPECT_EQ(f.window.w, 640);
  EXPECT_EQ(f.window.h, 100);  // 176 + 40 would pass the visible frame's bottom
  ASSERT_TRUE(f.search_glyph && f.search_label);
  EXPECT_EQ(f.search_glyph->x, 26);
  EXPECT_EQ(f.search_label->x, 52);
  EXPECT_EQ(f.search_label->x + f.search_label->w, 640 - 16);
  EXPECT_EQ(f.scroll.h, 60);  // the list scrolls above the search row
}

TEST(PanelLayout, SearchRowAddsFortyPoints) {
  const PanelFrames plain = lay(rows(3, "abc"), base(Style::Titles));
  const PanelFrames search = lay(rows(3, "abc"), base(Style::Titles), SCREEN, std::nullopt, true);
  EXPECT_EQ(search.window.h, plain.window.h + 40);
  EXPECT_EQ(search.search_glyph->y, search.window.h - 40 + 12);
  EXPECT_FALSE(plain.search_glyph);
}

TEST(PanelLayout, SideImageBesideTitles) {
  Look l = base(Style::Titles);
  l.previewBeside = true;
  const PanelFrames f = lay(rows(2, "abc"), l);
  EXPECT_EQ(f.side, 360);
  EXPECT_EQ(f.window.w, 360 + f.content_w);
  EXPECT_EQ(f.window.h, 270);  // at least 270 with the side image
  ASSERT_TRUE(f.side_image);
  EXPECT_EQ(*f.side_image, (Rect{f.content_w, 16, 344, 270 - 32}));
  EXPECT_EQ(lay({}, l).side, 0);  // no entries, no side image
}

TEST(PanelLayout, NoMatches) {
  const PanelFrames f = lay({}, base(Style::AppIcons));
  EXPECT_TRUE(f.items.empty());
  ASSERT_TRUE(f.no_matches);
  EXPECT_EQ(f.no_matches->x, 16);
  EXPECT_EQ(f.no_matches->y, 16);
  EXPECT_EQ(f.content_w, 360);
  EXPECT_EQ(f.content_h, std::ceil(17 * 1.25) + 32);
  EXPECT_FALSE(f.name_label);
}

TEST(PanelLayout, Hints) {
  Look l = base(Style::Titles);
  l.hints = true;
  const PanelFrames f = lay(rows(12), l);
  EXPECT_EQ(f.items[0].hint->str, "1");
  EXPECT_EQ(f.items[8].hint->str, "9");
  EXPECT_EQ(f.items[9].hint->str, "0");
  EXPECT_FALSE(f.items[10].hint);
  EXPECT_FALSE(f.items[11].hint);
  // On the icon's inner rectangle (32 inset by 3.2 = 25.6 wide): size 14 (clamped).
  const BoxLabel& h = *f.items[0].hint;
  EXPECT_EQ(h.box.w, 14);
  EXPECT_DOUBLE_EQ(h.box.x, 26 + 3.2 - 0.3 * 14);
  EXPECT_EQ(h.radius, std::round(14 * 0.28));
  EXPECT_EQ(h.font, std::round(14 * 0.62));
  l.hints = false;
  EXPECT_FALSE(lay(rows(2), l).items[0].hint);
}

TEST(PanelLayout, StatusChipsRightToLeft) {
  auto r = rows(1);
  r[0].minimized = r[0].hidden = r[0].fullscreen = true;
  const ItemFrames i = lay(r, base(Style::Titles)).items[0];
  const double s = 16;  // clamp(32 * 0.5, 13, 18)
  const double top = i.icon.y + 32 - 0.75 * s;
  EXPECT_EQ(i.chips[CHIP_MINIMIZED], (Rect{26 + 32 + s / 4 - s, top, s, s}));
  EXPECT_EQ(i.chips[CHIP_HIDDEN], (Rect{26 + 32 + s / 4 - 2 * s - 2, top, s, s}));
  EXPECT_EQ(i.chips[CHIP_FULLSCREEN]->x, 26 + 32 + s / 4 - 3 * s - 4);
  EXPECT_EQ(i.chip_symbol, 8);

  r[0].minimized = false;  // the hidden chip moves to the rightmost place
  EXPECT_EQ(lay(r, base(Style::Titles)).items[0].chips[CHIP_HIDDEN]->x, 26 + 32 + s / 4 - s);
  Look off = base(Style::Titles);
  off.statusIcons = false;
  EXPECT_FALSE(lay(r, off).items[0].chips[CHIP_HIDDEN]);
}

TEST(PanelLayout, DockBadgeAndProfile) {
  auto r = rows(2);
  r[0].badge = "12";
  r[1].badge = "";
  r[1].has_profile = true;
  Look l = base(Style::AppIcons);  // icon 72: b = round(72 * 0.29) = 21
  const PanelFrames f = lay(r, l);
  const BoxLabel& b = *f.items[0].badge;
  EXPECT_EQ(b.box.h, 21);
  EXPECT_EQ(b.font, std::round(21 * 0.55));
  EXPECT_EQ(b.box.w, std::max(21.0, std::round(10.5 + 2 * 12 * 0.5 - 4)));
  EXPECT_DOUBLE_EQ(b.box.x + b.box.w, f.items[0].icon.x + 72 - 0.02 * 72);
  EXPECT_DOUBLE_EQ(b.box.y, f.items[0].icon.y + 0.05 * 72);
  const BoxLabel& dot = *f.items[1].badge;
  EXPECT_FALSE(dot.shows_text);
  EXPECT_EQ(dot.box.w, 11);
  EXPECT_EQ(dot.box.h, 11);
  EXPECT_FALSE(f.items[0].profile);
  ASSERT_TRUE(f.items[1].profile);
  EXPECT_EQ(f.items[1].profile->y + f.items[1].profile->h, f.items[1].icon.y + 72);
  // Thumbnails: an 11-point picture over the small icon's lower left corner.
  const ItemFrames t = lay(r, base(Style::Thumbnails)).items[1];
  EXPECT_EQ(*t.profile, (Rect{t.icon.x - 11 / 4.0, t.icon.y + 16 - 11, 11, 11}));
  EXPECT_EQ(t.profile_border, 1);
}

TEST(PanelLayout, HighlightAndNameLabel) {
  Look l = base(Style::AppIcons);
  l.showTitles = 1;
  const PanelFrames f = lay(rows(3), l);
  const Rect hl = highlight_frame(f, 1);
  EXPECT_EQ(hl, (Rect{f.items[1].item.x + 12, f.items[1].item.y + 12, 72, 72}));
  EXPECT_EQ(f.highlight_radius, std::round(72 * 0.29));
  const Rect name = name_label_frame(f, 1, 40.2);
  EXPECT_EQ(name.w, 41);
  EXPECT_EQ(name.x, f.items[1].item.x + (96 - 41) / 2.0);
  EXPECT_EQ(name.y, f.items[1].item.y + f.name_offset);
  // Clamped to 16 points inside the panel and never wider than the panel less 32.
  EXPECT_EQ(name_label_frame(f, 0, 1000).w, f.window.w - 32);
  EXPECT_EQ(name_label_frame(f, 0, 1000).x, 16);
  const PanelFrames t = lay(rows(3), base(Style::Thumbnails));
  EXPECT_EQ(highlight_frame(t, 2), t.items[2].item);
}

TEST(PanelLayout, ScrollToShowWithMargin) {
  struct Case { Rect item; Point origin; Point want; };
  // Visible 300 x 200 of content 300 x 1000.
  for (const Case c : {Case{{16, 400, 268, 48}, {0, 0}, {0, 400 + 48 + 16 - 200}},
                       Case{{16, 64, 268, 48}, {0, 300}, {0, 48}},
                       Case{{16, 16, 268, 48}, {0, 300}, {0, 0}},
                       Case{{16, 100, 268, 48}, {0, 50}, {0, 50}},
                       Case{{16, 960, 268, 48}, {0, 0}, {0, 800}}}) {
    EXPECT_EQ(scroll_to_show(c.item, c.origin, 300, 200, 300, 1000), c.want) << c.item.y;
  }
}

TEST(PanelLayout, ScrollFadeEdges) {
  EXPECT_FALSE(scroll_fade({0, 0}, 300, 200, 300, 200.4));
  auto top = scroll_fade({0, 0}, 300, 200, 300, 1000);
  ASSERT_TRUE(top);
  EXPECT_TRUE(top->vertical);
  EXPECT_DOUBLE_EQ(top->stop, 36.0 / 200);
  EXPECT_FALSE(top->start_clear);
  EXPECT_TRUE(top->end_clear);
  auto end = scroll_fade({0, 800}, 300, 200, 300, 1000);
  EXPECT_TRUE(end->start_clear);
  EXPECT_FALSE(end->end_clear);
  auto across = scroll_fade({10, 0}, 50, 200, 400, 200);
  ASSERT_TRUE(across);
  EXPECT_FALSE(across->vertical);
  EXPECT_DOUBLE_EQ(across->stop, 0.5);  // 36 / 50 capped
  EXPECT_TRUE(across->start_clear);
}

}  // namespace
}  // namespace mirvex
