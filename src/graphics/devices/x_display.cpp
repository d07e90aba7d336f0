// Opening the display, choosing the visual and colormap, the error handlers and the
// event loops shared by the X device and the widgets.
#include "graphics/devices/x_display.h"
#include "graphics/devices/x_session.h"

#include <X11/Shell.h>
#include <X11/StringDefs.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"

XDisplayState x_state;
XSettings x_settings;

namespace {

// The toolkit wants argc/argv it may edit; the session's options are parsed elsewhere.
int fake_argc = 1;
char fake_name[] = "vek";
char* fake_argv[] = {fake_name, nullptr};

constexpr const char* kInstance = "vek";
constexpr const char* kClass = "Vek";

bool lost = false;          // the server went away; the Display must not be used again
bool in_init = false;       // a toolkit error now unwinds to x_init
int lock_depth = 0;
std::chrono::steady_clock::time_point last_drain;

struct ToolkitFailure {
  std::string text;
};

int protocol_error(Display* d, XErrorEvent* e) {
  char text[256];
  XGetErrorText(d, e->error_code, text, sizeof text);
  message(M_X_PROTOCOL, 0, MSG_INFO, text);
  return 0;
}

// Xlib ends the program when this handler returns unless an exit handler is set; the
// exit handler below returns, so the failing call comes back and the flag does the rest.
int io_error(Display*) {
  if (!lost) message(M_X_PROTOCOL, 0, MSG_INFO, "connection to the X server lost");
  lost = true;
  return 0;
}

void io_error_exit(Display*, void*) { lost = true; }

// The toolkit's fatal errors must not end the session: they unwind to x_init while the
// display is opened, and become an ordinary error afterwards.
__attribute__((noreturn)) void toolkit_error(String text) {  // Xt's handler type says so
  if (in_init) throw ToolkitFailure{text ? text : ""};
  message(M_X_PROTOCOL, 0, MSG_LONGJMP, text ? text : "");
  throw VekJump{MSG_LONGJMP, M_X_PROTOCOL};  // not reached: the action transfers
}

void toolkit_warning(String) {}

int lowest_bit(unsigned long m) {
  if (!m) return 0;
  int s = 0;
  while (!(m & 1)) {
    m >>= 1;
    s++;
  }
  return s;
}

int bit_count(unsigned long m) {
  int n = 0;
  for (; m; m &= m - 1) n++;
  return n;
}

// A resource tried as an instance resource and then under its class name.
bool resource(Display* d, const char* instance_name, const char* class_name, std::string& out) {
  XrmDatabase db = XrmGetDatabase(d);
  if (!db) return false;
  for (const char* name : {instance_name, class_name}) {
    if (!name) continue;
    std::string full_name = std::string(kInstance) + "." + name;
    std::string full_class = std::string(kClass) + "." + name;
    char* type = nullptr;
    XrmValue value;
    if (XrmGetResource(db, full_name.c_str(), full_class.c_str(), &type, &value) && value.addr) {
      out.assign(value.addr, value.size && value.addr[value.size - 1] == 0 ? value.size - 1 : value.size);
      return true;
    }
  }
  return false;
}

bool parse_int(const std::string& s, int& out) {
  char* end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (end == s.c_str() || *end) return false;
  out = static_cast<int>(v);
  return true;
}

int class_of_name(const std::string& s) {
  static const char* names[] = {"staticgray", "grayscale", "staticcolor", "pseudocolor", "truecolor", "directcolor"};
  std::string lower;
  for (char c : s) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < 6; i++)
    if (lower == names[i]) return i;
  return -1;
}

void read_resources(Display* d) {
  std::string v;
  if (resource(d, "gr_visual", "visual", v)) {
    int c = class_of_name(v);
    if (c < 0)
      message(M_X_RESOURCE, 0, MSG_INFO, kClass, "visual", v.c_str());
    else if (x_settings.visual_class < 0)
      x_settings.visual_class = c;
  }
  if (resource(d, "gr_depth", "depth", v)) {
    int n;
    if (!parse_int(v, n) || n < 0 || n > 32)
      message(M_X_RESOURCE, 0, MSG_INFO, kClass, "depth", v.c_str());
    else if (!x_settings.visual_depth)
      x_settings.visual_depth = n;
  }
  if (resource(d, "colors", nullptr, v)) {
    int n;
    if (!parse_int(v, n) || n > 256 || n < -256)
      message(M_X_RESOURCE, 0, MSG_INFO, kClass, "colors", v.c_str());
    else if (!x_settings.colors)
      x_settings.colors = n;
  }
  if (resource(d, "retain", nullptr, v)) {
    int n;
    if (!parse_int(v, n) || n < 0 || n > 2)
      message(M_X_RESOURCE, 0, MSG_INFO, kClass, "retain", v.c_str());
    else
      x_settings.retain = n;
  }
  for (const char* name : {"olh_text_width", "olh_text_height"}) {
    int n;
    if (resource(d, name, nullptr, v) && (!parse_int(v, n) || n <= 0))
      message(M_X_RESOURCE, 0, MSG_INFO, kClass, name, v.c_str());
  }
}

// The visual of the given class and depth (0: any), the default preferred.
bool find_visual(Display* d, int screen, int c_class, int depth, XVisualInfo& found) {
  XVisualInfo tmpl{};
  tmpl.screen = screen;
  tmpl.c_class = c_class;
  tmpl.depth = depth;
  long mask = VisualScreenMask | VisualClassMask | (depth ? VisualDepthMask : 0);
  int n = 0;
  XVisualInfo* list = XGetVisualInfo(d, mask, &tmpl, &n);
  if (!list) return false;
  Visual* def = DefaultVisual(d, screen);
  int pick = 0;
  for (int i = 0; i < n; i++)
    if (list[i].visual == def) pick = i;
  found = list[pick];
  XFree(list);
  return n > 0;
}

bool choose_visual(Display* d, int screen, XVisualInfo& vi) {
  if (x_settings.visual_class >= 0) {
    if (find_visual(d, screen, x_settings.visual_class, x_settings.visual_depth, vi)) return true;
    Visual* def = DefaultVisual(d, screen);
    XVisualInfo tmpl{};
    tmpl.visualid = XVisualIDFromVisual(def);
    int n = 0;
    XVisualInfo* list = XGetVisualInfo(d, VisualIDMask, &tmpl, &n);
    if (!list) return false;
    vi = list[0];
    XFree(list);
    message(M_X_VISUAL, 0, MSG_INFO, x_visual_class_name(x_settings.visual_class), x_settings.visual_depth,
            x_visual_class_name(vi.c_class), vi.depth);
    return true;
  }
  static const int order[][2] = {{DirectColor, 24}, {TrueColor, 24},  {PseudoColor, 8}, {PseudoColor, 6},
                                 {PseudoColor, 4},  {StaticColor, 8}, {StaticColor, 4}, {GrayScale, 0},
                                 {StaticGray, 0}};
  for (const auto& o : order)
    if (find_visual(d, screen, o[0], o[1], vi)) return true;
  return false;
}

void forget_display_state() {
  XDisplayState fresh;
  fresh.toolkit = x_state.toolkit;
  x_state = fresh;
}

void drain_now() {
  last_drain = std::chrono::steady_clock::now();
  if (lost) {
    x_close_display();
    return;
  }
  if (!x_state.app || !x_state.display) return;
  while (!lost) {
    XtInputMask pending = XtAppPending(x_state.app);
    if (lost || !pending) break;
    if (pending & XtIMXEvent) {
      XEvent ev;
      XtAppNextEvent(x_state.app, &ev);
      if (lost) break;
      x_state.critical++;
      try {
        if (!x_process_event(&ev)) XtDispatchEvent(&ev);
      } catch (...) {
        x_state.critical--;
        throw;
      }
      x_state.critical--;
    } else {
      XtAppProcessEvent(x_state.app, pending);
    }
  }
  if (lost) x_close_display();
}

}  // namespace

const char* x_visual_class_name(int visual_class) {
  static const char* names[] = {"StaticGray", "GrayScale", "StaticColor", "PseudoColor", "TrueColor", "DirectColor"};
  return visual_class >= 0 && visual_class < 6 ? names[visual_class] : "<UndefinedVisual>";
}

bool x_connection_lost() { return lost; }

bool x_init(int argc, char** argv, int action) {
  if (lost) x_close_display();
  if (x_state.display) return true;
  int severity = action & ~0x10000;
  if (action & 0x10000) severity = MSG_INFO;
  if (!argv || argc <= 0) {
    argc = fake_argc;
    argv = fake_argv;
  }
  XSetErrorHandler(protocol_error);
  XSetIOErrorHandler(io_error);
  XtToolkitInitialize();
  XtAppContext app = XtCreateApplicationContext();
  XtAppSetErrorHandler(app, toolkit_error);
  XtAppSetWarningHandler(app, toolkit_warning);
  Display* d = nullptr;
  in_init = true;
  try {
    d = XtOpenDisplay(app, nullptr, kInstance, kClass, nullptr, 0, &argc, argv);
  } catch (const ToolkitFailure&) {
    d = nullptr;
  }
  in_init = false;
  if (!d) {
    XtDestroyApplicationContext(app);
    const char* name = getenv("DISPLAY");
    message(M_NO_DISPLAY, 0, severity, name ? name : "");
    return false;
  }
  XSetIOErrorExitHandler(d, io_error_exit, nullptr);
  lost = false;
  int screen = DefaultScreen(d);
  read_resources(d);
  XVisualInfo vi{};
  if (!choose_visual(d, screen, vi)) {
    XtCloseDisplay(d);
    XtDestroyApplicationContext(app);
    message(M_X_VISUAL, 0, severity, "<UndefinedVisual>", 0, x_visual_class_name(DefaultVisual(d, screen)->c_class),
            DefaultDepth(d, screen));
    return false;
  }
  x_state.display = d;
  x_state.app = app;
  x_state.screen = screen;
  x_state.visual = vi.visual;
  x_state.visual_class = vi.c_class;
  x_state.depth = vi.depth;
  x_state.bits_per_rgb = vi.bits_per_rgb;
  x_state.colormap_size = vi.colormap_size;
  x_state.screen_width = DisplayWidth(d, screen);
  x_state.screen_height = DisplayHeight(d, screen);
  if (vi.c_class == TrueColor || vi.c_class == DirectColor) {
    unsigned long m[3] = {vi.red_mask, vi.green_mask, vi.blue_mask};
    for (int k = 0; k < 3; k++) {
      x_state.mask[k] = m[k];
      x_state.shift[k] = lowest_bit(m[k]);
      x_state.width[k] = bit_count(m[k]);
    }
  }
  x_state.plane_mask = vi.depth >= 32 ? ~0UL : (1UL << vi.depth) - 1;
  // The colormap is chosen now so that widgets see it; cells are obtained on first use.
  if (vi.visual == DefaultVisual(d, screen)) {
    x_state.colormap = DefaultColormap(d, screen);
    x_state.private_colormap = false;
  } else {
    x_state.colormap = XCreateColormap(d, RootWindow(d, screen), vi.visual,
                                       vi.c_class == DirectColor || vi.c_class == GrayScale ||
                                               vi.c_class == PseudoColor
                                           ? AllocAll
                                           : AllocNone);
    x_state.private_colormap = true;
  }
  x_state.bitmap_pad = BitmapPad(d);
  for (int i = 0; i < 8; i++)
    x_state.bit_mask[i] = static_cast<unsigned char>(BitmapBitOrder(d) == LSBFirst ? 1 << i : 0x80 >> i);
  x_state.wm_protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  x_state.wm_delete_window = XInternAtom(d, "WM_DELETE_WINDOW", False);
  x_state.wm_take_focus = XInternAtom(d, "WM_TAKE_FOCUS", False);
  x_state.private_message = XInternAtom(d, "BOGUS_VEK_MSG", False);
  if (x_settings.do_sync) {
    message(M_GENERIC, 0, MSG_INFO | MSG_NOPREFIX, "X Windows driver is in SYNC mode");
    XSynchronize(d, True);
  }
  Arg args[4];
  int n = 0;
  XtSetArg(args[n], XtNmappedWhenManaged, False), n++;
  XtSetArg(args[n], XtNvisual, vi.visual), n++;
  XtSetArg(args[n], XtNdepth, vi.depth), n++;
  XtSetArg(args[n], XtNcolormap, x_state.colormap), n++;
  x_state.shell = XtAppCreateShell(kInstance, kClass, applicationShellWidgetClass, d, args, n);
  x_set_timer(!x_settings.notimer);
  last_drain = std::chrono::steady_clock::now();
  return true;
}

void x_close_display() {
  if (x_state.display && !lost) {
    if (x_state.shell) XtDestroyWidget(x_state.shell);
    Display* d = x_state.display;
    XtAppContext app = x_state.app;
    XtCloseDisplay(d);
    if (app) XtDestroyApplicationContext(app);
  }
  // A lost connection's structures are abandoned: freeing them would talk to the server.
  lost = false;
  forget_display_state();
}

// ---- Colours ------------------------------------------------------------------------------

void x_init_colortable(int colors) {
  if (x_state.colors_loaded || !x_state.display) return;
  Display* d = x_state.display;
  int c = x_state.visual_class;
  int size = std::min(x_state.colormap_size, 256);
  if (c == TrueColor || c == StaticColor || c == StaticGray) {
    x_state.n_cells = size;
    for (int i = 0; i < 256; i++) x_state.translation[i] = static_cast<unsigned long>(i);
    x_state.colors_loaded = true;
    return;
  }
  int want = colors ? colors : x_settings.colors;
  if (x_state.private_colormap) {
    // All cells of a colormap of our own are ours.
    int n = want > 0 ? std::min(want, size) : size + (want < 0 ? want : 0);
    if (n < 1) message(M_NO_COLORS, 0, MSG_LONGJMP);
    x_state.n_cells = n;
    for (int i = 0; i < 256; i++) x_state.translation[i] = static_cast<unsigned long>(std::min(i, n - 1));
    x_state.colors_loaded = true;
    return;
  }
  // Shared colormap: the largest number of cells that can be had, by bisection.
  unsigned long pixels[256];
  int lo = 0, hi = size;
  while (lo < hi) {
    int k = (lo + hi + 1) / 2;
    if (XAllocColorCells(d, x_state.colormap, False, nullptr, 0, pixels, static_cast<unsigned>(k))) {
      XFreeColors(d, x_state.colormap, pixels, k, 0);
      lo = k;
    } else {
      hi = k - 1;
    }
  }
  int n = lo;
  if (want > 0)
    n = std::min(n, want);
  else if (want < 0)
    n += want;
  if (want > 0 && lo < want && !x_settings.install_colormap) message(M_NO_COLORS, 0, MSG_LONGJMP);
  if (n < 2 && x_settings.install_colormap) {
    x_state.colormap = XCreateColormap(d, RootWindow(d, x_state.screen), x_state.visual, AllocAll);
    x_state.private_colormap = true;
    x_init_colortable(colors);
    return;
  }
  if (n < 1 || !XAllocColorCells(d, x_state.colormap, False, nullptr, 0, pixels, static_cast<unsigned>(n)))
    message(M_NO_COLORS, 0, MSG_LONGJMP);
  std::sort(pixels, pixels + n);
  x_state.n_cells = n;
  for (int i = 0; i < 256; i++) x_state.translation[i] = pixels[std::min(i, n - 1)];
  x_state.colors_loaded = true;
}

void x_store_colors(const uint8_t (*map)[256], int start, int count) {
  if (!x_state.display || !x_state.colors_loaded) return;
  int c = x_state.visual_class;
  if (c == TrueColor || c == StaticColor || c == StaticGray) return;
  std::vector<XColor> cells;
  if (c == DirectColor) {
    // One entry per channel value: the index i is a grey ramp through the colormap.
    for (int i = std::max(start, 0); i < std::min(start + count, x_state.colormap_size) && i < 256; i++) {
      XColor x{};
      unsigned long v = static_cast<unsigned long>(i);
      x.pixel = ((v << x_state.shift[0]) & x_state.mask[0]) | ((v << x_state.shift[1]) & x_state.mask[1]) |
                ((v << x_state.shift[2]) & x_state.mask[2]);
      x.red = static_cast<unsigned short>(map[0][i] * 257);
      x.green = static_cast<unsigned short>(map[1][i] * 257);
      x.blue = static_cast<unsigned short>(map[2][i] * 257);
      x.flags = DoRed | DoGreen | DoBlue;
      cells.push_back(x);
    }
  } else {
    for (int i = std::max(start, 0); i < std::min(start + count, x_state.n_cells) && i < 256; i++) {
      XColor x{};
      x.pixel = x_state.translation[i];
      x.red = static_cast<unsigned short>(map[0][i] * 257);
      x.green = static_cast<unsigned short>(map[1][i] * 257);
      x.blue = static_cast<unsigned short>(map[2][i] * 257);
      if (c == GrayScale) x.red = x.green = x.blue = static_cast<unsigned short>((map[0][i] * 30 + map[1][i] * 59 + map[2][i] * 11) / 100 * 257);
      x.flags = DoRed | DoGreen | DoBlue;
      cells.push_back(x);
    }
  }
  if (!cells.empty()) XStoreColors(x_state.display, x_state.colormap, cells.data(), static_cast<int>(cells.size()));
}

unsigned long x_index_to_pixel(uint32_t index, const uint8_t (*map)[256]) {
  int c = x_state.visual_class;
  bool bypass = x_settings.bypass_translation;
  if (c != TrueColor && c != DirectColor) {
    if (bypass) return index;
    return x_state.translation[std::min<uint32_t>(index, 255)];
  }
  uint32_t v;
  if (x_settings.decomposed) {
    v = index;
  } else if (c == TrueColor) {
    uint32_t i = std::min<uint32_t>(index, 255);
    v = map[0][i] | (map[1][i] << 8) | (map[2][i] << 16);
  } else {
    v = std::min<uint32_t>(index, 255) * 65793u;
  }
  unsigned long pixel = 0;
  for (int k = 0; k < 3; k++) {
    unsigned long byte = (v >> (8 * k)) & 255;
    if (!bypass && c != TrueColor) byte = x_state.translation[byte] & 255;
    if (x_state.width[k] < 8) byte >>= 8 - x_state.width[k];
    pixel |= (byte << x_state.shift[k]) & x_state.mask[k];
  }
  return pixel;
}

// ---- Events -------------------------------------------------------------------------------

int x_get_connect_fd() { return x_state.display && !lost ? ConnectionNumber(x_state.display) : -1; }

void x_drain_events() {
  if (lock_depth) return;
  drain_now();
}

void x_drain_events2() {
  if (!x_state.timer_on || lock_depth || !x_state.display) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_drain < std::chrono::milliseconds(100)) return;
  drain_now();
}

void x_wait_for_event() {
  if (!x_state.display || lost) return;
  XFlush(x_state.display);
  if (!lost && !XtAppPending(x_state.app)) {
    int fd = ConnectionNumber(x_state.display);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{0, 200000};  // toolkit timers and the interrupt key are looked at meanwhile
    select(fd + 1, &set, nullptr, nullptr, &tv);
  }
  drain_now();
}

void x_drain_events_until_input(int fd) {
  for (;;) {
    drain_now();
    int xfd = x_get_connect_fd();
    if (xfd < 0) return;
    XFlush(x_state.display);
    if (lost) continue;
    if (XtAppPending(x_state.app)) continue;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    FD_SET(xfd, &set);
    timeval tv{0, 200000};
    int r = select(std::max(fd, xfd) + 1, &set, nullptr, nullptr, &tv);
    if (r < 0 && errno == EINTR) return;  // the interrupt key: the reader decides
    if (r < 0) return;
    if (FD_ISSET(fd, &set)) return;
  }
}

void x_process_next_toolkit_event() {
  if (!x_state.app || lost) return;
  if (XtAppPending(x_state.app)) {
    XEvent ev;
    if (XtAppPending(x_state.app) & XtIMXEvent) {
      XtAppNextEvent(x_state.app, &ev);
      if (!lost && !x_process_event(&ev)) XtDispatchEvent(&ev);
    } else {
      XtAppProcessEvent(x_state.app, XtIMAll);
    }
  }
  if (lost) x_close_display();
}

void x_wait_for_toolkit_event() { x_wait_for_event(); }

bool x_get_next_xlib_event(XEvent* event) {
  if (!x_state.display || lost) return false;
  if (!XPending(x_state.display) || lost) return false;
  XNextEvent(x_state.display, event);
  return !lost;
}

void x_set_timer(bool on) { x_state.timer_on = on && !x_settings.notimer; }

void x_lock() { lock_depth++; }
void x_unlock() {
  if (lock_depth > 0) lock_depth--;
}

bool x_session_init(int* argc, char** argv, int flags) {
  return x_init(argc ? *argc : 0, argv, MSG_CONTINUE | (flags & 0x10000));
}
