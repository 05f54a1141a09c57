#include "core/panel_layout.h"

#include <algorithm>
#include <cmath>

namespace mirvex {
namespace {

struct Base {
  double cell, icon, font;
};

// Cell (item pitch), icon and title font per style and size class (small, medium, large).
constexpr std::array<std::array<Base, 3>, 3> BASE{{
    {{{36, 24, 14}, {48, 32, 17}, {60, 40, 20}}},
    {{{72, 56, 13}, {96, 72, 17}, {128, 100, 20}}},
    {{{160, 0, 12}, {220, 0, 13}, {300, 0, 14}}},
}};

constexpr double MARGIN = 16;           // list padding and scroll margin
constexpr double SEARCH_ROW = 40;
constexpr double SIDE_IMAGE = 360;
constexpr double LABEL_FONT = 17;       // every panel label's default font
constexpr double SEARCH_FONT = 15;
constexpr double GLYPH = 16;            // the search glyph's box
constexpr double THUMB_GAP = 24;        // between thumbnails, across and down
constexpr double THUMB_INSET = 6;       // inside a thumbnail's box
constexpr double THUMB_ICON = 16;
constexpr double MIN_CONTENT_W = 360;

double clamp(double v, double lo, double hi) { return std::max(lo, std::min(v, hi)); }
double bottom(const Rect& r) { return r.y + r.h; }
double right(const Rect& r) { return r.x + r.w; }

// Space labels use a smaller font than titles so they sit inside their 18-point box.
double space_font(double font) { return std::max(10.0, std::round(font * 0.65)); }

// Everything a per-style item layout needs besides (cell, icon).
struct Ctx {
  std::span<const PanelRow> rows;
  const Look& look;
  const Measure& measure;
  double font;
  double label_h;
  double allowed_w;
  double side;
  double kept_w;  // 0 when nothing is kept
  bool dragged;
};

// What an item layout produced; `need_w` is the width the items need, before any minimum
// or kept width, so the fitting search compares like with like.
struct Laid {
  double cell = 0, icon = 0;
  double need_w = 0, content_w = 0, content_h = 0;
  size_t columns = 1;
  std::vector<ItemFrames> items = {};
  double name_offset = 0;
};

void place_status(ItemFrames& f, const PanelRow& row, const Look& look, const Rect& on, double size) {
  const double s = std::round(size);
  f.chip_size = s;
  f.chip_symbol = std::round(s / 2);
  if (!look.statusIcons) return;
  const std::array<bool, 3> shown{row.minimized, row.hidden, row.fullscreen};
  double r = right(on) + s / 4;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (!shown[i]) continue;
    f.chips[i] = Rect{r - s, bottom(on) - 0.75 * s, s, s};
    r -= s + 2;
  }
}

void place_profile(ItemFrames& f, const PanelRow& row, const Rect& on, double s) {
  if (!row.has_profile) return;
  f.profile = Rect{on.x - s / 4, bottom(on) - s, s, s};
  f.profile_border = std::max(s / 16, 1.0);
}

void place_dock_badge(ItemFrames& f, const PanelRow& row, const Rect& icon, const Measure& measure) {
  if (!row.badge) return;
  const double a = icon.w;
  const double b = std::round(std::max(a * 0.29, 15.0));
  BoxLabel l;
  l.font = std::round(b * 0.55);
  l.str = *row.badge;
  const double r = right(icon) - 0.1 * a + 0.08 * a;
  const double top = icon.y + 0.05 * a;
  if (l.str.empty()) {
    const double d = std::round(b / 2);
    l.box = Rect{r - d, top, d, d};
    l.radius = d / 2;
    l.shows_text = false;
  } else {
    const double w = std::max(b, std::round(b / 2 + measure(l.str, l.font).w - 4));
    l.box = Rect{r - w, top, w, b};
    l.radius = b / 2;
  }
  l.text = l.box;
  f.badge = std::move(l);
}

void place_hint(ItemFrames& f, size_t index, const Look& look, const Rect& on) {
  if (!look.hints || index > 9) return;
  const double c = std::round(clamp(on.w / 2, 14, 20));
  BoxLabel l;
  l.box = Rect{on.x - 0.3 * c, on.y - 0.3 * c, c, c};
  l.text = l.box;
  l.radius = std::round(c * 0.28);
  l.font = std::round(c * 0.62);
  l.str = index < 9 ? std::to_string(index + 1) : "0";
  f.hint = std::move(l);
}

// The Space label's text and size; the box is set by the caller. Absent when not shown.
std::optional<BoxLabel> space_label(const PanelRow& row, const Ctx& c) {
  if (!c.look.spaceLabels || !row.space) return std::nullopt;
  BoxLabel l;
  l.str = c.look.style == Style::AppIcons ? std::to_string(*row.space)
                                          : "Space " + std::to_string(*row.space);
  l.font = space_font(c.font);
  const TextSize t = c.measure(l.str, l.font);
  l.box = Rect{0, 0, std::ceil(t.w) + 14, 18};
  l.text = Rect{0, 0, std::ceil(t.w), t.h};
  l.radius = 5;
  return l;
}

void set_space_box(BoxLabel& l, double x, double y) {
  l.box.x = x;
  l.box.y = y;
  l.text.x = x + 7;
  l.text.y = y + (l.box.h - l.text.h) / 2;
}

Rect inset(const Rect& r, double d) { return Rect{r.x + d, r.y + d, r.w - 2 * d, r.h - 2 * d}; }

// The decorations that sit on an item's app icon (Titles and AppIcons): status chips, profile
// picture, Dock badge and the hint on the icon's inner rectangle.
void decorate_icon(ItemFrames& f, const Ctx& c, size_t i, double chip, double profile) {
  place_status(f, c.rows[i], c.look, f.icon, chip);
  place_profile(f, c.rows[i], f.icon, profile);
  place_dock_badge(f, c.rows[i], f.icon, c.measure);
  place_hint(f, i, c.look, inset(f.icon, f.icon.w * 0.1));
}

Laid titles(const Ctx& c, double cell, double icon) {
  Laid out{.cell = cell, .icon = icon};
  const size_t n = c.rows.size();
  std::vector<double> title_w(n);
  std::vector<std::optional<BoxLabel>> spaces(n);
  double widest = 0;
  for (size_t i = 0; i < n; ++i) {
    title_w[i] = c.measure(c.rows[i].title, c.font).w;
    spaces[i] = space_label(c.rows[i], c);
    widest = std::max(widest, title_w[i] + (spaces[i] ? spaces[i]->box.w + 4 : 0));
  }
  out.need_w = icon + 62 + widest;
  out.content_w =
      std::round(std::max(std::min(out.need_w, c.allowed_w - c.side), c.kept_w - c.side));
  out.content_h = cell * n + 32;
  const double title_x = icon + 36;
  const double room = out.content_w - 26 - title_x;
  for (size_t i = 0; i < n; ++i) {
    ItemFrames f;
    const double y = MARGIN + cell * i;
    f.item = Rect{MARGIN, y, out.content_w - 2 * MARGIN, cell};
    f.icon = Rect{26, y + (cell - icon) / 2, icon, icon};
    const double space_w = spaces[i] ? spaces[i]->box.w + 4 : 0;
    const double tw = std::max(0.0, std::min(title_w[i], room - space_w));
    f.title = Rect{title_x, y + (cell - c.label_h) / 2, tw, c.label_h};
    if (spaces[i]) {
      set_space_box(*spaces[i], title_x + tw + 4, y + cell / 2 - 9);
      f.space = std::move(spaces[i]);
    }
    decorate_icon(f, c, i, clamp(icon * 0.5, 13, 18), std::round(icon * 0.45));
    out.items.push_back(std::move(f));
  }
  return out;
}

Laid app_icons(const Ctx& c, double cell, double icon) {
  const size_t n = c.rows.size();
  const bool fixed = c.look.appIconsIconSize >= 40;
  const double p = fixed ? 22 : 16;
  const double fit = c.allowed_w - 2 * p;
  size_t cols = std::min(n, static_cast<size_t>(std::max(std::floor(fit / cell), 1.0)));
  const size_t max_rows = c.look.appIconsRows;
  if (max_rows > 0 && (n + cols - 1) / cols > max_rows) {
    cols = (n + max_rows - 1) / max_rows;
    if (c.look.autoSize && !c.dragged) {
      const double k = std::min(fit / cols / cell, 1.0);
      cell = std::floor(cell * k);
      icon = std::floor(icon * k);
    }
  }
  Laid out{.cell = cell, .icon = icon};
  out.columns = cols;
  const size_t rows = (n + cols - 1) / cols;
  out.need_w = 2 * p + cell * cols;
  out.content_w = std::max(out.need_w, c.kept_w > 0 ? c.kept_w : MIN_CONTENT_W);
  const bool titled = c.look.showTitles != 0;
  const double g = fixed ? -2 : 4;
  const double row_h = cell + (titled ? c.label_h + g + 4 : 0);
  out.content_h = p + row_h * rows - (titled ? 4 : 0) + (fixed ? 9 : 16);
  const double pad = std::round((cell - icon) / 2);
  // Measured from the icon's top, so the name sits under the icon rather than across it.
  out.name_offset = pad + std::min(icon * 0.8 + 16, cell);
  const double x0 = std::round((out.content_w - cell * cols) / 2);
  for (size_t i = 0; i < n; ++i) {
    ItemFrames f;
    const Rect box{x0 + (i % cols) * cell, p + (i / cols) * row_h, cell, cell};
    f.icon = Rect{box.x + pad, box.y + pad, icon, icon};
    f.item = box;
    if (c.look.showTitles == 2) {
      f.title = Rect{box.x + 4, box.y + cell + g, cell - 8, c.label_h};
      f.item.h = row_h;
    }
    if (auto s = space_label(c.rows[i], c)) {
      // Centred on the icon's top edge: the corners belong to the hint, badge, picture and chips.
      set_space_box(*s, f.icon.x + (icon - s->box.w) / 2, f.icon.y - s->box.h / 2);
      f.space = std::move(s);
    }
    decorate_icon(f, c, i, clamp(icon * 0.28, 16, 30), std::round(icon * 0.4));
    out.items.push_back(std::move(f));
  }
  return out;
}

double thumb_aspect(double aspect) { return std::isfinite(aspect) && aspect > 0 ? aspect : 1.6; }

Laid thumbnails(const Ctx& c, double cell, double icon) {
  Laid out{.cell = cell, .icon = icon};
  const size_t n = c.rows.size();
  const double h = std::round(cell * 0.6);
  std::vector<double> w(n);
  std::vector<size_t> row_of(n);
  std::vector<double> row_w;
  const double limit = c.allowed_w - 2 * MARGIN;
  for (size_t i = 0; i < n; ++i) {
    w[i] = std::round(clamp(h * thumb_aspect(c.rows[i].aspect), 0.75 * h, 2 * h));
    const double item_w = w[i] + 2 * THUMB_INSET;
    if (row_w.empty() || row_w.back() + THUMB_GAP + item_w > limit) {
      row_w.push_back(item_w);
    } else {
      row_w.back() += THUMB_GAP + item_w;
    }
    row_of[i] = row_w.size() - 1;
  }
  const double t = std::max(c.label_h, 16.0);
  const double row_h = h + t + 3 * THUMB_INSET;
  const double widest = row_w.empty() ? 0 : *std::max_element(row_w.begin(), row_w.end());
  out.need_w = widest + 2 * MARGIN;
  out.content_w = std::max(out.need_w, c.kept_w);
  out.content_h = 2 * MARGIN + row_h * row_w.size() + THUMB_GAP * (row_w.size() - 1);
  out.columns = 0;
  double x = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t r = row_of[i];
    if (i == 0 || row_of[i - 1] != r) x = std::round((out.content_w - row_w[r]) / 2);
    if (r == 0) ++out.columns;
    ItemFrames f;
    const double top = MARGIN + r * (row_h + THUMB_GAP);
    f.item = Rect{x, top, w[i] + 2 * THUMB_INSET, row_h};
    x += f.item.w + THUMB_GAP;
    const double in_x = f.item.x + THUMB_INSET;
    const double line_y = top + THUMB_INSET;
    f.icon = Rect{in_x + 2, line_y + (t - THUMB_ICON) / 2, THUMB_ICON, THUMB_ICON};
    const double title_x = in_x + 24;
    f.title = Rect{title_x, line_y + (t - c.label_h) / 2,
                   std::max(0.0, right(f.item) - THUMB_INSET - title_x), c.label_h};
    const Rect area{in_x, line_y + t + THUMB_INSET, w[i], h};
    f.image_area = area;
    if (auto s = space_label(c.rows[i], c)) {
      set_space_box(*s, right(area) - s->box.w - THUMB_INSET, area.y + THUMB_INSET);
      f.space = std::move(s);
    }
    f.chip_size = std::round(clamp(h * 0.14, 16, 30));
    refit_thumbnail(f, c.rows[i], c.look);
    place_profile(f, c.rows[i], f.icon, 11);
    place_dock_badge(f, c.rows[i], f.icon, c.measure);
    place_hint(f, i, c.look, f.item);
    out.items.push_back(std::move(f));
  }
  return out;
}

Laid lay_items(const Ctx& c, double cell, double icon) {
  switch (c.look.style) {
    case Style::AppIcons: return app_icons(c, cell, icon);
    case Style::Thumbnails: return thumbnails(c, cell, icon);
    case Style::Titles: break;
  }
  return titles(c, cell, icon);
}

// The largest factor in [0.25, 2] whose layout fits, by seven bisections starting at the
// midpoint 1.125; the lower bound when nothing fitted.
double fit_factor(const Ctx& c, const Base& b, double allowed_h, double search) {
  double lo = 0.25, hi = 2.0;
  std::optional<double> best;
  for (int step = 0; step < 7; ++step) {
    const double f = (lo + hi) / 2;
    const Laid l = lay_items(c, std::floor(b.cell * f), std::floor(b.icon * f));
    if (l.need_w <= c.allowed_w - c.side + 0.5 && l.content_h <= allowed_h - search + 0.5) {
      best = f;
      lo = f;
    } else {
      hi = f;
    }
  }
  return best.value_or(lo);
}

}  // namespace

void refit_thumbnail(ItemFrames& f, const PanelRow& row, const Look& look) {
  if (!f.image_area) return;
  const Rect& area = *f.image_area;
  const double a = row.aspect;
  Rect shown = area;
  f.image.reset();
  f.placeholder.reset();
  if (std::isfinite(a) && a > 0) {
    const bool wide = a > area.w / area.h;
    const double fw = wide ? area.w : area.h * a;
    const double fh = wide ? area.w / a : area.h;
    shown = Rect{area.x + (area.w - fw) / 2, area.y + (area.h - fh) / 2, fw, fh};
    f.image = shown;
  } else {
    const double s = std::min({area.w, 64.0, area.h});
    f.placeholder = Rect{area.x + (area.w - s) / 2, area.y + (area.h - s) / 2, s, s};
  }
  f.chips = {};
  place_status(f, row, look, shown, f.chip_size);
}

PanelFrames panel_layout(std::span<const PanelRow> rows, const Look& look, const Rect& screen,
                         std::optional<Kept> kept, bool searching, const Measure& measure) {
  PanelFrames out;
  out.style = look.style;
  const size_t n = rows.size();
  const bool dragged = look.frameW != 0 && look.frameH != 0;
  const double allowed_w = dragged ? std::round(screen.w * look.frameW / 1000)
                                   : std::round(screen.w * look.maxWidthPct / 100);
  const double allowed_h = dragged ? std::round(screen.h * look.frameH / 1000) : screen.h;
  out.side = look.style == Style::Titles && look.previewBeside && n > 0 ? SIDE_IMAGE : 0;
  out.search = searching ? SEARCH_ROW : 0;
  const double kept_w = kept ? kept->frame.w : 0;

  const size_t cls = std::min<size_t>(look.sizeClass, 2);
  Base b = BASE[static_cast<size_t>(look.style)][cls];
  b.cell = std::round(b.cell * look.scale);
  b.icon = std::round(b.icon * look.scale);
  b.font = std::round(b.font * std::sqrt(look.scale));
  if (look.style == Style::AppIcons && look.appIconsIconSize >= 40) {
    b.icon = look.appIconsIconSize;
    b.cell = b.icon + 4;
    b.font = 13;
  }
  out.font = b.font;
  out.label_h = measure("", b.font).h;

  const Ctx ctx{rows, look, measure, b.font, out.label_h, allowed_w, out.side, kept_w, dragged};
  Laid laid{.cell = b.cell, .icon = b.icon};
  if (n == 0) {
    const double h = measure("No matches", LABEL_FONT).h;
    laid.content_w = std::max(kept_w - out.side, MIN_CONTENT_W);
    laid.need_w = laid.content_w;
    laid.content_h = h + 2 * MARGIN;
    out.no_matches = Rect{MARGIN, MARGIN, laid.content_w - 2 * MARGIN, h};
  } else if (dragged && look.autoSize) {
    const double f = fit_factor(ctx, b, allowed_h, out.search);
    laid = lay_items(ctx, std::floor(b.cell * f), std::floor(b.icon * f));
  } else {
    laid = lay_items(ctx, b.cell, b.icon);
    const bool fixed_rows = look.style == Style::AppIcons && look.appIconsRows > 0;
    if (dragged && !fixed_rows && laid.need_w > allowed_w - out.side) {
      const double k = (allowed_w - out.side) / laid.need_w;
      laid = lay_items(ctx, std::floor(b.cell * k), std::floor(b.icon * k));
    }
  }
  out.cell = laid.cell;
  out.icon = laid.icon;
  out.columns = laid.columns;
  out.content_w = laid.content_w;
  out.content_h = laid.content_h;
  out.items = std::move(laid.items);
  out.name_label = look.style == Style::AppIcons && look.showTitles == 1 && n > 0;
  out.name_offset = laid.name_offset;
  switch (look.style) {
    case Style::AppIcons: out.highlight_radius = std::round(out.icon * 0.29); break;
    case Style::Thumbnails: out.highlight_radius = 12; break;
    case Style::Titles: out.highlight_radius = std::max(look.corner - 16.0, 6.0); break;
  }

  // The window.
  const double list_w = std::min(out.content_w, allowed_w - out.side);
  const double w = std::round(out.side + list_w);
  double h = out.search + out.content_h;
  if (out.side > 0) h = std::max(h, out.search + 270);
  h = std::round(std::min(h, allowed_h));
  const double screen_r = right(screen), screen_b = bottom(screen);
  double x, y;
  if (kept) {
    x = kept->frame.x;
    y = kept->frame.y;
    h = std::max(0.0, std::min(h, screen_b - y));  // grows downwards, never past the bottom
  } else {
    x = screen.x + screen.w * look.panelX / 1000 - w / 2;
    y = screen.y + screen.h * look.panelY / 1000 - h / 2;
    x = std::round(std::max(screen.x, std::min(x, screen_r - w)));
    y = std::round(std::max(screen.y, std::min(y, screen_b - h)));
  }
  out.window = Rect{x, y, w, h};
  out.scroll = Rect{0, 0, w - out.side, std::max(0.0, h - out.search)};
  out.rows_w = std::max(out.content_w, out.scroll.w);
  out.rows_h = std::max(out.content_h, out.scroll.h);

  if (searching) {
    const double row_y = h - SEARCH_ROW;
    out.search_glyph = Rect{26, row_y + (SEARCH_ROW - GLYPH) / 2, GLYPH, GLYPH};
    const double lh = measure("", SEARCH_FONT).h;
    const double lx = GLYPH + 36;
    out.search_label = Rect{lx, row_y + (SEARCH_ROW - lh) / 2, std::max(0.0, out.scroll.w - MARGIN - lx), lh};
  }
  if (out.side > 0) out.side_image = Rect{out.scroll.w, MARGIN, SIDE_IMAGE - MARGIN, h - 2 * MARGIN};
  return out;
}

Rect highlight_frame(const PanelFrames& frames, size_t index) {
  const Rect& item = frames.items.at(index).item;
  if (frames.style != Style::AppIcons) return item;
  const double d = std::round((item.w - frames.icon) / 2);
  return Rect{item.x + d, item.y + d, frames.icon, frames.icon};
}

Rect name_label_frame(const PanelFrames& frames, size_t index, double text_w) {
  const Rect& item = frames.items.at(index).item;
  const double pw = frames.window.w;
  const double w = std::max(0.0, std::min(std::ceil(text_w), pw - 2 * MARGIN));
  const double x = std::max(MARGIN, std::min(item.x + (item.w - w) / 2, pw - MARGIN - w));
  return Rect{x, item.y + frames.name_offset, w, frames.label_h};
}

namespace {
double show_axis(double lead, double trail, double origin, double visible, double content) {
  if (lead - MARGIN < origin) {
    origin = lead - MARGIN;
  } else if (trail + MARGIN > origin + visible) {
    origin = trail + MARGIN - visible;
  }
  return std::max(0.0, std::min(origin, content - visible));
}
}  // namespace

Point scroll_to_show(const Rect& item, Point origin, double visible_w, double visible_h,
                     double content_w, double content_h) {
  return Point{show_axis(item.x, right(item), origin.x, visible_w, content_w),
               show_axis(item.y, bottom(item), origin.y, visible_h, content_h)};
}

std::optional<ScrollFade> scroll_fade(Point origin, double visible_w, double visible_h,
                                      double content_w, double content_h) {
  ScrollFade f;
  double at, visible, content;
  if (content_h - visible_h > 0.5) {
    f.vertical = true;
    at = origin.y, visible = visible_h, content = content_h;
  } else if (content_w - visible_w > 0.5) {
    f.vertical = false;
    at = origin.x, visible = visible_w, content = content_w;
  } else {
    return std::nullopt;
  }
  f.stop = std::min(36 / visible, 0.5);
  f.start_clear = at > 0.5;
  f.end_clear = content - (at + visible) > 0.5;
  return f;
}

}  // namespace mirvex
