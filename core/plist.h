// Property-list values owned by C++ and their XML/binary forms, read and written through
// libplist's C API (the RAII wrapper over its nodes lives in plist.cpp).
//
//   plist::Value v = plist::Dict{{"enabled", true}, {"hold", 1}};
//   std::string xml = plist::to_xml(v);
//   std::string why;
//   std::optional<plist::Value> back = plist::parse(xml, &why);   // XML or binary
//   if (const plist::Dict* d = back->get<plist::Dict>()) ...
//
// Integers and booleans are distinct kinds: `Value(1)` is an integer, `Value(true)` a boolean.
// Integers are signed 64-bit; a stored unsigned value above 2^63-1 keeps its 64-bit pattern.
// Data, dates and UIDs are carried so that rewriting a file loses nothing it held. Dates in XML
// have whole seconds. XML cannot hold a NUL character: a string or key written as XML ends before
// its first one.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mirvex::plist {

// Seconds since 2001-01-01 00:00:00 UTC, the property-list epoch.
struct Date {
  double seconds = 0;
  bool operator==(const Date&) const = default;
};
// The keyed-archive object reference of binary property lists.
struct Uid {
  uint64_t value = 0;
  bool operator==(const Uid&) const = default;
};
using Data = std::vector<uint8_t>;

class Value;
using Array = std::vector<Value>;
using Dict = std::map<std::string, Value, std::less<>>;

enum class Kind : uint8_t { Boolean, Integer, Real, String, Data, Date, Uid, Array, Dict };

class Value {
 public:
  // The variant's order is Kind's order.
  using Variant = std::variant<bool, int64_t, double, std::string, Data, Date, Uid, Array, Dict>;

  Value() : v_(false) {}  // a boolean false
  Value(bool b) : v_(b) {}
  template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>)
  Value(T i) : v_(static_cast<int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Data d) : v_(std::move(d)) {}
  Value(Date d) : v_(d) {}
  Value(Uid u) : v_(u) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Dict d) : v_(std::move(d)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  // The held value when it is of type T (bool, int64_t, double, std::string, Data, Date, Uid,
  // Array, Dict), else nullptr.
  template <class T> const T* get() const { return std::get_if<T>(&v_); }
  template <class T> T* get() { return std::get_if<T>(&v_); }
  const Variant& variant() const { return v_; }

  bool operator==(const Value& other) const;

 private:
  Variant v_;
};

// Parses XML or binary property-list bytes. On failure returns nullopt and, when `error` is
// given, says why. Nesting deeper than MAX_DEPTH is refused rather than recursed into.
inline constexpr int MAX_DEPTH = 256;
std::optional<Value> parse(std::string_view bytes, std::string* error = nullptr);
// Parses a single value given as XML text, with or without the <plist> wrapper ("<true/>").
std::optional<Value> parse_xml_fragment(std::string_view text);

// Serializes to an XML property list (with its header), or to a binary one.
std::string to_xml(const Value& value);
std::string to_binary(const Value& value);

}  // namespace mirvex::plist
