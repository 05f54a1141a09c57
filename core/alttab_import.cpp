#include "core/alttab_import.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>

#include "core/keyed_archive.h"
#include "core/text.h"

namespace mirvex::AltTabImport {
namespace {

// --- AltTab's stored values -------------------------------------------------------------------

const plist::Value* lookup(const plist::Value* v, std::string_view key) {
  const plist::Dict* d = v ? v->get<plist::Dict>() : nullptr;
  if (!d) return nullptr;
  const auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

const plist::Value* lookup(const plist::Dict& d, std::string_view key) {
  const auto it = d.find(key);
  return it == d.end() ? nullptr : &it->second;
}

const std::string* text_of(const plist::Value* v) { return v ? v->get<std::string>() : nullptr; }

// What the platform's string reading of a stored value yields: the store's coercion, and a
// boolean as "1" or "0" (a boolean is a number object there, and AltTab's flags may be stored
// as booleans).
std::optional<std::string> string_for(const plist::Value* v) {
  if (const bool* b = v ? v->get<bool>() : nullptr) return *b ? "1" : "0";
  return coerce_string(v);
}

// A decimal integer: an optional sign, then digits only, within 64 bits.
std::optional<int64_t> parse_decimal(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);  // from_chars takes "-" but not "+"
  const std::string_view digits = !plus && !text.empty() && text.front() == '-' ? text.substr(1) : text;
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int64_t integer(const plist::Dict& domain, std::string_view key, int64_t fallback) {
  const auto text = string_for(lookup(domain, key));
  if (!text) return fallback;
  return parse_decimal(*text).value_or(fallback);
}

bool flag(const plist::Dict& domain, std::string_view key, bool fallback) {
  const auto text = string_for(lookup(domain, key));
  if (!text) return fallback;
  return *text == "true" || *text == "1";
}

// A recorded shortcut as AltTab stores it: a dictionary whose "secureData" is the archive.
std::optional<RecordedKeys> keys(const plist::Value* value) {
  const plist::Value* data = lookup(value, "secureData");
  const plist::Data* bytes = data ? data->get<plist::Data>() : nullptr;
  if (!bytes) return std::nullopt;
  return decode_keys(*bytes);
}

// An action letter: a dictionary whose "string" is exactly one letter; our keys hold one Unicode
// scalar, so one scalar is what is accepted. Lower-cased, as UTF-8.
std::optional<std::string> letter(const plist::Value* value) {
  const std::string* text = text_of(lookup(value, "string"));
  if (!text || text->empty() || text->size() > U8_MAX_LENGTH) return std::nullopt;
  const auto* s = reinterpret_cast<const uint8_t*>(text->data());
  const auto length = static_cast<int32_t>(text->size());
  int32_t i = 0;
  UChar32 c = 0;
  U8_NEXT(s, i, length, c);
  if (c < 0 || i != length || !u_isalpha(c)) return std::nullopt;
  std::string out;
  if (!text::append_utf8(out, static_cast<char32_t>(u_tolower(c)))) return std::nullopt;
  return out;
}

// --- The plan ---------------------------------------------------------------------------------

// Per-slot keys: slot 0 uses the bare key, slot n from 1 appends the number n + 1.
std::string slot_key(std::string_view key, size_t slot) {
  return slot == 0 ? std::string(key) : fmt::format("{}{}", key, slot + 1);
}

std::optional<SlotRecord> slot(const plist::Dict& domain, size_t i) {
  SlotRecord r;
  const auto hold = keys(lookup(domain, slot_key("holdShortcut", i)));
  const uint64_t flags = hold ? hold->flags : OPTION;
  if (flags & COMMAND) r.hold = 0;
  else if (flags & OPTION) r.hold = 1;
  else if (flags & CONTROL) r.hold = 2;
  else return std::nullopt;

  const auto next = keys(lookup(domain, slot_key("nextWindowShortcut", i)));
  const int64_t code = next ? next->code : i == 0 ? 48 : i == 1 ? 50 : -1;
  switch (code) {
    case 48: r.key = 0; break;  // Tab
    case 50: r.key = 1; break;  // grave accent
    case 49: r.key = 2; break;  // Space
    default: return std::nullopt;
  }

  const auto get = [&](std::string_view key, int64_t fallback) {
    return integer(domain, slot_key(key, i), fallback);
  };
  // Codes outside their range read as the lowest code: a negative stored value would otherwise
  // be written here and then be ignored when our settings load.
  const auto capped = [](int64_t v, int64_t high) {
    return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, high));
  };
  const int64_t apps = get("appsToShow", i <= 2 ? static_cast<int64_t>(i) : 0);
  const int64_t windows = get("showAppsOrWindows", 1);
  r.apps = apps == 0 && windows == 0 ? 3 : apps >= 0 && apps < 3 ? static_cast<uint8_t>(apps) : 0;
  r.spaces = get("spacesToShow", 0) == 1 ? 1 : 0;
  r.screens = get("screensToShow", 0) == 1 ? 1 : 0;
  r.minimized = capped(get("showMinimizedWindows", 0), 2);
  r.hidden = capped(get("showHiddenWindows", 0), 2);
  r.fullscreen = capped(get("showFullscreenWindows", 0), 2);
  r.windowless = get("showWindowlessApps", 2) == 1 ? 1 : 0;
  r.order = capped(get("windowOrder", 0), 3);
  return r;
}

PlanLine line(const SlotRecord& r) {
  static constexpr std::array<std::string_view, 3> HOLD = {"⌘", "⌥", "⌃"};
  static constexpr std::array<std::string_view, 3> KEY = {"Tab", "`", "Space"};
  static constexpr std::array<std::string_view, 3> WHAT = {"Every window", "This app’s windows",
                                                           "Other apps’ windows"};
  return {{std::string(HOLD[r.hold]), std::string(KEY[r.key])},
          std::string(r.apps == 3 ? "One window per app" : WHAT[r.apps])};
}

// AltTab keeps its exceptions as JSON text: an array of objects with "bundleIdentifier",
// "hide" and "ignore" as text.
std::vector<Exception> exceptions(const plist::Dict& domain) {
  const std::string* stored = text_of(lookup(domain, "exceptions"));
  if (!stored) return {};
  const auto json = nlohmann::json::parse(*stored, nullptr, false);
  if (!json.is_array() ||
      !std::all_of(json.begin(), json.end(), [](const auto& e) { return e.is_object(); }))
    return {};
  const auto text_at = [](const nlohmann::json& e, const char* key) -> std::optional<std::string> {
    const auto it = e.find(key);
    if (it == e.end() || !it->is_string()) return std::nullopt;
    return it->template get<std::string>();
  };
  std::vector<Exception> out;
  for (const auto& e : json) {
    const auto id = text_at(e, "bundleIdentifier");
    if (!id || (!id->empty() && id->back() == '.')) continue;
    Exception x{*id, 0, 0};
    // Only AltTab's codes 0 to 2 carry over; anything else, negative numbers included, is 0.
    if (const auto hide = text_at(e, "hide"))
      if (const auto n = parse_decimal(*hide); n && *n >= 0 && *n < 3)
        x.hide = static_cast<uint8_t>(*n);
    const auto ignore = text_at(e, "ignore");
    x.ignore = ignore == "1" ? 2 : ignore == "2" ? 1 : 0;
    if (x.hide != 0 || x.ignore != 0) out.push_back(std::move(x));
  }
  return out;
}

// --- Applying a plan ---------------------------------------------------------------------

// Slot j of the plan as a stored shortcut dictionary: the full record, or only `enabled` false.
plist::Dict slot_dict(const std::optional<SlotRecord>& r) {
  if (!r) return {{"enabled", false}};
  return {{"enabled", true},           {"hold", r->hold},         {"key", r->key},
          {"apps", r->apps},           {"spaces", r->spaces},     {"screens", r->screens},
          {"minimized", r->minimized}, {"hidden", r->hidden},     {"fullscreen", r->fullscreen},
          {"windowless", r->windowless}, {"order", r->order}};
}

plist::Value exception_dict(const Exception& e) {
  return plist::Dict{{"bundleId", e.bundleId}, {"hide", e.hide}, {"ignore", e.ignore}};
}

// Merges the plan's slots into the stored shortcut dictionaries. Elements that are not
// dictionaries are dropped: our settings skip them when they load, so slot j is the j-th
// dictionary, and merging by raw position would put a slot's keys on the wrong shortcut.
plist::Array merged_shortcuts(const Plan& plan, const plist::Value* current) {
  plist::Array out;
  if (const plist::Array* stored = current ? current->get<plist::Array>() : nullptr)
    for (const plist::Value& e : *stored)
      if (e.get<plist::Dict>()) out.push_back(e);
  for (size_t j = 0; j < plan.shortcuts.size(); ++j) {
    plist::Dict d = slot_dict(plan.shortcuts[j]);
    if (j < out.size()) {
      for (auto& [key, v] : d) (*out[j].get<plist::Dict>())[key] = std::move(v);
    } else {
      out.push_back(std::move(d));
    }
  }
  return out;
}

plist::Array merged_exceptions(const Plan& plan, const plist::Value* current) {
  plist::Array out;
  if (const plist::Array* stored = current ? current->get<plist::Array>() : nullptr) {
    out = *stored;
  } else {
    for (const Exception& e : default_exceptions()) out.push_back(exception_dict(e));
  }
  for (const Exception& e : plan.exceptions) {
    std::erase_if(out, [&](const plist::Value& v) {
      const std::string* id = text_of(lookup(&v, "bundleId"));
      return id && *id == e.bundleId;
    });
    out.push_back(exception_dict(e));
  }
  return out;
}

}  // namespace

std::optional<RecordedKeys> decode_keys(std::span<const uint8_t> archive) {
  const auto a = KeyedArchive::open(archive);
  if (!a) return std::nullopt;
  const auto root = a->top("root");
  if (!root.value || a->class_name(*root.value) != "SRShortcut") return std::nullopt;
  const auto code = a->number(*root.value, "keyCode");
  const auto flags = a->number(*root.value, "modifierFlags");
  if (code.wrong_type || flags.wrong_type) return std::nullopt;
  return RecordedKeys{code.value ? code.value->value : -1,
                      flags.value ? flags.value->unsigned_value : 0};
}

plist::Dict changes(const Plan& plan, const plist::Value* shortcuts,
                    const plist::Value* exceptions) {
  plist::Dict out = plan.values;
  out["shortcuts"] = merged_shortcuts(plan, shortcuts);
  out["exceptions"] = merged_exceptions(plan, exceptions);
  return out;
}

bool apply(Defaults& ours, const Plan& plan) {
  const auto shortcuts = ours.object("shortcuts");
  const auto exceptions = ours.object("exceptions");
  return ours.write(changes(plan, shortcuts ? &*shortcuts : nullptr,
                            exceptions ? &*exceptions : nullptr));
}

std::optional<Plan> read(const Defaults& alttab) {
  if (alttab.unreadable()) return std::nullopt;
  return read(alttab.persistent_domain().value_or(plist::Dict{}));
}

Plan read(const plist::Dict& domain) {
  Plan plan;
  const auto put = [&](const char* key, plist::Value v) { plan.values[key] = std::move(v); };

  // AltTab's thumbnails, app icons and list are our styles 2, 1 and 0.
  static constexpr std::array<const char*, 3> LOOKS = {"thumbnails", "app icons", "list"};
  if (const int64_t style = integer(domain, "appearanceStyle", 0); style >= 0 && style <= 2) {
    put("style", int64_t{2 - style});
    plan.look = LOOKS[static_cast<size_t>(style)];
  }

  struct Ranged { const char* key; const char* from; int64_t fallback, high; };
  for (const Ranged r : {Ranged{"size", "appearanceSize", 3, 3},
                         Ranged{"theme", "appearanceTheme", 2, 2},
                         Ranged{"showOn", "showOnScreen", 0, 2},
                         Ranged{"truncation", "titleTruncation", 2, 2},
                         Ranged{"afterRelease", "shortcutStyle", 0, 1}}) {
    const int64_t v = integer(domain, r.from, r.fallback);
    if (v >= 0 && v <= r.high) put(r.key, v);
  }

  // Sizes 0 and 2 are older size modes: the same conversion as our own settings migration.
  if (const auto size = plan.values.find("size"); size != plan.values.end()) {
    const int64_t mode = *size->second.get<int64_t>();
    if (mode == 0 || mode == 2) {
      const int64_t pct = mode == 0 ? 75 : 130;
      put("size", int64_t{1});
      for (const char* key : {"titlesSizePct", "appIconsSizePct", "thumbnailsSizePct"})
        put(key, pct);
    }
  }

  struct Flag { const char* key; const char* from; bool fallback; };
  for (const Flag f : {Flag{"arrows", "arrowKeysEnabled", true},
                       Flag{"vim", "vimKeysEnabled", false},
                       Flag{"hover", "mouseHoverEnabled", false},
                       Flag{"fadeOut", "fadeOutAnimation", false},
                       Flag{"preview", "previewFocusedWindow", false},
                       Flag{"backgroundCapture", "captureWindowsInBackground", true},
                       Flag{"menubarIcon", "menubarIconShown", true}})
    put(f.key, flag(domain, f.from, f.fallback));

  put("statusIcons", !flag(domain, "hideStatusIcons", false));
  put("spaceLabels", !flag(domain, "hideSpaceNumberLabels", true));
  put("cursorFollows", integer(domain, "cursorFollowFocus", 0) != 0);
  put("delayMs", std::clamp<int64_t>(integer(domain, "windowDisplayDelay", 100), 0, 1000));

  struct Letter { const char* key; const char* from; };
  for (const Letter l : {Letter{"closeKey", "closeWindowShortcut"},
                         Letter{"minimizeKey", "minDeminWindowShortcut"},
                         Letter{"fullscreenKey", "toggleFullscreenWindowShortcut"},
                         Letter{"hideKey", "hideShowAppShortcut"},
                         Letter{"quitKey", "quitAppShortcut"}})
    if (auto c = letter(lookup(domain, l.from))) put(l.key, std::move(*c));

  const auto count = static_cast<size_t>(std::clamp<int64_t>(integer(domain, "shortcutCount", 2), 1, 5));
  for (size_t i = 0; i < count; ++i) {
    plan.shortcuts[i] = slot(domain, i);
    if (plan.shortcuts[i]) plan.lines.push_back(line(*plan.shortcuts[i]));
  }

  plan.exceptions = exceptions(domain);
  return plan;
}

}  // namespace mirvex::AltTabImport
