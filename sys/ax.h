// Accessibility vocabulary of the port: error codes, results, observers, and the attribute,
// action and notification names the application uses. Elements are sys::AxElement values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>

#include "sys/main_queue.h"
#include "sys/value.h"

namespace mirvex::sys {

// The platform's accessibility error codes (0 is success).
namespace ax_error {
inline constexpr int32_t SUCCESS = 0;
inline constexpr int32_t FAILURE = -25200;
inline constexpr int32_t ILLEGAL_ARGUMENT = -25201;
inline constexpr int32_t INVALID_ELEMENT = -25202;
inline constexpr int32_t INVALID_OBSERVER = -25203;
inline constexpr int32_t CANNOT_COMPLETE = -25204;  // the application did not answer in time
inline constexpr int32_t ATTRIBUTE_UNSUPPORTED = -25205;
inline constexpr int32_t ACTION_UNSUPPORTED = -25206;
inline constexpr int32_t NOTIFICATION_UNSUPPORTED = -25207;
inline constexpr int32_t NOT_IMPLEMENTED = -25208;
inline constexpr int32_t ALREADY_REGISTERED = -25209;
inline constexpr int32_t NOT_REGISTERED = -25210;
inline constexpr int32_t API_DISABLED = -25211;
inline constexpr int32_t NO_VALUE = -25212;
}  // namespace ax_error

// A value or a non-zero error code, as every accessibility call answers.
template <class T>
class AxResult {
 public:
  AxResult(T value) : v_(std::move(value)) {}
  static AxResult fail(int32_t code) { return AxResult(code, 0); }

  bool ok() const { return v_.index() == 0; }
  const T& value() const { return std::get<0>(v_); }
  int32_t error() const { return ok() ? ax_error::SUCCESS : std::get<1>(v_); }

 private:
  AxResult(int32_t code, int) : v_(std::in_place_index<1>, code) {}
  std::variant<T, int32_t> v_;
};

// One accessibility observer of one process. Callbacks run wherever the observer is
// scheduled (ax_observer_schedule): the platform runs them on the run loop its source was
// added to; the port lets the caller say how to get onto that thread.
using AxObserverId = uint64_t;
using AxCallback =
    std::function<void(const AxElement& element, const std::string& notification, int64_t context)>;
// Hands a callback invocation to the thread that must run it.
using Dispatch = std::function<void(Task task)>;

// Attribute, action and notification names used by the application.
namespace ax {
inline constexpr const char* WINDOWS = "AXWindows";
inline constexpr const char* TITLE = "AXTitle";
inline constexpr const char* ROLE = "AXRole";
inline constexpr const char* SUBROLE = "AXSubrole";
inline constexpr const char* MINIMIZED = "AXMinimized";
inline constexpr const char* FULLSCREEN = "AXFullScreen";
inline constexpr const char* MAIN = "AXMain";
inline constexpr const char* FOCUSED_WINDOW = "AXFocusedWindow";
inline constexpr const char* CLOSE_BUTTON = "AXCloseButton";
inline constexpr const char* CHILDREN = "AXChildren";
inline constexpr const char* STATUS_LABEL = "AXStatusLabel";
inline constexpr const char* RAISE = "AXRaise";
inline constexpr const char* PRESS = "AXPress";
inline constexpr const char* WINDOW_ROLE = "AXWindow";
inline constexpr const char* STANDARD_WINDOW = "AXStandardWindow";
inline constexpr const char* DIALOG = "AXDialog";
inline constexpr const char* CLOSE_BUTTON_SUBROLE = "AXCloseButton";
inline constexpr const char* MINIMIZE_BUTTON_SUBROLE = "AXMinimizeButton";
inline constexpr const char* DOCK_ITEM = "AXApplicationDockItem";
// Notifications.
inline constexpr const char* FOCUSED_WINDOW_CHANGED = "AXFocusedWindowChanged";
inline constexpr const char* MAIN_WINDOW_CHANGED = "AXMainWindowChanged";
inline constexpr const char* WINDOW_CREATED = "AXWindowCreated";
inline constexpr const char* ELEMENT_DESTROYED = "AXUIElementDestroyed";
inline constexpr const char* TITLE_CHANGED = "AXTitleChanged";
inline constexpr const char* WINDOW_MINIATURIZED = "AXWindowMiniaturized";
inline constexpr const char* WINDOW_DEMINIATURIZED = "AXWindowDeminiaturized";
inline constexpr const char* WINDOW_RESIZED = "AXWindowResized";
inline constexpr const char* EXPOSE_ALL = "AXExposeShowAllWindows";
inline constexpr const char* EXPOSE_FRONT = "AXExposeShowFrontWindows";
inline constexpr const char* EXPOSE_DESKTOP = "AXExposeShowDesktop";
inline constexpr const char* EXPOSE_EXIT = "AXExposeExit";
}  // namespace ax

}  // namespace mirvex::sys
