#include "app/panel.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QTransform>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fmt/format.h>

#include "app/symbols.h"
#include "core/log.h"

namespace mirvex {
namespace {

using namespace std::chrono_literals;

// The standard curve of the panel's motion: cubic Bézier (0.2, 0.9), (0.3, 1.0).
QEasingCurve standard_curve() {
  QEasingCurve c(QEasingCurve::BezierSpline);
  c.addCubicBezierSegment(QPointF(0.2, 0.9), QPointF(0.3, 1.0), QPointF(1, 1));
  return c;
}

constexpr auto FADE = 120ms;
// The fade-out orders the window out 136 666 667 ns after it starts, rounded to the timer's ms.
constexpr auto ORDER_OUT = 137ms;
constexpr auto SCROLL = 300ms;
constexpr auto GLIDE = 200ms;
constexpr double LABEL_FONT = 17;
constexpr double SEARCH_FONT = 15;
constexpr size_t CACHE_BYTES = size_t{64} << 20;

QRectF q(const Rect& r) { return QRectF(r.x, r.y, r.w, r.h); }

// The text measure kept under `key`, made on a miss. Bounded by count, not by policy: one
// summon's texts refill it.
template <class V, class F>
V remembered(std::unordered_map<std::string, V>& kept, std::string key, const F& make) {
  if (const auto it = kept.find(key); it != kept.end()) return it->second;
  if (kept.size() > 1024) kept.clear();
  return kept.emplace(std::move(key), make()).first->second;
}
QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

[[noreturn]] void fatal(const char* message) {
  log::log(message);
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// The semantic colours of one appearance.
struct Colors {
  QColor background, border, label, secondary, tertiary, quaternary, fill, separator, window_bg, red;
};

Colors colors(bool dark) {
  if (dark) {
    return Colors{QColor(32, 32, 36, 236),       QColor(255, 255, 255, 36),
                  QColor(255, 255, 255, 217),    QColor(235, 235, 245, 140),
                  QColor(235, 235, 245, 64),     QColor(235, 235, 245, 26),
                  QColor(120, 120, 128, 46),     QColor(255, 255, 255, 26),
                  QColor(50, 50, 54),            QColor(255, 69, 58)};
  }
  return Colors{QColor(246, 246, 248, 240), QColor(0, 0, 0, 30),   QColor(0, 0, 0, 217),
                QColor(60, 60, 67, 153),    QColor(60, 60, 67, 76), QColor(60, 60, 67, 30),
                QColor(120, 120, 128, 20),  QColor(0, 0, 0, 26),    QColor(236, 236, 236),
                QColor(255, 59, 48)};
}

// An app icon drawn from the app's initial on a colour taken from its identity, for apps
// whose icon is not known.
QImage placeholder_icon(const PanelRow& row, int px) {
  QImage img(px, px, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  const std::string& key = row.bundle_id.empty() ? row.app_name : row.bundle_id;
  const double hue = static_cast<double>(qHash(qs(key)) % 360) / 360.0;
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(px * 0.1, px * 0.1, px * 0.8, px * 0.8);
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, QColor::fromHsvF(hue, 0.45, 0.95));
  g.setColorAt(1, QColor::fromHsvF(hue, 0.7, 0.72));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(r, px * 0.18, px * 0.18);
  const QString name = qs(row.app_name.empty() ? row.title : row.app_name).trimmed();
  if (!name.isEmpty()) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(std::max(1, static_cast<int>(px * 0.46)));
    f.setWeight(QFont::DemiBold);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, name.left(1).toUpper());
  }
  return img;
}

double device_scale(const QPainter& p) { return std::max(1.0, p.deviceTransform().m11()); }

Qt::TextElideMode elide(uint8_t truncation) {
  switch (truncation) {
    case 0: return Qt::ElideLeft;
    case 1: return Qt::ElideMiddle;
    default: return Qt::ElideRight;
  }
}

}  // namespace

// The top-level window: background material, search row and the image beside the list.
class PanelWindow : public QWidget {
 public:
  explicit PanelWindow(Panel& panel) : panel_(panel) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    panel_.paint_window(p);
  }

 private:
  Panel& panel_;
};

RowsView::RowsView(QWidget* parent, Panel& panel) : QWidget(parent), panel_(panel) {
  setMouseTracking(true);
  setAttribute(Qt::WA_Hover, false);
}

std::optional<size_t> RowsView::item_at(QPointF pt) const {
  const auto& items = panel_.frames_.items;
  for (size_t i = 0; i < items.size(); ++i) {
    const Rect& r = items[i].item;
    // Left and top edges inclusive, right and bottom exclusive, so neighbours never share.
    if (pt.x() >= r.x && pt.x() < r.x + r.w && pt.y() >= r.y && pt.y() < r.y + r.h) return i;
  }
  return std::nullopt;
}

void RowsView::point(std::optional<size_t> index) {
  if (hovered == index) return;
  hovered = index;
  update();
}

void RowsView::clear_hover() { point(std::nullopt); }

void RowsView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  panel_.paint_rows(p, size());
}

void RowsView::mousePressEvent(QMouseEvent* e) {
  if (!interactive || e->button() != Qt::LeftButton) return;
  if (auto i = item_at(e->position() + origin); i && on_click) on_click(*i);
}

void RowsView::mouseMoveEvent(QMouseEvent* e) {
  if (!interactive) return;
  const auto i = item_at(e->position() + origin);
  if (!i) {
    clear_hover();
    return;
  }
  const bool changed = hovered != i;
  point(i);
  if (hover_selects && changed && on_hover) on_hover(*i);
}

void RowsView::leaveEvent(QEvent*) {
  if (interactive) clear_hover();
}

void RowsView::wheelEvent(QWheelEvent* e) {
  if (!interactive) return;
  const bool precise = !e->pixelDelta().isNull();
  if (!scroll_selects) {
    // The list itself scrolls: 40 points per wheel notch, precise deltas as they come.
    const double dy = precise ? e->pixelDelta().y() : e->angleDelta().y() / 120.0 * 40;
    panel_.scroll_to(QPointF(origin.x(), origin.y() - dy), false);
    return;
  }
  if (e->phase() == Qt::ScrollMomentum) return;  // the flick's tail is not a step
  wheel_ += precise ? e->pixelDelta().y() / 20.0 : e->angleDelta().y() / 120.0;
  const double whole = std::trunc(wheel_);
  wheel_ -= whole;
  for (int k = 0; k < static_cast<int>(std::abs(whole)); ++k) {
    if (on_scroll) on_scroll(whole > 0 ? -1 : 1);
  }
}

Panel::Panel() {
  const QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) fatal("Panel must be created on the main thread");
  window_ = std::make_unique<PanelWindow>(*this);
  // A tool tip window is override-redirect on X11: on every desktop, never managed, never
  // focused. Together with the no-focus flags the keyboard stays with the event tap.
  window_->setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint);
  window_->setAttribute(Qt::WA_ShowWithoutActivating);
  window_->setAttribute(Qt::WA_TranslucentBackground);
  window_->setAttribute(Qt::WA_NoSystemBackground);
  window_->setFocusPolicy(Qt::NoFocus);
  window_->setObjectName("mirvex-panel");
  window_->setWindowTitle("mirvex panel");
  window_->setGeometry(0, 0, 100, 100);
  rows_view_ = new RowsView(window_.get(), *this);
  rows_view_->setFocusPolicy(Qt::NoFocus);

  highlight_anim_.setDuration(static_cast<int>(GLIDE.count()));
  highlight_anim_.setEasingCurve(standard_curve());
  QObject::connect(&highlight_anim_, &QVariantAnimation::valueChanged, [this](const QVariant& v) {
    highlight_ = v.toRectF();
    rows_view_->update();
  });
  scroll_anim_.setDuration(static_cast<int>(SCROLL.count()));
  scroll_anim_.setEasingCurve(standard_curve());
  QObject::connect(&scroll_anim_, &QVariantAnimation::valueChanged, [this](const QVariant& v) {
    rows_view_->origin = v.toPointF();
    rows_view_->update();
  });
  alpha_anim_.setDuration(static_cast<int>(FADE.count()));
  QObject::connect(&alpha_anim_, &QVariantAnimation::valueChanged,
                   [this](const QVariant& v) { window_->setWindowOpacity(v.toDouble()); });
}

Panel::~Panel() = default;

QFont Panel::font(double points, bool bold) const {
  auto [it, fresh] = fonts_.try_emplace({points, bold});
  if (fresh) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(points))));
    f.setWeight(bold ? QFont::Bold : QFont::Medium);
    it->second = f;
  }
  return it->second;
}

TextSize Panel::measure(std::string_view text, double points) const {
  return remembered(measured_, fmt::format("{}:{}", points, text), [&] {
    const QFontMetricsF fm(font(points));
    return TextSize{text.empty() ? 0 : fm.horizontalAdvance(qs(text)), std::ceil(fm.height())};
  });
}

bool Panel::dark() const {
  if (look_ && look_->theme != Theme::System) return look_->theme == Theme::Dark;
  return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

void Panel::take(std::vector<PanelItem> entries) {
  rows_.clear();
  images_.clear();
  rows_.reserve(entries.size());
  images_.reserve(entries.size());
  for (PanelItem& e : entries) {
    e.row.has_profile = !e.profile.isNull();
    if (!e.image.isNull() && e.image.height() > 0) {
      e.row.aspect = static_cast<double>(e.image.width()) / e.image.height();
    }
    rows_.push_back(std::move(e.row));
    images_.push_back(Images{std::move(e.icon), std::move(e.profile), std::move(e.image)});
  }
}

void Panel::layout() {
  if (!look_) return;
  Rect screen;
  if (look_->extra) {
    screen = *static_cast<const Rect*>(look_->extra.get());
  } else if (const QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect g = s->availableGeometry();
    screen = Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())};
  } else {
    return;
  }
  std::optional<Kept> kept;
  if (shown_ && search_) {
    const QRect g = window_->geometry();
    kept = Kept{Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())}};
  }
  frames_ = panel_layout(rows_, *look_, screen, kept, search_.has_value(),
                         [this](std::string_view t, double pt) { return measure(t, pt); });
  const Rect& w = frames_.window;
  window_->setGeometry(QRect(int(w.x), int(w.y), int(w.w), int(w.h)));
  if (compositing_ && !compositing_()) {
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, w.w, w.h), look_->corner, look_->corner);
    window_->setMask(QRegion(shape.toFillPolygon().toPolygon()));
  } else {
    window_->clearMask();
  }
  rows_view_->setGeometry(q(frames_.scroll).toRect());
  rows_view_->hover_selects = look_->hover;
  rows_view_->scroll_selects = look_->scroll;
  rows_view_->hover_highlight = look_->style != Style::AppIcons;  // icons swell instead
  if (rows_view_->hovered && *rows_view_->hovered >= rows_.size()) rows_view_->hovered.reset();
  scroll_to(rows_view_->origin, false);
  highlight_anim_.stop();
  highlight_on_ = false;
  select(selected_);
  window_->update();
}

void Panel::scroll_to(QPointF o, bool animate) {
  const double max_x = std::max(0.0, frames_.rows_w - frames_.scroll.w);
  const double max_y = std::max(0.0, frames_.rows_h - frames_.scroll.h);
  o = QPointF(std::clamp(o.x(), 0.0, max_x), std::clamp(o.y(), 0.0, max_y));
  scroll_anim_.stop();  // a newer target wins over one still in flight
  if (o == rows_view_->origin) return;
  if (animate) {
    scroll_anim_.setStartValue(rows_view_->origin);
    scroll_anim_.setEndValue(o);
    scroll_anim_.start();
  } else {
    rows_view_->origin = o;
    rows_view_->update();
  }
}

void Panel::show(std::vector<PanelItem> entries, size_t selected, const Look& look) {
  const bool visible = shown_ && window_->isVisible();
  take(std::move(entries));
  selected_ = selected;
  look_ = look;
  layout();
  if (!look_ || frames_.window.w <= 0) return;
  const double alpha = look_->opacityPct / 100.0;
  alpha_anim_.stop();
  if (!visible) {
    if (look_->fadeIn && motion()) {
      window_->setWindowOpacity(0);
      alpha_anim_.setStartValue(0.0);
      alpha_anim_.setEndValue(alpha);
      alpha_anim_.start();
    } else if (window_->windowOpacity() != alpha) {
      window_->setWindowOpacity(alpha);
    }
    window_->show();
  }
  shown_ = true;
  rows_view_->interactive = true;
}

void Panel::render(std::vector<PanelItem> entries, size_t selected, const Look& look) {
  take(std::move(entries));
  selected_ = selected;
  look_ = look;
  layout();
}

void Panel::warm(std::vector<PanelItem> entries, const Look& look) {
  if (shown_) return;  // never replaces what a session shows
  take(std::move(entries));
  look_ = look;
  layout();
  // Creates the native window and its backing store now, so the first summon does not.
  window_->setWindowOpacity(0);
  window_->show();
  window_->hide();
  // Draws once off screen at the window's density, so the first summon copies kept pieces.
  const double dpr = window_->devicePixelRatioF();
  QImage scratch(window_->size() * dpr, QImage::Format_ARGB32_Premultiplied);
  if (scratch.isNull()) return;
  scratch.setDevicePixelRatio(dpr);
  scratch.fill(Qt::transparent);
  window_->render(&scratch, QPoint(), QRegion(), QWidget::DrawChildren);
}

void Panel::hide() {
  const bool fade = shown_ && look_ && look_->fadeOut && motion() && window_->isVisible();
  shown_ = false;
  search_.reset();
  rows_.clear();
  images_.clear();
  rows_view_->interactive = false;
  rows_view_->clear_hover();
  ++generation_;
  scroll_anim_.stop();
  highlight_anim_.stop();
  alpha_anim_.stop();
  if (!fade) {
    window_->hide();
    return;
  }
  alpha_anim_.setStartValue(window_->windowOpacity());
  alpha_anim_.setEndValue(0.0);
  alpha_anim_.start();
  const uint64_t gen = generation_;
  QTimer::singleShot(ORDER_OUT, window_.get(), [this, gen] {
    // A show in between keeps the window.
    if (generation_ == gen && !shown_) window_->hide();
  });
}

std::optional<QRectF> Panel::highlight() const {
  if (!highlight_on_) return std::nullopt;
  return highlight_;
}

void Panel::select(size_t index) {
  if (rows_.empty() || frames_.items.size() != rows_.size()) {
    selected_ = 0;
    highlight_on_ = false;
    rows_view_->update();
    return;
  }
  selected_ = std::min(index, rows_.size() - 1);
  highlight_anim_.stop();
  highlight_ = q(highlight_frame(frames_, selected_));
  highlight_on_ = true;
  const Rect& item = frames_.items[selected_].item;
  const Point o = scroll_to_show(item, Point{rows_view_->origin.x(), rows_view_->origin.y()},
                                 frames_.scroll.w, frames_.scroll.h, frames_.rows_w, frames_.rows_h);
  scroll_to(QPointF(o.x, o.y), shown_ && motion());
  rows_view_->update();
  window_->update();  // the image beside the list follows the selection
}

void Panel::glide_to(size_t index) {
  const std::optional<QRectF> from = highlight();
  select(index);
  if (!from || !shown_ || !motion() || !look_ || !look_->glide || *from == highlight_) return;
  highlight_anim_.setStartValue(*from);
  highlight_anim_.setEndValue(highlight_);
  highlight_ = *from;
  highlight_anim_.start();
}

void Panel::set_search(std::optional<std::string> text) {
  const bool row_changed = text.has_value() != search_.has_value();
  search_ = std::move(text);
  if (row_changed && look_) {
    layout();
  } else {
    window_->update();
  }
}

void Panel::set_badges(const std::map<std::string, std::string>& badges) {
  for (PanelRow& r : rows_) {
    const auto it = badges.find(r.bundle_id);
    r.badge = it == badges.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  if (shown_ && look_) layout();
}

void Panel::update_thumb(size_t index, QImage image) {
  if (index >= rows_.size() || image.isNull() || image.height() <= 0) return;
  PanelRow& row = rows_[index];
  const double old = row.aspect;
  row.aspect = static_cast<double>(image.width()) / image.height();
  images_[index].image = std::move(image);
  if (look_ && look_->style == Style::Thumbnails && std::abs(row.aspect - old) > 0.01 * old) {
    layout();
    return;
  }
  if (look_ && index < frames_.items.size()) refit_thumbnail(frames_.items[index], row, *look_);
  if (index == selected_) select(selected_);
  rows_view_->update();
}

void Panel::click(size_t index) {
  if (index >= frames_.items.size()) return;
  const Rect& r = frames_.items[index].item;
  const QPointF local = QPointF(r.x + r.w / 2, r.y + r.h / 2) - rows_view_->origin;
  QCoreApplication::postEvent(
      rows_view_, new QMouseEvent(QEvent::MouseButtonPress, local, rows_view_->mapToGlobal(local),
                                  Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
}

// ---- drawing ----

void Panel::paint_window(QPainter& p) {
  if (!look_) return;
  p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
  const Colors c = colors(dark());
  const QRectF all(0, 0, frames_.window.w, frames_.window.h);
  const double radius = look_->corner;
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.fillRect(all, Qt::transparent);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
  const std::string material = fmt::format("material:{}:{}:{:x}:{:x}", radius, look_->tint,
                                           static_cast<quint64>(c.border.rgba64()),
                                           static_cast<quint64>(c.background.rgba64()));
  piece(p, material, all, [&](QPainter& sp) {
    sp.setPen(QPen(c.border, 1));
    sp.setBrush(c.background);
    sp.drawRoundedRect(all.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    if (look_->tint != 0) {
      const int a = std::abs(look_->tint) * 255 / 100;
      sp.setPen(Qt::NoPen);
      sp.setBrush(look_->tint > 0 ? QColor(255, 255, 255, a) : QColor(0, 0, 0, a));
      sp.drawRoundedRect(all, radius, radius);
    }
  });
  if (frames_.side_image && selected_ < images_.size()) {
    const QRectF area = q(*frames_.side_image);
    Images& im = images_[selected_];
    if (!im.image.isNull()) {
      const double s = device_scale(p);
      const QImage img = scaled(im.image, (area.size() * s).toSize(), 8 * s);
      const QSizeF size = QSizeF(img.size()) / s;
      draw_image(p, QRectF(area.center() - QPointF(size.width() / 2, size.height() / 2), size), img,
                 fmt::format("image:{}", img.cacheKey()));
    } else {
      paint_icon(p, selected_, QRectF(area.center() - QPointF(32, 32), QSizeF(64, 64)));
    }
  }
  if (frames_.search_glyph && search_) {
    p.setPen(Qt::NoPen);
    p.setBrush(c.secondary);
    p.drawPath(symbol_path("magnifyingglass", q(*frames_.search_glyph).adjusted(0.5, 0.5, -0.5, -0.5),
                           SymbolWeight::Medium));
    const QRectF r = q(*frames_.search_label);
    p.setFont(font(SEARCH_FONT));
    p.setPen(c.label);
    p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, elided(qs(*search_), SEARCH_FONT, Qt::ElideLeft, r.width()));
  }
}

void Panel::paint_rows(QPainter& p, QSize size) {
  if (!look_) return;
  const QRectF all(QPointF(0, 0), QSizeF(size));
  const std::optional<ScrollFade> fade =
      look_->scrollFade ? scroll_fade(Point{rows_view_->origin.x(), rows_view_->origin.y()}, size.width(),
                                      size.height(), frames_.rows_w, frames_.rows_h)
                        : std::nullopt;
  if (!fade || (!fade->start_clear && !fade->end_clear)) {
    paint_list(p, all);
    return;
  }
  // Only the bands at a scrolled-past edge fade: each is drawn into a small layer whose alpha
  // ramps to clear, so the fade never touches the window's background; the rest is drawn
  // directly.
  const bool v = fade->vertical;
  const double len = v ? all.height() : all.width();
  const double band = fade->stop * len;
  auto band_rect = [&](bool start) {
    const double at = start ? 0 : len - band;
    return v ? QRectF(0, at, all.width(), band) : QRectF(at, 0, band, all.height());
  };
  QRectF direct = all;
  if (fade->start_clear) (v ? direct.setTop(band) : direct.setLeft(band));
  if (fade->end_clear) (v ? direct.setBottom(len - band) : direct.setRight(len - band));
  p.save();
  p.setClipRect(direct);
  paint_list(p, direct);
  p.restore();
  const double s = device_scale(p);
  for (bool start : {true, false}) {
    if (start ? !fade->start_clear : !fade->end_clear) continue;
    const QRectF r = band_rect(start);
    QImage layer((r.size() * s).toSize(), QImage::Format_ARGB32_Premultiplied);
    if (layer.isNull()) continue;
    layer.setDevicePixelRatio(s);
    layer.fill(Qt::transparent);
    QPainter lp(&layer);
    lp.translate(-r.topLeft());
    paint_list(lp, r);
    lp.resetTransform();
    lp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    const QRectF local(QPointF(0, 0), r.size());
    QLinearGradient g(local.topLeft(), v ? local.bottomLeft() : local.topRight());
    g.setColorAt(0, start ? Qt::transparent : Qt::black);
    g.setColorAt(1, start ? Qt::black : Qt::transparent);
    lp.fillRect(local, g);
    lp.end();
    p.drawImage(r.topLeft(), layer);
  }
}

void Panel::paint_list(QPainter& p, const QRectF& area) {
  p.save();
  p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
  p.translate(-rows_view_->origin);
  // Items outside the area are skipped; the margin covers decorations that overhang an item.
  const QRectF visible = area.translated(rows_view_->origin).adjusted(-24, -24, 24, 24);
  const Colors c = colors(dark());
  const double radius = frames_.highlight_radius;
  const auto& hov = rows_view_->hovered;
  if (hov && *hov < frames_.items.size() && rows_view_->hover_highlight &&
      !(highlight_on_ && *hov == selected_)) {
    QColor fill = c.quaternary;
    fill.setAlphaF(fill.alphaF() * 0.5);
    fill_rounded(p, q(frames_.items[*hov].item), radius, fill);
  }
  if (highlight_on_) {
    const bool gliding = highlight_anim_.state() == QAbstractAnimation::Running;
    if (look_->style == Style::Thumbnails) {
      // A soft shadow under the highlight: opacity 0.3, radius 12, four points down.
      for (int k = 6; k >= 1; --k) {
        const double grow = k * 2.0;
        fill_rounded(p, highlight_.translated(0, 4).adjusted(-grow / 2, -grow / 2, grow / 2, grow / 2),
                     radius + grow / 2, QColor(0, 0, 0, static_cast<int>(0.3 * 255 / 6 * (7 - k) / 3.5)), gliding);
      }
    }
    fill_rounded(p, highlight_, radius, look_->style == Style::Titles ? c.quaternary : c.tertiary, gliding);
  }
  for (size_t i = 0; i < frames_.items.size() && i < rows_.size(); ++i) {
    if (q(frames_.items[i].item).intersects(visible)) paint_item(p, i);
  }

  if (frames_.name_label && !rows_.empty()) {
    const size_t i = hov && *hov < rows_.size() ? *hov : selected_;
    const QString name = qs(look_->appsOnly ? rows_[i].app_name : rows_[i].title);
    const QFont f = font(frames_.font);
    const QFontMetricsF fm(f);
    const QRectF r = q(name_label_frame(frames_, i, fm.horizontalAdvance(name)));
    p.setFont(f);
    p.setPen(c.label);
    p.drawText(r, Qt::AlignCenter, elided(name, frames_.font, elide(look_->truncation), r.width()));
  }
  if (frames_.no_matches) {
    p.setFont(font(LABEL_FONT));
    p.setPen(c.secondary);
    p.drawText(q(*frames_.no_matches), Qt::AlignLeft | Qt::AlignVCenter, "No matches");
  }
  p.restore();
}

QImage Panel::cached(const std::string& key, const std::function<QImage()>& make) {
  if (const auto it = cache_.find(key); it != cache_.end()) return it->second;
  QImage img = make();
  const auto bytes = static_cast<size_t>(img.sizeInBytes());
  // A bound, not a policy: what one summon draws refills it at once.
  if (cache_bytes_ + bytes > CACHE_BYTES) {
    cache_.clear();
    cache_bytes_ = 0;
  }
  cache_bytes_ += bytes;
  return cache_.emplace(key, img).first->second;
}

QImage Panel::scaled(const QImage& src, QSize px, double radius) {
  return cached(fmt::format("scaled:{}:{}x{}:{}", src.cacheKey(), px.width(), px.height(), radius), [&] {
    const QImage img = src.scaled(px, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (radius <= 0) return img;
    // Corners are cut once here rather than clipped on every paint.
    QImage out(img.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(img);
    p.drawRoundedRect(QRectF(out.rect()), radius, radius);
    return out;
  });
}

void Panel::piece(QPainter& p, std::string_view key, const QRectF& r, const std::function<void(QPainter&)>& draw,
                  bool moving) {
  const QTransform t = p.deviceTransform();
  if (moving || scroll_anim_.state() == QAbstractAnimation::Running || t.type() > QTransform::TxScale ||
      r.isEmpty()) {
    draw(p);
    return;
  }
  const QRectF dev = t.mapRect(r);
  const QPointF floor(std::floor(dev.x()), std::floor(dev.y()));
  const QPoint at = floor.toPoint() - QPoint(1, 1);  // a pixel of fringe round antialiased edges
  const QSize size(static_cast<int>(std::ceil(dev.right())) + 1 - at.x(),
                   static_cast<int>(std::ceil(dev.bottom())) + 1 - at.y());
  const QPointF phase = dev.topLeft() - floor;
  const QImage img = cached(fmt::format("piece:{}:{}x{}:{}x{}:{},{}:{}", key, r.width(), r.height(), t.m11(),
                                        t.m22(), phase.x(), phase.y(), int(p.renderHints())),
                            [&] {
                              QImage out(size, QImage::Format_ARGB32_Premultiplied);
                              out.fill(Qt::transparent);
                              QPainter sp(&out);
                              sp.setRenderHints(p.renderHints());
                              sp.setTransform(t * QTransform::fromTranslate(-at.x(), -at.y()));
                              draw(sp);
                              return out;
                            });
  // Copied in device pixels, whatever the painter's scale and offset. Without smooth
  // transformation a 1:1 copy takes the raster engine's direct blend instead of its span filler.
  p.save();
  p.setWorldTransform(QTransform());
  p.setWorldTransform(p.deviceTransform().inverted());
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
  p.drawImage(QPointF(at), img);
  p.restore();
}

void Panel::fill_rounded(QPainter& p, const QRectF& r, double radius, const QColor& color, bool moving) {
  piece(
      p, fmt::format("rounded:{}:{:x}", radius, static_cast<quint64>(color.rgba64())), r,
      [&](QPainter& sp) {
        sp.setPen(Qt::NoPen);
        sp.setBrush(color);
        sp.drawRoundedRect(r, radius, radius);
      },
      moving);
}

void Panel::draw_image(QPainter& p, const QRectF& r, const QImage& img, std::string_view key) {
  piece(p, key, r, [&](QPainter& sp) { sp.drawImage(r, img); });
}

QString Panel::elided(const QString& text, double points, Qt::TextElideMode mode, double width) {
  return remembered(elided_, fmt::format("{}:{}:{}:{}", points, int(mode), width, text.toStdString()),
                    [&] { return QFontMetricsF(font(points)).elidedText(text, mode, width); });
}

void Panel::paint_icon(QPainter& p, size_t i, const QRectF& r) {
  const QImage& icon = images_[i].icon;
  const QSize px = (r.size() * device_scale(p)).toSize();
  if (px.isEmpty()) return;
  if (!icon.isNull()) {
    const QImage img = scaled(icon, px);
    draw_image(p, r, img, fmt::format("image:{}", img.cacheKey()));
    return;
  }
  const PanelRow& row = rows_[i];
  const std::string key = fmt::format("initial:{}:{}:{}", row.bundle_id, row.app_name, px.width());
  const QImage img = cached(key, [&] { return placeholder_icon(row, px.width()); });
  draw_image(p, r, img, key);
}

void Panel::paint_box_label(QPainter& p, const BoxLabel& l, const QColor& fill, const QColor& border,
                            const QColor& text, bool bold) {
  fill_rounded(p, q(l.box), l.radius, fill);
  if (border.alpha()) {
    p.setPen(QPen(border, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(q(l.box), l.radius, l.radius);
  }
  if (!l.shows_text) return;
  p.setFont(font(l.font, bold));
  p.setPen(text);
  p.drawText(q(l.text), Qt::AlignCenter, qs(l.str));
}

void Panel::paint_item(QPainter& p, size_t i) {
  const ItemFrames& f = frames_.items[i];
  const PanelRow& row = rows_[i];
  Images& im = images_[i];
  const Colors c = colors(dark());
  const bool selected = highlight_on_ && i == selected_;

  if (look_->style == Style::Thumbnails) {
    fill_rounded(p, q(f.item), frames_.highlight_radius, c.fill);
    if (f.image && !im.image.isNull()) {
      const QRectF r = q(*f.image);
      const double s = device_scale(p);
      const QImage img = scaled(im.image, (r.size() * s).toSize(), 6 * s);
      draw_image(p, r, img, fmt::format("image:{}", img.cacheKey()));
    } else if (f.placeholder) {
      paint_icon(p, i, q(*f.placeholder));
    }
  }

  if (f.title && f.title->w > 0) {
    const QRectF r = q(*f.title);
    const QString text = qs(look_->appsOnly ? row.app_name : row.title);
    p.setFont(font(frames_.font));
    p.setPen(c.label);
    const Qt::Alignment align = look_->style == Style::AppIcons ? Qt::AlignHCenter : Qt::AlignLeft;
    p.drawText(r, align | Qt::AlignVCenter, elided(text, frames_.font, elide(look_->truncation), r.width()));
  }
  if (f.space) paint_box_label(p, *f.space, c.window_bg, c.separator, c.label, false);

  // The selected app icon swells; its badge, chips and picture grow with it.
  p.save();
  if (selected && look_->style == Style::AppIcons && look_->swell) {  // reduce motion only skips the spring
    const QPointF centre = q(f.icon).center();
    p.translate(centre);
    p.scale(1.15, 1.15);
    p.translate(-centre);
  }
  paint_icon(p, i, q(f.icon));
  for (size_t k = 0; k < f.chips.size(); ++k) {
    if (!f.chips[k]) continue;
    static constexpr std::array<const char*, 3> SYMBOLS{"minus", "eye.slash.fill",
                                                        "arrow.up.left.and.arrow.down.right"};
    const QRectF r = q(*f.chips[k]);
    piece(p, "chip-disc", r, [&](QPainter& sp) {
      sp.setPen(Qt::NoPen);
      sp.setBrush(QColor(0, 0, 0, 158));
      sp.drawEllipse(r);
    });
    p.setPen(QPen(QColor(255, 255, 255, 46), 0.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(r);
    const double sym = f.chip_symbol;
    piece(p, fmt::format("chip-symbol:{}:{}", k, sym), r, [&](QPainter& sp) {
      sp.setPen(Qt::NoPen);
      sp.setBrush(Qt::white);
      sp.drawPath(symbol_path(SYMBOLS[k], QRectF(r.center() - QPointF(sym / 2, sym / 2), QSizeF(sym, sym)),
                              SymbolWeight::Bold));
    });
  }
  if (f.profile && !im.profile.isNull()) {
    const QRectF r = q(*f.profile);
    QPainterPath clip;
    clip.addEllipse(r);
    p.save();
    p.setClipPath(clip);
    p.drawImage(r, im.profile);
    p.restore();
    p.setPen(QPen(Qt::white, f.profile_border));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(r);
  }
  if (f.badge) paint_box_label(p, *f.badge, c.red, QColor(0, 0, 0, 0), Qt::white, false);
  p.restore();
  if (f.hint) {
    // A faint shadow lifts the white hint off a light background.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRoundedRect(q(f.hint->box).translated(0, 1).adjusted(-0.5, -0.5, 0.5, 0.5), f.hint->radius, f.hint->radius);
    paint_box_label(p, *f.hint, Qt::white, Qt::white, QColor(0, 0, 0, 217), true);
  }
}

}  // namespace mirvex
