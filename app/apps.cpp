#include "app/apps.h"

#include <string_view>

#include "app/private.h"

namespace mirvex::apps {

void start(Sink sink) {
  if (!sys::main_queue().is_main_thread()) sys::stop("apps::start must run on the main thread");
  for (const sys::AppInfo& info : sys::port().running_apps()) sink(ev::App{app(info)});
  // The observer lives as long as the process: there is no stop.
  for (const char* name : {sys::note::LAUNCHED, sys::note::TERMINATED, sys::note::ACTIVATED, sys::note::HIDDEN,
                           sys::note::UNHIDDEN, sys::note::SPACE_CHANGED})
    sys::port().workspace_observe(name, [sink](const sys::WorkspaceNote& n) { notify(n, sink); });
}

RunningApp app(const sys::AppInfo& info) {
  return RunningApp{info.name.value_or(""), info.bundle_id, info.pid, info.policy == sys::Policy::Regular,
                    info.hidden};
}

void notify(const sys::WorkspaceNote& note, const Sink& sink) {
  const std::string_view name = note.name;
  if (name == sys::note::SPACE_CHANGED) {
    sink(ev::SpaceChanged{});
    return;
  }
  if (!note.app) return;
  const Pid pid = note.app->pid;
  if (name == sys::note::LAUNCHED) {
    sink(ev::App{app(*note.app)});
  } else if (name == sys::note::TERMINATED) {
    sink(ev::Terminated{pid});
  } else if (name == sys::note::HIDDEN) {
    sink(ev::Hidden{pid, true});
  } else if (name == sys::note::UNHIDDEN) {
    sink(ev::Hidden{pid, false});
  } else {
    // Activated: refresh (or add) the record of the application coming to the front first.
    sink(ev::App{app(*note.app)});
    sink(ev::Activated{pid});
  }
}

Pid frontmost_pid() {
  const Private& p = P();
  sys::Psn psn{};
  if (p._SLPSGetFrontProcess(psn) == 0) {
    Pid pid = 0;
    if (p.GetProcessPID(psn, pid) == 0) return pid;
  }
  return sys::port().workspace_frontmost().value_or(-1);
}

}  // namespace mirvex::apps
