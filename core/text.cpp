#include "core/text.h"

#include <fmt/format.h>

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>

namespace mirvex::text {
namespace {

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
    if (c < 0) out += "\xEF\xBF\xBD";
    else out.append(s.data() + start, static_cast<size_t>(i - start));
  }
  return out;
}

}  // namespace

std::string lower(std::string_view utf8) {
  if (is_ascii(utf8)) {
    std::string out(utf8);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
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

bool is_alnum(int32_t c) {
  if (c < 0) return false;
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
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

bool word_prefix(std::string_view s, std::string_view q) {
  if (has_separator(q)) return false;
  // q holds only alphanumerics, so matching it at a word's start stays within that word.
  bool in_word = false;
  int32_t i = 0;
  const auto n = static_cast<int32_t>(s.size());
  while (i < n) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s.data(), i, n, c);
    const bool alnum = is_alnum(c);
    if (alnum && !in_word && s.substr(static_cast<size_t>(start)).starts_with(q)) return true;
    in_word = alnum;
  }
  return false;
}

bool subsequence(std::string_view s, std::string_view q) {
  if (is_ascii(q)) {
    // ASCII bytes never occur inside a multi-byte sequence, so bytes compare as characters.
    size_t j = 0;
    for (size_t i = 0; i < s.size() && j < q.size(); ++i)
      if (s[i] == q[j]) ++j;
    return j == q.size();
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

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
        else
          out += c;
    }
  }
  out += '"';
}

}  // namespace mirvex::text
