// The stored form of keys: the home platform's virtual key codes, its event modifier flags
// and its hot-key (Carbon) modifier masks. Preferences hold these numbers, the input layer
// and the sim speak them, and a backend with other key codes translates at its edge.
#pragma once

#include <cstdint>
#include <optional>

namespace mirvex::keys {

// Virtual key codes.
inline constexpr uint16_t A = 0, M = 46, COMMA = 43, SEMICOLON = 41;
inline constexpr uint16_t RETURN = 36, TAB = 48, SPACE = 49, GRAVE = 50, DELETE = 51, ESCAPE = 53;
inline constexpr uint16_t COMMAND = 55, SHIFT = 56, OPTION = 58, CONTROL = 59;
inline constexpr uint16_t F5 = 96, F18 = 79, ENTER = 76;
inline constexpr uint16_t LEFT = 123, RIGHT = 124, DOWN = 125, UP = 126;

// Event modifier flags (device independent).
inline constexpr uint64_t FLAG_SHIFT = 0x20000, FLAG_CONTROL = 0x40000, FLAG_OPTION = 0x80000,
                          FLAG_COMMAND = 0x100000;
inline constexpr uint64_t FLAGS_HOLD = FLAG_CONTROL | FLAG_OPTION | FLAG_COMMAND;  // 0x1C0000
inline constexpr uint64_t FLAGS_ALL = FLAGS_HOLD | FLAG_SHIFT;                      // 0x1E0000

// Hot-key modifier masks.
inline constexpr uint32_t MASK_COMMAND = 0x100, MASK_SHIFT = 0x200, MASK_OPTION = 0x800,
                          MASK_CONTROL = 0x1000;

// The hot-key mask of a set of event flags.
constexpr uint32_t carbon_mask(uint64_t flags) {
  return (flags & FLAG_COMMAND ? MASK_COMMAND : 0) | (flags & FLAG_SHIFT ? MASK_SHIFT : 0) |
         (flags & FLAG_OPTION ? MASK_OPTION : 0) | (flags & FLAG_CONTROL ? MASK_CONTROL : 0);
}

// The letter printed on the key at `code` on a US layout, for the letter keys up to 46, so
// that type-to-jump works the same whatever layout or modifier is active.
constexpr std::optional<char32_t> letter(uint16_t code) {
  switch (code) {
    case 0: return U'a';
    case 1: return U's';
    case 2: return U'd';
    case 3: return U'f';
    case 4: return U'h';
    case 5: return U'g';
    case 6: return U'z';
    case 7: return U'x';
    case 8: return U'c';
    case 9: return U'v';
    case 11: return U'b';
    case 12: return U'q';
    case 13: return U'w';
    case 14: return U'e';
    case 15: return U'r';
    case 16: return U'y';
    case 17: return U't';
    case 31: return U'o';
    case 32: return U'u';
    case 34: return U'i';
    case 35: return U'p';
    case 37: return U'l';
    case 38: return U'j';
    case 40: return U'k';
    case 45: return U'n';
    case 46: return U'm';
    default: return std::nullopt;
  }
}

}  // namespace mirvex::keys
