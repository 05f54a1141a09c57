// Import from AltTab: reads AltTab's preferences domain, converts every setting that has a
// counterpart here into a Plan in our preference keys, and applies a confirmed plan in one
// write. AltTab's own files are never written. Finding AltTab, asking the user and quitting
// AltTab belong to the settings library; this module is the pure part.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/defaults.h"
#include "core/plist.h"
#include "core/settings.h"

namespace mirvex::AltTabImport {

// AltTab's bundle identifier as published, and the same followed by ".free"; the installed one
// is the first the platform knows an application for.
inline constexpr std::array<std::string_view, 2> BUNDLE_IDS = {"com.lwouis.alt-tab-macos",
                                                               "com.lwouis.alt-tab-macos.free"};

// Modifier flags of AltTab's recorded shortcuts (the device-independent modifier mask).
inline constexpr uint64_t COMMAND = 0x100000, OPTION = 0x80000, CONTROL = 0x40000;

// One of AltTab's recorded shortcuts: a virtual key code (-1 when none was stored) and its
// modifier flags.
struct RecordedKeys {
  int64_t code = -1;
  uint64_t flags = 0;
  bool operator==(const RecordedKeys&) const = default;
};

// Decodes the keyed archive of a recorded shortcut: its root object must be of class
// "SRShortcut", "keyCode" and "modifierFlags" numbers or absent. Nothing for any other archive,
// a field of another kind, or a missing root object.
std::optional<RecordedKeys> decode_keys(std::span<const uint8_t> archive);

// A converted switcher shortcut: every field of the slot record except its own look
// (`style`, `size`), which an import leaves as it is.
struct SlotRecord {
  uint8_t hold = 0, key = 0, apps = 0, spaces = 0, screens = 0, minimized = 0, hidden = 0,
          fullscreen = 0, windowless = 0, order = 0;
  bool operator==(const SlotRecord&) const = default;
};

// One converted shortcut as shown to the user: the hold symbol and the key name, and what the
// shortcut lists.
struct PlanLine {
  std::vector<std::string> keys;
  std::string what;
  bool operator==(const PlanLine&) const = default;
};

struct Plan {
  // Top-level settings by our preference key: integers, booleans and text.
  plist::Dict values;
  // Slots 0 to 4: a full record, or nothing (the slot is switched off).
  std::array<std::optional<SlotRecord>, 5> shortcuts;
  std::vector<Exception> exceptions;
  std::vector<PlanLine> lines;
  // AltTab's style in words: "thumbnails", "app icons" or "list"; empty when not recognised.
  std::string look;
};

// Reads AltTab's domain into a plan: its persistent domain (a missing one reads as empty, so
// an installed AltTab that never saved a setting imports its defaults). Nothing when the domain
// cannot be read. Values of the wrong form fall back to their defaults.
std::optional<Plan> read(const Defaults& alttab);
// The same over the stored values themselves.
Plan read(const plist::Dict& domain);

// The keys and values that apply a plan over our current `shortcuts` and `exceptions` values
// (either may be absent): every plan value; `shortcuts` with slot j's plan keys merged into the
// j-th stored shortcut dictionary (every other key kept, dictionaries the plan does not reach
// kept as they are, a missing one appended); `exceptions` with every entry of an imported app
// removed and the imported entry appended. Stored exceptions that are not a list stand for our
// default list, as they do when our settings load.
plist::Dict changes(const Plan& plan, const plist::Value* shortcuts,
                    const plist::Value* exceptions);

// Writes a plan into our preferences: one write, so listeners hear of it once. False when the
// file could not be written (the store logs why; the old settings stay).
bool apply(Defaults& ours, const Plan& plan);

}  // namespace mirvex::AltTabImport
