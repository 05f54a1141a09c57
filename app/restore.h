// The restore guards: whatever way the process ends, the system's own ⌘Tab and ⌘⇧Tab come
// back on, and on a normal exit the hyper key's mapping is removed too. Part of the input
// layer (app/input.h), which switches the system ⌘Tab off while a trigger owns it.
#pragma once

namespace mirvex::input {

// Once, at start-up, on the main thread, after the system port is installed (the backend
// must outlive the process's exit handlers): `restore` at normal exit; `on_signal` for
// SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGILL and SIGTRAP (a signal
// the process was started ignoring stays ignored); and the fatal-error paths (`sys::stop`'s
// hook, the terminate handler) re-enable the system switcher before they go on.
void install_restore_guards();

// Enables symbolic hot keys 1 and 2 and removes the hyper mapping when one was made. Runs its
// work once, however often it is called.
void restore();

// Async-signal-safe: enables symbolic hot keys 1 and 2 through the function resolved at
// install time, puts back the signal's previous disposition (the default action, unless
// something was installed before the guards) and raises the signal again.
void on_signal(int sig);

}  // namespace mirvex::input
