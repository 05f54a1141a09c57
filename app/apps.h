// The running-application observer: the workspace's application notifications as `Event`s,
// and the front process asked afresh at each use.
#pragma once

#include <functional>

#include "core/model.h"
#include "sys/port.h"

namespace mirvex::apps {

using Sink = std::function<void(Event)>;

// Delivers `App` for every running application (background ones included, in the
// workspace's order), then observes launched, terminated, activated, hidden, unhidden and
// active-Space-changed; each notification reaches `sink` on the main thread. Main thread
// only: stops the process with "apps::start must run on the main thread" otherwise.
void start(Sink sink);

// The record of one running application.
RunningApp app(const sys::AppInfo& info);

// The events one workspace notification becomes (the observer's "notify:"): `SpaceChanged`;
// nothing without an application; `App`; `Terminated`; `Hidden`; or `App` then `Activated`.
void notify(const sys::WorkspaceNote& note, const Sink& sink);

// The front process: the window server's answer, else the workspace's, else -1.
Pid frontmost_pid();

}  // namespace mirvex::apps
