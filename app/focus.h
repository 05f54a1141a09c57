// Window focusing: brings a window, or an application without a particular window, to the
// front with keyboard focus and confirms it. All blocking work runs on one focusing thread,
// which holds at most one waiting request; a newer request replaces a waiting one, and a
// request in progress gives up at its next currency check. Every request ends with exactly
// one report to the main queue; only the newest request's completion is ever called.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/entry_list.h"
#include "sys/port.h"

namespace mirvex::focus {

// Called on the main thread with whether the target ended up focused.
using Completion = std::function<void(bool ok)>;

// Main thread only. Starts the focusing thread on first use, takes the next generation,
// keeps `done` as the only completion (an older one is dropped uncalled) and hands the
// target to the thread, replacing any request it has not started yet.
void focus(const Entry& target, Completion done);

// Where the focusing thread looks first for a window's accessibility element (the
// accessibility worker's cache); without it, or when it knows nothing, the application's
// "AXWindows" are searched. Set once at start-up, before the first `focus`.
using ElementLookup = std::function<std::optional<sys::AxElement>(Wid)>;
void set_element_lookup(ElementLookup lookup);

// The generation of the newest request; a request is current while its number equals it.
uint64_t generation();

// --- The steps, usable on their own from a non-main thread.

// Makes the application the front process: the window server's front-process call first,
// then the application's own activation; each polled every 5 ms for up to 50 ms.
bool activate(Pid pid);

// "AXRaise" on the window element: the accessibility result code.
int32_t raise(const sys::AxElement& window);

// Whether the process `psn` is in front and its focused window is `wid`, polled every 5 ms
// while request `gen` is current and until `limit`. A cannot-complete answer sets `hung`,
// which ends the polling after the pass that saw it.
bool verify(uint64_t gen, const sys::Psn& psn, const sys::AxElement& app, Wid wid,
            std::chrono::milliseconds limit, bool& hung);

// The element among the application's "AXWindows" whose window number is `wid`; none when
// it is not listed; the error code when the application answered one.
sys::AxResult<std::optional<sys::AxElement>> find_window(const sys::AxElement& app, Wid wid);

// One of the two event records that make `wid` the key window (`which` is 1 or 2).
sys::EventRecord event_record(Wid wid, uint8_t which);

}  // namespace mirvex::focus
