// Opening the X11 backend without pulling X headers into the caller.
#pragma once

#include <memory>
#include <string>

#include "sys/port.h"

namespace mirvex::sys::x11 {

// The backend on `display` (null: $DISPLAY); none with `error` set when it cannot open.
std::unique_ptr<Backend> open(MainQueue& queue, const char* display, std::string& error);

}  // namespace mirvex::sys::x11
