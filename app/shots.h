// Screenshots of the panel with fixed demonstration data, for documentation and visual
// checks; no real windows are needed. Each file written is reported on standard output.
#pragma once

#include <QString>
#include <vector>

#include "app/panel.h"

class QWidget;

namespace mirvex::shots {

// The eight demonstration rows, with drawn icons and window images.
std::vector<PanelItem> rows();

// Renders `view` and its children into a PNG at `path` (written atomically) and prints
// "wrote <path>" or "FAILED <path>". Returns whether the file was written.
bool png(QWidget* view, const QString& path);

// Writes the off-screen panel images into `dir`: every style, size variant and theme, then
// each style with hints and search text. Returns the number of files that failed.
int panel(const QString& dir);

}  // namespace mirvex::shots
