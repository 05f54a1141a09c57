/* A small X client for the integration tests: one top-level window whose title, class, pid,
 * type, state, desktop and colour the test chooses, so the tests know exactly what the server
 * holds. Prints the window id (decimal) on standard output once mapped, then serves events
 * until the window manager closes it (WM_DELETE_WINDOW) or it is killed.
 * usage: xclient [-t title] [-c instance,Class] [-p pid] [-y normal|dialog|dock|utility|desktop]
 *                [-s hidden|fullscreen] [-d desktop] [-o opacity 0..1] [-k rrggbb]        */
#include <xcb/xcb.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static xcb_connection_t* c;

static xcb_atom_t atom(const char* name) {
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
  xcb_atom_t a = r ? r->atom : XCB_ATOM_NONE;
  free(r);
  return a;
}

static void set32(xcb_window_t w, const char* prop, xcb_atom_t type, uint32_t v) {
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(prop), type, 32, 1, &v);
}

int main(int argc, char** argv) {
  const char *title = "xclient", *cls = "xclient,XClient", *type = NULL, *state = NULL;
  long pid = getpid(), desktop = -1;
  double opacity = -1;
  uint32_t color = 0x3366cc;
  int opt;
  while ((opt = getopt(argc, argv, "t:c:p:y:s:d:o:k:")) != -1) {
    switch (opt) {
      case 't': title = optarg; break;
      case 'c': cls = optarg; break;
      case 'p': pid = atol(optarg); break;
      case 'y': type = optarg; break;
      case 's': state = optarg; break;
      case 'd': desktop = atol(optarg); break;
      case 'o': opacity = atof(optarg); break;
      case 'k': color = (uint32_t)strtoul(optarg, NULL, 16); break;
      default: return 2;
    }
  }
  c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) return 1;
  xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t w = xcb_generate_id(c);
  uint32_t values[] = {color, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, s->root, 40, 40, 200, 120, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    s->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  xcb_atom_t utf8 = atom("UTF8_STRING");
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, (uint32_t)strlen(title), title);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_NAME"), utf8, 8, (uint32_t)strlen(title), title);
  char klass[256];
  snprintf(klass, sizeof klass, "%s", cls);
  size_t len = strlen(klass) + 1;
  char* comma = strchr(klass, ',');
  if (comma) *comma = '\0';
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, (uint32_t)len, klass);
  if (pid > 0) set32(w, "_NET_WM_PID", XCB_ATOM_CARDINAL, (uint32_t)pid);
  if (type) {
    char name[64];
    snprintf(name, sizeof name, "_NET_WM_WINDOW_TYPE_%s", type);
    for (char* p = name; *p; ++p)
      if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
    set32(w, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, atom(name));
  }
  if (state) {
    char name[64];
    snprintf(name, sizeof name, "_NET_WM_STATE_%s", state);
    for (char* p = name; *p; ++p)
      if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
    set32(w, "_NET_WM_STATE", XCB_ATOM_ATOM, atom(name));
  }
  if (desktop >= 0) set32(w, "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, (uint32_t)desktop);
  if (opacity >= 0) set32(w, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL, (uint32_t)(opacity * 0xFFFFFFFFu));
  xcb_atom_t protocols = atom("WM_PROTOCOLS"), del = atom("WM_DELETE_WINDOW");
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, protocols, XCB_ATOM_ATOM, 32, 1, &del);
  xcb_map_window(c, w);
  xcb_flush(c);
  printf("%u\n", w);
  fflush(stdout);
  xcb_generic_event_t* ev;
  while ((ev = xcb_wait_for_event(c))) {
    if ((ev->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
      xcb_client_message_event_t* m = (xcb_client_message_event_t*)ev;
      if (m->type == protocols && m->data.data32[0] == del) {
        free(ev);
        break;
      }
    }
    free(ev);
  }
  xcb_disconnect(c);
  return 0;
}
