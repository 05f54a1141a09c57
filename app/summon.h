// The shell around the switcher: every Input passes through `on_input`, which opens a summon
// (front application, its true front window, the panel's screen), runs the Switcher with the
// entry builder, and carries out the Effects on the panel, the focusing thread and the input
// layer. A summon runs synchronously from the input to the end of its Show: one snapshot, the
// entry list, the rows and the look; nothing on that path waits for another application.
#pragma once

#include <chrono>
#include <vector>

#include "app/panel.h"
#include "app/state.h"
#include "core/switcher.h"

namespace mirvex {

// Main thread: stamps `input` with the current instant and handles it.
void on_input(const Input& input);
// The same on a State already held (the caller's `with_state`); `arrived` is the input's instant.
void on_input(State& state, const Input& input, Instant arrived);

// The builder for shortcut slots: a snapshot, the visible and user Spaces, then `list` for
// shortcut `slot` with this process's pid; each entry paired with its application's name
// (empty when the model does not know it).
std::vector<Item> entries(State& state, size_t slot, Pid front_pid, std::optional<Rect> screen);

// The panel's rows for entries: app names, bundle identifiers and icons from the model,
// Dock badges by application name, status flags and Space numbers.
std::vector<PanelItem> panel_rows(State& state, const std::vector<Entry>& entries);

}  // namespace mirvex
