#include "sys/x11/keymap.h"

#include <utility>

namespace mirvex::sys::x11 {

namespace {

// (virtual key code, keysym); letters are listed with their lower-case keysym.
constexpr std::pair<uint16_t, uint32_t> TABLE[] = {
    {0x00, 'a'},    {0x01, 's'},    {0x02, 'd'},    {0x03, 'f'},    {0x04, 'h'},    {0x05, 'g'},    {0x06, 'z'},
    {0x07, 'x'},    {0x08, 'c'},    {0x09, 'v'},    {0x0B, 'b'},    {0x0C, 'q'},    {0x0D, 'w'},    {0x0E, 'e'},
    {0x0F, 'r'},    {0x10, 'y'},    {0x11, 't'},    {0x12, '1'},    {0x13, '2'},    {0x14, '3'},    {0x15, '4'},
    {0x16, '6'},    {0x17, '5'},    {0x18, '='},    {0x19, '9'},    {0x1A, '7'},    {0x1B, '-'},    {0x1C, '8'},
    {0x1D, '0'},    {0x1E, ']'},    {0x1F, 'o'},    {0x20, 'u'},    {0x21, '['},    {0x22, 'i'},    {0x23, 'p'},
    {0x24, 0xff0d}, {0x25, 'l'},    {0x26, 'j'},    {0x27, '\''},   {0x28, 'k'},    {0x29, ';'},    {0x2A, '\\'},
    {0x2B, ','},    {0x2C, '/'},    {0x2D, 'n'},    {0x2E, 'm'},    {0x2F, '.'},    {0x30, 0xff09}, {0x31, ' '},
    {0x32, '`'},    {0x33, 0xff08}, {0x35, 0xff1b}, {0x36, 0xffec}, {0x37, 0xffeb}, {0x38, 0xffe1}, {0x39, 0xffe5},
    {0x3A, 0xffe9}, {0x3B, 0xffe3}, {0x3C, 0xffe2}, {0x3D, 0xffea}, {0x3E, 0xffe4}, {0x40, 0xffce}, {0x41, 0xffae},
    {0x43, 0xffaa}, {0x45, 0xffab}, {0x47, 0xff7f}, {0x4B, 0xffaf}, {0x4C, 0xff8d}, {0x4E, 0xffad}, {0x4F, 0xffcf},
    {0x50, 0xffd0}, {0x51, 0xffbd}, {0x52, 0xffb0}, {0x53, 0xffb1}, {0x54, 0xffb2}, {0x55, 0xffb3}, {0x56, 0xffb4},
    {0x57, 0xffb5}, {0x58, 0xffb6}, {0x59, 0xffb7}, {0x5A, 0xffd1}, {0x5B, 0xffb8}, {0x5C, 0xffb9}, {0x60, 0xffc2},
    {0x61, 0xffc3}, {0x62, 0xffc4}, {0x63, 0xffc0}, {0x64, 0xffc5}, {0x65, 0xffc6}, {0x67, 0xffc8}, {0x69, 0xffca},
    {0x6A, 0xffcd}, {0x6B, 0xffcb}, {0x6D, 0xffc7}, {0x6F, 0xffc9}, {0x71, 0xffcc}, {0x72, 0xff63}, {0x73, 0xff50},
    {0x74, 0xff55}, {0x75, 0xffff}, {0x76, 0xffc1}, {0x77, 0xff57}, {0x78, 0xffbf}, {0x79, 0xff56}, {0x7A, 0xffbe},
    {0x7B, 0xff51}, {0x7C, 0xff53}, {0x7D, 0xff54}, {0x7E, 0xff52}, {0x36, 0xffe8}, {0x3D, 0xffe7},
};
// The last two rows let Meta keysyms (some layouts put them on the Super/Alt keys) read as
// the keys they sit on; keysym_for_vk finds the first row, so they never become grab targets.

}  // namespace

std::optional<uint32_t> keysym_for_vk(uint16_t vk) {
  for (const auto& [v, sym] : TABLE)
    if (v == vk) return sym;
  return std::nullopt;
}

std::optional<uint16_t> vk_for_keysym(uint32_t keysym) {
  if (keysym >= 'A' && keysym <= 'Z') keysym += 'a' - 'A';
  for (const auto& [v, sym] : TABLE)
    if (sym == keysym) return v;
  return std::nullopt;
}

bool is_modifier_vk(uint16_t vk) { return vk >= 0x36 && vk <= 0x3F; }

uint16_t x_mods_for_carbon(uint32_t m) {
  uint16_t x = 0;
  if (m & CARBON_CMD) x |= X_MOD4;
  if (m & CARBON_SHIFT) x |= X_SHIFT;
  if (m & CARBON_OPTION) x |= X_MOD1;
  if (m & CARBON_CONTROL) x |= X_CONTROL;
  if (m & CARBON_CAPS) x |= X_LOCK;
  return x;
}

namespace {
// X modifier bit ↔ event flag.
constexpr std::pair<uint16_t, uint64_t> MODIFIERS[] = {
    {X_SHIFT, FLAG_SHIFT}, {X_LOCK, FLAG_CAPS}, {X_CONTROL, FLAG_CONTROL}, {X_MOD1, FLAG_OPTION}, {X_MOD4, FLAG_COMMAND}};
}  // namespace

uint64_t flags_for_x_state(uint16_t s) {
  uint64_t f = 0;
  for (const auto& [bit, flag] : MODIFIERS)
    if (s & bit) f |= flag;
  return f;
}

uint16_t x_state_for_flags(uint64_t f) {
  uint16_t s = 0;
  for (const auto& [bit, flag] : MODIFIERS)
    if (f & flag) s |= bit;
  return s;
}

std::u16string text_for_keysym(uint32_t sym) {
  if ((sym >= 0x20 && sym <= 0x7e) || (sym >= 0xa0 && sym <= 0xff)) return std::u16string(1, static_cast<char16_t>(sym));
  if (sym >= 0x01000100 && sym <= 0x0100ffff) return std::u16string(1, static_cast<char16_t>(sym - 0x01000000));
  switch (sym) {
    case 0xff0d: case 0xff8d: return u"\r";
    case 0xff09: return u"\t";
    case 0xff08: return u"\b";
    case 0xff1b: return u"\x1b";
    default: return {};
  }
}

}  // namespace mirvex::sys::x11
