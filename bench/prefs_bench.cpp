// The application reloads the whole record on every change notice, and the settings window
// saves on every control change: both go through the preferences file.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "core/prefs.h"

namespace mirvex {
namespace {

// A configuration folder of its own holding a full record with some app hotkeys.
struct Folder {
  Folder() {
    char tmpl[] = "/tmp/mirvex-bench-XXXXXX";
    root = ::mkdtemp(tmpl);
    ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    Settings s = Settings::defaults();
    for (int i = 0; i < 20; ++i) s.appHotkeys.push_back({"com.example.app" + std::to_string(i), "⌃⌥A", 0, 4352, true});
    Defaults d;
    prefs::save(d, s);
  }
  ~Folder() { std::filesystem::remove_all(root); }
  std::filesystem::path root;
};

void BM_LoadFromFile(benchmark::State& state) {
  Folder folder;
  for (auto _ : state) {
    Defaults d;  // a fresh store reads and parses the file
    benchmark::DoNotOptimize(prefs::load(d));
  }
}
BENCHMARK(BM_LoadFromFile)->Unit(benchmark::kMicrosecond);

void BM_ParseRecord(benchmark::State& state) {
  Folder folder;
  const std::string xml = plist::to_xml(plist::Value(*Defaults().persistent_domain()));
  for (auto _ : state) {
    const auto v = plist::parse(xml);
    benchmark::DoNotOptimize(prefs::from_domain(*v->get<plist::Dict>()));
  }
}
BENCHMARK(BM_ParseRecord)->Unit(benchmark::kMicrosecond);

void BM_SaveOneChange(benchmark::State& state) {
  Folder folder;
  Defaults d;
  Settings s = prefs::load(d);
  for (auto _ : state) {
    s.delayMs = s.delayMs == 150 ? 200 : 150;  // every save changes the file: a real write
    benchmark::DoNotOptimize(prefs::save(d, s));
  }
}
BENCHMARK(BM_SaveOneChange)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mirvex
