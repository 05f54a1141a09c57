// Unicode text helpers for matching typed queries against names and titles: full lower-casing
// and the letter-or-digit test, both by ICU's Unicode data, over UTF-8 text.
#pragma once

#include <string>
#include <string_view>

namespace mirvex::text {

// Full Unicode lower-casing (root locale, so no Turkish dotless-i rules; final sigma handled).
// Ill-formed UTF-8 never fails: the bytes that do not form a character are replaced by U+FFFD.
std::string lower(std::string_view utf8);

// Letters and digits in the Unicode sense: the Alphabetic property or a numeric category
// (Nd, Nl, No). Negative values (ill-formed input from the decoder) are not alphanumeric.
bool is_alnum(int32_t c);

// True when `s` holds a character that is not alphanumeric (or an ill-formed sequence).
bool has_separator(std::string_view s);

// True when `q` is a prefix of a word of `s`, a word being a maximal run of alphanumeric
// characters. A query with a separator never matches.
bool word_prefix(std::string_view s, std::string_view q);

// True when the characters of `q` occur in `s` in the same order, each matched at its first
// possible position. Compares whole characters, never parts of multi-byte sequences.
bool subsequence(std::string_view s, std::string_view q);

// Appends the UTF-8 form of `c`; returns false (appending nothing) when `c` is not a Unicode
// scalar value (a surrogate or beyond U+10FFFF).
bool append_utf8(std::string& out, char32_t c);

// Removes the last whole character (all bytes of a multi-byte sequence); no-op when empty.
void pop_utf8(std::string& s);

// Appends `s` in double quotes with quotes, backslashes and control characters escaped, so
// that a title cannot break or forge a line of diagnostic output.
void append_quoted(std::string& out, std::string_view s);

}  // namespace mirvex::text
