// Looks at windows of the X server from outside the program under test:
//   xpixels get TITLE X Y [W H]   colours of a rectangle (window coordinates, top left
//                                 origin), one "rrggbb" per pixel, a row per line
//   xpixels close TITLE           sends the window manager's delete request
//   xpixels cover TITLE           covers the window with another one, then uncovers it
//   xpixels exists TITLE          exit status 0 when a window of that title exists
//   xpixels wait TITLE            waits up to 5 seconds for the window to appear
// Colours come from the server: the pixel values read back go through the window's own
// colormap, so every visual class reads alike.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "find_window.h"

namespace {


int get(Display* d, Window w, int x, int y, int width, int height) {
  XWindowAttributes a;
  XGetWindowAttributes(d, w, &a);
  XImage* im = XGetImage(d, w, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!im) {
    fprintf(stderr, "xpixels: cannot read the window\n");
    return 1;
  }
  std::map<unsigned long, XColor> colours;
  for (int r = 0; r < height; r++) {
    for (int c = 0; c < width; c++) {
      unsigned long p = XGetPixel(im, c, r);
      auto it = colours.find(p);
      if (it == colours.end()) {
        XColor xc{};
        xc.pixel = p;
        XQueryColor(d, a.colormap, &xc);
        it = colours.emplace(p, xc).first;
      }
      printf("%s%02x%02x%02x", c ? " " : "", it->second.red >> 8, it->second.green >> 8, it->second.blue >> 8);
    }
    printf("\n");
  }
  XDestroyImage(im);
  return 0;
}

void cover(Display* d, Window w) {
  XWindowAttributes a;
  XGetWindowAttributes(d, w, &a);
  Window child;
  int x, y;
  XTranslateCoordinates(d, w, a.root, 0, 0, &x, &y, &child);
  XSetWindowAttributes sa{};
  sa.override_redirect = True;
  sa.background_pixel = WhitePixel(d, DefaultScreen(d));
  sa.backing_store = NotUseful;
  Window c = XCreateWindow(d, a.root, x, y, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), 0,
                           CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWBackingStore,
                           &sa);
  XMapRaised(d, c);
  XSync(d, False);
  usleep(200000);
  XDestroyWindow(d, c);
  XSync(d, False);
}

void close_window(Display* d, Window w) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, w, False, NoEventMask, &e);
  XSync(d, False);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: xpixels get|close|cover|exists|wait TITLE ...\n");
    return 2;
  }
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    fprintf(stderr, "xpixels: no display\n");
    return 2;
  }
  std::string op = argv[1];
  Window root = DefaultRootWindow(d);
  Window w = find_titled(d, root, argv[2]);
  for (int i = 0; op == "wait" && !w && i < 100; i++) {
    usleep(50000);
    w = find_titled(d, root, argv[2]);
  }
  if (op == "exists" || op == "wait") return w ? 0 : 1;
  if (!w) {
    fprintf(stderr, "xpixels: no window titled %s\n", argv[2]);
    return 1;
  }
  int status = 0;
  if (op == "get" && argc >= 5) {
    int x = atoi(argv[3]), y = atoi(argv[4]);
    int width = argc >= 7 ? atoi(argv[5]) : 1, height = argc >= 7 ? atoi(argv[6]) : 1;
    status = get(d, w, x, y, width, height);
  } else if (op == "close") {
    close_window(d, w);
  } else if (op == "cover") {
    cover(d, w);
  } else {
    fprintf(stderr, "xpixels: unknown request %s\n", op.c_str());
    status = 2;
  }
  XCloseDisplay(d);
  return status;
}
