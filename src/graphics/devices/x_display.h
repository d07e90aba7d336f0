// The one connection to the X display. The X device draws through it and the widget
// toolkit builds its widgets on it, so both see the same display, visual and colormap,
// and one event loop serves windows and widgets alike.
#pragma once

#include <X11/Intrinsic.h>
#include <X11/Xlib.h>

struct XDisplayState {
  Display* display = nullptr;  // null while the display is closed
  int screen = 0;
  XtAppContext app = nullptr;
  Widget shell = nullptr;      // the application shell: parent of every top-level widget
  Visual* visual = nullptr;
  int visual_class = 0;        // StaticGray .. DirectColor
  int depth = 0;
  Colormap colormap = 0;
  // Filled by the widget toolkit when it is linked in: its operation table, which the
  // X device offers to the widget routines.
  void* toolkit = nullptr;
};

extern XDisplayState x_state;

// Opens the display when it is not open yet. On failure reports "Unable to open X Windows
// display" with the given action (an error action does not return) and returns false.
bool x_init(int argc, char** argv, int action);

// The connection's file descriptor (-1 when closed), for waiting on it with the terminal.
int x_get_connect_fd();

// Handles every event already queued (toolkit and Xlib), without waiting.
void x_drain_events();
