// Unicode text helpers for matching typed queries against names and titles: full lower-casing
// and the letter-or-digit test, both by ICU's Unicode data, over UTF-8 text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mirvex::text {

// Full Unicode lower-casing (root locale, so no Turkish dotless-i rules; final sigma handled).
// Ill-formed UTF-8 never fails: the bytes that do not form a character are replaced by U+FFFD.
std::string lower(std::string_view utf8);
// The same, appended to `out`.
void lower_append(std::string& out, std::string_view utf8);

// Letters and digits in the Unicode sense: the Alphabetic property or a numeric category
// (Nd, Nl, No). Negative values (ill-formed input from the decoder) are not alphanumeric.
bool is_alnum(int32_t c);

// True when `s` holds a character that is not alphanumeric (or an ill-formed sequence).
bool has_separator(std::string_view s);

// Where `q` occurs in `s`: nowhere, somewhere, or at the start of a word (so that `q` is a
// prefix of that word), a word being a maximal run of alphanumeric characters. `q_is_word`
// must be !has_separator(q); a query with a separator is never a word prefix. Both texts must
// be well-formed UTF-8 (as lower() returns), so that byte matches fall on character bounds.
enum class Found : uint8_t { None, Anywhere, WordStart };
Found find_in(std::string_view s, std::string_view q, bool q_is_word);

// True when the characters of `q` occur in `s` in the same order, each matched at its first
// possible position. Compares whole characters, never parts of multi-byte sequences.
bool subsequence(std::string_view s, std::string_view q);

// Appends the UTF-8 form of `c`; returns false (appending nothing) when `c` is not a Unicode
// scalar value (a surrogate or beyond U+10FFFF).
bool append_utf8(std::string& out, char32_t c);

// Removes the last whole character (all bytes of a multi-byte sequence); no-op when empty.
void pop_utf8(std::string& s);

}  // namespace mirvex::text
