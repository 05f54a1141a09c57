#include "core/keyed_archive.h"

#include <plist/plist.h>

#include <cmath>
#include <string>

namespace mirvex {
namespace {

bool is(plist_t node, plist_type type) { return node && plist_get_node_type(node) == type; }

std::optional<std::string_view> string_of(plist_t node) {
  if (!is(node, PLIST_STRING)) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return std::nullopt;
  return std::string_view(text, length);
}

plist_t item(plist_t dict, std::string_view key) {
  return is(dict, PLIST_DICT) ? plist_dict_get_item(dict, std::string(key).c_str()) : nullptr;
}

// A reference: a UID node, or its XML spelling, a dictionary holding only "CF$UID" (which
// libplist's XML reader leaves as a dictionary).
std::optional<uint64_t> uid_of(plist_t node) {
  uint64_t index = 0;
  if (is(node, PLIST_UID)) {
    plist_get_uid_val(node, &index);
    return index;
  }
  plist_t spelled = item(node, "CF$UID");
  if (!is(spelled, PLIST_UINT) || plist_dict_get_size(node) != 1) return std::nullopt;
  plist_get_uint_val(spelled, &index);
  return index;
}

// A real converts like a number object's integer value: truncated, and only when it fits.
ArchiveField<ArchivedNumber> number_of(plist_t node) {
  ArchivedNumber n;
  if (!node) return {std::nullopt, true};
  switch (plist_get_node_type(node)) {
    case PLIST_UINT: {
      // The parser keeps 64 bits; a negative integer arrives as its two's complement.
      uint64_t raw = 0;
      plist_get_uint_val(node, &raw);
      n.unsigned_value = raw;
      n.value = static_cast<int64_t>(raw);
      return {n, false};
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      if (!std::isfinite(d) || d < -0x1p63 || d >= 0x1p63) return {std::nullopt, true};
      n.value = static_cast<int64_t>(d);
      n.unsigned_value = static_cast<uint64_t>(n.value);
      return {n, false};
    }
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      n.value = b ? 1 : 0;
      n.unsigned_value = static_cast<uint64_t>(n.value);
      return {n, false};
    }
    default:
      return {std::nullopt, true};
  }
}

}  // namespace

KeyedArchive::KeyedArchive(Plist root) : root_(std::move(root)) {
  objects_ = item(root_.get(), "$objects");
  top_ = item(root_.get(), "$top");
}

std::optional<KeyedArchive> KeyedArchive::open(std::span<const uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > MAX_BYTES) return std::nullopt;
  plist_t parsed = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<uint32_t>(bytes.size()), &parsed);
  Plist root(parsed, plist_free);
  if (!is(root.get(), PLIST_DICT)) return std::nullopt;
  if (string_of(item(root.get(), "$archiver")) != "NSKeyedArchiver") return std::nullopt;
  if (!is(item(root.get(), "$top"), PLIST_DICT)) return std::nullopt;
  if (!is(item(root.get(), "$objects"), PLIST_ARRAY)) return std::nullopt;
  return KeyedArchive(std::move(root));
}

size_t KeyedArchive::object_count() const { return plist_array_get_size(objects_); }

ArchiveField<size_t> KeyedArchive::resolve(void* uid) const {
  if (!uid) return {};
  const std::optional<uint64_t> index = uid_of(uid);
  if (!index || *index >= object_count()) return {std::nullopt, true};
  const auto i = static_cast<size_t>(*index);
  if (string_of(plist_array_get_item(objects_, static_cast<uint32_t>(i))) == "$null") return {};
  return {i, false};
}

void* KeyedArchive::entry(size_t object, std::string_view key) const {
  if (object >= object_count()) return nullptr;
  return item(plist_array_get_item(objects_, static_cast<uint32_t>(object)), key);
}

ArchiveField<size_t> KeyedArchive::top(std::string_view key) const {
  return resolve(item(top_, key));
}

std::optional<std::string> KeyedArchive::class_name(size_t object) const {
  const ArchiveField<size_t> cls = resolve(entry(object, "$class"));
  if (!cls.value) return std::nullopt;
  const auto name =
      string_of(item(plist_array_get_item(objects_, static_cast<uint32_t>(*cls.value)),
                     "$classname"));
  if (!name) return std::nullopt;
  return std::string(*name);
}

ArchiveField<size_t> KeyedArchive::object(size_t object, std::string_view key) const {
  return resolve(entry(object, key));
}

ArchiveField<ArchivedNumber> KeyedArchive::number(size_t object, std::string_view key) const {
  plist_t node = entry(object, key);
  if (!node) return {};
  if (uid_of(node)) {
    const ArchiveField<size_t> target = resolve(node);
    if (!target.value) return {std::nullopt, target.wrong_type};
    node = plist_array_get_item(objects_, static_cast<uint32_t>(*target.value));
  }
  return number_of(node);
}

}  // namespace mirvex
