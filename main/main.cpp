// The mirvex program: reads MIRVEX_STDERR, dispatches the first argument, and otherwise
// starts the application on the chosen backend (MIRVEX_SIM=<scenario> for the simulated
// desktop).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/app.h"
#include "app/cli.h"
#include "app/diagnostics.h"
#include "app/diagnostics_focus.h"
#include "app/qt_main_queue.h"
#include "app/shots.h"
#include "core/log.h"
#include "sys/port.h"

namespace {

using namespace mirvex;

// The Qt application; without a display Qt draws on its off-screen platform.
struct QtApp {
  int argc = 1;
  char* argv[2] = {nullptr, nullptr};  // Qt keeps both for its lifetime
  std::unique_ptr<QApplication> app;

  explicit QtApp(char* program) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
    argv[0] = program;  // only the program name: Qt must not consume our arguments
    app = std::make_unique<QApplication>(argc, argv);
  }
};

// The main queue and the backend, installed as the system port.
struct Platform {
  std::unique_ptr<QtMainQueue> queue;
  std::unique_ptr<sys::Backend> backend;

  // False (after printing why) when no backend is available.
  bool open() {
    queue = std::make_unique<QtMainQueue>();
    sys::Selected selected = sys::select_backend(*queue, std::getenv("MIRVEX_SIM"));
    if (!selected.backend) {
      std::fprintf(stderr, "mirvex: %s\n", selected.error.c_str());
      return false;
    }
    backend = std::move(selected.backend);
    sys::install(*backend, *queue);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  log::init_from_env();
  const cli::Command command = cli::parse(argc, argv);
  QtApp qt(argv[0]);
  if (command.kind == cli::Kind::ShotPanel) {  // fixed demonstration data: no backend needed
    const std::string dir = cli::shot_dir(command.operand());
    return shots::panel(QString::fromStdString(dir)) == 0 ? 0 : 1;
  }
  // Never destroyed: threads the application started (accessibility workers, badge readers,
  // the focusing thread) may still be using the port while the process exits.
  static Platform* const platform = new Platform;
  if (!platform->open()) return 1;
  switch (command.kind) {
    case cli::Kind::Restore:
      restore_system_switcher();
      return 0;
    case cli::Kind::ScreenAccess:
      return sys::port().capture_preflight() ? 0 : 1;
    case cli::Kind::Focus: {
      const std::vector<std::string> words(command.args.begin() + 1, command.args.end());
      if (auto fatal = diagnostics::focus_command(words, std::cout, [](int status) { QCoreApplication::exit(status); })) {
        std::fprintf(stderr, "%s\n", fatal->c_str());
        return 1;
      }
      return QCoreApplication::exec();
    }
    case cli::Kind::Dump:
      if (auto fatal = diagnostics::dump(std::cout)) {
        std::fprintf(stderr, "%s\n", fatal->c_str());
        return 1;
      }
      return 0;
    case cli::Kind::Bench:
      return run(true, command.args);
    case cli::Kind::Run:
    case cli::Kind::ShotPanel:
      break;
  }
  return run(false, command.args);
}
