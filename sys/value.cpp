#include "sys/value.h"

#include <cmath>
#include <limits>

namespace mirvex::sys {

template <class T>
T saturate(double d) {
  if (std::isnan(d)) return 0;
  constexpr T lo = std::numeric_limits<T>::min();
  constexpr T hi = std::numeric_limits<T>::max();
  if (d <= static_cast<double>(lo)) return lo;
  // static_cast<double>(hi) may round up past hi (for 64-bit types), hence >=.
  if (d >= static_cast<double>(hi)) return hi;
  return static_cast<T>(d);
}

template int32_t saturate<int32_t>(double);
template uint32_t saturate<uint32_t>(double);
template int64_t saturate<int64_t>(double);
template uint64_t saturate<uint64_t>(double);
template int16_t saturate<int16_t>(double);
template uint16_t saturate<uint16_t>(double);

double Number::as_double() const {
  if (const auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  return std::get<double>(v);
}

int64_t Number::as_int64() const {
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  return saturate<int64_t>(std::get<double>(v));
}

const Value* Value::get(std::string_view key) const {
  const Dict* d = dict();
  if (!d) return nullptr;
  for (const auto& [k, val] : *d)
    if (k == key) return &val;
  return nullptr;
}

void Value::set(std::string_view key, Value value) {
  if (is_null()) v = Dict{};
  Dict* d = std::get_if<Dict>(&v);
  if (!d) return;
  for (auto& [k, val] : *d)
    if (k == key) {
      val = std::move(value);
      return;
    }
  d->emplace_back(std::string(key), std::move(value));
}

void Value::erase(std::string_view key) {
  if (Dict* d = std::get_if<Dict>(&v)) std::erase_if(*d, [&](const auto& kv) { return kv.first == key; });
}

Value rect_dict(const Rect& r) {
  return Dict{{"X", r.x}, {"Y", r.y}, {"Width", r.w}, {"Height", r.h}};
}

std::optional<Rect> rect_from_dict(const Value& v) {
  auto member = [&](std::string_view k) -> std::optional<double> {
    const Value* m = v.get(k);
    if (!m || !m->number()) return std::nullopt;
    return m->number()->as_double();
  };
  auto x = member("X"), y = member("Y"), w = member("Width"), h = member("Height");
  if (!x || !y || !w || !h) return std::nullopt;
  return Rect{*x, *y, *w, *h};
}

}  // namespace mirvex::sys
