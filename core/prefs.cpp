#include "core/prefs.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fmt/format.h>

#include "core/log.h"

namespace mirvex::prefs {

namespace {

// A programming error stops the process; its message reaches standard error in any case.
[[noreturn]] void programming_error(std::string_view what) {
  const std::string line = fmt::format("prefs: {}", what);
  log::log(line);
  if (!log::stderr_enabled()) fmt::print(stderr, "{}\n", line);
  std::abort();
}

// Integers are clamped into their range.
template <class T>
void clamped(Io& io, std::string_view key, T& field, int64_t low, int64_t high) {
  if (auto v = io.integer(key, static_cast<int64_t>(field)))
    field = static_cast<T>(std::clamp(*v, low, high));
}

// Codes 0..count-1 take an in-range value; anything else leaves the field unchanged.
template <class T>
void code(Io& io, std::string_view key, T& field, int64_t count) {
  if (auto v = io.integer(key, static_cast<int64_t>(field)); v && *v >= 0 && *v < count)
    field = static_cast<T>(*v);
}

// Optional codes hold `absent` (one past the range) for none, stored as -1; a read value outside
// the range makes the field absent.
void optional_code(Io& io, std::string_view key, uint8_t& field, uint8_t absent) {
  const int64_t stored = field < absent ? field : -1;
  if (auto v = io.integer(key, stored)) field = *v >= 0 && *v < absent ? static_cast<uint8_t>(*v) : absent;
}

// A character key is stored as a one-character text, empty for none; a read text gives its first
// character. Text that does not start with a valid UTF-8 character leaves the field unchanged.
void character(Io& io, std::string_view key, CharKey& field) {
  if (!io.reading()) {
    char buf[U8_MAX_LENGTH];
    int32_t length = 0;
    UBool error = false;
    if (field) U8_APPEND(buf, length, U8_MAX_LENGTH, static_cast<UChar32>(*field), error);
    io.put(key, std::string(buf, error ? 0 : static_cast<size_t>(length)));
    return;
  }
  const plist::Value* v = io.find(key);
  const std::string* text = v ? v->get<std::string>() : nullptr;
  if (!text) return;
  if (text->empty()) {
    field.reset();
    return;
  }
  int32_t i = 0;
  UChar32 c = 0;
  U8_NEXT(text->data(), i, static_cast<int32_t>(std::min<size_t>(text->size(), U8_MAX_LENGTH)), c);
  if (c > 0) field = static_cast<char32_t>(c);
}

void shortcut_fields(Io& io, Shortcut& s) {
  io.flag("enabled", s.enabled);
  code(io, "hold", s.hold, 3);
  code(io, "key", s.key, 3);
  code(io, "apps", s.apps, 4);
  code(io, "spaces", s.spaces, 2);
  code(io, "screens", s.screens, 2);
  code(io, "minimized", s.minimized, 3);
  code(io, "hidden", s.hidden, 3);
  code(io, "fullscreen", s.fullscreen, 3);
  code(io, "windowless", s.windowless, 2);
  code(io, "order", s.order, 4);
  optional_code(io, "style", s.style, STYLE_ABSENT);
  optional_code(io, "size", s.size, SIZE_ABSENT);
}

void exception_fields(Io& io, Exception& e) {
  io.text("bundleId", e.bundleId);
  code(io, "hide", e.hide, 3);
  code(io, "ignore", e.ignore, 3);
}

void app_hotkey_fields(Io& io, AppHotkey& h) {
  io.text("bundleId", h.bundleId);
  clamped(io, "code", h.code, 0, 127);
  clamped(io, "mods", h.mods, 0, 65535);
  io.text("label", h.label);
  io.flag("enabled", h.enabled);
}

// A list key holds an array of dictionaries. Reading skips elements that are not dictionaries,
// takes at most `most` of them, builds the n-th from `start(n)` and replaces the whole list;
// a value that is not an array leaves the list as it was.
template <class T, class Start, class Fields>
void list(Io& io, std::string_view key, std::vector<T>& items, size_t most, Start start, Fields each) {
  if (!io.reading()) {
    plist::Array array;
    for (T item : items) {
      Io element = Io::writer();
      each(element, item);
      array.emplace_back(std::move(element).into_dict());
    }
    io.put(key, std::move(array));
    return;
  }
  const plist::Value* v = io.find(key);
  const plist::Array* array = v ? v->get<plist::Array>() : nullptr;
  if (!array) return;
  std::vector<T> read;
  for (const plist::Value& element : *array) {
    if (read.size() == most) break;
    const plist::Dict* dict = element.get<plist::Dict>();
    if (!dict) continue;
    T item = start(read.size());
    Io in = Io::reader(*dict);
    each(in, item);
    read.push_back(std::move(item));
  }
  items = std::move(read);
}

constexpr size_t MAX_SHORTCUTS = 5;
constexpr size_t UNLIMITED = static_cast<size_t>(-1);

}  // namespace

// --- Io -------------------------------------------------------------------------------------

const plist::Value* Io::find(std::string_view key) const {
  if (!dict_) programming_error("Io::find in write mode");
  const auto it = dict_->find(key);
  return it == dict_->end() ? nullptr : &it->second;
}

void Io::put(std::string_view key, plist::Value value) {
  if (dict_) programming_error("Io::put in read mode");
  pairs_.emplace_back(std::string(key), std::move(value));
}

std::optional<int64_t> Io::integer(std::string_view key, int64_t current) {
  if (!dict_) {
    put(key, current);
    return std::nullopt;
  }
  const plist::Value* v = find(key);
  if (!v || !(v->get<int64_t>() || v->get<double>() || v->get<bool>())) return std::nullopt;
  return coerce_integer(v);
}

void Io::flag(std::string_view key, bool& field) {
  if (!dict_) return put(key, field);
  const plist::Value* v = find(key);
  if (v && (v->get<bool>() || v->get<int64_t>() || v->get<double>())) field = coerce_bool(v);
}

void Io::text(std::string_view key, std::string& field) {
  if (!dict_) return put(key, field);
  const plist::Value* v = find(key);
  if (const std::string* s = v ? v->get<std::string>() : nullptr) field = *s;
}

plist::Dict Io::into_dict() && {
  if (dict_) programming_error("Io::into_dict in read mode");
  plist::Dict dict;
  for (auto& [key, value] : pairs_) dict.insert_or_assign(std::move(key), std::move(value));
  return dict;
}

// --- The key table --------------------------------------------------------------------------

void fields(Io& io, Settings& s) {
  code(io, "style", s.style, 3);
  code(io, "size", s.size, 4);
  code(io, "theme", s.theme, 3);
  clamped(io, "opacityPct", s.opacityPct, 10, 100);
  clamped(io, "tint", s.tint, -100, 100);
  clamped(io, "corner", s.corner, 0, 40);
  code(io, "afterRelease", s.afterRelease, 2);
  io.flag("preview", s.preview);
  clamped(io, "previewOpacityPct", s.previewOpacityPct, 10, 100);
  clamped(io, "previewCoverPct", s.previewCoverPct, 0, 100);
  io.flag("previewBeside", s.previewBeside);
  clamped(io, "titlesMaxWidthPct", s.titlesMaxWidthPct, 30, 100);
  clamped(io, "titlesSizePct", s.titlesSizePct, 50, 200);
  clamped(io, "titlesFrameW", s.titlesFrameW, 0, 1000);
  clamped(io, "titlesFrameH", s.titlesFrameH, 0, 1000);
  clamped(io, "appIconsMaxWidthPct", s.appIconsMaxWidthPct, 30, 100);
  clamped(io, "appIconsSizePct", s.appIconsSizePct, 50, 200);
  clamped(io, "appIconsFrameW", s.appIconsFrameW, 0, 1000);
  clamped(io, "appIconsFrameH", s.appIconsFrameH, 0, 1000);
  clamped(io, "thumbnailsMaxWidthPct", s.thumbnailsMaxWidthPct, 30, 100);
  clamped(io, "thumbnailsSizePct", s.thumbnailsSizePct, 50, 200);
  clamped(io, "thumbnailsFrameW", s.thumbnailsFrameW, 0, 1000);
  clamped(io, "thumbnailsFrameH", s.thumbnailsFrameH, 0, 1000);
  clamped(io, "panelX", s.panelX, 0, 1000);
  clamped(io, "panelY", s.panelY, 0, 1000);
  code(io, "truncation", s.truncation, 3);
  code(io, "showTitles", s.showTitles, 3);
  io.flag("statusIcons", s.statusIcons);
  io.flag("spaceLabels", s.spaceLabels);
  clamped(io, "appIconsIconSize", s.appIconsIconSize, 0, 200);
  clamped(io, "appIconsRows", s.appIconsRows, 0, 6);
  io.flag("dockBadges", s.dockBadges);
  code(io, "showOn", s.showOn, 3);
  io.flag("fadeIn", s.fadeIn);
  io.flag("staggerIn", s.staggerIn);
  io.flag("liquidGlass", s.liquidGlass);
  io.flag("glide", s.glide);
  io.flag("swell", s.swell);
  io.flag("nameFade", s.nameFade);
  io.flag("closeSlide", s.closeSlide);
  io.flag("scrollFade", s.scrollFade);
  io.flag("fadeOut", s.fadeOut);
  clamped(io, "delayMs", s.delayMs, 0, 1000);
  list(io, "shortcuts", s.shortcuts, MAX_SHORTCUTS, Shortcut::slot, shortcut_fields);
  character(io, "closeKey", s.closeKey);
  character(io, "minimizeKey", s.minimizeKey);
  character(io, "fullscreenKey", s.fullscreenKey);
  character(io, "hideKey", s.hideKey);
  character(io, "quitKey", s.quitKey);
  io.flag("arrows", s.arrows);
  io.flag("vim", s.vim);
  io.flag("search", s.search);
  io.flag("hints", s.hints);
  io.flag("hover", s.hover);
  io.flag("scroll", s.scroll);
  io.flag("shiftTapBack", s.shiftTapBack);
  clamped(io, "hyperKey", s.hyperKey, 0, 9);
  io.flag("hyperShift", s.hyperShift);
  io.flag("cursorFollows", s.cursorFollows);
  list(io, "exceptions", s.exceptions, UNLIMITED, [](size_t) { return Exception{}; }, exception_fields);
  io.flag("appHotkeysOn", s.appHotkeysOn);
  list(io, "appHotkeys", s.appHotkeys, UNLIMITED, [](size_t) { return AppHotkey{}; }, app_hotkey_fields);
  io.flag("menubarIcon", s.menubarIcon);
  io.flag("backgroundCapture", s.backgroundCapture);
  io.flag("singleFocus", s.singleFocus);
  io.flag("border", s.border);
  clamped(io, "borderWidth", s.borderWidth, 1, 20);
  clamped(io, "borderFadeMs", s.borderFadeMs, 0, 1000);
  io.flag("borderGlow", s.borderGlow);
  io.text("borderColor", s.borderColor);
}

// --- Load and save --------------------------------------------------------------------------

namespace {

plist::Dict record_of(const Settings& settings) {
  Settings copy = settings;
  Io out = Io::writer();
  fields(out, copy);
  return std::move(out).into_dict();
}

}  // namespace

bool save(Defaults& defaults, const Settings& settings) { return defaults.write(record_of(settings)); }

Settings from_domain(const plist::Dict& domain) {
  Settings s = Settings::defaults();
  Io in = Io::reader(domain);
  fields(in, s);
  if (s.shortcuts.empty())
    for (size_t i = 0; i < MAX_SHORTCUTS; ++i) s.shortcuts.push_back(Shortcut::slot(i));
  return s;
}

Settings load(Defaults& defaults) {
  Settings s = Settings::defaults();
  if (auto domain = defaults.persistent_domain()) {
    // A value given on the command line overrides the stored one.
    for (auto& [key, value] : *domain)
      if (auto it = defaults.arguments().find(key); it != defaults.arguments().end()) value = it->second;
    s = from_domain(*domain);
  }

  // Both migrations end in one write: the migrated record, and the old keys removed.
  bool migrated = false;
  std::vector<std::string> old_keys;
  // Older size modes 0 and 2 were small and large items; they are now per-style scales.
  if ((s.size == 0 || s.size == 2) && !defaults.has("titlesSizePct")) {
    const uint8_t pct = s.size == 0 ? 75 : 130;
    s.titlesSizePct = s.appIconsSizePct = s.thumbnailsSizePct = pct;
    s.size = 1;
    migrated = true;
  }
  const bool all_spaces = defaults.has("allSpaces");
  if (all_spaces || defaults.has("iconStyle")) {
    if (all_spaces && !defaults.boolean("allSpaces"))
      for (size_t i = 0; i < std::min<size_t>(2, s.shortcuts.size()); ++i)
        s.shortcuts[i].spaces = SpacesFilter::Visible;
    if (defaults.boolean("iconStyle")) s.style = Style::AppIcons;
    old_keys = {"allSpaces", "iconStyle"};
  }
  if (migrated || !old_keys.empty()) {
    defaults.write(record_of(s), old_keys);
    if (!old_keys.empty()) log::log("prefs: migrated allSpaces/iconStyle");
  }
  return s;
}

// --- Keys outside the record ----------------------------------------------------------------

bool needs_onboarding(const Defaults& defaults) {
  if (defaults.boolean("onboarded")) return false;
  if (!defaults.has("shortcuts")) return true;  // a fresh installation
  return defaults.has("onboardingStep");        // started and not finished
}

bool guide_before(const Defaults& defaults, int64_t step) {
  return needs_onboarding(defaults) && defaults.integer("onboardingStep") < step;
}

bool recording_hotkey(const Defaults& defaults) { return defaults.boolean("recordingHotkey"); }

bool debug(const Defaults& defaults) { return defaults.boolean("debug"); }

bool clear_recording_hotkey(Defaults& defaults) { return defaults.remove("recordingHotkey"); }

}  // namespace mirvex::prefs
