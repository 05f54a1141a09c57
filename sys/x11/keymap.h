// Key translation between the stored form of keys (the home platform's virtual key codes and
// modifier masks) and X11 (keysyms, keycodes, modifier state). ⌘ is Super (Mod4), ⌥ Alt
// (Mod1), ⌃ Control, ⇧ Shift; Lock and NumLock (Mod2) are ignored for matching.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mirvex::sys::x11 {

// Carbon hot-key modifier bits.
inline constexpr uint32_t CARBON_CMD = 0x100, CARBON_SHIFT = 0x200, CARBON_CAPS = 0x400, CARBON_OPTION = 0x800,
                          CARBON_CONTROL = 0x1000;
// Device-independent event flags.
inline constexpr uint64_t FLAG_CAPS = 0x10000, FLAG_SHIFT = 0x20000, FLAG_CONTROL = 0x40000, FLAG_OPTION = 0x80000,
                          FLAG_COMMAND = 0x100000;
// X modifier bits (core protocol masks).
inline constexpr uint16_t X_SHIFT = 1, X_LOCK = 2, X_CONTROL = 4, X_MOD1 = 8, X_MOD2 = 16, X_MOD4 = 64;

std::optional<uint32_t> keysym_for_vk(uint16_t vk);
// Lower- and upper-case letters give the same key code.
std::optional<uint16_t> vk_for_keysym(uint32_t keysym);
// True for the keys whose press and release change the modifier flags.
bool is_modifier_vk(uint16_t vk);

uint16_t x_mods_for_carbon(uint32_t carbon);
uint64_t flags_for_x_state(uint16_t state);
uint16_t x_state_for_flags(uint64_t flags);
// The text a keysym types (Latin-1 and the Unicode keysym range); empty for function keys.
std::u16string text_for_keysym(uint32_t keysym);

}  // namespace mirvex::sys::x11
