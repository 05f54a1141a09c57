#include "core/text.h"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>

namespace mirvex::text {
namespace {

bool ascii_alnum(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
}

bool is_ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// One root-locale case map for the process; the mapping functions take it const, so sharing
// it between threads is safe.
const UCaseMap* case_map() {
  static const std::unique_ptr<UCaseMap, void (*)(UCaseMap*)> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", U_FOLD_CASE_DEFAULT, &status);
    return std::unique_ptr<UCaseMap, void (*)(UCaseMap*)>(U_SUCCESS(status) ? m : nullptr,
                                                          ucasemap_close);
  }();
  return map.get();
}

// Replaces ill-formed sequences by U+FFFD so that ICU and the matchers see valid UTF-8.
std::string well_formed(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  int32_t i = 0;
  const auto n = static_cast<int32_t>(s.size());
  while (i < n) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s.data(), i, n, c);
    if (c < 0)
      out += "\xEF\xBF\xBD";
    else
      out.append(s.data() + start, static_cast<size_t>(i - start));
  }
  return out;
}

// The full mapping through ICU, for text where context or one-to-many mappings matter.
std::string full_lower(std::string_view utf8) {
  std::string src = well_formed(utf8);
  const UCaseMap* map = case_map();
  if (map == nullptr) return src;  // ICU data missing: matching degrades to exact case
  // Lower-casing can grow a string (İ becomes i + combining dot); retry once with the size
  // ICU asks for.
  std::string out(src.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()),
                                       src.data(), static_cast<int32_t>(src.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(static_cast<size_t>(len));
      continue;
    }
    if (U_FAILURE(status)) return src;
    out.resize(static_cast<size_t>(len));
    return out;
  }
  return src;
}

}  // namespace

void lower_append(std::string& out, std::string_view utf8) {
  // Full lower-casing equals the one-to-one mapping of each character except for U+0130 (which
  // maps to two characters) and capital sigma (final or not by context); text holding either
  // goes through ICU's full mapping. The rest is mapped here, which is many times faster.
  // Written through an index into space made beforehand: one byte out per ASCII byte in, and
  // room for the longest encoding before each other character, so `w` never passes the end.
  const size_t start = out.size();
  const size_t n = utf8.size();
  out.resize(start + n);
  size_t w = start;
  size_t i = 0;
  while (i < n) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out[w++] = static_cast<char>(b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
      ++i;
      continue;
    }
    auto pos = static_cast<int32_t>(i);
    UChar32 c;
    U8_NEXT(utf8.data(), pos, static_cast<int32_t>(n), c);
    i = static_cast<size_t>(pos);
    if (c == 0x130 || c == 0x3A3) {
      out.resize(start);
      out += full_lower(utf8);
      return;
    }
    c = c < 0 ? 0xFFFD : u_tolower(c);
    if (out.size() < w + U8_MAX_LENGTH + (n - i)) out.resize(w + U8_MAX_LENGTH + (n - i));
    auto len = static_cast<int32_t>(w);
    U8_APPEND_UNSAFE(out.data(), len, c);
    w = static_cast<size_t>(len);
  }
  out.resize(w);
}

std::string lower(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  lower_append(out, utf8);
  return out;
}

bool is_alnum(int32_t c) {
  if (c < 0) return false;
  if (c < 0x80) return ascii_alnum(static_cast<unsigned char>(c));
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  const int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

bool has_separator(std::string_view s) {
  int32_t i = 0;
  const auto n = static_cast<int32_t>(s.size());
  while (i < n) {
    UChar32 c;
    U8_NEXT(s.data(), i, n, c);
    if (!is_alnum(c)) return true;
  }
  return false;
}

Found find_in(std::string_view s, std::string_view q, bool q_is_word) {
  Found found = Found::None;
  for (size_t p = s.find(q); p != std::string_view::npos; p = s.find(q, p + 1)) {
    found = Found::Anywhere;
    if (!q_is_word) break;
    // q is all alphanumeric: an occurrence right after a separator (or at the start) is the
    // beginning of a word.
    if (p == 0) return Found::WordStart;
    auto i = static_cast<int32_t>(p);
    U8_BACK_1(reinterpret_cast<const uint8_t*>(s.data()), 0, i);
    const auto b = static_cast<unsigned char>(s[static_cast<size_t>(i)]);
    UChar32 c = b;
    if (b >= 0x80) U8_NEXT(s.data(), i, static_cast<int32_t>(s.size()), c);
    if (!is_alnum(c)) return Found::WordStart;
  }
  return found;
}

bool subsequence(std::string_view s, std::string_view q) {
  if (is_ascii(q)) {
    // ASCII bytes never occur inside a multi-byte sequence, so bytes compare as characters.
    size_t at = 0;
    for (char c : q) {
      at = s.find(c, at);
      if (at == std::string_view::npos) return false;
      ++at;
    }
    return true;
  }
  int32_t i = 0, j = 0;
  const auto n = static_cast<int32_t>(s.size()), m = static_cast<int32_t>(q.size());
  UChar32 want = 0;
  bool have = false;
  while (true) {
    if (!have) {
      if (j >= m) return true;
      U8_NEXT(q.data(), j, m, want);
      have = true;
    }
    if (i >= n) return false;
    UChar32 c;
    U8_NEXT(s.data(), i, n, c);
    if (c >= 0 && c == want) have = false;
  }
}

bool append_utf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  char buf[4];
  int32_t len = 0;
  UBool error = false;
  U8_APPEND(buf, len, 4, static_cast<UChar32>(c), error);
  if (error) return false;
  out.append(buf, static_cast<size_t>(len));
  return true;
}

void pop_utf8(std::string& s) {
  if (s.empty()) return;
  auto i = static_cast<int32_t>(s.size());
  U8_BACK_1(reinterpret_cast<const uint8_t*>(s.data()), 0, i);
  s.resize(static_cast<size_t>(i));
}

}  // namespace mirvex::text
