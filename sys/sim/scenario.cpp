#include "sys/sim/scenario.h"

#include <fmt/format.h>

#include <fstream>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>

namespace mirvex::sys::sim {

using nlohmann::json;

namespace {

// A JSON object being read, with its path for messages; members not read are rejected, so a
// misspelt key is an error rather than a silently ignored setting.
class Obj {
 public:
  Obj(const json& j, std::string path) : j_(j), path_(std::move(path)) {
    if (!j_.is_object()) fail(path_, "expected an object");
  }

  [[noreturn]] static void fail(const std::string& path, std::string_view what) {
    throw ScenarioError(fmt::format("{}: {}", path.empty() ? "(top)" : path, what));
  }

  const json* find(const char* key) {
    seen_.insert(key);
    auto it = j_.find(key);
    return it == j_.end() ? nullptr : &*it;
  }
  std::string at(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

  bool flag(const char* key, bool dflt) {
    const json* v = find(key);
    if (!v) return dflt;
    if (!v->is_boolean()) fail(at(key), "expected true or false");
    return v->get<bool>();
  }
  double real(const char* key, double dflt) {
    const json* v = find(key);
    if (!v) return dflt;
    if (!v->is_number()) fail(at(key), "expected a number");
    return v->get<double>();
  }
  template <class T>
  T integer(const char* key, T dflt) {
    const json* v = find(key);
    return v ? integer_of<T>(*v, at(key)) : dflt;
  }
  template <class T>
  std::optional<T> opt_integer(const char* key) {
    const json* v = find(key);
    if (!v || v->is_null()) return std::nullopt;
    return integer_of<T>(*v, at(key));
  }
  std::optional<std::string> opt_text(const char* key) {
    const json* v = find(key);
    if (!v || v->is_null()) return std::nullopt;
    if (!v->is_string()) fail(at(key), "expected a string or null");
    return v->get<std::string>();
  }
  std::string text(const char* key, std::string dflt) { return opt_text(key).value_or(std::move(dflt)); }
  Rect rect(const char* key) {
    const json* v = find(key);
    if (!v) return {};
    return rect_of(*v, at(key));
  }
  Value raw(const char* key) {
    const json* v = find(key);
    if (!v) return {};
    if (!v->is_object()) fail(at(key), "expected an object");
    return to_value(*v);
  }
  template <class F>
  void each(const char* key, F&& f) {
    const json* v = find(key);
    if (!v) return;
    if (!v->is_array()) fail(at(key), "expected an array");
    for (size_t i = 0; i < v->size(); ++i) f((*v)[i], fmt::format("{}[{}]", at(key), i));
  }
  void done() const {
    for (auto it = j_.begin(); it != j_.end(); ++it)
      if (!seen_.count(it.key())) fail(at(it.key().c_str()), "unknown member");
  }

  template <class T>
  static T integer_of(const json& v, const std::string& path) {
    if (v.is_number_unsigned()) {
      auto u = v.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(u);
    } else if (v.is_number_integer()) {
      auto i = v.get<int64_t>();
      if (i >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
          (i < 0 || static_cast<uint64_t>(i) <= static_cast<uint64_t>(std::numeric_limits<T>::max())))
        return static_cast<T>(i);
    } else {
      fail(path, "expected an integer");
    }
    fail(path, "integer out of range");
  }
  static Rect rect_of(const json& v, const std::string& path) {
    if (!v.is_array() || v.size() != 4) fail(path, "expected [x, y, width, height]");
    for (const auto& n : v)
      if (!n.is_number()) fail(path, "expected [x, y, width, height]");
    return {v[0].get<double>(), v[1].get<double>(), v[2].get<double>(), v[3].get<double>()};
  }

 private:
  const json& j_;
  std::string path_;
  std::set<std::string> seen_;
};

template <class E>
E choice(Obj& o, const char* key, E dflt, std::initializer_list<std::pair<const char*, E>> names) {
  const json* v = o.find(key);
  if (!v) return dflt;
  if (v->is_string())
    for (const auto& [n, e] : names)
      if (*v == n) return e;
  std::string allowed;
  for (const auto& [n, e] : names) allowed += fmt::format("{}\"{}\"", allowed.empty() ? "" : ", ", n);
  Obj::fail(o.at(key), "expected one of " + allowed);
}

uint32_t parse_icon(const std::string& s, const std::string& path) {
  // "#RRGGBB"
  if (s.size() != 7 || s[0] != '#') Obj::fail(path, "expected a colour \"#RRGGBB\"");
  uint32_t rgb = 0;
  for (size_t i = 1; i < 7; ++i) {
    char c = s[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) Obj::fail(path, "expected a colour \"#RRGGBB\"");
    rgb = rgb << 4 | static_cast<uint32_t>(d);
  }
  return 0xFF000000u | rgb;
}

Space parse_space(const json& j, const std::string& path) {
  Obj o(j, path);
  Space s;
  s.id = o.integer<SpaceId>("id", 0);
  if (s.id == 0) Obj::fail(o.at("id"), "a Space needs a non-zero id");
  s.type = o.integer<int64_t>("type", ds::USER_SPACE);
  s.raw = o.raw("raw");
  o.done();
  return s;
}

Display parse_display(const json& j, const std::string& path) {
  Obj o(j, path);
  Display d;
  d.uuid = o.opt_text("uuid");
  d.id = o.integer<uint32_t>("id", 0);
  d.frame = o.rect("frame");
  const json* vis = o.find("visible");
  d.visible = vis ? Obj::rect_of(*vis, o.at("visible")) : d.frame;
  d.scale = o.real("scale", 2);
  o.each("spaces", [&](const json& s, const std::string& p) { d.spaces.push_back(parse_space(s, p)); });
  d.current = o.integer<SpaceId>("current", d.spaces.empty() ? 0 : d.spaces.front().id);
  d.raw = o.raw("raw");
  o.done();
  bool known = d.spaces.empty() && d.current == 0;
  for (const Space& s : d.spaces) known = known || s.id == d.current;
  if (!known) Obj::fail(o.at("current"), "not one of the display's Spaces");
  return d;
}

App parse_app(const json& j, const std::string& path) {
  Obj o(j, path);
  App a;
  a.pid = o.integer<Pid>("pid", 0);
  if (a.pid <= 0) Obj::fail(o.at("pid"), "an application needs a positive pid");
  a.name = o.opt_text("name");
  a.bundle_id = o.opt_text("bundle_id");
  a.bundle_path = o.opt_text("bundle_path");
  a.policy = choice(o, "policy", Policy::Regular,
                    {{"regular", Policy::Regular}, {"accessory", Policy::Accessory}, {"prohibited", Policy::Prohibited}});
  a.hidden = o.flag("hidden", false);
  a.hung = o.flag("hung", false);
  if (auto icon = o.opt_text("icon")) a.icon = parse_icon(*icon, o.at("icon"));
  a.focused = o.opt_integer<Wid>("focused");
  a.ignores_event_records = o.flag("ignores_event_records", false);
  o.done();
  return a;
}

Window parse_window(const json& j, const std::string& path) {
  Obj o(j, path);
  Window w;
  w.wid = o.integer<Wid>("wid", 0);
  if (w.wid == 0) Obj::fail(o.at("wid"), "a window needs a non-zero wid");
  w.pid = o.integer<Pid>("pid", 0);
  w.layer = o.integer<int32_t>("layer", 0);
  w.alpha = o.real("alpha", 1);
  w.bounds = o.rect("bounds");
  if (const json* v = o.find("onscreen"); v && !v->is_null()) {
    if (!v->is_boolean()) Obj::fail(o.at("onscreen"), "expected true, false or null");
    w.onscreen = v->get<bool>();
  }
  w.title = o.text("title", "");
  if (const json* v = o.find("subrole")) {
    if (v->is_null()) w.subrole.reset();
    else if (v->is_string()) w.subrole = v->get<std::string>();
    else Obj::fail(o.at("subrole"), "expected a string or null");
  }
  w.minimized = o.flag("minimized", false);
  w.fullscreen = o.flag("fullscreen", false);
  o.each("spaces", [&](const json& s, const std::string& p) { w.spaces.push_back(Obj::integer_of<SpaceId>(s, p)); });
  w.desktop = o.flag("desktop", false);
  w.owner_name = o.opt_text("owner_name");
  w.parent = o.integer<Wid>("parent", 0);
  w.tags = o.integer<uint64_t>("tags", 0x1);
  w.attributes = o.integer<uint32_t>("attributes", 0x2);
  if (const json* v = o.find("corner_radius"); v && !v->is_null()) w.corner_radius = o.real("corner_radius", 0);
  w.ax_listed = o.flag("ax_listed", true);
  w.element = o.integer<uint64_t>("element", 0);
  w.raw = o.raw("raw");
  o.done();
  return w;
}

void validate(const Desktop& d) {
  std::set<SpaceId> spaces;
  for (size_t i = 0; i < d.displays.size(); ++i)
    for (const Space& s : d.displays[i].spaces)
      if (!spaces.insert(s.id).second) Obj::fail(fmt::format("displays[{}].spaces", i), fmt::format("Space {} listed twice", s.id));
  std::set<Pid> pids;
  for (size_t i = 0; i < d.apps.size(); ++i)
    if (!pids.insert(d.apps[i].pid).second) Obj::fail(fmt::format("apps[{}].pid", i), fmt::format("pid {} listed twice", d.apps[i].pid));
  std::set<Wid> wids;
  std::set<std::pair<Pid, uint64_t>> elements;
  for (size_t i = 0; i < d.windows.size(); ++i) {
    const Window& w = d.windows[i];
    if (!wids.insert(w.wid).second) Obj::fail(fmt::format("windows[{}].wid", i), fmt::format("wid {} listed twice", w.wid));
    if (!elements.insert({w.pid, w.element ? w.element : w.wid}).second)
      Obj::fail(fmt::format("windows[{}].element", i), "element number used twice in one application");
    for (SpaceId s : w.spaces)
      if (!spaces.count(s)) Obj::fail(fmt::format("windows[{}].spaces", i), fmt::format("no display has Space {}", s));
  }
  if (d.front && !pids.count(*d.front)) Obj::fail("front", fmt::format("no application has pid {}", *d.front));
  for (size_t i = 0; i < d.apps.size(); ++i)
    if (d.apps[i].focused && !wids.count(*d.apps[i].focused))
      Obj::fail(fmt::format("apps[{}].focused", i), fmt::format("no window has wid {}", *d.apps[i].focused));
}

}  // namespace

Value to_value(const json& j) {
  switch (j.type()) {
    case json::value_t::boolean: return Value(j.get<bool>());
    case json::value_t::number_integer: return Value(j.get<int64_t>());
    case json::value_t::number_unsigned: {
      auto u = j.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return Value(static_cast<int64_t>(u));
      return Value(static_cast<double>(u));
    }
    case json::value_t::number_float: return Value(j.get<double>());
    case json::value_t::string: return Value(j.get<std::string>());
    case json::value_t::array: {
      Array a;
      for (const auto& e : j) a.push_back(to_value(e));
      return Value(std::move(a));
    }
    case json::value_t::object: {
      Dict d;
      for (auto it = j.begin(); it != j.end(); ++it) d.emplace_back(it.key(), to_value(it.value()));
      return Value(std::move(d));
    }
    default: return Value();
  }
}

Desktop parse_scenario(const json& j) {
  Obj o(j, "");
  Desktop d;
  o.each("displays", [&](const json& e, const std::string& p) { d.displays.push_back(parse_display(e, p)); });
  o.each("apps", [&](const json& e, const std::string& p) { d.apps.push_back(parse_app(e, p)); });
  o.each("windows", [&](const json& e, const std::string& p) { d.windows.push_back(parse_window(e, p)); });
  d.front = o.opt_integer<Pid>("front");
  if (const json* f = o.find("faults")) {
    Obj fo(*f, "faults");
    d.faults.window_list_fails = fo.flag("window_list_fails", false);
    d.faults.display_spaces_fails = fo.flag("display_spaces_fails", false);
    d.faults.front_process_fails = fo.flag("front_process_fails", false);
    fo.each("missing_symbols", [&](const json& s, const std::string& p) {
      if (!s.is_string()) Obj::fail(p, "expected a symbol name");
      d.faults.missing_symbols.push_back(s.get<std::string>());
    });
    fo.done();
  }
  d.ax_trusted = o.flag("ax_trusted", true);
  d.capture_allowed = o.flag("capture_allowed", false);
  d.reduce_motion = o.flag("reduce_motion", false);
  if (const json* p = o.find("pointer")) {
    if (!p->is_array() || p->size() != 2 || !(*p)[0].is_number() || !(*p)[1].is_number())
      Obj::fail("pointer", "expected [x, y]");
    d.pointer = {(*p)[0].get<double>(), (*p)[1].get<double>()};
  }
  d.self_pid = o.opt_integer<Pid>("self_pid");
  o.each("installed", [&](const json& e, const std::string& p) {
    Obj io(e, p);
    InstalledApp a{io.text("bundle_id", ""), io.text("name", ""), io.text("path", "")};
    io.done();
    if (a.bundle_id.empty() || a.path.empty()) Obj::fail(p, "an installed app needs bundle_id and path");
    d.installed.push_back(std::move(a));
  });
  if (const json* g = o.find("global_defaults")) {
    if (!g->is_object()) Obj::fail("global_defaults", "expected an object");
    for (auto it = g->begin(); it != g->end(); ++it) d.global_defaults[it.key()] = to_value(it.value());
  }
  if (const json* out = o.find("outputs")) {
    if (!out->is_object()) Obj::fail("outputs", "expected an object");
    for (auto it = out->begin(); it != out->end(); ++it) {
      if (!it.value().is_string()) Obj::fail("outputs." + it.key(), "expected a string");
      d.outputs[it.key()] = it.value().get<std::string>();
    }
  }
  d.login = choice(o, "login", LoginStatus::NotRegistered,
                   {{"not_registered", LoginStatus::NotRegistered}, {"enabled", LoginStatus::Enabled},
                    {"requires_approval", LoginStatus::RequiresApproval}, {"not_found", LoginStatus::NotFound}});
  o.done();
  validate(d);
  return d;
}

Desktop load_scenario(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(fmt::format("scenario {}: cannot be read", path));
  std::stringstream text;
  text << in.rdbuf();
  json j = json::parse(text.str(), nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
  if (j.is_discarded()) throw ScenarioError(fmt::format("scenario {}: not valid JSON", path));
  try {
    return parse_scenario(j);
  } catch (const ScenarioError& e) {
    throw ScenarioError(fmt::format("scenario {}: {}", path, e.what()));
  }
}

}  // namespace mirvex::sys::sim
