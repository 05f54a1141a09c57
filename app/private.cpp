#include "app/private.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace mirvex {

namespace {

template <class F>
std::optional<F> find(std::string_view name) {
  return sys::symbol_as<F>(sys::port().symbol(name));
}

// A required function: stored when found, its name recorded when not.
template <class F>
void need(F& slot, std::string_view name, std::vector<std::string>& missing) {
  if (auto f = find<F>(name)) slot = std::move(*f);
  else missing.emplace_back(name);
}

// A group member: `complete` drops to false when it is absent.
template <class F>
void member(F& slot, std::string_view name, bool& complete) {
  if (auto f = find<F>(name)) slot = std::move(*f);
  else complete = false;
}

}  // namespace

// The field name is the platform's symbol name, so each lookup spells it once.
#define MIRVEX_NEED(name) need(t.name, #name, missing)
#define MIRVEX_MEMBER(group, name) member(group.name, #name, complete)

Private resolve_private(std::vector<std::string>& missing) {
  sys::port().open_library(sys::SKYLIGHT);
  sys::port().open_library(sys::APPLICATION_SERVICES);
  Private t;
  MIRVEX_NEED(CGSMainConnectionID);
  MIRVEX_NEED(CGSCopyManagedDisplaySpaces);
  MIRVEX_NEED(CGSManagedDisplayGetCurrentSpace);
  MIRVEX_NEED(CGSCopyWindowsWithOptionsAndTags);
  MIRVEX_NEED(CGSSetSymbolicHotKeyEnabled);
  MIRVEX_NEED(GetProcessForPID);
  MIRVEX_NEED(GetProcessPID);
  MIRVEX_NEED(_SLPSGetFrontProcess);
  MIRVEX_NEED(_SLPSSetFrontProcessWithOptions);
  MIRVEX_NEED(SLPSPostEventRecordTo);
  MIRVEX_NEED(_AXUIElementGetWindow);
  MIRVEX_NEED(_AXUIElementCreateWithRemoteToken);
  MIRVEX_NEED(SLSRegisterConnectionNotifyProc);
  MIRVEX_NEED(SLSRequestNotificationsForWindows);
  MIRVEX_NEED(SLSGetWindowBounds);

  t.SLSRegisterNotifyProc = find<sys::fn::SLSRegisterNotifyProc>("SLSRegisterNotifyProc");
  t.SLSWindowIteratorGetResolvedCornerRadii =
      find<sys::fn::SLSWindowIteratorGetResolvedCornerRadii>("SLSWindowIteratorGetResolvedCornerRadii");

  bool complete = true;
  Private::Query q;
  MIRVEX_MEMBER(q, SLSWindowQueryWindows);
  MIRVEX_MEMBER(q, SLSWindowQueryResultCopyWindows);
  MIRVEX_MEMBER(q, SLSWindowIteratorAdvance);
  MIRVEX_MEMBER(q, SLSWindowIteratorGetTags);
  MIRVEX_MEMBER(q, SLSWindowIteratorGetAttributes);
  MIRVEX_MEMBER(q, SLSWindowIteratorGetParentID);
  if (complete) t.query = std::move(q);

  complete = true;
  Private::Spaces s;
  MIRVEX_MEMBER(s, SLSCopySpacesForWindows);
  MIRVEX_MEMBER(s, SLSMoveWindowsToManagedSpace);
  MIRVEX_MEMBER(s, SLSSetWindowTags);
  if (complete) t.spaces = std::move(s);
  return t;
}

#undef MIRVEX_NEED
#undef MIRVEX_MEMBER

const Private& P() {
  static const Private table = [] {
    std::vector<std::string> missing;
    Private t = resolve_private(missing);
    if (!missing.empty()) sys::stop(fmt::format("missing private symbols: {}", fmt::join(missing, ", ")));
    return t;
  }();
  return table;
}

}  // namespace mirvex
