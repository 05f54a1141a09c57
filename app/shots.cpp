#include "app/shots.h"

#include <QDir>
#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSaveFile>
#include <QWidget>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

#include "core/settings.h"

namespace mirvex::shots {
namespace {

// A laptop-sized visible frame, so the images do not depend on the screen they are made on.
const Rect SCREEN{0, 0, 1440, 900};
constexpr int ICON_PX = 256;

enum class Demo { Browser, Mail, Notes, Terminal, Calendar, Music, Messages, Settings };

struct DemoRow {
  const char* app_path;
  const char* title;
  Demo kind;
  double aspect;  // of the demonstration window image; 0 for none
};

const std::array<DemoRow, 8> DEMO{{
    {"/Applications/Safari.app", "Apple — Start page", Demo::Browser, 1.6},
    {"/System/Applications/Mail.app", "Inbox — 3 unread messages", Demo::Mail, 1.5},
    {"/System/Applications/Notes.app", "Shopping list", Demo::Notes, 0.8},
    {"/System/Applications/Utilities/Terminal.app",
     "dev@studio:~/src/mirvex$ cmake --build --preset release -j8 && ctest --preset asan --output-on-failure",
     Demo::Terminal, 1.78},
    {"/System/Applications/Calendar.app", "October 2026", Demo::Calendar, 1.45},
    {"/System/Applications/Music.app", "Music", Demo::Music, 0},
    {"/System/Applications/Messages.app", "Messages", Demo::Messages, 1.25},
    {"/System/Applications/System Settings.app", "Keyboard", Demo::Settings, 0.9},
}};

QFont font(double px, QFont::Weight weight, bool mono = false) {
  QFont f = QFontDatabase::systemFont(mono ? QFontDatabase::FixedFont : QFontDatabase::GeneralFont);
  f.setPixelSize(std::max(1, static_cast<int>(px)));
  f.setWeight(weight);
  return f;
}

QLinearGradient vertical(const QRectF& r, QColor top, QColor bottom) {
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  return g;
}

// Our own drawing of each demonstration app's icon.
QImage demo_icon(Demo kind) {
  QImage img(ICON_PX, ICON_PX, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  const double s = ICON_PX;
  const QRectF tile(s * 0.1, s * 0.1, s * 0.8, s * 0.8);  // the margin icons leave round their tile
  const double r = s * 0.18;
  auto plate = [&](QColor top, QColor bottom) {
    p.setBrush(vertical(tile, top, bottom));
    p.drawRoundedRect(tile, r, r);
  };
  const QPointF c = tile.center();
  switch (kind) {
    case Demo::Browser: {
      plate(QColor(250, 250, 252), QColor(222, 224, 230));
      const double d = s * 0.36;
      QRadialGradient g(c, d);
      g.setColorAt(0, QColor(90, 200, 255));
      g.setColorAt(1, QColor(20, 110, 235));
      p.setBrush(g);
      p.drawEllipse(c, d, d);
      p.setPen(QPen(QColor(255, 255, 255, 200), s * 0.008));
      for (int k = 0; k < 24; ++k) {
        const double a = k * M_PI / 12;
        p.drawLine(c + QPointF(std::cos(a), std::sin(a)) * d * 0.82, c + QPointF(std::cos(a), std::sin(a)) * d * 0.94);
      }
      p.setPen(Qt::NoPen);
      const QPointF ne = c + QPointF(d * 0.55, -d * 0.55), sw = c - QPointF(d * 0.55, -d * 0.55);
      const QPointF side = QPointF(d * 0.11, d * 0.11);
      p.setBrush(QColor(255, 59, 48));
      p.drawPolygon(QPolygonF({ne, c + side, c - side}));
      p.setBrush(Qt::white);
      p.drawPolygon(QPolygonF({sw, c + side, c - side}));
      break;
    }
    case Demo::Mail: {
      plate(QColor(90, 175, 255), QColor(20, 100, 230));
      const QRectF env(s * 0.22, s * 0.32, s * 0.56, s * 0.38);
      p.setBrush(Qt::white);
      p.drawRoundedRect(env, s * 0.03, s * 0.03);
      p.setPen(QPen(QColor(30, 110, 230), s * 0.025, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(QPolygonF({env.topLeft() + QPointF(s * 0.03, s * 0.03), QPointF(env.center().x(), env.top() + env.height() * 0.58),
                                env.topRight() + QPointF(-s * 0.03, s * 0.03)}));
      break;
    }
    case Demo::Notes: {
      plate(QColor(255, 255, 255), QColor(242, 242, 238));
      QPainterPath top;
      top.addRoundedRect(tile, r, r);
      p.save();
      p.setClipRect(QRectF(tile.left(), tile.top(), tile.width(), tile.height() * 0.26));
      p.setBrush(vertical(tile, QColor(255, 221, 80), QColor(250, 196, 30)));
      p.drawPath(top);
      p.restore();
      p.setPen(QPen(QColor(200, 200, 200), s * 0.012));
      for (int k = 0; k < 4; ++k) {
        const double y = tile.top() + tile.height() * (0.42 + 0.13 * k);
        p.drawLine(QPointF(tile.left() + s * 0.1, y), QPointF(tile.right() - s * 0.1, y));
      }
      break;
    }
    case Demo::Terminal: {
      plate(QColor(70, 70, 74), QColor(26, 26, 28));
      p.setBrush(QColor(10, 10, 12));
      p.drawRoundedRect(tile.adjusted(s * 0.05, s * 0.1, -s * 0.05, -s * 0.05), s * 0.06, s * 0.06);
      p.setPen(QPen(QColor(235, 235, 235), s * 0.04, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(QPolygonF({QPointF(s * 0.25, s * 0.36), QPointF(s * 0.38, s * 0.46), QPointF(s * 0.25, s * 0.56)}));
      p.drawLine(QPointF(s * 0.44, s * 0.58), QPointF(s * 0.6, s * 0.58));
      break;
    }
    case Demo::Calendar: {
      plate(QColor(255, 255, 255), QColor(240, 240, 242));
      p.setPen(QColor(255, 59, 48));
      p.setFont(font(s * 0.14, QFont::DemiBold));
      p.drawText(QRectF(tile.left(), tile.top() + s * 0.06, tile.width(), s * 0.18), Qt::AlignCenter, "OCT");
      p.setPen(QColor(30, 30, 30));
      p.setFont(font(s * 0.44, QFont::Normal));
      p.drawText(QRectF(tile.left(), tile.top() + s * 0.2, tile.width(), tile.height() * 0.72), Qt::AlignCenter, "17");
      break;
    }
    case Demo::Music: {
      plate(QColor(255, 98, 120), QColor(240, 40, 80));
      p.setBrush(Qt::white);
      const double h = s * 0.075;
      p.drawEllipse(QPointF(s * 0.36, s * 0.68), h * 1.35, h);
      p.drawEllipse(QPointF(s * 0.64, s * 0.62), h * 1.35, h);
      p.drawRect(QRectF(s * 0.44, s * 0.3, s * 0.035, s * 0.38));
      p.drawRect(QRectF(s * 0.72, s * 0.24, s * 0.035, s * 0.38));
      p.drawPolygon(QPolygonF({QPointF(s * 0.44, s * 0.3), QPointF(s * 0.755, s * 0.24), QPointF(s * 0.755, s * 0.32),
                               QPointF(s * 0.44, s * 0.38)}));
      break;
    }
    case Demo::Messages: {
      plate(QColor(110, 240, 120), QColor(20, 190, 60));
      QPainterPath bubble;
      bubble.addEllipse(QRectF(s * 0.2, s * 0.24, s * 0.6, s * 0.46));
      QPainterPath tail;
      tail.moveTo(s * 0.3, s * 0.6);
      tail.quadTo(s * 0.3, s * 0.74, s * 0.2, s * 0.78);
      tail.quadTo(s * 0.38, s * 0.78, s * 0.44, s * 0.66);
      tail.closeSubpath();
      p.setBrush(Qt::white);
      p.drawPath(bubble.united(tail));
      break;
    }
    case Demo::Settings: {
      plate(QColor(160, 160, 166), QColor(96, 96, 102));
      QPainterPath gear;
      gear.addEllipse(c, s * 0.25, s * 0.25);
      for (int k = 0; k < 10; ++k) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-s * 0.045, -s * 0.33, s * 0.09, s * 0.12), s * 0.02, s * 0.02);
        QTransform t;
        t.translate(c.x(), c.y());
        t.rotate(k * 36);
        gear = gear.united(t.map(tooth));
      }
      QPainterPath hole;
      hole.addEllipse(c, s * 0.1, s * 0.1);
      p.setBrush(vertical(tile, QColor(245, 245, 247), QColor(205, 205, 210)));
      p.drawPath(gear.subtracted(hole));
      break;
    }
  }
  return img;
}

// A window image for a demonstration row: a title bar and content in the app's manner.
QImage demo_window(const DemoRow& d) {
  const int h = 420;
  const int w = static_cast<int>(std::lround(h * d.aspect));
  QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
  const bool dark = d.kind == Demo::Terminal;
  img.fill(dark ? QColor(24, 24, 26) : QColor(252, 252, 253));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.fillRect(QRectF(0, 0, w, 34), dark ? QColor(48, 48, 52) : QColor(236, 236, 240));
  p.setPen(dark ? QColor(200, 200, 200) : QColor(90, 90, 96));
  p.setFont(font(14, QFont::Medium));
  p.drawText(QRectF(0, 0, w, 34), Qt::AlignCenter,
             QFontMetricsF(p.font()).elidedText(QString::fromUtf8(d.title), Qt::ElideRight, w - 40));
  p.setPen(Qt::NoPen);
  auto lines = [&](double x, double y, double width, int n, QColor colour) {
    p.setBrush(colour);
    for (int k = 0; k < n; ++k) {
      const double lw = width * (k % 3 == 2 ? 0.6 : 0.92);
      p.drawRoundedRect(QRectF(x, y + k * 22, lw, 9), 4, 4);
    }
  };
  switch (d.kind) {
    case Demo::Browser:
      p.setBrush(vertical(QRectF(0, 34, w, 180), QColor(60, 140, 255), QColor(150, 90, 250)));
      p.drawRect(QRectF(0, 34, w, 180));
      lines(40, 240, w - 80, 7, QColor(210, 210, 216));
      break;
    case Demo::Mail:
      p.fillRect(QRectF(0, 34, w * 0.36, h - 34), QColor(244, 244, 247));
      for (int k = 0; k < 6; ++k) {
        p.setBrush(k < 3 ? QColor(20, 110, 240) : QColor(200, 200, 206));
        p.drawEllipse(QPointF(18, 62 + k * 58), 5, 5);
        lines(32, 54 + k * 58, w * 0.36 - 48, 2, QColor(190, 190, 198));
      }
      lines(w * 0.36 + 30, 70, w * 0.64 - 60, 12, QColor(205, 205, 212));
      break;
    case Demo::Notes:
      p.fillRect(QRectF(0, 34, w, h - 34), QColor(255, 252, 235));
      lines(30, 70, w - 60, 14, QColor(214, 196, 120));
      break;
    case Demo::Terminal:
      lines(20, 56, w * 0.7, 4, QColor(120, 220, 120));
      lines(20, 150, w * 0.9, 9, QColor(170, 170, 176));
      break;
    case Demo::Calendar:
      p.setPen(QPen(QColor(220, 220, 226), 1));
      for (int col = 0; col <= 7; ++col) p.drawLine(QPointF(col * w / 7.0, 70), QPointF(col * w / 7.0, h));
      for (int row = 0; row <= 5; ++row) p.drawLine(QPointF(0, 70 + row * (h - 70) / 5.0), QPointF(w, 70 + row * (h - 70) / 5.0));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(255, 59, 48, 60));
      p.drawRoundedRect(QRectF(w / 7.0 * 2 + 6, 70 + (h - 70) / 5.0 * 2 + 26, w / 7.0 - 12, 16), 4, 4);
      p.setBrush(QColor(20, 110, 240, 60));
      p.drawRoundedRect(QRectF(w / 7.0 * 4 + 6, 70 + (h - 70) / 5.0 + 26, w / 7.0 - 12, 16), 4, 4);
      break;
    case Demo::Messages:
      for (int k = 0; k < 5; ++k) {
        const bool mine = k % 2 == 1;
        p.setBrush(mine ? QColor(20, 120, 255) : QColor(230, 230, 235));
        const double bw = w * (0.35 + 0.08 * (k % 3));
        p.drawRoundedRect(QRectF(mine ? w - bw - 20 : 20, 56 + k * 70, bw, 48), 20, 20);
      }
      break;
    case Demo::Settings:
      p.fillRect(QRectF(0, 34, w * 0.34, h - 34), QColor(240, 240, 243));
      lines(16, 60, w * 0.34 - 32, 12, QColor(196, 196, 204));
      p.setBrush(QColor(255, 255, 255));
      p.drawRoundedRect(QRectF(w * 0.34 + 20, 60, w * 0.66 - 40, 200), 10, 10);
      lines(w * 0.34 + 40, 84, w * 0.66 - 80, 8, QColor(206, 206, 212));
      break;
    case Demo::Music:
      break;
  }
  return img;
}

QImage demo_profile() {
  const int px = 64;
  QImage img(px, px, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(vertical(QRectF(0, 0, px, px), QColor(255, 170, 70), QColor(240, 100, 40)));
  p.drawEllipse(QRectF(0, 0, px, px));
  p.setBrush(QColor(255, 240, 225));
  p.drawEllipse(QPointF(px / 2.0, px * 0.4), px * 0.17, px * 0.17);
  p.drawEllipse(QPointF(px / 2.0, px * 0.95), px * 0.32, px * 0.28);
  return img;
}

QString app_name(const char* path) {
  const QString file = QString::fromUtf8(path).section('/', -1);
  return file.left(file.lastIndexOf(".app"));
}

const char* style_name(Style s) {
  switch (s) {
    case Style::Titles: return "titles";
    case Style::AppIcons: return "appicons";
    case Style::Thumbnails: return "thumbnails";
  }
  return "titles";
}

}  // namespace

std::vector<PanelItem> rows() {
  std::vector<PanelItem> out;
  for (const DemoRow& d : DEMO) {
    PanelItem item;
    const QString name = app_name(d.app_path);
    item.row.title = d.title;
    item.row.app_name = name.toStdString();
    item.row.bundle_id = "com.example." + name.toLower().remove(' ').toStdString();
    item.icon = demo_icon(d.kind);
    if (d.aspect > 0) item.image = demo_window(d);
    switch (d.kind) {
      case Demo::Browser: item.profile = demo_profile(); break;
      case Demo::Mail: item.row.badge = "3"; break;
      case Demo::Notes: item.row.minimized = true; break;
      case Demo::Music: item.row.hidden = true; break;
      case Demo::Messages: item.row.space = 2; break;
      case Demo::Settings: item.row.space = 3; break;
      default: break;
    }
    out.push_back(std::move(item));
  }
  return out;
}

bool png(QWidget* view, const QString& path) {
  constexpr double SCALE = 2;  // the Retina-like density people look at screenshots in
  QImage img(view->size() * SCALE, QImage::Format_ARGB32_Premultiplied);
  if (img.isNull()) return false;
  img.setDevicePixelRatio(SCALE);
  img.fill(Qt::transparent);
  view->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
  QSaveFile file(path);
  const bool ok = file.open(QIODevice::WriteOnly) && img.save(&file, "PNG") && file.commit();
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
  std::fflush(stdout);
  return ok;
}

int panel(const QString& dir) {
  QDir().mkpath(dir);
  const std::vector<PanelItem> demo = rows();
  Panel p;
  p.set_reduce_motion([] { return true; });  // still images: no swell half-way or glide in flight
  const auto screen = std::make_shared<Rect>(SCREEN);
  int failed = 0;
  auto shoot = [&](const Settings& s, const QString& name) {
    p.render(demo, 2, look(s, 0, demo.size(), screen));
    if (!png(p.window(), QDir(dir).filePath(name))) ++failed;
  };
  struct Size { const char* name; uint8_t pct; };
  for (Style style : {Style::Titles, Style::AppIcons, Style::Thumbnails}) {
    for (Size size : {Size{"small", 75}, Size{"medium", 100}, Size{"large", 130}}) {
      for (Theme theme : {Theme::Light, Theme::Dark}) {
        Settings s = Settings::defaults();
        s.style = style;
        // The percentage applies only in the by-percentage size mode; by count the three
        // variants would be the same picture.
        s.size = 1;
        (style == Style::Titles ? s.titlesSizePct : style == Style::AppIcons ? s.appIconsSizePct
                                                                             : s.thumbnailsSizePct) = size.pct;
        s.theme = theme;
        shoot(s, QString("panel-%1-%2-%3.png")
                     .arg(style_name(style), size.name, theme == Theme::Light ? "light" : "dark"));
      }
    }
  }
  for (Style style : {Style::Titles, Style::AppIcons, Style::Thumbnails}) {
    Settings s = Settings::defaults();
    s.style = style;
    s.hints = true;
    p.set_search("ma");
    shoot(s, QString("panel-%1-hints-search.png").arg(style_name(style)));
    p.set_search(std::nullopt);
  }
  return failed;
}

}  // namespace mirvex::shots
