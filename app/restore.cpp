#include "app/restore.h"

#include <csignal>
#include <cstdlib>
#include <exception>

#include "app/hyper.h"
#include "app/private.h"
#include "sys/port.h"

namespace mirvex::input {

namespace {

constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGTRAP};

// Resolved at install time and never freed, so a signal handler only has to call it.
const sys::fn::CGSSetSymbolicHotKeyEnabled* SET_SYMBOLIC = nullptr;
struct sigaction PREVIOUS[NSIG];
std::terminate_handler PREVIOUS_TERMINATE = nullptr;
bool INSTALLED = false;
bool RESTORED = false;

// Async-signal-safe as long as the platform function is.
void enable_system_switcher() {
  if (const sys::fn::CGSSetSymbolicHotKeyEnabled* set = SET_SYMBOLIC) {
    (*set)(1, true);
    (*set)(2, true);
  }
}

void on_exit() { restore(); }

void on_terminate() {
  enable_system_switcher();
  if (PREVIOUS_TERMINATE) PREVIOUS_TERMINATE();
  std::abort();
}

}  // namespace

void install_restore_guards() {
  if (INSTALLED) return;
  INSTALLED = true;
  SET_SYMBOLIC = new sys::fn::CGSSetSymbolicHotKeyEnabled(P().CGSSetSymbolicHotKeyEnabled);
  std::atexit(on_exit);
  for (const int sig : SIGNALS) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    // A process started under nohup (say) must keep ignoring its hang-up.
    if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN) continue;
    PREVIOUS[sig] = old;
    struct sigaction guard {};
    guard.sa_handler = on_signal;
    sigemptyset(&guard.sa_mask);
    ::sigaction(sig, &guard, nullptr);
  }
  sys::set_stop_hook(enable_system_switcher);
  PREVIOUS_TERMINATE = std::set_terminate(on_terminate);
}

void restore() {
  if (RESTORED) return;
  RESTORED = true;
  enable_system_switcher();
  if (hyper::mapped_on()) hyper::map(0);
}

void on_signal(int sig) {
  enable_system_switcher();
  ::sigaction(sig, &PREVIOUS[sig], nullptr);
  ::raise(sig);  // delivered when this handler returns, with the previous disposition
}

}  // namespace mirvex::input
