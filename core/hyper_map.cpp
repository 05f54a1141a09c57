#include "core/hyper_map.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

namespace mirvex::hyper {

namespace {

constexpr std::string_view SRC = "MappingSrc";
constexpr std::string_view DST = "MappingDst";

std::string_view trim(std::string_view s) {
  constexpr std::string_view SPACE = " \t\r\n";
  const size_t b = s.find_first_not_of(SPACE);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(SPACE) - b + 1);
}

}  // namespace

std::optional<uint64_t> usage(uint8_t hyper_key) {
  static constexpr std::array<uint64_t, 9> CODES{0x39, 0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7};
  if (hyper_key < 1 || hyper_key > CODES.size()) return std::nullopt;
  return USAGE_PAGE | CODES[hyper_key - 1];
}

std::optional<uint64_t> parse(std::string_view piece, std::string_view field) {
  size_t at = piece.find(field);
  if (at == std::string_view::npos) return std::nullopt;
  at += field.size();
  while (at < piece.size() && (piece[at] == ' ' || piece[at] == '=')) ++at;
  const size_t end = piece.find(';', at);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view digits = trim(piece.substr(at, end - at));
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;  // overflow is no number
    v = v * 10 + d;
  }
  return v;
}

Parsed parse_mapping(std::string_view text) {
  Parsed out;
  while (!text.empty()) {
    const size_t close = text.find('}');
    const std::string_view piece = text.substr(0, close);
    text = close == std::string_view::npos ? std::string_view{} : text.substr(close + 1);
    const auto src = parse(piece, SRC), dst = parse(piece, DST);
    if (src && dst) {
      const Pair p{*src, *dst};
      if (std::find(out.pairs.begin(), out.pairs.end(), p) == out.pairs.end()) out.pairs.push_back(p);
    } else if (piece.find(SRC) != std::string_view::npos || piece.find(DST) != std::string_view::npos) {
      ++out.unreadable;
    }
  }
  return out;
}

std::vector<Pair> wanted(const std::vector<Pair>& current, uint8_t hyper_key) {
  const std::optional<uint64_t> chosen = usage(hyper_key);
  std::vector<Pair> out;
  for (const Pair& p : current)
    if (p.dst != F18 && (!chosen || p.src != *chosen)) out.push_back(p);
  if (chosen) out.push_back(Pair{*chosen, F18});
  return out;
}

std::string to_json(const std::vector<Pair>& pairs) {
  std::string out = R"({"UserKeyMapping":[)";
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i) out += ',';
    out += fmt::format(R"({{"HIDKeyboardModifierMappingSrc":{},"HIDKeyboardModifierMappingDst":{}}})", pairs[i].src,
                       pairs[i].dst);
  }
  out += "]}";
  return out;
}

}  // namespace mirvex::hyper
