// The switcher panel: a frameless, always-on-top window that never takes keyboard focus and
// draws the session's rows (titles, app icons or thumbnails) from the pure layout, with the
// selection highlight, hover box, status chips, Space labels, Dock badges, hints and search
// row. Its rows view turns clicks, hovering and the scroll wheel into callbacks. Main thread
// only; the keyboard stays with the event tap and the switcher, which drive it.
#pragma once

#include <QFont>
#include <QImage>
#include <QVariantAnimation>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/panel_layout.h"
#include "core/settings.h"

namespace mirvex {

// A display record with its images.
struct PanelItem {
  PanelRow row;
  QImage icon;     // the app icon; null draws a placeholder from the app's initial
  QImage profile;  // browser profile picture; null for none
  QImage image;    // the window image (thumbnail); null until captured
};

class Panel;

// The view that hosts the rows: its own scroll origin, the mouse handling, and the hover and
// selection state the mouse needs. Coordinates below are the rows' (flipped, y downwards):
// the widget's plus the scroll origin.
class RowsView : public QWidget {
 public:
  RowsView(QWidget* parent, Panel& panel);

  std::function<void(size_t)> on_click;
  std::function<void(size_t)> on_hover;
  std::function<void(int)> on_scroll;  // -1 towards the top, +1 towards the bottom

  bool interactive = false;  // true only while the panel is shown
  bool hover_selects = false;
  bool scroll_selects = false;
  bool hover_highlight = true;
  std::optional<size_t> hovered;
  QPointF origin;

  std::optional<size_t> item_at(QPointF rows_point) const;
  void clear_hover();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void leaveEvent(QEvent*) override;
  void wheelEvent(QWheelEvent*) override;

 private:
  void point(std::optional<size_t> index);
  Panel& panel_;
  double wheel_ = 0;  // the fraction of a step kept between wheel events
};

class Panel {
 public:
  // Stops the program with "Panel must be created on the main thread" anywhere else.
  Panel();
  ~Panel();
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  // `look.extra`, when set, must hold a `Rect`: the visible frame of the screen the session
  // chose (top-left origin). Without it the primary screen is used; with neither, nothing is
  // laid out.
  void show(std::vector<PanelItem> entries, size_t selected, const Look& look);
  void render(std::vector<PanelItem> entries, size_t selected, const Look& look);
  void warm(std::vector<PanelItem> entries, const Look& look);
  void hide();
  void select(size_t index);
  // Select with motion: the highlight and the scroll glide when the look and motion allow.
  void glide_to(size_t index);
  void set_search(std::optional<std::string> text);
  void set_badges(const std::map<std::string, std::string>& badges);
  void update_thumb(size_t index, QImage image);
  void click(size_t index);

  // Where the system's reduce-motion setting is read, at each use (the application passes the
  // port's); with it on, frames and alphas are set without animation. Off by default.
  void set_reduce_motion(std::function<bool()> source) { reduce_motion_ = std::move(source); }
  // Where to ask, at each layout, whether translucent windows are composited (the application
  // passes the port's). Without compositing the window's rounded shape is cut with a mask, so
  // its clear corners do not show black. Composited by default.
  void set_compositing(std::function<bool()> source) { compositing_ = std::move(source); }

  bool shown() const { return shown_; }
  uint64_t generation() const { return generation_; }
  size_t selected() const { return selected_; }
  std::optional<QRectF> highlight() const;
  const PanelFrames& frames() const { return frames_; }
  const std::vector<PanelRow>& rows() const { return rows_; }
  QWidget* window() const { return window_.get(); }
  RowsView* rows_view() const { return rows_view_; }

 private:
  friend class RowsView;
  friend class PanelWindow;
  struct Images {
    QImage icon, profile, image;
  };

  bool motion() const { return !(reduce_motion_ && reduce_motion_()); }
  void take(std::vector<PanelItem> entries);
  void layout();
  void scroll_to(QPointF origin, bool animate);
  QFont font(double points, bool bold = false) const;
  TextSize measure(std::string_view text, double points) const;
  bool dark() const;

  void paint_window(QPainter& p);
  void paint_rows(QPainter& p, QSize size);
  void paint_list(QPainter& p, const QRectF& area);  // `area` in the view's coordinates
  void paint_item(QPainter& p, size_t i);
  void paint_icon(QPainter& p, size_t i, const QRectF& r);
  void paint_box_label(QPainter& p, const BoxLabel& l, const QColor& fill, const QColor& border,
                       const QColor& text, bool bold);

  std::unique_ptr<QWidget> window_;
  RowsView* rows_view_ = nullptr;  // owned by the window
  std::vector<PanelRow> rows_;
  std::vector<Images> images_;
  size_t selected_ = 0;
  std::optional<Look> look_;
  std::optional<std::string> search_;
  PanelFrames frames_;
  bool shown_ = false;
  uint64_t generation_ = 0;
  std::function<bool()> reduce_motion_;
  std::function<bool()> compositing_;
  bool highlight_on_ = false;
  QRectF highlight_;
  QVariantAnimation highlight_anim_, scroll_anim_, alpha_anim_;
  mutable std::map<std::pair<double, bool>, QFont> fonts_;
  mutable std::unordered_map<std::string, TextSize> measured_;  // by font size and text
  // Drawn pieces kept as device-pixel images across summons: the same apps, cached thumbnails
  // and row sizes come back every time, so a show copies them instead of scaling images and
  // rasterising rounded shapes again. Bounded by bytes; when full it empties and refills.
  std::unordered_map<std::string, QImage> cache_;
  size_t cache_bytes_ = 0;
  QImage cached(const std::string& key, const std::function<QImage()>& make);
  // `src` scaled to `px` device pixels, aspect kept, corners rounded by `radius` pixels.
  QImage scaled(const QImage& src, QSize px, double radius = 0);
  // What `draw` paints inside `r` (the painter's coordinates, plus a pixel of fringe), drawn
  // once into an image at the same sub-pixel phase and copied 1:1 afterwards. `key` names
  // everything the drawing depends on besides `r`'s size and the painter's scale. Blending
  // one drawing operation's result through a transparent image gives the same pixels as
  // drawing it in place, so each overlapping operation gets its own piece (thin strokes, which
  // may blend a pixel twice, are drawn in place). Something `moving` (the gliding highlight),
  // or anything while the list glides, changes phase every frame and is drawn in place.
  void piece(QPainter& p, std::string_view key, const QRectF& r, const std::function<void(QPainter&)>& draw,
             bool moving = false);
  void fill_rounded(QPainter& p, const QRectF& r, double radius, const QColor& color, bool moving = false);
  void draw_image(QPainter& p, const QRectF& r, const QImage& img, std::string_view key);
  // Elided texts by font size, mode and width: eliding shapes the whole text.
  std::unordered_map<std::string, QString> elided_;
  QString elided(const QString& text, double points, Qt::TextElideMode mode, double width);
};

}  // namespace mirvex
