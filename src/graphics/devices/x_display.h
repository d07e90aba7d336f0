// The one connection to the X display. The X device draws through it and the widget
// toolkit builds its widgets on it, so both see the same display, visual and colormap,
// and one event loop serves windows and widgets alike. Owns the choice of visual, the
// colormap and its translation table, the error handlers, the atoms and the event loops
// (drain, wait, wait for terminal input). Relies on Xlib, Xt and message().
#pragma once

#include <X11/Intrinsic.h>
#include <X11/Xlib.h>

#include <cstdint>

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

  // ---- Below: cleared when the display closes. ----
  int screen_width = 0, screen_height = 0;
  bool private_colormap = false;  // created by us (not the screen's default)
  bool colors_loaded = false;     // x_init_colortable has run
  int n_cells = 0;                // colour cells obtained (mapped visuals)
  unsigned long translation[256] = {};
  unsigned long mask[3] = {}, plane_mask = 0;  // red, green, blue (True/DirectColor)
  int shift[3] = {}, width[3] = {};
  int bits_per_rgb = 0, colormap_size = 0;
  Atom wm_protocols = 0, wm_delete_window = 0, wm_take_focus = 0, private_message = 0;
  int border_width = 4;
  int max_windows = 32;
  int graphics_function = GXcopy;
  Font font = 0;                  // 0: the server's default font
  int bitmap_pad = 32;
  unsigned char bit_mask[8] = {};  // the eight bits of a byte in the server's bit order
  int critical = 0;               // raised while an event is processed: interrupts wait
  bool timer_on = false;
};

extern XDisplayState x_state;

// Settings that survive a closed display: DEVICE keywords and X resources.
struct XSettings {
  int retain = 1;            // default retain mode of new windows
  bool install_colormap = false;
  bool do_sync = false;
  bool decomposed = false;   // TrueColor/DirectColor: colour values are 24-bit RGB
  bool bypass_translation = false;
  bool notimer = false;
  int visual_class = -1;     // requested visual: -1 none
  int visual_depth = 0;
  int colors = 0;            // requested number of colours, 0: as many as free
  int dither = 1;            // 1 threshold, 2 Floyd-Steinberg, 3 ordered
  int threshold = 128;
  unsigned long write_mask = ~0UL;
  int char_size[2] = {6, 9};
};
extern XSettings x_settings;

// Opens the display when it is not open yet. On failure reports "Unable to open X Windows
// display" with the given action (an error action does not return) and returns false.
// An action with bit 0x10000 (automatic widget mode) reports informationally.
bool x_init(int argc, char** argv, int action);
// Closes the display and forgets everything that belonged to it (the persistent
// settings stay). A lost connection is forgotten without talking to the server.
void x_close_display();
// True once the connection was lost; the next operation reopens the display.
bool x_connection_lost();

// The colormap: chooses or creates it and obtains `colors` cells (0: all that are free)
// into the translation table. Error -338 when none can be had.
void x_init_colortable(int colors);
// Stores color_map entries start .. start+count-1 into the writable cells.
void x_store_colors(const uint8_t (*map)[256], int start, int count);
// The pixel value of colour index `index` under the current settings.
unsigned long x_index_to_pixel(uint32_t index, const uint8_t (*map)[256]);

// The connection's file descriptor (-1 when closed), for waiting on it with the terminal.
int x_get_connect_fd();

// Handled by the X device: true when the event belonged to one of its windows.
bool x_process_event(XEvent* event);

// Handles every event already queued (toolkit and Xlib), without waiting.
void x_drain_events();
// The same, but only when some time has passed since the last drain (the driver's
// periodic servicing while the interpreter runs; off with NOTIMER).
void x_drain_events2();
// Waits for the next event (or toolkit timer or input) and handles it.
void x_wait_for_event();
// Serves events until a byte can be read from fd (the terminal).
void x_drain_events_until_input(int fd);
// The toolkit's share of the loop: one event, waiting (or not) for it.
void x_process_next_toolkit_event();
void x_wait_for_toolkit_event();
// Takes the next Xlib event into *event without dispatching it; false when none is queued.
bool x_get_next_xlib_event(XEvent* event);
// Periodic servicing on or off.
void x_set_timer(bool on);
// Bracket driver sections that must not be entered again from the event handlers.
void x_lock();
void x_unlock();

// Names of visual classes as messages print them.
const char* x_visual_class_name(int visual_class);
