// Where everything in the switcher panel goes: pure arithmetic from the rows, the Look and
// the screen to the frame of every item, decoration and the window itself. The panel draws
// what this returns; text is measured through a callable so the layout needs no toolkit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"
#include "core/types.h"

namespace mirvex {

// One display record of the panel, copied from a session entry. Images live with the panel;
// the layout needs only whether a profile picture exists and the window image's aspect.
struct PanelRow {
  std::string title;      // the window's title (the app's name for an app without windows)
  std::string app_name;
  std::string bundle_id;
  std::optional<std::string> badge;  // Dock badge text; "" draws a dot
  bool minimized = false;
  bool hidden = false;      // the owning app is hidden
  bool fullscreen = false;
  std::optional<uint32_t> space;  // 1-based Space number, only for a window off the visible Spaces
  bool has_profile = false;       // a browser profile picture is attached
  double aspect = 0;              // window image width / height; 0 until an image is known
};

struct TextSize {
  double w = 0, h = 0;
};

// Width and line height of `text` in the system font of `points` size, medium weight.
using Measure = std::function<TextSize(std::string_view text, double points)>;

// A text in a box: Space labels, Dock badges, hints.
struct BoxLabel {
  Rect box;
  Rect text;             // where the text is drawn (centred in it)
  std::string str;
  double font = 0;       // points
  double radius = 0;
  bool shows_text = true;  // false for a Dock badge dot
};

// The status chips, in the order minimised, hidden app, full screen.
enum Chip : size_t { CHIP_MINIMIZED = 0, CHIP_HIDDEN = 1, CHIP_FULLSCREEN = 2 };

struct ItemFrames {
  Rect item;                       // hit rectangle; the background box in Thumbnails
  Rect icon;                       // the app icon
  std::optional<Rect> title;       // title label, absent where the style shows none
  std::optional<Rect> image_area;  // Thumbnails: the area for the window image
  std::optional<Rect> image;       // the window image fitted into the area, aspect kept
  std::optional<Rect> placeholder; // the app icon drawn in the area while there is no image
  std::array<std::optional<Rect>, 3> chips;
  double chip_size = 0;            // chip corner radius is half of it
  double chip_symbol = 0;          // symbol size in points
  std::optional<BoxLabel> space;
  std::optional<BoxLabel> badge;
  std::optional<Rect> profile;     // corner radius is half its width
  double profile_border = 0;
  std::optional<BoxLabel> hint;
};

struct PanelFrames {
  Style style = Style::Titles;
  double cell = 0, icon = 0, font = 0;  // after scaling and fitting
  double label_h = 0;                   // title label height
  double side = 0;                      // width reserved for the window image beside the list
  double search = 0;                    // height of the search row
  double content_w = 0, content_h = 0;
  Rect window;        // in screen coordinates (top-left origin, y downwards)
  Rect scroll;        // the visible part of the list, in window coordinates
  double rows_w = 0, rows_h = 0;  // the rows view
  size_t columns = 1;
  std::vector<ItemFrames> items;
  std::optional<Rect> no_matches;
  std::optional<Rect> search_glyph, search_label;
  std::optional<Rect> side_image;
  bool name_label = false;  // AppIcons: one name label under the selection
  double name_offset = 0;   // its y below the item's top
  double highlight_radius = 0;
};

// The window frame kept while the panel is shown and searching, so that typing does not make
// it jump: its width is kept and its top edge stays.
struct Kept {
  Rect frame;
};

// Lays out `rows` for `look` on a screen whose visible frame is `screen` (top-left origin).
PanelFrames panel_layout(std::span<const PanelRow> rows, const Look& look, const Rect& screen,
                         std::optional<Kept> kept, bool searching, const Measure& measure);

// Fits a thumbnail item's window image (or the placeholder icon) into its image area for the
// row's current aspect, and places its status chips on the result again; the rest of the item
// stays. Used when a new image changes the aspect too little to lay the panel out again.
void refit_thumbnail(ItemFrames& item, const PanelRow& row, const Look& look);

// The selection highlight of item `index` (which must exist).
Rect highlight_frame(const PanelFrames& frames, size_t index);

// The name label under item `index` for a name `text_w` wide.
Rect name_label_frame(const PanelFrames& frames, size_t index, double text_w);

// The scroll origin that keeps `item` fully visible with a 16-point margin, clamped to the
// content.
Point scroll_to_show(const Rect& item, Point origin, double visible_w, double visible_h,
                     double content_w, double content_h);

// The gradient mask that fades a scrolled list's edges: colours (start, opaque, opaque, end)
// at (0, stop, 1 - stop, 1) along the axis that scrolls.
struct ScrollFade {
  bool vertical = true;
  double stop = 0;
  bool start_clear = false;  // content hides before the visible start
  bool end_clear = false;    // content remains past the visible end
};
std::optional<ScrollFade> scroll_fade(Point origin, double visible_w, double visible_h,
                                      double content_w, double content_h);

}  // namespace mirvex
