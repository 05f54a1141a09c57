// Captures through Composite: the window's frame pixmap is named and read on the capture
// thread, so a slow read never blocks the caller. Windows on other desktops or minimised are
// unmapped and have no pixmap: the capture answers "not shareable".
#include <xcb/composite.h>

#include <cstdlib>

#include "sys/x11/backend.h"

namespace mirvex::sys::x11 {

namespace {

constexpr int64_t CAPTURE_NO_WINDOW = -3815;  // the window is not shareable
constexpr int64_t CAPTURE_FAILED = -3812;     // the server gave no image

template <class T>
std::unique_ptr<T, decltype(&std::free)> own(T* r) {
  return {r, &std::free};
}

// Reads a ZPixmap rectangle of a 24/32-bit drawable into opaque (or, at depth 32, alpha) ARGB,
// scaled to `w`×`h` by nearest neighbour (0 keeps the native size).
std::optional<Image> read(xcb_connection_t* c, xcb_drawable_t d, int16_t x, int16_t y, uint16_t sw, uint16_t sh, int w,
                          int h) {
  if (sw == 0 || sh == 0) return std::nullopt;
  auto r = own(xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, d, x, y, sw, sh, ~0u), nullptr));
  if (!r || (r->depth != 24 && r->depth != 32) || size_t(xcb_get_image_data_length(r.get())) < size_t(sw) * sh * 4)
    return std::nullopt;
  const auto* px = reinterpret_cast<const uint32_t*>(xcb_get_image_data(r.get()));
  const uint32_t alpha = r->depth == 24 ? 0xFF000000u : 0;
  if (w <= 0 || h <= 0) w = sw, h = sh;
  Image img{w, h, std::vector<uint32_t>(size_t(w) * size_t(h))};
  for (int j = 0; j < h; ++j) {
    const size_t sy = size_t(j) * sh / size_t(h);
    for (int i = 0; i < w; ++i) img.argb[size_t(j) * size_t(w) + size_t(i)] = px[sy * sw + size_t(i) * sw / size_t(w)] | alpha;
  }
  return img;
}

}  // namespace

void X11::capture_loop() {
  std::unique_lock lock(mu_);
  while (true) {
    capture_wake_.wait(lock, [&] { return closing_ || !captures_.empty(); });
    if (closing_) return;  // pending completions are dropped with the backend
    Task t = std::move(captures_.front());
    captures_.pop_front();
    lock.unlock();
    t();
    lock.lock();
  }
}

void X11::capture_window(Wid wid, int width, int height, std::function<void(CaptureResult)> done) {
  std::lock_guard lock(mu_);
  captures_.push_back([this, wid, width, height, done = std::move(done)] {
    xcb_connection_t* c = conn_.c();
    CaptureResult res;
    res.error = CAPTURE_NO_WINDOW;
    // The frame is the client's ancestor just below the root; it is what Composite redirects.
    const std::optional<xcb_window_t> top = conn_.tops({wid}).front();
    if (!top) return done(res);
    const xcb_window_t frame = *top;
    auto attrs = own(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, wid), nullptr));
    auto geo = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, wid), nullptr));
    auto off = own(xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, wid, frame, 0, 0), nullptr));
    if (!attrs || !geo || !off || attrs->map_state != XCB_MAP_STATE_VIEWABLE) return done(res);
    const xcb_pixmap_t pix = xcb_generate_id(c);
    auto named = own(xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, frame, pix)));
    std::optional<Image> img;
    if (!named) {
      img = read(c, pix, off->dst_x, off->dst_y, geo->width, geo->height, width, height);
      xcb_free_pixmap(c, pix);
    } else {
      img = read(c, wid, 0, 0, geo->width, geo->height, width, height);  // not redirected: read the window
    }
    xcb_flush(c);
    if (img) res = CaptureResult{std::move(img), std::nullopt};
    else res.error = CAPTURE_FAILED;
    done(std::move(res));
  });
  capture_wake_.notify_all();
}

void X11::capture_display(uint32_t display, std::vector<Wid>, int width, int height,
                          std::function<void(CaptureResult)> done) {
  std::lock_guard lock(mu_);
  captures_.push_back([this, display, width, height, done = std::move(done)] {
    const auto all = screens();
    CaptureResult res;
    res.error = CAPTURE_NO_WINDOW;
    for (const Screen& s : all) {
      if (s.id != display) continue;
      const double top = all.front().frame.h - s.frame.y - s.frame.h;  // back to window-server space
      auto img = read(conn_.c(), conn_.root(), saturate<int16_t>(s.frame.x), saturate<int16_t>(top),
                      saturate<uint16_t>(s.frame.w), saturate<uint16_t>(s.frame.h), width, height);
      res = img ? CaptureResult{std::move(img), std::nullopt} : CaptureResult{std::nullopt, CAPTURE_FAILED};
    }
    done(std::move(res));
  });
  capture_wake_.notify_all();
}

void X11::shareable_content(bool exclude_desktop, bool onscreen_only, std::function<void(ContentResult)> done) {
  std::lock_guard lock(mu_);
  captures_.push_back([this, exclude_desktop, onscreen_only, done = std::move(done)] {
    uint32_t options = (onscreen_only ? wl::ON_SCREEN_ONLY : 0) | (exclude_desktop ? wl::EXCLUDE_DESKTOP : 0);
    ShareableContent content;
    if (auto list = window_list(options, 0); list && list->array())
      for (const Value& e : *list->array()) {
        ShareableWindow w;
        if (const Value* n = e.get(wl::NUMBER); n && n->number()) w.wid = Wid(n->number()->as_int64());
        if (const Value* b = e.get(wl::BOUNDS)) w.frame = rect_from_dict(*b).value_or(Rect{});
        if (const Value* l = e.get(wl::LAYER); l && l->number()) w.layer = int32_t(l->number()->as_int64());
        content.windows.push_back(w);
      }
    for (const Screen& s : screens()) content.displays.push_back(ShareableDisplay{s.id, s.frame.w, s.frame.h});
    done(ContentResult{std::move(content), {}});
  });
  capture_wake_.notify_all();
}

}  // namespace mirvex::sys::x11
