// Keyed archives come from other applications' preferences: any bytes must open or be rejected
// without fault, every reference handed out must be inside "$objects", and a field is never
// both a value and of the wrong type. Decoding a recorded shortcut runs the same reader.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/alttab_import.h"
#include "core/keyed_archive.h"

namespace {

template <class T>
void check(const mirvex::ArchiveField<T>& f) {
  if (f.value && f.wrong_type) std::abort();
}

void check_ref(const mirvex::KeyedArchive& a, const mirvex::ArchiveField<size_t>& f) {
  check(f);
  if (f.value && *f.value >= a.object_count()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  mirvex::AltTabImport::decode_keys(bytes);
  const auto archive = mirvex::KeyedArchive::open(bytes);
  if (!archive) return 0;
  check_ref(*archive, archive->top("root"));
  // Every object, including one past the end: fields of anything are safe to ask for.
  for (size_t i = 0; i <= archive->object_count() && i < 4096; ++i) {
    archive->class_name(i);
    check_ref(*archive, archive->object(i, "$class"));
    check_ref(*archive, archive->object(i, "root"));
    check(archive->number(i, "keyCode"));
    check(archive->number(i, "modifierFlags"));
  }
  return 0;
}
