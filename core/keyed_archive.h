// Reader of keyed archives: property lists written by an NSKeyedArchiver-style encoder
// ("$archiver", "$top", "$objects", objects that refer to each other by UID, "$class" entries
// naming a "$classname", "$null" for nil). Other tools store small objects this way (AltTab's
// recorded shortcuts, for one), so this reads untrusted bytes: every access follows at most one
// reference and checks it, so cycles, references out of range and values of the wrong kind end
// in "absent" or "wrong type", never in a crash or a deep recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/plist.h"

namespace mirvex {

// A number as an archive stores it, seen the two ways a decoder may ask for it.
struct ArchivedNumber {
  int64_t value = 0;      // the signed integer value (a real is truncated towards zero)
  uint64_t unsigned_value = 0;  // the same bits as an unsigned integer
  bool operator==(const ArchivedNumber&) const = default;
};

// One keyed field of an archived object: absent (no such key, or a reference to nil), a
// value, or something of another kind. A strict decoder treats `wrong_type` as a failed archive.
template <class T>
struct ArchiveField {
  std::optional<T> value;
  bool wrong_type = false;
  bool operator==(const ArchiveField&) const = default;
};

class KeyedArchive {
 public:
  // Largest archive accepted; stored objects are a few hundred bytes.
  static constexpr size_t MAX_BYTES = 1 << 20;

  // Parses binary or XML property-list bytes. Nothing when they do not parse or do not hold a
  // keyed archive (a dictionary with "$archiver" = "NSKeyedArchiver", a "$top" dictionary and an
  // "$objects" array).
  static std::optional<KeyedArchive> open(std::span<const uint8_t> bytes);

  // Number of entries of "$objects"; objects are addressed by their index there.
  size_t object_count() const;

  // The object a "$top" entry refers to ("root" is the root object).
  ArchiveField<size_t> top(std::string_view key) const;

  // The "$classname" of an object's "$class"; nothing when the object is not a dictionary or
  // its class entry is not a well-formed class description.
  std::optional<std::string> class_name(size_t object) const;

  // The fields of an object that is not a dictionary, or past the end, are all absent.
  // The object that a keyed field of an object refers to.
  ArchiveField<size_t> object(size_t object, std::string_view key) const;

  // A number stored under a key of an object, inline or by reference (an integer, a real or a
  // boolean; a real that is not finite or does not fit 64 bits is of the wrong type).
  ArchiveField<ArchivedNumber> number(size_t object, std::string_view key) const;

 private:
  static std::optional<KeyedArchive> from(plist::Value archive);
  KeyedArchive(plist::Array objects, plist::Dict top)
      : objects_(std::move(objects)), top_(std::move(top)) {}
  // Resolves a reference to an object index; absent for nil, wrong type for anything else.
  ArchiveField<size_t> resolve(const plist::Value* reference) const;
  const plist::Value* entry(size_t object, std::string_view key) const;

  plist::Array objects_;  // "$objects"
  plist::Dict top_;       // "$top"
};

}  // namespace mirvex
