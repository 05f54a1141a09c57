// Names of stored hotkey chords: the modifier symbols of a modifier mask and the key name of
// a virtual key code, as the hotkey recorder, the importers and the shortcut rows show them.
//
// Codes are the virtual key codes stored in `appHotkeys` (the macOS numbering, which the
// stored preferences keep on every platform); masks are the modifier masks stored with them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mirvex::keys {

// Modifier mask bits; a mask is the sum of the held modifiers.
inline constexpr uint32_t CMD = 256;
inline constexpr uint32_t SHIFT = 512;
inline constexpr uint32_t OPT = 2048;
inline constexpr uint32_t CTRL = 4096;

// The symbols of the modifiers in `mods`, always in the order ⌃ ⌥ ⇧ ⌘. Other bits are ignored.
std::string symbols(uint32_t mods);

// The function-key table (F1..F19) and special-key table (↩ ⇥ ␣ arrows, esc, ⌫ ...).
std::optional<std::string_view> function_key_name(uint32_t code);
std::optional<std::string_view> special_key_name(uint32_t code);
inline bool is_function_key(uint32_t code) { return function_key_name(code).has_value(); }

// What the keyboard layout types for a key with no modifier held, or none when the layout
// gives that key no character. The platform supplies the current layout (on X11 through
// XKB); `us_layout` is a fixed US (ANSI) table for tests and for when no layout is known.
using KeyboardLayout = std::function<std::optional<std::string>(uint32_t code)>;
std::optional<std::string> us_layout(uint32_t code);

// The key name of a stored code: the function-key table, then special keys, else the
// layout's character upper-cased. A key the layout gives no printable character is "?", so a
// label never ends without a key.
std::string key_name(uint32_t code, const KeyboardLayout& layout = us_layout);

// The label shown for a chord: symbols(mods) followed by key_name(code).
std::string label(uint32_t code, uint32_t mods, const KeyboardLayout& layout = us_layout);

}  // namespace mirvex::keys
