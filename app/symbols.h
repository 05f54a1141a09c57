// The panel's symbols, drawn as our own vector paths. Names follow the system symbol names
// the panel asks for ("magnifyingglass", "minus", "eye.slash.fill",
// "arrow.up.left.and.arrow.down.right"); an unknown name gives an empty path.
#pragma once

#include <QPainterPath>
#include <QRectF>
#include <string_view>

namespace mirvex {

enum class SymbolWeight { Regular, Medium, Bold };

// A path to fill, drawn to fit `box` (centred, square).
QPainterPath symbol_path(std::string_view name, const QRectF& box, SymbolWeight weight);

}  // namespace mirvex
