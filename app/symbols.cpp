#include "app/symbols.h"

#include <QPainterPathStroker>
#include <algorithm>

namespace mirvex {
namespace {

// Stroke width in units of the symbol's size.
double stroke_width(SymbolWeight weight) {
  switch (weight) {
    case SymbolWeight::Regular: return 0.085;
    case SymbolWeight::Medium: return 0.11;
    case SymbolWeight::Bold: return 0.14;
  }
  return 0.11;
}

QPainterPath stroked(const QPainterPath& path, double width) {
  QPainterPathStroker s;
  s.setWidth(width);
  s.setCapStyle(Qt::RoundCap);
  s.setJoinStyle(Qt::RoundJoin);
  return s.createStroke(path).simplified();
}

// Symbols drawn in a unit square, y downwards.
QPainterPath unit_symbol(std::string_view name, double w) {
  QPainterPath p;
  if (name == "minus") {
    p.moveTo(0.2, 0.5);
    p.lineTo(0.8, 0.5);
    return stroked(p, w * 1.1);
  }
  if (name == "magnifyingglass") {
    p.addEllipse(QPointF(0.42, 0.42), 0.29, 0.29);
    p.moveTo(0.64, 0.64);
    p.lineTo(0.88, 0.88);
    return stroked(p, w);
  }
  if (name == "arrow.up.left.and.arrow.down.right") {
    for (double s : {1.0, -1.0}) {
      const double c = 0.5, a = 0.34 * s, b = 0.08 * s, head = 0.2 * s;
      p.moveTo(c - a + head, c - a);
      p.lineTo(c - a, c - a);
      p.lineTo(c - a, c - a + head);
      p.moveTo(c - a, c - a);
      p.lineTo(c - b, c - b);
    }
    return stroked(p, w);
  }
  if (name == "eye.slash.fill") {
    QPainterPath eye;
    eye.moveTo(0.02, 0.5);
    eye.cubicTo(0.25, 0.12, 0.75, 0.12, 0.98, 0.5);
    eye.cubicTo(0.75, 0.88, 0.25, 0.88, 0.02, 0.5);
    QPainterPath pupil;
    pupil.addEllipse(QPointF(0.5, 0.5), 0.13, 0.13);
    QPainterPath slash;
    slash.moveTo(0.12, 0.08);
    slash.lineTo(0.88, 0.92);
    // The eye with its pupil cut out, a gap round the slash, and the slash.
    const QPainterPath body = eye.subtracted(pupil).subtracted(stroked(slash, w * 2.2));
    return body.united(stroked(slash, w));
  }
  return p;
}

}  // namespace

QPainterPath symbol_path(std::string_view name, const QRectF& box, SymbolWeight weight) {
  const double side = std::min(box.width(), box.height());
  QTransform t;
  t.translate(box.center().x() - side / 2, box.center().y() - side / 2);
  t.scale(side, side);
  return t.map(unit_symbol(name, stroke_width(weight)));
}

}  // namespace mirvex
