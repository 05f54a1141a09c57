// The private window-server and system functions, resolved by name through the system port
// into one process-wide table `P` on first use. The fifteen required functions are always
// present once `P()` returns (a missing one stops the process); a group is present only when
// every member resolved; the optional ones may be absent and their features are skipped.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys/port.h"
#include "sys/symbols.h"

namespace mirvex {

struct Private {
  // Required.
  sys::fn::CGSMainConnectionID CGSMainConnectionID;
  sys::fn::CGSCopyManagedDisplaySpaces CGSCopyManagedDisplaySpaces;
  sys::fn::CGSManagedDisplayGetCurrentSpace CGSManagedDisplayGetCurrentSpace;
  sys::fn::CGSCopyWindowsWithOptionsAndTags CGSCopyWindowsWithOptionsAndTags;
  sys::fn::CGSSetSymbolicHotKeyEnabled CGSSetSymbolicHotKeyEnabled;
  sys::fn::GetProcessForPID GetProcessForPID;
  sys::fn::GetProcessPID GetProcessPID;
  sys::fn::_SLPSGetFrontProcess _SLPSGetFrontProcess;
  sys::fn::_SLPSSetFrontProcessWithOptions _SLPSSetFrontProcessWithOptions;
  sys::fn::SLPSPostEventRecordTo SLPSPostEventRecordTo;
  sys::fn::_AXUIElementGetWindow _AXUIElementGetWindow;
  sys::fn::_AXUIElementCreateWithRemoteToken _AXUIElementCreateWithRemoteToken;
  sys::fn::SLSRegisterConnectionNotifyProc SLSRegisterConnectionNotifyProc;
  sys::fn::SLSRequestNotificationsForWindows SLSRequestNotificationsForWindows;
  sys::fn::SLSGetWindowBounds SLSGetWindowBounds;

  // Optional.
  std::optional<sys::fn::SLSRegisterNotifyProc> SLSRegisterNotifyProc;
  std::optional<sys::fn::SLSWindowIteratorGetResolvedCornerRadii> SLSWindowIteratorGetResolvedCornerRadii;

  // Groups: all members or nothing.
  struct Query {
    sys::fn::SLSWindowQueryWindows SLSWindowQueryWindows;
    sys::fn::SLSWindowQueryResultCopyWindows SLSWindowQueryResultCopyWindows;
    sys::fn::SLSWindowIteratorAdvance SLSWindowIteratorAdvance;
    sys::fn::SLSWindowIteratorGetTags SLSWindowIteratorGetTags;
    sys::fn::SLSWindowIteratorGetAttributes SLSWindowIteratorGetAttributes;
    sys::fn::SLSWindowIteratorGetParentID SLSWindowIteratorGetParentID;
  };
  std::optional<Query> query;
  struct Spaces {
    sys::fn::SLSCopySpacesForWindows SLSCopySpacesForWindows;
    sys::fn::SLSMoveWindowsToManagedSpace SLSMoveWindowsToManagedSpace;
    sys::fn::SLSSetWindowTags SLSSetWindowTags;
  };
  std::optional<Spaces> spaces;
};

// The table, resolved once (thread-safe) on first use. Stops the process with
// "missing private symbols: " and the missing required names joined by ", ".
const Private& P();

// Resolves every name now, without stopping: the required names that are absent are appended
// to `missing`, in table order (their members stay empty).
Private resolve_private(std::vector<std::string>& missing);

// A function loaded where it is used (from `library`, or the global namespace when empty).
template <class F>
std::optional<F> load_symbol(std::string_view library, std::string_view name) {
  if (!library.empty()) sys::port().open_library(library);
  return sys::symbol_as<F>(sys::port().symbol(name));
}

}  // namespace mirvex
