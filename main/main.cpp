// The mirvex program: dispatches the command line.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/shots.h"
#include "core/log.h"

namespace {

int usage() {
  std::fputs("usage: mirvex --shot-panel <dir>\n", stderr);
  return 2;
}

// Without a display the panel is drawn on Qt's off-screen platform.
void choose_platform() {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  mirvex::log::init_from_env();
  if (argc == 3 && std::string_view(argv[1]) == "--shot-panel") {
    choose_platform();
    int qt_argc = 1;
    QApplication app(qt_argc, argv);
    return mirvex::shots::panel(QString::fromLocal8Bit(argv[2])) == 0 ? 0 : 1;
  }
  return usage();
}
