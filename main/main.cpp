// The mirvex program: dispatches the command line.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/diagnostics_focus.h"
#include "app/qt_main_queue.h"
#include "app/shots.h"
#include "core/log.h"
#include "sys/port.h"

namespace {

int usage() {
  std::fputs("usage: mirvex --shot-panel <dir> | --focus <wid> [pid]\n", stderr);
  return 2;
}

// Without a display the panel is drawn on Qt's off-screen platform.
void choose_platform() {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
}

// `--focus <wid> [pid]`: focuses one window over the chosen backend and prints the outcome.
int focus_window(int argc, char** argv) {
  int qt_argc = 1;
  QCoreApplication app(qt_argc, argv);
  mirvex::QtMainQueue queue;
  mirvex::sys::Selected selected = mirvex::sys::select_backend(queue, std::getenv("MIRVEX_SIM"));
  if (!selected.backend) {
    std::fprintf(stderr, "%s\n", selected.error.c_str());
    return 1;
  }
  mirvex::sys::install(*selected.backend, queue);
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (auto fatal = mirvex::diagnostics::focus_command(args, std::cout, [](int status) { QCoreApplication::exit(status); })) {
    std::fprintf(stderr, "%s\n", fatal->c_str());
    return 1;
  }
  return app.exec();
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
  if (argc >= 2 && std::string_view(argv[1]) == "--focus") return focus_window(argc, argv);
  return usage();
}
