// The private window-server and system functions, as the port hands them out by name.
// `Backend::symbol(name)` answers a std::any holding the std::function type declared here for
// that name, or an empty std::any when the platform lacks it; `symbol_as<F>` checks the type,
// so a backend that offers a function under the wrong signature counts as missing.
#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sys/value.h"

namespace mirvex::sys {

using Cid = int32_t;  // window-server connection

// Process serial number.
struct Psn {
  uint32_t high = 0, low = 0;
  bool operator==(const Psn&) const = default;
};

// One window-query iteration (opaque to callers; a backend reads the fields it set).
struct WindowQuery {
  std::vector<Wid> wids;
};
struct WindowIterator {
  std::vector<Wid> wids;
  size_t next = 0;  // index of the window after the current one; 0 = before the first
};

// A window-server notification: event number and its raw payload (layouts as the platform
// gives them: per-window events start with the 32-bit wid, system window events carry it at
// byte 8). Delivered on the main queue.
using NotifyProc = std::function<void(uint32_t event, std::span<const uint8_t> data)>;

// The event record posted to a process to make a window key.
using EventRecord = std::array<uint8_t, 248>;
// The remote token from which an accessibility element can be made.
using RemoteToken = std::array<uint8_t, 20>;

namespace fn {
// Return codes follow the platform: 0 is success for every int32_t result.
using CGSMainConnectionID = std::function<Cid()>;
// Displays: [{"Display Identifier": text, "Spaces": [{"id64": n, "type": n}, ...]}, ...].
using CGSCopyManagedDisplaySpaces = std::function<std::optional<Value>(Cid)>;
using CGSManagedDisplayGetCurrentSpace = std::function<SpaceId(Cid, const std::string& display)>;
// (cid, owner, [Space], options, set tags, clear tags) -> array of window numbers, or none.
using CGSCopyWindowsWithOptionsAndTags = std::function<std::optional<Value>(
    Cid, uint32_t owner, const Value& spaces, uint32_t options, uint64_t& set_tags, uint64_t& clear_tags)>;
using CGSSetSymbolicHotKeyEnabled = std::function<int32_t(int32_t hotkey, bool enabled)>;
using GetProcessForPID = std::function<int32_t(Pid, Psn&)>;
using GetProcessPID = std::function<int32_t(const Psn&, Pid&)>;
using _SLPSGetFrontProcess = std::function<int32_t(Psn&)>;
using _SLPSSetFrontProcessWithOptions = std::function<int32_t(const Psn&, Wid, uint32_t options)>;
using SLPSPostEventRecordTo = std::function<int32_t(const Psn&, const EventRecord&)>;
using _AXUIElementGetWindow = std::function<int32_t(const AxElement&, Wid&)>;
using _AXUIElementCreateWithRemoteToken = std::function<std::optional<AxElement>(const RemoteToken&)>;
using SLSRegisterConnectionNotifyProc = std::function<int32_t(Cid, NotifyProc, uint32_t event)>;
using SLSRegisterNotifyProc = std::function<int32_t(NotifyProc, uint32_t event)>;
using SLSRequestNotificationsForWindows = std::function<int32_t(Cid, const std::vector<Wid>&)>;
using SLSGetWindowBounds = std::function<int32_t(Cid, Wid, Rect&)>;
// Window-query group.
using SLSWindowQueryWindows = std::function<std::optional<WindowQuery>(Cid, const Value& wids, int32_t count)>;
using SLSWindowQueryResultCopyWindows = std::function<std::optional<WindowIterator>(const WindowQuery&)>;
using SLSWindowIteratorAdvance = std::function<bool(WindowIterator&)>;
using SLSWindowIteratorGetTags = std::function<uint64_t(const WindowIterator&)>;
using SLSWindowIteratorGetAttributes = std::function<uint32_t(const WindowIterator&)>;
using SLSWindowIteratorGetParentID = std::function<Wid(const WindowIterator&)>;
using SLSWindowIteratorGetResolvedCornerRadii = std::function<std::optional<Value>(const WindowIterator&)>;
// Space group.
using SLSCopySpacesForWindows = std::function<std::optional<Value>(Cid, uint32_t mask, const Value& wids)>;
using SLSMoveWindowsToManagedSpace = std::function<void(Cid, const Value& wids, SpaceId)>;
using SLSSetWindowTags = std::function<int32_t(Cid, Wid, uint64_t tags, int32_t bits)>;
// Loaded where used.
using SACLockScreenImmediate = std::function<int32_t()>;
using CoreDockSendNotification = std::function<int32_t(const std::string& name, int32_t arg)>;
}  // namespace fn

// The libraries the private functions come from.
inline constexpr std::string_view SKYLIGHT = "/System/Library/PrivateFrameworks/SkyLight.framework/SkyLight";
inline constexpr std::string_view APPLICATION_SERVICES =
    "/System/Library/Frameworks/ApplicationServices.framework/ApplicationServices";
inline constexpr std::string_view LOGIN = "/System/Library/PrivateFrameworks/login.framework/Versions/Current/login";

template <class F>
std::optional<F> symbol_as(const std::any& found) {
  if (const F* f = std::any_cast<F>(&found); f && *f) return *f;
  return std::nullopt;
}

}  // namespace mirvex::sys
