// A preferences file is hand-editable and shared with another program: any bytes must either be
// refused as a property list or load into settings whose every value is inside its range, and
// what loads must save and load again unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/plist.h"
#include "core/prefs.h"

using namespace mirvex;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_ranges(const Settings& s) {
  check(s.opacityPct >= 10 && s.opacityPct <= 100 && s.tint >= -100 && s.tint <= 100);
  check(s.corner <= 40 && s.previewOpacityPct >= 10 && s.previewCoverPct <= 100);
  check(s.titlesSizePct >= 50 && s.titlesSizePct <= 200 && s.thumbnailsMaxWidthPct >= 30);
  check(s.panelX <= 1000 && s.panelY <= 1000 && s.appIconsFrameH <= 1000 && s.delayMs <= 1000);
  check(static_cast<int>(s.style) < 3 && s.size < 4 && static_cast<int>(s.theme) < 3);
  check(s.truncation < 3 && s.showTitles < 3 && s.showOn < 3 && s.afterRelease < 2);
  check(s.appIconsRows <= 6 && s.hyperKey <= 9 && s.borderWidth >= 1 && s.borderWidth <= 20);
  check(!s.shortcuts.empty() && s.shortcuts.size() <= 5);
  for (const Shortcut& c : s.shortcuts) {
    check(c.hold < 3 && c.key < 3 && c.apps < 4 && c.order < 4 && c.windowless < 2);
    check(static_cast<int>(c.spaces) < 2 && c.screens < 2 && c.minimized < 3);
    check(c.style <= STYLE_ABSENT && c.size <= SIZE_ABSENT);
  }
  for (const Exception& e : s.exceptions) check(e.hide < 3 && e.ignore < 3);
  for (const AppHotkey& h : s.appHotkeys) check(h.code <= 127 && h.mods <= 65535);
  for (const CharKey& k : {s.closeKey, s.minimizeKey, s.fullscreenKey, s.hideKey, s.quitKey})
    check(!k || (*k > 0 && *k <= 0x10FFFF && (*k < 0xD800 || *k > 0xDFFF)));
}

// XML cannot hold a NUL character: a saved text ends before its first one.
Settings as_saved_text(Settings s) {
  const auto cut = [](std::string& t) { t = t.substr(0, t.find('\0')); };
  cut(s.borderColor);
  for (Exception& e : s.exceptions) cut(e.bundleId);
  for (AppHotkey& h : s.appHotkeys) cut(h.bundleId), cut(h.label);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto value = plist::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  const plist::Dict* domain = value ? value->get<plist::Dict>() : nullptr;
  if (!domain) return 0;
  const Settings loaded = prefs::from_domain(*domain);
  check_ranges(loaded);

  Settings copy = loaded;
  prefs::Io out = prefs::Io::writer();
  prefs::fields(out, copy);
  const auto saved = plist::parse(plist::to_xml(plist::Value(std::move(out).into_dict())));
  check(saved && saved->get<plist::Dict>());
  check(prefs::from_domain(*saved->get<plist::Dict>()) == as_saved_text(loaded));
  return 0;
}
