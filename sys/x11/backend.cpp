#include "sys/x11/backend.h"

#include <xcb/composite.h>
#include <xcb/randr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "core/log.h"
#include "sys/x11/x11.h"

namespace mirvex::sys::x11 {

namespace {

constexpr int32_t PROC_NOT_FOUND = -600;
constexpr int32_t CG_ERROR_FAILURE = 1000;
constexpr uint32_t STICKY = 0xFFFFFFFF;

template <class T>
std::unique_ptr<T, decltype(&std::free)> own(T* r) {
  return {r, &std::free};
}

Rect intersect(const Rect& a, const Rect& b) {
  const double x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const double x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
  if (x1 <= x0 || y1 <= y0) return a;  // no usable overlap: the work area says nothing here
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

std::unique_ptr<Backend> open(MainQueue& queue, const char* display, std::string& error) {
  try {
    return std::make_unique<X11>(queue, display);
  } catch (const std::runtime_error& e) {
    error = fmt::format("x11 backend: {}", e.what());
    return nullptr;
  }
}

X11::X11(MainQueue& queue, const char* display) : queue_(queue), conn_(display), hub_(queue) {
  xcb_connection_t* c = conn_.c();
  own_ = xcb_generate_id(c);
  const uint32_t own_mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, own_, conn_.root(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &own_mask);
  // Substructure events show the frames: their moves and map changes move and show clients.
  const uint32_t root_mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, conn_.root(), XCB_CW_EVENT_MASK, &root_mask);
  // Monitor changes drop the screens kept for `screens`.
  if (const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id); randr && randr->present) {
    randr_event_ = randr->first_event;
    xcb_randr_select_input(c, conn_.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  syms_ = xcb_key_symbols_alloc(c);
  // Captures read window pixmaps; automatic redirection keeps the screen as it was when no
  // compositing manager runs (with one, the request fails harmlessly: it already redirects).
  if (auto v = own(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr)))
    xcb_composite_redirect_subwindows(c, conn_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  Outbox ignored;  // nobody observes yet
  sync_clients(ignored);
  sync_active(ignored);
  desktop_ = conn_.cardinal(conn_.root(), NET_CURRENT_DESKTOP);
  desktops_ = conn_.cardinal(conn_.root(), NET_NUMBER_OF_DESKTOPS).value_or(1);
  compositor_selection_ = conn_.intern("_NET_WM_CM_S" + std::to_string(conn_.screen_number()));
  xcb_flush(c);
  events_ = std::thread([this] { event_loop(); });
  capturer_ = std::thread([this] { capture_loop(); });
}

X11::~X11() {
  {
    std::unique_lock lock(mu_);
    closing_ = true;
    tap_wake_.notify_all();
    capture_wake_.notify_all();
  }
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = own_;
  ev.type = conn_.atom(MIRVEX_WAKE);
  xcb_send_event(conn_.c(), 0, own_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
  xcb_flush(conn_.c());
  events_.join();
  capturer_.join();
  {
    std::unique_lock lock(mu_);
    tap_wake_.wait(lock, [&] { return !tap_running_; });
  }
  xcb_key_symbols_free(syms_);
}

bool X11::claim_instance() {
  xcb_connection_t* c = conn_.c();
  const xcb_atom_t sel = conn_.intern("_MIRVEX_" + std::to_string(::getuid()));
  auto owner = own(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, sel), nullptr));
  if (!owner || (owner->owner != XCB_NONE && owner->owner != own_)) return false;
  xcb_set_selection_owner(c, own_, sel, server_time());
  auto now = own(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, sel), nullptr));
  return now && now->owner == own_;  // lost a race with another copy starting at once
}

bool X11::compositing() {
  xcb_connection_t* c = conn_.c();
  auto owner = own(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, compositor_selection_), nullptr));
  return owner && owner->owner != XCB_NONE;
}

// ---------------------------------------------------------------- events

void X11::event_loop() {
  for (;;) {
    xcb_generic_event_t* ev = xcb_poll_for_event(conn_.c());
    if (!ev) {  // caught up: re-read what the events so far have changed, then wait
      Outbox out;
      refresh(out);
      for (Task& t : out) t();
      ev = xcb_wait_for_event(conn_.c());
      if (!ev) break;
    }
    const uint8_t type = ev->response_type & 0x7f;
    if (type == XCB_CLIENT_MESSAGE &&
        reinterpret_cast<xcb_client_message_event_t*>(ev)->type == conn_.atom(MIRVEX_WAKE)) {
      std::lock_guard lock(mu_);
      if (closing_) {
        std::free(ev);
        return;
      }
    }
    Outbox out;
    handle(ev, out);
    std::free(ev);
    for (Task& t : out) t();
  }
  log::log("x11: connection to the display lost");
}

void X11::handle(const xcb_generic_event_t* ev, Outbox& out) {
  switch (ev->response_type & 0x7f) {
    case XCB_PROPERTY_NOTIFY: {
      const auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(ev);
      if (e->window == own_) {
        if (e->atom == conn_.atom(MIRVEX_STAMP)) {
          refresh(out);  // whoever waits for the stamp reads the cache next
          std::lock_guard lock(mu_);
          stamp_ = e->time;
          ++stamps_seen_;
          stamp_wake_.notify_all();
        }
      } else if (e->window == conn_.root()) {
        if (e->atom == conn_.atom(NET_CLIENT_LIST)) sync_clients(out);
        else if (e->atom == conn_.atom(NET_ACTIVE_WINDOW)) sync_active(out);
        else if (e->atom == conn_.atom(NET_CLIENT_LIST_STACKING)) sync_clients(out);
        else if (e->atom == conn_.atom(NET_WORKAREA)) {
          forget_screens();
        } else if (e->atom == conn_.atom(NET_NUMBER_OF_DESKTOPS)) {
          const uint32_t n = conn_.cardinal(conn_.root(), NET_NUMBER_OF_DESKTOPS).value_or(1);
          std::lock_guard lock(mu_);
          desktops_ = n;
        } else if (e->atom == conn_.atom(NET_CURRENT_DESKTOP)) {
          auto d = conn_.cardinal(conn_.root(), NET_CURRENT_DESKTOP);
          forget_screens();  // the work area is per desktop
          std::lock_guard lock(mu_);
          if (d != desktop_) {
            desktop_ = d;
            hub_.workspace_note(out, note::SPACE_CHANGED, std::nullopt);
          }
        }
      } else if (conn_.read_by_props(e->atom)) {
        std::lock_guard lock(mu_);
        auto it = clients_.find(e->window);
        if (it == clients_.end()) break;
        dirty_.insert(e->window);
        if ((e->atom == conn_.atom(NET_WM_NAME) || e->atom == XCB_ATOM_WM_NAME) && it->second.pid)
          hub_.ax_note(out, it->second.pid, AxElement{it->second.pid, e->window}, ax::TITLE_CHANGED);
      }
      break;
    }
    // From the clients themselves and, through the root, from their frames.
    case XCB_CONFIGURE_NOTIFY:
      touched(reinterpret_cast<const xcb_configure_notify_event_t*>(ev)->window);
      break;
    case XCB_MAP_NOTIFY:
      touched(reinterpret_cast<const xcb_map_notify_event_t*>(ev)->window);
      break;
    case XCB_UNMAP_NOTIFY:
      touched(reinterpret_cast<const xcb_unmap_notify_event_t*>(ev)->window);
      break;
    case XCB_REPARENT_NOTIFY: {
      const xcb_window_t w = reinterpret_cast<const xcb_reparent_notify_event_t*>(ev)->window;
      std::lock_guard lock(mu_);
      if (auto it = clients_.find(w); it != clients_.end()) {
        it->second.top = 0;  // framed anew: find the frame again
        dirty_.insert(w);
      }
      break;
    }
    case XCB_DESTROY_NOTIFY: {
      // Never listed again, though the window manager's lists may still name it a moment.
      const xcb_window_t w = reinterpret_cast<const xcb_destroy_notify_event_t*>(ev)->window;
      {
        std::lock_guard lock(mu_);
        if (auto it = clients_.find(w); it != clients_.end()) it->second.props.exists = false;
      }
      // The window manager updates the client list too; whichever comes first drops it.
      sync_clients(out);
      break;
    }
    case XCB_MAPPING_NOTIFY: {
      std::lock_guard lock(mu_);
      xcb_refresh_keyboard_mapping(syms_, reinterpret_cast<xcb_mapping_notify_event_t*>(const_cast<xcb_generic_event_t*>(ev)));
      break;
    }
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE:
      handle_key(reinterpret_cast<const xcb_key_press_event_t*>(ev), (ev->response_type & 0x7f) == XCB_KEY_PRESS);
      break;
    default:
      if (randr_event_ && ((ev->response_type & 0x7f) == randr_event_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                           (ev->response_type & 0x7f) == randr_event_ + XCB_RANDR_NOTIFY))
        forget_screens();
      break;
  }
}

void X11::forget_screens() {
  std::lock_guard lock(mu_);
  screens_.reset();
  ++screens_generation_;
}

void X11::sync_clients(Outbox& out) {
  xcb_connection_t* c = conn_.c();
  auto list = conn_.cardinals(conn_.root(), NET_CLIENT_LIST);
  // The window manager publishes the stacking list and the client list one after the other,
  // in either order: a window in either is managed (the window list reads the stacking one).
  std::vector<xcb_window_t> stacking = conn_.cardinals(conn_.root(), NET_CLIENT_LIST_STACKING);
  for (xcb_window_t w : stacking)
    if (std::find(list.begin(), list.end(), w) == list.end()) list.push_back(w);
  std::reverse(stacking.begin(), stacking.end());  // front to back
  std::vector<xcb_window_t> added;
  {
    std::lock_guard lock(mu_);
    for (xcb_window_t w : list)
      if (!clients_.count(w)) added.push_back(w);
  }
  // Listen before reading, so no change between the read and the subscription is lost.
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  for (xcb_window_t w : added) xcb_change_window_attributes(c, w, XCB_CW_EVENT_MASK, &mask);
  auto props = conn_.props(added);
  const auto tops = conn_.tops(added);
  std::lock_guard lock(mu_);
  std::set<xcb_window_t> now(list.begin(), list.end());
  std::set<Pid> touched;
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (now.count(it->first)) {
      ++it;
      continue;
    }
    hub_.ws_note(out, 804, it->first);
    hub_.ws_note(out, 1326, it->first);
    hub_.forget_window(it->first);
    if (Pid pid = it->second.pid) {
      hub_.ax_note(out, pid, AxElement{pid, it->first}, ax::ELEMENT_DESTROYED);
      touched.insert(pid);
    }
    it = clients_.erase(it);
  }
  for (size_t i = 0; i < added.size(); ++i) {
    Props& p = props[i];
    if (!p.exists) continue;  // gone already
    Client cl;
    cl.pid = p.pid ? static_cast<Pid>(*p.pid) : 0;
    cl.top = tops[i].value_or(0);
    cl.props = std::move(p);
    clients_[added[i]] = std::move(cl);
    hub_.ws_note(out, 1325, added[i]);
    const Pid pid = clients_[added[i]].pid;
    if (!pid) continue;
    if (std::find(app_order_.begin(), app_order_.end(), pid) == app_order_.end()) {
      app_order_.push_back(pid);
      hub_.workspace_note(out, note::LAUNCHED, info_locked(pid));
    }
    hub_.ax_note(out, pid, AxElement{pid, added[i]}, ax::WINDOW_CREATED);
  }
  for (Pid pid : touched) {
    if (!windows_of_locked(pid).empty()) continue;
    AppInfo gone = info_locked(pid);
    gone.terminated = true;
    app_order_.erase(std::remove(app_order_.begin(), app_order_.end(), pid), app_order_.end());
    hidden_by_us_.erase(pid);
    hub_.workspace_note(out, note::TERMINATED, gone);
  }
  restacked_locked(std::move(stacking), out);
}

void X11::sync_active(Outbox& out) {
  const xcb_window_t a = conn_.cardinal(conn_.root(), NET_ACTIVE_WINDOW).value_or(0);
  std::lock_guard lock(mu_);
  if (a == active_) return;
  auto pid_of = [&](xcb_window_t w) -> Pid {
    auto it = clients_.find(w);
    return it == clients_.end() ? 0 : it->second.pid;
  };
  const Pid before = pid_of(active_), after = pid_of(a);
  active_ = a;
  if (!after) return;
  hub_.ax_note(out, after, AxElement{after, a}, ax::FOCUSED_WINDOW_CHANGED);
  hub_.ax_note(out, after, AxElement{after, a}, ax::MAIN_WINDOW_CHANGED);
  if (after != before) hub_.workspace_note(out, note::ACTIVATED, info_locked(after));
}

void X11::touched(xcb_window_t w) {
  std::lock_guard lock(mu_);
  if (clients_.count(w)) {
    dirty_.insert(w);
    return;
  }
  for (const auto& [client, cl] : clients_)
    if (cl.top == w) dirty_.insert(client);
}

void X11::refresh(Outbox& out) {
  std::vector<xcb_window_t> wins, unframed;
  {
    std::lock_guard lock(mu_);
    if (dirty_.empty()) return;
    wins.assign(dirty_.begin(), dirty_.end());
    dirty_.clear();
    for (xcb_window_t w : wins)
      if (auto it = clients_.find(w); it != clients_.end() && !it->second.top) unframed.push_back(w);
  }
  auto props = conn_.props(wins);
  const auto tops = conn_.tops(unframed);
  std::lock_guard lock(mu_);
  for (size_t i = 0; i < unframed.size(); ++i)
    if (auto it = clients_.find(unframed[i]); it != clients_.end() && tops[i]) it->second.top = *tops[i];
  for (size_t i = 0; i < wins.size(); ++i) {
    auto it = clients_.find(wins[i]);
    if (it == clients_.end() || !props[i].exists) continue;  // gone: the destroy event drops it
    Client& cl = it->second;
    const xcb_atom_t full_state = conn_.atom(NET_WM_STATE_FULLSCREEN);
    const bool was_hidden = conn_.minimised(cl.props), was_full = cl.props.has_state(full_state);
    const Rect frame = cl.props.frame();
    cl.props = std::move(props[i]);
    if (cl.pid) {
      const AxElement e{cl.pid, wins[i]};
      const bool hidden = conn_.minimised(cl.props);
      if (hidden != was_hidden) hub_.ax_note(out, cl.pid, e, hidden ? ax::WINDOW_MINIATURIZED : ax::WINDOW_DEMINIATURIZED);
      if (cl.props.has_state(full_state) != was_full) hub_.ax_note(out, cl.pid, e, ax::WINDOW_RESIZED);
    }
    configured(wins[i], frame, out);
  }
}

AppInfo X11::info_locked(Pid pid) const {
  AppInfo a;
  a.pid = pid;
  bool regular = false;
  for (const auto& [w, cl] : clients_) {
    if (cl.pid != pid) continue;
    // The class names the application; a window without one its instance.
    if (const std::string name = cl.props.klass.value_or(cl.props.instance.value_or("")); !a.name && !name.empty())
      a.name = a.bundle_id = name;
    regular = regular || layer(conn_, cl.props) == 0;
  }
  a.policy = regular ? Policy::Regular : Policy::Accessory;
  auto h = hidden_by_us_.find(pid);
  a.hidden = h != hidden_by_us_.end() && !h->second.empty();
  return a;
}

std::vector<xcb_window_t> X11::windows_of_locked(Pid pid) const {
  std::vector<xcb_window_t> out;
  for (const auto& [w, cl] : clients_)
    if (cl.pid == pid) out.push_back(w);
  return out;
}

// ---------------------------------------------------------------- window list

uint32_t X11::current_desktop() const {
  {
    // Kept by the event thread from the root's property changes.
    std::lock_guard lock(mu_);
    if (desktop_) return *desktop_;
  }
  return conn_.cardinal(conn_.root(), NET_CURRENT_DESKTOP).value_or(0);
}

uint32_t X11::desktop_count() const {
  std::lock_guard lock(mu_);  // kept by the event thread
  return desktops_;
}

int32_t X11::layer(const Conn& c, const Props& p) {
  for (xcb_atom_t t : p.types) {  // in the client's order of preference
    if (t == c.atom(NET_WM_WINDOW_TYPE_NORMAL) || t == c.atom(NET_WM_WINDOW_TYPE_DIALOG)) return 0;
    if (t == c.atom(NET_WM_WINDOW_TYPE_UTILITY) || t == c.atom(NET_WM_WINDOW_TYPE_TOOLBAR) ||
        t == c.atom(NET_WM_WINDOW_TYPE_MENU) || t == c.atom(NET_WM_WINDOW_TYPE_SPLASH))
      return 3;
    if (t == c.atom(NET_WM_WINDOW_TYPE_DOCK)) return 20;
    if (t == c.atom(NET_WM_WINDOW_TYPE_NOTIFICATION)) return 25;
    if (t == c.atom(NET_WM_WINDOW_TYPE_DESKTOP)) return DESKTOP_LAYER;
  }
  return 0;  // no type: normal (or dialog when transient), both layer 0
}

Value X11::entry(xcb_window_t w, const Props& p) const {
  Value e;
  e.set(wl::LAYER, Value(int64_t{layer(conn_, p)}));
  e.set(wl::NUMBER, Value(uint32_t{w}));
  if (p.pid) e.set(wl::OWNER_PID, Value(int64_t{*p.pid}));
  e.set(wl::BOUNDS, rect_dict(p.frame()));
  e.set(wl::ALPHA, Value(p.opacity ? double(*p.opacity) / 0xFFFFFFFFu : 1.0));
  if (conn_.on_screen(p)) e.set(wl::IS_ONSCREEN, Value(true));
  if (p.klass) e.set(wl::OWNER_NAME, Value(*p.klass));
  if (auto t = p.title()) e.set(wl::NAME, Value(*t));
  return e;
}

std::optional<Value> X11::window_list(uint32_t options, Wid relative_to) {
  server_time();  // a fence: the cache has then seen every change made before this call
  std::lock_guard lock(mu_);
  const auto& wins = stacking_;
  const bool above = options & wl::ON_SCREEN_ABOVE, below = options & wl::ON_SCREEN_BELOW;
  const bool including = options & wl::INCLUDING_WINDOW;
  const auto rel = std::find(wins.begin(), wins.end(), relative_to) - wins.begin();
  const auto n = static_cast<ptrdiff_t>(wins.size());
  Array list;
  for (ptrdiff_t i = 0; i < n; ++i) {
    const auto client = clients_.find(wins[size_t(i)]);
    if (client == clients_.end() || !client->second.props.exists) continue;
    const Props& p = client->second.props;
    const bool onscreen = conn_.on_screen(p);
    const bool is_rel = i == rel;
    if (above || below) {
      if (rel == n) break;
      const bool side = above ? i < rel : i > rel;
      if (!side && !(including && is_rel)) continue;
      if (!is_rel && !onscreen) continue;
    } else if (including) {
      if (!is_rel) continue;
    } else if ((options & wl::ON_SCREEN_ONLY) && !onscreen) {
      continue;
    }
    if ((options & wl::EXCLUDE_DESKTOP) && layer(conn_, p) == DESKTOP_LAYER) continue;
    list.push_back(entry(wins[size_t(i)], p));
  }
  return Value(std::move(list));
}

// ---------------------------------------------------------------- Spaces and screens

Value X11::display_spaces() {
  const uint32_t count = desktop_count();
  const uint32_t current = current_desktop();
  Array displays;
  for (const Screen& s : screens()) {
    Value d;
    d.set(ds::DISPLAY_IDENTIFIER, Value(std::to_string(s.id)));
    Array spaces;
    for (uint32_t i = 0; i < count && i < 1024; ++i) {
      Value sp;
      sp.set(ds::ID64, Value(int64_t{i} + 1));
      sp.set("ManagedSpaceID", Value(int64_t{i} + 1));
      sp.set(ds::TYPE, Value(ds::USER_SPACE));
      spaces.push_back(std::move(sp));
    }
    d.set(ds::SPACES, Value(std::move(spaces)));
    Value cur;
    cur.set(ds::ID64, Value(int64_t{current} + 1));
    d.set("Current Space", std::move(cur));
    displays.push_back(std::move(d));
  }
  return Value(std::move(displays));
}

std::vector<Screen> X11::screens() {
  // Asked several times per summon: kept until a monitor, work-area or desktop change.
  uint64_t generation = 0;
  {
    std::lock_guard lock(mu_);
    if (screens_) return *screens_;
    generation = screens_generation_;
  }
  std::vector<Screen> out = read_screens();
  std::lock_guard lock(mu_);
  if (generation == screens_generation_) screens_ = out;  // else a change came in meanwhile
  return out;
}

std::vector<Screen> X11::read_screens() {
  xcb_connection_t* c = conn_.c();
  const xcb_screen_t* scr = conn_.screen();
  std::vector<std::pair<Screen, bool>> found;  // screen, primary
  if (auto r = own(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, conn_.root(), 1), nullptr))) {
    for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t* m = it.data;
      Screen s;
      const xcb_randr_output_t* outs = xcb_randr_monitor_info_outputs(m);
      s.id = xcb_randr_monitor_info_outputs_length(m) > 0 ? outs[0] : uint32_t(found.size() + 1);
      s.frame = Rect{double(m->x), double(m->y), double(m->width), double(m->height)};
      found.emplace_back(s, m->primary);
    }
  }
  if (found.empty()) found.emplace_back(Screen{1, Rect{0, 0, double(scr->width_in_pixels), double(scr->height_in_pixels)}, {}, 1}, true);
  std::stable_partition(found.begin(), found.end(), [](const auto& f) { return f.second; });
  const auto wa = conn_.cardinals(conn_.root(), NET_WORKAREA);
  const size_t d = size_t(current_desktop()) * 4;
  const std::optional<Rect> work =
      wa.size() >= d + 4 ? std::optional(Rect{double(int32_t(wa[d])), double(int32_t(wa[d + 1])), double(wa[d + 2]),
                                              double(wa[d + 3])})
                         : std::nullopt;
  const double h = found.front().first.frame.h;
  auto flip = [h](const Rect& r) { return Rect{r.x, h - r.y - r.h, r.w, r.h}; };
  std::vector<Screen> out;
  for (auto& [s, primary] : found) {
    s.visible_frame = flip(work ? intersect(s.frame, *work) : s.frame);
    s.frame = flip(s.frame);
    out.push_back(s);
  }
  return out;
}

Point X11::pointer() {
  auto r = own(xcb_query_pointer_reply(conn_.c(), xcb_query_pointer(conn_.c(), conn_.root()), nullptr));
  auto s = screens();
  const double h = s.empty() ? 0 : s.front().frame.h;
  if (!r) return {};
  return Point{double(r->root_x), h - double(r->root_y)};
}

bool X11::warp_pointer(Point ws) {
  auto cookie = xcb_warp_pointer_checked(conn_.c(), XCB_NONE, conn_.root(), 0, 0, 0, 0, saturate<int16_t>(ws.x),
                                         saturate<int16_t>(ws.y));
  auto err = own(xcb_request_check(conn_.c(), cookie));
  return !err;
}

uint32_t X11::mouse_buttons() {
  auto r = own(xcb_query_pointer_reply(conn_.c(), xcb_query_pointer(conn_.c(), conn_.root()), nullptr));
  if (!r) return 0;
  uint32_t b = 0;
  if (r->mask & XCB_BUTTON_MASK_1) b |= 1;
  if (r->mask & XCB_BUTTON_MASK_3) b |= 2;
  if (r->mask & XCB_BUTTON_MASK_2) b |= 4;
  return b;
}

// ---------------------------------------------------------------- actions

xcb_timestamp_t X11::server_time() {
  if (std::this_thread::get_id() == events_.get_id()) return XCB_CURRENT_TIME;
  std::unique_lock lock(mu_);
  // Sent under the lock, so tickets follow the server's order of the requests and of their events.
  const uint64_t ticket = ++stamps_asked_;
  xcb_change_property(conn_.c(), XCB_PROP_MODE_APPEND, own_, conn_.atom(MIRVEX_STAMP), XCB_ATOM_INTEGER, 32, 0, nullptr);
  xcb_flush(conn_.c());
  if (!stamp_wake_.wait_for(lock, std::chrono::milliseconds(500), [&] { return stamps_seen_ >= ticket; }))
    return XCB_CURRENT_TIME;
  return stamp_;
}

void X11::settle_for(const AxElement& e) {
  if (e.pid <= 0) return;  // the system-wide element, or nothing a client could own
  {
    std::lock_guard lock(mu_);
    const auto w = xcb_window_t(e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON));
    if (std::find(app_order_.begin(), app_order_.end(), e.pid) != app_order_.end() && (w == 0 || clients_.count(w)))
      return;
  }
  server_time();
}

void X11::activate(xcb_window_t w) {
  const xcb_timestamp_t time = server_time();  // also lets the client cache catch up
  xcb_window_t current;
  std::optional<std::optional<uint32_t>> kept;  // the client's desktop, when it is a client
  {
    std::lock_guard lock(mu_);
    current = active_;
    if (auto it = clients_.find(w); it != clients_.end()) kept = it->second.props.desktop;
  }
  const std::optional<uint32_t> desktop = kept ? *kept : conn_.cardinal(w, NET_WM_DESKTOP);
  // Activating a window on another desktop shows that desktop, as activating a window on
  // another Space does; not every window manager does it by itself.
  if (desktop && *desktop != STICKY && *desktop != current_desktop())
    conn_.root_message(conn_.root(), NET_CURRENT_DESKTOP, {*desktop, time, 0, 0, 0});
  conn_.root_message(w, NET_ACTIVE_WINDOW, {2, time, current, 0, 0});
}

void X11::iconify(xcb_window_t w) { conn_.root_message(w, WM_CHANGE_STATE, {3, 0, 0, 0, 0}); }

void X11::deiconify(xcb_window_t w) {
  for (int i = 0; i < 50; ++i) {
    auto p = conn_.props({w});
    if (!p[0].exists) return;
    const bool iconic = conn_.minimised(p[0]);
    if (!iconic || !p[0].mapped) break;  // not minimised (nothing to do), or ready for the request
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  xcb_map_window(conn_.c(), w);
  xcb_flush(conn_.c());
}

void X11::set_state(xcb_window_t w, bool on, Atom state) {
  conn_.root_message(w, NET_WM_STATE, {on ? 1u : 0u, conn_.atom(state), 0, 2, 0});
}

// ---------------------------------------------------------------- applications

std::vector<AppInfo> X11::running_apps() {
  std::lock_guard lock(mu_);
  std::vector<AppInfo> out;
  for (Pid pid : app_order_) out.push_back(info_locked(pid));
  return out;
}

std::optional<AppInfo> X11::running_app(Pid pid) {
  settle_for(AxElement{pid, 0});
  std::lock_guard lock(mu_);
  if (std::find(app_order_.begin(), app_order_.end(), pid) == app_order_.end()) return std::nullopt;
  return info_locked(pid);
}

std::optional<Pid> X11::workspace_frontmost() {
  std::lock_guard lock(mu_);
  auto it = clients_.find(active_);
  if (it == clients_.end() || !it->second.pid) return std::nullopt;
  return it->second.pid;
}

bool X11::app_hide(Pid pid) {
  Outbox out;
  {
    std::lock_guard lock(mu_);
    if (std::find(app_order_.begin(), app_order_.end(), pid) == app_order_.end()) return false;
    auto& mine = hidden_by_us_[pid];
    for (xcb_window_t w : windows_of_locked(pid))
      if (!conn_.minimised(clients_[w].props) && std::find(mine.begin(), mine.end(), w) == mine.end()) {
        iconify(w);
        mine.push_back(w);
      }
    hub_.workspace_note(out, note::HIDDEN, info_locked(pid));
  }
  for (Task& t : out) t();
  return true;
}

bool X11::app_unhide(Pid pid) {
  Outbox out;
  std::vector<xcb_window_t> restore;
  {
    std::lock_guard lock(mu_);
    auto it = hidden_by_us_.find(pid);
    if (it == hidden_by_us_.end()) return false;
    // Only the windows the hide minimised come back; ones the user minimised stay so.
    for (xcb_window_t w : it->second)
      if (clients_.count(w)) restore.push_back(w);
    hidden_by_us_.erase(it);
    hub_.workspace_note(out, note::UNHIDDEN, info_locked(pid));
  }
  for (xcb_window_t w : restore) deiconify(w);  // reads the server: outside the lock
  for (Task& t : out) t();
  return true;
}

bool X11::app_activate(Pid pid) {
  xcb_window_t front = 0;
  {
    std::lock_guard lock(mu_);
    for (xcb_window_t w : stacking_)
      if (auto it = clients_.find(w); it != clients_.end() && it->second.pid == pid) {
        front = w;
        break;
      }
  }
  if (!front) return false;
  activate(front);
  return true;
}

bool X11::app_terminate(Pid pid) {
  std::vector<xcb_window_t> wins;
  {
    std::lock_guard lock(mu_);
    wins = windows_of_locked(pid);
  }
  for (xcb_window_t w : wins) conn_.root_message(w, NET_CLOSE_WINDOW, {XCB_CURRENT_TIME, 2, 0, 0, 0});
  return !wins.empty();
}

std::optional<Image> X11::app_icon(Pid pid) {
  std::vector<xcb_window_t> wins;
  {
    std::lock_guard lock(mu_);
    wins = windows_of_locked(pid);
  }
  for (xcb_window_t w : wins) {
    auto data = conn_.cardinals(w, NET_WM_ICON);
    // Entries: width, height, then width*height non-premultiplied ARGB pixels; take the largest.
    size_t best = 0, best_area = 0;
    for (size_t i = 0; i + 2 <= data.size();) {
      const uint64_t area = uint64_t(data[i]) * data[i + 1];
      if (area == 0 || area > data.size() - i - 2) break;  // malformed: stop reading
      if (area > best_area) best = i, best_area = size_t(area);
      i += 2 + size_t(area);
    }
    if (!best_area) continue;
    Image img{int(data[best]), int(data[best + 1]), {}};
    img.argb.reserve(best_area);
    for (size_t k = 0; k < best_area; ++k) {
      const uint32_t px = data[best + 2 + k], a = px >> 24;
      auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
      img.argb.push_back(a << 24 | mul((px >> 16) & 0xff) << 16 | mul((px >> 8) & 0xff) << 8 | mul(px & 0xff));
    }
    return img;
  }
  return std::nullopt;
}

uint64_t X11::workspace_observe(std::string_view name, WorkspaceCallback callback) {
  return hub_.workspace_observe(name, std::move(callback));
}

void X11::workspace_unobserve(uint64_t token) {
  hub_.workspace_unobserve(token);
}

// ---------------------------------------------------------------- private functions

bool X11::open_library(std::string_view path) { return path == SKYLIGHT || path == APPLICATION_SERVICES; }

std::any X11::symbol(std::string_view name) {
  auto pid_known = [this](Pid pid) {
    settle_for(AxElement{pid, 0});
    std::lock_guard lock(mu_);
    return std::find(app_order_.begin(), app_order_.end(), pid) != app_order_.end();
  };
  if (name == "CGSMainConnectionID") return fn::CGSMainConnectionID([this] { return Cid(xcb_get_file_descriptor(conn_.c())); });
  if (name == "CGSCopyManagedDisplaySpaces")
    return fn::CGSCopyManagedDisplaySpaces([this](Cid) -> std::optional<Value> { return display_spaces(); });
  if (name == "CGSManagedDisplayGetCurrentSpace")
    return fn::CGSManagedDisplayGetCurrentSpace([this](Cid, const std::string&) { return SpaceId(current_desktop()) + 1; });
  if (name == "CGSCopyWindowsWithOptionsAndTags")
    return fn::CGSCopyWindowsWithOptionsAndTags(
        [this](Cid, uint32_t, const Value& spaces, uint32_t, uint64_t&, uint64_t&) -> std::optional<Value> {
          const Array* ids = spaces.array();
          if (!ids) return std::nullopt;
          std::set<int64_t> wanted;
          for (const Value& v : *ids)
            if (const Number* n = v.number()) wanted.insert(n->as_int64());
          server_time();  // the cache catches up first, as for the window list
          std::lock_guard lock(mu_);
          Array out;
          for (xcb_window_t w : stacking_) {
            const auto client = clients_.find(w);
            if (client == clients_.end() || !client->second.props.exists) continue;
            if (const auto& d = client->second.props.desktop;
                d && (*d == STICKY ? !wanted.empty() : wanted.count(int64_t{*d} + 1) > 0))
              out.push_back(Value(int64_t{w}));
          }
          return Value(std::move(out));
        });
  if (name == "CGSSetSymbolicHotKeyEnabled") return fn::CGSSetSymbolicHotKeyEnabled([](int32_t, bool) { return int32_t{0}; });
  if (name == "GetProcessForPID")
    return fn::GetProcessForPID([pid_known](Pid pid, Psn& psn) {
      if (!pid_known(pid)) return PROC_NOT_FOUND;
      psn = Psn{0, uint32_t(pid)};
      return int32_t{0};
    });
  if (name == "GetProcessPID")
    return fn::GetProcessPID([pid_known](const Psn& psn, Pid& pid) {
      if (psn.high != 0 || !pid_known(Pid(psn.low))) return PROC_NOT_FOUND;
      pid = Pid(psn.low);
      return int32_t{0};
    });
  if (name == "_SLPSGetFrontProcess")
    return fn::_SLPSGetFrontProcess([this](Psn& psn) {
      auto front = workspace_frontmost();
      if (!front) return PROC_NOT_FOUND;
      psn = Psn{0, uint32_t(*front)};
      return int32_t{0};
    });
  if (name == "_SLPSSetFrontProcessWithOptions")
    return fn::_SLPSSetFrontProcessWithOptions([this, pid_known](const Psn& psn, Wid wid, uint32_t) {
      const Pid pid = Pid(psn.low);
      if (psn.high != 0 || !pid_known(pid)) return PROC_NOT_FOUND;
      bool owned;
      {
        std::lock_guard lock(mu_);
        auto it = clients_.find(wid);
        owned = it != clients_.end() && it->second.pid == pid;
      }
      if (owned) activate(wid);
      else app_activate(pid);
      return int32_t{0};
    });
  // _NET_ACTIVE_WINDOW already gives the window the keyboard focus: the record needs no action.
  if (name == "SLPSPostEventRecordTo") return fn::SLPSPostEventRecordTo([](const Psn&, const EventRecord&) { return int32_t{0}; });
  if (auto registration = hub_.symbol(name); registration.has_value()) return registration;
  if (name == "SLSRequestNotificationsForWindows")
    return fn::SLSRequestNotificationsForWindows([this](Cid, const std::vector<Wid>& wids) {
      hub_.request_windows(wids);
      return int32_t{0};
    });
  // Remote tokens do not exist on X11: every client window is in AXWindows already, so no
  // token ever names an element the listing missed.
  if (name == "_AXUIElementCreateWithRemoteToken")
    return fn::_AXUIElementCreateWithRemoteToken([](const RemoteToken&) -> std::optional<AxElement> { return std::nullopt; });
  if (name == "_AXUIElementGetWindow")
    return fn::_AXUIElementGetWindow([](const AxElement& e, Wid& wid) {
      const uint64_t w = e.id & ~(CLOSE_BUTTON | MINIMIZE_BUTTON);
      if (w == 0 || w != e.id) return ax_error::ILLEGAL_ARGUMENT;
      wid = Wid(w);
      return ax_error::SUCCESS;
    });
  if (name == "SLSGetWindowBounds")
    return fn::SLSGetWindowBounds([this](Cid, Wid wid, Rect& r) {
      auto p = conn_.props({wid});
      if (!p[0].exists) return CG_ERROR_FAILURE;
      r = p[0].frame();
      return int32_t{0};
    });
  if (name == "SLSCopySpacesForWindows")
    return fn::SLSCopySpacesForWindows([this](Cid, uint32_t, const Value& wids) -> std::optional<Value> {
      const Array* a = wids.array();
      if (!a) return std::nullopt;
      std::vector<xcb_window_t> ws;
      for (const Value& v : *a)
        if (const Number* n = v.number()) ws.push_back(xcb_window_t(n->as_int64()));
      const uint32_t count = desktop_count();
      std::set<int64_t> found;
      for (const Props& p : conn_.props(ws)) {
        if (!p.desktop) continue;
        if (*p.desktop != STICKY) found.insert(int64_t{*p.desktop} + 1);
        else
          for (uint32_t i = 0; i < count && i < 1024; ++i) found.insert(int64_t{i} + 1);
      }
      Array out;
      for (int64_t s : found) out.push_back(Value(s));
      return Value(std::move(out));
    });
  if (name == "SLSMoveWindowsToManagedSpace")
    return fn::SLSMoveWindowsToManagedSpace([this](Cid, const Value& wids, SpaceId space) {
      const Array* a = wids.array();
      if (!a || space == 0) return;
      for (const Value& v : *a)
        if (const Number* n = v.number())
          conn_.root_message(xcb_window_t(n->as_int64()), NET_WM_DESKTOP, {uint32_t(space - 1), 2, 0, 0, 0});
    });
  if (name == "SLSSetWindowTags") return fn::SLSSetWindowTags([](Cid, Wid, uint64_t, int32_t) { return int32_t{0}; });
  return {};
}

}  // namespace mirvex::sys::x11
