// The toolkit operation table: every window-system action of the widget routines goes
// through it, so the language side never names a toolkit. A graphics device that has
// widgets (FLAGS bit 65536) offers one; the Motif table is built on the X connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "widgets/widget_table.h"

struct ToolkitOps {
  void (*lock)();
  void (*unlock)();
  // Opens the display when needed (an error when it cannot).
  void (*open)();
  // Builds the toolkit widget of w (its parent's exists already).
  void (*create)(WidgetRec* w);
  void (*realize)(WidgetRec* top);
  void (*map)(WidgetRec* w, bool on);
  void (*destroy)(WidgetRec* w);  // w's toolkit widget and its children
  void (*set_sensitive)(WidgetRec* w, bool on);
  void (*set_value)(WidgetRec* w);     // shows w->value / slider_value
  void (*get_text)(WidgetRec* w, std::string* out);  // text contents
  void (*set_slider_range)(WidgetRec* w);
  void (*set_title)(WidgetRec* top, const char* title);
  void (*set_list)(WidgetRec* w, const std::vector<std::string>& items);
  void (*set_list_select)(WidgetRec* w, int index);
  // Lists: the selected item (-1 none), the first visible item, the visible count.
  int (*get_list_select)(WidgetRec* w);
  int (*get_list_top)(WidgetRec* w);
  void (*set_list_top)(WidgetRec* w, int index);
  int (*get_list_visible)(WidgetRec* w);
  // Texts: the selection (offset and length), the first visible line, offsets and
  // character positions (column and line).
  void (*get_text_select)(WidgetRec* w, int* offset, int* length);
  void (*set_text_select)(WidgetRec* w, int offset, int length);
  int (*get_text_top_line)(WidgetRec* w);
  void (*set_text_top_line)(WidgetRec* w, int line);
  void (*set_editable)(WidgetRec* w);
  // Top-level bases: position on the screen and size (pixels), iconify.
  void (*get_tlb_offset)(WidgetRec* top, int* x, int* y);
  void (*get_tlb_size)(WidgetRec* top, int* w, int* h);
  void (*set_tlb_offset)(WidgetRec* top, int x, int y);  // <0: unchanged
  void (*iconify)(WidgetRec* top, bool on);
  void (*set_size)(WidgetRec* w);  // w->xsize / ysize
  void (*set_input_focus)(WidgetRec* w);
  void (*hourglass)(bool on);  // on every realized top-level base until the next event
  // A WIDGET_TIMER event for w after the delay.
  void (*add_timer)(WidgetRec* w, double seconds);
  // Resources of the toolkit: the value of NAME for widget w (null: the application), or
  // false; and a resource line added to the database.
  bool (*get_resource)(WidgetRec* w, const char* name, std::string* out);
  void (*set_resource)(const char* line);
  // Draw widgets: the graphics window index made for them at realisation (-1 none).
  int (*draw_window)(WidgetRec* w);
  // Toggle buttons: set or clear, without an event.
  void (*set_button)(WidgetRec* w, bool on);
  // Scrolling draw widgets: the viewport's lower left corner in the drawing area (y from
  // the bottom), and moving it there (clamped, without an event).
  void (*get_draw_view)(WidgetRec* w, int* x, int* y);
  void (*set_draw_view)(WidgetRec* w, int x, int y);
  // Waits for the next event of the window system and handles it.
  void (*wait)();
  // Handles whatever is queued, without waiting.
  void (*drain)();
};

// Called by the toolkit's callbacks: the widget routines queue the event and, outside
// WIDGET_EVENT, deliver events to event routines at once.
void widget_event_arrived(WidgetRec* w);
// The window manager closed the top-level base: its tree is destroyed.
void widget_closed_by_user(WidgetRec* top);

// The Motif table (stored in the X connection record by register_widgets).
extern const ToolkitOps motif_ops;
