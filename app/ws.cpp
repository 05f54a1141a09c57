#include "app/ws.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "app/private.h"
#include "sys/port.h"

namespace mirvex::ws {

namespace {

constexpr std::string_view WINDOW_MANAGER = "WindowManager";
constexpr int32_t OVERLAY_LAYER = 19;
constexpr double OVERLAY_TOLERANCE = 2.0;

// Narrowing that saturates instead of overflowing on a hostile value.
float narrow(double d) {
  constexpr double lim = std::numeric_limits<float>::max();
  return std::isnan(d) ? static_cast<float>(d) : static_cast<float>(std::clamp(d, -lim, lim));
}

const sys::Array* spaces_of(const sys::Value& display) {
  const sys::Value* s = display.get(sys::ds::SPACES);
  return s ? s->array() : nullptr;
}

std::optional<SpaceId> id64(const sys::Value& space) {
  auto id = num(space, sys::ds::ID64);
  if (!id) return std::nullopt;
  return sys::saturate<uint64_t>(*id);
}

// The managed-display description as a list of displays; empty when it is missing.
std::vector<sys::Value> displays(sys::Cid cid) {
  std::optional<sys::Value> desc = P().CGSCopyManagedDisplaySpaces(cid);
  if (!desc || !desc->array()) return {};
  return *desc->array();
}

// Positions an iterator on the one window; none when any step fails.
std::optional<sys::WindowIterator> query_one(const Private::Query& q, Wid wid) {
  const sys::Cid cid = P().CGSMainConnectionID();
  auto query = q.SLSWindowQueryWindows(cid, sys::Array{sys::Value(int64_t{static_cast<int32_t>(wid)})}, 1);
  if (!query) return std::nullopt;
  auto it = q.SLSWindowQueryResultCopyWindows(*query);
  if (!it || !q.SLSWindowIteratorAdvance(*it)) return std::nullopt;
  return it;
}

}  // namespace

std::optional<double> num(const sys::Value& entry, std::string_view key) {
  const sys::Value* v = entry.get(key);
  if (!v || !v->number()) return std::nullopt;
  return v->number()->as_double();
}

std::optional<std::vector<WindowInfo>> windows(uint32_t options, bool any_layer) {
  std::optional<sys::Value> list = sys::port().window_list(options, 0);
  if (!list || !list->array()) return std::nullopt;
  std::vector<WindowInfo> out;
  out.reserve(list->array()->size());
  for (const sys::Value& entry : *list->array()) {
    auto layer = num(entry, sys::wl::LAYER);
    if (!layer) continue;
    const int32_t l = sys::saturate<int32_t>(*layer);
    if (l != 0 && !any_layer) continue;
    auto wid = num(entry, sys::wl::NUMBER);
    auto pid = num(entry, sys::wl::OWNER_PID);
    if (!wid || !pid) continue;
    WindowInfo w;
    if (const sys::Value* b = entry.get(sys::wl::BOUNDS); b && b->dict())
      if (auto r = sys::rect_from_dict(*b)) w.bounds = *r;
    w.wid = sys::saturate<uint32_t>(*wid);
    w.pid = sys::saturate<int32_t>(*pid);
    w.layer = l;
    w.alpha = narrow(num(entry, sys::wl::ALPHA).value_or(1.0));
    const sys::Value* on = entry.get(sys::wl::IS_ONSCREEN);
    w.onscreen = on && on->boolean() && *on->boolean();
    out.push_back(std::move(w));
  }
  return out;
}

std::optional<ev::Snapshot> snapshot() {
  const Stamp seq = next_stamp();
  auto list = windows(ALL_SPACES, false);
  if (!list) return std::nullopt;

  const sys::Cid cid = P().CGSMainConnectionID();
  std::unordered_map<Wid, std::vector<SpaceId>> on;
  for (const sys::Value& display : displays(cid)) {
    const sys::Array* spaces = spaces_of(display);
    if (!spaces) continue;
    for (const sys::Value& space : *spaces) {
      auto id = id64(space);
      if (!id) continue;
      uint64_t set_tags = 0, clear_tags = 0;
      auto wids = P().CGSCopyWindowsWithOptionsAndTags(cid, 0, sys::Array{sys::Value(static_cast<int64_t>(*id))}, 7,
                                                       set_tags, clear_tags);
      if (!wids || !wids->array()) continue;
      for (const sys::Value& v : *wids->array())
        if (const sys::Number* n = v.number()) on[static_cast<Wid>(n->as_int64() & 0xFFFFFFFF)].push_back(*id);
    }
  }
  for (WindowInfo& w : *list)
    if (auto it = on.find(w.wid); it != on.end()) w.spaces = std::move(it->second);
  return ev::Snapshot{std::move(*list), seq};
}

std::vector<SpaceId> user_spaces() {
  std::vector<SpaceId> out;
  for (const sys::Value& display : displays(P().CGSMainConnectionID())) {
    const sys::Array* spaces = spaces_of(display);
    if (!spaces) continue;
    for (const sys::Value& space : *spaces)
      if (num(space, sys::ds::TYPE) == 0.0)
        if (auto id = id64(space)) out.push_back(*id);
  }
  return out;
}

std::vector<SpaceId> visible_spaces() {
  const sys::Cid cid = P().CGSMainConnectionID();
  std::vector<SpaceId> out;
  for (const sys::Value& display : displays(cid)) {
    const sys::Value* id = display.get(sys::ds::DISPLAY_IDENTIFIER);
    if (id && id->string()) out.push_back(P().CGSManagedDisplayGetCurrentSpace(cid, *id->string()));
  }
  return out;
}

bool top_level(Wid wid) {
  const auto& q = P().query;
  if (!q) return false;
  auto it = query_one(*q, wid);
  if (!it) return false;
  const uint64_t tags = q->SLSWindowIteratorGetTags(*it);
  const uint32_t attributes = q->SLSWindowIteratorGetAttributes(*it);
  const Wid parent = q->SLSWindowIteratorGetParentID(*it);
  if ((tags & 0x40080) != 0 || parent != 0) return false;  // tag bit 7 or 18, or a child window
  if ((attributes & 0x2) == 0 && (tags & 0x0400000000000000ull) == 0) return false;
  if (tags & 0x1) return true;
  return (tags & 0x2) && (tags & 0x80000000ull);
}

std::optional<double> corner_radius(Wid wid) {
  const auto& q = P().query;
  const auto& radii = P().SLSWindowIteratorGetResolvedCornerRadii;
  if (!q || !radii) return std::nullopt;
  auto it = query_one(*q, wid);
  if (!it) return std::nullopt;
  auto values = (*radii)(*it);
  if (!values || !values->array() || values->array()->empty()) return std::nullopt;
  const sys::Number* first = values->array()->front().number();
  if (!first) return std::nullopt;
  return first->as_double();
}

bool owned_by_window_manager(const sys::Value& entry) {
  const sys::Value* owner = entry.get(sys::wl::OWNER_NAME);
  return owner && owner->string() && *owner->string() == WINDOW_MANAGER;
}

bool window_manager_window(Wid wid) {
  auto list = sys::port().window_list(sys::wl::INCLUDING_WINDOW, wid);
  if (!list || !list->array()) return false;
  for (const sys::Value& entry : *list->array())
    if (owned_by_window_manager(entry)) return true;
  return false;
}

std::unordered_set<Wid> mission_control_overlays() {
  std::unordered_set<Wid> out;
  if (!sys::main_queue().is_main_thread()) return out;
  const std::vector<sys::Screen> screens = sys::port().screens();
  if (screens.empty()) return out;
  const double h = screens.front().frame.h;
  auto list = sys::port().window_list(ON_SCREEN, 0);
  if (!list || !list->array()) return out;
  for (const sys::Value& entry : *list->array()) {
    if (num(entry, sys::wl::LAYER) != double{OVERLAY_LAYER} || !owned_by_window_manager(entry)) continue;
    const sys::Value* b = entry.get(sys::wl::BOUNDS);
    auto r = b ? sys::rect_from_dict(*b) : std::nullopt;
    if (!r) continue;
    for (const sys::Screen& s : screens) {
      const Rect& f = s.frame;
      if (std::abs(r->x - f.x) <= OVERLAY_TOLERANCE && std::abs(r->y - (h - f.y - f.h)) <= OVERLAY_TOLERANCE &&
          std::abs(r->w - f.w) <= OVERLAY_TOLERANCE && std::abs(r->h - f.h) <= OVERLAY_TOLERANCE) {
        if (auto wid = num(entry, sys::wl::NUMBER)) out.insert(sys::saturate<uint32_t>(*wid));
        break;
      }
    }
  }
  return out;
}

}  // namespace mirvex::ws
