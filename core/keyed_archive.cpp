#include "core/keyed_archive.h"

#include <cmath>
#include <string>

namespace mirvex {
namespace {

const plist::Value* item(const plist::Value* v, std::string_view key) {
  const plist::Dict* d = v ? v->get<plist::Dict>() : nullptr;
  if (!d) return nullptr;
  const auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

bool is_text(const plist::Value* v, std::string_view text) {
  const std::string* s = v ? v->get<std::string>() : nullptr;
  return s && *s == text;
}

// A reference: a UID, or its XML spelling, a dictionary holding only "CF$UID" (which libplist's
// XML reader leaves as a dictionary).
std::optional<uint64_t> uid_of(const plist::Value& v) {
  if (const plist::Uid* u = v.get<plist::Uid>()) return u->value;
  const plist::Dict* d = v.get<plist::Dict>();
  if (!d || d->size() != 1) return std::nullopt;
  const int64_t* spelled = item(&v, "CF$UID") ? item(&v, "CF$UID")->get<int64_t>() : nullptr;
  if (!spelled) return std::nullopt;
  return static_cast<uint64_t>(*spelled);
}

// A real converts like a number object's integer value: truncated, and only when it fits.
ArchiveField<ArchivedNumber> number_of(const plist::Value& v) {
  int64_t n = 0;
  if (const int64_t* i = v.get<int64_t>()) {
    n = *i;
  } else if (const bool* b = v.get<bool>()) {
    n = *b ? 1 : 0;
  } else if (const double* d = v.get<double>()) {
    if (!std::isfinite(*d) || *d < -0x1p63 || *d >= 0x1p63) return {std::nullopt, true};
    n = static_cast<int64_t>(*d);
  } else {
    return {std::nullopt, true};
  }
  return {ArchivedNumber{n, static_cast<uint64_t>(n)}, false};
}

}  // namespace

std::optional<KeyedArchive> KeyedArchive::open(std::span<const uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > MAX_BYTES) return std::nullopt;
  auto parsed =
      plist::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!parsed) return std::nullopt;
  return from(std::move(*parsed));
}

std::optional<KeyedArchive> KeyedArchive::from(plist::Value archive) {
  plist::Dict* root = archive.get<plist::Dict>();
  if (!root || !is_text(item(&archive, "$archiver"), "NSKeyedArchiver")) return std::nullopt;
  const auto top = root->find("$top");
  const auto objects = root->find("$objects");
  if (top == root->end() || objects == root->end() || !top->second.get<plist::Dict>() ||
      !objects->second.get<plist::Array>())
    return std::nullopt;
  return KeyedArchive(std::move(*objects->second.get<plist::Array>()),
                      std::move(*top->second.get<plist::Dict>()));
}

size_t KeyedArchive::object_count() const { return objects_.size(); }

ArchiveField<size_t> KeyedArchive::resolve(const plist::Value* reference) const {
  if (!reference) return {};
  const std::optional<uint64_t> index = uid_of(*reference);
  if (!index || *index >= objects_.size()) return {std::nullopt, true};
  const auto i = static_cast<size_t>(*index);
  if (is_text(&objects_[i], "$null")) return {};
  return {i, false};
}

const plist::Value* KeyedArchive::entry(size_t object, std::string_view key) const {
  return object < objects_.size() ? item(&objects_[object], key) : nullptr;
}

ArchiveField<size_t> KeyedArchive::top(std::string_view key) const {
  const auto it = top_.find(key);
  return resolve(it == top_.end() ? nullptr : &it->second);
}

std::optional<std::string> KeyedArchive::class_name(size_t object) const {
  const ArchiveField<size_t> cls = resolve(entry(object, "$class"));
  if (!cls.value) return std::nullopt;
  const plist::Value* name = item(&objects_[*cls.value], "$classname");
  const std::string* text = name ? name->get<std::string>() : nullptr;
  if (!text) return std::nullopt;
  return *text;
}

ArchiveField<size_t> KeyedArchive::object(size_t object, std::string_view key) const {
  return resolve(entry(object, key));
}

ArchiveField<ArchivedNumber> KeyedArchive::number(size_t object, std::string_view key) const {
  const plist::Value* v = entry(object, key);
  if (!v) return {};
  if (uid_of(*v)) {
    const ArchiveField<size_t> target = resolve(v);
    if (!target.value) return {std::nullopt, target.wrong_type};
    v = &objects_[*target.value];
  }
  return number_of(*v);
}

}  // namespace mirvex
