// The X Window device: numbered windows on the shared display connection, with optional
// backing pixmaps (retain 2), colour translation through the display's translation table,
// line drawing, polygon fill, image transfer both ways, device text, the pointer as cursor
// and the event handling of its windows (expose, resize, window-manager close).

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "base/message.h"
#include "graphics/device.h"
#include "interp/interpreter.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/temps.h"

// Xlib's macros (Complex, None, Bool) must come after the value model's names.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <sys/select.h>

#include "graphics/devices/drivers.h"
#include "graphics/devices/x_display.h"
#include "graphics/devices/x_windows.h"

namespace {

constexpr int kDefaultXSize = 640, kDefaultYSize = 512;
constexpr int kForeignWindow = 8;  // descriptor flag: a window given by SET_X_ID
constexpr int kWidgetWindow = 16;  // descriptor flag: a widget's drawing area
constexpr int M_WIDGET_WINDOW = -356;
constexpr int kFirstFree = 32;     // FREE windows take indices from here on

struct XWin {
  int index = 0;
  int flags = 0;
  int retain = 0;
  bool is_pixmap = false;  // PIXMAP: an invisible drawable
  Window id = 0;           // the window (or the pixmap itself)
  Pixmap backing = 0;      // retain 2
  bool foreign_backing = false;
  int width = 0, height = 0;
  std::string title;
};

// Most recently created first, as the descriptor list runs.
std::list<XWin> windows;
XWin* current = nullptr;
GC gc = nullptr;
XFontStruct* font_info = nullptr;
bool connected = false;  // windows above belong to the open display
std::string current_font_name;  // empty: the server's default font

// The pointer as the last event left it (for the cursor operation).
struct PointerState {
  int x = 0, y = 0;        // device coordinates in the current window
  int buttons = 0;         // 1 left, 2 middle, 4 right
  int changed_button = 0;  // the button of the last press or release
  Time time = 0;
  unsigned presses = 0, releases = 0, motions = 0;
};
PointerState pointer;

DeviceRecord& dev() { return x_device; }
Display* dpy() { return x_state.display; }

void set_device_size(int w, int h) {
  DeviceRecord& d = dev();
  d.x_size = d.x_vsize = w;
  d.y_size = d.y_vsize = h;
  d.aspect = h ? static_cast<float>(w) / static_cast<float>(h) : 1.0f;
}

// Windows of a connection that went away are forgotten with it.
void forget_windows() {
  windows.clear();
  current = nullptr;
  gc = nullptr;
  font_info = nullptr;
  connected = false;
  dev().window = -1;
  set_device_size(kDefaultXSize, kDefaultYSize);
}

void check_connection() {
  if (x_connection_lost()) x_close_display();
  if (connected && !x_state.display) forget_windows();
}

// Opens the display (reporting -337 with the action when it cannot be) and takes over its
// colour facts.
bool open_display(int action) {
  check_connection();
  // The widgets may have opened the display already.
  if (!x_state.display && !x_init(0, nullptr, action)) return false;
  if (connected) return true;
  connected = true;
  DeviceRecord& d = dev();
  int c = x_state.visual_class;
  int planes = x_state.depth;
  if (c == TrueColor || c == DirectColor)
    d.n_colors = planes >= 31 ? 0x7fffffff : 1 << std::min(planes, 24);
  else
    d.n_colors = 1 << std::min(planes, 8);
  d.table_size = std::min(x_state.colormap_size, 256);
  if (plot_com.color == 255 || plot_com.color > d.n_colors - 1) plot_com.color = d.n_colors - 1;
  return true;
}

void need_display() { open_display(MSG_LONGJMP); }

// The colour cells, on the first operation that draws.
void need_colors(int colors = 0) {
  need_display();
  if (x_state.colors_loaded) return;
  x_init_colortable(colors);
  DeviceRecord& d = dev();
  int c = x_state.visual_class;
  if (c != TrueColor && c != DirectColor && c != StaticColor && c != StaticGray) {
    int old_top = d.n_colors - 1;
    d.n_colors = d.table_size = x_state.n_cells;
    if (plot_com.color == old_top || plot_com.color > d.n_colors - 1) plot_com.color = d.n_colors - 1;
  }
  x_store_colors(color_map, 0, 256);
}

XWin* find_window(int index) {
  for (XWin& w : windows)
    if (w.index == index) return &w;
  return nullptr;
}

XWin* find_window_id(Window id) {
  for (XWin& w : windows)
    if (w.id == id && !w.is_pixmap) return &w;
  return nullptr;
}

void make_current(XWin* w) {
  current = w;
  DeviceRecord& d = dev();
  if (!w) {
    d.window = -1;
    return;
  }
  d.window = w->index;
  set_device_size(w->width, w->height);
}

GC graphics_gc(Drawable on) {
  if (!gc) {
    XGCValues v{};
    v.graphics_exposures = False;
    gc = XCreateGC(dpy(), on, GCGraphicsExposures, &v);
  }
  XSetFunction(dpy(), gc, x_state.graphics_function);
  XSetPlaneMask(dpy(), gc, x_settings.write_mask);
  return gc;
}

unsigned long pixel_of(int32_t index) { return x_index_to_pixel(static_cast<uint32_t>(std::max(index, 0)), color_map); }

// The window every drawing operation goes to; window 0 is opened when there is none.
void open_default_window();
XWin& target() {
  check_connection();
  x_drain_events2();
  if (!current) open_default_window();
  return *current;
}

// Both drawables of a window: what is seen and what is kept.
template <typename F>
void each_drawable(XWin& w, F f) {
  f(static_cast<Drawable>(w.id));
  if (w.backing) f(static_cast<Drawable>(w.backing));
}

int flip(const XWin& w, int y) { return w.height - 1 - y; }

// ---- Windows ------------------------------------------------------------------------------

void destroy_window(XWin& w) {
  if (!x_state.display) return;
  if (w.backing && !w.foreign_backing) XFreePixmap(dpy(), w.backing);
  if (w.is_pixmap)
    XFreePixmap(dpy(), w.id);
  else if (!(w.flags & kForeignWindow))
    XDestroyWindow(dpy(), w.id);
}

void delete_window(int index) {
  for (auto it = windows.begin(); it != windows.end(); ++it) {
    if (it->index != index) continue;
    destroy_window(*it);
    bool was_current = current == &*it;
    windows.erase(it);
    if (was_current) {
      // The most recent window left becomes current; none: no window.
      if (windows.empty()) {
        make_current(nullptr);
        set_device_size(kDefaultXSize, kDefaultYSize);
      } else {
        make_current(&windows.front());
      }
    }
    if (x_state.display) XFlush(dpy());
    return;
  }
}

Pixmap new_pixmap(int w, int h, unsigned long background) {
  Pixmap p = XCreatePixmap(dpy(), RootWindow(dpy(), x_state.screen), static_cast<unsigned>(w), static_cast<unsigned>(h),
                           static_cast<unsigned>(x_state.depth));
  if (!p) return 0;
  GC g = graphics_gc(p);
  XSetFunction(dpy(), g, GXcopy);
  XSetForeground(dpy(), g, background);
  XFillRectangle(dpy(), p, g, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XSetFunction(dpy(), g, x_state.graphics_function);
  return p;
}

struct WindowRequest {
  int index = 0;
  bool free = false;
  int xsize = kDefaultXSize, ysize = kDefaultYSize;
  bool xpos_given = false, ypos_given = false;
  int xpos = 0, ypos = 0;
  int retain = -1;
  bool pixmap = false;
  Window set_x_id = 0;
  Pixmap set_x_bid = 0;
  std::string title;
  int colors = 0;
};

void wait_for_map(Window w) {
  // Drawing before the window is on the screen would be lost without retained storage.
  XEvent ev;
  for (int i = 0; i < 200 && !x_connection_lost(); i++) {
    if (XCheckTypedWindowEvent(dpy(), w, MapNotify, &ev)) return;
    XFlush(dpy());
    XSync(dpy(), False);
    if (XCheckTypedWindowEvent(dpy(), w, MapNotify, &ev)) return;
    timeval tv{0, 10000};
    select(0, nullptr, nullptr, nullptr, &tv);
  }
}

XWin& create_window(const WindowRequest& r) {
  need_colors(r.colors);
  Display* d = dpy();
  int index = r.index;
  if (r.free) {
    index = kFirstFree;
    while (find_window(index)) index++;
  } else if (index < 0 || index >= x_state.max_windows) {
    message(M_WINDOW_RANGE, 0, MSG_LONGJMP, index);
  }
  if (find_window(index)) delete_window(index);
  int retain = r.retain >= 0 ? r.retain : x_settings.retain;
  if (r.set_x_bid) retain = 2;
  retain = std::clamp(retain, 0, 2);
  int w = std::max(r.xsize, 1), h = std::max(r.ysize, 1);
  int border = x_state.border_width;
  int placement = r.free ? index + 3 : index;
  int x = r.xpos_given ? r.xpos : ((placement & 2) ? 0 : x_state.screen_width - w - 2 * border);
  int y = r.ypos_given ? x_state.screen_height - r.ypos - h
                       : ((placement & 1) ? x_state.screen_height - h - 2 * border : 0);
  XWin win;
  win.index = index;
  win.retain = retain;
  win.width = w;
  win.height = h;
  unsigned long background = pixel_of(0);
  if (r.pixmap) {
    win.is_pixmap = true;
    win.retain = 0;
    win.id = new_pixmap(w, h, background);
    if (!win.id) message(M_X_CREATE, 0, MSG_LONGJMP, "pixmap");
  } else if (r.set_x_id) {
    win.flags |= kForeignWindow;
    win.id = r.set_x_id;
    XWindowAttributes a;
    if (XGetWindowAttributes(d, r.set_x_id, &a)) {
      win.width = a.width;
      win.height = a.height;
    }
  } else {
    XSetWindowAttributes a{};
    a.background_pixel = background;
    a.border_pixel = pixel_of(static_cast<int32_t>(dev().n_colors - 1));
    a.colormap = x_state.colormap;
    a.backing_store = retain == 1 ? Always : NotUseful;
    a.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   EnterWindowMask | LeaveWindowMask;
    win.id = XCreateWindow(d, RootWindow(d, x_state.screen), x, y, static_cast<unsigned>(w), static_cast<unsigned>(h),
                           1, x_state.depth, InputOutput, x_state.visual,
                           CWBackPixel | CWBorderPixel | CWColormap | CWBackingStore | CWEventMask, &a);
    if (!win.id || x_connection_lost()) message(M_X_CREATE, 0, MSG_LONGJMP, "window");
    char name[64];
    snprintf(name, sizeof name, "VEK %d", index);
    win.title = r.title.empty() ? std::string(name) : r.title;
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = x;
    hints.y = y;
    hints.width = w;
    hints.height = h;
    XTextProperty title_prop;
    char* title_chars = const_cast<char*>(win.title.c_str());
    XStringListToTextProperty(&title_chars, 1, &title_prop);
    XClassHint class_hint{const_cast<char*>("vek"), const_cast<char*>("Vek")};
    XSetWMProperties(d, win.id, &title_prop, &title_prop, nullptr, 0, &hints, nullptr, &class_hint);
    XFree(title_prop.value);
    Atom protocols[1] = {x_state.wm_delete_window};
    XSetWMProtocols(d, win.id, protocols, 1);
  }
  if (retain == 2 && !r.pixmap) {
    if (r.set_x_bid) {
      win.backing = r.set_x_bid;
      win.foreign_backing = true;
    } else {
      win.backing = new_pixmap(win.width, win.height, background);
      if (!win.backing) message(M_X_CREATE, 0, MSG_LONGJMP, "pixmap");
    }
  }
  windows.push_front(win);
  XWin& made = windows.front();
  if (!made.is_pixmap && !(made.flags & kForeignWindow)) {
    XMapRaised(d, made.id);
    wait_for_map(made.id);
  }
  make_current(&made);
  XFlush(d);
  return made;
}

void open_default_window() {
  WindowRequest r;
  create_window(r);
}

// ---- Events -------------------------------------------------------------------------------

void handle_expose(XWin& w, const XExposeEvent& e) {
  if (w.backing) {
    GC g = graphics_gc(w.id);
    XSetFunction(dpy(), g, GXcopy);
    XSetPlaneMask(dpy(), g, ~0UL);
    XCopyArea(dpy(), w.backing, w.id, g, e.x, e.y, static_cast<unsigned>(e.width), static_cast<unsigned>(e.height), e.x,
              e.y);
    XSetFunction(dpy(), g, x_state.graphics_function);
    XSetPlaneMask(dpy(), g, x_settings.write_mask);
  }
  if (e.count == 0) XFlush(dpy());
}

// The window is now width by height: a backing pixmap of the new size takes what fits of
// the old one. False when the size did not change.
bool take_size(XWin& w, int width, int height) {
  if (width == w.width && height == w.height) return false;
  if (w.backing && !w.foreign_backing) {
    Pixmap p = new_pixmap(width, height, pixel_of(plot_com.background));
    if (!p) {
      message(M_X_CREATE, 0, MSG_INFO, "pixmap");
    } else {
      GC g = graphics_gc(p);
      XSetFunction(dpy(), g, GXcopy);
      XSetPlaneMask(dpy(), g, ~0UL);
      // The old picture keeps its place at the bottom left, as device coordinates run.
      int dy = height - w.height;
      XCopyArea(dpy(), w.backing, p, g, 0, 0, static_cast<unsigned>(w.width), static_cast<unsigned>(w.height), 0, dy);
      XSetFunction(dpy(), g, x_state.graphics_function);
      XSetPlaneMask(dpy(), g, x_settings.write_mask);
      XFreePixmap(dpy(), w.backing);
      w.backing = p;
    }
  }
  w.width = width;
  w.height = height;
  return true;
}

void handle_configure(XWin& w, const XConfigureEvent& e) {
  if (take_size(w, e.width, e.height)) make_current(&w);
}

void handle_pointer(XWin& w, int x, int y, Time t) {
  if (&w != current) return;
  pointer.x = x;
  pointer.y = flip(w, y);
  pointer.time = t;
}

int button_bit(unsigned button) { return button == Button1 ? 1 : button == Button2 ? 2 : button == Button3 ? 4 : 0; }

int state_buttons(unsigned state) {
  return ((state & Button1Mask) ? 1 : 0) | ((state & Button2Mask) ? 2 : 0) | ((state & Button3Mask) ? 4 : 0);
}

}  // namespace

bool x_process_event(XEvent* e) {
  XWin* w = find_window_id(e->xany.window);
  if (!w) return false;
  // Windows of other owners (widget drawing areas) see their events too. Read now: the
  // window manager's delete request frees the record.
  const bool ours = !(w->flags & kForeignWindow);
  switch (e->type) {
    case EnterNotify:
      if (x_state.private_colormap) {
        XInstallColormap(dpy(), x_state.colormap);
        XSync(dpy(), False);
      }
      break;
    case LeaveNotify:
      if (x_state.private_colormap) {
        XUninstallColormap(dpy(), x_state.colormap);
        XSync(dpy(), False);
      }
      break;
    case Expose:
      handle_expose(*w, e->xexpose);
      break;
    case ConfigureNotify:
      handle_configure(*w, e->xconfigure);
      break;
    case ClientMessage:
      if (e->xclient.message_type == x_state.wm_protocols &&
          static_cast<Atom>(e->xclient.data.l[0]) == x_state.wm_delete_window)
        delete_window(w->index);
      break;
    case ButtonPress:
      handle_pointer(*w, e->xbutton.x, e->xbutton.y, e->xbutton.time);
      if (w == current) {
        pointer.changed_button = button_bit(e->xbutton.button);
        pointer.buttons = state_buttons(e->xbutton.state) | pointer.changed_button;
        pointer.presses++;
      }
      break;
    case ButtonRelease:
      handle_pointer(*w, e->xbutton.x, e->xbutton.y, e->xbutton.time);
      if (w == current) {
        pointer.changed_button = button_bit(e->xbutton.button);
        pointer.buttons = state_buttons(e->xbutton.state) & ~pointer.changed_button;
        pointer.releases++;
      }
      break;
    case MotionNotify:
      handle_pointer(*w, e->xmotion.x, e->xmotion.y, e->xmotion.time);
      if (w == current) pointer.motions++;
      break;
    default:
      break;
  }
  return ours;
}

int x_adopt_window(unsigned long id, int retain) {
  need_display();
  WindowRequest r;
  r.free = true;
  r.set_x_id = static_cast<Window>(id);
  r.retain = retain;
  XWin& w = create_window(r);
  w.flags |= kWidgetWindow;
  // The owner's background would show where nothing was drawn yet; start from colour 0
  // as the device's own windows do.
  XSetWindowBackground(dpy(), w.id, pixel_of(0));
  XClearWindow(dpy(), w.id);
  XFlush(dpy());
  return w.index;
}

void x_window_resized(int index) {
  check_connection();
  XWin* w = find_window(index);
  if (!w || !x_state.display) return;
  XWindowAttributes a;
  // The exposures of the resize redraw the window from the new backing pixmap.
  if (!XGetWindowAttributes(dpy(), w->id, &a) || !take_size(*w, a.width, a.height)) return;
  // The current window's size is in !D; another window is not made current by this.
  if (w == current) make_current(w);
}

void x_drop_window(int index) {
  XWin* w = find_window(index);
  if (w && (w->flags & kForeignWindow)) delete_window(index);
}

namespace {

// ---- Drawing ------------------------------------------------------------------------------

struct DashTarget {
  XWin* w;
  GC g;
};

void draw_piece(float x0, float y0, float x1, float y1, void* data) {
  auto* t = static_cast<DashTarget*>(data);
  each_drawable(*t->w, [&](Drawable dr) {
    XDrawLine(dpy(), dr, t->g, static_cast<int>(x0), flip(*t->w, static_cast<int>(y0)), static_cast<int>(x1),
              flip(*t->w, static_cast<int>(y1)));
  });
}

DashPhase dash;

void x_draw(const DevPoint* p0, const DevPoint* p1, GraphAttr* attr) {
  XWin& w = target();
  GC g = graphics_gc(w.id);
  XSetForeground(dpy(), g, pixel_of(attr->color));
  int thick = attr->thick > 1 ? static_cast<int>(attr->thick + 0.5f) : 0;
  XSetLineAttributes(dpy(), g, static_cast<unsigned>(thick), LineSolid, CapButt, JoinMiter);
  if (attr->linestyle <= 0) {
    each_drawable(w, [&](Drawable dr) { XDrawLine(dpy(), dr, g, p0->x, flip(w, p0->y), p1->x, flip(w, p1->y)); });
    return;
  }
  if (dash.style != attr->linestyle) dash.reset(attr->linestyle);
  DashTarget t{&w, g};
  dash.segment(static_cast<float>(p0->x), static_cast<float>(p0->y), static_cast<float>(p1->x),
               static_cast<float>(p1->y), static_cast<float>(std::max(thick, 1)), draw_piece, &t);
}

void x_erase(GraphAttr* attr) {
  XWin& w = target();
  need_colors();
  GC g = graphics_gc(w.id);
  XSetForeground(dpy(), g, pixel_of(attr->color));
  each_drawable(w, [&](Drawable dr) {
    XFillRectangle(dpy(), dr, g, 0, 0, static_cast<unsigned>(w.width), static_cast<unsigned>(w.height));
  });
  dash.reset(dash.style);
}

void x_polyfill(const int32_t* x, const int32_t* y, int n, FillRec* fill) {
  if (n < 3) return;
  if (fill->style != FILL_SOLID) {
    polyfill_sfw(x, y, n, fill);
    return;
  }
  XWin& w = target();
  GC g = graphics_gc(w.id);
  XSetForeground(dpy(), g, pixel_of(fill->attr ? fill->attr->color : plot_com.color));
  std::vector<XPoint> pts(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    pts[i].x = static_cast<short>(std::clamp(x[i], -32768, 32767));
    pts[i].y = static_cast<short>(std::clamp(flip(w, y[i]), -32768, 32767));
  }
  each_drawable(w, [&](Drawable dr) { XFillPolygon(dpy(), dr, g, pts.data(), n, Complex, CoordModeOrigin); });
}

// EMPTY: the server has done everything asked of it when this returns.
void x_flush() {
  check_connection();
  if (x_state.display) XSync(dpy(), False);
  x_drain_events();
}

void x_load_color(int start, int count) {
  check_connection();
  if (!x_state.display || !x_state.colors_loaded) return;
  x_store_colors(color_map, start, count);
  XFlush(dpy());
}

// ---- Text ---------------------------------------------------------------------------------

float x_text(const DevPoint* p, GraphAttr* attr, TextAttr* text, const char* s, int length) {
  XWin& w = target();
  GC g = graphics_gc(w.id);
  if (x_state.font) XSetFont(dpy(), g, x_state.font);
  if (!font_info) font_info = XQueryFont(dpy(), XGContextFromGC(g));
  int width = font_info ? XTextWidth(font_info, s, length) : length * dev().x_ch_size;
  if (text->size < 0) return static_cast<float>(width);
  XSetForeground(dpy(), g, pixel_of(attr->color));
  int x = p->x - static_cast<int>(text->alignment * static_cast<float>(width));
  each_drawable(w, [&](Drawable dr) { XDrawString(dpy(), dr, g, x, flip(w, p->y), s, length); });
  return static_cast<float>(width);
}

// ---- Images -------------------------------------------------------------------------------

// Pixel values of the 256 colour indices (and 16-bit indices through the top entry).
void pixel_table(unsigned long table[256]) {
  for (int i = 0; i < 256; i++) table[i] = pixel_of(i);
}

void put_pixel_row(XImage* im, int row, const unsigned long* values, int n) {
  int bpp = im->bits_per_pixel;
  char* line = im->data + static_cast<ptrdiff_t>(row) * im->bytes_per_line;
  if (bpp == 32 && im->byte_order == LSBFirst) {
    auto* out = reinterpret_cast<uint32_t*>(line);
    for (int i = 0; i < n; i++) out[i] = static_cast<uint32_t>(values[i]);
  } else if (bpp == 8) {
    auto* out = reinterpret_cast<uint8_t*>(line);
    for (int i = 0; i < n; i++) out[i] = static_cast<uint8_t>(values[i]);
  } else {
    for (int i = 0; i < n; i++) XPutPixel(im, i, row, values[i]);
  }
}

void write_image(XWin& w, const uint8_t* pixels, int x, int y, int nx, int ny, const ImageRec* rec) {
  need_colors();
  Display* d = dpy();
  // Only the part on the drawable is sent.
  int top = flip(w, y + ny - 1);  // X row of the image's top
  int x0 = std::max(0, -x), x1 = std::min(nx, w.width - x);
  int r0 = std::max(0, -top), r1 = std::min(ny, w.height - top);
  if (x0 >= x1 || r0 >= r1) return;
  int cw = x1 - x0, ch = r1 - r0;
  XImage* im = XCreateImage(d, x_state.visual, static_cast<unsigned>(x_state.depth), ZPixmap, 0, nullptr,
                            static_cast<unsigned>(cw), static_cast<unsigned>(ch), x_state.bitmap_pad, 0);
  if (!im) message(M_X_CREATE, 0, MSG_LONGJMP, "image");
  std::vector<char> data(static_cast<size_t>(im->bytes_per_line) * ch);
  im->data = data.data();
  unsigned long table[256];
  pixel_table(table);
  std::vector<unsigned long> row(static_cast<size_t>(cw));
  int c = x_state.visual_class;
  bool direct_rgb = c == TrueColor || c == DirectColor;
  for (int sr = r0; sr < r1; sr++) {
    // Screen row sr counted from the image's top; the image row it shows:
    int ir = rec->order ? sr : ny - 1 - sr;
    if (rec->true_color) {
      size_t plane = static_cast<size_t>(nx) * ny;
      for (int i = 0; i < cw; i++) {
        int ix = x0 + i;
        uint8_t rgb[3];
        for (int k = 0; k < 3; k++) {
          size_t at = rec->true_color == 1   ? (static_cast<size_t>(ir) * nx + ix) * 3 + k
                      : rec->true_color == 2 ? (static_cast<size_t>(ir) * 3 + k) * nx + ix
                                             : k * plane + static_cast<size_t>(ir) * nx + ix;
          rgb[k] = pixels[at];
        }
        if (direct_rgb) {
          unsigned long p = 0;
          for (int k = 0; k < 3; k++) {
            unsigned long b = rgb[k];
            if (c == DirectColor && !x_settings.bypass_translation) b = x_state.translation[b] & 255;
            if (x_state.width[k] < 8) b >>= 8 - x_state.width[k];
            p |= (b << x_state.shift[k]) & x_state.mask[k];
          }
          row[i] = p;
        } else {
          row[i] = table[(rgb[0] * 30 + rgb[1] * 59 + rgb[2] * 11) / 100];
        }
      }
    } else if (rec->words) {
      const auto* src = reinterpret_cast<const int16_t*>(pixels) + static_cast<size_t>(ir) * nx + x0;
      for (int i = 0; i < cw; i++) row[i] = table[std::clamp<int>(src[i], 0, 255)];
    } else {
      const uint8_t* src = pixels + static_cast<size_t>(ir) * nx + x0;
      for (int i = 0; i < cw; i++) row[i] = table[src[i]];
    }
    put_pixel_row(im, sr - r0, row.data(), cw);
  }
  GC g = graphics_gc(w.id);
  each_drawable(w, [&](Drawable dr) {
    XPutImage(d, dr, g, im, 0, 0, x + x0, top + r0, static_cast<unsigned>(cw), static_cast<unsigned>(ch));
  });
  im->data = nullptr;
  XDestroyImage(im);
}

void read_image(XWin& w, uint8_t* out, int x, int y, int nx, int ny, const ImageRec* rec) {
  need_colors();
  Display* d = dpy();
  int top = flip(w, y + ny - 1);
  Drawable from = w.backing ? w.backing : w.id;
  int x0 = 0, x1 = nx, r0 = 0, r1 = ny;
  if (!w.backing && !w.is_pixmap) {
    // A window reads only what is on the screen.
    Window child;
    int sx = 0, sy = 0;
    XTranslateCoordinates(d, w.id, RootWindow(d, x_state.screen), 0, 0, &sx, &sy, &child);
    x0 = std::max(0, -(sx + x));
    x1 = std::min(nx, x_state.screen_width - (sx + x));
    r0 = std::max(0, -(sy + top));
    r1 = std::min(ny, x_state.screen_height - (sy + top));
    if (x0 >= x1 || r0 >= r1) {
      message(M_GENERIC, 0, MSG_INFO, "Window completly off screen, nothing read");
      return;
    }
  }
  XImage* im = XGetImage(d, from, x + x0, top + r0, static_cast<unsigned>(x1 - x0), static_cast<unsigned>(r1 - r0),
                         AllPlanes, ZPixmap);
  if (!im) return;
  unsigned long table[256];
  pixel_table(table);
  int c = x_state.visual_class;
  bool direct_rgb = c == TrueColor || c == DirectColor;
  // Pixel back to index: the first index showing that pixel.
  auto index_of = [&](unsigned long p) -> int {
    for (int i = 0; i < 256; i++)
      if (table[i] == p) return i;
    if (direct_rgb) return static_cast<int>(((p & x_state.mask[0]) >> x_state.shift[0]) & 255);
    return static_cast<int>(p & 255);
  };
  unsigned long last_pixel = ~0UL;
  int last_index = 0;
  size_t plane = static_cast<size_t>(nx) * ny;
  for (int sr = r0; sr < r1; sr++) {
    int ir = rec->order ? sr : ny - 1 - sr;
    for (int ix = x0; ix < x1; ix++) {
      unsigned long p = XGetPixel(im, ix - x0, sr - r0);
      if (rec->true_color) {
        for (int k = 0; k < 3; k++) {
          unsigned long b = direct_rgb ? (p & x_state.mask[k]) >> x_state.shift[k] : table[0];
          if (direct_rgb && x_state.width[k] < 8) b <<= 8 - x_state.width[k];
          if (!direct_rgb) {
            XColor xc{};
            xc.pixel = p;
            XQueryColor(d, x_state.colormap, &xc);
            b = (k == 0 ? xc.red : k == 1 ? xc.green : xc.blue) >> 8;
          }
          size_t at = rec->true_color == 1   ? (static_cast<size_t>(ir) * nx + ix) * 3 + k
                      : rec->true_color == 2 ? (static_cast<size_t>(ir) * 3 + k) * nx + ix
                                             : k * plane + static_cast<size_t>(ir) * nx + ix;
          out[at] = static_cast<uint8_t>(b);
        }
        continue;
      }
      if (p != last_pixel) {
        last_pixel = p;
        last_index = index_of(p);
      }
      size_t at = static_cast<size_t>(ir) * nx + ix;
      if (rec->words) {
        auto v = static_cast<int16_t>(last_index);
        memcpy(out + 2 * at, &v, 2);
      } else {
        out[at] = static_cast<uint8_t>(last_index);
      }
    }
  }
  XDestroyImage(im);
}

void x_image(uint8_t* pixels, int x, int y, int nx, int ny, int direction, ImageRec* rec) {
  XWin& w = target();
  if (direction)
    write_image(w, pixels, x, y, nx, ny, rec);
  else
    read_image(w, pixels, x, y, nx, ny, rec);
}

// ---- Cursor -------------------------------------------------------------------------------

Cursor standard_cursor = 0;

void wait_until(const std::function<bool()>& done) {
  while (!done()) {
    if (int_interrupt == IR_INTERRUPT || !x_state.display) return;
    x_wait_for_event();
    check_connection();
    if (!current) return;
  }
}

void x_cursor(int mode, MouseRec* mouse) {
  XWin& w = target();
  Display* d = dpy();
  x_drain_events();
  if (!current) return;
  switch (mode) {
    case 1:  // set the position
      if (w.is_pixmap) message(M_PIXMAP_WINDOW, 0, MSG_LONGJMP, w.index);
      XWarpPointer(d, None, w.id, 0, 0, 0, 0, mouse->x, flip(w, mouse->y));
      XFlush(d);
      return;
    case 4: {  // hide
      if (w.is_pixmap) return;
      static char empty[1] = {0};
      Pixmap p = XCreateBitmapFromData(d, w.id, empty, 1, 1);
      XColor black{};
      Cursor none = XCreatePixmapCursor(d, p, p, &black, &black, 0, 0);
      XDefineCursor(d, w.id, none);
      XFreeCursor(d, none);
      XFreePixmap(d, p);
      XFlush(d);
      return;
    }
    case 5:  // show
      if (!w.is_pixmap) {
        XUndefineCursor(d, w.id);
        if (standard_cursor) XDefineCursor(d, w.id, standard_cursor);
        XFlush(d);
      }
      return;
    case 9:
      return;
    default:
      break;
  }
  if (w.is_pixmap) message(M_PIXMAP_WINDOW, 0, MSG_LONGJMP, w.index);
  // The position now, then wait as asked.
  Window root, child;
  int rx, ry, wx, wy;
  unsigned state = 0;
  if (XQueryPointer(d, w.id, &root, &child, &rx, &ry, &wx, &wy, &state)) {
    pointer.x = wx;
    pointer.y = flip(w, wy);
    pointer.buttons = state_buttons(state);
  }
  unsigned presses = pointer.presses, releases = pointer.releases, motions = pointer.motions;
  switch (mode) {
    case 3:  // wait: a button already down counts
      if (!pointer.buttons) wait_until([&] { return pointer.presses != presses; });
      break;
    case 8:  // down
      wait_until([&] { return pointer.presses != presses; });
      break;
    case 7:  // up
      wait_until([&] { return pointer.releases != releases; });
      break;
    case 6:  // change
      wait_until([&] {
        return pointer.presses != presses || pointer.releases != releases || pointer.motions != motions;
      });
      break;
    default:  // 2: no wait
      break;
  }
  mouse->x = pointer.x;
  mouse->y = pointer.y;
  mouse->button = mode == 2 || mode == 3 ? pointer.buttons : pointer.changed_button;
  if (mode == 3 && pointer.presses != presses) mouse->button = pointer.changed_button;
  mouse->time = static_cast<int32_t>(pointer.time);
}


// ---- WINDOW, WSET, WSHOW, WDELETE ---------------------------------------------------------

constexpr uint16_t kFlag = KW_BITFLAG | KW_CLEAR;
constexpr int32_t kWinFree = 1, kWinNoRetain = 2, kWinPixmap = 4;

int32_t win_flags, win_colors, win_colors_given, win_retain, win_retain_given, win_set_bid, win_set_bid_given;
int32_t win_set_id, win_set_id_given, win_xpos, win_xpos_given, win_ypos, win_ypos_given;
int32_t win_xsize, win_xsize_given, win_ysize, win_ysize_given, win_title_given;
int32_t win_get_bid_given, win_get_id_given;
StringDesc win_title;
Variable* win_get_bid;
Variable* win_get_id;

constexpr KwEntry kWindowKeywords[] = {
    {"COLORS", TYP_LONG, 1, KW_CLEAR, &win_colors_given, &win_colors},
    {"FREE", 0, 1, kFlag | kWinFree, nullptr, &win_flags},
    {"GET_X_BID", 0, 1, KW_OUTPUT | KW_CLEAR, &win_get_bid_given, &win_get_bid},
    {"GET_X_ID", 0, 1, KW_OUTPUT | KW_CLEAR, &win_get_id_given, &win_get_id},
    {"NORETAIN", 0, 1, kFlag | kWinNoRetain, nullptr, &win_flags},
    {"PIXMAP", 0, 1, kFlag | kWinPixmap, nullptr, &win_flags},
    {"RETAIN", TYP_LONG, 1, KW_CLEAR, &win_retain_given, &win_retain},
    {"SET_X_BID", TYP_LONG, 1, KW_CLEAR, &win_set_bid_given, &win_set_bid},
    {"SET_X_ID", TYP_LONG, 1, KW_CLEAR, &win_set_id_given, &win_set_id},
    {"TITLE", TYP_STRING, 1, KW_CLEAR, &win_title_given, &win_title},
    {"XPOS", TYP_LONG, 1, KW_CLEAR, &win_xpos_given, &win_xpos},
    {"XSIZE", TYP_LONG, 1, KW_CLEAR, &win_xsize_given, &win_xsize},
    {"YPOS", TYP_LONG, 1, KW_CLEAR, &win_ypos_given, &win_ypos},
    {"YSIZE", TYP_LONG, 1, KW_CLEAR, &win_ysize_given, &win_ysize},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void store_long(Variable* v, long value) {
  auto l = static_cast<int32_t>(value);
  store_scalar(v, TYP_LONG, &l);
}

void x_window_create(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  int n = get_kw_params(argc, argv, argk, kWindowKeywords, pos, 1);
  WindowRequest r;
  if (n > 0) r.index = long_scalar(pos[0]);
  r.free = win_flags & kWinFree;
  if (win_xsize_given) r.xsize = win_xsize;
  if (win_ysize_given) r.ysize = win_ysize;
  if (r.xsize <= 0) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "XSIZE");
  if (r.ysize <= 0) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "YSIZE");
  r.xpos_given = win_xpos_given;
  r.xpos = win_xpos;
  r.ypos_given = win_ypos_given;
  r.ypos = win_ypos;
  if (win_retain_given) r.retain = win_retain;
  if (win_flags & kWinNoRetain) r.retain = 0;
  r.pixmap = win_flags & kWinPixmap;
  if (win_set_id_given) r.set_x_id = static_cast<Window>(static_cast<uint32_t>(win_set_id));
  if (win_set_bid_given) r.set_x_bid = static_cast<Pixmap>(static_cast<uint32_t>(win_set_bid));
  if (win_title_given) r.title = str_chars(win_title);
  if (win_colors_given) r.colors = win_colors;
  check_connection();
  need_display();
  if (!r.free && (r.index < 0 || r.index >= x_state.max_windows)) message(M_WINDOW_RANGE, 0, MSG_LONGJMP, r.index);
  XWin& w = create_window(r);
  if (win_get_id_given && win_get_id) store_long(win_get_id, static_cast<long>(w.id));
  if (win_get_bid_given && win_get_bid) store_long(win_get_bid, static_cast<long>(w.backing));
}

// The window of an index argument, or error -315.
XWin& existing_window(int index) {
  check_connection();
  XWin* w = find_window(index);
  if (!w) message(M_NO_WINDOW, 0, MSG_LONGJMP, index);
  return *w;
}

void x_window_set(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  int n = get_kw_params(argc, argv, argk, nullptr, pos, 1);
  int index = n > 0 ? long_scalar(pos[0]) : 0;
  check_connection();
  XWin* w = find_window(index);
  if (!w) {
    if (index != 0) message(M_WINDOW_CLOSED, 0, MSG_LONGJMP);
    need_display();
    open_default_window();
    return;
  }
  make_current(w);
}

int32_t show_iconic, show_iconic_given;
constexpr KwEntry kShowKeywords[] = {
    {"ICONIC", TYP_LONG, 1, KW_CLEAR, &show_iconic_given, &show_iconic},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void x_window_show(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[2] = {nullptr, nullptr};
  int n = get_kw_params(argc, argv, argk, kShowKeywords, pos, 1);
  check_connection();
  int index = n > 0 ? long_scalar(pos[0]) : (current ? current->index : 0);
  bool show = n > 1 ? long_scalar(pos[1]) != 0 : true;
  XWin& w = existing_window(index);
  if (w.is_pixmap) message(M_PIXMAP_WINDOW, 0, MSG_LONGJMP, index);
  // Its widget tree decides where a drawing area is.
  if (w.flags & kWidgetWindow) message(M_WIDGET_WINDOW, 0, MSG_LONGJMP, "Show");
  Display* d = dpy();
  if (show_iconic_given && show_iconic) {
    if (!XIconifyWindow(d, w.id, x_state.screen)) message(M_NO_ICONIFY, 0, MSG_LONGJMP);
  } else if (show) {
    XMapRaised(d, w.id);
  } else {
    XLowerWindow(d, w.id);
  }
  XFlush(d);
}

void x_window_delete(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[32] = {};
  int n = get_kw_params(argc, argv, argk, nullptr, pos, 1);
  check_connection();
  // A drawing area goes only with its widget.
  auto deletable = [](XWin* w) {
    if (w->flags & kWidgetWindow) message(M_WIDGET_WINDOW, 0, MSG_LONGJMP, "Delete");
  };
  if (n == 0) {
    if (current) {
      deletable(current);
      delete_window(current->index);
    }
    return;
  }
  for (int i = 0; i < n; i++) {
    Variable* v = pos[i];
    uint32_t count = v->n_elts();
    std::vector<int32_t> indices(count);
    convert(v->data_ptr(), indices.data(), static_cast<int32_t>(count), v->type, TYP_LONG);
    for (int32_t index : indices) {
      XWin* w = find_window(index);
      if (!w) message(M_NO_WINDOW, 0, MSG_LONGJMP, index);
      deletable(w);
      delete_window(index);
    }
  }
}

// WMENU(items [, INITIAL_SELECTION=i] [, TITLE=i]): a menu of strings at the pointer; the
// index of the item chosen with a button, or -1 when the button is released outside it.
int32_t menu_initial, menu_initial_given, menu_title, menu_title_given;
constexpr KwEntry kMenuKeywords[] = {
    {"INITIAL_SELECTION", TYP_LONG, 1, KW_CLEAR, &menu_initial_given, &menu_initial},
    {"TITLE", TYP_LONG, 1, KW_CLEAR, &menu_title_given, &menu_title},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

Variable* x_window_menu(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  get_kw_params(argc, argv, argk, kMenuKeywords, pos, 1);
  Variable* items = pos[0];
  if (items->type != TYP_STRING) var_error(M_NEED_STRING, items, MSG_LONGJMP);
  check_connection();
  need_colors();
  uint32_t count = items->n_elts();
  const auto* texts = static_cast<const StringDesc*>(items->data_ptr());
  Display* d = dpy();
  XFontStruct* f = XQueryFont(d, XGContextFromGC(DefaultGC(d, x_state.screen)));
  int line = f ? f->ascent + f->descent + 4 : 14;
  int width = 40;
  for (uint32_t i = 0; i < count; i++)
    width = std::max(width, (f ? XTextWidth(f, str_chars(texts[i]), texts[i].length) : 6 * texts[i].length) + 16);
  int height = line * static_cast<int>(count);
  Window root, child;
  int rx = 0, ry = 0, wx, wy;
  unsigned state;
  XQueryPointer(d, RootWindow(d, x_state.screen), &root, &child, &rx, &ry, &wx, &wy, &state);
  int first = menu_initial_given ? std::clamp<int>(menu_initial, 0, static_cast<int>(count) - 1) : 0;
  int mx = std::clamp(rx - width / 2, 0, std::max(0, x_state.screen_width - width));
  int my = std::clamp(ry - first * line - line / 2, 0, std::max(0, x_state.screen_height - height));
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = WhitePixel(d, x_state.screen);
  a.border_pixel = BlackPixel(d, x_state.screen);
  a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  Window m = XCreateWindow(d, RootWindow(d, x_state.screen), mx, my, static_cast<unsigned>(width),
                           static_cast<unsigned>(std::max(height, 1)), 1, CopyFromParent, InputOutput, CopyFromParent,
                           CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &a);
  XMapRaised(d, m);
  GC g = XCreateGC(d, m, 0, nullptr);
  XGrabPointer(d, m, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync, GrabModeAsync,
               None, None, CurrentTime);
  int chosen = -1;
  bool done = false;
  auto redraw = [&](int hot) {
    XClearWindow(d, m);
    for (uint32_t i = 0; i < count; i++) {
      int y = static_cast<int>(i) * line;
      bool title = menu_title_given && static_cast<int>(i) == menu_title;
      XSetForeground(d, g, BlackPixel(d, x_state.screen));
      if (static_cast<int>(i) == hot && !title) XFillRectangle(d, m, g, 0, y, static_cast<unsigned>(width), line);
      XSetForeground(d, g, static_cast<int>(i) == hot && !title ? WhitePixel(d, x_state.screen)
                                                                 : BlackPixel(d, x_state.screen));
      XDrawString(d, m, g, 8, y + (f ? f->ascent : 10) + 2, str_chars(texts[i]), texts[i].length);
    }
  };
  int hot = -1;
  while (!done && x_state.display && !x_connection_lost() && int_interrupt != IR_INTERRUPT) {
    XEvent ev;
    if (!XPending(d)) {
      XFlush(d);
      fd_set set;
      FD_ZERO(&set);
      FD_SET(ConnectionNumber(d), &set);
      timeval tv{0, 200000};
      select(ConnectionNumber(d) + 1, &set, nullptr, nullptr, &tv);
      continue;
    }
    XNextEvent(d, &ev);
    if (ev.xany.window != m) {
      if (!x_process_event(&ev)) XtDispatchEvent(&ev);
      continue;
    }
    auto item_at = [&](int x, int y) {
      if (x < 0 || x >= width || y < 0 || y >= height) return -1;
      int i = y / line;
      return (menu_title_given && i == menu_title) ? -1 : i;
    };
    switch (ev.type) {
      case Expose:
        if (ev.xexpose.count == 0) redraw(hot);
        break;
      case MotionNotify: {
        int i = item_at(ev.xmotion.x, ev.xmotion.y);
        if (i != hot) redraw(hot = i);
        break;
      }
      case ButtonRelease:
        chosen = item_at(ev.xbutton.x, ev.xbutton.y);
        done = true;
        break;
      default:
        break;
    }
  }
  if (x_state.display && !x_connection_lost()) {
    XUngrabPointer(d, CurrentTime);
    XFreeGC(d, g);
    XDestroyWindow(d, m);
    if (f) XFreeFontInfo(nullptr, f, 0);
    XFlush(d);
  }
  check_connection();
  return make_long_temp(chosen);
}

// ---- DEVICE -------------------------------------------------------------------------------

constexpr int32_t kDevCrosshair = 1, kDevOriginal = 2, kDevFloyd = 4, kDevOrdered = 8, kDevNoTimer = 16;

int32_t dv_flags;
int32_t dv_bypass, dv_bypass_given, dv_decomposed, dv_decomposed_given, dv_sync, dv_sync_given;
int32_t dv_install, dv_install_given, dv_retain, dv_retain_given, dv_gfunc, dv_gfunc_given;
int32_t dv_wmask, dv_wmask_given, dv_threshold, dv_threshold_given, dv_cstd, dv_cstd_given;
int32_t dv_visual[6], dv_visual_given[6];
int32_t dv_font_given;
StringDesc dv_font;
int32_t dv_copy_data[7], dv_copy_given;
KwArray dv_copy{dv_copy_data, 6, 7, 0};
int32_t dv_charsize_data[2], dv_charsize_given;
KwArray dv_charsize{dv_charsize_data, 2, 2, 0};
int32_t dv_cimage_data[16], dv_cimage_given, dv_cmask_data[16], dv_cmask_given, dv_cxy_data[2], dv_cxy_given;
KwArray dv_cimage{dv_cimage_data, 16, 16, 0};
KwArray dv_cmask{dv_cmask_data, 16, 16, 0};
KwArray dv_cxy{dv_cxy_data, 2, 2, 0};
Variable *dv_get_font, *dv_get_names, *dv_get_num, *dv_get_gfunc, *dv_get_screen, *dv_get_pos, *dv_get_wmask;
Variable *dv_get_bid, *dv_get_id, *dv_translation, *dv_window_state;
int32_t dv_get_font_given, dv_get_names_given, dv_get_num_given, dv_get_gfunc_given, dv_get_screen_given;
int32_t dv_get_pos_given, dv_get_wmask_given, dv_get_bid_given, dv_get_id_given, dv_translation_given;
int32_t dv_window_state_given;

constexpr uint16_t kOut = KW_OUTPUT | KW_CLEAR;
constexpr KwEntry kDeviceKeywords[] = {
    {"BYPASS_TRANSLATION", TYP_LONG, 1, KW_CLEAR, &dv_bypass_given, &dv_bypass},
    {"COPY", TYP_LONG, 1, KW_ARRAY, &dv_copy_given, &dv_copy},
    {"CURSOR_CROSSHAIR", 0, 1, kFlag | kDevCrosshair, nullptr, &dv_flags},
    {"CURSOR_IMAGE", TYP_LONG, 1, KW_ARRAY, &dv_cimage_given, &dv_cimage},
    {"CURSOR_MASK", TYP_LONG, 1, KW_ARRAY, &dv_cmask_given, &dv_cmask},
    {"CURSOR_ORIGINAL", 0, 1, kFlag | kDevOriginal, nullptr, &dv_flags},
    {"CURSOR_STANDARD", TYP_LONG, 1, KW_CLEAR, &dv_cstd_given, &dv_cstd},
    {"CURSOR_XY", TYP_LONG, 1, KW_ARRAY, &dv_cxy_given, &dv_cxy},
    {"DECOMPOSED", TYP_LONG, 1, KW_CLEAR, &dv_decomposed_given, &dv_decomposed},
    {"DIRECT_COLOR", TYP_LONG, 1, KW_CLEAR, &dv_visual_given[5], &dv_visual[5]},
    {"DO_SYNC", TYP_LONG, 1, KW_CLEAR, &dv_sync_given, &dv_sync},
    {"FLOYD", 0, 1, kFlag | kDevFloyd, nullptr, &dv_flags},
    {"FONT", TYP_STRING, 1, KW_CLEAR, &dv_font_given, &dv_font},
    {"GET_CURRENT_FON", 0, 1, kOut, &dv_get_font_given, &dv_get_font},
    {"GET_FONTNAMES", 0, 1, kOut, &dv_get_names_given, &dv_get_names},
    {"GET_FONTNUM", 0, 1, kOut, &dv_get_num_given, &dv_get_num},
    {"GET_GRAPHICS_FUNCTION", 0, 1, kOut, &dv_get_gfunc_given, &dv_get_gfunc},
    {"GET_SCREEN_SIZE", 0, 1, kOut, &dv_get_screen_given, &dv_get_screen},
    {"GET_WINDOW_POSITION", 0, 1, kOut, &dv_get_pos_given, &dv_get_pos},
    {"GET_WRITE_MASK", 0, 1, kOut, &dv_get_wmask_given, &dv_get_wmask},
    {"GET_X_BID", 0, 1, kOut, &dv_get_bid_given, &dv_get_bid},
    {"GET_X_ID", 0, 1, kOut, &dv_get_id_given, &dv_get_id},
    {"GRAY_SCALE", TYP_LONG, 1, KW_CLEAR, &dv_visual_given[1], &dv_visual[1]},
    {"INSTALL_COLORMAP", TYP_LONG, 1, KW_CLEAR, &dv_install_given, &dv_install},
    {"NOTIMER", 0, 1, kFlag | kDevNoTimer, nullptr, &dv_flags},
    {"ORDERED", 0, 1, kFlag | kDevOrdered, nullptr, &dv_flags},
    {"PSEUDO_COLOR", TYP_LONG, 1, KW_CLEAR, &dv_visual_given[3], &dv_visual[3]},
    {"RETAIN", TYP_LONG, 1, KW_CLEAR, &dv_retain_given, &dv_retain},
    {"SET_CHARACTER_SIZE", TYP_LONG, 1, KW_ARRAY, &dv_charsize_given, &dv_charsize},
    {"SET_GRAPHICS_FUNCTION", TYP_LONG, 1, KW_CLEAR, &dv_gfunc_given, &dv_gfunc},
    {"SET_WRITE_MASK", TYP_LONG, 1, KW_CLEAR, &dv_wmask_given, &dv_wmask},
    {"STATIC_COLOR", TYP_LONG, 1, KW_CLEAR, &dv_visual_given[2], &dv_visual[2]},
    {"STATIC_GRAY", TYP_LONG, 1, KW_CLEAR, &dv_visual_given[0], &dv_visual[0]},
    {"THRESHOLD", TYP_LONG, 1, KW_CLEAR, &dv_threshold_given, &dv_threshold},
    {"TRANSLATION", 0, 1, kOut, &dv_translation_given, &dv_translation},
    {"TRUE_COLOR", TYP_LONG, 1, KW_CLEAR, &dv_visual_given[4], &dv_visual[4]},
    {"WINDOW_STATE", 0, 1, kOut, &dv_window_state_given, &dv_window_state},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void store_longs(Variable* v, const std::vector<int32_t>& values) {
  int32_t dims[1] = {static_cast<int32_t>(values.size())};
  Variable* t = make_temp_array_of(TYP_LONG, 1, dims);
  memcpy(t->data_ptr(), values.data(), values.size() * sizeof(int32_t));
  var_copy(t, v);
}

void store_strings(Variable* v, const std::vector<std::string>& values) {
  if (values.empty()) {
    Variable* t = ret_str_as_STRING("");
    var_copy(t, v);
    return;
  }
  int32_t dims[1] = {static_cast<int32_t>(values.size())};
  Variable* t = make_temp_array_of(TYP_STRING, 1, dims);
  auto* s = static_cast<StringDesc*>(t->data_ptr());
  memset(s, 0, values.size() * sizeof(StringDesc));
  for (size_t i = 0; i < values.size(); i++) str_store(&s[i], values[i].c_str());
  var_copy(t, v);
}

// A 16 x 16 cursor from bit rows (the low bit is the leftmost pixel).
void define_cursor_image(const int32_t* image, const int32_t* mask, int hx, int hy) {
  Display* d = dpy();
  char bits[32], mbits[32];
  for (int r = 0; r < 16; r++) {
    bits[2 * r] = static_cast<char>(image[r] & 255);
    bits[2 * r + 1] = static_cast<char>((image[r] >> 8) & 255);
    int32_t m = mask ? mask[r] : image[r];
    mbits[2 * r] = static_cast<char>(m & 255);
    mbits[2 * r + 1] = static_cast<char>((m >> 8) & 255);
  }
  Window root = RootWindow(d, x_state.screen);
  Pixmap p = XCreateBitmapFromData(d, root, bits, 16, 16);
  Pixmap mp = XCreateBitmapFromData(d, root, mbits, 16, 16);
  XColor fg{}, bg{};
  fg.red = fg.green = fg.blue = 65535;
  Cursor c = XCreatePixmapCursor(d, p, mp, &fg, &bg, static_cast<unsigned>(std::clamp(hx, 0, 15)),
                                 static_cast<unsigned>(std::clamp(15 - hy, 0, 15)));
  XFreePixmap(d, p);
  XFreePixmap(d, mp);
  if (standard_cursor) XFreeCursor(d, standard_cursor);
  standard_cursor = c;
}

void apply_cursor() {
  for (XWin& w : windows)
    if (!w.is_pixmap) {
      if (standard_cursor)
        XDefineCursor(dpy(), w.id, standard_cursor);
      else
        XUndefineCursor(dpy(), w.id);
    }
  XFlush(dpy());
}

void x_device_proc(int argc, Variable* argv[], KwNames argk) {
  get_kw_params(argc, argv, argk, kDeviceKeywords, nullptr, 1);
  check_connection();
  DeviceRecord& d = dev();
  // Settings first: they need no display.
  for (int c = 0; c < 6; c++)
    if (dv_visual_given[c]) {
      x_settings.visual_class = c;
      x_settings.visual_depth = dv_visual[c];
    }
  if (dv_decomposed_given) x_settings.decomposed = dv_decomposed != 0;
  if (dv_bypass_given) x_settings.bypass_translation = dv_bypass != 0;
  if (dv_install_given) x_settings.install_colormap = dv_install != 0;
  if (dv_retain_given) x_settings.retain = std::clamp(dv_retain, 0, 2);
  if (dv_flags & kDevNoTimer) {
    x_settings.notimer = true;
    x_set_timer(false);
  }
  if (dv_flags & kDevFloyd) x_settings.dither = 2;
  if (dv_flags & kDevOrdered) x_settings.dither = 3;
  if (dv_threshold_given) {
    x_settings.dither = 1;
    x_settings.threshold = dv_threshold;
  }
  if (dv_charsize_given) {
    x_settings.char_size[0] = dv_charsize_data[0];
    x_settings.char_size[1] = dv_charsize_data[1];
    d.x_ch_size = dv_charsize_data[0];
    d.y_ch_size = dv_charsize_data[1];
  }
  if (dv_wmask_given) {
    x_settings.write_mask = static_cast<unsigned long>(static_cast<uint32_t>(dv_wmask));
    if (gc && x_state.display) XSetPlaneMask(dpy(), gc, x_settings.write_mask);
  }
  if (dv_gfunc_given) {
    if (dv_gfunc < 0 || dv_gfunc > 15) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "SET_GRAPHICS_FUNCTION");
    x_state.graphics_function = dv_gfunc;
  }
  if (dv_sync_given) {
    x_settings.do_sync = dv_sync != 0;
    if (x_state.display) {
      if (x_settings.do_sync) message(M_GENERIC, 0, MSG_INFO | MSG_NOPREFIX, "X Windows driver is in SYNC mode");
      XSynchronize(dpy(), x_settings.do_sync ? True : False);
    }
  }
  if (dv_get_gfunc_given && dv_get_gfunc) store_long(dv_get_gfunc, x_state.display ? x_state.graphics_function : GXcopy);
  if (dv_get_wmask_given && dv_get_wmask) store_long(dv_get_wmask, static_cast<long>(x_settings.write_mask & 0x7fffffff));

  // Everything below talks to the server.
  bool needs_display = dv_copy_given || (dv_flags & (kDevCrosshair | kDevOriginal)) || dv_cstd_given ||
                       dv_cimage_given || dv_font_given || dv_get_font_given || dv_get_names_given ||
                       dv_get_num_given || dv_get_screen_given || dv_get_pos_given || dv_get_bid_given ||
                       dv_get_id_given || dv_translation_given || dv_window_state_given;
  if (!needs_display) return;
  need_display();
  Display* dp = dpy();
  if (dv_get_screen_given && dv_get_screen) store_longs(dv_get_screen, {x_state.screen_width, x_state.screen_height});
  if (dv_window_state_given && dv_window_state) {
    int n = x_state.max_windows;
    for (XWin& w : windows) n = std::max(n, w.index + 1);
    std::vector<int32_t> state(static_cast<size_t>(n), 0);
    for (XWin& w : windows) state[static_cast<size_t>(w.index)] = 1;
    store_longs(dv_window_state, state);
  }
  if (dv_translation_given && dv_translation) {
    need_colors();
    std::vector<int32_t> t(256);
    for (int i = 0; i < 256; i++) t[i] = static_cast<int32_t>(x_state.translation[i]);
    store_longs(dv_translation, t);
  }
  if (dv_font_given) {
    std::string name = str_chars(dv_font);
    Font f = 0;
    if (XFontStruct* fs = XLoadQueryFont(dp, name.c_str())) {
      f = fs->fid;
      XFreeFontInfo(nullptr, fs, 0);
    }
    if (!f) message(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, ("Font not found: " + name).c_str());
    x_state.font = f;
    current_font_name = name;
    if (font_info) XFreeFontInfo(nullptr, font_info, 0);
    font_info = nullptr;
  }
  if (dv_get_font_given && dv_get_font) store_strings(dv_get_font, {current_font_name.empty() ? "<default>" : current_font_name});
  if (dv_get_names_given || dv_get_num_given) {
    std::string pattern = dv_font_given ? std::string(str_chars(dv_font)) : "*";
    int count = 0;
    char** names = XListFonts(dp, pattern.c_str(), 32767, &count);
    std::vector<std::string> list;
    for (int i = 0; i < count; i++) list.emplace_back(names[i]);
    if (names) XFreeFontNames(names);
    if (dv_get_names_given && dv_get_names) store_strings(dv_get_names, list);
    if (dv_get_num_given && dv_get_num) store_long(dv_get_num, count);
  }
  if (dv_get_id_given || dv_get_bid_given || dv_get_pos_given || dv_copy_given) {
    if (!current) open_default_window();
  }
  if (dv_get_id_given && dv_get_id) store_long(dv_get_id, static_cast<long>(current->id));
  if (dv_get_bid_given && dv_get_bid) {
    if (!current->backing) message(M_NEED_RETAIN, 0, MSG_LONGJMP, current->index);
    store_long(dv_get_bid, static_cast<long>(current->backing));
  }
  if (dv_get_pos_given && dv_get_pos) {
    if (current->is_pixmap) message(M_PIXMAP_WINDOW, 0, MSG_LONGJMP, current->index);
    Window child;
    int x = 0, y = 0;
    XTranslateCoordinates(dp, current->id, RootWindow(dp, x_state.screen), 0, 0, &x, &y, &child);
    store_longs(dv_get_pos, {x, x_state.screen_height - y - current->height});
  }
  if (dv_copy_given) {
    // [x, y, nx, ny, x to, y to (, source window)]: device coordinates.
    XWin* from = current;
    if (dv_copy.count == 7) from = &existing_window(dv_copy_data[6]);
    int sx = dv_copy_data[0], sy = dv_copy_data[1], nx = dv_copy_data[2], ny = dv_copy_data[3];
    int tx = dv_copy_data[4], ty = dv_copy_data[5];
    if (nx > 0 && ny > 0) {
      GC g = graphics_gc(current->id);
      Drawable src = from->backing ? from->backing : from->id;
      each_drawable(*current, [&](Drawable dr) {
        XCopyArea(dp, src, dr, g, sx, from->height - sy - ny, static_cast<unsigned>(nx), static_cast<unsigned>(ny), tx,
                  current->height - ty - ny);
      });
    }
  }
  if (dv_flags & kDevCrosshair) {
    if (standard_cursor) XFreeCursor(dp, standard_cursor);
    standard_cursor = XCreateFontCursor(dp, XC_crosshair);
    apply_cursor();
  }
  if (dv_cstd_given) {
    if (standard_cursor) XFreeCursor(dp, standard_cursor);
    standard_cursor = XCreateFontCursor(dp, static_cast<unsigned>(std::clamp(dv_cstd, 0, XC_num_glyphs - 2)) & ~1u);
    apply_cursor();
  }
  if (dv_cimage_given) {
    define_cursor_image(dv_cimage_data, dv_cmask_given ? dv_cmask_data : nullptr, dv_cxy_given ? dv_cxy_data[0] : 0,
                        dv_cxy_given ? dv_cxy_data[1] : 0);
    apply_cursor();
  }
  if (dv_flags & kDevOriginal) {
    if (standard_cursor) XFreeCursor(dp, standard_cursor);
    standard_cursor = 0;
    apply_cursor();
  }
  XFlush(dp);
}

// ---- HELP, /DEVICE ------------------------------------------------------------------------

void out_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void out_line(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (message_hooks.write)
    message_hooks.write(0, buf, true);
  else
    puts(buf);
}

void x_show() {
  check_connection();
  Display* d = x_state.display;
  static const char* functions[16] = {"GXclear", "GXand",   "GXandReverse", "GXcopy",        "GXandInverted",
                                      "GXnoop",  "GXxor",   "GXor",         "GXnor",         "GXequiv",
                                      "GXinvert", "GXorReverse", "GXcopyInverted", "GXorInverted", "GXnand", "GXset"};
  static const char* retains[3] = {"None", "Req from Server", "Pixmap"};
  if (d) {
    out_line("    Server: X%d.%d, %s, Release %d", ProtocolVersion(d), ProtocolRevision(d), ServerVendor(d),
             VendorRelease(d));
    out_line("    Display Depth, Size: %d bits, (%d,%d)", x_state.depth, x_state.screen_width, x_state.screen_height);
    out_line("    Visual Class: %s (%d)", x_visual_class_name(x_state.visual_class), x_state.visual_class);
    out_line("    Bits Per RGB: %d", x_state.bits_per_rgb);
    out_line("    Physical Color Map Entries (Used / Total): %d / %d", x_state.n_cells, x_state.colormap_size);
    out_line("    Colormap: %s, %d colors.  Translation table: %s", x_state.private_colormap ? "Private" : "Shared",
             dev().n_colors, x_settings.bypass_translation ? "Bypassed" : "Enabled");
    static const char* dithers[4] = {"", "Threshold", "Floyd-Steinberg", "Ordered"};
    out_line("    Graphics pixels: %s,\tDither Method: %s", x_settings.decomposed ? "Decomposed" : "Combined",
             dithers[std::clamp(x_settings.dither, 1, 3)]);
    unsigned long m = x_settings.write_mask & x_state.plane_mask;
    out_line("    Write Mask: %lu (decimal) %lx (hex)", m, m);
    out_line("    Graphics Function: %d (%s)", x_state.graphics_function, functions[x_state.graphics_function & 15]);
    out_line("    Current Font: %s", current_font_name.empty() ? "<default>" : current_font_name.c_str());
  }
  out_line("    Default Backing Store: %s.", retains[std::clamp(x_settings.retain, 0, 2)]);
  if (windows.empty()) return;
  out_line("    Window Status: ---------------------");
  std::vector<const XWin*> sorted;
  for (const XWin& w : windows) sorted.push_back(&w);
  std::sort(sorted.begin(), sorted.end(), [](const XWin* a, const XWin* b) { return a->index < b->index; });
  std::string row;
  for (size_t i = 0; i < sorted.size(); i++) {
    const XWin& w = *sorted[i];
    char cell[128];
    snprintf(cell, sizeof cell, "   %3d: %s(%4d,%4d, %15s)", w.index, w.is_pixmap ? "Pixmap" : "Window", w.width,
             w.height, retains[std::clamp(w.retain, 0, 2)]);
    row += cell;
    if (i % 2 == 1 || i + 1 == sorted.size()) {
      out_line("%s", row.c_str());
      row.clear();
    }
  }
}

void x_device_init() {
  // The display is opened by the first operation that needs it.
}

}  // namespace

DeviceRecord x_device = [] {
  DeviceRecord d = make_device_record("X", kDefaultXSize, kDefaultYSize, 6, 9, 40.0f, 256, 1, 65980);
  d.draw = x_draw;
  d.text = x_text;
  d.erase = x_erase;
  d.cursor = x_cursor;
  d.polyfill = x_polyfill;
  d.flush = x_flush;
  d.load_color = x_load_color;
  d.image = x_image;
  d.device = x_device_proc;
  d.show = x_show;
  d.init = x_device_init;
  d.window_create = x_window_create;
  d.window_delete = x_window_delete;
  d.window_show = x_window_show;
  d.window_set = x_window_set;
  d.window_menu = x_window_menu;
  d.priv = &x_state;
  // SET_PLOT,'X' opens the display so that an unusable one is reported at once.
  d.can_select = open_display;
  return d;
}();
