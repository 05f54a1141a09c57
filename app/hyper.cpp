#include "app/hyper.h"

#include <mutex>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "core/hyper_map.h"
#include "core/log.h"
#include "sys/port.h"

namespace mirvex::hyper {

namespace {

// The last value `map` ran with. A mutex rather than main-thread ownership, because the exit
// guard may run on whichever thread ends the process.
std::mutex MU;
std::optional<uint8_t> MAPPED;

}  // namespace

void map(uint8_t hyper_key) {
  std::lock_guard lock(MU);
  if (MAPPED == hyper_key) return;
  MAPPED = hyper_key;
  const std::string tool(TOOL);
  const std::optional<std::string> out = sys::port().run_output(tool, {"property", "--get", "UserKeyMapping"});
  if (!out) return;
  const Parsed current = parse_mapping(*out);
  if (current.unreadable > 0) {
    log::log(fmt::format("hyper: {} key mapping entries unreadable, mapping left unchanged", current.unreadable));
    return;
  }
  const std::vector<Pair> want = wanted(current.pairs, hyper_key);
  if (want == current.pairs) return;
  // Run to completion (output ignored): a later read, or the process ending, must see it done.
  sys::port().run_output(tool, {"property", "--set", to_json(want)});
}

bool mapped_on() {
  std::lock_guard lock(MU);
  return MAPPED.value_or(0) != 0;
}

}  // namespace mirvex::hyper
