#include "core/key_names.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <utility>

namespace mirvex::keys {
namespace {

using Name = std::pair<uint32_t, std::string_view>;

constexpr std::array<Name, 19> FKEYS{{
    {122, "F1"}, {120, "F2"}, {99, "F3"}, {118, "F4"}, {96, "F5"}, {97, "F6"}, {98, "F7"},
    {100, "F8"}, {101, "F9"}, {109, "F10"}, {103, "F11"}, {111, "F12"}, {105, "F13"},
    {107, "F14"}, {113, "F15"}, {106, "F16"}, {64, "F17"}, {79, "F18"}, {80, "F19"},
}};

constexpr std::array<Name, 14> SPECIAL{{
    {36, "↩"}, {48, "⇥"}, {49, "␣"}, {123, "←"}, {124, "→"}, {126, "↑"}, {125, "↓"},
    {115, "↖"}, {119, "↘"}, {116, "⇞"}, {121, "⇟"}, {53, "esc"}, {51, "⌫"}, {117, "⌦"},
}};

// The unmodified characters of the US (ANSI) layout, keypad included. Keys that type a
// control character there (keypad Clear and Enter) are left out.
constexpr std::array<Name, 64> US{{
    {0, "a"},   {1, "s"},   {2, "d"},   {3, "f"},   {4, "h"},   {5, "g"},   {6, "z"},
    {7, "x"},   {8, "c"},   {9, "v"},   {10, "§"},  {11, "b"},  {12, "q"},  {13, "w"},
    {14, "e"},  {15, "r"},  {16, "y"},  {17, "t"},  {18, "1"},  {19, "2"},  {20, "3"},
    {21, "4"},  {22, "6"},  {23, "5"},  {24, "="},  {25, "9"},  {26, "7"},  {27, "-"},
    {28, "8"},  {29, "0"},  {30, "]"},  {31, "o"},  {32, "u"},  {33, "["},  {34, "i"},
    {35, "p"},  {37, "l"},  {38, "j"},  {39, "'"},  {40, "k"},  {41, ";"},  {42, "\\"},
    {43, ","},  {44, "/"},  {45, "n"},  {46, "m"},  {47, "."},  {50, "`"},  {65, "."},
    {67, "*"},  {69, "+"},  {75, "/"},  {78, "-"},  {81, "="},  {82, "0"},  {83, "1"},
    {84, "2"},  {85, "3"},  {86, "4"},  {87, "5"},  {88, "6"},  {89, "7"},  {91, "8"},
    {92, "9"},
}};

template <size_t N>
std::optional<std::string_view> find(const std::array<Name, N>& table, uint32_t code) {
  for (const auto& [c, name] : table)
    if (c == code) return name;
  return std::nullopt;
}

// Upper-cased text, or none when it is empty or holds a character that cannot be shown.
std::optional<std::string> printable_upper(const std::string& text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  if (u.isEmpty()) return std::nullopt;
  for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
    const UChar32 c = u.char32At(i);
    if (c == 0xFFFD || u_iscntrl(c) || !u_isprint(c)) return std::nullopt;
  }
  std::string out;
  u.toUpper(icu::Locale::getRoot()).toUTF8String(out);
  return out;
}

}  // namespace

std::string symbols(uint32_t mods) {
  std::string out;
  if (mods & CTRL) out += "⌃";
  if (mods & OPT) out += "⌥";
  if (mods & SHIFT) out += "⇧";
  if (mods & CMD) out += "⌘";
  return out;
}

std::optional<std::string_view> function_key_name(uint32_t code) { return find(FKEYS, code); }
std::optional<std::string_view> special_key_name(uint32_t code) { return find(SPECIAL, code); }

std::optional<std::string> us_layout(uint32_t code) {
  if (auto name = find(US, code)) return std::string(*name);
  return std::nullopt;
}

std::string key_name(uint32_t code, const KeyboardLayout& layout) {
  if (auto name = function_key_name(code)) return std::string(*name);
  if (auto name = special_key_name(code)) return std::string(*name);
  if (layout)
    if (auto typed = layout(code))
      if (auto upper = printable_upper(*typed)) return *upper;
  return "?";
}

std::string label(uint32_t code, uint32_t mods, const KeyboardLayout& layout) {
  return symbols(mods) + key_name(code, layout);
}

}  // namespace mirvex::keys
