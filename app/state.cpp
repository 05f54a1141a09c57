#include "app/state.h"

namespace mirvex {

namespace {

// Thread-local, so another thread finds the slot empty and stops instead of racing.
thread_local std::unique_ptr<State> STATE;
thread_local bool IN_USE = false;

}  // namespace

void install_state(std::unique_ptr<State> state) {
  if (!sys::main_queue().is_main_thread()) sys::stop("the state must be installed on the main thread");
  if (IN_USE) sys::stop("the state was replaced while a handler held it");
  STATE = std::move(state);
}

std::unique_ptr<State> take_state() {
  if (IN_USE) sys::stop("the state was taken while a handler held it");
  return std::move(STATE);
}

bool has_state() { return STATE != nullptr; }

void with_state(const std::function<void(State&)>& handler) {
  if (!STATE) sys::stop("state slot is empty (not the main thread, or shutting down)");
  if (IN_USE) sys::stop("re-entrant access to the state");
  struct Release {
    ~Release() { IN_USE = false; }
  } release;
  IN_USE = true;
  handler(*STATE);
}

}  // namespace mirvex
