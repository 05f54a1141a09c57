#include "sys/x11/conn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

namespace mirvex::sys::x11 {

namespace {

constexpr std::array<const char*, ATOM_COUNT> ATOM_NAMES = {
    "_NET_CLIENT_LIST",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_ACTIVE_WINDOW",
    "_NET_CURRENT_DESKTOP",
    "_NET_NUMBER_OF_DESKTOPS",
    "_NET_WORKAREA",
    "_NET_WM_DESKTOP",
    "_NET_WM_PID",
    "_NET_WM_NAME",
    "_NET_WM_ICON",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_FULLSCREEN",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_STATE_BELOW",
    "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_OPACITY",
    "_NET_FRAME_EXTENTS",
    "_NET_CLOSE_WINDOW",
    "_NET_RESTACK_WINDOW",
    "WM_STATE",
    "WM_CHANGE_STATE",
    "WM_TRANSIENT_FOR",
    "UTF8_STRING",
    "_MIRVEX_WAKE",
    "_MIRVEX_STAMP",
};

// Owns an xcb reply.
template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T>
Reply<T> own(T* r) {
  return Reply<T>(r, &std::free);
}

std::vector<uint32_t> as_cardinals(const xcb_get_property_reply_t* r) {
  if (!r || r->format != 32) return {};
  const auto* p = static_cast<const uint32_t*>(xcb_get_property_value(r));
  return std::vector<uint32_t>(p, p + xcb_get_property_value_length(r) / 4);
}

std::optional<std::string> as_text(const xcb_get_property_reply_t* r) {
  if (!r || r->format != 8 || r->type == XCB_ATOM_NONE) return std::nullopt;
  const char* p = static_cast<const char*>(xcb_get_property_value(r));
  std::string s(p, static_cast<size_t>(xcb_get_property_value_length(r)));
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

std::optional<uint32_t> first(const std::vector<uint32_t>& v) {
  if (v.empty()) return std::nullopt;
  return v.front();
}

}  // namespace

bool Props::has_state(xcb_atom_t a) const { return std::find(states.begin(), states.end(), a) != states.end(); }
Rect Props::frame() const {
  const auto& e = extents;  // left, right, top, bottom
  return Rect{double(root_x) - e[0], double(root_y) - e[2], double(width) + e[0] + e[1], double(height) + e[2] + e[3]};
}

bool Props::has_type(xcb_atom_t a) const { return std::find(types.begin(), types.end(), a) != types.end(); }

Conn::Conn(const char* display) {
  int screen_no = 0;
  c_ = xcb_connect(display, &screen_no);
  if (xcb_connection_has_error(c_)) {
    xcb_disconnect(c_);
    throw std::runtime_error(fmt::format("cannot open display {}", display ? display : "(DISPLAY unset)"));
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
  for (int i = 0; i < screen_no && it.rem; ++i) xcb_screen_next(&it);
  screen_ = it.data;
  screen_number_ = screen_no;
  std::array<xcb_intern_atom_cookie_t, ATOM_COUNT> cookies{};
  for (size_t i = 0; i < ATOM_COUNT; ++i)
    cookies[i] = xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(ATOM_NAMES[i])), ATOM_NAMES[i]);
  for (size_t i = 0; i < ATOM_COUNT; ++i) {
    auto r = own(xcb_intern_atom_reply(c_, cookies[i], nullptr));
    atoms_[i] = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
}

Conn::~Conn() { xcb_disconnect(c_); }

xcb_atom_t Conn::intern(const std::string& name) const {
  auto r = own(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::vector<uint32_t> Conn::cardinals(xcb_window_t w, Atom property) const {
  auto r = own(xcb_get_property_reply(c_, xcb_get_property(c_, 0, w, atoms_[property], XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 16),
                                      nullptr));
  return as_cardinals(r.get());
}

std::optional<uint32_t> Conn::cardinal(xcb_window_t w, Atom property) const { return first(cardinals(w, property)); }

bool Conn::read_by_props(xcb_atom_t property) const {
  for (Atom a : {NET_WM_PID, NET_WM_DESKTOP, NET_WM_WINDOW_OPACITY, NET_WM_WINDOW_TYPE, NET_WM_STATE, NET_WM_NAME,
                 WM_STATE, NET_FRAME_EXTENTS})
    if (property == atoms_[a]) return true;
  return property == XCB_ATOM_WM_TRANSIENT_FOR || property == XCB_ATOM_WM_NAME || property == XCB_ATOM_WM_CLASS;
}

std::vector<Props> Conn::props(const std::vector<xcb_window_t>& windows) const {
  struct Cookies {
    xcb_get_property_cookie_t pid, desktop, opacity, transient, type, state, net_name, wm_name, klass, wm_state, extents;
    xcb_get_window_attributes_cookie_t attrs;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t origin;
  };
  auto get = [this](xcb_window_t w, xcb_atom_t a, uint32_t longs = 64) {
    return xcb_get_property(c_, 0, w, a, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
  };
  std::vector<Cookies> cookies;
  cookies.reserve(windows.size());
  for (xcb_window_t w : windows)
    cookies.push_back(Cookies{get(w, atoms_[NET_WM_PID], 1), get(w, atoms_[NET_WM_DESKTOP], 1),
                              get(w, atoms_[NET_WM_WINDOW_OPACITY], 1), get(w, XCB_ATOM_WM_TRANSIENT_FOR, 1),
                              get(w, atoms_[NET_WM_WINDOW_TYPE], 16), get(w, atoms_[NET_WM_STATE], 32),
                              get(w, atoms_[NET_WM_NAME], 1024), get(w, XCB_ATOM_WM_NAME, 1024),
                              get(w, XCB_ATOM_WM_CLASS, 256), get(w, atoms_[WM_STATE], 2),
                              get(w, atoms_[NET_FRAME_EXTENTS], 4), xcb_get_window_attributes(c_, w),
                              xcb_get_geometry(c_, w), xcb_translate_coordinates(c_, w, root(), 0, 0)});
  std::vector<Props> out(windows.size());
  auto prop = [this](xcb_get_property_cookie_t k) { return own(xcb_get_property_reply(c_, k, nullptr)); };
  for (size_t i = 0; i < windows.size(); ++i) {
    const Cookies& k = cookies[i];
    Props& p = out[i];
    p.pid = first(as_cardinals(prop(k.pid).get()));
    p.desktop = first(as_cardinals(prop(k.desktop).get()));
    p.opacity = first(as_cardinals(prop(k.opacity).get()));
    p.transient_for = first(as_cardinals(prop(k.transient).get()));
    p.types = as_cardinals(prop(k.type).get());
    p.states = as_cardinals(prop(k.state).get());
    p.net_name = as_text(prop(k.net_name).get());
    p.wm_name = as_text(prop(k.wm_name).get());
    if (auto cls = as_text(prop(k.klass).get())) {
      const size_t nul = cls->find('\0');
      p.instance = cls->substr(0, nul);
      if (nul != std::string::npos) p.klass = cls->substr(nul + 1);
    }
    p.wm_state = first(as_cardinals(prop(k.wm_state).get()));
    auto ext = as_cardinals(prop(k.extents).get());
    for (size_t j = 0; j < ext.size() && j < 4; ++j) p.extents[j] = ext[j];
    if (auto a = own(xcb_get_window_attributes_reply(c_, k.attrs, nullptr))) {
      p.exists = true;
      p.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
      p.mapped = a->map_state != XCB_MAP_STATE_UNMAPPED;
      p.override_redirect = a->override_redirect;
    }
    if (auto g = own(xcb_get_geometry_reply(c_, k.geometry, nullptr))) {
      p.width = g->width;
      p.height = g->height;
    }
    if (auto t = own(xcb_translate_coordinates_reply(c_, k.origin, nullptr))) {
      p.root_x = t->dst_x;
      p.root_y = t->dst_y;
    }
  }
  return out;
}

std::vector<std::optional<xcb_window_t>> Conn::tops(const std::vector<xcb_window_t>& windows) const {
  std::vector<std::optional<xcb_window_t>> out(windows.begin(), windows.end());
  std::vector<size_t> open(windows.size());
  for (size_t i = 0; i < open.size(); ++i) open[i] = i;
  for (int depth = 0; depth < 16 && !open.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> cookies;
    cookies.reserve(open.size());
    for (size_t i : open) cookies.push_back(xcb_query_tree(c_, *out[i]));
    std::vector<size_t> deeper;
    for (size_t k = 0; k < open.size(); ++k) {
      auto t = own(xcb_query_tree_reply(c_, cookies[k], nullptr));
      const size_t i = open[k];
      if (!t) out[i].reset();
      else if (t->parent != t->root && t->parent != XCB_NONE) {
        out[i] = t->parent;
        deeper.push_back(i);
      }
    }
    open = std::move(deeper);
  }
  return out;
}

void Conn::root_message(xcb_window_t w, Atom type, std::array<uint32_t, 5> data) const {
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = w;
  ev.type = atoms_[type];
  std::copy(data.begin(), data.end(), ev.data.data32);
  xcb_send_event(c_, 0, root(), XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&ev));
  xcb_flush(c_);
}

}  // namespace mirvex::sys::x11
