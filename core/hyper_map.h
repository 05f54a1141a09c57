// The pure half of the hyper key: the user key-mapping list as the key-mapping tool prints and
// reads it. The chosen physical key is mapped to F18 (HID keyboard usages, page 7); the event
// tap turns F18 into the added modifiers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirvex::hyper {

inline constexpr uint64_t USAGE_PAGE = 0x700000000;
inline constexpr uint64_t F18 = USAGE_PAGE | 0x6D;

struct Pair {
  uint64_t src = 0;
  uint64_t dst = 0;
  bool operator==(const Pair&) const = default;
};

// The source usage of `hyperKey` 1 to 9 (Caps Lock, left Control, Shift, Option, Command,
// right Control, Shift, Option, Command); none for 0 or out of range.
std::optional<uint64_t> usage(uint8_t hyper_key);

// The unsigned decimal number after the first `field` in `piece`, past spaces and "=" signs
// and up to the next ";" (trimmed; a leading "+" is allowed); none otherwise.
std::optional<uint64_t> parse(std::string_view piece, std::string_view field);

struct Parsed {
  std::vector<Pair> pairs;  // in order, exact duplicates dropped
  // Entries that name a mapping field but cannot be read. A list with such entries must not
  // be rewritten: the rewrite would drop the user's own remapping.
  size_t unreadable = 0;
};
// Reads the tool's "property --get UserKeyMapping" output: one entry per "}"-separated piece.
Parsed parse_mapping(std::string_view text);

// The list the setting asks for: `current` without F18 destinations and, for `hyper_key` 1 to
// 9, without pairs from the chosen key, then (chosen key, F18) appended.
std::vector<Pair> wanted(const std::vector<Pair>& current, uint8_t hyper_key);

// {"UserKeyMapping":[{"HIDKeyboardModifierMappingSrc":n,"HIDKeyboardModifierMappingDst":n},...]}
// with no spaces.
std::string to_json(const std::vector<Pair>& pairs);

}  // namespace mirvex::hyper
