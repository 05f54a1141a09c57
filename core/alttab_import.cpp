#include "core/alttab_import.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "core/keyed_archive.h"

namespace mirvex::AltTabImport {
namespace {

// --- AltTab's stored values -------------------------------------------------------------------

plist_t lookup(plist_t dict, std::string_view key) {
  if (!dict || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
  return plist_dict_get_item(dict, std::string(key).c_str());
}

std::optional<std::string_view> text_of(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return std::nullopt;
  return std::string_view(text, length);
}

// What the platform's string reading of a stored value yields: text as it is, a number as its
// decimal text (a boolean as "1" or "0", a real as its shortest round description), anything
// else nothing.
std::optional<std::string> string_for(plist_t node) {
  if (!node) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      const auto text = text_of(node);
      return text ? std::optional<std::string>(*text) : std::nullopt;
    }
    case PLIST_UINT: {
      uint64_t raw = 0;
      plist_get_uint_val(node, &raw);
      return std::to_string(static_cast<int64_t>(raw));
    }
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return b ? "1" : "0";
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return fmt::format("{:.16g}", d);
    }
    default:
      return std::nullopt;
  }
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

int64_t integer(plist_t domain, std::string_view key, int64_t fallback) {
  const auto text = string_for(lookup(domain, key));
  if (!text) return fallback;
  return parse_decimal(*text).value_or(fallback);
}

bool flag(plist_t domain, std::string_view key, bool fallback) {
  const auto text = string_for(lookup(domain, key));
  if (!text) return fallback;
  return *text == "true" || *text == "1";
}

// A recorded shortcut as AltTab stores it: a dictionary whose "secureData" is the archive.
std::optional<RecordedKeys> keys(plist_t value) {
  plist_t data = lookup(value, "secureData");
  if (!data || plist_get_node_type(data) != PLIST_DATA) return std::nullopt;
  uint64_t length = 0;
  const char* bytes = plist_get_data_ptr(data, &length);
  if (!bytes) return std::nullopt;
  return decode_keys({reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(length)});
}

// An action letter: a dictionary whose "string" is exactly one letter; our keys hold one Unicode
// scalar, so one scalar is what is accepted. Lower-cased, as UTF-8.
std::optional<std::string> letter(plist_t value) {
  const auto text = text_of(lookup(value, "string"));
  if (!text) return std::nullopt;
  const auto* s = reinterpret_cast<const uint8_t*>(text->data());
  const auto length = static_cast<int32_t>(std::min<size_t>(text->size(), INT32_MAX));
  int32_t i = 0;
  UChar32 c = 0;
  if (length == 0) return std::nullopt;
  U8_NEXT(s, i, length, c);
  if (c < 0 || i != length || !u_isalpha(c)) return std::nullopt;
  const UChar32 lower = u_tolower(c);
  char out[U8_MAX_LENGTH];
  int32_t n = 0;
  UBool error = false;
  U8_APPEND(reinterpret_cast<uint8_t*>(out), n, U8_MAX_LENGTH, lower, error);
  if (error) return std::nullopt;
  return std::string(out, static_cast<size_t>(n));
}

// --- The plan ---------------------------------------------------------------------------------

void put(Plan& plan, std::string_view key, PlanValue value) {
  for (auto& [k, v] : plan.values)
    if (k == key) {
      v = std::move(value);
      return;
    }
  plan.values.emplace_back(std::string(key), std::move(value));
}

// Per-slot keys: slot 0 uses the bare key, slot n from 1 appends the number n + 1.
std::string slot_key(std::string_view key, size_t slot) {
  return slot == 0 ? std::string(key) : fmt::format("{}{}", key, slot + 1);
}

std::optional<SlotRecord> slot(plist_t domain, size_t i) {
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
std::vector<Exception> exceptions(plist_t domain) {
  const auto text = text_of(lookup(domain, "exceptions"));
  if (!text) return {};
  const auto json = nlohmann::json::parse(*text, nullptr, false);
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

Node node(plist_t p) { return Node(p, plist_free); }

Node value_node(const PlanValue& v) {
  if (const bool* b = std::get_if<bool>(&v)) return node(plist_new_bool(*b));
  // libplist keeps integers as 64 bits; a negative one is stored in two's complement.
  if (const int64_t* i = std::get_if<int64_t>(&v)) return node(plist_new_uint(static_cast<uint64_t>(*i)));
  return node(plist_new_string(std::get<std::string>(v).c_str()));
}

// Slot j of the plan as a stored shortcut dictionary: the full record in our key order, or
// only `enabled` = false.
Node slot_dict(const std::optional<SlotRecord>& r) {
  Node d = node(plist_new_dict());
  plist_dict_set_item(d.get(), "enabled", plist_new_bool(r.has_value()));
  if (!r) return d;
  const std::pair<const char*, uint8_t> fields[] = {
      {"hold", r->hold},         {"key", r->key},           {"apps", r->apps},
      {"spaces", r->spaces},     {"screens", r->screens},   {"minimized", r->minimized},
      {"hidden", r->hidden},     {"fullscreen", r->fullscreen}, {"windowless", r->windowless},
      {"order", r->order}};
  for (const auto& [key, v] : fields) plist_dict_set_item(d.get(), key, plist_new_uint(v));
  return d;
}

Node exception_dict(const Exception& e) {
  Node d = node(plist_new_dict());
  plist_dict_set_item(d.get(), "bundleId", plist_new_string(e.bundleId.c_str()));
  plist_dict_set_item(d.get(), "hide", plist_new_uint(e.hide));
  plist_dict_set_item(d.get(), "ignore", plist_new_uint(e.ignore));
  return d;
}

bool is_array(plist_t p) { return p && plist_get_node_type(p) == PLIST_ARRAY; }
bool is_dict(plist_t p) { return p && plist_get_node_type(p) == PLIST_DICT; }

// Merges the plan's slots into the stored shortcut dictionaries. Elements that are not
// dictionaries are dropped: our settings skip them when they load, so slot j is the j-th
// dictionary, and merging by raw position would put a slot's keys on the wrong shortcut.
Node merged_shortcuts(const Plan& plan, plist_t current) {
  Node out = node(plist_new_array());
  const uint32_t n = is_array(current) ? plist_array_get_size(current) : 0;
  for (uint32_t i = 0; i < n; ++i) {
    plist_t e = plist_array_get_item(current, i);
    if (is_dict(e)) plist_array_append_item(out.get(), plist_copy(e));
  }
  for (size_t j = 0; j < plan.shortcuts.size(); ++j) {
    Node d = slot_dict(plan.shortcuts[j]);
    if (j < plist_array_get_size(out.get())) {
      plist_t target = plist_array_get_item(out.get(), static_cast<uint32_t>(j));
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(d.get(), &it);
      char* key = nullptr;
      plist_t v = nullptr;
      for (plist_dict_next_item(d.get(), it, &key, &v); key;
           plist_dict_next_item(d.get(), it, &key, &v)) {
        plist_dict_set_item(target, key, plist_copy(v));
        free(key);
        key = nullptr;
      }
      free(it);
    } else {
      plist_array_append_item(out.get(), d.release());
    }
  }
  return out;
}

std::optional<std::string_view> bundle_id_of(plist_t e) { return text_of(lookup(e, "bundleId")); }

Node merged_exceptions(const Plan& plan, plist_t current) {
  Node out = node(plist_new_array());
  if (is_array(current)) {
    const uint32_t n = plist_array_get_size(current);
    for (uint32_t i = 0; i < n; ++i)
      plist_array_append_item(out.get(), plist_copy(plist_array_get_item(current, i)));
  } else {
    for (const Exception& e : default_exceptions())
      plist_array_append_item(out.get(), exception_dict(e).release());
  }
  for (const Exception& e : plan.exceptions) {
    for (uint32_t i = plist_array_get_size(out.get()); i-- > 0;)
      if (bundle_id_of(plist_array_get_item(out.get(), i)) == e.bundleId)
        plist_array_remove_item(out.get(), i);
    plist_array_append_item(out.get(), exception_dict(e).release());
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

const PlanValue* Plan::value(std::string_view key) const {
  for (const auto& [k, v] : values)
    if (k == key) return &v;
  return nullptr;
}

std::vector<std::pair<std::string, Node>> changes(const Plan& plan, plist_t shortcuts,
                                                  plist_t exceptions) {
  std::vector<std::pair<std::string, Node>> out;
  for (const auto& [key, v] : plan.values) out.emplace_back(key, value_node(v));
  out.emplace_back("shortcuts", merged_shortcuts(plan, shortcuts));
  out.emplace_back("exceptions", merged_exceptions(plan, exceptions));
  return out;
}

std::optional<Plan> read(plist_t domain) {
  if (!domain || plist_get_node_type(domain) != PLIST_DICT) return std::nullopt;
  Plan plan;

  // AltTab's thumbnails, app icons and list are our styles 2, 1 and 0.
  static constexpr std::array<const char*, 3> LOOKS = {"thumbnails", "app icons", "list"};
  if (const int64_t style = integer(domain, "appearanceStyle", 0); style >= 0 && style <= 2) {
    put(plan, "style", int64_t{2 - style});
    plan.look = LOOKS[static_cast<size_t>(style)];
  }

  struct Ranged { const char* key; const char* from; int64_t fallback, high; };
  for (const Ranged r : {Ranged{"size", "appearanceSize", 3, 3},
                         Ranged{"theme", "appearanceTheme", 2, 2},
                         Ranged{"showOn", "showOnScreen", 0, 2},
                         Ranged{"truncation", "titleTruncation", 2, 2},
                         Ranged{"afterRelease", "shortcutStyle", 0, 1}}) {
    const int64_t v = integer(domain, r.from, r.fallback);
    if (v >= 0 && v <= r.high) put(plan, r.key, v);
  }

  // Sizes 0 and 2 are older size modes: the same conversion as our own settings migration.
  if (const PlanValue* size = plan.value("size")) {
    const int64_t mode = std::get<int64_t>(*size);
    if (mode == 0 || mode == 2) {
      const int64_t pct = mode == 0 ? 75 : 130;
      put(plan, "size", int64_t{1});
      for (const char* key : {"titlesSizePct", "appIconsSizePct", "thumbnailsSizePct"})
        put(plan, key, pct);
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
    put(plan, f.key, flag(domain, f.from, f.fallback));

  put(plan, "statusIcons", !flag(domain, "hideStatusIcons", false));
  put(plan, "spaceLabels", !flag(domain, "hideSpaceNumberLabels", true));
  put(plan, "cursorFollows", integer(domain, "cursorFollowFocus", 0) != 0);
  put(plan, "delayMs", std::clamp<int64_t>(integer(domain, "windowDisplayDelay", 100), 0, 1000));

  struct Letter { const char* key; const char* from; };
  for (const Letter l : {Letter{"closeKey", "closeWindowShortcut"},
                         Letter{"minimizeKey", "minDeminWindowShortcut"},
                         Letter{"fullscreenKey", "toggleFullscreenWindowShortcut"},
                         Letter{"hideKey", "hideShowAppShortcut"},
                         Letter{"quitKey", "quitAppShortcut"}})
    if (auto c = letter(lookup(domain, l.from))) put(plan, l.key, std::move(*c));

  const auto count = static_cast<size_t>(std::clamp<int64_t>(integer(domain, "shortcutCount", 2), 1, 5));
  for (size_t i = 0; i < count; ++i) {
    plan.shortcuts[i] = slot(domain, i);
    if (plan.shortcuts[i]) plan.lines.push_back(line(*plan.shortcuts[i]));
  }

  plan.exceptions = exceptions(domain);
  return plan;
}

}  // namespace mirvex::AltTabImport
