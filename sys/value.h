// Values as the platform hands them: a window-list entry, a display description or an
// accessibility attribute is a loosely typed tree whose keys may be missing and whose values
// may be of an unexpected type. Callers read it defensively; nothing here converts silently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/types.h"

namespace mirvex::sys {

// A platform number keeps the representation it was made with: integers (window numbers,
// Space identifiers) stay exact, floats (alpha, bounds) stay floats.
struct Number {
  std::variant<int64_t, double> v;
  bool operator==(const Number&) const = default;

  double as_double() const;
  // Truncates toward zero and saturates at the limits; NaN gives 0. The platform's values are
  // untrusted, so no conversion here may be undefined behaviour.
  int64_t as_int64() const;
};

// Saturating, truncating conversion of a platform float to an integer type (NaN gives 0).
template <class T>
T saturate(double d);

// An accessibility element of another process. A plain value: equality is element identity
// (the platform's "same remote element"); `timeout` is the messaging timeout carried by this
// handle (0 = the process-wide default) and takes no part in equality.
struct AxElement {
  Pid pid = 0;       // owning process; -1 for the system-wide element
  uint64_t id = 0;   // 0 = the application element of `pid`; otherwise backend-defined
  float timeout = 0;
  bool operator==(const AxElement& o) const { return pid == o.pid && id == o.id; }
};

struct Value;
using Array = std::vector<Value>;
// Insertion-ordered; entries are few (a window-list entry has about a dozen).
using Dict = std::vector<std::pair<std::string, Value>>;

struct Value {
  std::variant<std::monostate, bool, Number, std::string, Array, Dict, AxElement> v;

  Value() = default;
  Value(bool b) : v(b) {}
  Value(int i) : v(Number{int64_t{i}}) {}
  Value(int64_t i) : v(Number{i}) {}
  Value(uint32_t i) : v(Number{int64_t{i}}) {}
  Value(double d) : v(Number{d}) {}
  Value(std::string s) : v(std::move(s)) {}
  Value(const char* s) : v(std::string(s)) {}
  Value(Array a) : v(std::move(a)) {}
  Value(Dict d) : v(std::move(d)) {}
  Value(AxElement e) : v(e) {}
  bool operator==(const Value&) const = default;

  bool is_null() const { return std::holds_alternative<std::monostate>(v); }
  const bool* boolean() const { return std::get_if<bool>(&v); }
  const Number* number() const { return std::get_if<Number>(&v); }
  const std::string* string() const { return std::get_if<std::string>(&v); }
  const Array* array() const { return std::get_if<Array>(&v); }
  const Dict* dict() const { return std::get_if<Dict>(&v); }
  const AxElement* element() const { return std::get_if<AxElement>(&v); }

  // The value under `key` when this is a dictionary holding it; nullptr otherwise.
  const Value* get(std::string_view key) const;
  // Sets or replaces `key` in a dictionary (a null value becomes an empty dictionary first).
  void set(std::string_view key, Value value);
  // Removes `key` from a dictionary, if present.
  void erase(std::string_view key);
};

// The platform's dictionary form of a rectangle ("X", "Y", "Width", "Height", all numbers);
// `rect_from_dict` is the strict inverse and fails on any missing or non-numeric member.
Value rect_dict(const Rect& r);
std::optional<Rect> rect_from_dict(const Value& v);

}  // namespace mirvex::sys
