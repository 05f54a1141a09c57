// Border colours come from a hand-editable preferences file: any text must parse or be
// rejected without fault, and a parsed colour has every component in 0..1.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto c = mirvex::parse_color(std::string_view(reinterpret_cast<const char*>(data), size));
  if (c) {
    for (double v : {c->r, c->g, c->b, c->a})
      if (v < 0 || v > 1) std::abort();
  }
  return 0;
}
